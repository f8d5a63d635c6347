// The command's options: their ids, how getopt takes them and how the help
// shows them, one row each.
#pragma once

#include <getopt.h>

#include <algorithm>
#include <iterator>

#include <cstdio>
#include <string>
#include <vector>

namespace karva {

// Options without a short letter.
enum LongOnly : int {
  EXPLAIN = 1000, STRICT, EMIT, CSV, DELIMITER, INPUTS, KEEP, ROUND_TRIP, STATS, PLOT, DECIMAL, HEADER, NO_HEADER,
  PREDICTION_NAME, SQL_TABLE, SQL_ENGINE, CHUNK_BYTES, TABLE_ROWS, PROGRESS_DELAY, DECODER_MEMORY, SERVE, LISTEN, QUIET,
  BODY_LIMIT, ROW_LIMIT, CONNECTION_LIMIT, READ_TIMEOUT, HEADER_LIMIT, QUEUE_LIMIT, MEMORY_LIMIT, TOKEN_FILE,
  EMIT_NAME, GRPC_LISTEN, SQL_VIEW, SHEET_ROWS,
};

// Bounds of the tuning options.
inline constexpr int MIN_CHUNK_BYTES = 1;
inline constexpr int MAX_CHUNK_BYTES = 1 << 30;
inline constexpr int MIN_TABLE_ROWS = 1;
inline constexpr int MAX_TABLE_ROWS = 1 << 20;
inline constexpr int MAX_PROGRESS_DELAY_MS = 24 * 60 * 60 * 1000;
inline constexpr int MIN_DECODER_MIB = 1;
inline constexpr int MAX_DECODER_MIB = 1 << 20;  // a TiB
inline constexpr int BYTES_PER_MIB_SHIFT = 20;
inline constexpr int BYTES_PER_KIB_SHIFT = 10;

// Shown in the help only: --target=NAME is --target with its value.
inline constexpr int HELP_ONLY = -1;

// The service's limits, each a whole number in its range: none so large
// that a later unit (milliseconds, bytes) overflows.
struct ServiceLimit {
  int id;
  const char* name;
  int low;
  int high;
};
inline constexpr int MOST_LIMIT = 2'000'000'000;
inline constexpr ServiceLimit SERVICE_LIMITS[] = {
    {BODY_LIMIT, "--body-limit", 1, MOST_LIMIT},        {ROW_LIMIT, "--row-limit", 1, MOST_LIMIT},
    {CONNECTION_LIMIT, "--connection-limit", 1, 65536}, {READ_TIMEOUT, "--read-timeout", 1, 86400},
    {HEADER_LIMIT, "--header-limit", 1, 1 << 24},       {QUEUE_LIMIT, "--queue-limit", 1, 65536},
    {MEMORY_LIMIT, "--memory-limit", 16, 1 << 20},
};
// The row of a service limit's option.
const ServiceLimit* service_limit(int id);

// One option: how getopt takes it, and how the help shows it.
struct OptionRow {
  const char* name;
  int has_arg;
  int id;
  std::string shown;
  std::string help;  // lines after the first are indented under it
};

// Every option, in the order the help shows them.
const std::vector<OptionRow>& option_table();
// The table as getopt_long takes it.
std::vector<option> getopt_options();
void print_help(std::FILE* out);

}  // namespace karva
