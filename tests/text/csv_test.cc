#include "text/csv.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "render/output.h"
#include "text/number.h"

namespace karva {
namespace {

// The fields of one record, decoded, with a mark for each quoted one.
std::vector<std::string> fields_of(std::string_view record, char delimiter = ',') {
  std::vector<std::string> out;
  const char* p = record.data();
  const char* e = p + record.size();
  for (;;) {
    CsvField f;
    std::string scratch;
    p = next_csv_field(p, e, CsvSyntax{delimiter, '\n'}, f, scratch);
    EXPECT_EQ(csv_decode(f.raw, CsvSyntax{delimiter, '\n'}), f.value);
    out.push_back((f.quoted ? "q:" : "") + std::string(f.value));
    if (p == e) return out;
    ++p;
  }
}

TEST(Csv, FieldsOfARecord) {
  struct Case {
    const char* record;
    char delimiter;
    std::vector<std::string> fields;
  };
  const Case cases[] = {
      {"a,b,c", ',', {"a", "b", "c"}},
      {"a,,c,", ',', {"a", "", "c", ""}},  // empty fields are missing values
      {"", ',', {""}},
      {"\"x, y\",2", ',', {"q:x, y", "2"}},
      {"\"say \"\"hi\"\"\",3", ',', {"q:say \"hi\"", "3"}},
      {"\"two\nlines\",4", ',', {"q:two\nlines", "4"}},
      {"\"\",5", ',', {"q:", "5"}},
      {"1;\"2;3\";4", ';', {"1", "q:2;3", "4"}},
      {"1\t2", '\t', {"1", "2"}},
      {"\"ab\"c,d", ',', {"q:abc", "d"}},  // text after the closing quote stays with the field
      {"\"open,end", ',', {"q:open,end"}},  // never closed: the rest of the record
      {"12\" pipe,5", ',', {"12\" pipe", "5"}},  // a quote past a field's start is text
      {"\"a\"b\"c\",d", ',', {"q:ab\"c\"", "d"}},
  };
  for (const Case& c : cases) EXPECT_EQ(fields_of(c.record, c.delimiter), c.fields) << c.record;
}

// Where the state machine, one byte at a time, ends records.
std::vector<std::size_t> record_ends_byte_by_byte(const std::string& text, CsvSyntax syntax) {
  std::vector<std::size_t> ends;
  CsvState s = CsvState::FIELD_START;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const CsvState next = csv_step(s, text[i], syntax);
    if (text[i] == syntax.line_end && next == CsvState::FIELD_START) ends.push_back(i + 1);
    s = next;
  }
  return ends;
}

TEST(Csv, RecordEndsAgreeWithTheMachineByteByByte) {
  std::mt19937_64 rng(20);
  const std::string alphabet = "\"\",\n\nab;\r";
  for (int trial = 0; trial < 20000; ++trial) {
    const CsvSyntax syntax{trial % 3 ? ',' : ';', trial % 5 ? '\n' : '\r'};
    std::string text;
    for (std::size_t n = rng() % 24; n > 0; --n) text += alphabet[rng() % alphabet.size()];
    const std::vector<std::size_t> expected = record_ends_byte_by_byte(text, syntax);
    const char* b = text.data();
    const CsvRecordEnds all = csv_record_ends(b, b + text.size(), syntax, false);
    const CsvRecordEnds first = csv_record_ends(b, b + text.size(), syntax, true);
    ASSERT_EQ(all.last ? all.last - b : 0, expected.empty() ? 0 : static_cast<long>(expected.back())) << text;
    ASSERT_EQ(first.first ? first.first - b : 0, expected.empty() ? 0 : static_cast<long>(expected.front())) << text;
    ASSERT_EQ(all.first, first.first) << text;
    if (expected.empty()) {
      CsvState s = CsvState::FIELD_START;
      for (char c : text) s = csv_step(s, c, syntax);
      ASSERT_EQ(all.state == CsvState::QUOTED, s == CsvState::QUOTED) << text;
    }
  }
}

TEST(Csv, QuotedOnlyWhereNeeded) {
  const std::pair<const char*, const char*> cases[] = {
      {"plain", "plain"}, {"a,b", "\"a,b\""}, {"say \"hi\"", "\"say \"\"hi\"\"\""}, {"two\nlines", "\"two\nlines\""},
      {" padded", "\" padded\""}, {"", ""},
  };
  for (const auto& [text, written] : cases) {
    std::string out;
    csv_append(out, text, ',');
    EXPECT_EQ(out, written);
    EXPECT_EQ(fields_of(out)[0], (out.front() == '"' ? "q:" : "") + std::string(text));
  }
}

TEST(RoundTrip, TheShortestTextReadsBackAsTheSameDouble) {
  std::vector<double> values = {0.0, -0.0, 1.5e-7, 1e300, -1e-300, 5e-324, 2.2250738585072014e-308,
                                0.1, 1.0 / 3.0, 9007199254740993.0, 123456789012345678.0, HUGE_VAL};
  std::mt19937_64 rng(12);
  for (int i = 0; i < 200000; ++i) {
    const std::uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (std::isfinite(v)) values.push_back(v);
  }
  char buf[400];
  for (double v : values) {
    char* end = format_shortest(buf, v);
    *end = '\0';
    const double back = std::strtod(buf, nullptr);
    ASSERT_EQ(std::memcmp(&back, &v, sizeof v), 0) << buf;
  }
  *format_shortest(buf, 1.5e-7) = '\0';
  EXPECT_STREQ(buf, "1.5e-07");
}

}  // namespace
}  // namespace karva
