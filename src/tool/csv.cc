#include "tool/csv.h"

#include <algorithm>
#include <cstring>

namespace karva {

const char* next_csv_field(const char* p, const char* e, char delimiter, CsvField& field) {
  const char* start = p;
  field.quoted = p < e && *p == '"';
  if (!field.quoted) {
    const void* d = std::memchr(p, delimiter, static_cast<std::size_t>(e - p));
    const char* end = d ? static_cast<const char*>(d) : e;
    field.raw = field.value = std::string_view(start, static_cast<std::size_t>(end - start));
    return end;
  }
  ++p;
  const char* close = e;
  while (p < e) {
    if (*p == '"') {
      if (p + 1 < e && p[1] == '"') {
        p += 2;  // a quote written twice
        continue;
      }
      close = p++;
      break;
    }
    ++p;
  }
  field.value = std::string_view(start + 1, static_cast<std::size_t>(close - start - 1));
  // Anything between the closing quote and the delimiter stays with the field.
  while (p < e && *p != delimiter) ++p;
  field.raw = std::string_view(start, static_cast<std::size_t>(p - start));
  return p;
}

std::string csv_decode(std::string_view raw) {
  if (raw.empty() || raw.front() != '"') return std::string(raw);
  std::string text;
  for (std::size_t i = 1; i < raw.size(); ++i) {
    if (raw[i] != '"') {
      text += raw[i];
    } else if (i + 1 < raw.size() && raw[i + 1] == '"') {
      text += '"';
      ++i;
    } else {
      text.append(raw.substr(i + 1));  // after the closing quote, as written
      break;
    }
  }
  return text;
}

void csv_append(std::string& out, std::string_view text, char delimiter) {
  const bool needs_quotes =
      std::any_of(text.begin(), text.end(), [&](char c) { return c == delimiter || c == '"' || c == '\n' || c == '\r'; }) ||
                            (!text.empty() && (text.front() == ' ' || text.back() == ' '));
  if (!needs_quotes) {
    out.append(text);
    return;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

}  // namespace karva
