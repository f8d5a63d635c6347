#include "cli/options.h"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "cli/option_table.h"
#include "render/emit.h"
#include "render/emit_xlsx.h"
#include "render/messages.h"
#include "text/number.h"

namespace karva {
namespace {

constexpr int RUN_FILES = 3;

// A whole number from `low` to `high`, and nothing else.
bool parse_whole(const char* text, int low, int high, int& out) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (!is_digit(*text) || *end != '\0' || errno != 0 || value < low || value > high) return false;
  out = static_cast<int>(value);
  return true;
}

bool parse_size(const char* text, int low, int high, std::size_t& out) {
  int value = 0;
  if (!parse_whole(text, low, high, value)) return false;
  out = static_cast<std::size_t>(value);
  return true;
}

// Whether a file name says a format other than the SVG the plot is.
bool names_another_format(const std::string& path) {
  constexpr std::string_view OTHERS[] = {".png", ".jpg", ".jpeg", ".gif", ".pdf", ".bmp", ".tif", ".tiff", ".webp", ".eps"};
  std::string lower = path.substr(path.rfind('.') == std::string::npos ? path.size() : path.rfind('.'));
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return std::find(std::begin(OTHERS), std::end(OTHERS), lower) != std::end(OTHERS);
}

std::string range(int low, int high) { return std::to_string(low) + " to " + std::to_string(high); }

// Whether `path` is the file that standard input reads: "/dev/stdin",
// say, or the data file given by name and by redirection.
bool is_standard_input(const std::string& path) {
  struct stat in {};
  return fstat(STDIN_FILENO, &in) == 0 && names_file(in, path);
}

OptionError option_error(OptionError::Kind kind, std::string option = "", std::string value = "",
                         std::string other = "") {
  OptionError e;
  e.kind = kind;
  e.option = std::move(option);
  e.value = std::move(value);
  e.other = std::move(other);
  return e;
}

// The command line taken option by option; a complaint ends it.
class CommandLine {
 public:
  explicit CommandLine(Options& options) : o_(options) {}

  // Takes one option; the complaint, if it has one.
  std::optional<OptionError> take(int id, const char* arg) {
    using Kind = OptionError::Kind;
    switch (id) {
      case 'y':
        // --target alone is -y, as before; --target=NAME also names the column.
        said_yes_ = true;
        bare_ = arg ? "" : "--target=NAME";
        if (arg) o_.target_name = arg;
        break;
      case 'n': said_no_ = true; break;
      case 'p':
        said_precision_ = true;
        if (!parse_whole(arg, MIN_PRECISION, MAX_PRECISION, o_.style.precision))
          return option_error(Kind::BAD_PRECISION, "-p", arg);
        break;
      case 'j':
        if (!parse_whole(arg, 1, MAX_JOBS, o_.stream.jobs)) return option_error(Kind::BAD_JOBS, "-j", arg);
        break;
      case CHUNK_BYTES:
      case TABLE_ROWS:
      case PROGRESS_DELAY:
      case SHEET_ROWS: return take_tuning(id, arg);
      case BODY_LIMIT:
      case ROW_LIMIT:
      case CONNECTION_LIMIT:
      case READ_TIMEOUT:
      case HEADER_LIMIT:
      case MEMORY_LIMIT:
      case QUEUE_LIMIT: return take_limit(id, arg);
      case SQL_ENGINE: return take_sql_engine(arg);
      case LISTEN:
      case GRPC_LISTEN: return take_listen(id, arg);
      case DECODER_MEMORY: {
        int mib = 0;
        if (!parse_whole(arg, MIN_DECODER_MIB, MAX_DECODER_MIB, mib))
          return option_error(Kind::OUT_OF_RANGE, "--decoder-memory", arg, range(MIN_DECODER_MIB, MAX_DECODER_MIB));
        o_.decoder_memory = static_cast<std::uint64_t>(mib) << BYTES_PER_MIB_SHIFT;
        break;
      }
      case STATS:
        if (arg && std::string_view(arg) != "json") return option_error(Kind::BAD_STATS, "--stats", arg);
        o_.stats = true;
        o_.stats_json = arg != nullptr;
        bare_ = arg ? "" : "--stats=json";
        break;
      case EMIT: {
        o_.mode = Options::Mode::EMIT;
        o_.emit_language = arg;
        if (std::find(EMIT_LANGUAGES.begin(), EMIT_LANGUAGES.end(), o_.emit_language) != EMIT_LANGUAGES.end()) break;
        OptionError e = option_error(Kind::BAD_CHOICE, "--emit", arg);
        e.known.assign(EMIT_LANGUAGES.begin(), EMIT_LANGUAGES.end());
        return e;
      }
      default: take_setting(id, arg);
    }
    return std::nullopt;
  }

