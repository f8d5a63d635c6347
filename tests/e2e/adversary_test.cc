// Input from an adversary, a group of cases a table: nothing hangs, nothing
// karva did not mean to write is written, a damaged file never passes for a
// good one. Every script runs karva as $K under a time limit, so that a
// hang fails the case instead of the suite.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/key_writer.h"
#include "support/process.h"

namespace karva::testing {
namespace {

// A script and what it must give: its last line (the status it echoes),
// a text the console must hold, and files with the bytes they must hold.
struct Case {
  std::string name;
  std::string script;
  std::string status;                                   // the last line of standard output
  std::string says;                                     // held by standard output or error
  std::vector<std::pair<std::string, std::string>> files;  // name, bytes
};

// The most a case may take before it counts as a hang.
constexpr const char* TIME_LIMIT = "timeout -s KILL 60 ";

const std::string THREE_INPUTS = key_bytes(3, {{0.5, 2.0, "+*abc", 0.0}});  // 0.5 + 2 (a b + c)

void run_cases(const std::vector<Case>& cases, const std::vector<std::pair<std::string, std::string>>& setup) {
  for (const Case& c : cases) {
    ScratchDir dir;
    for (const auto& [name, bytes] : setup) dir.write(name, bytes);
    // $K runs karva under the time limit; $B is karva itself, for a case to copy.
    const std::string binary = shell_quote(karva_binary());
    const Outcome o = run_shell(dir, "{ B=" + binary + "; K='" + std::string(TIME_LIMIT) + "'" + binary + "; " +
                                         c.script + "; echo \"$?\"; }");
    const std::size_t last = o.out.rfind('\n', o.out.size() - 2);
    EXPECT_EQ(o.out.substr(last == std::string::npos ? 0 : last + 1), c.status + "\n") << c.name << "\n" << o.out << o.err;
    EXPECT_NE((o.out + o.err).find(c.says), std::string::npos) << c.name << "\n" << o.out << o.err;
    for (const auto& [name, bytes] : c.files) EXPECT_EQ(dir.read(name), bytes) << c.name << ": " << name;
  }
}

std::string rows(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i) text += std::to_string(i % 10) + " 1 2 3\n";
  return text;
}

TEST(Adversary, NothingHangs) {
  const std::string plot_key = key_bytes(3, {{0.0, 1.7e308, "Sa", 0.0}});
  const std::vector<Case> cases = {
      {"a stop in an endless stream", "(printf 'y a b c\\n1 2 3 4\\n5\\n'; yes '1 2 3 4') | $K -y k.key - o.txt", "1",
       "Reading stopped at line 3 of standard input, as it holds too few values; nothing after it was read.", {}},
      {"a plot of values that span more than the largest double",
       "$K -y --plot fit.svg big.key d.txt o.txt > /dev/null && ! grep '=\"[-a-z]*n[af]' fit.svg",
       "0", "", {}},
      {"a plot of one row at the largest double", "printf 'y x\\n1.7e308 1.7e308\\n' > e.txt; "
       "$K -y --plot fit.svg one.key e.txt o.txt > /dev/null", "0", "", {}},
      {"the figures of a NaN the key makes", "printf 'y x\\n1 2\\n2 3\\n' > e.txt; $K -y --stats nan.key e.txt o.txt",
       "0", "RMSE = nan\nMAE = nan\nlargest absolute error = nan\n", {}},
  };
  std::vector<std::pair<std::string, std::string>> setup = {
      {"k.key", THREE_INPUTS}, {"big.key", plot_key}, {"one.key", IDENTITY}, {"d.txt", "y a b c\n" + rows(0, 50)},
      {"nan.key", key_bytes(1, {{-INFINITY, INFINITY, "a", 0.0}})}};  // a * inf - inf: NaN
  run_cases(cases, setup);
}

// Members of a compressed file, one after another, are one stream: each
// format that allows them is read whole.
TEST(Adversary, ConcatenatedMembersAreReadWhole) {
  const std::vector<Case> cases = {
      {"gzip", "gzip -c a > m; gzip -c b >> m; $K -n k.key m o.txt", "0", "60 rows are read from m.", {}},
      {"bzip2", "bzip2 -c a > m; bzip2 -c b >> m; $K -n k.key m o.txt", "0", "60 rows are read from m.", {}},
      {"xz", "xz -c a > m; xz -c b >> m; $K -n k.key m o.txt", "0", "60 rows are read from m.", {}},
      {"zstd", "zstd -q -c a > m; zstd -q -c b >> m; $K -n k.key m o.txt", "0", "60 rows are read from m.", {}},
  };
  run_cases(cases, {{"k.key", key_bytes(4, {{0.0, 1.0, "a", 0.0}})}, {"a", rows(0, 40)}, {"b", rows(40, 60)}});
}

// Two outputs that name one path or one stream, or an output that is what
// karva reads, are refused before anything is read or written.
TEST(Adversary, NothingIsOverwrittenOrReadBack) {
  const std::string data = "y a b c\n" + rows(0, 5);
  const std::vector<Case> cases = {
      {"the plot and a new output by two paths", "$K -y --plot ./o.txt k.key d.txt o.txt", "1",
       "The plot file ./o.txt is the output file o.txt; nothing was written.", {}},
      {"standard output appended to the data", "$K -y k.key d.txt - >> d.txt", "1",
       "Standard output is the data file d.txt, which karva reads; nothing was written.", {{"d.txt", data}}},
      {"messages appended to the key", "$K -y k.key d.txt o.txt >> k.key", "1",
       "Standard output is the key file k.key, which karva reads; nothing was written.", {{"k.key", THREE_INPUTS}}},
      {"standard error appended to the data", "$K -y k.key d.txt - 2>> d.txt", "1",
       "Standard error is the data file d.txt, which karva reads; nothing was written.", {{"d.txt", data}}},
      {"standard error appended to the key", "$K -y k.key d.txt o.txt 2>> k.key", "1",
       "Standard error is the key file k.key, which karva reads; nothing was written.", {{"k.key", THREE_INPUTS}}},
      {"the plot on standard output beside the predictions", "$K -y --plot /dev/stdout k.key d.txt - > out",
       "1", "The plot file /dev/stdout is standard output, where the predictions go; nothing was written.", {}},
  };
  run_cases(cases, {{"k.key", THREE_INPUTS}, {"d.txt", data}});
}

// Outputs written as a shell redirection writes them, and refused where it
// would be unsafe or cannot work, before any row is read. The cases that
// need another user run as root, as CI does.
TEST(Adversary, OutputsThroughLinksAndFolders) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to act as another user";
  const std::string data = "y a b c\n" + rows(0, 5);
  const std::string long_name(300, 'x');
  const std::vector<Case> cases = {
      {"a dangling link", "ln -s made.txt o.txt && $K -y k.key d.txt o.txt > /dev/null && test -L o.txt && "
       "head -n 1 made.txt", "0", "y(target) predict\n", {}},
      {"another user's link in a sticky shared folder",
       "mkdir s && chmod 1777 s && ln -s ../t.txt s/o.txt && chown -h nobody s/o.txt && $K -y k.key d.txt s/o.txt", "1",
       "Cannot write file s/o.txt: it is a symbolic link that another user owns in the shared folder s, which karva "
       "does not follow.", {}},
      {"a name longer than the file system takes", "$K -y k.key d.txt " + long_name, "1",
       "its name is longer than the file system of . allows.", {}},
      {"a writable file in a folder that is not",
       // A copy of karva here, since the other user may not reach the build's folder.
       "mkdir ro && echo old > ro/o.txt && chmod 666 ro/o.txt k.key d.txt && chmod 555 ro && chmod 755 . && "
       "cp \"$B\" karva && setpriv --reuid=65534 --regid=65534 --clear-groups " + std::string(TIME_LIMIT) +
       "./karva -y k.key d.txt ro/o.txt", "1",
       "and that folder cannot be written.", {{"ro/o.txt", "old\n"}}},
  };
  run_cases(cases, {{"k.key", THREE_INPUTS}, {"d.txt", data}});
}

