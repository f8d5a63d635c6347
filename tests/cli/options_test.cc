// The option parser in process: what a command line settles, and what it
// refuses, without running a file through it.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/capture.h"

namespace karva {
namespace {

struct Parsed {
  std::optional<Options> options;
  int status = 0;
  std::string err;
};

Parsed parse(std::vector<std::string> words) {
  words.insert(words.begin(), "karva");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  testing::Capture out, err;
  ParsedCommandLine p = parse_command_line(static_cast<int>(words.size()), argv.data(), out.stream(), err.stream());
  return {std::move(p.options), p.status, err.text()};
}

TEST(CommandLine, WhatTheOptionsSettle) {
  const Parsed csv = parse({"--decimal", ",", "--inputs", "b,a", "--keep", "id", "-n", "k", "d", "o"});
  ASSERT_TRUE(csv.options) << csv.err;
  EXPECT_TRUE(csv.options->dialect.csv);  // decimal commas read CSV ...
  EXPECT_EQ(csv.options->dialect.delimiter, ';');  // ... with ";" between fields
  EXPECT_EQ(csv.options->dialect.decimal, ',');
  EXPECT_EQ(csv.options->inputs, (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(csv.options->has_target, std::optional<bool>(false));

  const Parsed tab = parse({"--csv", "--delimiter", "tab", "--no-header", "--target=y", "-p", "3", "-j", "2",
                            "--chunk-bytes", "16", "--decoder-memory", "512", "k", "d", "-"});
  ASSERT_TRUE(tab.options) << tab.err;
  EXPECT_EQ(tab.options->dialect.delimiter, '\t');
  EXPECT_EQ(tab.options->dialect.header, std::optional<bool>(false));
  EXPECT_EQ(tab.options->target_name, "y");
  EXPECT_EQ(tab.options->style.precision, 3);
  EXPECT_EQ(tab.options->stream.jobs, 2);
  EXPECT_EQ(tab.options->stream.chunk_bytes, 16u);
  EXPECT_EQ(tab.options->decoder_memory, std::uint64_t{512} << 20);
  EXPECT_EQ(tab.options->out_path, "-");

  const Parsed serve = parse({"--serve", "--listen", "[::1]:0", "--grpc-listen", "[::1]:9", "k"});
  ASSERT_TRUE(serve.options) << serve.err;
  EXPECT_EQ(serve.options->serve.host, "::1");
  EXPECT_EQ(serve.options->serve.port, 0);
  EXPECT_TRUE(serve.options->serve.grpc);
  EXPECT_EQ(serve.options->serve.grpc_port, 9);
  EXPECT_FALSE(parse({"--serve", "k"}).options->serve.grpc);
}

TEST(CommandLine, WhatItRefuses) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--delimiter", ";", "-n", "k", "d", "o"}, "--delimiter needs --csv"},
      {{"--csv", "--delimiter", "5", "-n", "k", "d", "o"}, "--delimiter cannot be \"5\", which can be part of a number"},
      {{"--csv", "--delimiter", "\"", "-n", "k", "d", "o"}, "--delimiter cannot be a quote or a line end"},
      {{"--decimal", ",", "--delimiter", ",", "-n", "k", "d", "o"}, "--decimal , needs a delimiter other than \",\""},
      {{"-j", "0", "-n", "k", "d", "o"}, "the number of jobs must be a whole number from 1 to 256, not \"0\""},
      {{"--chunk-bytes", "0", "-n", "k", "d", "o"}, "--chunk-bytes takes a whole number from 1 to 1073741824, not \"0\""},
      {{"--keep", "a,a", "-n", "k", "d", "o"}, "--keep names the column \"a\" twice"},
      {{"-y", "-n", "k", "d", "o"}, "-y and -n cannot both be given"},
      {{"--prediction-name", "", "-n", "k", "d", "o"}, "--prediction-name needs a value that is not empty"},
      {{"--serve", "--listen", "localhost", "k"}, "--listen takes HOST:PORT (a port from 0 to 65535), not \"localhost\""},
      {{"--serve", "--listen", "h:65536", "k"}, "--listen takes HOST:PORT (a port from 0 to 65535), not \"h:65536\""},
      {{"--serve", "--grpc-listen", "h", "k"}, "--grpc-listen takes HOST:PORT (a port from 0 to 65535), not \"h\""},
      {{"--serve", "a/m.key", "b/m.k"}, "the keys a/m.key and b/m.k would be served as one model name"},
  };
  for (const auto& [words, complaint] : cases) {
    const Parsed p = parse(words);
    EXPECT_FALSE(p.options) << complaint;
    EXPECT_EQ(p.status, EXIT_USAGE) << complaint;
    EXPECT_NE(p.err.find("karva: " + complaint + "."), std::string::npos) << p.err;
  }
}

}  // namespace
}  // namespace karva
