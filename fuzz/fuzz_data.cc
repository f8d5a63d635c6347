// The data reader on arbitrary text, through the run core: the first byte
// picks a key of 1 to 8 variables, whether the first column is the target,
// whether the file is CSV and whether the reading is strict; the rest is the
// file, which may be compressed or UTF-16.
#include <algorithm>
#include <cstdint>
#include <string>

#include "engine/plan.h"
#include "engine/run.h"

namespace {

// Checks what every table of rows holds, on the workers.
class CheckingSink : public karva::RowSink {
 public:
  explicit CheckingSink(std::size_t table_rows) : table_rows_(table_rows) {}
  std::size_t format(const karva::ScoredRows& rows, std::vector<char>&, std::size_t used) const override {
    if (rows.table.row_count > table_rows_) __builtin_trap();
    return used;
  }
  bool take(const karva::Chunk&) override { return true; }

 private:
  std::size_t table_rows_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  constexpr int MAX_VARIABLES = 8;
  const int variables = 1 + data[0] % MAX_VARIABLES;
  const bool has_target = (data[0] / MAX_VARIABLES) % 2 == 1;
  karva::PlanRequest request;
  request.dialect.csv = (data[0] & 0x40) != 0;
  request.dialect.strict = (data[0] & 0x80) != 0;
  request.columns.has_target = has_target;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::size_t offered = 0;
  // Pieces of a few bytes at a time, so that records cross reads and chunks;
  // through the decoders, as a file is, for text that starts like a
  // compressed stream or a UTF-16 byte-order mark.
  const karva::ByteSource raw = [&](char* dst, std::size_t room, karva::SourceProblem*) -> std::int64_t {
    const std::size_t n = std::min({room, text.size() - offered, std::size_t{5}});
    std::copy_n(text.data() + offered, n, dst);
    offered += n;
    return static_cast<std::int64_t>(n);
  };
  const karva::Key key{variables, {{0.0, 1.0, "a", 0.0}}};
  auto prepared = karva::prepare_key(key);
  if (!prepared) __builtin_trap();
  auto plan = karva::plan_with_data(std::make_shared<const karva::LoadedKey>(
                                        karva::LoadedKey{"fuzz.key", "", key, std::move(*prepared)}),
                                    karva::data_source(raw, "fuzz.txt", request.dialect), request, {});
  if (!plan) return 0;
  constexpr std::size_t TABLE_ROWS = 7;  // small, so that tables turn over often
  constexpr std::size_t CHUNK_BYTES = 16;
  CheckingSink sink(TABLE_ROWS);
  const karva::RunOutcome outcome = karva::run_rows(*plan, {1, CHUNK_BYTES, TABLE_ROWS}, sink);
  if (outcome.tally.rows_read() < 0 || outcome.tally.lines_read() < 0) __builtin_trap();
  return 0;
}
