#include "engine/run.h"

#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "engine/ordered_work.h"

namespace karva {
namespace {

// A chunk's buffers that grew for long records are let go once it is
// taken, so that one long line does not hold memory for the rest of the run.
constexpr std::size_t KEPT_BUFFER_FACTOR = 2;

// The most rows a regular file can hold: every value takes at least one
// character and one delimiter or line end. Reserved room for that many rows
// costs address space only; past this cap the vectors grow as they go.
constexpr std::uint64_t MAX_RESERVED_ROWS = std::uint64_t{1} << 26;

std::size_t most_rows(std::FILE* data, int values_per_row) {
  struct stat st {};
  if (!data || fstat(fileno(data), &st) != 0 || !S_ISREG(st.st_mode) || values_per_row <= 0) return 0;
  const std::uint64_t bound = static_cast<std::uint64_t>(st.st_size) / (2 * static_cast<std::uint64_t>(values_per_row));
  return static_cast<std::size_t>(std::min(bound + 1, MAX_RESERVED_ROWS));
}

class ChunkScorer {
 public:
  ChunkScorer(const ColumnPlan& columns, const PreparedKey& key, const RowSink& sink, std::size_t table_rows)
      : columns_(columns), key_(key), sink_(sink), table_rows_(table_rows) {}

  // Chunks after one that stopped the reading are only counted, not parsed.
  void operator()(Chunk& chunk) {
    chunk.parsed = chunk.number <= first_stop_.load();
    chunk.rows = 0;
    chunk.out_size = 0;
    chunk.targets.clear();
    chunk.predictions.clear();
    chunk.missing.clear();
    chunk.kept_text.clear();
    if (!chunk.parsed) {
      chunk.read = count_lines(chunk.text, columns_);
      return;
    }
    if (chunk.table.capacity() != table_rows_) chunk.table.reserve(table_rows_, key_.row_width());
    RowReader rows(chunk.text, columns_);
    while (rows.read(chunk.table, chunk.extras)) score_table(chunk);
    chunk.read = rows.finish();
    if (chunk.read.end != ReadEnd::END) {
      std::uint64_t seen = first_stop_.load();
      while (chunk.number < seen && !first_stop_.compare_exchange_weak(seen, chunk.number)) {
      }
    }
  }

 private:
  void score_table(Chunk& chunk) {
    DataTable& table = chunk.table;
    apply_key(key_, table);
    double* predictions = table.column(key_.row_width() - 1);
    // A row with a missing value the key reads has no prediction.
    if (chunk.extras.missing_rows > 0)
      for (std::size_t row = 0; row < table.row_count; ++row)
        if (chunk.extras.missing[row] & MISSING_INPUT) predictions[row] = std::numeric_limits<double>::quiet_NaN();
    chunk.out_size = sink_.format({table, predictions, chunk.extras}, chunk.out, chunk.out_size);
    chunk.predictions.insert(chunk.predictions.end(), predictions, predictions + table.row_count);
    const auto rows = static_cast<std::ptrdiff_t>(table.row_count);
    chunk.missing.insert(chunk.missing.end(), chunk.extras.missing.begin(), chunk.extras.missing.begin() + rows);
    chunk.kept_text.insert(chunk.kept_text.end(), chunk.extras.kept.begin(),
                           chunk.extras.kept.begin() + rows * static_cast<std::ptrdiff_t>(columns_.keep_count));
    if (columns_.has_target)
      chunk.targets.insert(chunk.targets.end(), table.targets.begin(), table.targets.begin() + rows);
    chunk.rows += table.row_count;
  }

  const ColumnPlan& columns_;
  const PreparedKey& key_;
  const RowSink& sink_;
  std::size_t table_rows_;
  std::atomic<std::uint64_t> first_stop_{std::numeric_limits<std::uint64_t>::max()};
};

void let_go_of_long_buffers(Chunk& chunk, std::size_t chunk_bytes) {
  const std::size_t limit = KEPT_BUFFER_FACTOR * chunk_bytes;
  if (chunk.text.bytes.size() > limit) std::vector<char>().swap(chunk.text.bytes);
  if (chunk.out.size() > limit) std::vector<char>().swap(chunk.out);
}

// Hands items made by `make` (false: none left) to `pool` and takes them
// back in order with `take` (false: stop), keeping enough in flight to keep
// every worker busy within `most_bytes` of what `bytes` counts. Gives false
// when take did.
template <typename Item, typename Make, typename Bytes, typename Take>
bool run_in_order(OrderedWork<Item>& pool, int threads, Make make, Bytes bytes, std::size_t most_bytes, Take take) {
  const std::size_t most_items = threads == 0 ? 1 : 2 * static_cast<std::size_t>(threads);
  std::vector<std::unique_ptr<Item>> spare;
  std::size_t bytes_in_flight = 0;
  bool items_left = true;
  for (;;) {
    while (items_left && pool.in_flight() < most_items && (pool.in_flight() == 0 || bytes_in_flight < most_bytes)) {
      std::unique_ptr<Item> item = spare.empty() ? std::make_unique<Item>() : std::move(spare.back());
      if (!spare.empty()) spare.pop_back();
      items_left = make(*item);
      if (!items_left) {
        spare.push_back(std::move(item));
        break;
      }
      bytes_in_flight += bytes(*item);
      pool.submit(std::move(item));
    }
    if (pool.in_flight() == 0) return true;
    std::unique_ptr<Item> item = pool.next();
    bytes_in_flight -= bytes(*item);
    if (!take(*item)) return false;
    spare.push_back(std::move(item));
  }
}

int worker_threads(int jobs) { return jobs > 1 ? jobs : 0; }

}  // namespace

std::size_t RowSink::format(const ScoredRows&, std::vector<char>&, std::size_t used) const { return used; }

int default_jobs() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return std::clamp(CPU_COUNT(&set), 1, MAX_JOBS);
}

