// How a table is written: the one description of it that every reader and
// writer of rows takes, settled once from what the user said.
#pragma once

#include <optional>
#include <string>

#include "base/expected.h"
#include "text/csv.h"

namespace karva {

struct Dialect {
  bool csv = false;        // RFC 4180 CSV; otherwise runs of spaces, tabs, commas and semicolons
  char delimiter = ',';    // of CSV
  char decimal = '.';      // the decimal mark of CSV numbers, in and out
  std::optional<bool> header;  // the first line's role, when decided rather than detected
  bool strict = false;     // the first doubtful field or line stops the reading

  // The CSV grammar's bytes, once the data has told its line end.
  CsvSyntax syntax(char line_end = '\n') const { return {delimiter, line_end}; }
};

// What the user said of the dialect, in the user's words.
struct DialectWords {
  bool csv = false;
  std::optional<std::string> delimiter;  // one character, or "tab"
  std::optional<std::string> decimal;    // "," or "."
  std::optional<bool> header;
  bool strict = false;
};

// Why the words make no dialect.
struct DialectError {
  enum class Kind {
    DELIMITER_NOT_ONE,     // --delimiter is not one character, nor "tab"
    DELIMITER_UNUSABLE,    // a quote or a line end
    DELIMITER_IN_NUMBERS,  // a character that can be part of a number
    DECIMAL_NOT_A_MARK,    // --decimal is neither "," nor "."
    DECIMAL_IS_DELIMITER,  // decimal commas with "," as the delimiter
    DELIMITER_NEEDS_CSV,   // --delimiter without --csv
  };
  Kind kind = Kind::DELIMITER_NOT_ONE;
  std::string value;  // as the user wrote it
};

// The dialect the words ask for: a decimal comma reads CSV, with ";" unless
// a delimiter is named.
Expected<Dialect, DialectError> settle_dialect(const DialectWords& words);

}  // namespace karva
