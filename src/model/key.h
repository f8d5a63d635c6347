// The key: a trained model read from its binary file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace karva {

// The most symbol bytes one gene record may hold.
inline constexpr std::int32_t MAX_SYMBOL_BYTES = 1023;

struct KeyGene {
  double intercept = 0.0;
  double slope = 0.0;
  std::int32_t symbol_count = 0;  // length of `symbols`, cut at a zero byte
  std::string symbols;            // one byte per symbol, no zero byte inside
  double trailing_value = 0.0;    // carried along, never used
};

struct Key {
  std::int32_t variable_count = 0;
  std::int32_t gene_count = 0;  // always at least 1 in a loaded key
  std::vector<KeyGene> genes;   // file order
};

// Reads a key from `in`; `name` only serves the messages, which go to `msg`.
// Gives nothing back after printing one line when the key is not whole.
// "Error reading solution file." is the caller's line, not printed here.
std::optional<Key> read_key(std::FILE* in, const std::string& name, std::FILE* msg);

// Opens `path` in binary mode and reads the key from it.
std::optional<Key> load_key(const std::string& path, std::FILE* msg);

}  // namespace karva
