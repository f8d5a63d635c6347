#include "text/csv.h"

#include <algorithm>
#include <cstring>

namespace karva {
namespace {

const char* find(const char* p, const char* e, char c) {
  return static_cast<const char*>(std::memchr(p, c, static_cast<std::size_t>(e - p)));
}

const char* find_last(const char* p, const char* e, char c) {
  return static_cast<const char*>(memrchr(p, c, static_cast<std::size_t>(e - p)));
}

}  // namespace

CsvRecordEnds csv_record_ends(const char* p, const char* e, CsvSyntax syntax, bool first_only) {
  CsvRecordEnds ends;
  CsvState s = CsvState::FIELD_START;
  while (p < e) {
    if (s == CsvState::QUOTED) {
      // Inside quotes everything but a quote leaves the state as it is.
      const char* quote = find(p, e, '"');
      if (!quote) break;
      s = CsvState::QUOTE_IN_QUOTED;
      p = quote + 1;
      continue;
    }
    if (s == CsvState::QUOTE_IN_QUOTED || s == CsvState::FIELD_START) {
      const CsvState next = csv_step(s, *p, syntax);
      if (next == CsvState::QUOTED && s == CsvState::FIELD_START) ends.opened = p;
      if (*p == syntax.line_end && next == CsvState::FIELD_START) {
        ends.last = p + 1;
        if (!ends.first) ends.first = p + 1;
        if (first_only) return ends;
      }
      s = next;
      ++p;
      continue;
    }
    // UNQUOTED until the next quote, whose state depends on the byte before.
    const char* quote = nullptr;
    if (first_only) {
      // A quote past the next line end does not matter: the search stops there.
      const char* line_end = find(p, e, syntax.line_end);
      quote = find(p, line_end ? line_end : e, '"');
      if (!quote && line_end) {
        ends.first = ends.last = line_end + 1;
        return ends;
      }
    } else {
      quote = find(p, e, '"');
      const char* run_end = quote ? quote : e;
      if (const char* end = find_last(p, run_end, syntax.line_end)) {
        ends.last = end + 1;
        if (!ends.first) ends.first = find(p, run_end, syntax.line_end) + 1;
      }
    }
    if (!quote) {
      s = e[-1] == syntax.delimiter || e[-1] == syntax.line_end ? CsvState::FIELD_START : CsvState::UNQUOTED;
      break;
    }
    // The byte before the quote tells whether a field starts there.
    const char before = quote[-1];
    s = before == syntax.delimiter || before == syntax.line_end ? CsvState::FIELD_START : CsvState::UNQUOTED;
    if (s == CsvState::UNQUOTED) s = csv_step(s, '"', syntax);  // text
    p = s == CsvState::FIELD_START ? quote : quote + 1;
  }
  ends.state = s;
  if (s != CsvState::QUOTED) ends.opened = nullptr;
  return ends;
}

const char* next_csv_field(const char* p, const char* e, CsvSyntax syntax, CsvField& field, std::string& scratch) {
  const char* start = p;
  field.quoted = p < e && *p == '"';
  if (!field.quoted) {
    // A quote past the field's start is text: only the delimiter ends it.
    const char* end = find(p, e, syntax.delimiter);
    if (!end) end = e;
    field.raw = field.value = std::string_view(start, static_cast<std::size_t>(end - start));
    return end;
  }
  scratch.clear();
  CsvState s = CsvState::FIELD_START;
  for (; p < e; ++p) {
    const CsvState next = csv_step(s, *p, syntax);
    if (next == CsvState::FIELD_START) break;  // the delimiter
    if (csv_is_text(s, *p)) scratch += *p;
    s = next;
  }
  field.raw = std::string_view(start, static_cast<std::size_t>(p - start));
  // Most quoted fields are the text between two quotes: a slice will do.
  const std::size_t inner = field.raw.size() >= 2 ? field.raw.size() - 2 : 0;
  if (s == CsvState::QUOTE_IN_QUOTED && scratch.size() == inner)
    field.value = field.raw.substr(1, inner);
  else
    field.value = scratch;
  return p;
}

std::string csv_decode(std::string_view raw, CsvSyntax syntax) {
  std::string text;
  CsvField field;
  next_csv_field(raw.data(), raw.data() + raw.size(), syntax, field, text);
  return std::string(field.value);
}

void csv_append(std::string& out, std::string_view text, char delimiter) {
  const bool needs_quotes =
      std::any_of(text.begin(), text.end(),
                  [&](char c) { return c == delimiter || c == '"' || c == '\n' || c == '\r'; }) ||
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
