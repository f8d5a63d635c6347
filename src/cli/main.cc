// karva: applies a key to a data file. The driver does the work.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "cli/driver.h"
#include "cli/options.h"
#include "render/messages.h"

namespace {

// A closed standard stream would hand its descriptor to the next file
// opened, and the question would then read the key. Closed input reads as
// empty and closed error output writes nowhere; closed standard output
// fails every write, so that what was meant for it is not lost unseen.
// Tells whether standard output was closed.
bool reopen_closed_standard_streams() {
  bool out_closed = false;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      if (fd == STDOUT_FILENO) out_closed = true;
      const char* stand_in = fd == STDOUT_FILENO ? "/dev/full" : "/dev/null";
      const int opened = open(stand_in, fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
      if (opened != fd && opened >= 0) close(opened);
    }
  }
  return out_closed;
}

// Standard output must have taken everything, a full disk or a closed
// stream included; a run that has not failed yet fails now.
int check_standard_output(int status, bool was_closed) {
  errno = 0;
  bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
  int reason = errno;
  if (std::fclose(stdout) != 0 && !failed) {
    failed = true;
    reason = errno;
  }
  if (!failed || status != karva::EXIT_OK) return status;
  if (reason == 0) reason = karva::message_write_error();
  std::fputs(karva::cannot_write_standard_output_message(was_closed ? EBADF : reason).c_str(), stderr);
  return karva::EXIT_FAILED;
}

int run(int argc, char** argv, bool out_closed) {
  karva::ParsedCommandLine parsed = karva::parse_command_line(argc, argv, stdout, stderr);
  if (!parsed.options) return parsed.status;
  const karva::Console console{stdin, stdout, stderr, isatty(STDERR_FILENO) == 1, out_closed};
  // What no stage foresaw is one message where the run's other messages
  // go, and exit 1: never an abort.
  const bool predictions_on_stdout = parsed.options->out_path == karva::STANDARD_STREAM;
  std::FILE* msg = predictions_on_stdout ? stderr : stdout;
  try {
    return karva::run(*parsed.options, console);
  } catch (const std::bad_alloc&) {
    std::fputs(karva::out_of_memory_message().c_str(), msg);
  } catch (const std::exception& e) {
    std::fputs(karva::unexpected_failure_message(e.what()).c_str(), msg);
  }
  return karva::EXIT_FAILED;
}

}  // namespace

// Room for all that karva says at once on standard output (the help, say),
// so that a failed write shows at the flush that checks it, with its reason.
constexpr std::size_t STANDARD_OUTPUT_BUFFER = std::size_t{1} << 16;

int main(int argc, char** argv) {
  const bool out_closed = reopen_closed_standard_streams();
  static char buffer[STANDARD_OUTPUT_BUFFER];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  return check_standard_output(run(argc, argv, out_closed), out_closed);
}
