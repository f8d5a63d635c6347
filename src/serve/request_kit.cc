#include "serve/request_kit.h"

namespace karva::request_kit {

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

}  // namespace karva::request_kit
