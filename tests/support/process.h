// Runs the real karva binary in a scratch folder and captures what it says.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace karva::testing {

// The question, as text that strings can be added to.
inline const std::string QUESTION_TEXT = "Is the first column of data the true response [y/n]? ";

struct Outcome {
  int status = -1;      // exit status, or -1 when killed by a signal
  int signal = 0;       // the signal that ended it, if any
  std::string out;      // standard output
  std::string err;      // standard error
};

// A fresh folder under the test temp dir, removed at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes `bytes` to `name` inside the folder and returns its path.
  std::string write(const std::string& name, const std::string& bytes) const;
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;

 private:
  std::string path_;
};

// Runs karva with `args` in `dir`, feeding `input` on standard input (none:
// standard input is closed, reading it gives end of file at once).
Outcome run_karva(const ScratchDir& dir, const std::vector<std::string>& args,
                  const std::optional<std::string>& input = std::string());

// Runs a shell command line in `dir`, capturing its standard streams.
Outcome run_shell(const ScratchDir& dir, const std::string& command);

// Runs a shell command in `dir` under script(1), so that its standard
// streams are a pseudo-terminal; everything it printed lands in `out`.
Outcome run_script(const ScratchDir& dir, const std::string& command);

// Single-quotes a word for the shell.
std::string shell_quote(const std::string& word);

// The path of the karva binary under test.
std::string karva_binary();

std::string read_file(const std::string& path);

}  // namespace karva::testing
