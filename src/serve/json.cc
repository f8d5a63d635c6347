#include "serve/json.h"

#include <array>
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

// The bytes that end a bare token: white space and the structural bytes.
constexpr std::array<bool, 256> TOKEN_ENDS = [] {
  std::array<bool, 256> ends{};
  for (const char c : std::string_view(" \t\n\r,:[]{}\"", 12)) ends[static_cast<unsigned char>(c)] = true;
  return ends;
}();

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
  if (is_digit(token[0]) || (token[0] == '-' && token.size() > 1 && is_digit(token[1]))) return is_json_number(token);
  return token == "true" || token == "false" || token == "null" || token == "NaN" || token == "Infinity" ||
         token == "-Infinity";
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

// The levels open, each an object or an array.
class Levels {
 public:
  explicit Levels(int most) : most_(most) {}
  bool open(bool object) {
    if (depth_ >= most_ || depth_ >= static_cast<int>(object_.size())) return false;
    object_[static_cast<std::size_t>(depth_++)] = object;
    return true;
  }
  bool in_object() const { return object_[static_cast<std::size_t>(depth_ - 1)]; }
  // What may follow the level just closed.
  Want close() { return --depth_ == 0 ? Want::END : Want::NEXT; }
  Want after_value() const { return depth_ == 0 ? Want::END : Want::NEXT; }

 private:
  const int most_;
  int depth_ = 0;
  std::bitset<64> object_;
};

// The end of the value that starts at `at` (a string or a bare token), or 0
// when it is none; a container opens a level instead.
std::size_t scalar_end(std::string_view body, std::size_t at) {
  if (body[at] == '"') return string_end(body, at);
  std::size_t end = at;
  while (end < body.size() && !TOKEN_ENDS[static_cast<unsigned char>(body[end])]) ++end;
  return end > at && is_scalar_token(body.substr(at, end - at)) ? end : 0;
}

}  // namespace

JsonFault check_json(std::string_view body, int most_depth, std::size_t* start) {
  constexpr std::string_view BOM = "\xEF\xBB\xBF";
  std::size_t at = body.starts_with(BOM) ? BOM.size() : 0;
  *start = at;
  Levels levels(most_depth);
  Want want = Want::VALUE;
  for (; at < body.size(); ++at) {
    const char c = body[at];
    if (is_space(c)) continue;
    switch (want) {
      case Want::NEXT:
        if (c == ',') want = levels.in_object() ? Want::KEY : Want::VALUE;
        else if (c == (levels.in_object() ? '}' : ']')) want = levels.close();
        else return JsonFault::SYNTAX;
        continue;
      case Want::FIRST_KEY:
      case Want::KEY:
        if (c == '}' && want == Want::FIRST_KEY) want = levels.close();
        else if (const std::size_t end = c == '"' ? string_end(body, at) : 0; end != 0) at = end - 1, want = Want::COLON;
        else return JsonFault::SYNTAX;
        continue;
      case Want::COLON:
        if (c != ':') return JsonFault::SYNTAX;
        want = Want::VALUE;
        continue;
      case Want::END: return JsonFault::SYNTAX;
      case Want::FIRST_VALUE:
      case Want::VALUE: break;
    }
    if (c == ']' && want == Want::FIRST_VALUE) {
      want = levels.close();
    } else if (c == '[' || c == '{') {
      if (!levels.open(c == '{')) return JsonFault::TOO_DEEP;
      want = c == '{' ? Want::FIRST_KEY : Want::FIRST_VALUE;
    } else if (const std::size_t end = scalar_end(body, at); end != 0) {
      at = end - 1;
      want = levels.after_value();
    } else {
      return JsonFault::SYNTAX;
    }
  }
  return want == Want::END ? JsonFault::NONE : JsonFault::SYNTAX;
}

std::string_view token_text(od::value value) {
  std::string_view raw = value.raw_json_token();
  while (!raw.empty() && is_space(raw.back())) raw.remove_suffix(1);
  return raw;
}

bool read_number(od::value value, double& out) {
  const std::string_view raw = token_text(value);
  if (raw == "null" || raw == "NaN" || raw == "\"NaN\"") out = MISSING;
  else if (raw == "Infinity" || raw == "\"Infinity\"") out = INFINITE;
  else if (raw == "-Infinity" || raw == "\"-Infinity\"") out = -INFINITE;
  else if (raw.empty() || !(raw[0] == '-' || is_digit(raw[0]))) return false;  // a checked body: a number, else not one
  else {
    bool whole = false;
    out = parse_number(raw, &whole);
    return whole;
  }
  return true;
}

simdjson::padded_string_view padded(const std::string& body, std::size_t size, simdjson::padded_string& copy) {
  if (body.capacity() >= size + simdjson::SIMDJSON_PADDING)
    return simdjson::padded_string_view(body.data(), size, body.capacity());
  copy = simdjson::padded_string(body.data(), size);
  return copy;
}

}  // namespace karva
