// Where the data's bytes come from: a stream read straight from its
// descriptor, decompressed when its first bytes say it is gzip, zstd, xz or
// bzip2 data, and turned from UTF-16 into UTF-8 when it starts with a
// UTF-16 byte-order mark.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace karva {

// Why reading stopped short of the end.
struct SourceProblem {
  int system_error = 0;  // errno of a read that failed
  std::string damage;    // a compressed stream that is corrupt or cut short: what its decoder said
};

// Fills up to `room` bytes and gives how many (0 at the end), or -1 with
// `*problem` filled.
using ByteSource = std::function<std::int64_t(char* dst, std::size_t room, SourceProblem* problem)>;

// Reads a stream's descriptor straight, past the stream's own buffer. With
// `cancel`, a read that waits (a pipe, a FIFO) looks at it a few times a
// second, and gives up with ECANCELED once it is set.
ByteSource stream_source(std::FILE* in, const std::atomic<bool>* cancel = nullptr);

// The memory a decoder may take by default: enough for every stream that
// xz -9 and zstd -19 write; a stream that declares more is refused.
inline constexpr std::uint64_t DEFAULT_DECODER_MEMORY = std::uint64_t{256} << 20;

// The text of `raw`: decompressed, then in UTF-8, as its first bytes say;
// the decoding runs on a thread of its own, so that it overlaps the
// parsing. `raw` as it is when it is plain text. A decoder that would need
// more than `decoder_memory` bytes stops with damage that says so.
// `compression`, when given, is set to the compression the bytes are in
// (compression_of), or emptied.
ByteSource text_source(ByteSource raw, std::uint64_t decoder_memory = DEFAULT_DECODER_MEMORY,
                       std::string* compression = nullptr);

// What decoded text may come to: past `most_bytes` a read fails with
// EFBIG, after `deadline` with ETIMEDOUT (a small body may decode to a
// flood, and decoding takes time).
struct TextBounds {
  std::uint64_t most_bytes = UINT64_MAX;
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};
ByteSource bounded_source(ByteSource text, TextBounds bounds);

// The compression a file that starts with `head` is in ("gzip", "zstd", "xz",
// "bzip2"), or empty.
std::string_view compression_of(std::string_view head);

}  // namespace karva