  // The tuning options and --sheet-rows, each a whole number in its range.
  std::optional<OptionError> take_tuning(int id, const char* arg) {
    struct Tuning { int id; const char* name; int low, high; std::size_t* size; int* whole; };  // size or whole
    const Tuning tunings[] = {
        {CHUNK_BYTES, "--chunk-bytes", MIN_CHUNK_BYTES, MAX_CHUNK_BYTES, &o_.stream.chunk_bytes, nullptr},
        {TABLE_ROWS, "--table-rows", MIN_TABLE_ROWS, MAX_TABLE_ROWS, &o_.stream.table_rows, nullptr},
        {PROGRESS_DELAY, "--progress-delay", 0, MAX_PROGRESS_DELAY_MS, nullptr, &o_.progress_delay_ms},
        {SHEET_ROWS, "--sheet-rows", 0, static_cast<int>(MOST_SHEET_ROWS), &o_.sheet_rows, nullptr}};
    for (const Tuning& t : tunings)
      if (t.id == id && !(t.size ? parse_size(arg, t.low, t.high, *t.size) : parse_whole(arg, t.low, t.high, *t.whole)))
        return option_error(OptionError::Kind::OUT_OF_RANGE, t.name, arg, range(t.low, t.high));
    return std::nullopt;
  }

  std::optional<OptionError> take_sql_engine(const char* arg) {
    said_sql_engine_ = true;
    const auto found = std::find(SQL_ENGINES.begin(), SQL_ENGINES.end(), arg);
    if (found != SQL_ENGINES.end()) {
      o_.sql_engine = sql_engine_at(static_cast<std::size_t>(found - SQL_ENGINES.begin()));
      return std::nullopt;
    }
    OptionError e = option_error(OptionError::Kind::BAD_CHOICE, "--sql-engine", arg);
    e.known.assign(SQL_ENGINES.begin(), SQL_ENGINES.end());
    return e;
  }

  // --listen or --grpc-listen HOST:PORT, a port from 0 (any free one) to
  // 65535; an IPv6 host in brackets, as in a URL.
  std::optional<OptionError> take_listen(int id, const char* arg) {
    constexpr int MOST_PORT = 65535;
    const std::string listen = arg;
    const std::size_t colon = listen.rfind(':');
    int port = 0;
    if (colon == std::string::npos || !parse_whole(listen.c_str() + colon + 1, 0, MOST_PORT, port))
      return option_error(OptionError::Kind::BAD_LISTEN, id == LISTEN ? "--listen" : "--grpc-listen", arg);
    std::string host = listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    (id == LISTEN ? o_.serve.host : o_.serve.grpc_host) = host;
    (id == LISTEN ? o_.serve.port : o_.serve.grpc_port) = static_cast<std::uint16_t>(port);
    o_.serve.grpc = o_.serve.grpc || id == GRPC_LISTEN;
    return std::nullopt;
  }

  // One of the service's limits: a whole number in its range.
  std::optional<OptionError> take_limit(int id, const char* arg) {
    const ServiceLimit* limit = service_limit(id);
    int value = 0;
    if (!parse_whole(arg, limit->low, limit->high, value))
      return option_error(OptionError::Kind::OUT_OF_RANGE, limit->name, arg, range(limit->low, limit->high));
    const auto n = static_cast<std::size_t>(value);
    if (id == BODY_LIMIT) o_.serve.body_limit = n;
    if (id == ROW_LIMIT) o_.serve.row_limit = n;
    if (id == CONNECTION_LIMIT) o_.serve.max_connections = value;
    if (id == READ_TIMEOUT) o_.serve.read_timeout = std::chrono::seconds(value);
    if (id == HEADER_LIMIT) o_.serve.header_limit = n;
    if (id == QUEUE_LIMIT) o_.serve.queue_limit = value;
    if (id == MEMORY_LIMIT) o_.serve.memory_limit = n << BYTES_PER_MIB_SHIFT;
    return std::nullopt;
  }

  // The last option taken, when it was --target or --stats without a value:
  // the form that gives it one.
  const std::string& bare() const { return bare_; }
  void clear_bare() { bare_.clear(); }