// A damaged stream is known only at its end: the run fails as a whole, and
// an earlier output stays as it was; valid files that the tools themselves
// take are read.
TEST(Adversary, ADamagedFileNeverPassesForAGoodOne) {
  // Which message depends on whether the damage is found before the first
  // line ends, as in a bzip2 block; the earlier output stays as it was.
  // Flips one byte in the middle of the compressed stream; cuts it in the middle of a number.
  const std::string flip = "python3 -c \"import sys; b = bytearray(open('m', 'rb').read()); b[len(b) // 2] ^= 0x55; "
                           "open('m', 'wb').write(b)\"; ";
  const std::string cut = "head -c $(( $(stat -c %s m) / 2 )) m > c && mv c m; ";
  std::vector<Case> cases;
  for (const std::string tool : {"gzip", "xz", "zstd", "bzip2"}) {
    const std::string says = tool + " data ";
    cases.push_back({tool + " with one byte changed", tool + " -q -c a > m; " + flip + "$K -n k.key m o.txt", "1", says,
                     {{"o.txt", "old\n"}}});
    cases.push_back({tool + " cut short", tool + " -q -c a > m; " + cut + "$K -n k.key m o.txt", "1", says,
                     {{"o.txt", "old\n"}}});
  }
  cases.push_back({"gzip cut short inside a number", "gzip -c a > m; " + cut + "$K -n k.key m o.txt", "1",
                   "Nothing was written: o.txt is as it was.", {{"o.txt", "old\n"}}});
  cases.push_back({"gzip cut short, on standard output", "gzip -c a > m; " + cut + "$K -n k.key m - > p", "1",
                   "The rows already written to standard output are among those that cannot be trusted.", {}});
  cases.push_back({"zero bytes after a gzip member", "gzip -c a > m; head -c 1024 /dev/zero >> m; $K -n k.key m o.txt",
                   "0", "40 rows are read from m.", {}});
  cases.push_back({"xz stream padding", "xz -c a > m; head -c 8 /dev/zero >> m; $K -n k.key m o.txt", "0",
                   "40 rows are read from m.", {}});
  cases.push_back({"gzip-compressed UTF-16", "iconv -t UTF-16 a | gzip -c > m; $K -n k.key m o.txt", "0",
                   "40 rows are read from m.", {}});
  cases.push_back({"text that begins BZh", "printf 'BZh1 b c d\n5 6 7 8\n' > m; $K -n k.key m o.txt", "0",
                   "1 rows are read from m.", {}});
  cases.push_back({"a compressed key", "gzip -c k.key > kz; $K -n kz a o.txt", "1",
                   "Key file kz is compressed with gzip; decompress it first.", {}});
  cases.push_back({"an xz stream that asks for 3 GiB", "xz --lzma2=dict=1536MiB -c a > m; $K -n k.key m o.txt", "1",
                   "xz data needs more memory than the decoder may take", {{"o.txt", "old\n"}}});
  cases.push_back({"the same with the limit raised", "xz --lzma2=dict=1536MiB -c a > m; "
                   "$K --decoder-memory 2048 -n k.key m o.txt", "0", "40 rows are read from m.", {}});
  run_cases(cases, {{"k.key", key_bytes(4, {{0.0, 1.0, "a", 0.0}})}, {"a", "a b c d\n" + rows(0, 40)}, {"o.txt", "old\n"}});
}

