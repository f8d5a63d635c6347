#include "serve/request.h"

#include <simdjson.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "text/escape.h"
#include "text/number.h"

namespace karva {
namespace {

namespace od = simdjson::ondemand;

constexpr double MISSING = std::numeric_limits<double>::quiet_NaN();
constexpr double INFINITE = std::numeric_limits<double>::infinity();

Unexpected<RequestError> refuse(std::string message) { return Unexpected(RequestError{400, std::move(message)}); }

// One value as a double: a number as strtod reads its text (so that huge
// integers and numbers past the double range read as the command reads
// them), null or "NaN" as missing, "Infinity" and "-Infinity".
bool read_scalar(od::value value, double& out) {
  od::json_type type;
  if (value.type().get(type)) return false;
  if (type == od::json_type::number) {
    std::string_view raw = value.raw_json_token();
    while (!raw.empty() && std::string_view(" \t\r\n").find(raw.back()) != std::string_view::npos) raw.remove_suffix(1);
    bool whole = false;
    out = parse_number(raw, &whole);
    return whole;
  }
  if (type == od::json_type::null) {
    bool null = false;
    out = MISSING;
    return !value.is_null().get(null) && null;
  }
  std::string_view text;
  if (type != od::json_type::string || value.get_string().get(text)) return false;
  if (text == "NaN") out = MISSING;
  else if (text == "Infinity") out = INFINITE;
  else if (text == "-Infinity") out = -INFINITE;
  else return false;
  return true;
}

// Every value of `value` in order, nested arrays flattened.
bool read_values(od::value value, std::vector<double>& out) {
  od::json_type type;
  if (value.type().get(type)) return false;
  if (type != od::json_type::array) {
    double v = 0;
    if (!read_scalar(value, v)) return false;
    out.push_back(v);
    return true;
  }
  od::array array;
  if (value.get_array().get(array)) return false;
  for (auto element : array) {
    od::value item;
    if (element.get(item) || !read_values(item, out)) return false;
  }
  return true;
}

bool read_names(od::value value, std::vector<std::string>& out) {
  od::array array;
  if (value.get_array().get(array)) return false;
  for (auto element : array) {
    std::string_view name;
    if (element.get_string().get(name)) return false;
    out.emplace_back(name);
  }
  return true;
}

// The column of each of `names` among the model's inputs; -1 for a name
// the model does not read.
std::vector<long> columns_of(const std::vector<std::string>& names, const std::vector<std::string>& inputs) {
  std::vector<long> at;
  for (const std::string& name : names) {
    const auto found = std::find(inputs.begin(), inputs.end(), name);
    at.push_back(found == inputs.end() ? -1 : found - inputs.begin());
  }
  return at;
}

std::string missing_input(const std::vector<std::string>& given, const std::vector<std::string>& inputs) {
  for (const std::string& name : inputs)
    if (std::find(given.begin(), given.end(), name) == given.end()) return "no input is named \"" + name + "\"";
  return "";
}

// One V2 input tensor.
struct Tensor {
  std::string name;
  std::string datatype;
  std::vector<long long> shape;
  std::vector<double> data;
};

Expected<Tensor, RequestError> read_tensor(od::object object) {
  Tensor t;
  for (auto field : object) {
    std::string_view key;
    od::value value;
    if (field.unescaped_key().get(key) || field.value().get(value)) return refuse("the request is not valid JSON");
    std::string_view text;
    if (key == "name" || key == "datatype") {
      if (value.get_string().get(text)) return refuse("an input's " + std::string(key) + " must be a string");
      (key == "name" ? t.name : t.datatype) = std::string(text);
    } else if (key == "shape") {
      // Whole numbers a double holds exactly: past them, no request fits.
      constexpr double MOST = 9007199254740992.0;  // 2^53
      std::vector<double> shape;
      const auto whole = [](double d) { return d >= 0 && d <= MOST && d == std::floor(d); };
      if (!read_values(value, shape) || !std::all_of(shape.begin(), shape.end(), whole))
        return refuse("an input's shape must be a list of whole numbers");
      for (double d : shape) t.shape.push_back(static_cast<long long>(d));
    } else if (key == "data") {
      if (!read_values(value, t.data))
        return refuse("an input's data must hold numbers, null, \"NaN\", \"Infinity\" or \"-Infinity\"");
    }
  }
  if (t.datatype != "FP64") return refuse("input \"" + t.name + "\" is " + t.datatype + "; karva takes FP64");
  return t;
}

// The matrix of V2 tensors: one of shape [rows, n], or one per input name.
Expected<Matrix, RequestError> matrix_of(const std::vector<Tensor>& tensors, const std::vector<std::string>& names) {
  const std::size_t n = names.size();
  Matrix m;
  m.columns = n;
  if (tensors.size() == 1 && tensors[0].shape.size() == 2 && tensors[0].shape[1] == static_cast<long long>(n)) {
    m.rows = static_cast<std::size_t>(tensors[0].shape[0]);
    m.values = tensors[0].data;
    // The data fills the shape: checked by division, which cannot overflow.
    if (n == 0 ? !m.values.empty() : m.values.size() % n != 0 || m.values.size() / n != m.rows)
      return refuse("an input's data does not fill its shape");
    return m;
  }
  std::vector<std::string> given;
  for (const Tensor& t : tensors) given.push_back(t.name);
  if (const std::string missing = missing_input(given, names); tensors.size() != n || !missing.empty())
    return refuse("the model reads " + std::to_string(n) + " inputs: one input of shape [rows, " + std::to_string(n) +
                  "], or one per input by name; " + missing);
  m.rows = tensors.empty() ? 0 : tensors[0].data.size();
  m.values.assign(m.rows * n, MISSING);
  const std::vector<long> at = columns_of(given, names);
  for (std::size_t k = 0; k < tensors.size(); ++k) {
    if (tensors[k].data.size() != m.rows) return refuse("the inputs hold different numbers of rows");
    for (std::size_t r = 0; r < m.rows; ++r) m.values[r * n + static_cast<std::size_t>(at[k])] = tensors[k].data[r];
  }
  return m;
}

// Rows as lists of values in the inputs' order, or as objects by name.
Expected<Matrix, RequestError> read_rows(od::array rows, const std::vector<std::string>& names,
                                         const std::vector<long>& columns) {
  Matrix m;
  m.columns = names.size();
  std::vector<double> values;
  std::vector<double> given;  // both reused from row to row
  for (auto element : rows) {
    od::value row;
    od::json_type type;
    if (element.get(row) || row.type().get(type)) return refuse("the request is not valid JSON");
    values.assign(m.columns, MISSING);
    if (type == od::json_type::object) {
      od::object object;
      if (row.get_object().get(object)) return refuse("the request is not valid JSON");
      for (auto field : object) {
        std::string_view key;
        od::value value;
        double v = 0;
        if (field.unescaped_key().get(key) || field.value().get(value) || !read_scalar(value, v))
          return refuse("a record's values must be numbers, null or the strings of NaN and the infinities");
        const auto found = std::find(names.begin(), names.end(), key);
        if (found != names.end()) values[static_cast<std::size_t>(found - names.begin())] = v;
      }
    } else {
      given.clear();
      if (!read_values(row, given)) return refuse("a row's values must be numbers, null or the strings of NaN and the infinities");
      const std::size_t wanted = columns.empty() ? m.columns : columns.size();
      if (given.size() != wanted)
        return refuse("a row holds " + std::to_string(given.size()) + " values, not " + std::to_string(wanted));
      for (std::size_t k = 0; k < given.size(); ++k) {
        const long at = columns.empty() ? static_cast<long>(k) : columns[k];
        if (at >= 0) values[static_cast<std::size_t>(at)] = given[k];
      }
    }
    m.values.insert(m.values.end(), values.begin(), values.end());
    ++m.rows;
  }
  return m;
}

// MLflow's dataframe_split: the columns' names, then the rows.
Expected<Matrix, RequestError> read_split(od::object split, const std::vector<std::string>& names) {
  std::vector<std::string> columns;
  for (auto field : split) {
    std::string_view key;
    od::value value;
    if (field.unescaped_key().get(key) || field.value().get(value)) return refuse("the request is not valid JSON");
    if (key == "columns" && !read_names(value, columns)) return refuse("dataframe_split's columns must be names");
    if (key != "data") continue;
    od::array rows;
    if (value.get_array().get(rows)) return refuse("dataframe_split's data must be a list of rows");
    if (const std::string missing = columns.empty() ? "" : missing_input(columns, names); !missing.empty())
      return refuse(missing);
    return read_rows(rows, names, columns_of(columns, names));
  }
  return refuse("dataframe_split holds no data");
}

using Answer = std::optional<Expected<Matrix, RequestError>>;

// Hands each field of the request's top object to `take`; the rows are the
// first answer it gives, and a refusal ends the walk. `none` when no field
// answers.
template <typename Take>
Expected<Matrix, RequestError> from_top_fields(std::string_view body, const char* none, Take take) {
  od::parser parser;
  const simdjson::padded_string json(body);
  od::document doc;
  od::object top;
  if (parser.iterate(json).get(doc) || doc.get_object().get(top)) return refuse("the request is not a JSON object");
  Answer rows;
  for (auto field : top) {
    std::string_view key;
    od::value value;
    if (field.unescaped_key().get(key) || field.value().get(value)) return refuse("the request is not valid JSON");
    if (rows) continue;
    rows = take(key, value);
    if (rows && !*rows) return std::move(*rows);
  }
  if (!rows) return refuse(none);
  return std::move(*rows);
}

// An object of columns by name, each a list of the rows' values.
Expected<Matrix, RequestError> read_columns(od::object object, const std::vector<std::string>& names) {
  std::vector<Tensor> columns;
  for (auto field : object) {
    std::string_view key;
    od::value value;
    Tensor column;
    if (field.unescaped_key().get(key) || field.value().get(value)) return refuse("the request is not valid JSON");
    if (!read_values(value, column.data)) return refuse("a column must hold numbers, null, \"NaN\", \"Infinity\" or \"-Infinity\"");
    if (std::find(names.begin(), names.end(), key) == names.end()) continue;  // a column the model does not read
    column.name = std::string(key);
    column.shape = {static_cast<long long>(column.data.size())};
    columns.push_back(std::move(column));
  }
  return matrix_of(columns, names);
}

}  // namespace

Expected<InferRequest, RequestError> v2_inputs(std::string_view body, const std::vector<std::string>& names) {
  InferRequest request;
  Expected<Matrix, RequestError> rows =
      from_top_fields(body, "the request has no inputs", [&](std::string_view key, od::value value) -> Answer {
        std::string_view id;
        if (key == "id" && !value.get_string().get(id)) request.id = std::string(id);
        if (key != "inputs") return std::nullopt;
        od::array inputs;
        if (value.get_array().get(inputs)) return refuse("inputs must be a list of tensors");
        std::vector<Tensor> tensors;
        for (auto element : inputs) {
          od::object object;
          if (element.get_object().get(object)) return refuse("each input must be an object");
          Expected<Tensor, RequestError> tensor = read_tensor(object);
          if (!tensor) return Unexpected(std::move(tensor).error());
          tensors.push_back(std::move(*tensor));
        }
        return matrix_of(tensors, names);
      });
  if (!rows) return Unexpected(std::move(rows).error());
  request.rows = std::move(*rows);
  return request;
}

Expected<Matrix, RequestError> mlflow_inputs(std::string_view body, const std::vector<std::string>& names) {
  constexpr const char* NONE = "the request holds none of dataframe_split, dataframe_records, instances or inputs";
  return from_top_fields(body, NONE, [&](std::string_view key, od::value value) -> Answer {
    if (key == "dataframe_split") {
      od::object split;
      if (value.get_object().get(split)) return refuse("dataframe_split must be an object");
      return read_split(split, names);
    }
    if (key != "dataframe_records" && key != "instances" && key != "inputs") return std::nullopt;
    od::json_type type;
    od::object columns;
    if (key != "dataframe_records" && !value.type().get(type) && type == od::json_type::object) {
      if (value.get_object().get(columns)) return refuse("the request is not valid JSON");
      return read_columns(columns, names);
    }
    od::array rows;
    if (value.get_array().get(rows)) return refuse(std::string(key) + " must be a list of rows");
    return read_rows(rows, names, {});
  });
}

void append_json_prediction(std::string& out, double prediction, bool missing) {
  if (missing) {
    out += "null";
  } else if (std::isnan(prediction)) {
    out += "\"NaN\"";
  } else if (std::isinf(prediction)) {
    out += prediction > 0 ? "\"Infinity\"" : "\"-Infinity\"";
  } else {
    char buf[MAX_FIXED_CHARS];
    out.append(buf, format_shortest(buf, prediction));
  }
}

}  // namespace karva
