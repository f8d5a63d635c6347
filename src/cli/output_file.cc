#include "cli/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>

namespace karva {
namespace {

// Signals whose default action ends the process; each removes the
// temporary file first. Crash signals (SEGV, ABRT, ...) are left to the
// sanitizers and core dumps; SIGKILL cannot be caught.
constexpr std::array<int, 11> FATAL_SIGNALS = {SIGINT,  SIGTERM, SIGHUP,  SIGPIPE,   SIGXFSZ, SIGQUIT,
                                               SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF};

// The paths the handlers remove, one slot for each output being written;
// fixed buffers, since only async-signal-safe work may happen in a handler.
constexpr std::size_t MAX_PATH_BYTES = 4096;
constexpr std::size_t MAX_PENDING = 4;
char pending_paths[MAX_PENDING][MAX_PATH_BYTES];
volatile std::sig_atomic_t pending[MAX_PENDING] = {};

extern "C" void remove_and_die(int sig) {
  for (std::size_t i = 0; i < MAX_PENDING; ++i)
    if (pending[i]) unlink(pending_paths[i]);
  // The handler was reset on entry: the signal now ends the process with
  // its usual status.
  raise(sig);
}

// The slot now watching `path`, or -1 when none is free.
int watch_signals(const std::string& path) {
  int slot = 0;
  while (slot < static_cast<int>(MAX_PENDING) && pending[slot]) ++slot;
  if (path.size() >= MAX_PATH_BYTES || slot == static_cast<int>(MAX_PENDING)) return -1;
  std::memcpy(pending_paths[slot], path.c_str(), path.size() + 1);
  pending[slot] = 1;
  for (int sig : FATAL_SIGNALS) {
    struct sigaction old {};
    sigaction(sig, nullptr, &old);
    // Only a signal left at its default: nohup's ignored ones stay ignored,
    // and a handler of the process that runs karva (a fuzzer's timer) stays.
    if (old.sa_handler != SIG_DFL || (old.sa_flags & SA_SIGINFO) != 0) continue;
    struct sigaction act {};
    act.sa_handler = remove_and_die;
    act.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
    sigemptyset(&act.sa_mask);
    sigaction(sig, &act, nullptr);
  }
  return slot;
}

void forget_signals(int slot) {
  if (slot >= 0) pending[slot] = 0;
}


std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Links followed at most, as the kernel's own limit.
constexpr int MAX_LINK_HOPS = 40;

// Whether the kernel's protected_symlinks rule lets this user follow `link`,
// which lies in `folder`: in a sticky folder that everyone may write (such
// as /tmp), only a link of the user's own, or of the folder's owner.
bool may_follow(const struct stat& link, const std::string& folder) {
  struct stat dir {};
  if (stat(folder.c_str(), &dir) != 0) return true;
  const bool shared = (dir.st_mode & S_ISVTX) != 0 && (dir.st_mode & S_IWOTH) != 0;
  return !shared || link.st_uid == geteuid() || link.st_uid == dir.st_uid;
}

// The file a path names once its symbolic links are followed, whether that
// file exists or not, so that a link stays a link to the file it names, as
// a shell redirection writes through it.
Expected<std::string, OutputOpenError> follow_links(const std::string& path) {
  std::string at = path;
  for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
    struct stat st {};
    if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      std::error_code error;
      const std::filesystem::path followed = std::filesystem::weakly_canonical(at, error);
      return error ? at : followed.string();
    }
    if (!may_follow(st, folder_of(at)))
      return Unexpected(OutputOpenError{OutputOpenError::Kind::UNSAFE_LINK, path, folder_of(at), EACCES});
    std::string target(PATH_MAX, '\0');
    const ssize_t n = readlink(at.c_str(), target.data(), target.size());
    if (n < 0) return Unexpected(OutputOpenError{OutputOpenError::Kind::CANNOT_OPEN, path, "", errno});
    target.resize(static_cast<std::size_t>(n));
    at = target.starts_with('/') ? target : folder_of(at) + "/" + target;
  }
  return Unexpected(OutputOpenError{OutputOpenError::Kind::CANNOT_OPEN, path, "", ELOOP});
}

// Whether the last part of `path` is longer than its folder's file system takes.
bool name_too_long(const std::string& path) {
  const long most = pathconf(folder_of(path).c_str(), _PC_NAME_MAX);
  return most > 0 && static_cast<long>(path.size() - (path.rfind('/') + 1)) > most;
}

mode_t current_umask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

}  // namespace

