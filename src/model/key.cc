#include "model/key.h"

#include <array>
#include <cerrno>
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
    errno = 0;
    if (std::fread(dst, 1, n, in_) != n) {
      failed_ = true;
      errno_ = errno;
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
  int system_error() const { return errno_; }

 private:
  std::FILE* in_;
  bool failed_ = false;
  int errno_ = 0;
};

std::optional<Key> fail(KeyError* err, KeyError::Kind kind, const std::string& name, int system_error = 0) {
  if (err) *err = KeyError{kind, name, 0, 0, system_error};
  return std::nullopt;
}

std::optional<Key> cut_short(const FieldReader& r, const std::string& name, KeyError* err) {
  if (r.read_error()) return fail(err, KeyError::Kind::READ_FAILED, name, r.system_error());
  return fail(err, KeyError::Kind::TRUNCATED, name);
}

}  // namespace

std::optional<Key> read_key(std::FILE* in, const std::string& name, KeyError* err) {
  FieldReader r(in);
  Key key;
  std::int32_t announced = 0;
  if (!r.read_int(key.variable_count) || !r.read_int(announced)) return cut_short(r, name, err);
  // A count no key can use is refused before any gene record is read.
  if (announced <= 0 || announced > MAX_GENES) {
    if (err) *err = KeyError{KeyError::Kind::GENE_COUNT, name, 0, announced, 0};
    return std::nullopt;
  }

  // Genes are appended as they are read, so a gene count that the file does
  // not back up costs no memory.
  std::array<char, MAX_SYMBOL_BYTES> symbols{};
  for (std::int32_t g = 0; g < announced; ++g) {
    KeyGene gene;
    std::int32_t length = 0;
    if (!r.read_real(gene.intercept) || !r.read_real(gene.slope) || !r.read_int(length))
      return cut_short(r, name, err);
    if (length < 0 || length > MAX_SYMBOL_BYTES) {
      if (err) *err = KeyError{KeyError::Kind::SYMBOL_COUNT, name, g + 1, length, 0};
      return std::nullopt;
    }
    const auto n = static_cast<std::size_t>(length);
    if (!r.read_bytes(symbols.data(), n) || !r.read_real(gene.trailing_value)) return cut_short(r, name, err);
    // The text ends at the first zero byte; every byte was consumed all the same.
    const void* zero = std::memchr(symbols.data(), 0, n);
    const std::size_t text = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - symbols.data()) : n;
    gene.symbols.assign(symbols.data(), text);
    key.genes.push_back(std::move(gene));
  }
  return key;
}

std::optional<Key> load_key(const std::string& path, KeyError* err) {
  const FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) return fail(err, KeyError::Kind::CANNOT_OPEN, path, errno);
  return read_key(f.get(), path, err);
}

}  // namespace karva
