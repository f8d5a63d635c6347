// What both protocols' readers share: the body opened as JSON, fields by
// key in any order, numbers read straight into the matrix that is scored.
// Internal to the request readers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "serve/datatypes.h"
#include "serve/json.h"
#include "serve/request.h"
#include "serve/tensors.h"

namespace karva::request_kit {

using Kind = RequestFault::Kind;

// A body being read: simdjson's reader over it, and its top object.
struct Document {
  simdjson::padded_string copy;  // only when the body has no room for padding
  od::parser parser;
  od::document doc;
  od::object top;
};

// Opens the first `size` bytes of `body` (all of it but binary data after
// the JSON) into `d`: checked whole, then its top object; the fault when it
// is not JSON or not an object.
std::optional<RequestFault> open(const std::string& body, std::size_t size, Document& d);

// The field `key` of `object`, wherever it stands; false when there is none.
bool field(od::object& object, std::string_view key, od::value& value);

// Every value of `value`, nested lists flattened (as deep as the check
// let the body nest), read as `type` holds them and handed to `put`, which
// gives false once it has taken all it can. False for a value that is not
// one of `type` or a list.
template <typename Put>
bool read_flat(od::value value, const DatatypeInfo& type, Put& put) {
  od::json_type json;
  if (value.type().get(json) || json != od::json_type::array) {
    double v = 0;
    return read_typed(value, type, v) && put(v);
  }
  od::array array;
  if (value.get_array().get(array)) return false;
  for (auto element : array) {
    od::value item;
    if (element.get(item) || !read_flat(item, type, put)) return false;
  }
  return true;
}

// Reads `value` into `m` as `at` places it; the fault when it does not
// fill its place exactly (named `name`: the caller adds the shape).
std::optional<RequestFault> fill(od::value value, Matrix& m, const Placement& at, const std::string& name,
                                 const DatatypeInfo& type = {Datatype::FP64, 64});

}  // namespace karva::request_kit
