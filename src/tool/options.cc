#include "tool/options.h"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "tool/emit.h"
#include "tool/number.h"

namespace karva {
namespace {

constexpr int RUN_FILES = 3;
constexpr int EXPLAIN_OPTION = 1000;
constexpr int STRICT_OPTION = 1001;
constexpr int EMIT_OPTION = 1002;
constexpr int CSV_OPTION = 1003;
constexpr int DELIMITER_OPTION = 1004;
constexpr int INPUTS_OPTION = 1005;
constexpr int KEEP_OPTION = 1006;
constexpr int ROUND_TRIP_OPTION = 1007;
constexpr int STATS_OPTION = 1008;
constexpr int PLOT_OPTION = 1009;

const char* const HELP_TEXT =
    "Applies a trained regression model, the key, to a table of numbers and\n"
    "writes one prediction per row. The key is a binary file holding the number\n"
    "of input variables and a chain of genes, each an arithmetic expression with\n"
    "an intercept and a slope; every gene's value becomes one more column that\n"
    "later genes may read, and the last gene's value is the prediction. The data\n"
    "file holds one row of numbers per line, separated by spaces, tabs, commas or\n"
    "semicolons, with an optional header line. When its first column is the true\n"
    "response, the output holds it beside each prediction and R-square is printed.\n"
    "\n"
    "Options:\n"
    "  -y, --target         the first data column is the true response (no question)\n"
    "  -n, --no-target      the first data column is an input (no question)\n"
    "  -p, --precision N    digits after the decimal point in outdata, %d to %d (%d)\n"
    "  -j, --jobs N         threads that read, evaluate and format, 1 to %d\n"
    "                       (the processors this process may run on: %d)\n"
    "      --csv            read RFC 4180 CSV (quotes, empty fields are missing values)\n"
    "                       and write CSV\n"
    "      --delimiter C    the CSV delimiter: one character, or tab (default ,)\n"
    "      --inputs NAMES   the key's inputs by header name, in the key's order\n"
    "                       (a,b,c); other columns may hold anything\n"
    "      --target=NAME    the true response's column by header name (implies -y)\n"
    "      --keep NAMES     columns copied to the front of every output line\n"
    "      --round-trip     write numbers as the shortest text that reads back the same\n"
    "      --stats          after R-square: rows used, RMSE, MAE, largest error, 1 - SSE/SST\n"
    "      --plot FILE.svg  draw predictions against the truth and the errors' histogram\n"
    "      --strict         stop at a field that is not a number, or a line with more\n"
    "                       fields than the first (they are counted and reported)\n"
    "      --explain        karva --explain keyfile [indata]: print the key's formulas\n"
    "      --emit LANG      karva --emit c|python keyfile [indata]: print the key as\n"
    "                       C or Python source that computes the same predictions\n"
    "  -h, --help           print this help and exit\n"
    "  -V, --version        print the version and exit\n"
    "\n"
    "indata \"-\" reads standard input (with -y or -n); outdata \"-\" writes the\n"
    "predictions to standard output and every message to standard error.\n"
    "Exit status: 0 success, 1 failure, 2 usage error.\n"
    "\n"
    "Example: a pandas export with an index, an ID and the inputs in another order:\n"
    "  karva --csv --inputs x1,x2 --target=y --keep id model.key scores.csv out.csv\n";

const std::string PRECISION_COMPLAINT = "%s: the precision must be a whole number from " +
                                        std::to_string(MIN_PRECISION) + " to " + std::to_string(MAX_PRECISION) +
                                        ", not \"%s\".\n";

const std::string EMIT_COMPLAINT = [] {
  std::string known;
  for (std::size_t i = 0; i < EMIT_LANGUAGES.size(); ++i)
    known.append(i == 0 ? "" : i + 1 == EMIT_LANGUAGES.size() ? " or " : ", ").append(EMIT_LANGUAGES[i]);
  return "%s: --emit takes " + known + ", not \"%s\".\n";
}();

const std::string JOBS_COMPLAINT =
    "%s: the number of jobs must be a whole number from 1 to " + std::to_string(MAX_JOBS) + ", not \"%s\".\n";

ParsedCommandLine usage_error(const char* program, std::FILE* out) {
  print_usage(program, out);
  return {std::nullopt, EXIT_USAGE};
}

ParsedCommandLine complaint(const char* program, std::FILE* out, const char* format, const char* what) {
  std::fprintf(out, format, program, what);
  return usage_error(program, out);
}

// A whole number from `low` to `high`, and nothing else.
bool parse_whole(const char* text, int low, int high, int& out) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || value < low || value > high) return false;
  out = static_cast<int>(value);
  return true;
}

}  // namespace

