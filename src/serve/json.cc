#include "serve/json.h"

#include <bitset>
#include <cctype>
#include <cstring>
#include <limits>

#include "text/number.h"

namespace karva {
namespace {

constexpr double MISSING = std::numeric_limits<double>::quiet_NaN();
constexpr double INFINITE = std::numeric_limits<double>::infinity();

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The end of the digits from `at`.
std::size_t digits_end(std::string_view s, std::size_t at) {
  while (at < s.size() && is_digit(s[at])) ++at;
  return at;
}

// Whether `token` is a number as RFC 8259 writes one: no leading zero, no
// bare point, no hexadecimal, no plus sign.
bool is_json_number(std::string_view token) {
  std::size_t at = token.starts_with('-') ? 1 : 0;
  if (at >= token.size()) return false;
  if (token[at] == '0') ++at;
  else if (const std::size_t end = digits_end(token, at); end > at) at = end;
  else return false;
  if (at < token.size() && token[at] == '.') {
    const std::size_t end = digits_end(token, at + 1);
    if (end == at + 1) return false;
    at = end;
  }
  if (at < token.size() && (token[at] == 'e' || token[at] == 'E')) {
    at += at + 1 < token.size() && (token[at + 1] == '+' || token[at + 1] == '-') ? 2 : 1;
    const std::size_t end = digits_end(token, at);
    if (end == at) return false;
    at = end;
  }
  return at == token.size();
}

bool is_scalar_token(std::string_view token) {
  return token == "true" || token == "false" || token == "null" || token == "NaN" || token == "Infinity" ||
         token == "-Infinity" || is_json_number(token);
}

// The end of the string that opens at `at`, past its closing quote; 0 when
// it is not a JSON string (a control byte, an unknown escape, no end).
std::size_t string_end(std::string_view s, std::size_t at) {
  for (++at; at < s.size(); ++at) {
    const auto c = static_cast<unsigned char>(s[at]);
    if (c == '"') return at + 1;
    if (c < 0x20) return 0;
    if (c != '\\') continue;
    if (++at >= s.size()) return 0;
    if (s[at] == 'u') {
      for (int k = 0; k < 4; ++k)
        if (++at >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[at]))) return 0;
    } else if (!std::strchr("\"\\/bfnrt", s[at]) || s[at] == '\0') {
      return 0;
    }
  }
  return 0;
}

// The walk of the grammar: what may come next.
enum class Want { VALUE, FIRST_VALUE, KEY, FIRST_KEY, COLON, NEXT, END };

}  // namespace

JsonFault check_json(std::string_view body, int most_depth, std::size_t* start) {
  constexpr std::string_view BOM = "\xEF\xBB\xBF";
  std::size_t at = body.starts_with(BOM) ? BOM.size() : 0;
  *start = at;
  std::bitset<64> in_object;  // per open level: an object, else an array
  int depth = 0;
  Want want = Want::VALUE;
  for (; at < body.size(); ++at) {
    const char c = body[at];
    if (is_space(c)) continue;
    if (want == Want::END) return JsonFault::SYNTAX;
    const bool closes = c == ']' || c == '}';
    if (closes && depth > 0 && in_object[static_cast<std::size_t>(depth - 1)] == (c == '}') &&
        (want == Want::NEXT || want == (c == '}' ? Want::FIRST_KEY : Want::FIRST_VALUE))) {
      --depth;
      want = depth == 0 ? Want::END : Want::NEXT;
    } else if (want == Want::NEXT && c == ',' && depth > 0) {
      want = in_object[static_cast<std::size_t>(depth - 1)] ? Want::KEY : Want::VALUE;
    } else if (want == Want::COLON && c == ':') {
      want = Want::VALUE;
    } else if ((want == Want::KEY || want == Want::FIRST_KEY) && c == '"') {
      const std::size_t end = string_end(body, at);
      if (end == 0) return JsonFault::SYNTAX;
      at = end - 1;
      want = Want::COLON;
    } else if (want != Want::VALUE && want != Want::FIRST_VALUE) {
      return JsonFault::SYNTAX;
    } else if (c == '[' || c == '{') {
      if (depth >= most_depth || depth >= static_cast<int>(in_object.size())) return JsonFault::TOO_DEEP;
      in_object[static_cast<std::size_t>(depth++)] = c == '{';
      want = c == '{' ? Want::FIRST_KEY : Want::FIRST_VALUE;
    } else {
      std::size_t end = at;
      if (c == '"') end = string_end(body, at);
      else
        while (end < body.size() && !is_space(body[end]) && !std::strchr(",:[]{}\"", body[end])) ++end;
      if (end == 0 || (c != '"' && !is_scalar_token(body.substr(at, end - at)))) return JsonFault::SYNTAX;
      at = end - 1;
      want = depth == 0 ? Want::END : Want::NEXT;
    }
  }
  return want == Want::END ? JsonFault::NONE : JsonFault::SYNTAX;
}

bool read_number(od::value value, double& out) {
  std::string_view raw = value.raw_json_token();
  while (!raw.empty() && is_space(raw.back())) raw.remove_suffix(1);
  if (raw == "null" || raw == "NaN" || raw == "\"NaN\"") out = MISSING;
  else if (raw == "Infinity" || raw == "\"Infinity\"") out = INFINITE;
  else if (raw == "-Infinity" || raw == "\"-Infinity\"") out = -INFINITE;
  else if (!is_json_number(raw)) return false;
  else {
    bool whole = false;
    out = parse_number(raw, &whole);
    return whole;
  }
  return true;
}

simdjson::padded_string_view padded(const std::string& body, simdjson::padded_string& copy) {
  if (body.capacity() >= body.size() + simdjson::SIMDJSON_PADDING) return simdjson::padded_string_view(body.data(), body.size(), body.capacity());
  copy = simdjson::padded_string(body);
  return copy;
}

}  // namespace karva
