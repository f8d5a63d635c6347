#include "render/messages.h"

#include "render/output.h"
#include "text/escape.h"
#include "text/number.h"
#include "text/printf_text.h"

#include <cmath>
#include <cstring>

namespace karva {

std::string shown_field(const std::string& text) {
  return shown(text.substr(0, MAX_SHOWN_FIELD_CHARS)) + (text.size() > MAX_SHOWN_FIELD_CHARS ? "..." : "");
}

std::string counted(std::int64_t n, const char* noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

namespace {

// After a mismatch with more columns than inputs: the data holds columns
// that are not inputs, as exports do.
constexpr const char* MORE_COLUMNS_HINT =
    "If some columns are not inputs (an index, an ID, the true response elsewhere), name the inputs with\n"
    "--csv --inputs NAMES and the true response with --target=NAME.\n";

// After a stop the reading ends: what follows is never read, so that a
// stop in an endless stream ends the run.
constexpr const char* NOTHING_AFTER = "nothing after it was read";


// A file as messages name it; "-" is standard input, or standard output.
std::string shown_file(const std::string& path, bool written = false) {
  if (path == STANDARD_STREAM) return written ? "standard output" : "standard input";
  return shown(path);
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
  if (err.role == STANDARD_ERROR_ROLE)
    return printf_text("Standard error is the %s file %s, which karva reads; nothing was written.\n",
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
                         static_cast<long long>(err.inputs)) +
             (err.inputs > err.variable_count ? MORE_COLUMNS_HINT : "");
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

std::string explain_heading_message(const std::string& key_path, const Key& key) {
  return printf_text("Key %s: %s, %s.\n", shown_file(key_path).c_str(),
                     counted(key.variable_count, "input variable").c_str(), counted(key.gene_count(), "gene").c_str());
}

std::string too_many_inputs_message() {
  return printf_text("No formula can be shown: a key can read at most %d input variables.\n", MAX_TERMINAL_LETTERS);
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
  if (outcome.unchecked)
    text += printf_text("The rows before the stop could not be checked: %s is compressed, and its check comes at the "
                        "end of the stream, which was not read.\n",
                        shown_file(file).c_str());
  return text;
}

}  // namespace karva
