#include "model/key.h"

#include <array>
#include <cstring>

namespace karva {
namespace {

// Fixed widths of the file's fields, little-endian, no padding.
constexpr std::size_t INT_BYTES = 4;
constexpr std::size_t REAL_BYTES = 8;

// Fields read one after another from the bytes; false once they run out.
class FieldReader {
 public:
  explicit FieldReader(std::string_view bytes) : bytes_(bytes) {}

  bool read_bytes(void* dst, std::size_t n) {
    if (n > bytes_.size() - pos_) {
      pos_ = bytes_.size();
      return false;
    }
    if (n > 0) std::memcpy(dst, bytes_.data() + pos_, n);
    pos_ += n;
    return true;
  }

  bool read_int(std::int32_t& out) {
    std::array<unsigned char, INT_BYTES> b{};
    if (!read_bytes(b.data(), b.size())) return false;
    const std::uint32_t u = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
                            static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    out = static_cast<std::int32_t>(u);
    return true;
  }

  bool read_real(double& out) {
    std::array<unsigned char, REAL_BYTES> b{};
    if (!read_bytes(b.data(), b.size())) return false;
    std::uint64_t u = 0;
    for (std::size_t i = REAL_BYTES; i-- > 0;) u = u << 8 | b[i];
    std::memcpy(&out, &u, sizeof out);
    return true;
  }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

Unexpected<KeyError> fail(KeyError::Kind kind, const std::string& name, int gene = 0, std::int32_t count = 0) {
  return Unexpected(KeyError{kind, name, gene, count, 0, ""});
}

}  // namespace

Expected<Key, KeyError> read_key(std::string_view bytes, const std::string& name) {
  FieldReader r(bytes);
  Key key;
  std::int32_t announced = 0;
  if (!r.read_int(key.variable_count) || !r.read_int(announced)) return fail(KeyError::Kind::TRUNCATED, name);
  // A count no key can use is refused before any gene record is read.
  if (announced <= 0 || announced > MAX_GENES) return fail(KeyError::Kind::GENE_COUNT, name, 0, announced);

  // Genes are appended as they are read, so a gene count that the file does
  // not back up costs no memory.
  std::array<char, MAX_SYMBOL_BYTES> symbols{};
  for (std::int32_t g = 0; g < announced; ++g) {
    KeyGene gene;
    std::int32_t length = 0;
    if (!r.read_real(gene.intercept) || !r.read_real(gene.slope) || !r.read_int(length))
      return fail(KeyError::Kind::TRUNCATED, name);
    if (length < 0 || length > MAX_SYMBOL_BYTES) return fail(KeyError::Kind::SYMBOL_COUNT, name, g + 1, length);
    const auto n = static_cast<std::size_t>(length);
    if (!r.read_bytes(symbols.data(), n) || !r.read_real(gene.trailing_value)) return fail(KeyError::Kind::TRUNCATED, name);
    // The text ends at the first zero byte; every byte was consumed all the same.
    const void* zero = std::memchr(symbols.data(), 0, n);
    const std::size_t text = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - symbols.data()) : n;
    gene.symbols.assign(symbols.data(), text);
    key.genes.push_back(std::move(gene));
  }
  return key;
}

}  // namespace karva
