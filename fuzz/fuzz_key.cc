// The key reader on arbitrary bytes.
#include <cstdint>
#include <string_view>

#include "model/key.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto key = karva::read_key(bytes, "fuzz.key");
  if (key) {
    // Every gene the key holds was read whole and within the format.
    if (key->genes.empty()) __builtin_trap();
    for (const karva::KeyGene& g : key->genes)
      if (g.symbols.size() > static_cast<std::size_t>(karva::MAX_SYMBOL_BYTES) ||
          g.symbols.find('\0') != std::string::npos)
        __builtin_trap();
  }
  return 0;
}
