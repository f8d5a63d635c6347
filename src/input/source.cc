#include "input/source.h"

#include "input/codecs.h"

#include <bzlib.h>
#include <lzma.h>
#include <poll.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace karva {
namespace {

using namespace codecs;

// Compressed text read from the source at a time, and decoded text handed
// from the decoding thread to the reader at a time.
constexpr std::size_t INPUT_BYTES = 256 * 1024;
constexpr std::size_t BLOCK_BYTES = 1 << 20;
constexpr std::size_t BLOCKS_AHEAD = 4;
// The first bytes that tell the formats apart: bzip2's whole magic (its
// "BZh", the block size and a block's or the end's own magic) is 10.
constexpr std::size_t MAGIC_BYTES = 10;

// Bytes from `raw` after the first few, which were taken to tell the
// format, are handed out again.
class Input {
 public:
  Input(ByteSource raw, std::string head) : raw_(std::move(raw)), buf_(std::move(head)), size_(buf_.size()) {}
  // More input after what was used; false at its end (-1 in `*failed` on failure).
  bool refill(SourceProblem* problem, bool* failed) {
    if (pos_ < size_) return true;
    buf_.resize(INPUT_BYTES);
    const std::int64_t n = raw_(buf_.data(), buf_.size(), problem);
    *failed = n < 0;
    pos_ = 0;
    size_ = n > 0 ? static_cast<std::size_t>(n) : 0;
    return size_ > 0;
  }
  // Reads straight into `dst`, once what was read before is used.
  std::int64_t read_past(char* dst, std::size_t room, SourceProblem* problem) { return raw_(dst, room, problem); }
  const char* data() const { return buf_.data() + pos_; }
  std::size_t left() const { return size_ - pos_; }
  void used(std::size_t n) { pos_ += n; }

 private:
  ByteSource raw_;
  std::string buf_;
  std::size_t pos_ = 0;
  std::size_t size_ = 0;
};

// The decoded text of a compressed stream; streams written one after
// another (as cat a.gz b.gz makes them) read as one.
template <typename Codec>
class Decoding {
 public:
  template <typename... CodecArguments>
  explicit Decoding(Input input, CodecArguments... arguments) : input_(std::move(input)), codec_(arguments...) {}

  std::int64_t read(char* dst, std::size_t room, SourceProblem* problem) {
    char* out = dst;
    std::size_t out_left = room;
    while (out_left == room && room > 0 && broken_.damage.empty()) {
      bool failed = false;
      if (!input_.refill(problem, &failed)) {
        if (failed) return -1;
        if (ended_) return 0;
        broken_.damage = std::string(Codec::NAME) + " data ends before the end of its stream";
        break;
      }
      if (ended_ && Codec::ZERO_PADDING && skip_zeros()) continue;
      if (ended_) codec_.restart();
      const char* in = input_.data();
      std::size_t in_left = input_.left();
      std::string error;
      const Step step = codec_.step(in, in_left, out, out_left, error);
      input_.used(input_.left() - in_left);
      if (step == Step::ERROR) broken_.damage = std::string(Codec::NAME) + " data is corrupt: " + error;
      if (step == Step::TOO_BIG)
        broken_.damage = std::string(Codec::NAME) +
                         " data needs more memory than the decoder may take (--decoder-memory raises the limit)";
      ended_ = step == Step::END;
    }
    // What came out before the stream broke is handed out first.
    if (out_left < room) return static_cast<std::int64_t>(room - out_left);
    if (broken_.damage.empty()) return 0;
    *problem = broken_;
    return -1;
  }

 private:
  // Zero bytes after a stream that ended, as its format allows; true when
  // the input at hand was all zeros.
  bool skip_zeros() {
    const char* p = input_.data();
    std::size_t n = 0;
    while (n < input_.left() && p[n] == '\0') ++n;
    input_.used(n);
    return input_.left() == 0;
  }

  Input input_;
  Codec codec_;
  bool ended_ = false;
  SourceProblem broken_;  // where the stream broke, once it has
};

// UTF-16 text, little- or big-endian as its byte-order mark says, as UTF-8
// without the mark; a lone surrogate becomes U+FFFD.
class Utf16 {
 public:
  Utf16(Input input, bool big_endian) : input_(std::move(input)), big_endian_(big_endian) { input_.used(2); }

  std::int64_t read(char* dst, std::size_t room, SourceProblem* problem) {
    constexpr std::size_t MOST_BYTES_A_CHARACTER = 4;
    std::size_t n = 0;
    while (n + MOST_BYTES_A_CHARACTER <= room) {
      if (!top_up(problem)) return -1;
      if (bytes_.size() - at_ < 2) break;  // the end; an odd last byte is dropped
      n += encode(next_code_point(), dst + n);
    }
    return static_cast<std::int64_t>(n);
  }

