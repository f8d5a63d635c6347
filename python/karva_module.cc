// The karva module: keys loaded and applied from Python, with the same
// arithmetic, bit for bit, as the command line.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "model/apply.h"
#include "model/key.h"
#include "tool/explain.h"
#include "tool/messages.h"
#include "tool/options.h"
#include "tool/pipeline.h"
#include "tool/plan.h"

namespace py = pybind11;

namespace {

// Rows evaluated at a time by one thread, as the command line's chunks.
constexpr std::size_t ROWS_PER_BLOCK = karva::DEFAULT_TABLE_ROWS;

std::string without_last_line_end(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

class PyKey {
 public:
  explicit PyKey(const std::string& path) {
    karva::PlanError error;
    std::optional<karva::LoadedKey> loaded = karva::plan_key(path, true, &error);
    if (!loaded) throw_key_error(karva::plan_error_message(error));
    take(std::move(*loaded));
  }
  // A key read from the bytes of its file, named `path` in messages.
  PyKey(const std::string& path, std::string bytes) {
    karva::PlanError error;
    std::optional<karva::LoadedKey> loaded = karva::plan_key_from_bytes(path, std::move(bytes), true, &error);
    if (!loaded) throw_key_error(karva::plan_error_message(error));
    take(std::move(*loaded));
  }

  int variable_count() const { return key_.variable_count; }
  int gene_count() const { return key_.gene_count(); }
  const std::string& path() const { return path_; }
  const std::string& bytes() const { return bytes_; }

  std::string explain(const std::optional<std::vector<std::string>>& names) const {
    const std::vector<std::string> given = names.value_or(std::vector<std::string>{});
    if (!given.empty() && static_cast<int>(given.size()) != key_.variable_count)
      throw py::value_error("explain needs " + std::to_string(key_.variable_count) + " names, not " +
                            std::to_string(given.size()));
    return "Key " + path_ + ": " + std::to_string(key_.variable_count) + " input variables, " +
           std::to_string(key_.gene_count()) + " genes.\n" + karva::explain_formulas(key_, given, nullptr);
  }

  py::array_t<double> predict(const py::object& data, std::optional<int> jobs) const {
    const py::array_t<double> x = as_float_array(data);
    if (x.ndim() != 2)
      throw py::value_error("X must have 2 dimensions (rows, " + std::to_string(key_.variable_count) + "), not " +
                            std::to_string(x.ndim()));
    const auto rows = static_cast<std::size_t>(x.shape(0));
    const auto columns = static_cast<std::size_t>(x.shape(1));
    if (columns != static_cast<std::size_t>(key_.variable_count))
      throw py::value_error("X has " + std::to_string(columns) + " columns, but the key reads " +
                            std::to_string(key_.variable_count) + " inputs");
    const int threads = std::clamp(jobs.value_or(karva::default_jobs()), 1, karva::MAX_JOBS);
    py::array_t<double> out(static_cast<py::ssize_t>(rows));
    const auto in = x.unchecked<2>();  // any strides: C or Fortran order
    double* result = out.mutable_data();
    {
      // The arrays stay alive while the evaluation runs without the GIL.
      py::gil_scoped_release unlocked;
      const std::size_t blocks = (rows + ROWS_PER_BLOCK - 1) / ROWS_PER_BLOCK;
      const auto work = [&](std::size_t first_block, std::size_t step) {
        karva::DataTable table;
        table.reserve(ROWS_PER_BLOCK, prepared_.row_width());
        for (std::size_t b = first_block; b < blocks; b += step) {
          const std::size_t begin = b * ROWS_PER_BLOCK;
          table.row_count = std::min(ROWS_PER_BLOCK, rows - begin);
          for (std::size_t m = 0; m < columns; ++m) {
            double* column = table.column(static_cast<int>(m));
            for (std::size_t i = 0; i < table.row_count; ++i)
              column[i] = in(static_cast<py::ssize_t>(begin + i), static_cast<py::ssize_t>(m));
          }
          const double* predictions = karva::apply_key(prepared_, table);
          for (std::size_t i = 0; i < table.row_count; ++i) {
            // A NaN input is a missing value: the row has no prediction.
            bool missing = false;
            for (std::size_t m = 0; m < columns && !missing; ++m) missing = std::isnan(table.column(static_cast<int>(m))[i]);
            result[begin + i] = missing ? std::numeric_limits<double>::quiet_NaN() : predictions[i];
          }
        }
      };
      const std::size_t used = std::min<std::size_t>(static_cast<std::size_t>(threads), std::max<std::size_t>(blocks, 1));
      std::vector<std::thread> pool;
      for (std::size_t t = 1; t < used; ++t) pool.emplace_back(work, t, used);
      work(0, used);
      for (std::thread& t : pool) t.join();
    }
    return out;
  }

 private:
  void take(karva::LoadedKey loaded) {
    path_ = std::move(loaded.path);
    bytes_ = std::move(loaded.bytes);
    key_ = std::move(loaded.key);
    prepared_ = std::move(*loaded.prepared);
  }

  static void throw_key_error(const std::string& text);

  static py::array_t<double> as_float_array(const py::object& data) {
    try {
      return py::module_::import("numpy").attr("asarray")(data, py::arg("dtype") = "float64");
    } catch (py::error_already_set& e) {
      if (e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError))
        throw py::type_error(std::string("X must hold numbers: ") + e.what());
      throw;
    }
  }

  std::string path_;
  std::string bytes_;
  karva::Key key_;
  karva::PreparedKey prepared_;
};

py::object key_file_error;

void PyKey::throw_key_error(const std::string& text) {
  PyErr_SetString(key_file_error.ptr(), without_last_line_end(text).c_str());
  throw py::error_already_set();
}

}  // namespace

PYBIND11_MODULE(karva, m) {
  m.doc() = "Applies a trained karva key to rows of numbers, bit for bit as the karva command does.";
  key_file_error = py::reinterpret_borrow<py::object>(
      py::handle(PyErr_NewExceptionWithDoc("karva.KeyFileError", "A key file that cannot be loaded or built.",
                                           PyExc_ValueError, nullptr)));
  m.attr("KeyFileError") = key_file_error;
  py::class_<PyKey>(m, "Key", "A key loaded from its file, every gene built and compiled once.")
      .def(py::init<const std::string&>(), py::arg("path"))
      .def_property_readonly("variable_count", &PyKey::variable_count)
      .def_property_readonly("gene_count", &PyKey::gene_count)
      .def_property_readonly("path", &PyKey::path)
      .def("explain", &PyKey::explain, py::arg("names") = py::none(),
           "The key as formulas, as karva --explain writes them, with the inputs' names if given.")
      .def("predict", &PyKey::predict, py::arg("X"), py::arg("jobs") = py::none(),
           "Predictions for the rows of X (rows, variable_count), as float64; a row with a NaN input gives NaN.")
      // A key travels (to Dask's workers, say) as the bytes of its file.
      .def(py::pickle([](const PyKey& k) { return py::make_tuple(k.path(), py::bytes(k.bytes())); },
                      [](const py::tuple& t) {
                        return PyKey(t[0].cast<std::string>(), t[1].cast<std::string>());
                      }));
}
