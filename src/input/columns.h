// The column plan: what the first record says about the file, and which
// field of every record feeds the key's inputs, the target and the kept
// columns. Every surface reads the columns through it.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "input/reader.h"
#include "base/expected.h"
#include "text/dialect.h"

namespace karva {

// Fields of the default reading are separated by runs of these.
inline constexpr std::string_view DELIMITERS = " \t,;";

namespace detail {
inline constexpr std::array<bool, 256> IS_DELIMITER = [] {
  std::array<bool, 256> table{};
  for (char c : DELIMITERS) table[static_cast<unsigned char>(c)] = true;
  return table;
}();
}  // namespace detail

inline bool is_delimiter(char c) { return detail::IS_DELIMITER[static_cast<unsigned char>(c)]; }

inline const char* skip_delimiters(const char* p, const char* e) {
  while (p < e && is_delimiter(*p)) ++p;
  return p;
}

inline const char* field_end(const char* p, const char* e) {
  while (p < e && !is_delimiter(*p)) ++p;
  return p;
}

// Whether a line of the default reading holds what only CSV can place: a
// quote, or an empty field (two of , ; tab with nothing but spaces between,
// or one at either end). Named columns would then be read from the wrong
// fields.
bool needs_csv(std::string_view line);

// What the first record tells about the whole file.
struct DataLayout {
  bool has_header = false;
  std::int64_t column_count = 0;  // fields on the first record, the target's included
  std::string header;             // the header record as written, when there is one
  bool csv = false;               // read as CSV
  CsvSyntax syntax;               // how it is written
  std::int64_t header_lines = 0;  // lines of the file the header took
  bool needs_csv = false;         // a header only CSV can read
  bool numbered_header = false;   // CSV whose first line is 0,1,...,n-1: taken for names
  // The header's first `most` names.
  std::vector<std::string> names(std::size_t most = SIZE_MAX) const;
  // The columns (from 0) that hold each of `names`, the first two at most,
  // found in one reading of the header.
  std::map<std::string, std::vector<std::int64_t>, std::less<>> columns_named(
      const std::vector<std::string>& names) const;
};

// The most names of a header a message lists.
inline constexpr std::size_t MAX_LISTED_NAMES = 20;

// Why the first record cannot be used.
struct FirstLineError {
  enum class Kind {
    NO_LINE,      // the file is empty
    NOT_RIGHT,    // no field on the line
    ZERO_BYTE,    // a zero byte on the line
    READ_FAILED,  // the stream failed
    DAMAGED,      // a compressed stream broke off before the first line ended
  };
  Kind kind = Kind::NOT_RIGHT;
  std::string file;
  int system_error = 0;  // with READ_FAILED
  std::string damage;    // with DAMAGED: what the decoder said
};

// Reads the first record and decides whether it is a header (or takes
// `header`, when the command line decided) and how many fields it has; a
// first record that is data is kept for the first chunk.
Expected<DataLayout, FirstLineError> scan_first_record(DataReader& reader, std::optional<bool> header);

// The columns a surface asks for.
struct ColumnChoice {
  std::optional<bool> has_target;   // nothing: unknown (no question asked)
  std::string target_name;          // empty: the first column, when has_target
  std::vector<std::string> inputs;  // empty: every column but the target, in order
  std::vector<std::string> keep;
  bool named() const { return !inputs.empty() || !target_name.empty() || !keep.empty(); }
};

// Why the asked-for columns do not fit the file or the key.
struct ColumnError {
  enum class Kind {
    MISMATCH,      // the inputs are not as many as the key's
    NO_HEADER,     // columns are named, but the file has no header line
    UNKNOWN_NAME,  // a name that is not in the header
    TWO_COLUMNS,   // a name the header holds twice
    NEEDS_CSV,     // names, in a header the default reading cannot place
  };
  Kind kind = Kind::MISMATCH;
  std::string file;
  int variable_count = 0;   // the key's, with MISMATCH
  std::int64_t inputs = 0;  // the columns the inputs would take, with MISMATCH
  std::string option;       // the option that named it
  std::string name;
  std::vector<std::string> header;  // its first names
  std::int64_t columns = 0;         // and how many it has
  std::int64_t first = 0;  // with TWO_COLUMNS: the columns, from 1
  std::int64_t second = 0;
  bool usage() const { return kind != Kind::MISMATCH; }
  // `option`: the option that listed the inputs, when one did.
  static ColumnError mismatch(std::string file, int variable_count, std::int64_t inputs, std::string option = "") {
    ColumnError e;
    e.file = std::move(file);
    e.variable_count = variable_count;
    e.inputs = inputs;
    e.option = std::move(option);
    return e;
  }
};

// What a field of every record feeds: -1 the target, m input m (a field
// may feed several), and its place among the kept columns, or -1.
struct FieldRoute {
  std::vector<int> feeds;
  int kept_as = -1;
};

struct ColumnPlan {
  bool has_target = false;
  bool has_header = false;
  int variable_count = 0;
  std::size_t column_count = 0;    // fields on the first record
  std::vector<FieldRoute> fields;  // up to the last field used
  std::size_t keep_count = 0;
  std::int64_t header_lines = 0;   // lines before the first row
  bool numbered_header = false;    // the header is 0,1,...,n-1, as pandas writes an array's
  Dialect dialect;
  CsvSyntax syntax;      // the dialect's, with the data's line end
  bool guarded = false;  // columns named in the default reading: a line only CSV can place stops it
  // Header names, where there is a header: the inputs' in the key's order,
  // the target's, the kept columns'.
  std::vector<std::string> input_names;
  std::string target_name;
  std::vector<std::string> keep_names;
};

// Which field feeds what, from the first record's layout; the error when a
// name is not in the header or the inputs do not fit the key. A target left
// unknown is there when the header has one column more than the key has
// inputs.
Expected<ColumnPlan, ColumnError> plan_columns(const DataLayout& layout, const ColumnChoice& choice,
                                               const Dialect& dialect, int variable_count, const std::string& file);

}  // namespace karva