  // What no single option says: options that go against each other.
  std::optional<OptionError> check() {
    using Kind = OptionError::Kind;
    if (said_yes_ && said_no_) return option_error(Kind::CONFLICT, "-y", "", "-n");
    if (!o_.plot_path.empty() && said_no_) return option_error(Kind::CONFLICT, "--plot", "", "-n");
    if (o_.stats && said_no_) return option_error(Kind::CONFLICT, "--stats", "", "-n");
    if (o_.style.round_trip && said_precision_) return option_error(Kind::CONFLICT, "--round-trip", "", "-p");
    if (names_another_format(o_.plot_path)) return option_error(Kind::PLOT_NOT_SVG, "--plot", o_.plot_path);
    if (!o_.emit_name.empty() && !is_identifier(o_.emit_name))
      return option_error(Kind::NOT_IDENTIFIER, "--emit-name", o_.emit_name);
    Expected<Dialect, DialectError> dialect = settle_dialect(dialect_);
    if (!dialect) {
      OptionError e = option_error(Kind::DIALECT);
      e.dialect = dialect.error();
      return e;
    }
    o_.dialect = *dialect;
    for (const auto& [option, names] : {std::pair{"--inputs", &o_.inputs}, std::pair{"--keep", &o_.keep}})
      for (auto at = names->begin(); at != names->end(); ++at)
        if (std::find(names->begin(), at, *at) != at) return option_error(Kind::NAMED_TWICE, option, *at);
    if (said_yes_ || said_no_) o_.has_target = said_yes_;
    return check_sql_engine();
  }

  // --sql-engine writes SQL, and for an engine whose tables have no row
  // identity the statement returns the --keep columns instead.
  std::optional<OptionError> check_sql_engine() const {
    using Kind = OptionError::Kind;
    const bool sql = o_.mode == Options::Mode::EMIT && o_.emit_language == "sql";
    if (said_sql_engine_ && !sql) return option_error(Kind::NEEDS_OPTION, "--sql-engine", "", "--emit sql");
    if (sql && o_.keep.empty() && !has_row_identity(o_.sql_engine))
      return option_error(Kind::NEEDS_OPTION, "--sql-engine",
                          std::string(SQL_ENGINES[static_cast<std::size_t>(o_.sql_engine)]), "--keep");
    return std::nullopt;
  }

 private:
  // Options that cannot be wrong on their own.
  void take_setting(int id, const char* arg) {
    switch (id) {
      case CSV: dialect_.csv = true; break;
      case DELIMITER: dialect_.delimiter = arg; break;
      case DECIMAL: dialect_.decimal = arg; break;
      case HEADER: dialect_.header = true; break;
      case NO_HEADER: dialect_.header = false; break;
      case STRICT: dialect_.strict = true; break;
      case INPUTS:
        o_.inputs = split_names(arg);
        o_.inputs_given.push_back(arg);
        break;
      case KEEP: o_.keep = split_names(arg); break;
      case PREDICTION_NAME: o_.style.prediction_name = arg; break;
      case SQL_TABLE: o_.sql_table = arg; break;
      case SQL_VIEW: o_.sql_view = arg; break;
      case EMIT_NAME: o_.emit_name = arg; break;
      case ROUND_TRIP: o_.style.round_trip = true; break;
      case PLOT: o_.plot_path = arg; break;
      case EXPLAIN: o_.mode = Options::Mode::EXPLAIN; break;
      case SERVE: o_.mode = Options::Mode::SERVE; break;
      case QUIET: o_.quiet = true; break;
      case TOKEN_FILE: o_.token_file = arg; break;
    }
  }

