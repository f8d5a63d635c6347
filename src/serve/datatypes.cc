#include "serve/datatypes.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace karva {
namespace {

// An integer of `bits` bits, signed or not, from its JSON text; null is
// missing as in every other datatype.
bool read_integer(std::string_view raw, bool is_signed, int bits, double& out) {
  if (raw == "null") {
    out = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  const char* end = raw.data() + raw.size();
  if (is_signed) {
    std::int64_t v = 0;
    const auto [at, error] = std::from_chars(raw.data(), end, v);
    if (error != std::errc() || at != end || !fits_integer(v, bits)) return false;
    out = static_cast<double>(v);
  } else {
    std::uint64_t v = 0;
    const auto [at, error] = std::from_chars(raw.data(), end, v);
    if (error != std::errc() || at != end || !fits_integer(v, bits)) return false;
    out = static_cast<double>(v);
  }
  return true;
}

}  // namespace

bool fits_integer(std::int64_t v, int bits) {
  const std::int64_t most = bits == 64 ? INT64_MAX : (std::int64_t{1} << (bits - 1)) - 1;
  return v <= most && v >= -most - 1;
}

bool fits_integer(std::uint64_t v, int bits) {
  return bits == 64 || v <= (std::uint64_t{1} << bits) - 1;
}

DatatypeInfo datatype_of(std::string_view name) {
  if (name == "FP64") return {Datatype::FP64, 64};
  if (name == "FP32") return {Datatype::FP32, 32};
  if (name == "FP16") return {Datatype::FP16, 16};
  if (name == "BOOL") return {Datatype::BOOL, 8};
  for (const int bits : {8, 16, 32, 64}) {
    if (name == "INT" + std::to_string(bits)) return {Datatype::INT, bits};
    if (name == "UINT" + std::to_string(bits)) return {Datatype::UINT, bits};
  }
  return {};
}

double to_half(double v) {
  constexpr int SIGNIFICAND_BITS = 11;
  constexpr int LEAST_NORMAL_EXPONENT = -13;  // frexp's of 2^-14
  constexpr double MOST = 65504;              // the largest finite half
  if (!std::isfinite(v) || v == 0) return v;
  int exponent = 0;
  std::frexp(v, &exponent);
  // The spacing of halves near v; dividing by a power of two is exact.
  const double quantum = std::ldexp(1.0, std::max(exponent, LEAST_NORMAL_EXPONENT) - SIGNIFICAND_BITS);
  const double rounded = std::nearbyint(v / quantum) * quantum;
  return std::fabs(rounded) > MOST ? std::copysign(std::numeric_limits<double>::infinity(), v) : rounded;
}

std::size_t value_bytes(const DatatypeInfo& type) { return static_cast<std::size_t>(type.bits) / 8; }

namespace {

// The little-endian unsigned integer of `n` bytes at `p`.
std::uint64_t little_endian(const unsigned char* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = n; i-- > 0;) v = v << 8 | p[i];
  return v;
}

double from_half(std::uint64_t bits) {
  constexpr int BIAS = 15;
  constexpr int FRACTION_BITS = 10;
  const double sign = (bits & 0x8000) != 0 ? -1.0 : 1.0;
  const int exponent = static_cast<int>(bits >> FRACTION_BITS & 0x1F);
  const auto fraction = static_cast<double>(bits & 0x3FF);
  if (exponent == 0x1F) return fraction != 0 ? std::numeric_limits<double>::quiet_NaN() : sign * INFINITY;
  if (exponent == 0) return sign * std::ldexp(fraction, 1 - BIAS - FRACTION_BITS);  // subnormal or zero
  return sign * std::ldexp(fraction + (1 << FRACTION_BITS), exponent - BIAS - FRACTION_BITS);
}

// The value of a signed integer of `n` bytes, two's complement.
double signed_value(std::uint64_t bits, std::size_t n) {
  const std::uint64_t sign = std::uint64_t{1} << (n * 8 - 1);
  if (n == 8) return static_cast<double>(static_cast<std::int64_t>(bits));
  return static_cast<double>(static_cast<std::int64_t>(bits ^ sign) - static_cast<std::int64_t>(sign));
}

}  // namespace

bool binary_value(const unsigned char* p, const DatatypeInfo& type, double& out) {
  const std::size_t n = value_bytes(type);
  const std::uint64_t bits = little_endian(p, n);
  switch (type.kind) {
    case Datatype::FP64: out = std::bit_cast<double>(bits); return true;
    case Datatype::FP32: out = static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(bits))); return true;
    case Datatype::FP16: out = from_half(bits); return true;
    case Datatype::INT: out = signed_value(bits, n); return true;
    case Datatype::UINT: out = static_cast<double>(bits); return true;
    case Datatype::BOOL: out = static_cast<double>(bits); return bits <= 1;
    case Datatype::NONE: break;
  }
  return false;
}

bool read_typed(od::value value, const DatatypeInfo& type, double& out) {
  switch (type.kind) {
    case Datatype::FP64: return read_number(value, out);
    case Datatype::FP32:
      if (!read_number(value, out)) return false;
      out = static_cast<double>(static_cast<float>(out));
      return true;
    case Datatype::FP16:
      if (!read_number(value, out)) return false;
      out = to_half(static_cast<double>(static_cast<float>(out)));
      return true;
    case Datatype::INT:
    case Datatype::UINT: return read_integer(token_text(value), type.kind == Datatype::INT, type.bits, out);
    case Datatype::BOOL: {
      const std::string_view raw = token_text(value);
      out = raw == "true" ? 1 : raw == "false" ? 0 : std::numeric_limits<double>::quiet_NaN();
      return raw == "true" || raw == "false" || raw == "null";
    }
    case Datatype::NONE: break;
  }
  return false;
}

}  // namespace karva
