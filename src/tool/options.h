// The command line.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace karva {

// Exit statuses.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

// "-" as the data file reads standard input; as the output file, writes
// the predictions to standard output.
inline constexpr const char* STANDARD_STREAM = "-";

// Digits after the decimal point in the output file: printf's "%f".
inline constexpr int DEFAULT_PRECISION = 6;

// Rows read, applied and written at a time.
inline constexpr std::size_t DEFAULT_CHUNK_ROWS = 4096;

// Threads that read, evaluate and format chunks: at most this many.
inline constexpr int MAX_JOBS = 256;

// The processors this process may run on (its affinity mask).
int default_jobs();

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
  int jobs = 1;               // -j: 1 is a single thread
  std::size_t chunk_rows = DEFAULT_CHUNK_ROWS;

  // Tables as people have them.
  bool csv = false;                 // RFC 4180 CSV in and out
  char delimiter = ',';             // of --csv
  std::vector<std::string> inputs;  // --inputs: the key's inputs by header name
  std::string target_name;          // --target=NAME: the true response's column
  std::vector<std::string> keep;    // --keep: columns copied to the output
  bool round_trip = false;          // shortest text that reads back as the same double
  bool stats = false;               // fit statistics after R-square
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

// Whether `path` names the file `file` describes (the same device and
// inode), whatever path or link it takes; "-" names none.
bool names_file(const struct stat& file, const std::string& path);

}  // namespace karva