  Options& o_;
  bool said_yes_ = false;
  bool said_no_ = false;
  bool said_sql_engine_ = false;
  bool said_precision_ = false;
  DialectWords dialect_;
  std::string bare_;
};

ParsedCommandLine usage_error(const char* program, std::FILE* out) {
  print_usage(program, out);
  return {std::nullopt, EXIT_USAGE};
}

ParsedCommandLine complaint(const char* program, std::FILE* out, const OptionError& what) {
  std::fputs(option_error_message(program, what).c_str(), out);
  return usage_error(program, out);
}

// The file names after the options.
ParsedCommandLine take_files(Options& options, int argc, char** argv, const std::string& bare, std::FILE* out,
                             std::FILE* err) {
  const char* program = argc > 0 ? argv[0] : "karva";
  const int files = argc - optind;
  for (int i = optind; i < argc; ++i)
    if (*argv[i] == '\0') return complaint(program, err, option_error(OptionError::Kind::EMPTY_FILE_NAME));
  if (options.mode == Options::Mode::SERVE) {
    if (files < 1) return usage_error(program, out);
    options.key_paths.assign(argv + optind, argv + argc);
    const std::vector<std::string>& keys = options.key_paths;
    for (auto key = keys.begin(); key != keys.end(); ++key)
      for (auto earlier = keys.begin(); earlier != key; ++earlier)
        if (model_name(*earlier) == model_name(*key))
          return complaint(program, err, option_error(OptionError::Kind::TWO_MODELS, "", *earlier, *key));
    // --inputs MODEL=a,b,c must name a model served: else a typo would
    // quietly rename an input.
    for (const std::string& given : options.inputs_given)
      if (const std::size_t eq = given.find('='); eq != std::string::npos)
        if (std::none_of(keys.begin(), keys.end(), [&](const std::string& k) { return model_name(k) == given.substr(0, eq); }))
          return complaint(program, err, option_error(OptionError::Kind::NO_SUCH_MODEL, "--inputs", given.substr(0, eq)));
    return {options, EXIT_OK};
  }
  if (options.mode != Options::Mode::RUN) {
    if (files < 1 || files > 2) return usage_error(program, out);
    options.key_path = argv[optind];
    if (files == 2) options.data_path = argv[optind + 1];
    return {options, EXIT_OK};
  }
  // "--target y k d o": the name went to the files, not to --target.
  if (files == RUN_FILES + 1 && !bare.empty())
    return complaint(program, err,
                     option_error(OptionError::Kind::ONE_FILE_TOO_MANY, bare.substr(0, bare.find('=')), argv[optind], bare));
  // "--target y --csv k d o": options stop at "y", which --target did not take.
  if (files > RUN_FILES && !bare.empty())
    return complaint(program, err,
                     option_error(OptionError::Kind::VALUE_APART, bare.substr(0, bare.find('=')), argv[optind], bare));
  if (files != RUN_FILES) return usage_error(program, out);
  options.key_path = argv[optind];
  options.data_path = argv[optind + 1];
  options.out_path = argv[optind + 2];
  // With --inputs the columns are named, so there is nothing to ask.
  if (!options.inputs.empty() && !options.has_target) options.has_target = false;
  if (!options.has_target && (options.data_path == STANDARD_STREAM || is_standard_input(options.data_path)))
    return complaint(program, err, option_error(OptionError::Kind::STANDARD_INPUT, "", options.data_path));
  return {options, EXIT_OK};
}

}  // namespace

PlanRequest plan_request(const Options& options) {
  PlanRequest request;
  request.key_path = options.key_path;
  request.data_path = options.data_path;
  request.columns = {options.has_target, options.target_name, options.inputs, options.keep};
  request.dialect = options.dialect;
  request.decoder_memory = options.decoder_memory;
  if (!options.plot_path.empty()) request.needs_target.push_back("--plot");
  if (options.stats) request.needs_target.push_back("--stats");
  request.outputs.push_back({options.out_path, "output"});
  request.prediction_name = options.style.prediction_name;
  if (!options.plot_path.empty()) request.outputs.push_back({options.plot_path, "plot"});
  return request;
}

ParsedCommandLine parse_command_line(int argc, char** argv, std::FILE* out, std::FILE* err) {
  const char* program = argc > 0 ? argv[0] : "karva";
  static const std::vector<option> LONG_OPTIONS = getopt_options();
  Options options;
  options.stream.jobs = default_jobs();
  CommandLine line(options);
  optind = 0;  // getopt starts afresh on every call
  opterr = 0;  // its complaints are ours to word
  int long_index = -1;
  for (int c; (c = getopt_long(argc, argv, "+:ynp:j:hV", LONG_OPTIONS.data(), &long_index)) != -1; long_index = -1) {
    if (c == 'h') {
      print_usage(program, out);
      std::fputc('\n', out);
      print_help(out);
      return {std::nullopt, EXIT_OK};
    }
    if (c == 'V') {
      std::fprintf(out, "karva %s\n", KARVA_VERSION);
      return {std::nullopt, EXIT_OK};
    }
    if (c == ':') return complaint(program, err, option_error(OptionError::Kind::NEEDS_VALUE, argv[optind - 1]));
    if (c == '?') {
      const std::string letter = optopt != 0 ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1];
      return complaint(program, err, option_error(OptionError::Kind::UNKNOWN_OPTION, letter));
    }
    line.clear_bare();
    if (optarg && *optarg == '\0') {
      const std::string name = long_index >= 0 ? std::string("--") + LONG_OPTIONS[static_cast<std::size_t>(long_index)].name
                                               : std::string("-") + static_cast<char>(c);
      return complaint(program, err, option_error(OptionError::Kind::EMPTY_VALUE, name));
    }
    if (const std::optional<OptionError> why = line.take(c, optarg)) return complaint(program, err, *why);
  }
  if (const std::optional<OptionError> why = line.check()) return complaint(program, err, *why);
  return take_files(options, argc, argv, line.bare(), out, err);
}

std::vector<std::string> split_names(const std::string& text) {
  std::vector<std::string> names;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    names.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) return names;
    start = comma + 1;
  }
}

}  // namespace karva
