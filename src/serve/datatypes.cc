#include "serve/datatypes.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace karva {
namespace {

std::string_view token_of(od::value value) {
  std::string_view raw = value.raw_json_token();
  while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\t' || raw.back() == '\n' || raw.back() == '\r'))
    raw.remove_suffix(1);
  return raw;
}

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
    const std::int64_t most = bits == 64 ? INT64_MAX : (std::int64_t{1} << (bits - 1)) - 1;
    if (error != std::errc() || at != end || v > most || v < -most - 1) return false;
    out = static_cast<double>(v);
  } else {
    std::uint64_t v = 0;
    const auto [at, error] = std::from_chars(raw.data(), end, v);
    const std::uint64_t most = bits == 64 ? UINT64_MAX : (std::uint64_t{1} << bits) - 1;
    if (error != std::errc() || at != end || v > most) return false;
    out = static_cast<double>(v);
  }
  return true;
}

}  // namespace

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
    case Datatype::UINT: return read_integer(token_of(value), type.kind == Datatype::INT, type.bits, out);
    case Datatype::BOOL: {
      const std::string_view raw = token_of(value);
      out = raw == "true" ? 1 : raw == "false" ? 0 : std::numeric_limits<double>::quiet_NaN();
      return raw == "true" || raw == "false" || raw == "null";
    }
    case Datatype::NONE: break;
  }
  return false;
}

}  // namespace karva
