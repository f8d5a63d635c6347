// The key reader on arbitrary bytes.
#include <cstdint>
#include <cstdio>
#include <string>

#include "model/key.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  bytes.push_back('\0');  // fmemopen wants room; the extra byte is never offered
  std::FILE* in = fmemopen(bytes.data(), size == 0 ? 1 : size, "rb");
  if (size == 0) std::fgetc(in);
  karva::KeyError err;
  const auto key = karva::read_key(in, "fuzz.key", &err);
  std::fclose(in);
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
