// The output is written beside its place and moved there only when whole.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "support/key_writer.h"
#include "support/process.h"

namespace karva::testing {
namespace {

const std::string EARLIER = "earlier output\n";

// Names in `dir` other than the ones a test makes itself.
std::vector<std::string> leftovers(const ScratchDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (name.find(".karva-partial-") != std::string::npos) names.push_back(name);
  }
  return names;
}

TEST(OutputFile, ARunThatDiesLeavesTheEarlierOutput) {
  struct Case {
    const char* name;
    std::string script;  // runs karva as $K; its status is echoed last
    int status;
    bool partial_allowed;  // SIGKILL gives no chance to tidy up
  };
  // The data comes through a FIFO the script holds open; the signal comes
  // once karva says it reads rows, so its output is open, and it waits for
  // more. A background job starts with SIGINT ignored unless told otherwise.
  const auto signalled = [](const char* signal) {
    return std::string("ulimit -c 0; mkfifo in said; env --default-signal=INT,QUIT $K -n k.key in o.txt > said & "
                       "exec 4< said 3> in; printf 'x\\n1\\n' >&3; read -r line <&4; kill -") +
           signal + " $!; wait $!; echo $?";
  };
  const Case cases[] = {
      {"SIGINT", signalled("INT"), 128 + SIGINT, false},
      {"SIGTERM", signalled("TERM"), 128 + SIGTERM, false},
      {"SIGQUIT", signalled("QUIT"), 128 + SIGQUIT, false},
      {"SIGUSR1", signalled("USR1"), 128 + SIGUSR1, false},
      {"SIGUSR2", signalled("USR2"), 128 + SIGUSR2, false},
      {"SIGALRM", signalled("ALRM"), 128 + SIGALRM, false},
      {"SIGVTALRM", signalled("VTALRM"), 128 + SIGVTALRM, false},
      {"SIGPROF", signalled("PROF"), 128 + SIGPROF, false},
      {"SIGKILL", signalled("KILL"), 128 + SIGKILL, true},
      {"a file-size limit", "(ulimit -f 1; seq 1 5000 | $K -n k.key - o.txt; echo $?)", 128 + SIGXFSZ, false},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    dir.write("k.key", IDENTITY);
    dir.write("o.txt", EARLIER);
    const Outcome o = run_shell(dir, "K=" + shell_quote(karva_binary()) + "; " + c.script);
    EXPECT_EQ(o.out.substr(o.out.rfind('\n', o.out.size() - 2) + 1), std::to_string(c.status) + "\n") << c.name;
    EXPECT_EQ(dir.read("o.txt"), EARLIER) << c.name;
    EXPECT_TRUE(c.partial_allowed || leftovers(dir).empty()) << c.name;
  }
}

TEST(OutputFile, ModeAndLinksAreKept) {
  ScratchDir dir;
  dir.write("k.key", IDENTITY);
  dir.write("d.txt", "x\n1\n");
  dir.write("real.txt", EARLIER);
  chmod(dir.file("real.txt").c_str(), 0640);
  std::filesystem::create_symlink("real.txt", dir.file("o.txt"));
  EXPECT_EQ(run_karva(dir, {"-n", "k.key", "d.txt", "o.txt"}).status, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("o.txt")));
  EXPECT_EQ(dir.read("real.txt"), "predict\n1.000000\n");
  struct stat st {};
  ASSERT_EQ(stat(dir.file("real.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_TRUE(leftovers(dir).empty());
  // A new file takes the usual mode under the umask.
  const Outcome o = run_shell(dir, "umask 027; " + shell_quote(karva_binary()) + " -n k.key d.txt new.txt");
  ASSERT_EQ(stat(dir.file("new.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u) << o.out;
}

}  // namespace
}  // namespace karva::testing

namespace karva::testing {
namespace {

// The system calls on the partial file, as strace names them, in order:
// every write reaches it, then fsync, before the rename gives it its name.
TEST(OutputFile, TheDataReachesTheDiskBeforeTheName) {
  if (std::system("strace -V > /dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  ScratchDir dir;
  dir.write("k.key", IDENTITY);
  std::string rows = "x\n";
  for (int i = 0; i < 20000; ++i) rows += std::to_string(i) + "\n";
  dir.write("d.txt", rows);
  // LeakSanitizer cannot work under ptrace: the sanitizer build runs this case without it.
  const Outcome o = run_shell(dir, "ASAN_OPTIONS=detect_leaks=0 strace -f -y -o trace.txt "
                                   "-e trace=write,fsync,fdatasync,rename,renameat,renameat2 " +
                                       shell_quote(karva_binary()) + " -n k.key d.txt o.txt");
  ASSERT_EQ(o.status, 0) << o.out << o.err;
  std::size_t last_write = 0, sync = 0, rename = 0, line_number = 0;
  std::istringstream trace(dir.read("trace.txt"));
  for (std::string line; std::getline(trace, line); ++line_number) {
    const bool on_partial = line.find(".karva-partial-") != std::string::npos;
    if (on_partial && line.find(" write(") != std::string::npos) last_write = line_number;
    if (on_partial && sync == 0 && (line.find(" fsync(") != std::string::npos ||
                                    line.find(" fdatasync(") != std::string::npos))
      sync = line_number;
    if (rename == 0 && line.find(" rename") != std::string::npos) rename = line_number;
  }
  EXPECT_GT(last_write, 0u);
  EXPECT_LT(last_write, sync);
  EXPECT_LT(sync, rename);
  const std::string out = dir.read("o.txt");
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 20001);
}

}  // namespace
}  // namespace karva::testing