void print_usage(const char* program, std::FILE* out) {
  std::fprintf(out, "Usage: %s keyfile indata outdata\n", program);
  std::fprintf(out, "Apply the key to the indata to generate outdata\n");
}

// "a,b,c" as its names.
static std::vector<std::string> split_names(const std::string& text) {
  std::vector<std::string> names;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    names.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) return names;
    start = comma + 1;
  }
}

// Whether `path` is the file that standard input reads: "/dev/stdin",
// say, or the data file given by name and by redirection.
static bool is_standard_input(const std::string& path) {
  struct stat in {};
  return fstat(STDIN_FILENO, &in) == 0 && names_file(in, path);
}

PlanRequest plan_request(const Options& options) {
  PlanRequest request;
  request.key_path = options.key_path;
  request.data_path = options.data_path;
  request.columns = {options.has_target, options.target_name, options.inputs, options.keep};
  request.dialect = {options.csv, CsvSyntax{options.delimiter, '\n'}, options.strict};
  if (!options.plot_path.empty()) request.needs_target.push_back("--plot");
  request.outputs.push_back({options.out_path, "output"});
  if (!options.plot_path.empty()) request.outputs.push_back({options.plot_path, "plot"});
  return request;
}

ParsedCommandLine parse_command_line(int argc, char** argv, std::FILE* out, std::FILE* err) {
  const char* program = argc > 0 ? argv[0] : "karva";
  static const option LONG_OPTIONS[] = {
      {"target", optional_argument, nullptr, 'y'},   {"no-target", no_argument, nullptr, 'n'},
      {"precision", required_argument, nullptr, 'p'}, {"explain", no_argument, nullptr, EXPLAIN_OPTION},
      {"strict", no_argument, nullptr, STRICT_OPTION},
      {"emit", required_argument, nullptr, EMIT_OPTION},
      {"jobs", required_argument, nullptr, 'j'},
      {"csv", no_argument, nullptr, CSV_OPTION},
      {"delimiter", required_argument, nullptr, DELIMITER_OPTION},
      {"inputs", required_argument, nullptr, INPUTS_OPTION},
      {"keep", required_argument, nullptr, KEEP_OPTION},
      {"round-trip", no_argument, nullptr, ROUND_TRIP_OPTION},
      {"stats", no_argument, nullptr, STATS_OPTION},
      {"plot", required_argument, nullptr, PLOT_OPTION},
      {"help", no_argument, nullptr, 'h'},     {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  Options options;
  options.stream.jobs = default_jobs();
  bool said_yes = false;
  bool said_delimiter = false;
  bool said_precision = false;
  bool said_no = false;
  optind = 0;  // getopt starts afresh on every call
  opterr = 0;  // its complaints are ours to word
  for (;;) {
    const int c = getopt_long(argc, argv, "+:ynp:j:hV", LONG_OPTIONS, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'y':
        // --target alone is -y, as before; --target=NAME also names the column.
        said_yes = true;
        if (optarg) options.target_name = optarg;
        break;
      case CSV_OPTION: options.csv = true; break;
      case DELIMITER_OPTION: {
        const std::string d = optarg;
        if (d == "tab")
          options.delimiter = '\t';
        else if (d.size() == 1 && d != "\"" && d != "\n" && d != "\r")
          options.delimiter = d[0];
        else
          return complaint(program, err, "%s: --delimiter takes one character or \"tab\", not \"%s\".\n", optarg);
        // A delimiter that can be part of a number would cut numbers apart.
        if (std::string_view("0123456789.+-eE").find(options.delimiter) != std::string_view::npos)
          return complaint(program, err, "%s: --delimiter cannot be \"%s\", which can be part of a number.\n", optarg);
        said_delimiter = true;
        break;
      }
      case INPUTS_OPTION: options.inputs = split_names(optarg); break;
      case KEEP_OPTION: options.keep = split_names(optarg); break;
      case ROUND_TRIP_OPTION: options.round_trip = true; break;
      case STATS_OPTION: options.stats = true; break;
      case PLOT_OPTION: options.plot_path = optarg; break;
      case 'n': said_no = true; break;
      case 'p':
        said_precision = true;
        if (!parse_whole(optarg, MIN_PRECISION, MAX_PRECISION, options.precision))
          return complaint(program, err, PRECISION_COMPLAINT.c_str(), optarg);
        break;
      case EXPLAIN_OPTION: options.mode = Options::Mode::EXPLAIN; break;
      case STRICT_OPTION: options.strict = true; break;
      case 'j':
        if (!parse_whole(optarg, 1, MAX_JOBS, options.stream.jobs))
          return complaint(program, err, JOBS_COMPLAINT.c_str(), optarg);
        break;
      case EMIT_OPTION: {
        options.mode = Options::Mode::EMIT;
        options.emit_language = optarg;
        if (std::find(EMIT_LANGUAGES.begin(), EMIT_LANGUAGES.end(), options.emit_language) == EMIT_LANGUAGES.end())
          return complaint(program, err, EMIT_COMPLAINT.c_str(), optarg);
        break;
      }
      case 'h':
        print_usage(program, out);
        std::fputc('\n', out);
        std::fprintf(out, HELP_TEXT, MIN_PRECISION, MAX_PRECISION, DEFAULT_PRECISION, MAX_JOBS, default_jobs());
        return {std::nullopt, EXIT_OK};
      case 'V': std::fprintf(out, "karva %s\n", KARVA_VERSION); return {std::nullopt, EXIT_OK};
      case ':': return complaint(program, err, "%s: option %s needs a value.\n", argv[optind - 1]);
      default: {
        if (optopt != 0) {
          const char letter[] = {'-', static_cast<char>(optopt), '\0'};
          return complaint(program, err, "%s: unknown option %s.\n", letter);
        }
        return complaint(program, err, "%s: unknown option %s.\n", argv[optind - 1]);
      }
    }
  }
  if (said_yes && said_no) return complaint(program, err, "%s: %s cannot both be given.\n", "-y and -n");
  if (!options.plot_path.empty() && said_no)
    return complaint(program, err, "%s: %s cannot both be given.\n", "--plot and -n");
  if (options.round_trip && said_precision)
    return complaint(program, err, "%s: %s cannot both be given.\n", "--round-trip and -p");
  if (said_delimiter && !options.csv) return complaint(program, err, "%s: %s needs --csv.\n", "--delimiter");
  for (const auto& [option, names] : {std::pair{"--inputs", &options.inputs}, std::pair{"--keep", &options.keep}})
    for (std::size_t i = 0; i < names->size(); ++i)
      if (std::find(names->begin(), names->begin() + static_cast<std::ptrdiff_t>(i), (*names)[i]) !=
          names->begin() + static_cast<std::ptrdiff_t>(i)) {
        const std::string text = std::string(option) + " names the column \"" + (*names)[i] + "\" twice";
        return complaint(program, err, "%s: %s.\n", text.c_str());
      }
  if (said_yes || said_no) options.has_target = said_yes;

  const int files = argc - optind;
  if (options.mode != Options::Mode::RUN) {
    if (files < 1 || files > 2) return usage_error(program, out);
    options.key_path = argv[optind];
    if (files == 2) options.data_path = argv[optind + 1];
    return {options, EXIT_OK};
  }
  if (files != RUN_FILES) return usage_error(program, out);
  options.key_path = argv[optind];
  options.data_path = argv[optind + 1];
  options.out_path = argv[optind + 2];
  // With --inputs the columns are named, so there is nothing to ask.
  if (!options.inputs.empty() && !options.has_target) options.has_target = false;
  if (!options.has_target && (options.data_path == STANDARD_STREAM || is_standard_input(options.data_path)))
    return complaint(program, err,
                     "%s: reading the data from standard input (%s) needs -y or -n, since standard input cannot "
                     "also answer the question.\n",
                     options.data_path.c_str());
  return {options, EXIT_OK};
}

}  // namespace karva
