#include "render/messages.h"

#include "render/output.h"
#include "text/escape.h"
#include "text/number.h"
#include "text/printf_text.h"

#include <cmath>
#include <cstring>

namespace karva {
namespace {

// "1 row", "2 rows": a count and its noun, in agreement.
std::string counted(std::int64_t n, const char* noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// After a stop the reading ends: what follows is never read, so that a
// stop in an endless stream ends the run.
constexpr const char* NOTHING_AFTER = "nothing after it was read";


// A file as messages name it; "-" is standard input, or standard output.
std::string shown_file(const std::string& path, bool written = false) {
  if (path == STANDARD_STREAM) return written ? "standard output" : "standard input";
  return shown(path);
}

// A field or name as a message shows it: its first characters, inert.
std::string shown_field(const std::string& text) {
  return shown(text.substr(0, MAX_SHOWN_FIELD_CHARS)) + (text.size() > MAX_SHOWN_FIELD_CHARS ? "..." : "");
}

std::string with_reason(std::string text, int system_error) {
  if (system_error != 0) text.append(std::strerror(system_error)).append("\n");
  return text;
}

std::string solution_unreadable_message() { return "Error reading solution file.\n"; }

std::string no_answer_message(const NoAnswer& err) {
  if (err.tries == 0) return "\nThe question got no answer: standard input ended.\n";
  return printf_text("\nThe question got no answer: %d replies were none of y, Y, n, N.\n", err.tries);
}

std::string cannot_read_message(const std::string& path, int system_error) {
  return with_reason(printf_text("Cannot read file %s.\n", shown_file(path).c_str()), system_error);
}

std::string same_file_message(const OutputError& err) {
  // Where the predictions or the messages go: standard output.
  if (err.path == STANDARD_STREAM)
    return printf_text("Standard output is the %s file %s, which karva reads; nothing was written.\n",
                       err.read_role.c_str(), shown_file(err.read_path).c_str());
  if (err.read_path == STANDARD_STREAM && err.read_role == "data")
    return printf_text("The %s file %s is the file standard input reads, the data; nothing was written.\n",
                       err.role.c_str(), shown(err.path).c_str());
  if (err.read_path == STANDARD_STREAM)
    return printf_text("The %s file %s is standard output, where the predictions go; nothing was written.\n",
                       err.role.c_str(), shown(err.path).c_str());
  return printf_text("The %s file %s is the %s file %s; nothing was written.\n", err.role.c_str(), shown(err.path).c_str(),
                     err.read_role.c_str(), shown(err.read_path).c_str());
}

// Reading stopped at a field or line that --strict does not take.
std::string strict_stop_message(const ReadTally& tally, const std::string& file) {
  if (tally.end() == ReadEnd::UNCLOSED_QUOTE)
    return printf_text("Reading stopped at line %lld of %s, as a quoted field opened there is never closed.\n",
                       static_cast<long long>(tally.stop_line()), shown_file(file).c_str());
  std::string reason = "it holds more fields than the first line";
  if (tally.end() == ReadEnd::NEEDS_CSV)
    reason = "it holds a quote or an empty field, which the default reading cannot place in named columns (read it "
             "with --csv)";
  if (tally.end() == ReadEnd::MISSING_VALUE) {
    const Doubts& d = tally.missing();
    reason = d.text.empty() ? printf_text("its field %lld is empty", static_cast<long long>(d.field))
                            : printf_text("its field %lld, \"%s\", is missing", static_cast<long long>(d.field),
                                          shown_field(d.text).c_str());
  } else if (tally.end() == ReadEnd::NOT_A_NUMBER) {
    const Doubts& d = tally.non_numbers();
    reason = printf_text("its field %lld, \"%s\", is not a number", static_cast<long long>(d.field),
                         shown_field(d.text).c_str());
  }
  return printf_text("Reading stopped at line %lld of %s, as %s; %s.\n", static_cast<long long>(tally.stop_line()),
                     shown_file(file).c_str(), reason.c_str(), NOTHING_AFTER);
}

std::string needs_target_message(const NoTarget& err) {
  return printf_text("%s needs the true response: -y, --target=NAME, or y at the question.\n", err.option.c_str());
}

// Reading stopped before the end: at a line with too few values, or with a
// zero byte.
std::string stop_message(std::int64_t line, const std::string& file, bool zero_byte) {
  return printf_text("Reading stopped at line %lld of %s, as %s; %s.\n", static_cast<long long>(line),
                     shown_file(file).c_str(), zero_byte ? "it holds a zero byte" : "it holds too few values",
                     NOTHING_AFTER);
}

std::string damaged_message(const std::string& file, const std::string& damage) {
  return printf_text("The data in %s is damaged: its %s. A damaged stream is known only at its end, so no row of it "
                     "can be trusted.\n",
                     shown_file(file).c_str(), damage.c_str());
}

}  // namespace

std::string key_error_message(const KeyError& err) {
  switch (err.kind) {
    case KeyError::Kind::CANNOT_OPEN:
    case KeyError::Kind::READ_FAILED:
      return with_reason(printf_text("Error reading key file %s.\n", shown(err.file).c_str()), err.system_error);
    case KeyError::Kind::TRUNCATED: return printf_text("Key file %s is truncated.\n", shown(err.file).c_str());
    case KeyError::Kind::GENE_COUNT:
      return printf_text("Key file %s announces %d genes; a key holds 1 to %d.\n", shown(err.file).c_str(), err.count, MAX_GENES);
    case KeyError::Kind::SYMBOL_COUNT:
      return printf_text("Gene %d of key file %s has a symbol count of %d, outside 0 to %d.\n", err.gene,
                         shown(err.file).c_str(), err.count, MAX_SYMBOL_BYTES);
    case KeyError::Kind::COMPRESSED:
      return printf_text("Key file %s is compressed with %s; decompress it first.\n", shown(err.file).c_str(),
                         err.format.c_str());
    case KeyError::Kind::NOT_REGULAR:
      return printf_text("Key file %s is not a regular file, which the service reads without waiting.\n",
                         shown(err.file).c_str());
  }
  return "";
}


std::string build_error_reason(const BuildError& err) {
  switch (err.kind) {
    case BuildError::Kind::EMPTY: return "it has no symbols";
    case BuildError::Kind::BAD_FIRST_SYMBOL:
      return printf_text("its first symbol (byte %d) is no terminal, function or operator", err.symbol);
    case BuildError::Kind::RUNS_OUT: return "its symbols run out before the tree is complete";
  }
  return "";
}

std::string prepare_error_message(const PrepareError& err) {
  switch (err.kind) {
    case PrepareError::Kind::NEGATIVE_INPUTS:
      return printf_text("The key has a negative number of input variables (%lld).\n", err.variable_count);
    case PrepareError::Kind::TOO_MANY_LETTERS:
      return printf_text(
          "The key needs %lld terminal letters (%lld input variables and %lld genes before the last); "
          "at most %d are supported.\n",
          err.variable_count + err.genes_before_last, err.variable_count, err.genes_before_last,
          MAX_TERMINAL_LETTERS);
    case PrepareError::Kind::GENE: {
      std::string text;
      // The tree builder's own two lines come first when the symbols run out.
      if (err.build.kind == BuildError::Kind::RUNS_OUT)
        text = printf_text("pos=%d, len=%d, count=%d\nERROR!\n", err.build.pos, err.build.len, err.build.open);
      return text + printf_text("Gene %d of the key cannot be built: %s.\n", err.gene,
                                build_error_reason(err.build).c_str());
    }
  }
  return "";
}

std::string first_line_error_message(const FirstLineError& err) {
  switch (err.kind) {
    case FirstLineError::Kind::NO_LINE:
    case FirstLineError::Kind::NOT_RIGHT: return "The first line of the input file does not look right.\n";
    case FirstLineError::Kind::ZERO_BYTE:
      return printf_text("Reading stopped at line 1 of %s, as it holds a zero byte.\n", shown_file(err.file).c_str());
    case FirstLineError::Kind::READ_FAILED: return cannot_read_message(err.file, err.system_error);
    case FirstLineError::Kind::DAMAGED:
      return printf_text("Reading stopped at line 1 of %s, as its %s.\n", shown_file(err.file).c_str(), err.damage.c_str());
  }
  return "";
}

std::string column_error_message(const ColumnError& err) {
  switch (err.kind) {
    case ColumnError::Kind::MISMATCH:
      if (err.option == "--inputs")
        return printf_text("--inputs names %s, but the key reads %d inputs.\n", counted(err.inputs, "column").c_str(),
                           err.variable_count);
      return printf_text("Variable count mismatch: %d inputs in solution, %lld inputs in data.\n", err.variable_count,
                         static_cast<long long>(err.inputs));
    case ColumnError::Kind::NO_HEADER:
      return printf_text("%s names columns, but %s has no header line.\n", err.option.c_str(), shown(err.file).c_str());
    case ColumnError::Kind::UNKNOWN_NAME: {
      std::string names;
      // A header may be long: the first names tell enough.
      for (std::size_t i = 0; i < err.header.size(); ++i)
        names += (i ? ", \"" : "\"") + shown_field(err.header[i]) + "\"";
      const auto more = err.columns - static_cast<std::int64_t>(err.header.size());
      if (more > 0) names += printf_text(" and %lld more", static_cast<long long>(more));
      return printf_text("%s names the column \"%s\", which %s does not have; its columns are: %s.\n",
                         err.option.c_str(), shown_field(err.name).c_str(), shown(err.file).c_str(), names.c_str());
    }
    case ColumnError::Kind::NEEDS_CSV:
      return printf_text("%s names columns, but the header of %s holds a quote or an empty name, which the default "
                         "reading cannot place; read it with --csv.\n",
                         err.option.c_str(), shown(err.file).c_str());
    case ColumnError::Kind::TWO_COLUMNS:
      return printf_text("%s names the column \"%s\", which %s holds twice, as columns %lld and %lld.\n",
                         err.option.c_str(), shown_field(err.name).c_str(), shown(err.file).c_str(),
                         static_cast<long long>(err.first), static_cast<long long>(err.second));
  }
  return "";
}

std::string plan_error_message(const PlanError& err) {
  struct Words {
    std::string operator()(const OutputError& e) const { return same_file_message(e); }
    std::string operator()(const KeyError& e) const { return key_error_message(e) + solution_unreadable_message(); }
    std::string operator()(const DataOpenError& e) const {
      return cannot_open_for_reading_message(e.path, e.system_error);
    }
    std::string operator()(const NoAnswer& e) const { return no_answer_message(e); }
    std::string operator()(const FirstLineError& e) const { return first_line_error_message(e); }
    std::string operator()(const ColumnError& e) const { return column_error_message(e); }
    std::string operator()(const NoTarget& e) const { return needs_target_message(e); }
    std::string operator()(const PrepareError& e) const { return prepare_error_message(e); }
    std::string operator()(const OutputNameError& e) const {
      if (e.name.empty()) return "Every column of the output needs a name; one would have none.\n";
      return printf_text("The output would hold two columns named \"%s\"; each column of the output needs a name "
                         "of its own.\n",
                         shown_field(e.name).c_str());
    }
  };
  return std::visit(Words{}, err);
}

std::string names_note_message(const NamesNote& note) {
  if (note.kind == NamesNote::Kind::NO_HEADER)
    return printf_text("%s has no header line; the inputs keep their letters.\n", shown(note.file).c_str());
  return printf_text("The header of %s has %lld columns, which do not fit the key's %d inputs.\n", shown(note.file).c_str(),
                     static_cast<long long>(note.columns), note.variable_count);
}


std::string cannot_open_for_reading_message(const std::string& path, int system_error) {
  return with_reason(printf_text("Cannot open file %s for reading.\n", shown_file(path).c_str()), system_error);
}

std::string cannot_open_for_writing_message(const std::string& path, int system_error) {
  return with_reason(printf_text("Cannot open file %s for writing.\n", shown(path).c_str()), system_error);
}

std::string output_open_error_message(const OutputOpenError& err) {
  using Kind = OutputOpenError::Kind;
  const std::string path = shown(err.path);
  const std::string folder = shown(err.folder);
  switch (err.kind) {
    case Kind::CANNOT_OPEN: break;
    case Kind::FOLDER_NOT_WRITABLE:
      return with_reason(printf_text("Cannot write file %s: karva writes a new file beside it in %s and renames it into "
                                     "place when whole, and that folder cannot be written.\n",
                                     path.c_str(), folder.c_str()),
                         err.system_error);
    case Kind::NAME_TOO_LONG:
      return printf_text("Cannot write file %s: its name is longer than the file system of %s allows.\n", path.c_str(),
                         folder.c_str());
    case Kind::UNSAFE_LINK:
      return printf_text("Cannot write file %s: it is a symbolic link that another user owns in the shared folder %s, "
                         "which karva does not follow.\n",
                         path.c_str(), folder.c_str());
  }
  return cannot_open_for_writing_message(err.path, err.system_error);
}


std::string cannot_write_message(const std::string& path, int system_error) {
  if (path == STANDARD_STREAM) return cannot_write_standard_output_message(system_error);
  return with_reason(printf_text("Cannot write file %s.\n", shown(path).c_str()), system_error);
}

std::string cannot_write_standard_output_message(int system_error) {
  return with_reason("Cannot write standard output.\n", system_error);
}


namespace {

// The option that reads the file right, when the doubts point to one: a
// European export's decimal commas cut numbers into more fields than the
// header has; NA and the like are what CSV reads as missing values.
std::string reading_hint(const ReadTally& tally, bool csv) {
  if (csv) return "";
  if (tally.extra_lines().count > 0)
    return "If the file has decimal commas (0,5), read it with --decimal , to read its numbers whole.\n";
  if (tally.non_numbers().count > 0 && is_missing_spelling(tally.non_numbers().text))
    return "To read NA and the like as missing values, read the file with --csv.\n";
  return "";
}

}  // namespace

std::string doubts_message(const ReadTally& tally, bool csv) {
  std::string text;
  // The first of each, with its place.
  const auto first = [](const Doubts& d) {
    return printf_text("field %lld of line %lld", static_cast<long long>(d.field), static_cast<long long>(d.line));
  };
  if (const Doubts& d = tally.non_numbers(); d.count > 0)
    text += printf_text("%s%s; the first is %s: \"%s\".\n",
                        (counted(d.count, "field") + (d.count == 1 ? " is not a number" : " are not numbers")).c_str(),
                        csv ? (d.count == 1 ? ", and its row has no prediction where the key reads it"
                                       : ", and their rows have no prediction where the key reads them")
                       : (d.count == 1 ? " and was read as its numeric start or 0" : " and were read as their numeric "
                                                                                      "start or 0"),
                        first(d).c_str(), shown_field(d.text).c_str());
  if (const Doubts& d = tally.missing(); d.count > 0)
    text += printf_text("%s missing (empty, or NA and the like), and %s no prediction where the key reads %s; the first "
                        "is %s.\n",
                        (counted(d.count, "field") + (d.count == 1 ? " is" : " are")).c_str(),
                        d.count == 1 ? "its row has" : "their rows have", d.count == 1 ? "it" : "them", first(d).c_str());
  if (const Doubts& d = tally.extra_lines(); d.count > 0)
    text += printf_text("%s more fields than the first line, and the extra fields were not read; the first is line %lld.\n",
                        (counted(d.count, "line") + (d.count == 1 ? " has" : " have")).c_str(),
                        static_cast<long long>(d.line));
  return text + reading_hint(tally, csv);
}

std::string numbered_header_message(const std::string& file) {
  return printf_text("The first line of %s, the column numbers 0, 1, ..., is taken as the columns' names, as pandas "
                     "writes them (--no-header reads it as data).\n",
                     shown_file(file).c_str());
}

std::string out_of_memory_message() { return "Out of memory.\n"; }


std::string thread_start_message(const std::string& reason) {
  return "Cannot start the worker threads: " + reason + ". Fewer jobs (-j) may do.\n";
}

std::string unexpected_failure_message(const std::string& what) { return "karva failed: " + what + "\n"; }

std::string reading_message(int variable_count) {
  return printf_text("Reading %d input variables per row.\n", variable_count);
}



std::string damaged_output_message(const std::string& output) {
  if (output == STANDARD_STREAM)
    return "The rows already written to standard output are among those that cannot be trusted.\n";
  return printf_text("Nothing was written: %s is as it was.\n", shown(output).c_str());
}

std::string rows_read_message(std::int64_t rows, const std::string& file) {
  return printf_text("%lld rows are read from %s. \n", static_cast<long long>(rows), shown_file(file).c_str());
}

std::string predictions_written_message(const std::string& file) {
  return printf_text("Predictions are written to %s. \n", shown_file(file, true).c_str());
}

std::string plot_written_message(const std::string& file) {
  return printf_text("The plot is written to %s.\n", shown(file).c_str());
}

std::string r_square_text(double r_square) { return printf_text("%.3f", r_square); }

std::string r_square_message(double r_square) { return "R-square = " + r_square_text(r_square) + "\n"; }

std::string r_square_notes(const RSquare& r_square, std::int64_t rows_left_out) {
  std::string text;
  if (rows_left_out > 0)
    text = printf_text("%s with a missing value %s left out of R-square.\n", counted(rows_left_out, "row").c_str(),
                       rows_left_out == 1 ? "is" : "are");
  switch (r_square.why_not) {
    case NoRSquare::NONE: break;
    case NoRSquare::NO_ROWS: text += "R-square needs two rows or more; there is none.\n"; break;
    case NoRSquare::ONE_ROW: text += "R-square needs two rows or more; there is one.\n"; break;
    case NoRSquare::CONSTANT_TARGET: text += "R-square is not defined: the target is the same in every row.\n"; break;
    case NoRSquare::CONSTANT_PREDICTION:
      text += "R-square is not defined: the prediction is the same in every row.\n";
      break;
    case NoRSquare::NOT_FINITE: text += "R-square is not defined: a target or prediction is NaN or infinite.\n"; break;
    case NoRSquare::TOO_LARGE:
      text += "R-square cannot be computed: its sums of squares are not finite.\n";
      break;
  }
  return text;
}

std::string fit_statistics_message(const FitStatistics& st) {
  return printf_text("R-square above is the squared correlation of target and prediction; the coefficient of "
                     "determination\nbelow compares the predictions themselves with the targets.\n"
                     "rows used = %zu\nrows left out (a missing value) = %lld\nRMSE = %.6g\nMAE = %.6g\n"
                     "largest absolute error = %.6g\ncoefficient of determination (1 - SSE/SST, as r2_score) = %.6g\n",
                     st.rows_used, static_cast<long long>(st.rows_left_out), st.rmse, st.mae, st.largest_error,
                     st.determination);
}

namespace {

// A JSON number, or null for what JSON cannot hold.
std::string json_number(double v) {
  if (!std::isfinite(v)) return "null";
  char buf[MAX_FIXED_CHARS];
  return std::string(buf, format_shortest(buf, v));
}

}  // namespace

std::string fit_statistics_json(const FitStatistics& st) {
  return printf_text("{\"rows_used\": %zu, \"rows_left_out\": %lld, \"r_square\": %s, "
                     "\"coefficient_of_determination\": %s, \"rmse\": %s, \"mae\": %s, \"largest_error\": %s}\n",
                     st.rows_used, static_cast<long long>(st.rows_left_out), json_number(st.r_square).c_str(),
                     json_number(st.determination).c_str(), json_number(st.rmse).c_str(), json_number(st.mae).c_str(),
                     json_number(st.largest_error).c_str());
}

std::string explain_heading_message(const std::string& key_path, const Key& key) {
  return printf_text("Key %s: %s, %s.\n", shown_file(key_path).c_str(),
                     counted(key.variable_count, "input variable").c_str(), counted(key.gene_count(), "gene").c_str());
}

std::string too_many_inputs_message() {
  return printf_text("No formula can be shown: a key can read at most %d input variables.\n", MAX_TERMINAL_LETTERS);
}

namespace {

std::string option_error_text(const OptionError& err) {
  using Kind = OptionError::Kind;
  switch (err.kind) {
    case Kind::UNKNOWN_OPTION: return "unknown option " + shown(err.option);
    case Kind::NEEDS_VALUE: return "option " + shown(err.option) + " needs a value";
    case Kind::BAD_PRECISION:
      return printf_text("the precision must be a whole number from %d to %d, not \"%s\"", MIN_PRECISION,
                         MAX_PRECISION, shown_field(err.value).c_str());
    case Kind::BAD_JOBS:
      return printf_text("the number of jobs must be a whole number from 1 to %d, not \"%s\"", MAX_JOBS,
                         shown_field(err.value).c_str());
    case Kind::OUT_OF_RANGE:
      return err.option + " takes a whole number from " + err.other + ", not \"" + shown_field(err.value) + "\"";
    case Kind::BAD_STATS: return "--stats takes =json or nothing, not \"" + shown_field(err.value) + "\"";
    case Kind::BAD_CHOICE: {
      std::string known;
      for (std::size_t i = 0; i < err.known.size(); ++i)
        known.append(i == 0 ? "" : i + 1 == err.known.size() ? " or " : ", ").append(err.known[i]);
      return err.option + " takes " + known + ", not \"" + shown_field(err.value) + "\"";
    }
    case Kind::NEEDS_OPTION: {
      const std::string given = err.option + (err.value.empty() ? "" : " " + err.value);
      if (err.other != "--keep") return given + " needs " + err.other;
      return given + " needs --keep NAMES: the engine's tables have no row identity, so the statement returns "
             "those columns beside each prediction";
    }
    case Kind::CONFLICT: return err.option + " and " + err.other + " cannot both be given";
    case Kind::NAMED_TWICE: return err.option + " names the column \"" + shown_field(err.value) + "\" twice";
    case Kind::ONE_FILE_TOO_MANY:
      return "one file too many: \"" + shown_field(err.value) + "\" follows " + err.option + "; write " + err.other +
             " to give it a value";
    case Kind::BAD_LISTEN: return "--listen takes HOST:PORT (a port from 0 to 65535), not \"" + shown_field(err.value) + "\"";
    case Kind::TWO_MODELS:
      return "the keys " + shown(err.value) + " and " + shown(err.other) + " would be served as one model name";
    case Kind::NO_SUCH_MODEL:
      return err.option + " names the model \"" + shown_field(err.value) +
             "\", which no key given serves (a first input's name holds no =)";
    case Kind::PLOT_NOT_SVG:
      return "--plot writes SVG, but \"" + shown_field(err.value) + "\" names another format; name the file .svg";
    case Kind::VALUE_APART:
      return "\"" + shown_field(err.value) + "\" follows " + err.option +
             " as a value of its own, and what follows it is taken for file names; write " + err.other +
             " to give it a value";
    case Kind::STANDARD_INPUT:
      return "reading the data from standard input (" + shown(err.value) +
             ") needs -y or -n, since standard input cannot also answer the question";
    case Kind::DIALECT: return dialect_error_text(err.dialect);
    case Kind::EMPTY_VALUE: return shown(err.option) + " needs a value that is not empty";
    case Kind::EMPTY_FILE_NAME: return "a file name cannot be empty";
  }
  return "";
}

}  // namespace

std::string option_error_message(const std::string& program, const OptionError& err) {
  return shown(program) + ": " + option_error_text(err) + ".\n";
}

std::string argument_error_text(const ArgumentError& err) {
  using Kind = ArgumentError::Kind;
  switch (err.kind) {
    case Kind::JOBS: return printf_text("jobs must be from 1 to %d, not %lld", MAX_JOBS, err.given);
    case Kind::NAMES: return printf_text("explain needs %lld names, not %lld", err.wanted, err.given);
    case Kind::DIMENSIONS:
      return printf_text("X must have 2 dimensions (rows, %lld), not %lld", err.wanted, err.given);
    case Kind::COLUMNS: return printf_text("X has %lld columns, but the key reads %lld inputs", err.given, err.wanted);
    case Kind::PRECISION:
      return printf_text("precision must be from %d to %d, not %lld", MIN_PRECISION, MAX_PRECISION, err.given);
    case Kind::FIT_SHAPES: return "targets and predictions must be one-dimensional and of one length";
    case Kind::EMPTY_PATH: return "a file name cannot be empty";
    case Kind::ZERO_BYTE_IN_PATH: return "a file name cannot hold a zero byte";
  }
  return "";
}

std::string dialect_error_text(const DialectError& err) {
  using Kind = DialectError::Kind;
  switch (err.kind) {
    case Kind::DELIMITER_NOT_ONE: return "--delimiter takes one character or \"tab\", not \"" + shown_field(err.value) + "\"";
    case Kind::DELIMITER_UNUSABLE: return "--delimiter cannot be a quote or a line end";
    case Kind::DELIMITER_IN_NUMBERS:
      return "--delimiter cannot be \"" + err.value + "\", which can be part of a number";
    case Kind::DECIMAL_NOT_A_MARK: return "--decimal takes \",\" or \".\", not \"" + shown_field(err.value) + "\"";
    case Kind::DECIMAL_IS_DELIMITER: return "--decimal , needs a delimiter other than \",\"";
    case Kind::DELIMITER_NEEDS_CSV: return "--delimiter needs --csv";
  }
  return "";
}

std::string read_end_message(const RunOutcome& outcome, const std::string& file) {
  if (outcome.read_failed) return cannot_read_message(file, outcome.system_error);
  const ReadTally& tally = outcome.tally;
  std::string text;
  // Stops that say what stopped them in words of their own.
  if (outcome.stopped())
    text = tally.end() == ReadEnd::SHORT_LINE || tally.end() == ReadEnd::NUL_BYTE
               ? stop_message(tally.stop_line(), file, tally.end() == ReadEnd::NUL_BYTE)
               : strict_stop_message(tally, file);
  // A compressed stream that broke off, even after a stop: what came before
  // the break may be wrong too.
  if (!outcome.damage.empty()) text += damaged_message(file, outcome.damage);
  return text;
}

std::string sql_name_message(const std::string& name, std::size_t most) {
  return printf_text("karva: the name \"%s\" is longer than the %zu bytes PostgreSQL reads of a name; it would read "
                     "another.\n", shown_field(name).c_str(), most);
}

}  // namespace karva