// Figures at the ends of the double range are finite and right where they
// are defined, and every message is the same for every -j.
TEST(Adversary, FiguresAndMessagesAtTheEdges) {
  std::string stop_then_quote = "y,a,b,c\n";
  for (int i = 0; i < 300; ++i) stop_then_quote += i == 100 ? "5\n" : i == 200 ? "1,\"2,3,4\n" : "1,2,3,4\n";
  const std::vector<Case> cases = {
      {"tiny values", "$K -y id.key tiny o.txt", "0", "R-square = 0.981\n", {}},
      {"tiny values' errors", "$K -y --stats id.key tiny o.txt", "0", "RMSE = 1.41421e-201\nMAE = 1.33333e-201", {}},
      {"subnormal values' errors", "$K -y --stats id.key subnormal o.txt", "0", "RMSE = 1.41421e-312\nMAE = 1.33333e-312", {}},
      {"subnormal values' R-square", "$K -y id.key subnormal o.txt", "0", "R-square = 0.981\n", {}},
      {"huge values' errors", "$K -y --stats id.key huge o.txt", "0", "RMSE = 1.41421e+299\nMAE = 1.33333e+299", {}},
      {"huge values' R-square", "$K -y id.key huge o.txt", "0", "R-square = 0.981\n", {}},
      {"one row", "$K -y id.key one o.txt", "0", "R-square needs two rows or more; there is one.", {}},
      {"a stop, then a quote never closed, on 1 thread",
       "$K --csv --strict -j 1 -y k3.key q o.txt", "1", "Reading stopped at line 102 of q, as it holds too few values; "
       "nothing after it was read.\n", {}},
      {"the same on 7 threads in tiny chunks",
       "$K --csv --strict -j 7 --chunk-bytes 16 -y k3.key q o.txt", "1", "Reading stopped at line 102 of q, as it holds too "
       "few values; nothing after it was read.\n", {}},
  };
  run_cases(cases, {{"id.key", IDENTITY},
                    {"k3.key", THREE_INPUTS},
                    {"tiny", "y x\n1e-200 1.1e-200\n2e-200 1.9e-200\n3e-200 3.2e-200\n"},
                    {"subnormal", "y x\n1e-311 1.1e-311\n2e-311 1.9e-311\n3e-311 3.2e-311\n"},
                    {"huge", "y x\n1e300 1.1e300\n2e300 1.9e300\n3e300 3.2e300\n"},
                    {"one", "y x\n1 2\n"},
                    {"q", stop_then_quote}});
}

// A gzip stream damaged in its first rows (stored blocks, so that only the
// CRC at its end can tell) whose reading stops at a short line long before
// that end: from a file, the rest is decoded to its check and the earlier
// output kept; from a pipe, the rows are said to be unchecked.
TEST(Adversary, AStopInADamagedStreamReplacesNothing) {
  const std::string make = std::string(KARVA_TEST_PYTHON) +
                           " -c 'import zlib; c = zlib.compressobj(0, zlib.DEFLATED, 31); "
                           "text = b\"y a b c\\n1 2 3 4\\n9 9 9 9\\n5\\n\" + b\"1 2 3 4\\n\" * 6000000; "
                           "open(\"m.gz\", \"wb\").write((c.compress(text) + c.flush()).replace(b\"9 9 9\", b\"8 9 9\", 1))'; ";
  const std::vector<Case> cases = {
      {"from a file", make + "$K -y k.key m.gz o.txt", "1", "incorrect data check", {{"o.txt", "old\n"}}},
      {"from a pipe", make + "cat m.gz | $K -y k.key - p.txt", "1",
       "The rows before the stop could not be checked: standard input is compressed", {}},
  };
  run_cases(cases, {{"k.key", THREE_INPUTS}, {"o.txt", "old\n"}});
}

}  // namespace
}  // namespace karva::testing
