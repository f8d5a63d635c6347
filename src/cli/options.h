// The command line.
#pragma once

#include "render/emit_sql.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/progress.h"
#include "engine/plan.h"
#include "engine/run.h"
#include "render/output.h"
#include "serve/server.h"

namespace karva {


struct Options {
  enum class Mode { RUN, EXPLAIN, EMIT, SERVE };
  Mode mode = Mode::RUN;
  std::string key_path;
  std::string data_path;  // may stay empty with --explain
  std::string out_path;
  std::optional<bool> has_target;  // given by -y or -n: no question asked
  std::string emit_language;  // with --emit
  std::string emit_name;      // --emit-name: the function C or Python defines, when not the default
  std::string sql_table = "data";  // --sql-table: the table --emit sql scores
  std::string sql_view;            // --sql-view: the view --emit sql creates, when it does
  SqlEngine sql_engine = SqlEngine::SQLITE;  // --sql-engine: the engine --emit sql writes for
  std::size_t sheet_rows = 100;    // --sheet-rows: the empty rows of --emit xlsx without data
  RunSettings stream;  // -j, and the size of the chunks and tables
  int progress_delay_ms = DEFAULT_PROGRESS_DELAY_MS;
  std::uint64_t decoder_memory = DEFAULT_DECODER_MEMORY;
  // --serve: the keys, and where and how to listen.
  std::vector<std::string> key_paths;
  bool quiet = false;
  ServeSettings serve;  // --listen, and its limits
  std::string token_file;

  // Tables as people have them.
  Dialect dialect;                  // --csv, --delimiter, --decimal, --header, --strict, settled
  std::vector<std::string> inputs;  // --inputs: the key's inputs by header name
  std::vector<std::string> inputs_given;  // every --inputs as given: --serve takes MODEL=a,b,c too
  std::string target_name;          // --target=NAME: the true response's column
  std::vector<std::string> keep;    // --keep: columns copied to the output
  OutputStyle style;                // -p, --round-trip, --prediction-name
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

// "a,b,c" as its names.
std::vector<std::string> split_names(const std::string& text);

}  // namespace karva
