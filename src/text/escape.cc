#include "text/escape.h"

#include <cstdio>

namespace karva {
namespace {

constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";  // U+FFFD

void append_hex(std::string& out, unsigned char c) {
  char buf[5];
  std::snprintf(buf, sizeof buf, "\\x%02x", c);
  out += buf;
}

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

// The length of the UTF-8 sequence at `s`, or 0 when it is malformed.
std::size_t utf8_length(std::string_view s) {
  const auto c = static_cast<unsigned char>(s[0]);
  const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (n == 0 || n > s.size()) return 0;
  for (std::size_t i = 1; i < n; ++i)
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 0;
  return n;
}

}  // namespace

std::string comment_text(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const char before = i > 0 ? text[i - 1] : '\0';
    if (c < 0x20 || c > 0x7E || c == '\\' || (c == '/' && before == '*') || (c == '*' && before == '/'))
      append_hex(out, c);
    else
      out += static_cast<char>(c);
  }
  return out;
}

std::string xml_text(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = utf8_length(text.substr(i));
    const auto c = static_cast<unsigned char>(text[i]);
    if (n == 0 || (n == 1 && is_control(c) && c != '\t')) {
      out += REPLACEMENT;
      i += n == 0 ? 1 : n;
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out.append(text.substr(i, n));
    }
    i += n;
  }
  return out;
}

std::string sql_identifier(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string shown(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (is_control(static_cast<unsigned char>(c)))
      append_hex(out, static_cast<unsigned char>(c));
    else
      out += c;
  }
  return out;
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", byte);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string prometheus_label(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out + "\"";
}

}  // namespace karva
