#include "serve/request.h"

#include <algorithm>
#include <cmath>

#include "serve/request_kit.h"
#include "text/number.h"

namespace karva {
namespace {

using namespace request_kit;

// Rows as lists of values (by `at`, the column of each position, -1 for one
// the model does not read; empty: the inputs' order) or as records by name.
Expected<Matrix, RequestFault> read_rows(od::array rows, const std::vector<std::string>& names,
                                         const std::vector<long>& at, const ReadLimits& limits);

// The column among `names` of each of `given`; -1 for one not read.
std::vector<long> columns_of(const std::vector<std::string>& given, const std::vector<std::string>& names) {
  std::vector<long> at;
  for (const std::string& name : given) {
    const auto found = std::find(names.begin(), names.end(), name);
    at.push_back(found == names.end() ? -1 : found - names.begin());
  }
  return at;
}

std::optional<RequestFault> read_record(od::object record, const std::vector<std::string>& names, double* row) {
  for (auto entry : record) {
    std::string_view key;
    od::value value;
    if (entry.unescaped_key().get(key) || entry.value().get(value)) return RequestFault{Kind::NOT_JSON};
    const auto found = std::find(names.begin(), names.end(), key);
    if (found == names.end()) continue;  // not an input: not read, whatever it holds
    if (!read_number(value, row[found - names.begin()])) return RequestFault{Kind::BAD_VALUE, "a record's inputs"};
  }
  return std::nullopt;
}

std::optional<RequestFault> read_list(od::value value, std::size_t width, const std::vector<long>& at, double* row) {
  od::json_type type;
  od::array list;
  std::size_t k = 0;
  const auto take = [&](od::value item) {
    const long column = at.empty() ? static_cast<long>(k) : k < at.size() ? at[k] : -1;
    ++k;
    return column < 0 || k > width || read_number(item, row[column]);
  };
  if (value.type().get(type) || type != od::json_type::array) {
    if (!take(value)) return RequestFault{Kind::BAD_VALUE, "a row"};  // a row of one value, bare
  } else if (value.get_array().get(list)) {
    return RequestFault{Kind::NOT_JSON};
  } else {
    for (auto element : list) {
      od::value item;
      if (element.get(item) || !take(item)) return RequestFault{Kind::BAD_VALUE, "a row"};
    }
  }
  if (k != width) return RequestFault{Kind::ROW_LENGTH, "", std::to_string(k), width};
  return std::nullopt;
}

Expected<Matrix, RequestFault> read_rows(od::array rows, const std::vector<std::string>& names,
                                         const std::vector<long>& at, const ReadLimits& limits) {
  std::size_t count = 0;
  if (rows.count_elements().get(count)) return fault(Kind::NOT_JSON);
  Expected<Matrix, RequestFault> m = make_matrix(count, names.size(), limits);
  if (!m) return m;
  const std::size_t width = at.empty() ? names.size() : at.size();
  double* row = m->values.data();
  for (auto element : rows) {
    od::value value;
    od::json_type type;
    od::object record;
    if (element.get(value) || value.type().get(type)) return fault(Kind::NOT_JSON);
    std::optional<RequestFault> bad = type == od::json_type::object
                                          ? (value.get_object().get(record) ? RequestFault{Kind::NOT_JSON}
                                                                            : read_record(record, names, row))
                                          : read_list(value, width, at, row);
    if (bad) return Unexpected(std::move(*bad));
    row += names.size();
  }
  return m;
}

// dataframe_split: the columns' names (optional), then the rows.
Expected<Matrix, RequestFault> read_split(od::value value, const std::vector<std::string>& names,
                                          const ReadLimits& limits) {
  od::object split;
  if (value.get_object().get(split)) return fault(Kind::NOT_AN_OBJECT, "dataframe_split");
  std::vector<std::string> columns;
  od::value given;
  od::array list;
  if (field(split, "columns", given)) {
    if (given.get_array().get(list)) return fault(Kind::NOT_NAMES);
    for (auto element : list) {
      std::string_view name;
      if (element.get_string().get(name)) return fault(Kind::NOT_NAMES);
      columns.emplace_back(name);
    }
    for (const std::string& name : names)
      if (std::find(columns.begin(), columns.end(), name) == columns.end())
        return fault(Kind::NO_SUCH_INPUT, name, "", names.size());
  }
  od::value data;
  od::array rows;
  if (!field(split, "data", data)) return fault(Kind::SPLIT_WITHOUT_DATA);
  if (data.get_array().get(rows)) return fault(Kind::NOT_A_LIST, "dataframe_split's data");
  return read_rows(rows, names, columns.empty() ? std::vector<long>{} : columns_of(columns, names), limits);
}

// An object of columns by name, each a list of the rows' values; every
// input must be there, and other columns are not read.
Expected<Matrix, RequestFault> read_columns(od::object object, const std::vector<std::string>& names,
                                            const ReadLimits& limits) {
  std::size_t rows = 0;
  for (std::size_t k = 0; k < names.size(); ++k) {
    od::value value;
    od::array column;
    std::size_t count = 0;
    if (!field(object, names[k], value)) return fault(Kind::NO_SUCH_INPUT, names[k], "", names.size());
    if (value.get_array().get(column) || column.count_elements().get(count)) return fault(Kind::NOT_A_LIST, names[k]);
    if (k > 0 && count != rows) return fault(Kind::ROWS_DIFFER);
    rows = count;
  }
  Expected<Matrix, RequestFault> m = make_matrix(rows, names.size(), limits);
  for (std::size_t k = 0; m && k < names.size(); ++k) {
    od::value value;
    if (!field(object, names[k], value)) return fault(Kind::NOT_JSON);
    const Placement at{k, names.size(), rows};
    if (std::optional<RequestFault> bad = fill(value, *m, at, names[k])) {
      if (bad->kind == Kind::SHAPE_UNFILLED) bad->other = "[" + std::to_string(rows) + "]";
      return Unexpected(std::move(*bad));
    }
  }
  return m;
}

// Which of MLflow's forms the request holds: exactly one.
Expected<std::string, RequestFault> mlflow_form(od::object& top) {
  static constexpr std::string_view FORMS[] = {"dataframe_split", "dataframe_records", "instances", "inputs"};
  std::string form;
  for (auto entry : top) {
    std::string_view key;
    if (entry.unescaped_key().get(key)) return fault(Kind::NOT_JSON);
    if (std::find(std::begin(FORMS), std::end(FORMS), key) == std::end(FORMS)) continue;
    if (!form.empty()) return fault(Kind::TWO_FORMS, std::min(form, std::string(key)), std::max(form, std::string(key)));
    form = key;
  }
  if (form.empty()) return fault(Kind::NO_FORM);
  return form;
}

}  // namespace

Expected<Matrix, RequestFault> mlflow_inputs(const std::string& body, const std::vector<std::string>& names,
                                             const ReadLimits& limits) {
  Document d;
  if (std::optional<RequestFault> bad = open(body, body.size(), d)) return Unexpected(std::move(*bad));
  Expected<std::string, RequestFault> form = mlflow_form(d.top);
  if (!form) return Unexpected(std::move(form).error());
  od::value value;
  od::json_type type;
  od::object columns;
  od::array rows;
  if (!field(d.top, *form, value) || value.type().get(type)) return fault(Kind::NOT_JSON);
  if (*form == "dataframe_split") return read_split(value, names, limits);
  if (*form != "dataframe_records" && type == od::json_type::object) {
    if (value.get_object().get(columns)) return fault(Kind::NOT_JSON);
    return read_columns(columns, names, limits);
  }
  if (value.get_array().get(rows)) return fault(Kind::NOT_A_LIST, *form);
  return read_rows(rows, names, {}, limits);
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
