// Every message of a run, worded in one place from the facts the stages
// hand back. Each text ends with its line feed.
#pragma once

#include <cstdint>
#include <string>

#include "engine/fit.h"
#include "engine/plan.h"
#include "engine/run.h"
#include "input/columns.h"
#include "input/rows.h"
#include "model/apply.h"
#include "model/etree.h"
#include "model/key.h"
#include "render/emit_onnx.h"
#include "render/emit_xlsx.h"
#include "render/emit_sql.h"

namespace karva {

inline constexpr const char* QUESTION = "Is the first column of data the true response [y/n]? ";

// What a key that cannot be read says, before the line below.
std::string key_error_message(const KeyError& err);

std::string prepare_error_message(const PrepareError& err);
// Why a gene gives no tree, in words that finish "Gene 3 cannot be built: ".
std::string build_error_reason(const BuildError& err);

std::string first_line_error_message(const FirstLineError& err);
std::string column_error_message(const ColumnError& err);
// The message of whichever stage of the plan failed.
std::string plan_error_message(const PlanError& err);

// The first line of --explain, and why no formula can follow it.
std::string explain_heading_message(const std::string& key_path, const Key& key);
std::string too_many_inputs_message();

// Why formulas keep the inputs' letters.
std::string names_note_message(const NamesNote& note);

// An argument of a call of the Python package that does not fit.
struct ArgumentError {
  enum class Kind {
    JOBS,        // `given` threads
    NAMES,       // `given` names for `wanted` inputs
    DIMENSIONS,  // an array of `given` dimensions for rows of `wanted` inputs
    COLUMNS,     // `given` columns for `wanted` inputs
    PRECISION,   // `given` digits
    FIT_SHAPES,  // targets and predictions of other shapes
    EMPTY_PATH,  // a file named by an empty path
    ZERO_BYTE_IN_PATH,  // a path with a zero byte, which no file name holds
  };
  Kind kind = Kind::JOBS;
  long long given = 0;
  long long wanted = 0;
};
std::string argument_error_text(const ArgumentError& err);

// Why the dialect options make no dialect, without a closing period.
std::string dialect_error_text(const DialectError& err);

// A complaint about the command line, with the facts its words need.
struct OptionError {
  enum class Kind {
    UNKNOWN_OPTION,     // `option`
    NEEDS_VALUE,        // `option` without its value
    BAD_PRECISION,      // -p `value`
    BAD_JOBS,           // -j `value`
    BAD_STATS,          // --stats=`value`
    OUT_OF_RANGE,       // `option` `value` is not a whole number in the range `other`
    BAD_CHOICE,         // `option` `value`, which is none of `known`
    CONFLICT,           // `option` and `other` together
    NAMED_TWICE,        // `option` names the column `value` twice
    ONE_FILE_TOO_MANY,  // `value` follows `option` (--target, --stats), which `other` gives a value
    PLOT_NOT_SVG,       // --plot `value` names a format other than SVG
    BAD_LISTEN,         // --listen `value` is not HOST:PORT
    TWO_MODELS,         // two keys `value` and `other` give one model name
    NO_SUCH_MODEL,      // `option` names the model `value`, which no key given serves
    NOT_IDENTIFIER,     // `option` `value` is no name a C and Python function can have
    VALUE_APART,        // `value` follows `option`, and options after it are taken for files; `other` is right
    STANDARD_INPUT,     // the data `value` is standard input, and nothing answers the question
    DIALECT,            // `dialect` says why
    EMPTY_VALUE,        // `option` given an empty value
    EMPTY_FILE_NAME,    // a file name that is empty
    NEEDS_OPTION,       // `option` (with `value`, when it has one) needs `other` too
  };
  Kind kind = Kind::UNKNOWN_OPTION;
  std::string option;
  std::string value;
  std::string other;
  std::vector<std::string> known;
  DialectError dialect;
};
// "PROGRAM: what is wrong.\n"
std::string option_error_message(const std::string& program, const OptionError& err);

// What --emit sql cannot write for its engine: "karva: ..." with a period.
std::string sql_error_message(const SqlError& error);
// --explain's line that names the key's exact bytes, as models and
// workbooks made from it do.
std::string key_digest_message(const std::string& sha256);
// --emit of binary data to a terminal.
std::string binary_on_terminal_message(const std::string& language);
// Data too long for one sheet of --emit xlsx.
std::string too_many_sheet_rows_message(std::size_t most);
// What --emit xlsx cannot write.
std::string workbook_error_message(const WorkbookError& error);
// What --emit onnx cannot write.
std::string onnx_error_message(const OnnxError& error);

// A file that cannot be opened, read or written; `system_error` (errno),
// when not 0, adds the system's reason on the next line.
std::string cannot_open_for_reading_message(const std::string& path, int system_error);
std::string cannot_open_for_writing_message(const std::string& path, int system_error);
std::string cannot_write_message(const std::string& path, int system_error);
std::string cannot_write_standard_output_message(int system_error);
std::string out_of_memory_message();
// The workers' threads cannot be started.
std::string thread_start_message(const std::string& reason);
// A failure no stage foresaw, with what the library said of it.
std::string unexpected_failure_message(const std::string& what);

// Why an output file cannot be opened for writing.
struct OutputOpenError {
  enum class Kind {
    CANNOT_OPEN,          // the file itself refuses: `system_error` says why
    FOLDER_NOT_WRITABLE,  // nothing can be made beside it in `folder`
    NAME_TOO_LONG,        // its name is longer than `folder`'s file system takes
    UNSAFE_LINK,          // a link another user owns in the shared, sticky `folder`
  };
  Kind kind = Kind::CANNOT_OPEN;
  std::string path;
  std::string folder;
  int system_error = 0;
};
std::string output_open_error_message(const OutputOpenError& err);

// After the closing messages: the fields and lines read with doubt.
std::string doubts_message(const ReadTally& tally, bool csv);

// A first line of column numbers was taken for the columns' names.
std::string numbered_header_message(const std::string& file);

// Longest text of a field or name that a message shows.
inline constexpr std::size_t MAX_SHOWN_FIELD_CHARS = 40;
// A field or name as a message shows it: its first characters, inert.
std::string shown_field(const std::string& text);
// "1 row", "2 rows": a count and its noun, in agreement.
std::string counted(std::int64_t n, const char* noun);

std::string reading_message(int variable_count);
std::string rows_read_message(std::int64_t rows, const std::string& file);
// A compressed stream was damaged, and the whole run fails: what became
// of the output.
std::string damaged_output_message(const std::string& output);
// How the reading of `file` ended, when not at its end: the read that
// failed, the stop and the damage. Empty for a whole reading.
std::string read_end_message(const RunOutcome& outcome, const std::string& file);
std::string predictions_written_message(const std::string& file);
std::string plot_written_message(const std::string& file);
std::string r_square_message(double r_square);
// The lines after it: the rows left out of the fit, and why there is no
// value, when there is none.
std::string r_square_notes(const RSquare& r_square, std::int64_t rows_left_out);
// The figures of --stats, as lines "name = value", or as one JSON object.
std::string fit_statistics_message(const FitStatistics& statistics);
std::string fit_statistics_json(const FitStatistics& statistics);
// Why the service answers a request with an error, and the facts its
// words need; the kinds are the rows of request_faults.def.
struct RequestFault {
  enum class Kind {
#define REQUEST_FAULT(kind, status, words) kind,
#include "render/request_faults.def"
  };
  explicit RequestFault(Kind k = Kind::NOT_JSON, std::string n = "", std::string o = "", std::uint64_t w = 0)
      : kind(k), name(std::move(n)), other(std::move(o)), wanted(w) {}
  Kind kind;
  std::string name;   // a name the request gave, or a text
  std::string other;  // a second one
  std::uint64_t wanted;
};
// The HTTP status that answers the fault.
int request_fault_status(RequestFault::Kind kind);
// What the answer says, one line without a line feed.
std::string request_fault_message(const RequestFault& fault);

// The service's own lines, each with its line feed.
std::string listening_message(const std::string& url);
// The second line when V2 over gRPC listens too: its HOST:PORT.
std::string listening_grpc_message(const std::string& address);
std::string cannot_listen_grpc_message(const std::string& address);
std::string grpc_not_built_message();
std::string serve_not_built_message();
std::string cannot_listen_message(const std::string& address, const std::string& reason);
std::string token_in_clear_message(const std::string& host);
std::string no_token_message(const std::string& host);
std::string not_reloaded_message(const std::string& model, const std::string& why);
std::string connection_ended_message(const std::string& what);
std::string log_lines_dropped_message(std::uint64_t lines);
// Why a token file cannot be used: it is empty, a folder, too long, or its
// first line holds a byte (`byte`) that no header can carry.
struct TokenError {
  enum class Kind { EMPTY, FOLDER, TOO_LONG, BAD_BYTE };
  Kind kind = Kind::EMPTY;
  std::string path;
  unsigned char byte = 0;
  std::size_t most = 0;
};
std::string token_error_message(const TokenError& err);

// The figure alone, as that line shows it.
std::string r_square_text(double r_square);

}  // namespace karva
