#include "input/reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "text/number.h"

namespace karva {
namespace {

// Text read at a time while looking for the first record.
constexpr std::size_t FIRST_READ_BYTES = 64 * 1024;
// A line this long without a line end but with a zero byte is taken for
// no text.
constexpr std::size_t ZERO_FILLED_BYTES = 1 << 20;

}  // namespace

DataReader::DataReader(ByteSource source, std::string name, const Dialect& dialect)
    : source_(std::move(source)), name_(std::move(name)), csv_(dialect.csv), syntax_(dialect.syntax()) {}

// Reads once into buf[size, want); false at the end of the input or on
// failure.
bool DataReader::fill(std::vector<char>& buf, std::size_t& size, std::size_t want) {
  if (eof_) return false;
  if (buf.size() < want + SCAN_PADDING) buf.resize(want + SCAN_PADDING);
  SourceProblem problem;
  const std::int64_t n = source_(buf.data() + size, want - size, &problem);
  if (n <= 0) {
    eof_ = true;
    if (n < 0 && !problem.damage.empty())
      damage_ = problem.damage;
    else if (n < 0)
      errno_ = problem.system_error;
    return false;
  }
  size += static_cast<std::size_t>(n);
  bytes_read_ += static_cast<std::uint64_t>(n);
  return true;
}

void DataReader::read_to_end(const std::atomic<bool>* cancel) {
  constexpr std::size_t SCRAP_BYTES = 1 << 20;
  std::vector<char> scrap;
  for (std::size_t size = 0; !(cancel && cancel->load()) && fill(scrap, size, SCRAP_BYTES); size = 0) {
  }
}

namespace {

// Past the first (or last) record end in [p, e) when lines end with
// `syntax.line_end`, or nullptr.
const char* record_end(bool csv, const CsvSyntax& syntax, const char* p, const char* e, bool first) {
  if (csv) {
    const CsvRecordEnds ends = csv_record_ends(p, e, syntax, first);
    return first ? ends.first : ends.last;
  }
  const char line_end = syntax.line_end;
  const void* at = first ? std::memchr(p, line_end, static_cast<std::size_t>(e - p))
                         : memrchr(p, line_end, static_cast<std::size_t>(e - p));
  return at ? static_cast<const char*>(at) + 1 : nullptr;
}

}  // namespace

const char* DataReader::record_end(const char* p, const char* e, bool first) const {
  return karva::record_end(csv_, syntax_, p, e, first);
}

void DataReader::read_until(std::vector<char>& buf, std::size_t& size, std::size_t want, std::string_view line_ends) {
  while (size < want) {
    const std::size_t before = size;
    if (!fill(buf, size, want)) return;
    if (size < want && std::string_view(buf.data() + before, size - before).find_first_of(line_ends) != std::string_view::npos)
      return;
  }
}

bool DataReader::first_record(std::string_view& record) {
  const char* end = nullptr;
  for (std::size_t want = FIRST_READ_BYTES;; want = size_ < want ? want : 2 * want) {
    read_until(buf_, size_, want, "\r\n");
    const std::string_view text(buf_.data(), size_);
    first_start_ = text.starts_with(BYTE_ORDER_MARK) ? BYTE_ORDER_MARK.size() : 0;
    // Old spreadsheets end lines with a carriage return alone: where the
    // first line ends (outside quotes), and the byte after, tell.
    const char* p = buf_.data() + first_start_;
    const char* e = buf_.data() + size_;
    const char* lf_end = karva::record_end(csv_, {syntax_.delimiter, '\n'}, p, e, true);
    const char* cr_end = karva::record_end(csv_, {syntax_.delimiter, '\r'}, p, e, true);
    const char* after = cr_end;
    while (after && after < e && *after == '\r') ++after;
    const bool cr_first = cr_end && (!lf_end || cr_end < lf_end);
    if (eof_ || (cr_first ? after < e : lf_end != nullptr)) {
      const bool cr_alone = cr_first && (after == e || *after != '\n');
      syntax_.line_end = cr_alone ? '\r' : '\n';
      end = cr_alone ? cr_end : lf_end;
      break;
    }
    // A first line that holds a zero byte is no text: it is not grown
    // without end (/dev/zero, say).
    if (size_ > 0 && std::memchr(buf_.data(), 0, size_)) break;
  }
  if (errno_ != 0 || size_ == first_start_ || (!end && !damage_.empty())) return false;
  const char* begin = buf_.data() + first_start_;
  const char* stop = end ? end - 1 : buf_.data() + size_;
  pos_ = static_cast<std::size_t>((end ? end : stop) - buf_.data());
  first_lines_ = 1 + std::count(begin, stop, syntax_.line_end);
  // A carriage return before the line feed belongs to the line end; so do two.
  if (syntax_.line_end == '\n')
    for (int i = 0; i < 2 && stop > begin && stop[-1] == '\r'; ++i) --stop;
  record = std::string_view(begin, static_cast<std::size_t>(stop - begin));
  return true;
}

bool DataReader::next_chunk(ChunkText& chunk, std::size_t bytes) {
  // Text left from the last read starts the chunk.
  chunk.size = size_ - pos_;
  if (chunk.bytes.size() < std::max(bytes, chunk.size) + SCAN_PADDING)
    chunk.bytes.resize(std::max(bytes, chunk.size) + SCAN_PADDING);
  std::memcpy(chunk.bytes.data(), buf_.data() + pos_, chunk.size);
  pos_ = size_ = 0;
  // A long first record grew the buffer: it holds only short tails from now on.
  if (buf_.size() > 2 * bytes + SCAN_PADDING) std::vector<char>().swap(buf_);
  const char* cut = nullptr;
  const std::string_view line_end(&syntax_.line_end, 1);
  for (std::size_t want = std::max<std::size_t>(bytes, 1);; want = chunk.size < want ? want : 2 * want) {
    read_until(chunk.bytes, chunk.size, want, line_end);
    cut = record_end(chunk.begin(), chunk.end(), false);
    if (cut || eof_) break;
    // A record longer than the chunk makes the chunk grow, unless a long
    // one holds a zero byte: that is no text (/dev/zero, say), and it goes
    // out as it is for the row reading to stop at.
    if (chunk.size >= ZERO_FILLED_BYTES && std::memchr(chunk.begin(), 0, chunk.size)) {
      cut = chunk.end();
      break;
    }
  }
  // At the end the last record needs no line end, unless the stream broke
  // off: then what follows the last whole record is lost.
  if (eof_ && damage_.empty()) cut = chunk.end();
  if (!cut) cut = chunk.begin();
  // What follows the last whole record waits for the next chunk.
  const std::size_t kept = static_cast<std::size_t>(cut - chunk.begin());
  size_ = chunk.size - kept;
  if (buf_.size() < size_ + SCAN_PADDING) buf_.resize(size_ + SCAN_PADDING);
  std::memcpy(buf_.data(), cut, size_);
  chunk.size = kept;
  if (!damage_.empty()) size_ = 0;
  chunk.last = eof_ && size_ == 0;
  if (errno_ != 0) return false;
  return chunk.size > 0;
}

}  // namespace karva
