// The Open Inference Protocol's numeric datatypes: each tensor's values
// read from JSON as its datatype holds them and converted to double as C++
// converts them (exact but for 64-bit integers beyond 2^53, which round to
// the nearest double).
#pragma once

#include <cstdint>
#include <string_view>

#include "serve/json.h"

namespace karva {

// How a tensor's values are read; NONE for a datatype karva does not take.
enum class Datatype { NONE, FP64, FP32, FP16, INT, UINT, BOOL };

struct DatatypeInfo {
  Datatype kind = Datatype::NONE;
  int bits = 0;  // of INT and UINT
};

DatatypeInfo datatype_of(std::string_view name);

// One value of a tensor of `type`: false for one it cannot hold (a
// fraction or a number out of range for an integer type, a number for BOOL).
bool read_typed(od::value value, const DatatypeInfo& type, double& out);

// Whether an integer is within the range of a signed or unsigned integer
// type of `bits` bits.
bool fits_integer(std::int64_t v, int bits);
bool fits_integer(std::uint64_t v, int bits);

// A double rounded to IEEE half precision, to nearest, ties to even.
double to_half(double v);

// The bytes one value of `type` takes as binary data.
std::size_t value_bytes(const DatatypeInfo& type);
// The value at `p`, little-endian binary data of `type`: a BOOL byte other
// than 0 or 1 is not one (false).
bool binary_value(const unsigned char* p, const DatatypeInfo& type, double& out);

}  // namespace karva
