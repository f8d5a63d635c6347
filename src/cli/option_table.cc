#include "cli/option_table.h"

#include "cli/options.h"

#include "cli/progress.h"
#include "engine/run.h"
#include "input/source.h"
#include "render/emit.h"
#include "render/output.h"
#include "serve/settings.h"
#include "text/number.h"

namespace karva {
namespace {

// The options of a run, --explain and --emit.
std::vector<OptionRow> run_options() {
  return {
      {"target", optional_argument, 'y', "-y, --target", "the first data column is the true response (no question)"},
      {"no-target", no_argument, 'n', "-n, --no-target", "the first data column is an input (no question)"},
      {"precision", required_argument, 'p', "-p, --precision N",
       "digits after the decimal point in outdata, " + std::to_string(MIN_PRECISION) + " to " +
           std::to_string(MAX_PRECISION) + " (" + std::to_string(DEFAULT_PRECISION) + ")"},
      {"jobs", required_argument, 'j', "-j, --jobs N",
       "threads that read, evaluate and format, 1 to " + std::to_string(MAX_JOBS) +
           "\n(the processors this process may run on: " + std::to_string(default_jobs()) + ")"},
      {"csv", no_argument, CSV, "    --csv",
       "read RFC 4180 CSV as pandas writes it (quotes; empty\nfields, NA and text are missing values) and write CSV"},
      {"delimiter", required_argument, DELIMITER, "    --delimiter C", "the CSV delimiter: one character, or tab (default ,)"},
      {"decimal", required_argument, DECIMAL, "    --decimal ,", "decimal commas in and out (implies --csv and --delimiter \";\")"},
      {"header", no_argument, HEADER, "    --header", "the first line holds the columns' names, even numbers (0,1,2)"},
      {"no-header", no_argument, NO_HEADER, "    --no-header", "the first line is data, even text"},
      {"inputs", required_argument, INPUTS, "    --inputs NAMES",
       "the key's inputs by header name, in the key's order\n(a,b,c); other columns may hold anything; with --serve,\n"
       "MODEL=a,b,c names one model's (so a first name holds no =)"},
      {"target", HELP_ONLY, 'y', "    --target=NAME", "the true response's column by header name (implies -y)"},
      {"keep", required_argument, KEEP, "    --keep NAMES", "columns copied to the front of every output line"},
      {"prediction-name", required_argument, PREDICTION_NAME, "    --prediction-name NAME",
       "the prediction column's name in outdata (predict)"},
      {"round-trip", no_argument, ROUND_TRIP, "    --round-trip", "write numbers as the shortest text that reads back the same"},
      {"stats", optional_argument, STATS, "    --stats[=json]",
       "after R-square: rows used, RMSE, MAE, largest error and the\ncoefficient of determination; =json: one JSON line"},
      {"plot", required_argument, PLOT, "    --plot FILE.svg", "draw predictions against the truth and the errors' histogram"},
      {"strict", no_argument, STRICT, "    --strict",
       "stop at a field that is not a number, or a line with more\nfields than the first (they are counted and reported)"},
      {"explain", no_argument, EXPLAIN, "    --explain", "karva --explain keyfile [indata]: print the key's formulas"},
      {"emit", required_argument, EMIT, "    --emit LANG",
       "karva --emit c|python|sql|onnx|xlsx|latex keyfile [indata]: print\nthe key as C, Python or SQL that computes the same predictions, as\nLaTeX formulas, an ONNX model, or a workbook of live formulas (the\nlast two binary: to a file or a pipe)"},
      {"sheet-rows", required_argument, SHEET_ROWS, "    --sheet-rows N",
       "the empty rows of --emit xlsx without a data file (100)"},
      {"emit-name", required_argument, EMIT_NAME, "    --emit-name NAME",
       "the function --emit c or python defines (karva_predict,\npredict), so that several keys can live in one program"},
      {"sql-engine", required_argument, SQL_ENGINE, "    --sql-engine ENGINE",
       "the engine --emit sql writes for: sqlite (the default),\npostgresql or duckdb (these two need --keep)"},
      {"sql-table", required_argument, SQL_TABLE, "    --sql-table NAME",
       "the table --emit sql scores (data; schema.table)"},
      {"sql-view", required_argument, SQL_VIEW, "    --sql-view NAME",
       "--emit sql writes CREATE VIEW NAME AS the statement, in the\norder of the --keep columns (PostgreSQL: its helpers beside it)"},
      {"chunk-bytes", required_argument, CHUNK_BYTES, "    --chunk-bytes N",
       "text handed to a worker at a time (tuning: " + std::to_string(DEFAULT_CHUNK_BYTES) + ")"},
      {"table-rows", required_argument, TABLE_ROWS, "    --table-rows N",
       "rows scored together (tuning: " + std::to_string(DEFAULT_TABLE_ROWS) + ")"},
      {"progress-delay", required_argument, PROGRESS_DELAY, "    --progress-delay MS",
       "show progress on a terminal after MS milliseconds (" + std::to_string(DEFAULT_PROGRESS_DELAY_MS) + ")"},
  };
}

// The service's options, their defaults shown from its settings.
std::vector<OptionRow> service_options() {
  static const ServeSettings SERVICE;
  return {
      {"serve", no_argument, SERVE, "    --serve",
       "karva --serve [--listen HOST:PORT] keyfile...: answer prediction\nrequests over HTTP (V2 and MLflow's forms)"},
      {"listen", required_argument, LISTEN, "    --listen HOST:PORT", "where --serve listens (127.0.0.1:8080; port 0: any free)"},
      {"grpc-listen", required_argument, GRPC_LISTEN, "    --grpc-listen HOST:PORT",
       "--serve: V2 over gRPC too, listening there (port 0: any free)"},
      {"quiet", no_argument, QUIET, "    --quiet", "no access log from --serve"},
      {"token-file", required_argument, TOKEN_FILE, "    --token-file FILE",
       "--serve: every endpoint but the health checks needs\nAuthorization: Bearer and the token in FILE"},
      {"body-limit", required_argument, BODY_LIMIT, "    --body-limit BYTES",
       "--serve: the largest request body (" + std::to_string(SERVICE.body_limit >> BYTES_PER_MIB_SHIFT) + " MiB)"},
      {"row-limit", required_argument, ROW_LIMIT, "    --row-limit N", "--serve: the most rows in one request (" + std::to_string(SERVICE.row_limit) + ")"},
      {"connection-limit", required_argument, CONNECTION_LIMIT, "    --connection-limit N",
       "--serve: connections at once (" + std::to_string(SERVICE.max_connections) + "); past them, 503"},
      {"read-timeout", required_argument, READ_TIMEOUT, "    --read-timeout S",
       "--serve: seconds a request may take to arrive (" + std::to_string(SERVICE.read_timeout.count()) +
           "); past them, 408"},
      {"header-limit", required_argument, HEADER_LIMIT, "    --header-limit BYTES",
       "--serve: the largest request line and headers (" + std::to_string(SERVICE.header_limit >> BYTES_PER_KIB_SHIFT) +
           " KiB); past them, 431"},
      {"queue-limit", required_argument, QUEUE_LIMIT, "    --queue-limit N",
       "--serve: requests being read into rows or scored at once (" + std::to_string(SERVICE.queue_limit) +
           ");\npast them, 503"},
      {"memory-limit", required_argument, MEMORY_LIMIT, "    --memory-limit MIB",
       "--serve: what the bodies being read and the rows being\nscored may hold at once (" +
           std::to_string(SERVICE.memory_limit >> BYTES_PER_MIB_SHIFT) + " MiB); past it, 503"},
      {"decoder-memory", required_argument, DECODER_MEMORY, "    --decoder-memory MIB",
       "the most memory decompressing the data may take (" +
           std::to_string(DEFAULT_DECODER_MEMORY >> BYTES_PER_MIB_SHIFT) + ")"},
      {"help", no_argument, 'h', "-h, --help", "print this help and exit"},
      {"version", no_argument, 'V', "-V, --version", "print the version and exit"},
  };
}

}  // namespace

const std::vector<OptionRow>& option_table() {
  static const std::vector<OptionRow> table = [] {
    std::vector<OptionRow> rows = run_options();
    for (OptionRow& row : service_options()) rows.push_back(std::move(row));
    return rows;
  }();
  return table;
}

const char* const HELP_INTRO =
    "Applies a trained regression model, the key, to a table of numbers and\n"
    "writes one prediction per row. The key is a binary file holding the number\n"
    "of input variables and a chain of genes, each an arithmetic expression with\n"
    "an intercept and a slope; every gene's value becomes one more column that\n"
    "later genes may read, and the last gene's value is the prediction. The data\n"
    "file holds one row of numbers per line, separated by spaces, tabs, commas or\n"
    "semicolons, with an optional header line; gzip, zstd, xz and bzip2 files are\n"
    "read as they stand. When its first column is the true response, the output\n"
    "holds it beside each prediction and R-square, the squared correlation of\n"
    "target and prediction, is printed.\n\nOptions:\n";

const char* const HELP_OUTRO =
    "\nindata \"-\" reads standard input (with -y or -n); outdata \"-\" writes the\n"
    "predictions to standard output and every message to standard error.\n"
    "Exit status: 0 success, 1 failure, 2 usage error.\n"
    "\n"
    "Example: a pandas export with an index, an ID and the inputs in another order:\n"
    "  karva --csv --inputs x1,x2 --target=y --keep id model.key scores.csv out.csv\n";

constexpr std::size_t HELP_COLUMN = 23;  // where the help of an option starts

void print_help(std::FILE* out) {
  std::fputs(HELP_INTRO, out);
  for (const OptionRow& option : option_table()) {
    std::string line = "  " + option.shown;
    // A long name puts its help on the next line.
    line += line.size() < HELP_COLUMN ? std::string(HELP_COLUMN - line.size(), ' ') : "\n" + std::string(HELP_COLUMN, ' ');
    for (char c : option.help) line += c == '\n' ? "\n" + std::string(HELP_COLUMN, ' ') : std::string(1, c);
    std::fprintf(out, "%s\n", line.c_str());
  }
  std::fputs(HELP_OUTRO, out);
}

const ServiceLimit* service_limit(int id) {
  return std::find_if(std::begin(SERVICE_LIMITS), std::end(SERVICE_LIMITS), [id](const ServiceLimit& l) { return l.id == id; });
}

void print_usage(const char* program, std::FILE* out) {
  std::fprintf(out, "Usage: %s keyfile indata outdata\n", program);
  std::fprintf(out, "Apply the key to the indata to generate outdata\n");
}

std::vector<option> getopt_options() {
  std::vector<option> long_options;
  for (const OptionRow& option : option_table())
    if (option.has_arg != HELP_ONLY) long_options.push_back({option.name, option.has_arg, nullptr, option.id});
  long_options.push_back({nullptr, 0, nullptr, 0});
  return long_options;
}

}  // namespace karva
