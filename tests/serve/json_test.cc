// The service's JSON check: RFC 8259 with Python's three bare tokens, one
// value, a fixed depth, a leading byte-order mark skipped.
#include "serve/json.h"

#include <gtest/gtest.h>

#include <string>

namespace karva {
namespace {

TEST(Json, WhatTheCheckTakesAndRefuses) {
  const struct {
    std::string body;
    JsonFault fault;
  } cases[] = {
      {R"({"a": [1, -0.5e-3, 2E+10, 0, -0, true, false, null, "x\"\\\/\b\f\n\r\t\u00e9"]})", JsonFault::NONE},
      {R"([NaN, Infinity, -Infinity, {}, [], ""])", JsonFault::NONE},
      {" \t\r\n 5 \n", JsonFault::NONE},
      {"\xEF\xBB\xBF{}", JsonFault::NONE},
      {"01", JsonFault::SYNTAX},
      {"1.", JsonFault::SYNTAX},
      {".5", JsonFault::SYNTAX},
      {"+1", JsonFault::SYNTAX},
      {"0x10", JsonFault::SYNTAX},
      {"1e", JsonFault::SYNTAX},
      {"-", JsonFault::SYNTAX},
      {"nan", JsonFault::SYNTAX},
      {"-NaN", JsonFault::SYNTAX},
      {"{} {}", JsonFault::SYNTAX},
      {"[1,]", JsonFault::SYNTAX},
      {"[1 2]", JsonFault::SYNTAX},
      {R"({"a" 1})", JsonFault::SYNTAX},
      {R"({"a": 1,})", JsonFault::SYNTAX},
      {R"({1: 2})", JsonFault::SYNTAX},
      {"[}", JsonFault::SYNTAX},
      {"\"a\tb\"", JsonFault::SYNTAX},
      {R"("\x")", JsonFault::SYNTAX},
      {R"("\u12")", JsonFault::SYNTAX},
      {"\"open", JsonFault::SYNTAX},
      {"", JsonFault::SYNTAX},
      {std::string("[1,\0 2]", 7), JsonFault::SYNTAX},
      {std::string(32, '[') + std::string(32, ']'), JsonFault::NONE},
      {std::string(33, '[') + std::string(33, ']'), JsonFault::TOO_DEEP},
      {std::string(100000, '['), JsonFault::TOO_DEEP},
  };
  for (const auto& c : cases) {
    std::size_t start = 99;
    EXPECT_EQ(check_json(c.body, MOST_JSON_DEPTH, &start), c.fault) << c.body.substr(0, 40);
    EXPECT_EQ(start, c.body.starts_with("\xEF\xBB\xBF") ? 3u : 0u);
  }
}

}  // namespace
}  // namespace karva