std::string temporary_name_pattern(const std::string& final_path) {
  constexpr std::string_view SUFFIX = ".karva-partial-XXXXXX";
  // The name stays within the file system's limit, however long the final name.
  const std::size_t slash = final_path.rfind('/') + 1;  // 0 without one
  const std::size_t room = NAME_MAX - SUFFIX.size();
  return final_path.substr(0, slash + std::min(room, final_path.size() - slash)) + std::string(SUFFIX);
}

OutputFile::~OutputFile() {
  if (temporary_.empty()) return;
  stream_.reset();
  unlink(temporary_.c_str());
  forget_signals(watch_slot_);
}

std::optional<OutputOpenError> OutputFile::open(const std::string& path) {
  using Kind = OutputOpenError::Kind;
  Expected<std::string, OutputOpenError> followed = follow_links(path);
  if (!followed) return followed.error();
  final_path_ = std::move(*followed);
  struct stat st {};
  const bool exists = stat(final_path_.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    // A pipe, a terminal, /dev/null: written as they are.
    stream_.reset(std::fopen(path.c_str(), "wb"));
    if (!stream_) return OutputOpenError{Kind::CANNOT_OPEN, path, "", errno};
    return std::nullopt;
  }
  // A file the user may not write is not replaced, as a shell redirection
  // would not write it (root may write any file).
  if (exists && faccessat(AT_FDCWD, final_path_.c_str(), W_OK, AT_EACCESS) != 0)
    return OutputOpenError{Kind::CANNOT_OPEN, path, "", errno};
  if (name_too_long(final_path_)) return OutputOpenError{Kind::NAME_TOO_LONG, path, folder_of(final_path_), ENAMETOOLONG};
  constexpr mode_t NEW_FILE_MODE = 0666;
  mode_ = exists ? (st.st_mode & 07777) : (NEW_FILE_MODE & ~current_umask());
  std::string name = temporary_name_pattern(final_path_);
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    const bool folder = errno == EACCES || errno == EPERM || errno == EROFS;
    return OutputOpenError{folder ? Kind::FOLDER_NOT_WRITABLE : Kind::CANNOT_OPEN, path, folder_of(final_path_), errno};
  }
  // The replaced file keeps its owner and group where that is permitted;
  // otherwise it becomes the user's, as with sed -i.
  if (exists && fchown(fd, st.st_uid, st.st_gid) != 0) {
    // Not permitted: the group alone, if the user is in it.
    [[maybe_unused]] const int ignored = fchown(fd, static_cast<uid_t>(-1), st.st_gid);
  }
  temporary_ = name;
  watch_slot_ = watch_signals(temporary_);
  stream_.reset(fdopen(fd, "wb"));
  if (!stream_) {
    const int error = errno;
    close(fd);
    return OutputOpenError{Kind::CANNOT_OPEN, path, "", error};
  }
  return std::nullopt;
}

void OutputFile::write_back_ahead() {
  // A few MiB at a time, so that the disk has work without a call per chunk.
  constexpr off_t STEP = 8 << 20;
  if (temporary_.empty()) return;
  const off_t end = ftello(stream_.get());
  if (end - written_back_ < STEP || std::fflush(stream_.get()) != 0) return;
  sync_file_range(fileno(stream_.get()), written_back_, end - written_back_, SYNC_FILE_RANGE_WRITE);
  written_back_ = end;
}

bool OutputFile::commit(int* system_error) {
  std::FILE* f = stream_.release();
  if (temporary_.empty()) {
    if (std::fclose(f) == 0) return true;
    *system_error = errno;
    return false;
  }
  // The data reaches the disk before the name does, so that a crash after
  // success cannot leave an empty file under the output's name.
  bool ok = std::fflush(f) == 0 && fchmod(fileno(f), mode_) == 0 && fsync(fileno(f)) == 0;
  if (!ok) *system_error = errno;
  if (std::fclose(f) != 0 && ok) {
    *system_error = errno;
    ok = false;
  }
  if (ok && rename(temporary_.c_str(), final_path_.c_str()) != 0) {
    *system_error = errno;
    ok = false;
  }
  if (!ok) return false;  // the destructor removes the temporary file
  temporary_.clear();
  forget_signals(watch_slot_);
  const int folder = ::open(folder_of(final_path_).c_str(), O_RDONLY | O_DIRECTORY);
  if (folder >= 0) {
    fsync(folder);
    close(folder);
  }
  return true;
}

}  // namespace karva
