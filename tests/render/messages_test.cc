#include "render/messages.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace karva {
namespace {

TEST(Messages, KeyErrors) {
  using Kind = KeyError::Kind;
  EXPECT_EQ(key_error_message({Kind::CANNOT_OPEN, "k.key", 0, 0, ENOENT, ""}),
            "Error reading key file k.key.\nNo such file or directory\n");
  EXPECT_EQ(key_error_message({Kind::TRUNCATED, "k.key", 0, 0, 0, ""}), "Key file k.key is truncated.\n");
  EXPECT_EQ(key_error_message({Kind::GENE_COUNT, "k.key", 0, 161, 0, ""}),
            "Key file k.key announces 161 genes; a key holds 1 to 160.\n");
  EXPECT_EQ(key_error_message({Kind::SYMBOL_COUNT, "k.key", 2, -1, 0, ""}),
            "Gene 2 of key file k.key has a symbol count of -1, outside 0 to 1023.\n");
}

TEST(Messages, GenesThatGiveNoTree) {
  PrepareError err;
  err.gene = 3;
  err.build = {BuildError::Kind::EMPTY, 0, 0, 0, 0};
  EXPECT_EQ(prepare_error_message(err), "Gene 3 of the key cannot be built: it has no symbols.\n");
  err.build = {BuildError::Kind::BAD_FIRST_SYMBOL, '?', 0, 0, 0};
  EXPECT_EQ(prepare_error_message(err),
            "Gene 3 of the key cannot be built: its first symbol (byte 63) is no terminal, function or operator.\n");
  // The builder's own two lines come first.
  err.build = {BuildError::Kind::RUNS_OUT, 0, 3, 3, 2};
  EXPECT_EQ(prepare_error_message(err), "pos=3, len=3, count=2\nERROR!\n"
                                        "Gene 3 of the key cannot be built: its symbols run out before the tree "
                                        "is complete.\n");
  err.kind = PrepareError::Kind::TOO_MANY_LETTERS;
  err.variable_count = 149;
  err.genes_before_last = 11;
  EXPECT_EQ(prepare_error_message(err), "The key needs 160 terminal letters (149 input variables and 11 genes "
                                        "before the last); at most 159 are supported.\n");
}

}  // namespace
}  // namespace karva
