#include "text/number.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace karva {
namespace {

bool identical_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string printf_fixed(double v, int precision) {
  char buf[MAX_FIXED_CHARS + 8];
  std::snprintf(buf, sizeof buf, "%.*f", precision, v);
  return buf;
}

std::string fast_fixed(double v, int precision) {
  char buf[MAX_FIXED_CHARS];
  return std::string(buf, format_fixed(buf, v, precision));
}

TEST(ParseNumber, HardCasesMatchStrtod) {
  const char* tokens[] = {
      "0", "-0", "00012", "1.", "1.e5", ".5", "-.5", "-.", ".", "-", "+", "+1", "+.5", "e5", "1e", "1e+", "1e-",
      "1E5", "1e400", "-1e400", "1e-400", "-1e-400", "4.9e-324", "2.4703282292062327e-324",
      "2.4703282292062328e-324", "2.2250738585072011e-308", "2.2250738585072014e-308", "1.7976931348623157e308",
      "1.7976931348623158e308", "1.7976931348623159e308", "0.1", "0.30000000000000004", "9007199254740993",
      "9007199254740992.5", "123456789012345678901234567890", "1e23", "8.589973e9",
      "0.000000000000000000000000000000000000000000001e-300", "1e99999999999999999999", "1e-99999999999999999999",
      "0x1A", "0X1a", "-0x1p-3", "0x", "0x.8", "0x1p", "inf", "-inf", "+inf", "INF", "Infinity", "-infinity",
      "infinit", "nan", "-nan", "NaN", "nan(123)", "nan(", "nanx", "12kg", "3a", "x1", "1-2", "1..2", "1e5.5",
      "\v1", "\f-2", "\r3", "1\r", "--1", "-+1", "0.0000004", "1,5",
      "2.47032822920623272088284396434110686182529901307162382212792841250337753635104375932649918180817996189898"
      "282347722858865463328355177969898199387398005390939063150356595155702263922908583924491051844359318028499"
      "365361525003193704576782492193656236698636584807570015857692699037063119282795585513329278343384093519780"
      "155312465972635795746227664652728272200563740064854999770965994704540208281662262378573934507363390079677"
      "619305775067401763246736009689513405355374585166611342237666786041621596804619144672918403005300575308490"
      "487653917113865916462395249126236538818796362393732804238910186723484976682350898633885879256283027559956"
      "575244555072551893136908362547791869486679949683240497058210285131854513962138377228261454376934125320985"
      "913276672363281255e-324",
      "0.1000000000000000055511151231257827021181583404541015625",
      "0.1000000000000000055511151231257827021181583404541015624",
      "0.1000000000000000055511151231257827021181583404541015626",
  };
  for (const char* t : tokens) {
    const double fast = parse_number(t);
    const double slow = std::strtod(t, nullptr);
    EXPECT_TRUE(identical_bits(fast, slow) || (std::isnan(fast) && std::isnan(slow) &&
                                          std::signbit(fast) == std::signbit(slow)))
        << t << ": " << fast << " vs " << slow;
  }
}

TEST(ParseNumber, ReadsOnlyTheToken) {
  const std::string line = "12 34";
  EXPECT_EQ(parse_number(std::string_view(line).substr(0, 2)), 12.0);
  const std::string hex = "0x10";
  EXPECT_EQ(parse_number(std::string_view(hex).substr(0, 3)), 1.0);  // "0x1"
  EXPECT_EQ(parse_number(""), 0.0);
}

// Millions of generated decimal tokens in the forms data files hold.
TEST(ParseNumber, GeneratedTokensMatchStrtod) {
  std::mt19937_64 rng(7);
  char buf[64];
  const char* formats[] = {"%.*g", "%.*e", "%.*f"};
  for (int i = 0; i < 2000000; ++i) {
    const std::uint64_t bits = rng();
    double v = 0;
    if (i % 2 == 0) {
      std::memcpy(&v, &bits, sizeof v);  // every exponent
    } else {
      v = std::uniform_real_distribution<double>(-1e6, 1e6)(rng);
    }
    if (!std::isfinite(v)) continue;
    const int precision = static_cast<int>(rng() % 20);
    const char* format = formats[rng() % 3];
    if (format[3] == 'f' && std::fabs(v) > 1e30) format = formats[1];
    std::snprintf(buf, sizeof buf, format, precision, v);
    const double fast = parse_number(buf);
    const double slow = std::strtod(buf, nullptr);
    ASSERT_TRUE(identical_bits(fast, slow)) << buf;
  }
}

TEST(LooksNumeric, WholeTokensOnly) {
  struct Case {
    const char* token;
    bool numeric;
  };
  const Case cases[] = {
      {"12", true},   {"-3.5e2", true}, {"0x1A", true}, {"inf", true},   {"nan", true}, {"1e400", true},
      {"x1", false},  {"3a", false},    {"-", false},   {"", false},     {" 1", false}, {"\v1", false},
      {"2.5\n", false}, {"y", false},   {".", false},   {"1e", false},
  };
  for (const Case& c : cases) EXPECT_EQ(looks_numeric(c.token), c.numeric) << c.token;
}

TEST(FormatFixed, HardCasesMatchPrintf) {
  const double values[] = {0.0, -0.0, 1e-7, -1e-7, 0.0000005, 0.0000015, 2.5, -2.5, 0.5, 1.5, 0.25, 0.125,
                           1e300, -1.7976931348623157e308, 5e-324, 2.2250738585072014e-308, 4294967295.0,
                           9.5625, 123456.7890125, 0.1, 1.0 / 3.0, 9.9999995, 9.9999994999999, 1e15 + 0.5,
                           std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN()};
  for (double v : values)
    for (int p = 0; p <= MAX_PRECISION; ++p) EXPECT_EQ(fast_fixed(v, p), printf_fixed(v, p)) << v << " p=" << p;
}

TEST(FormatFixed, GeneratedValuesMatchPrintf) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 2000000; ++i) {
    double v = 0;
    switch (i % 4) {
      case 0: {
        const std::uint64_t bits = rng();
        std::memcpy(&v, &bits, sizeof v);
        break;
      }
      case 1: v = std::uniform_real_distribution<double>(-1e4, 1e4)(rng); break;
      // Exact ties at the last printed digit: multiples of 2^-k.
      case 2: v = std::ldexp(static_cast<double>(static_cast<std::int64_t>(rng() % 2000001) - 1000000), -static_cast<int>(rng() % 12)); break;
      default: v = std::round(std::uniform_real_distribution<double>(-1e6, 1e6)(rng)) / 1e6 + 5e-7; break;
    }
    const int p = i % 7 == 0 ? static_cast<int>(rng() % (MAX_PRECISION + 1)) : 6;
    ASSERT_EQ(fast_fixed(v, p), printf_fixed(v, p)) << v << " p=" << p;
  }
}

}  // namespace
}  // namespace karva