namespace {

// A stop inside a compressed stream leaves its check (gzip's CRC, xz's
// and zstd's checksums, bzip2's block CRCs) unread, and so rows before it
// that may be damaged: a regular file is decoded on to its end, unparsed,
// so that damage is found before the output replaces anything; an endless
// input (a pipe) cannot be, and the rows are said to be unchecked.
void check_after_stop(const DataSource& data, const RunSettings& settings, RunOutcome& outcome) {
  DataReader& reader = *data.reader;
  if (!outcome.stopped() || data.compression.empty() || outcome.cancelled || reader.read_failed() ||
      !reader.damage().empty())
    return;
  struct stat file {};
  if (data.stream && fstat(fileno(data.stream), &file) == 0 && S_ISREG(file.st_mode)) reader.read_to_end(settings.cancel);
  else outcome.unchecked = true;
}

}  // namespace

RunOutcome run_rows(const Plan& plan, const RunSettings& settings, RowSink& sink) {
  const ColumnPlan& columns = *plan.columns;
  DataReader& reader = *plan.data->reader;
  RunOutcome outcome{ReadTally(columns.header_lines), {}, false, false, 0, {}};
  if (columns.has_target) outcome.fit.reserve(most_rows(plan.data->stream, columns.variable_count + 1));
  ChunkScorer scorer(columns, *plan.key->prepared, sink, settings.table_rows);
  const int threads = worker_threads(settings.jobs);
  OrderedWork<Chunk> pool(threads, [&scorer](Chunk& chunk) { scorer(chunk); });
  std::uint64_t handed_in = 0;
  // After a stop that matters nothing more is read; after one at a blank
  // line, only until a later line holds a value (blank lines at the end do
  // not count as a stop).
  const auto make = [&](Chunk& chunk) {
    if (outcome.tally.stopped() && outcome.tally.stop_matters()) return false;
    if (settings.cancel && settings.cancel->load()) {
      outcome.cancelled = true;
      return false;
    }
    chunk.number = handed_in++;
    return reader.next_chunk(chunk.text, settings.chunk_bytes);
  };
  const auto take = [&](Chunk& chunk) {
    if (!outcome.tally.stopped()) {
      if (!sink.take(chunk)) return false;
      if (columns.has_target) outcome.fit.keep(chunk.targets, chunk.predictions, chunk.missing);
    }
    outcome.tally.add(chunk.read, chunk.rows);
    let_go_of_long_buffers(chunk, settings.chunk_bytes);
    return true;
  };
  const auto text_bytes = [](const Chunk& chunk) { return chunk.text.size; };
  outcome.sink_failed = !run_in_order(pool, threads, make, text_bytes, MAX_BYTES_IN_FLIGHT, take);
  outcome.cancelled = outcome.cancelled || (settings.cancel && settings.cancel->load());
  check_after_stop(*plan.data, settings, outcome);
  outcome.read_failed = reader.read_failed() && !outcome.cancelled;
  outcome.system_error = reader.system_error();
  outcome.damage = reader.damage();
  return outcome;
}

namespace {

// A stretch of rows of a matrix, scored by one worker.
struct Slice {
  std::size_t begin = 0;
  std::size_t rows = 0;
  DataTable table;
};

void score_slice(const PreparedKey& key, const MatrixView& matrix, Slice& slice, double* predictions,
                 unsigned char* missing_rows) {
  DataTable& table = slice.table;
  // A table as large as a slice of this matrix can be: a small matrix (a
  // request of one row) takes a small one.
  const std::size_t rows = std::min(DEFAULT_TABLE_ROWS, matrix.rows);
  if (table.capacity() != rows) table.reserve(rows, key.row_width());
  table.row_count = slice.rows;
  for (int m = 0; m < key.variable_count; ++m) {
    double* column = table.column(m);
    const char* at = matrix.base + static_cast<std::ptrdiff_t>(slice.begin) * matrix.row_stride +
                     static_cast<std::ptrdiff_t>(m) * matrix.column_stride;
    for (std::size_t i = 0; i < slice.rows; ++i, at += matrix.row_stride) std::memcpy(&column[i], at, sizeof(double));
  }
  const double* scored = apply_key(key, table);
  for (std::size_t i = 0; i < slice.rows; ++i) {
    bool missing = false;
    for (int m = 0; m < key.variable_count && !missing; ++m) missing = std::isnan(table.column(m)[i]);
    predictions[slice.begin + i] = missing ? std::numeric_limits<double>::quiet_NaN() : scored[i];
    if (missing_rows) missing_rows[slice.begin + i] = missing ? 1 : 0;
  }
}

}  // namespace

void score_matrix(const PreparedKey& key, const MatrixView& matrix, double* predictions, int jobs,
                  unsigned char* missing) {
  const int threads = worker_threads(jobs);
  // Each worker writes its own rows of the predictions.
  OrderedWork<Slice> pool(threads, [&](Slice& slice) { score_slice(key, matrix, slice, predictions, missing); });
  std::size_t begin = 0;
  const auto make = [&](Slice& slice) {
    slice.begin = begin;
    slice.rows = std::min(DEFAULT_TABLE_ROWS, matrix.rows - begin);
    begin += slice.rows;
    return slice.rows > 0;
  };
  const auto rows = [](const Slice& slice) { return slice.rows * sizeof(double); };
  run_in_order(pool, threads, make, rows, SIZE_MAX, [](Slice&) { return true; });
}

}  // namespace karva
