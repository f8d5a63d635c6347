// The rows of a data file on their way: cut into chunks of whole records by
// the one reader, parsed, scored and formatted by a pool of workers, and
// handed back in file order, so that what comes out is the same for any
// number of workers.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "model/apply.h"
#include "tool/columns.h"
#include "tool/output.h"
#include "tool/reader.h"
#include "tool/rows.h"

namespace karva {

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

struct StreamSettings {
  int jobs = 1;  // 1: all work on the calling thread
  std::size_t chunk_bytes = DEFAULT_CHUNK_BYTES;
  std::size_t table_rows = DEFAULT_TABLE_ROWS;
};

// One chunk of the data, from its text to its prediction lines. Chunks are
// used again once taken.
struct Chunk {
  std::uint64_t number = 0;  // in file order
  ChunkText text;
  bool parsed = false;  // false after a stop in an earlier chunk: only counted
  ChunkRead read;
  std::size_t rows = 0;
  DataTable table;  // a table of rows at a time
  RowExtras extras;
  std::vector<char> out;  // the prediction lines
  std::size_t out_size = 0;
  // Every row's target and prediction, and what it misses, kept for the fit.
  std::vector<double> targets;
  std::vector<double> predictions;
  std::vector<unsigned char> missing;
  std::vector<std::string_view> kept_text;  // the kept columns' fields, row by row, as written
};

// Reads every chunk of `reader` and hands each, in file order, to `take`;
// stops when take gives false. After a stop in the reading, later chunks
// are only counted. Gives false when take did; the tally holds the rest.
// Throws std::system_error when the workers' threads cannot be started.
bool stream_rows(DataReader& reader, const ColumnPlan& columns, const PreparedKey& key, const OutputFormat& format,
                 const StreamSettings& settings, const std::function<bool(const Chunk&)>& take, ReadTally& tally);

}  // namespace karva
