// The command line.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "engine/run.h"
#include "engine/plan.h"

namespace karva {

// Digits after the decimal point in the output file: printf's "%f".
inline constexpr int DEFAULT_PRECISION = 6;

struct Options {
  enum class Mode { RUN, EXPLAIN, EMIT };
  Mode mode = Mode::RUN;
  std::string key_path;
  std::string data_path;  // may stay empty with --explain
  std::string out_path;
  std::optional<bool> has_target;  // given by -y or -n: no question asked
  int precision = DEFAULT_PRECISION;
  bool strict = false;  // a field that is not a number stops the reading
  std::string emit_language;  // with --emit
  std::string sql_table = "data";  // --sql-table: the table --emit sql scores
  RunSettings stream;  // -j, and the size of the chunks

  // Tables as people have them.
  bool csv = false;                 // RFC 4180 CSV in and out
  char delimiter = ',';             // of --csv
  char decimal = '.';               // --decimal: the decimal mark of CSV numbers
  std::optional<bool> header;       // --header, --no-header: the first line's role, decided
  std::string prediction_name = "predict";  // the prediction column's name in the output
  std::vector<std::string> inputs;  // --inputs: the key's inputs by header name
  std::string target_name;          // --target=NAME: the true response's column
  std::vector<std::string> keep;    // --keep: columns copied to the output
  bool round_trip = false;          // shortest text that reads back as the same double
  bool stats = false;               // fit statistics after R-square
  bool stats_json = false;          // as one JSON line
  std::string plot_path;            // --plot: a picture of the fit
};

struct ParsedCommandLine {
  std::optional<Options> options;  // nothing when the run ends here
  int status = EXIT_OK;           // the exit status when it does
};

// Parses argv the ordinary way: options first, "--" ends them. Prints help,
// version or the usage lines to `out` when the run ends here, and
// complaints about options, with the usage lines, to `err`.
ParsedCommandLine parse_command_line(int argc, char** argv, std::FILE* out, std::FILE* err);

void print_usage(const char* program, std::FILE* out);

// What the options ask of the plan.
PlanRequest plan_request(const Options& options);

}  // namespace karva
