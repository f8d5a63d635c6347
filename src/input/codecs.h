// The compression formats' decoders, each a step from a buffer of
// compressed bytes to a buffer of text, as their libraries do it. Internal
// to the byte sources.
#pragma once

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>

namespace karva::codecs {

enum class Step { MORE, END, ERROR, TOO_BIG };

// Moves the caller's buffers past what a decoder took and gave.
inline void advance(const char*& in, std::size_t& in_left, std::size_t took, char*& out, std::size_t& out_left,
             std::size_t gave) {
  in += took;
  in_left -= took;
  out += gave;
  out_left -= gave;
}

struct Gzip {
  static constexpr const char* NAME = "gzip";
  static constexpr bool ZERO_PADDING = true;  // gzip -d takes zero bytes after a member
  z_stream z{};
  Gzip() { inflateInit2(&z, 15 + 16); }  // a gzip header, not a zlib one
  ~Gzip() { inflateEnd(&z); }
  void restart() { inflateReset(&z); }
  Step step(const char*& in, std::size_t& in_left, char*& out, std::size_t& out_left, std::string& error) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
    z.avail_in = static_cast<uInt>(std::min<std::size_t>(in_left, UINT_MAX));
    z.next_out = reinterpret_cast<Bytef*>(out);
    z.avail_out = static_cast<uInt>(std::min<std::size_t>(out_left, UINT_MAX));
    const std::size_t offered_in = z.avail_in, offered_out = z.avail_out;
    const int r = inflate(&z, Z_NO_FLUSH);
    advance(in, in_left, offered_in - z.avail_in, out, out_left, offered_out - z.avail_out);
    if (r == Z_STREAM_END) return Step::END;
    if (r == Z_OK || r == Z_BUF_ERROR) return Step::MORE;
    error = z.msg ? z.msg : "zlib error " + std::to_string(r);
    return Step::ERROR;
  }
};

// The largest window a zstd frame may declare (ZSTD_WINDOWLOG_MAX_64).
constexpr int ZSTD_WINDOW_LOG_MOST = 31;

struct Zstd {
  static constexpr const char* NAME = "zstd";
  static constexpr bool ZERO_PADDING = false;
  ZSTD_DStream* d = ZSTD_createDStream();
  explicit Zstd(std::uint64_t memory) {
    ZSTD_initDStream(d);
    // The window is most of what a frame needs; one over the limit is refused.
    int log = 10;
    while (log < ZSTD_WINDOW_LOG_MOST && (std::uint64_t{2} << log) <= memory) ++log;
    ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, log);
  }
  ~Zstd() { ZSTD_freeDStream(d); }
  void restart() { ZSTD_DCtx_reset(d, ZSTD_reset_session_only); }
  Step step(const char*& in, std::size_t& in_left, char*& out, std::size_t& out_left, std::string& error) {
    ZSTD_inBuffer ib{in, in_left, 0};
    ZSTD_outBuffer ob{out, out_left, 0};
    const std::size_t r = ZSTD_decompressStream(d, &ob, &ib);
    advance(in, in_left, ib.pos, out, out_left, ob.pos);
    if (ZSTD_isError(r)) {
      if (ZSTD_getErrorCode(r) == ZSTD_error_frameParameter_windowTooLarge) return Step::TOO_BIG;
      error = ZSTD_getErrorName(r);
      return Step::ERROR;
    }
    return r == 0 ? Step::END : Step::MORE;
  }
};

struct Xz {
  static constexpr const char* NAME = "xz";
  static constexpr bool ZERO_PADDING = true;  // stream padding, as xz -d takes it
  std::uint64_t memory;
  lzma_stream s = LZMA_STREAM_INIT;
  lzma_ret started;
  explicit Xz(std::uint64_t memory_limit) : memory(memory_limit), started(lzma_stream_decoder(&s, memory, 0)) {}
  ~Xz() { lzma_end(&s); }
  void restart() {
    lzma_end(&s);
    s = LZMA_STREAM_INIT;
    started = lzma_stream_decoder(&s, memory, 0);
  }
  Step step(const char*& in, std::size_t& in_left, char*& out, std::size_t& out_left, std::string& error) {
    if (started != LZMA_OK) {
      error = "liblzma cannot start";
      return Step::ERROR;
    }
    s.next_in = reinterpret_cast<const std::uint8_t*>(in);
    s.avail_in = in_left;
    s.next_out = reinterpret_cast<std::uint8_t*>(out);
    s.avail_out = out_left;
    const lzma_ret r = lzma_code(&s, LZMA_RUN);
    advance(in, in_left, in_left - s.avail_in, out, out_left, out_left - s.avail_out);
    if (r == LZMA_STREAM_END) return Step::END;
    if (r == LZMA_OK || r == LZMA_BUF_ERROR) return Step::MORE;
    if (r == LZMA_MEMLIMIT_ERROR) return Step::TOO_BIG;
    error = r == LZMA_DATA_ERROR ? "the data is corrupt" : r == LZMA_FORMAT_ERROR ? "not xz data"
                                                                                : "liblzma error " + std::to_string(r);
    return Step::ERROR;
  }
};

struct Bzip2 {
  static constexpr const char* NAME = "bzip2";
  static constexpr bool ZERO_PADDING = false;
  bz_stream b{};
  Bzip2() { BZ2_bzDecompressInit(&b, 0, 0); }
  ~Bzip2() { BZ2_bzDecompressEnd(&b); }
  void restart() {
    BZ2_bzDecompressEnd(&b);
    b = bz_stream{};
    BZ2_bzDecompressInit(&b, 0, 0);
  }
  Step step(const char*& in, std::size_t& in_left, char*& out, std::size_t& out_left, std::string& error) {
    b.next_in = const_cast<char*>(in);
    b.avail_in = static_cast<unsigned>(std::min<std::size_t>(in_left, UINT_MAX));
    b.next_out = out;
    b.avail_out = static_cast<unsigned>(std::min<std::size_t>(out_left, UINT_MAX));
    const std::size_t offered_in = b.avail_in, offered_out = b.avail_out;
    const int r = BZ2_bzDecompress(&b);
    advance(in, in_left, offered_in - b.avail_in, out, out_left, offered_out - b.avail_out);
    if (r == BZ_STREAM_END) return Step::END;
    if (r == BZ_OK) return Step::MORE;
    error = r == BZ_DATA_ERROR || r == BZ_DATA_ERROR_MAGIC ? "the data is corrupt" : "libbz2 error " + std::to_string(r);
    return Step::ERROR;
  }
};

}  // namespace karva::codecs
