#include "support/process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/key_writer.h"

namespace karva::testing {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// KARVA_TEST_BINARY names another build's binary: the sanitizers' builds
// are driven by this build's whole-run tests.
std::string karva_binary() {
  const char* other = std::getenv("KARVA_TEST_BINARY");
  return other && *other ? other : KARVA_BINARY;
}

std::string shell_quote(const std::string& word) {
  std::string q = "'";
  for (char c : word) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "karva-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) std::abort();
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ScratchDir::write(const std::string& name, const std::string& bytes) const {
  const std::string p = file(name);
  if (!write_file(p, bytes)) std::abort();
  return p;
}

std::string ScratchDir::read(const std::string& name) const { return read_file(file(name)); }

bool ScratchDir::exists(const std::string& name) const { return std::filesystem::exists(file(name)); }

namespace {

// Runs a shell command line with its standard output and error sent to
// files in `dir`, and reads them back.
Outcome run_capturing(const ScratchDir& dir, std::string command) {
  command += " > " + shell_quote(dir.file(".stdout")) + " 2> " + shell_quote(dir.file(".stderr"));
  const int raw = std::system(command.c_str());
  Outcome o;
  if (WIFEXITED(raw)) o.status = WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) o.signal = WTERMSIG(raw);
  o.out = dir.read(".stdout");
  o.err = dir.read(".stderr");
  return o;
}

}  // namespace

Outcome run_karva(const ScratchDir& dir, const std::vector<std::string>& args,
                  const std::optional<std::string>& input) {
  // KARVA_TEST_WRAPPER runs the binary under a tool, valgrind say.
  const char* wrapper = std::getenv("KARVA_TEST_WRAPPER");
  std::string command = "cd " + shell_quote(dir.path()) + " && exec " + (wrapper ? std::string(wrapper) + " " : "") +
                        shell_quote(karva_binary());
  // KARVA_TEST_JOBS=N/B/R runs every case on N threads, in chunks of B
  // bytes and tables of R rows.
  if (const char* variant = std::getenv("KARVA_TEST_JOBS")) {
    std::istringstream parts(variant);
    std::string jobs, bytes, rows;
    std::getline(parts, jobs, '/');
    std::getline(parts, bytes, '/');
    std::getline(parts, rows, '/');
    command.append(" -j ").append(shell_quote(jobs));
    command.append(" --chunk-bytes ").append(shell_quote(bytes)).append(" --table-rows ").append(shell_quote(rows));
  }
  for (const std::string& a : args) command.append(" ").append(shell_quote(a));
  if (input) {
    const std::string in = dir.write(".stdin", *input);
    command += " < " + shell_quote(in);
  } else {
    command += " <&-";
  }
  return run_capturing(dir, command);
}

Outcome run_shell(const ScratchDir& dir, const std::string& command) {
  return run_capturing(dir, "cd " + shell_quote(dir.path()) + " && " + command);
}

Outcome run_script(const ScratchDir& dir, const std::string& command) {
  return run_capturing(dir, "cd " + shell_quote(dir.path()) + " && script -q -e -c " + shell_quote(command) +
                                " /dev/null < /dev/null");
}

}  // namespace karva::testing