namespace karva {
namespace {

// CSV fields as pandas reads them: a number, a missing value, or text.
TEST(ReadCsvNumber, NumbersMissingValuesAndText) {
  struct Case {
    const char* text;
    char decimal;
    CsvValue kind;
    double value;  // with NUMBER
  };
  const Case cases[] = {
      {"1e+5", '.', CsvValue::NUMBER, 1e5},       {"1E-5", '.', CsvValue::NUMBER, 1e-5},
      {"+1.5", '.', CsvValue::NUMBER, 1.5},       {" -2 ", '.', CsvValue::NUMBER, -2.0},
      {"inf", '.', CsvValue::NUMBER, INFINITY},   {"-Infinity", '.', CsvValue::NUMBER, -INFINITY},
      {"1,5", ',', CsvValue::NUMBER, 1.5},        {"0,1e+2", ',', CsvValue::NUMBER, 10.0},
      {"", '.', CsvValue::MISSING, 0},            {"  ", '.', CsvValue::MISSING, 0},
      {"NA", '.', CsvValue::MISSING, 0},          {"#N/A", '.', CsvValue::MISSING, 0},
      {"1.5", ',', CsvValue::NOT_A_NUMBER, 0},    {"1,000", '.', CsvValue::NOT_A_NUMBER, 0},
      {"1e", '.', CsvValue::NOT_A_NUMBER, 0},     {"1e+", '.', CsvValue::NOT_A_NUMBER, 0},
      {"0x1A", '.', CsvValue::NOT_A_NUMBER, 0},   {"12kg", '.', CsvValue::NOT_A_NUMBER, 0},
  };
  for (const Case& c : cases) {
    double v = 0;
    EXPECT_EQ(read_csv_number(c.text, c.decimal, v), c.kind) << c.text;
    const bool same = c.kind == CsvValue::NUMBER ? v == c.value : std::isnan(v);
    EXPECT_TRUE(same) << c.text << " read as " << v;
  }
}

}  // namespace
}  // namespace karva
