// karva._karva: the core of the Python package, on the same libraries as
// the command: keys loaded through the plan, rows scored on the command's
// ordered pool, files read by the command's own reader, all without the GIL.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "engine/collect.h"
#include "engine/fit.h"
#include "engine/plan.h"
#include "engine/run.h"
#include "model/apply.h"
#include "render/explain.h"
#include "render/messages.h"
#include "render/output.h"
#include "text/csv.h"
#include "text/digest.h"
#include "text/number.h"

namespace py = pybind11;

namespace {

py::object key_file_error;
py::object data_error;

std::string without_last_line_end(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

[[noreturn]] void refuse(karva::ArgumentError::Kind kind, long long given = 0, long long wanted = 0) {
  throw py::value_error(karva::argument_error_text({kind, given, wanted}));
}

// A path as the system takes it: not empty, and without a zero byte, which
// would cut it short.
const std::string& checked_path(const std::string& path) {
  if (path.empty()) refuse(karva::ArgumentError::Kind::EMPTY_PATH);
  if (path.find('\0') != std::string::npos) refuse(karva::ArgumentError::Kind::ZERO_BYTE_IN_PATH);
  return path;
}

// How often a call that runs without the GIL looks for a signal.
constexpr std::chrono::milliseconds SIGNAL_CHECK_EVERY{100};

// Waits for `work`, without the GIL; a signal whose Python handler raises
// (Ctrl-C's KeyboardInterrupt) sets `cancel`, waits for the work to stop,
// and is raised here. What the work threw is thrown here.
void wait_answering_signals(std::future<void>& work, std::atomic<bool>& cancel) {
  {
    py::gil_scoped_release unlocked;
    while (work.wait_for(SIGNAL_CHECK_EVERY) != std::future_status::ready) {
      py::gil_scoped_acquire locked;
      if (PyErr_CheckSignals() == 0) continue;
      cancel = true;
      py::error_already_set raised;  // takes the exception, so the wait below runs without it
      {
        py::gil_scoped_release waiting;
        work.wait();
      }
      throw raised;
    }
  }
  work.get();
}

[[noreturn]] void raise(const py::object& type, const std::string& text) {
  PyErr_SetString(type.ptr(), without_last_line_end(text).c_str());
  throw py::error_already_set();
}

int threads_of(std::optional<int> jobs) {
  const int n = jobs.value_or(karva::default_jobs());
  if (n < 1 || n > karva::MAX_JOBS)
    refuse(karva::ArgumentError::Kind::JOBS, n);
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

// What predict_file gathers, chunk by chunk, in file order: the columns of
// a frame, or the output text as the command writes it.
class GatherSink : public karva::CollectSink {
 public:
  GatherSink(const karva::ColumnPlan& columns, karva::OutputFormat format, bool text)
      : karva::CollectSink(karva::CollectSink::Limits{columns.has_target, SIZE_MAX, {}}),
        columns_(columns), format_(std::move(format)), text_(text) {}

  std::size_t format(const karva::ScoredRows& rows, std::vector<char>& out, std::size_t used) const override {
    return text_ ? karva::format_predictions(rows, format_, out, used) : used;
  }

  bool take(const karva::Chunk& chunk) override {
    karva::CollectSink::take(chunk);
    // The text holds the kept columns; only a frame needs them apart.
    if (text_) {
      text_lines.append(chunk.out.data(), chunk.out_size);
      return true;
    }
    kept.resize(columns_.keep_count);
    for (std::size_t k = 0; k < columns_.keep_count; ++k)
      for (std::size_t row = 0; row < chunk.rows; ++row) {
        const std::string_view raw = chunk.kept_text[row * columns_.keep_count + k];
        kept[k].push_back(format_.dialect.csv && raw.starts_with('"') ? karva::csv_decode(raw, format_.input)
                                                              : std::string(raw));
      }
    return true;
  }

  std::vector<std::vector<std::string>> kept;  // per kept column
  std::string text_lines;
  const karva::OutputFormat& output_format() const { return format_; }
  void forget_rows() {
    karva::CollectSink::forget_rows();
    kept.clear();
    text_lines.clear();
  }

 private:
  const karva::ColumnPlan& columns_;
  karva::OutputFormat format_;
  bool text_;
};

py::array_t<double> array_of(const std::vector<double>& values) {
  return py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
}

class Core {
 public:
  explicit Core(const std::string& path) : key_(loaded(karva::plan_key(checked_path(path), true))) {}
  Core(const std::string& path, std::string bytes)
      : key_(loaded(karva::plan_key_from_bytes(path, std::move(bytes), true))) {}

  int variable_count() const { return key_->key.variable_count; }
  int gene_count() const { return key_->key.gene_count(); }
  const std::string& path() const { return key_->path; }
  py::bytes bytes() const { return py::bytes(key_->bytes); }

  std::string explain(const std::vector<std::string>& names) const {
    if (!names.empty() && static_cast<int>(names.size()) != variable_count())
      refuse(karva::ArgumentError::Kind::NAMES, static_cast<long long>(names.size()), variable_count());
    return karva::explain_heading_message(key_->path, key_->key) + karva::explain_formulas(key_->key, names, nullptr) +
           karva::key_digest_message(karva::sha256_hex(key_->bytes));
  }

  // Predictions for the rows of a float64 array (any strides); NaN where a
  // row holds a NaN, a missing value.
  py::array_t<double> predict(const py::array_t<double, py::array::forcecast>& x, std::optional<int> jobs) const {
    const int threads = threads_of(jobs);
    if (x.ndim() != 2)
      refuse(karva::ArgumentError::Kind::DIMENSIONS, x.ndim(), variable_count());
    const auto rows = static_cast<std::size_t>(x.shape(0));
    if (x.shape(1) != variable_count())
      refuse(karva::ArgumentError::Kind::COLUMNS, x.shape(1), variable_count());
    py::array_t<double> out(static_cast<py::ssize_t>(rows));
    const karva::MatrixView matrix{reinterpret_cast<const char*>(x.data()), rows, x.strides(0), x.strides(1)};
    double* result = out.mutable_data();
    {
      py::gil_scoped_release unlocked;
      karva::score_matrix(*key_->prepared, matrix, result, threads);
    }
    return out;
  }

  // Reads a data file as the command does and scores it; a dict of the
  // columns, counts and figures that karva.Key.predict_file makes a frame of.
  py::dict predict_file(const std::string& path, const karva::PlanRequest& request_shape, std::optional<int> jobs,
                        const std::optional<karva::OutputStyle>& text_style) const {
    std::atomic<bool> cancel{false};
    karva::RunSettings settings;
    settings.jobs = threads_of(jobs);
    settings.cancel = &cancel;
    karva::PlanRequest request = request_shape;
    request.key_path = key_->path;
    request.data_path = checked_path(path);
    request.cancel = &cancel;
    // The frame's prediction column is "predict"; the text's, its own.
    request.prediction_name = text_style ? text_style->prediction_name : karva::OutputStyle{}.prediction_name;
    std::optional<karva::Expected<karva::Plan, karva::PlanError>> plan;
    std::optional<GatherSink> sink;
    std::optional<karva::RunOutcome> outcome;
    // The run goes on a thread of its own, so that this one can answer
    // Ctrl-C: it looks for a signal a few times a second and stops the run.
    auto run = std::async(std::launch::async, [&] {
      plan = karva::plan_with_key(key_, request, nullptr, {});
      if (!*plan) return;
      sink.emplace(*(*plan)->columns, karva::output_format(*(*plan)->columns, text_style.value_or(karva::OutputStyle{})),
                   text_style.has_value());
      outcome = karva::run_rows(**plan, settings, *sink);
    });
    wait_answering_signals(run, cancel);
    if (!*plan) raise(data_error, karva::plan_error_message(plan->error()));
    return result_of(**plan, *outcome, *sink, text_style.has_value());
  }

 private:
  static karva::SharedKey loaded(karva::Expected<karva::LoadedKey, karva::PlanError> key) {
    if (!key) raise(key_file_error, karva::plan_error_message(key.error()));
    return std::make_shared<const karva::LoadedKey>(std::move(*key));
  }

  static py::dict result_of(const karva::Plan& plan, const karva::RunOutcome& outcome, GatherSink& sink, bool text) {
    const karva::ColumnPlan& columns = *plan.columns;
    const karva::ReadTally& tally = outcome.tally;
    // No row of a damaged stream can be trusted.
    if (!outcome.damage.empty()) sink.forget_rows();
    py::dict out;
    out["keep_names"] = columns.keep_names;
    out["kept"] = sink.kept;
    out["target_name"] = columns.has_target ? py::object(py::str(columns.target_name.empty() ? "target"
                                                                                              : columns.target_name))
                                            : py::object(py::none());
    out["targets"] = array_of(sink.targets);
    out["predictions"] = array_of(sink.predictions);
    out["fit_targets"] = array_of(outcome.fit.targets);
    out["fit_predictions"] = array_of(outcome.fit.predictions);
    out["rows_left_out"] = outcome.fit.rows_left_out;
    py::dict counts;
    counts["rows"] = tally.rows_read();
    counts["missing_values"] = tally.missing().count;
    counts["not_numbers"] = tally.non_numbers().count;
    counts["lines_with_extra_fields"] = tally.extra_lines().count;
    if (columns.has_target) counts["stats"] = statistics(karva::fit_statistics(outcome.fit));
    out["counts"] = counts;
    const std::string& name = plan.data->reader->name();
    out["messages"] = karva::read_end_message(outcome, name) +
                      (columns.numbered_header ? karva::numbered_header_message(name) : "") +
                      karva::doubts_message(tally, columns.dialect.csv);
    out["complete"] = outcome.complete();
    if (text) {
      out["header"] = karva::prediction_header(columns, sink.output_format());
      out["text"] = py::bytes(sink.text_lines);
    }
    return out;
  }

  karva::SharedKey key_;
};

// The request predict_file makes, checked as the command line checks the
// same options.
karva::PlanRequest file_request(bool csv, const std::optional<std::string>& delimiter,
                                const std::vector<std::string>& inputs, const py::object& target,
                                const std::vector<std::string>& keep, std::optional<bool> header,
                                const std::optional<std::string>& decimal) {
  karva::PlanRequest request;
  karva::Expected<karva::Dialect, karva::DialectError> dialect = karva::settle_dialect({csv, delimiter, decimal, header, false});
  if (!dialect) throw py::value_error(karva::dialect_error_text(dialect.error()));
  request.dialect = *dialect;
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
    refuse(karva::ArgumentError::Kind::FIT_SHAPES);
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
            std::optional<karva::OutputStyle> text;
            if (precision || round_trip) {
              text = karva::OutputStyle{};
              if (precision && (*precision < karva::MIN_PRECISION || *precision > karva::MAX_PRECISION))
                refuse(karva::ArgumentError::Kind::PRECISION, *precision);
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