 private:
  // Bytes at hand for a whole surrogate pair, unless the input ends first.
  bool top_up(SourceProblem* problem) {
    while (bytes_.size() - at_ < 4 && !end_) {
      bytes_.erase(0, at_);
      at_ = 0;
      bool failed = false;
      if (!input_.refill(problem, &failed)) {
        if (failed) return false;
        end_ = true;
        break;
      }
      bytes_.append(input_.data(), input_.left());
      input_.used(input_.left());
    }
    return true;
  }

  unsigned unit(std::size_t at) const {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes_.data() + at);
    const unsigned first = p[0], second = p[1];
    return big_endian_ ? (first << 8 | second) : (second << 8 | first);
  }

  std::uint32_t next_code_point() {
    constexpr std::uint32_t REPLACEMENT = 0xFFFD;
    const unsigned first = unit(at_);
    at_ += 2;
    if (first < 0xD800 || first > 0xDFFF) return first;
    if (first > 0xDBFF || bytes_.size() - at_ < 2) return REPLACEMENT;
    const unsigned second = unit(at_);
    if (second < 0xDC00 || second > 0xDFFF) return REPLACEMENT;
    at_ += 2;
    return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
  }

  static std::size_t encode(std::uint32_t c, char* out) {
    const auto byte = [](std::uint32_t v) { return static_cast<char>(static_cast<unsigned char>(v)); };
    const std::size_t n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    constexpr unsigned char LEAD[] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (std::size_t i = n - 1; i > 0; --i, c >>= 6) out[i] = byte(0x80 | (c & 0x3F));
    out[0] = byte(n == 1 ? c : LEAD[n] | c);
    return n;
  }

  Input input_;
  bool big_endian_;
  std::string bytes_;  // read and not yet converted from at_ on
  std::size_t at_ = 0;
  bool end_ = false;
};

template <typename Decoder>
ByteSource source_of(std::shared_ptr<Decoder> decoder) {
  return [decoder](char* dst, std::size_t room, SourceProblem* problem) { return decoder->read(dst, room, problem); };
}

// Decoded text made ahead on a thread of its own, a block at a time, so
// that decoding overlaps parsing.
class AheadOfTime {
 public:
  static ByteSource start(ByteSource decoded) {
    auto owner = std::make_shared<AheadOfTime>(std::move(decoded));
    return [owner](char* dst, std::size_t room, SourceProblem* problem) { return owner->read(dst, room, problem); };
  }
  explicit AheadOfTime(ByteSource decoded) : thread_([this, d = std::move(decoded)] { produce(d); }) {}
  // The reader is done: the thread stops after the block it is on.
  ~AheadOfTime() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  AheadOfTime(const AheadOfTime&) = delete;
  AheadOfTime& operator=(const AheadOfTime&) = delete;

 private:
  void produce(const ByteSource& decoded) {
    for (;;) {
      std::string block = spare_block();
      block.resize(BLOCK_BYTES);
      SourceProblem problem;
      const std::int64_t n = decoded(block.data(), block.size(), &problem);
      std::unique_lock<std::mutex> lock(mutex_);
      if (n <= 0) {
        done_ = true;
        result_ = n;
        problem_ = problem;
        changed_.notify_all();
        return;
      }
      block.resize(static_cast<std::size_t>(n));
      changed_.wait(lock, [&] { return closing_ || blocks_.size() < BLOCKS_AHEAD; });
      if (closing_) return;
      blocks_.push_back(std::move(block));
      changed_.notify_all();
    }
  }

  // A block the reader is done with, so that its memory stays mapped, or a new one.
  std::string spare_block() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (spare_.empty()) return std::string();
    std::string block = std::move(spare_.back());
    spare_.pop_back();
    return block;
  }

  std::int64_t read(char* dst, std::size_t room, SourceProblem* problem) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return done_ || !blocks_.empty(); });
    if (blocks_.empty()) {
      if (result_ < 0) *problem = problem_;
      return result_;
    }
    std::string& block = blocks_.front();
    const std::size_t n = std::min(room, block.size() - taken_);
    std::memcpy(dst, block.data() + taken_, n);
    taken_ += n;
    if (taken_ == block.size()) {
      spare_.push_back(std::move(block));
      blocks_.pop_front();
      taken_ = 0;
      changed_.notify_all();
    }
    return static_cast<std::int64_t>(n);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> blocks_;
  std::vector<std::string> spare_;  // blocks read out, for the decoder to fill again
  std::size_t taken_ = 0;    // of the front block
  bool done_ = false;        // no block follows
  bool closing_ = false;     // the reader is gone
  std::int64_t result_ = 0;  // the decoder's last word: 0, or -1 with problem_
  SourceProblem problem_;
  std::thread thread_;       // last: it starts once the rest is made
};

}  // namespace

