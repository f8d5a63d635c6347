#include "input/source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace karva {
namespace {

// All the text a source gives for `bytes`, read a few bytes at a time.
std::string text_of(const std::string& bytes) {
  std::size_t offered = 0;
  const ByteSource raw = [&](char* dst, std::size_t room, SourceProblem*) -> std::int64_t {
    const std::size_t n = std::min({room, bytes.size() - offered, std::size_t{3}});
    std::copy_n(bytes.data() + offered, n, dst);
    offered += n;
    return static_cast<std::int64_t>(n);
  };
  const ByteSource text = text_source(raw);
  std::string out;
  char buf[64];
  for (std::int64_t n; (n = text(buf, sizeof buf, nullptr)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

// UTF-16 code units, little-endian, after the byte-order mark.
std::string utf16le(std::initializer_list<unsigned> units) {
  std::string bytes = "\xFF\xFE";
  for (unsigned u : units) {
    bytes += static_cast<char>(u & 0xFF);
    bytes += static_cast<char>(u >> 8);
  }
  return bytes;
}

TEST(Utf16, SurrogatesAtTheEdgesOfTheirRanges) {
  const std::string REPLACEMENT = "\xEF\xBF\xBD";
  struct Case {
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      {utf16le({0x7F, 0x80, 0x7FF, 0x800}), "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80"},  // each length's edges
      {utf16le({'a', 0xD7FF}), "a\xED\x9F\xBF"},                 // just below the surrogates
      {utf16le({0xD800, 0xDC00}), "\xF0\x90\x80\x80"},          // U+10000
      {utf16le({0xDBFF, 0xDFFF}), "\xF4\x8F\xBF\xBF"},          // U+10FFFF: the last high and low
      {utf16le({0xDC00, 'b'}), REPLACEMENT + "b"},              // a low surrogate alone
      {utf16le({0xDBFF, 'c'}), REPLACEMENT + "c"},              // a high one without its low
      {utf16le({0xDBFF}), REPLACEMENT},                         // cut after a high one
      {utf16le({0xE000, 0xFFFF}), "\xEE\x80\x80\xEF\xBF\xBF"},  // just above them
  };
  for (const Case& c : cases) EXPECT_EQ(text_of(c.bytes), c.text);
  std::string big_endian = "\xFE\xFF";
  big_endian += "\xDB\xFF\xDF\xFF";
  EXPECT_EQ(text_of(big_endian), "\xF4\x8F\xBF\xBF");
}

}  // namespace
}  // namespace karva
