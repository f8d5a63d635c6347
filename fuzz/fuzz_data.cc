// The data reader on arbitrary text: the first byte picks a key of 1 to 8
// variables, whether the first column is the target, whether the file is
// CSV and whether the reading is strict; the rest is the file.
#include <cstdint>
#include <cstdio>
#include <string>

#include "tool/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  constexpr int MAX_VARIABLES = 8;
  const int variables = 1 + data[0] % MAX_VARIABLES;
  const bool has_target = (data[0] / MAX_VARIABLES) % 2 == 1;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  text.push_back('\0');
  std::FILE* in = fmemopen(text.data(), size - 1 == 0 ? 1 : size - 1, "rb");
  if (size == 1) std::fgetc(in);
  // A tiny buffer, so that lines cross refills and the buffer grows.
  constexpr std::size_t BUFFER = 16;
  karva::DataReader reader(in, "fuzz.txt", BUFFER);
  const bool csv = (data[0] & 0x40) != 0;
  reader.set_csv(csv, ',');
  const auto layout = karva::scan_first_line(reader, nullptr);
  const auto planned = layout ? karva::plan_rows(*layout, {has_target, "", {}, {}}, variables, "fuzz.txt", nullptr)
                              : std::nullopt;
  if (planned) {
    constexpr std::size_t CHUNK = 7;  // small, so that chunks turn over often
    karva::DataTable table;
    table.reserve(CHUNK, variables);
    karva::LineBlock block;
    karva::ReadTally tally(layout->has_header ? layout->header_lines : 0);
    karva::RowShape shape = *planned;
    shape.strict = (data[0] & 0x80) != 0;
    shape.csv = csv;
    shape.positional = !csv;
    karva::RowExtras extras;
    while (reader.next_lines(block, CHUNK)) {
      const karva::ChunkRead read = karva::parse_block(block, shape, table, &extras);
      if (table.row_count > CHUNK || block.ends.size() > CHUNK) __builtin_trap();
      tally.add(block, read, table.row_count);
    }
  }
  std::fclose(in);
  return 0;
}
