#include "tool/pipeline.h"

#include <sched.h>

#include <algorithm>

#include <atomic>
#include <limits>
#include <memory>

#include "tool/ordered_work.h"

namespace karva {
namespace {

// A chunk's buffers that grew for long records are let go once it is
// taken, so that one long line does not hold memory for the rest of the run.
constexpr std::size_t KEPT_BUFFER_FACTOR = 2;

class ChunkScorer {
 public:
  ChunkScorer(const ColumnPlan& columns, const PreparedKey& key, const OutputFormat& format, std::size_t table_rows)
      : columns_(columns), key_(key), format_(format), table_rows_(table_rows) {}

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
    chunk.out_size = format_predictions(table, predictions, format_, &chunk.extras, chunk.out, chunk.out_size);
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
  const OutputFormat& format_;
  std::size_t table_rows_;
  std::atomic<std::uint64_t> first_stop_{std::numeric_limits<std::uint64_t>::max()};
};

void let_go_of_long_buffers(Chunk& chunk, std::size_t chunk_bytes) {
  const std::size_t limit = KEPT_BUFFER_FACTOR * chunk_bytes;
  if (chunk.text.bytes.size() > limit) std::vector<char>().swap(chunk.text.bytes);
  if (chunk.out.size() > limit) std::vector<char>().swap(chunk.out);
}

}  // namespace

int default_jobs() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return std::clamp(CPU_COUNT(&set), 1, MAX_JOBS);
}

bool stream_rows(DataReader& reader, const ColumnPlan& columns, const PreparedKey& key, const OutputFormat& format,
                 const StreamSettings& settings, const std::function<bool(const Chunk&)>& take, ReadTally& tally) {
  ChunkScorer scorer(columns, key, format, settings.table_rows);
  const int threads = settings.jobs > 1 ? settings.jobs : 0;
  // Enough chunks in flight to keep every worker busy while the oldest is
  // taken, within a bound on their text.
  const std::size_t most_chunks = threads == 0 ? 1 : 2 * static_cast<std::size_t>(threads);
  OrderedWork<Chunk> pool(threads, [&scorer](Chunk& chunk) { scorer(chunk); });
  std::vector<std::unique_ptr<Chunk>> spare;
  std::uint64_t handed_in = 0;
  std::size_t bytes_in_flight = 0;
  bool input_left = true;
  for (;;) {
    while (input_left && pool.in_flight() < most_chunks &&
           (pool.in_flight() == 0 || bytes_in_flight < MAX_BYTES_IN_FLIGHT)) {
      std::unique_ptr<Chunk> chunk = spare.empty() ? std::make_unique<Chunk>() : std::move(spare.back());
      if (!spare.empty()) spare.pop_back();
      input_left = reader.next_chunk(chunk->text, settings.chunk_bytes);
      if (!input_left) {
        spare.push_back(std::move(chunk));
        break;
      }
      chunk->number = handed_in++;
      bytes_in_flight += chunk->text.size;
      pool.submit(std::move(chunk));
    }
    if (pool.in_flight() == 0) return true;
    std::unique_ptr<Chunk> chunk = pool.next();
    bytes_in_flight -= chunk->text.size;
    if (!tally.stopped() && !take(*chunk)) return false;
    tally.add(chunk->read, chunk->rows);
    let_go_of_long_buffers(*chunk, settings.chunk_bytes);
    spare.push_back(std::move(chunk));
  }
}

}  // namespace karva
