// The key: a trained model read from its binary file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/etree.h"
#include "base/expected.h"

namespace karva {

// The most symbol bytes one gene record may hold.
inline constexpr std::int32_t MAX_SYMBOL_BYTES = 1023;

// The most genes a key can use: the last one reads a terminal letter for
// every input and every gene before it.
inline constexpr std::int32_t MAX_GENES = MAX_TERMINAL_LETTERS + 1;

struct KeyGene {
  double intercept = 0.0;
  double slope = 0.0;
  std::string symbols;          // one byte per symbol, cut at a zero byte
  double trailing_value = 0.0;  // carried along, never used
};

struct Key {
  std::int32_t variable_count = 0;
  std::vector<KeyGene> genes;  // file order; never empty in a loaded key
  int gene_count() const { return static_cast<int>(genes.size()); }
};

// Why a key could not be read, with the facts its message names.
struct KeyError {
  enum class Kind {
    CANNOT_OPEN,   // the file does not open
    READ_FAILED,   // reading failed (a directory, say)
    TRUNCATED,     // the file ends before a field its counts announce
    GENE_COUNT,    // a gene count outside 1 to MAX_GENES
    SYMBOL_COUNT,  // a gene's symbol count outside 0 to MAX_SYMBOL_BYTES
    COMPRESSED,    // the file is compressed, in `format`
    NOT_REGULAR,   // a FIFO, a device or a folder, where only a regular file would do
  };
  Kind kind = Kind::CANNOT_OPEN;
  std::string file;
  int gene = 0;             // 1-based, with SYMBOL_COUNT
  std::int32_t count = 0;   // the symbol or gene count
  int system_error = 0;     // errno, with CANNOT_OPEN and READ_FAILED
  std::string format;       // with COMPRESSED
};

// The most bytes a key can use: its counts, and MAX_GENES records of
// MAX_SYMBOL_BYTES symbols. Bytes past the last gene are never read.
inline constexpr std::size_t KEY_COUNT_BYTES = 8;
inline constexpr std::size_t GENE_FIXED_BYTES = 28;
inline constexpr std::size_t MAX_KEY_BYTES =
    KEY_COUNT_BYTES + static_cast<std::size_t>(MAX_GENES) * (GENE_FIXED_BYTES + MAX_SYMBOL_BYTES);

// Reads a key from the bytes of its file; `name` names the file in the
// error, when the key is not whole.
Expected<Key, KeyError> read_key(std::string_view bytes, const std::string& name);

}  // namespace karva
