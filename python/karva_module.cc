// karva._karva: the core of the Python package, on the same libraries as
// the command: keys loaded through the plan, rows scored on the command's
// ordered pool, files read by the command's own reader, all without the GIL.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "model/apply.h"
#include "tool/csv.h"
#include "tool/explain.h"
#include "tool/fit.h"
#include "tool/messages.h"
#include "tool/number.h"
#include "tool/ordered_work.h"
#include "tool/pipeline.h"
#include "tool/plan.h"

namespace py = pybind11;

namespace {

py::object key_file_error;
py::object data_error;

std::string without_last_line_end(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

[[noreturn]] void raise(const py::object& type, const std::string& text) {
  PyErr_SetString(type.ptr(), without_last_line_end(text).c_str());
  throw py::error_already_set();
}

int threads_of(std::optional<int> jobs) {
  const int n = jobs.value_or(karva::default_jobs());
  if (n < 1 || n > karva::MAX_JOBS)
    throw py::value_error("jobs must be from 1 to " + std::to_string(karva::MAX_JOBS) + ", not " + std::to_string(n));
  return n;
}

py::dict statistics(const karva::FitStatistics& st) {
  const auto figure = [](double v) { return std::isfinite(v) ? py::object(py::float_(v)) : py::object(py::none()); };
  py::dict out;
  out["rows_used"] = st.rows_used;
  out["rows_left_out"] = st.rows_left_out;
  out["r_square"] = figure(st.r_square);
  out["coefficient_of_determination"] = figure(st.determination);
  out["rmse"] = figure(st.rmse);
  out["mae"] = figure(st.mae);
  out["largest_error"] = figure(st.largest_error);
  return out;
}

// A stretch of rows of an array, scored by one worker of the pool.
struct Slice {
  std::size_t begin = 0;
  std::size_t rows = 0;
  karva::DataTable table;
};

// What predict_file gathers, chunk by chunk, in file order.
struct FileScore {
  std::vector<std::vector<std::string>> kept;  // per kept column
  std::vector<double> targets;
  std::vector<double> predictions;
  karva::FitData fit;
  std::string text;  // the output lines, as the command writes them
};

class Core {
 public:
  explicit Core(const std::string& path) { load(karva::plan_key(path, true, &error_)); }
  Core(const std::string& path, std::string bytes) { load(karva::plan_key_from_bytes(path, std::move(bytes), true, &error_)); }

  int variable_count() const { return key_.key.variable_count; }
  int gene_count() const { return key_.key.gene_count(); }
  const std::string& path() const { return key_.path; }
  py::bytes bytes() const { return py::bytes(key_.bytes); }

  std::string explain(const std::vector<std::string>& names) const {
    if (!names.empty() && static_cast<int>(names.size()) != variable_count())
      throw py::value_error("explain needs " + std::to_string(variable_count()) + " names, not " +
                            std::to_string(names.size()));
    return "Key " + key_.path + ": " + std::to_string(variable_count()) + " input variables, " +
           std::to_string(gene_count()) + " genes.\n" + karva::explain_formulas(key_.key, names, nullptr);
  }

  // Predictions for the rows of a float64 array (any strides); NaN where a
  // row holds a NaN, a missing value.
  py::array_t<double> predict(const py::array_t<double, py::array::forcecast>& x, std::optional<int> jobs) const {
    const int threads = threads_of(jobs);
    if (x.ndim() != 2)
      throw py::value_error("X must have 2 dimensions (rows, " + std::to_string(variable_count()) + "), not " +
                            std::to_string(x.ndim()));
    const auto rows = static_cast<std::size_t>(x.shape(0));
    if (x.shape(1) != variable_count())
      throw py::value_error("X has " + std::to_string(x.shape(1)) + " columns, but the key reads " +
                            std::to_string(variable_count()) + " inputs");
    py::array_t<double> out(static_cast<py::ssize_t>(rows));
    const auto in = x.unchecked<2>();
    double* result = out.mutable_data();
    {
      py::gil_scoped_release unlocked;
      score_rows(in, rows, result, threads);
    }
    return out;
  }

  // Reads a data file as the command does and scores it; a dict of the
  // columns, counts and figures that karva.Key.predict_file makes a frame of.
  py::dict predict_file(const std::string& path, const karva::PlanRequest& request_shape, std::optional<int> jobs,
                        const std::optional<karva::OutputFormat>& text_format) const {
    const bool text = text_format.has_value();
    karva::StreamSettings settings;
    settings.jobs = threads_of(jobs);
    karva::PlanRequest request = request_shape;
    request.key_path = key_.path;
    request.data_path = path;
    request.prepare = false;
    FileScore score;
    karva::ReadTally tally;
    std::optional<karva::Plan> plan;
    karva::PlanError error;
    bool written = true;
    karva::OutputFormat format;
    {
      py::gil_scoped_release unlocked;
      plan = karva::make_plan(request, nullptr, {}, &error);
      if (plan) {
        plan->key.prepared = key_.prepared;
        format = output_format(*plan->columns, request, text_format);
        tally = karva::ReadTally(plan->columns->header_lines);
        const auto take = [&](const karva::Chunk& chunk) { return gather(chunk, *plan->columns, format, score, text); };
        written = karva::stream_rows(*plan->data->reader, *plan->columns, *key_.prepared, format, settings, take, tally);
      }
    }
    if (!plan) raise(data_error, karva::plan_error_message(error));
    return result_of(*plan, tally, score, format, written, text);
  }

 private:
  void load(std::optional<karva::LoadedKey> loaded) {
    if (!loaded) raise(key_file_error, karva::plan_error_message(error_));
    key_ = std::move(*loaded);
  }

  void score_rows(const py::detail::unchecked_reference<double, 2>& in, std::size_t rows, double* result,
                  int threads) const {
    const karva::PreparedKey& key = *key_.prepared;
    const auto work = [&](Slice& slice) {
      karva::DataTable& table = slice.table;
      if (table.capacity() != karva::DEFAULT_TABLE_ROWS) table.reserve(karva::DEFAULT_TABLE_ROWS, key.row_width());
      table.row_count = slice.rows;
      for (int m = 0; m < key.variable_count; ++m) {
        double* column = table.column(m);
        for (std::size_t i = 0; i < slice.rows; ++i)
          column[i] = in(static_cast<py::ssize_t>(slice.begin + i), static_cast<py::ssize_t>(m));
      }
      const double* predictions = karva::apply_key(key, table);
      for (std::size_t i = 0; i < slice.rows; ++i) {
        bool missing = false;
        for (int m = 0; m < key.variable_count && !missing; ++m) missing = std::isnan(table.column(m)[i]);
        result[slice.begin + i] = missing ? std::numeric_limits<double>::quiet_NaN() : predictions[i];
      }
    };
    // The command's pool: each worker writes its own rows of the result.
    karva::OrderedWork<Slice> pool(threads > 1 ? threads : 0, work);
    const std::size_t most_in_flight = 2 * static_cast<std::size_t>(threads);
    std::vector<std::unique_ptr<Slice>> spare;
    for (std::size_t begin = 0; begin < rows || pool.in_flight() > 0;) {
      while (begin < rows && pool.in_flight() < most_in_flight) {
        auto slice = spare.empty() ? std::make_unique<Slice>() : std::move(spare.back());
        if (!spare.empty()) spare.pop_back();
        slice->begin = begin;
        slice->rows = std::min(karva::DEFAULT_TABLE_ROWS, rows - begin);
        begin += slice->rows;
        pool.submit(std::move(slice));
      }
      if (pool.in_flight() > 0) spare.push_back(pool.next());
    }
  }

  static karva::OutputFormat output_format(const karva::ColumnPlan& columns, const karva::PlanRequest& request,
                                           const std::optional<karva::OutputFormat>& text_format) {
    karva::OutputFormat format = text_format.value_or(karva::OutputFormat{});
    format.csv = request.dialect.csv;
    format.delimiter = request.dialect.syntax.delimiter;
    format.decimal = request.dialect.decimal;
    format.has_target = columns.has_target;
    format.keep_count = columns.keep_count;
    format.input = columns.dialect.syntax;
    return format;
  }

  static bool gather(const karva::Chunk& chunk, const karva::ColumnPlan& columns, const karva::OutputFormat& format,
                     FileScore& score, bool text) {
    score.predictions.insert(score.predictions.end(), chunk.predictions.begin(), chunk.predictions.end());
    if (columns.has_target) {
      score.targets.insert(score.targets.end(), chunk.targets.begin(), chunk.targets.end());
      score.fit.keep(chunk.targets, chunk.predictions, chunk.missing);
    }
    // The text holds the kept columns; only a frame needs them apart.
    if (text) {
      score.text.append(chunk.out.data(), chunk.out_size);
      return true;
    }
    score.kept.resize(columns.keep_count);
    for (std::size_t k = 0; k < columns.keep_count; ++k)
      for (std::size_t row = 0; row < chunk.rows; ++row) {
        const std::string_view raw = chunk.kept_text[row * columns.keep_count + k];
        score.kept[k].push_back(format.csv && raw.starts_with('"') ? karva::csv_decode(raw, format.input)
                                                                   : std::string(raw));
      }
    return true;
  }

  static py::dict result_of(const karva::Plan& plan, const karva::ReadTally& tally, FileScore& score,
                            const karva::OutputFormat& format, bool written, bool text) {
    const karva::ColumnPlan& columns = *plan.columns;
    py::dict out;
    out["keep_names"] = columns.keep_names;
    out["kept"] = score.kept;
    out["target_name"] = columns.has_target ? py::object(py::str(columns.target_name.empty() ? "target"
                                                                                              : columns.target_name))
                                            : py::object(py::none());
    out["targets"] = py::array_t<double>(static_cast<py::ssize_t>(score.targets.size()), score.targets.data());
    out["predictions"] =
        py::array_t<double>(static_cast<py::ssize_t>(score.predictions.size()), score.predictions.data());
    out["fit_targets"] = py::array_t<double>(static_cast<py::ssize_t>(score.fit.targets.size()), score.fit.targets.data());
    out["fit_predictions"] =
        py::array_t<double>(static_cast<py::ssize_t>(score.fit.predictions.size()), score.fit.predictions.data());
    out["rows_left_out"] = score.fit.rows_left_out;
    py::dict counts;
    counts["rows"] = tally.rows_read();
    counts["missing_values"] = tally.missing().count;
    counts["not_numbers"] = tally.non_numbers().count;
    counts["lines_with_extra_fields"] = tally.extra_lines().count;
    if (columns.has_target) counts["stats"] = statistics(karva::fit_statistics(score.fit));
    out["counts"] = counts;
    out["messages"] = closing_messages(plan, tally, columns.dialect.csv);
    out["complete"] = written && !tally.stopped() && plan.data->reader->damage().empty() &&
                      !plan.data->reader->read_failed();
    if (text) {
      out["header"] = karva::prediction_header(columns, format);
      out["text"] = py::bytes(score.text);
    }
    return out;
  }

  static std::string closing_messages(const karva::Plan& plan, const karva::ReadTally& tally, bool csv) {
    const karva::DataReader& reader = *plan.data->reader;
    std::string text;
    if (reader.read_failed()) text += karva::cannot_read_message(reader.name(), reader.system_error());
    if (tally.stopped() && tally.stop_matters())
      text += tally.end() == karva::ReadEnd::SHORT_LINE || tally.end() == karva::ReadEnd::NUL_BYTE
                  ? karva::stop_message(tally.stop_line(), reader.name(), tally.end() == karva::ReadEnd::NUL_BYTE,
                                        tally.lines_after_stop())
                  : karva::strict_stop_message(tally, reader.name());
    if (!reader.damage().empty()) text += karva::damaged_message(tally.lines_read(), reader.name(), reader.damage());
    return text + karva::doubts_message(tally, csv);
  }

  karva::PlanError error_;
  karva::LoadedKey key_;
};

// The request predict_file makes, checked as the command line checks the
// same options.
karva::PlanRequest file_request(bool csv, const std::optional<std::string>& delimiter,
                                const std::vector<std::string>& inputs, const py::object& target,
                                const std::vector<std::string>& keep, std::optional<bool> header,
                                const std::optional<std::string>& decimal) {
  karva::PlanRequest request;
  karva::DialectChoice dialect{csv, ',', delimiter.has_value(), '.'};
  if (delimiter) dialect.delimiter = *delimiter == "tab" ? '\t' : delimiter->size() == 1 ? (*delimiter)[0] : '\0';
  if (decimal) dialect.decimal = decimal->size() == 1 ? (*decimal)[0] : '\0';
  if (const std::string why = karva::settle_dialect(dialect); !why.empty())
    throw py::value_error(why);
  request.dialect = {dialect.csv, false, karva::CsvSyntax{dialect.delimiter, '\n'}, false, dialect.decimal};
  request.header = header;
  request.columns.inputs = inputs;
  request.columns.keep = keep;
  if (py::isinstance<py::str>(target)) {
    request.columns.target_name = target.cast<std::string>();
    request.columns.has_target = true;
  } else {
    request.columns.has_target = !target.is_none() && target.cast<bool>();
  }
  return request;
}

// The figures of --stats=json for targets and predictions gathered apart
// (across a cluster, say), rows with a NaN left out as missing values.
py::dict fit_figures(const py::array_t<double, py::array::forcecast>& targets,
                     const py::array_t<double, py::array::forcecast>& predictions, std::int64_t rows_left_out) {
  if (targets.ndim() != 1 || predictions.ndim() != 1 || targets.shape(0) != predictions.shape(0))
    throw py::value_error("targets and predictions must be one-dimensional and of one length");
  karva::FitData fit;
  fit.rows_left_out = rows_left_out;
  const auto t = targets.unchecked<1>();
  const auto p = predictions.unchecked<1>();
  for (py::ssize_t i = 0; i < targets.shape(0); ++i) {
    fit.targets.push_back(t(i));
    fit.predictions.push_back(p(i));
  }
  return statistics(karva::fit_statistics(fit));
}

}  // namespace

PYBIND11_MODULE(_karva, m) {
  m.doc() = "The core of the karva package; use karva.Key.";
  m.attr("__version__") = KARVA_VERSION;
  key_file_error = py::reinterpret_borrow<py::object>(py::handle(PyErr_NewExceptionWithDoc(
      "karva.KeyFileError", "A key file that cannot be loaded or built; the text is the command's message.",
      PyExc_ValueError, nullptr)));
  data_error = py::reinterpret_borrow<py::object>(py::handle(PyErr_NewExceptionWithDoc(
      "karva.DataError", "A data file whose columns or lines cannot be read as the key needs them.",
      PyExc_ValueError, nullptr)));
  m.attr("KeyFileError") = key_file_error;
  m.attr("DataError") = data_error;
  py::class_<Core>(m, "Core", "A key loaded, every gene built and compiled once.")
      .def(py::init<const std::string&>(), py::arg("path"))
      .def(py::init<const std::string&, std::string>(), py::arg("path"), py::arg("bytes"))
      .def_property_readonly("variable_count", &Core::variable_count)
      .def_property_readonly("gene_count", &Core::gene_count)
      .def_property_readonly("path", &Core::path)
      .def_property_readonly("bytes", &Core::bytes)
      .def("explain", &Core::explain, py::arg("names"))
      .def("predict", &Core::predict, py::arg("x"), py::arg("jobs"))
      .def(
          "predict_file",
          [](const Core& core, const std::string& path, bool csv, const std::optional<std::string>& delimiter,
             const std::vector<std::string>& inputs, const py::object& target, const std::vector<std::string>& keep,
             std::optional<bool> header, const std::optional<std::string>& decimal, std::optional<int> jobs,
             std::optional<int> precision, bool round_trip, const std::string& prediction_name) {
            // With a precision (or round_trip), the output text too, as the command writes it.
            std::optional<karva::OutputFormat> text;
            if (precision || round_trip) {
              text = karva::OutputFormat{};
              if (precision && (*precision < karva::MIN_PRECISION || *precision > karva::MAX_PRECISION))
                throw py::value_error("precision must be from " + std::to_string(karva::MIN_PRECISION) + " to " +
                                      std::to_string(karva::MAX_PRECISION));
              text->precision = precision.value_or(karva::MIN_PRECISION);
              text->round_trip = round_trip;
              text->prediction_name = prediction_name;
            }
            return core.predict_file(path, file_request(csv, delimiter, inputs, target, keep, header, decimal), jobs,
                                     text);
          },
          py::arg("path"), py::arg("csv"), py::arg("delimiter"), py::arg("inputs"), py::arg("target"),
          py::arg("keep"), py::arg("header"), py::arg("decimal"), py::arg("jobs"), py::arg("precision"),
          py::arg("round_trip"), py::arg("prediction_name"));
  m.def("fit_figures", &fit_figures, py::arg("targets"), py::arg("predictions"), py::arg("rows_left_out"));
}
