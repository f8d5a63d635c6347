// The data reader on arbitrary text: the first byte picks a key of 1 to 8
// variables, whether the first column is the target, whether the file is
// CSV and whether the reading is strict; the rest is the file, which may
// be compressed or UTF-16.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "input/columns.h"
#include "input/reader.h"
#include "input/rows.h"
#include "input/source.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  constexpr int MAX_VARIABLES = 8;
  const int variables = 1 + data[0] % MAX_VARIABLES;
  const bool has_target = (data[0] / MAX_VARIABLES) % 2 == 1;
  const bool csv = (data[0] & 0x40) != 0;
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
  karva::DataReader reader(karva::text_source(raw), "fuzz.txt", csv, ',');
  const auto layout = karva::scan_first_record(reader, std::nullopt, nullptr);
  auto plan = layout ? karva::plan_columns(*layout, {has_target, "", {}, {}}, variables, "fuzz.txt", nullptr)
                     : std::nullopt;
  if (!plan) return 0;
  plan->dialect = {csv, false, reader.syntax().csv_syntax, (data[0] & 0x80) != 0};
  constexpr std::size_t TABLE_ROWS = 7;  // small, so that tables turn over often
  constexpr std::size_t CHUNK_BYTES = 16;
  karva::DataTable table;
  table.reserve(TABLE_ROWS, variables);
  karva::ChunkText chunk;
  karva::ReadTally tally(plan->header_lines);
  karva::RowExtras extras;
  while (reader.next_chunk(chunk, CHUNK_BYTES)) {
    if (tally.stopped()) {
      tally.add(karva::count_lines(chunk, *plan), 0);
      continue;
    }
    karva::RowReader rows(chunk, *plan);
    std::size_t taken = 0;
    while (rows.read(table, extras)) {
      if (table.row_count > TABLE_ROWS) __builtin_trap();
      taken += table.row_count;
    }
    tally.add(rows.finish(), taken);
  }
  if (tally.rows_read() < 0 || tally.lines_after_stop() < 0) __builtin_trap();
  return 0;
}
