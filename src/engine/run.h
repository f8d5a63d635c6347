// The run core: the rows of a plan on their way. The one reader cuts the
// data into chunks of whole records; a pool of workers parses and scores
// them and lets the sink format them; the sink takes them back in file
// order, so that what comes out is the same for any number of workers.
// Every surface (the command, the Python package) runs its rows through
// here and reads its verdict off the outcome.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fit.h"
#include "engine/plan.h"
#include "input/reader.h"
#include "input/rows.h"
#include "model/apply.h"

namespace karva {

// Exit statuses.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

// Text taken into one chunk: enough to make the work per chunk large
// against the hand-over, small enough to keep every worker busy.
inline constexpr std::size_t DEFAULT_CHUNK_BYTES = 512 << 10;
// Rows of a chunk parsed and scored together: what one table holds.
inline constexpr std::size_t DEFAULT_TABLE_ROWS = 4096;
// Text of the chunks in flight, read and not yet written, at most (but
// always at least one chunk, however long its records).
inline constexpr std::size_t MAX_BYTES_IN_FLIGHT = 32 << 20;

// Threads that read, evaluate and format chunks: at most this many.
inline constexpr int MAX_JOBS = 256;

// The processors this process may run on (its affinity mask).
int default_jobs();

struct RunSettings {
  int jobs = 1;  // 1: all work on the calling thread
  std::size_t chunk_bytes = DEFAULT_CHUNK_BYTES;
  std::size_t table_rows = DEFAULT_TABLE_ROWS;
  const std::atomic<bool>* cancel = nullptr;  // once set, no more chunk is read
};

// One table of a chunk's rows, scored: its targets, its predictions (NaN
// where a row misses an input), what each row misses and its kept fields.
struct ScoredRows {
  const DataTable& table;
  const double* predictions;
  const RowExtras& extras;
};

// One chunk of the data, from its text to its predictions and output
// text. Chunks are used again once taken.
struct Chunk {
  std::uint64_t number = 0;  // in file order
  ChunkText text;
  bool parsed = false;  // false after a stop in an earlier chunk: only counted
  ChunkRead read;
  std::size_t rows = 0;
  DataTable table;  // a table of rows at a time
  RowExtras extras;
  std::vector<char> out;  // what the sink formatted
  std::size_t out_size = 0;
  // Every row's target and prediction, and what it misses.
  std::vector<double> targets;
  std::vector<double> predictions;
  std::vector<unsigned char> missing;
  std::vector<std::string_view> kept_text;  // the kept columns' fields, row by row, as written
};

// What a run hands its rows to.
class RowSink {
 public:
  virtual ~RowSink() = default;
  // On a worker: text for a table of scored rows, appended to `out` (grown
  // as needed) from `used` on; gives the bytes of `out` used. Sinks that
  // write no text keep the default.
  virtual std::size_t format(const ScoredRows& rows, std::vector<char>& out, std::size_t used) const;
  // In file order, on the run's thread; false stops the run (a failed write).
  virtual bool take(const Chunk& chunk) = 0;
};

// How a run ended, and what it says of the rows.
struct RunOutcome {
  ReadTally tally;
  FitData fit;  // when the plan has a target
  bool sink_failed = false;
  bool read_failed = false;
  int system_error = 0;  // with read_failed
  std::string damage;    // a compressed stream that broke off: what its decoder said
  bool cancelled = false;  // the caller stopped the run
  // A stop in a compressed stream that could not be read on to its check
  // (a pipe): the rows before the stop are unchecked.
  bool unchecked = false;

  // A stop that matters: blank lines at the end of the data do not.
  bool stopped() const { return tally.stopped() && tally.stop_matters(); }
  // Every record of the data read, and every row taken.
  bool complete() const { return !sink_failed && !read_failed && !stopped() && damage.empty() && !cancelled; }
  int exit_status() const { return complete() ? EXIT_OK : EXIT_FAILED; }
};

// Runs every row of `plan` (its key prepared, its data open) into `sink`.
// Throws std::system_error when the workers' threads cannot be started.
RunOutcome run_rows(const Plan& plan, const RunSettings& settings, RowSink& sink);

// A matrix of doubles in memory: the value of row r and input m is at
// `base` + r * row_stride + m * column_stride, in bytes.
struct MatrixView {
  const char* base = nullptr;
  std::size_t rows = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t column_stride = 0;
};

// Predictions for every row of `matrix` into `predictions`, on `jobs`
// threads; a row with a NaN in any of the key's inputs is missing: it
// predicts NaN, and `missing` (when not null) holds 1 for it, else 0.
void score_matrix(const PreparedKey& key, const MatrixView& matrix, double* predictions, int jobs,
                  unsigned char* missing = nullptr);

}  // namespace karva