namespace {

using namespace codecs;

// bzip2's magic: "BZh", the block size, then a block's magic or the end's.
bool is_bzip2(std::string_view head) {
  constexpr std::string_view BLOCK = "\x31\x41\x59\x26\x53\x59";
  constexpr std::string_view END = "\x17\x72\x45\x38\x50\x90";
  if (head.size() < 4 + BLOCK.size() || !head.starts_with("BZh") || head[3] < '1' || head[3] > '9') return false;
  const std::string_view after = head.substr(4, BLOCK.size());
  return after == BLOCK || after == END;
}

constexpr std::string_view GZIP_MAGIC = "\x1F\x8B";
constexpr std::string_view ZSTD_MAGIC = "\x28\xB5\x2F\xFD";
constexpr std::string_view XZ_MAGIC("\xFD" "7zXZ\0", 6);
constexpr std::string_view UTF16_LE = "\xFF\xFE";
constexpr std::string_view UTF16_BE = "\xFE\xFF";

// Reads the first bytes of `raw`, as many as may tell a format; stops as soon
// as they can begin none, so that a pipe that has sent a short line is not
// waited on.
std::string head_of(ByteSource& raw) {
  constexpr std::string_view PREFIXES[] = {GZIP_MAGIC, ZSTD_MAGIC, XZ_MAGIC, "BZh", UTF16_LE, UTF16_BE};
  const auto could_begin_one = [&](std::string_view head) {
    if (head.size() >= 3 && head.starts_with("BZh")) return head.size() < MAGIC_BYTES;
    return std::any_of(std::begin(PREFIXES), std::end(PREFIXES),
                       [&](std::string_view m) { return head.size() < m.size() && m.starts_with(head); });
  };
  std::string head(MAGIC_BYTES, '\0');
  std::size_t got = 0;
  SourceProblem ignored;  // a failing stream fails again when read
  while (got < head.size() && could_begin_one(std::string_view(head.data(), got))) {
    const std::int64_t n = raw(head.data() + got, head.size() - got, &ignored);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  head.resize(got);
  return head;
}

// The head, then straight from the stream.
ByteSource as_it_is(Input input) {
  auto rest = std::make_shared<Input>(std::move(input));
  return [rest](char* dst, std::size_t room, SourceProblem* problem) -> std::int64_t {
    if (rest->left() == 0) return rest->read_past(dst, room, problem);
    const std::size_t n = std::min(room, rest->left());
    std::memcpy(dst, rest->data(), n);
    rest->used(n);
    return static_cast<std::int64_t>(n);
  };
}

// UTF-16 with its byte-order mark as UTF-8; any other text as it is.
ByteSource unicode_source(ByteSource raw) {
  std::string head = head_of(raw);
  const bool little = head.starts_with(UTF16_LE), big = head.starts_with(UTF16_BE);
  Input input(std::move(raw), std::move(head));
  if (little || big) return source_of(std::make_shared<Utf16>(std::move(input), big));
  return as_it_is(std::move(input));
}

}  // namespace

std::string_view compression_of(std::string_view head) {
  if (head.starts_with(GZIP_MAGIC)) return Gzip::NAME;
  if (head.starts_with(ZSTD_MAGIC)) return Zstd::NAME;
  if (head.starts_with(XZ_MAGIC)) return Xz::NAME;
  if (is_bzip2(head)) return Bzip2::NAME;
  return {};
}

ByteSource text_source(ByteSource raw, std::uint64_t decoder_memory, std::string* compression) {
  std::string head = head_of(raw);
  const std::string_view format = compression_of(head);
  if (compression) *compression = format;
  Input input(std::move(raw), std::move(head));
  // The decoded text may itself be UTF-16, as a spreadsheet's "Unicode
  // text" compressed is.
  const auto decoded = [&](ByteSource source) { return AheadOfTime::start(unicode_source(std::move(source))); };
  if (format == Gzip::NAME) return decoded(source_of(std::make_shared<Decoding<Gzip>>(std::move(input))));
  if (format == Zstd::NAME)
    return decoded(source_of(std::make_shared<Decoding<Zstd>>(std::move(input), decoder_memory)));
  if (format == Xz::NAME) return decoded(source_of(std::make_shared<Decoding<Xz>>(std::move(input), decoder_memory)));
  if (format == Bzip2::NAME) return decoded(source_of(std::make_shared<Decoding<Bzip2>>(std::move(input))));
  const std::string_view start(input.data(), input.left());
  if (start.starts_with(UTF16_LE) || start.starts_with(UTF16_BE))
    return AheadOfTime::start(source_of(std::make_shared<Utf16>(std::move(input), start.starts_with(UTF16_BE))));
  return as_it_is(std::move(input));
}

ByteSource bounded_source(ByteSource text, TextBounds bounds) {
  return [text = std::move(text), bounds, taken = std::uint64_t{0}](char* dst, std::size_t room,
                                                                     SourceProblem* problem) mutable -> std::int64_t {
    const int over = taken > bounds.most_bytes                              ? EFBIG
                     : std::chrono::steady_clock::now() > bounds.deadline ? ETIMEDOUT
                                                                           : 0;
    if (over != 0) {
      problem->system_error = over;
      return -1;
    }
    const std::int64_t n = text(dst, room, problem);
    if (n > 0) taken += static_cast<std::uint64_t>(n);
    return n;
  };
}

}  // namespace karva
