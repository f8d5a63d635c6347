// RFC 4180 fields: one delimiter, double quotes around a field that holds
// the delimiter, a quote or a line end, a quote inside written twice.
#pragma once

#include <string>
#include <string_view>

namespace karva {

struct CsvField {
  std::string_view raw;    // as written, quotes included
  std::string_view value;  // without the enclosing quotes (doubled quotes stay doubled)
  bool quoted = false;
};

// Reads the field that starts at `p` (before `e`); returns where it ends:
// at its delimiter, or at `e`.
const char* next_csv_field(const char* p, const char* e, char delimiter, CsvField& field);

// The text of a field as written, with its quoting undone.
std::string csv_decode(std::string_view raw);

// Appends `text` as one field, quoted when it holds the delimiter, a quote,
// a line end or leading or trailing spaces.
void csv_append(std::string& out, std::string_view text, char delimiter);

}  // namespace karva
