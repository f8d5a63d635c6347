// karva: applies a key to a data file. The driver does the work.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "tool/driver.h"
#include "tool/messages.h"
#include "tool/options.h"

namespace {

// A closed standard stream would hand its descriptor to the next file
// opened, and the question would then read the key. Closed ones read as
// empty and write nowhere instead.
void reopen_closed_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
      if (opened != fd && opened >= 0) close(opened);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  reopen_closed_standard_streams();
  const karva::ParsedCommandLine parsed = karva::parse_command_line(argc, argv, stdout);
  if (!parsed.options) return parsed.status;
  const karva::Console console{stdin, stdout, stderr, isatty(STDERR_FILENO) == 1};
  try {
    return karva::run(*parsed.options, console);
  } catch (const std::bad_alloc&) {
    // A line too long to hold, say: one message, not an abort. It goes
    // where the run's other messages go.
    const bool predictions_on_stdout = parsed.options->out_path == karva::STANDARD_STREAM;
    std::fputs(karva::out_of_memory_message().c_str(), predictions_on_stdout ? stderr : stdout);
    return karva::EXIT_FAILED;
  }
}
