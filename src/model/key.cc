#include "model/key.h"

#include <array>
#include <cstring>

#include "model/file.h"

namespace karva {
namespace {

// Fixed widths of the file's fields, little-endian, no padding.
constexpr std::size_t INT_BYTES = 4;
constexpr std::size_t REAL_BYTES = 8;

class FieldReader {
 public:
  explicit FieldReader(std::FILE* in) : in_(in) {}

  bool read_bytes(void* dst, std::size_t n) {
    if (n == 0) return true;
    if (std::fread(dst, 1, n, in_) != n) {
      failed_ = true;
      return false;
    }
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

  // A read error (a directory, say) differs from a file that simply ends.
  bool read_error() const { return failed_ && std::ferror(in_) != 0; }

 private:
  std::FILE* in_;
  bool failed_ = false;
};

std::optional<Key> cut_short(const FieldReader& r, const std::string& name, std::FILE* msg) {
  if (r.read_error())
    std::fprintf(msg, "Error reading key file %s.\n", name.c_str());
  else
    std::fprintf(msg, "Key file %s is truncated.\n", name.c_str());
  return std::nullopt;
}

}  // namespace

std::optional<Key> read_key(std::FILE* in, const std::string& name, std::FILE* msg) {
  FieldReader r(in);
  Key key;
  std::int32_t announced = 0;
  if (!r.read_int(key.variable_count) || !r.read_int(announced)) return cut_short(r, name, msg);
  if (announced <= 0) return std::nullopt;

  // Genes are appended as they are read, so a gene count that the file does
  // not back up costs no memory.
  std::array<char, MAX_SYMBOL_BYTES> symbols{};
  for (std::int32_t g = 0; g < announced; ++g) {
    KeyGene gene;
    std::int32_t length = 0;
    if (!r.read_real(gene.intercept) || !r.read_real(gene.slope) || !r.read_int(length))
      return cut_short(r, name, msg);
    if (length < 0 || length > MAX_SYMBOL_BYTES) {
      std::fprintf(msg, "Gene %d of key file %s has a symbol count of %d, outside 0 to %d.\n", g + 1,
                   name.c_str(), length, MAX_SYMBOL_BYTES);
      return std::nullopt;
    }
    const auto n = static_cast<std::size_t>(length);
    if (!r.read_bytes(symbols.data(), n) || !r.read_real(gene.trailing_value)) return cut_short(r, name, msg);
    // The text ends at the first zero byte; every byte was consumed all the same.
    const void* zero = std::memchr(symbols.data(), 0, n);
    const std::size_t text = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - symbols.data()) : n;
    gene.symbols.assign(symbols.data(), text);
    gene.symbol_count = static_cast<std::int32_t>(text);
    key.genes.push_back(std::move(gene));
  }
  key.gene_count = announced;
  return key;
}

std::optional<Key> load_key(const std::string& path, std::FILE* msg) {
  const FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) {
    std::fprintf(msg, "Error reading key file %s.\n", path.c_str());
    return std::nullopt;
  }
  return read_key(f.get(), path, msg);
}

}  // namespace karva
