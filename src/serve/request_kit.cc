#include "serve/request_kit.h"

#include <limits>

namespace karva::request_kit {
namespace {

constexpr double MISSING = std::numeric_limits<double>::quiet_NaN();

// The rows the limits allow, or why not.
std::optional<RequestFault> admit_rows(std::size_t rows, const ReadLimits& limits) {
  if (rows > limits.most_rows) return RequestFault{Kind::TOO_MANY_ROWS, "", "", limits.most_rows};
  if (limits.room_for && !limits.room_for(rows)) return RequestFault{Kind::NO_MEMORY};
  return std::nullopt;
}

}  // namespace

std::optional<RequestFault> open(const std::string& body, std::size_t size, Document& d) {
  std::size_t start = 0;
  const JsonFault checked = check_json(std::string_view(body).substr(0, size), MOST_JSON_DEPTH, &start);
  if (checked == JsonFault::TOO_DEEP) return RequestFault{Kind::TOO_DEEP, "", "", MOST_JSON_DEPTH};
  if (checked != JsonFault::NONE) return RequestFault{Kind::NOT_JSON};
  const simdjson::padded_string_view whole = padded(body, size, d.copy);
  const simdjson::padded_string_view json(whole.data() + start, whole.size() - start, whole.capacity() - start);
  if (d.parser.iterate(json).get(d.doc)) return RequestFault{Kind::NOT_JSON};
  if (d.doc.get_object().get(d.top)) return RequestFault{Kind::NOT_OBJECT};
  return std::nullopt;
}

bool field(od::object& object, std::string_view key, od::value& value) {
  return !object.find_field_unordered(key).get(value);
}

std::optional<RequestFault> fill(od::value value, Matrix& m, const Placement& at, const std::string& name,
                                 const DatatypeInfo& type) {
  std::size_t taken = 0;
  bool too_many = false;
  auto put = [&](double v) {
    too_many = taken == at.count;
    if (too_many) return false;
    m.values[at.offset + taken++ * at.stride] = v;
    return true;
  };
  if (!read_flat(value, type, put) && !too_many) return RequestFault{Kind::BAD_VALUE, "input \"" + name + "\"'s data"};
  if (too_many || taken != at.count) return RequestFault{Kind::SHAPE_UNFILLED, name};
  return std::nullopt;
}

Expected<Matrix, RequestFault> make_matrix(std::size_t rows, std::size_t columns, const ReadLimits& limits) {
  if (std::optional<RequestFault> refused = admit_rows(rows, limits)) return Unexpected(std::move(*refused));
  Matrix m;
  m.rows = rows;
  m.columns = columns;
  m.values.assign(rows * columns, MISSING);
  return m;
}

}  // namespace karva::request_kit
