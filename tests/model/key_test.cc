#include "model/key.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "engine/plan.h"
#include "render/messages.h"
#include "support/capture.h"
#include "support/key_writer.h"

namespace karva {
namespace {

using testing::GeneSpec;
using testing::key_bytes;

struct Loaded {
  std::optional<Key> key;
  std::string messages;
};

// The key, or the message its error gives.
Loaded read_bytes(std::string bytes) {
  Expected<Key, KeyError> key = read_key(bytes, "k.key");
  if (!key) return {std::nullopt, key_error_message(key.error())};
  return {std::move(*key), ""};
}

const std::string TWO_GENE_EXAMPLE = key_bytes(2, {{0.5, 2.0, "+ab", 0.0}, {-1.0, 0.25, "*cc", 0.0}});

TEST(KeyFile, ReadsTheTwoGeneExampleFieldByField) {
  ASSERT_EQ(TWO_GENE_EXAMPLE.size(), 70u);
  const unsigned char first_bytes[] = {2, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0, 0x3F};
  EXPECT_EQ(std::memcmp(TWO_GENE_EXAMPLE.data(), first_bytes, sizeof first_bytes), 0);
  const Loaded r = read_bytes(TWO_GENE_EXAMPLE);
  ASSERT_TRUE(r.key);
  EXPECT_EQ(r.messages, "");
  EXPECT_EQ(r.key->variable_count, 2);
  EXPECT_EQ(r.key->gene_count(), 2);
  ASSERT_EQ(r.key->genes.size(), 2u);
  const KeyGene& g0 = r.key->genes[0];
  EXPECT_EQ(g0.intercept, 0.5);
  EXPECT_EQ(g0.slope, 2.0);
  EXPECT_EQ(g0.symbols, "+ab");
  EXPECT_EQ(g0.trailing_value, 0.0);
  const KeyGene& g1 = r.key->genes[1];
  EXPECT_EQ(g1.intercept, -1.0);
  EXPECT_EQ(g1.slope, 0.25);
  EXPECT_EQ(g1.symbols, "*cc");
}

TEST(KeyFile, GeneCountsNoKeyCanUseAreRefusedBeforeAnyGene) {
  for (int count : {0, -1, -2147483647 - 1, MAX_GENES + 1, 2147483647}) {
    const Loaded r = read_bytes(key_bytes(2, {{0.5, 2.0, "+ab", 0.0}}, count));
    EXPECT_FALSE(r.key) << count;
    EXPECT_EQ(r.messages, "Key file k.key announces " + std::to_string(count) + " genes; a key holds 1 to 160.\n")
        << count;
  }
}

TEST(KeyFile, BytesAfterTheLastGeneAreIgnored) {
  const Loaded r = read_bytes(TWO_GENE_EXAMPLE + "trailing junk");
  ASSERT_TRUE(r.key);
  EXPECT_EQ(r.key->genes.size(), 2u);
}

TEST(KeyFile, SymbolTextIsCutAtAZeroByteButEveryByteIsConsumed) {
  const Loaded empty = read_bytes(key_bytes(1, {{1.0, 2.0, "", 7.0}}));
  ASSERT_TRUE(empty.key);
  EXPECT_EQ(empty.key->genes[0].symbols, "");
  EXPECT_EQ(empty.key->genes[0].trailing_value, 7.0);

  const Loaded cut = read_bytes(key_bytes(1, {{1.0, 2.0, std::string("Qa\0bc", 5), 7.0}, {3.0, 4.0, "a", 8.0}}));
  ASSERT_TRUE(cut.key);
  EXPECT_EQ(cut.key->genes[0].symbols, "Qa");
  EXPECT_EQ(cut.key->genes[0].trailing_value, 7.0);
  EXPECT_EQ(cut.key->genes[1].intercept, 3.0);
  EXPECT_EQ(cut.key->genes[1].symbols, "a");
}

TEST(KeyFile, EveryTruncationPointGivesNoKey) {
  for (std::size_t size = 0; size < TWO_GENE_EXAMPLE.size(); ++size) {
    const Loaded r = read_bytes(TWO_GENE_EXAMPLE.substr(0, size));
    EXPECT_FALSE(r.key) << size;
    EXPECT_EQ(r.messages, "Key file k.key is truncated.\n") << size;
  }
}

TEST(KeyFile, AGeneCountTheFileDoesNotBackUpIsTruncated) {
  const Loaded r = read_bytes(key_bytes(2, {{0.5, 2.0, "+ab", 0.0}}, MAX_GENES));
  EXPECT_FALSE(r.key);
  EXPECT_EQ(r.messages, "Key file k.key is truncated.\n");
}

TEST(KeyFile, SymbolCountOutsideTheFormatGivesNoKey) {
  struct Case {
    std::int32_t count;
    const char* message;
  };
  const Case cases[] = {
      {-1, "Gene 2 of key file k.key has a symbol count of -1, outside 0 to 1023.\n"},
      {1024, "Gene 2 of key file k.key has a symbol count of 1024, outside 0 to 1023.\n"},
      {2147483647, "Gene 2 of key file k.key has a symbol count of 2147483647, outside 0 to 1023.\n"},
  };
  for (const Case& c : cases) {
    std::string bytes = key_bytes(2, {{0.5, 2.0, "+ab", 0.0}, {0.0, 1.0, "a", 0.0}});
    const std::size_t count_at = 8 + 28 + 3 + 16;
    const auto u = static_cast<std::uint32_t>(c.count);
    for (int i = 0; i < 4; ++i) bytes[count_at + static_cast<std::size_t>(i)] = static_cast<char>(u >> (8 * i));
    const Loaded r = read_bytes(bytes);
    EXPECT_FALSE(r.key) << c.count;
    EXPECT_EQ(r.messages, c.message);
  }
  const Loaded max = read_bytes(key_bytes(1, {{0.0, 1.0, std::string(1023, 'a'), 0.0}}));
  ASSERT_TRUE(max.key);
  EXPECT_EQ(max.key->genes[0].symbols.size(), 1023u);
}

TEST(KeyFile, MissingFileAndDirectoryAreNamed) {
  const auto missing_key = plan_key("/nonexistent/k.key", false);
  ASSERT_FALSE(missing_key);
  const KeyError& missing = std::get<KeyError>(missing_key.error());
  EXPECT_EQ(missing.kind, KeyError::Kind::CANNOT_OPEN);
  EXPECT_EQ(missing.file, "/nonexistent/k.key");
  EXPECT_EQ(missing.system_error, ENOENT);
  const auto folder = plan_key("/", false);
  ASSERT_FALSE(folder);
  EXPECT_EQ(std::get<KeyError>(folder.error()).kind, KeyError::Kind::READ_FAILED);
  EXPECT_EQ(std::get<KeyError>(folder.error()).system_error, EISDIR);
}

}  // namespace
}  // namespace karva
