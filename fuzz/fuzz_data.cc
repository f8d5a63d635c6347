// The data reader on arbitrary text: the first byte picks a key of 1 to 8
// variables, whether the first column is the target and whether the reading
// is strict; the rest is the file.
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
  if (const auto layout = karva::read_layout(reader, has_target, variables, nullptr)) {
    constexpr std::size_t CHUNK = 7;  // small, so that chunks turn over often
    karva::DataTable table;
    table.reserve(CHUNK, variables);
    karva::LineBlock block;
    karva::ReadTally tally(layout->has_header ? 1 : 0);
    while (reader.next_lines(block, CHUNK)) {
      karva::RowShape shape;
      shape.has_target = has_target;
      shape.variable_count = variables;
      shape.strict = (data[0] & 0x80) != 0;
      const karva::ChunkRead read = karva::parse_block(block, shape, table);
      if (table.row_count > CHUNK || block.ends.size() > CHUNK) __builtin_trap();
      tally.add(block, read, table.row_count);
    }
  }
  std::fclose(in);
  return 0;
}
