// Reading a stream's descriptor straight, past the stream's own buffer,
// and giving up when asked while a read waits.
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "input/source.h"

namespace karva {
namespace {

// How often a waiting read looks whether it was cancelled.
constexpr int CANCEL_POLL_MS = 100;

// Waits until `fd` has something to read, or `cancel` is set; false then.
bool wait_readable(int fd, const std::atomic<bool>& cancel) {
  pollfd p{fd, POLLIN, 0};
  while (!cancel.load()) {
    const int n = poll(&p, 1, CANCEL_POLL_MS);
    if (n != 0 && !(n < 0 && errno == EINTR)) return true;  // ready, or a failure the read will report
  }
  return false;
}

}  // namespace

ByteSource stream_source(std::FILE* in, const std::atomic<bool>* cancel) {
  return [in, cancel](char* dst, std::size_t room, SourceProblem* problem) -> std::int64_t {
    const int fd = fileno(in);
    for (;;) {
      if (cancel && fd >= 0 && !wait_readable(fd, *cancel)) {
        problem->system_error = ECANCELED;
        return -1;
      }
      const ssize_t n = fd < 0 ? static_cast<ssize_t>(std::fread(dst, 1, room, in)) : ::read(fd, dst, room);
      if (n >= 0 && (fd >= 0 || n > 0 || !std::ferror(in))) return n;
      if (fd >= 0 && errno == EINTR) continue;
      problem->system_error = errno ? errno : EIO;
      return -1;
    }
  };
}

}  // namespace karva
