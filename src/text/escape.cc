#include "text/escape.h"

#include <cstdint>
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

// The length of the well-formed UTF-8 sequence at `s`, or 0 when it is
// malformed: cut short, overlong, a surrogate or past U+10FFFF.
std::size_t utf8_length(std::string_view s) {
  const auto c = static_cast<unsigned char>(s[0]);
  const std::size_t n = c < 0x80 ? 1 : c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
  if (n == 0 || n > s.size()) return 0;
  for (std::size_t i = 1; i < n; ++i)
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 0;
  // The second byte's range where the first allows less than every
  // continuation: no overlong form, no surrogate, nothing past U+10FFFF.
  const auto second = static_cast<unsigned char>(n > 1 ? s[1] : 0x80);
  if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) || (c == 0xF0 && second < 0x90) ||
      (c == 0xF4 && second > 0x8F))
    return 0;
  return n;
}

// Each well-formed character of `text` handed to `take`; each malformed
// byte as U+FFFD.
template <typename Take>
void for_each_character(std::string_view text, Take take) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = utf8_length(text.substr(i));
    take(n == 0 ? std::string_view(REPLACEMENT) : text.substr(i, n));
    i += n == 0 ? 1 : n;
  }
}

// The code point of one well-formed character: the lead byte's bits, then
// six from each continuation.
std::uint32_t code_point(std::string_view character) {
  const auto lead = static_cast<unsigned char>(character[0]);
  std::uint32_t point = character.size() == 1 ? lead : lead & (0x7F >> character.size());
  for (std::size_t i = 1; i < character.size(); ++i) point = point << 6 | (static_cast<unsigned char>(character[i]) & 0x3F);
  return point;
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
  for_each_character(text, [&](std::string_view character) {
    const auto byte = static_cast<unsigned char>(character[0]);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += character;
    } else if (is_control(byte)) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", byte);
      out += buf;
    } else {
      out += character;
    }
  });
  return out + "\"";
}

std::string python_string(std::string_view text) {
  std::string out = "\"";
  for_each_character(text, [&](std::string_view character) {
    const auto lead = static_cast<unsigned char>(character[0]);
    if (character.size() == 1 && lead >= 0x20 && lead < 0x7F && lead != '"' && lead != '\\') {
      out += character;
      return;
    }
    const std::uint32_t point = code_point(character);
    char buf[12];
    std::snprintf(buf, sizeof buf, point > 0xFFFF ? "\\U%08x" : "\\u%04x", static_cast<unsigned>(point));
    out += buf;
  });
  return out + "\"";
}

std::string latex_text(std::string_view text) {
  std::string out;
  for_each_character(text, [&](std::string_view character) {
    const auto lead = static_cast<unsigned char>(character[0]);
    if (character.size() > 1 || is_control(lead)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "[U+%04X]", static_cast<unsigned>(code_point(character)));
      out += buf;
      return;
    }
    switch (lead) {
      // The backslash and the dollar from math mode: text mode's need a font
      // that pdflatex would have to make first.
      case '\\': out += "$\\backslash$"; break;
      case '$': out += "$\\$$"; break;
      case '~': out += "\\~{}"; break;
      case '^': out += "\\^{}"; break;
      case '{': case '}': case '&': case '#': case '_': case '%': out += '\\'; out += character; break;
      default: out += character;
    }
  });
  return out;
}

std::string prometheus_label(std::string_view text) {
  std::string out = "\"";
  for_each_character(text, [&](std::string_view character) {
    if (character == "\\" || character == "\"") out += '\\';
    out += character == "\n" ? std::string_view("\\n") : character;
  });
  return out + "\"";
}

std::string log_field(std::string_view text) {
  if (text.empty()) return "-";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '\\' || c == '"')
      append_hex(out, byte);
    else
      out += c;
  }
  return out;
}

}  // namespace karva
