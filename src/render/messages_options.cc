// The words of complaints about the command line, the dialect options and
// the Python package's arguments. Part of the one place that words messages.
#include "engine/run.h"
#include "render/messages.h"
#include "render/output.h"
#include "text/escape.h"
#include "text/number.h"
#include "text/printf_text.h"

namespace karva {
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
    case Kind::BAD_LISTEN: return err.option + " takes HOST:PORT (a port from 0 to 65535), not \"" + shown_field(err.value) + "\"";
    case Kind::TWO_MODELS:
      return "the keys " + shown(err.value) + " and " + shown(err.other) + " would be served as one model name";
    case Kind::NOT_IDENTIFIER:
      return err.option + " takes a name a C and Python function can have (a letter or _, then letters, digits and "
             "_), not \"" + shown_field(err.value) + "\"";
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

std::string sql_error_message(const SqlError& error) {
  if (error.statements > 1)
    return printf_text("karva: the key is too deep for one view: its SQL takes %d statements, each ending in a "
                       "temporary table the next reads; without --sql-view they run as one script.\n", error.statements);
  return printf_text("karva: the name \"%s\" is longer than the %zu bytes PostgreSQL reads of a name; it would read "
                     "another.\n", shown_field(error.name).c_str(), error.most);
}

std::string key_digest_message(const std::string& sha256) {
  return "SHA-256 of the key file: " + sha256 + "\n";
}

std::string binary_on_terminal_message(const std::string& language) {
  return printf_text("karva: --emit %s writes binary data, which is not sent to a terminal; send standard output "
                     "to a file or a pipe (karva --emit %s keyfile > model.%s).\n", language.c_str(), language.c_str(),
                     language.c_str());
}

std::string onnx_error_message(const OnnxError& error) {
  return printf_text("karva: the model's output cannot be named \"%s\": it needs a name, and \"%s\" is the "
                     "input's; choose another with --prediction-name.\n", shown_field(error.prediction_name).c_str(),
                     ONNX_INPUT_NAME);
}

std::string too_many_sheet_rows_message(std::size_t most) {
  return printf_text("karva: a sheet holds at most %zu rows below its header, and the data has more; score it with "
                     "the command, or split it.\n", most);
}

std::string workbook_error_message(const WorkbookError& error) {
  if (error.kind == WorkbookError::Kind::TOO_MANY_COLUMNS)
    return printf_text("karva: the workbook would need %d columns, and a sheet holds %d: the key's genes are too "
                       "long for a spreadsheet.\n", error.columns, MOST_SHEET_COLUMNS);
  return printf_text("karva: the workbook could not be written: %s.\n", shown(error.reason).c_str());
}

}  // namespace karva
