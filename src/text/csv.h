// RFC 4180 fields as Python's csv module and pandas read them: one
// delimiter; a double quote opens a quoted field only at the start of a
// field, and anywhere else it is text; inside quotes a quote is written
// twice, and a delimiter or line end is text; what follows the closing
// quote, up to the delimiter, stays with the field.
//
// One state machine says all of it. Cutting the file into records and
// cutting a record into fields both follow it, so the two never disagree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace karva {

enum class CsvState : std::uint8_t {
  FIELD_START,      // before a field's first byte
  UNQUOTED,         // in a field that did not start with a quote, or after a closing quote
  QUOTED,           // inside quotes
  QUOTE_IN_QUOTED,  // just after a quote inside quotes: a closing one, or the first of two
};

// The bytes that give a CSV file its shape.
struct CsvSyntax {
  char delimiter = ',';
  char line_end = '\n';  // '\r' in a file whose lines end with a carriage return alone
};

// The state after `c`. A line end outside quotes ends the record and, like
// the delimiter, leads back to FIELD_START.
constexpr CsvState csv_step(CsvState s, char c, CsvSyntax syntax) {
  switch (s) {
    case CsvState::QUOTED: return c == '"' ? CsvState::QUOTE_IN_QUOTED : CsvState::QUOTED;
    case CsvState::QUOTE_IN_QUOTED:
      if (c == '"') return CsvState::QUOTED;  // a quote written twice
      break;
    case CsvState::FIELD_START:
      if (c == '"') return CsvState::QUOTED;
      break;
    case CsvState::UNQUOTED: break;
  }
  return c == syntax.delimiter || c == syntax.line_end ? CsvState::FIELD_START : CsvState::UNQUOTED;
}

// Whether `c`, read in state `s`, is part of the field's text (the quotes
// that open, close or double are not).
constexpr bool csv_is_text(CsvState s, char c) {
  return !(c == '"' && (s == CsvState::FIELD_START || s == CsvState::QUOTED));
}

// Where the machine finds record ends among the bytes from `p` to `e`,
// which start at the start of a record. Runs without a quote are passed
// over with memchr: there the machine cannot enter QUOTED.
struct CsvRecordEnds {
  const char* first = nullptr;  // past the first record end, if any
  const char* last = nullptr;   // past the last one, if any
  CsvState state = CsvState::FIELD_START;  // at `e`
  const char* opened = nullptr;  // where the quote open at `e` opened, if one is
};
// With `first_only`, stops at the first record end.
CsvRecordEnds csv_record_ends(const char* p, const char* e, CsvSyntax syntax, bool first_only);

struct CsvField {
  std::string_view raw;    // as written, quotes included
  std::string_view value;  // the text, its quoting undone
  bool quoted = false;
};

// Reads the field that starts at `p` (before `e`, inside one record);
// returns where it ends: at its delimiter, or at `e`. A value that is not a
// plain slice of the record is decoded into `scratch`, which `field.value`
// then views.
const char* next_csv_field(const char* p, const char* e, CsvSyntax syntax, CsvField& field, std::string& scratch);

// The text of a field as written, with its quoting undone.
std::string csv_decode(std::string_view raw, CsvSyntax syntax);

// Appends `text` as one field, quoted when it holds the delimiter, a quote,
// a line end or leading or trailing spaces.
void csv_append(std::string& out, std::string_view text, char delimiter);

}  // namespace karva
