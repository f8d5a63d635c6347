#include "text/dialect.h"

#include <string_view>

namespace karva {
namespace {

// What --delimiter and --decimal take as a name rather than a character.
constexpr std::string_view TAB_NAME = "tab";
// A delimiter that can be part of a number would cut numbers apart.
constexpr std::string_view NUMBER_CHARACTERS = "0123456789.+-eE";

Unexpected<DialectError> refuse(DialectError::Kind kind, std::string value) {
  return Unexpected(DialectError{kind, std::move(value)});
}

}  // namespace

Expected<Dialect, DialectError> settle_dialect(const DialectWords& words) {
  Dialect dialect;
  dialect.csv = words.csv;
  dialect.header = words.header;
  dialect.strict = words.strict;
  if (const auto& d = words.delimiter) {
    if (*d != TAB_NAME && d->size() != 1) return refuse(DialectError::Kind::DELIMITER_NOT_ONE, *d);
    dialect.delimiter = *d == TAB_NAME ? '\t' : d->front();
    const char c = dialect.delimiter;
    if (c == '\0' || c == '"' || c == '\n' || c == '\r') return refuse(DialectError::Kind::DELIMITER_UNUSABLE, *d);
    if (NUMBER_CHARACTERS.find(c) != std::string_view::npos)
      return refuse(DialectError::Kind::DELIMITER_IN_NUMBERS, *d);
  }
  if (const auto& mark = words.decimal) {
    if (*mark != "." && *mark != ",") return refuse(DialectError::Kind::DECIMAL_NOT_A_MARK, *mark);
    dialect.decimal = mark->front();
  }
  if (dialect.decimal == ',') {
    dialect.csv = true;
    if (!words.delimiter) dialect.delimiter = ';';
    if (dialect.delimiter == ',') return refuse(DialectError::Kind::DECIMAL_IS_DELIMITER, ",");
  }
  if (words.delimiter && !dialect.csv) return refuse(DialectError::Kind::DELIMITER_NEEDS_CSV, *words.delimiter);
  return dialect;
}

}  // namespace karva
