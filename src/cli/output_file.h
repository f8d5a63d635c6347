// The output file, written beside its place and moved there when complete,
// so that a run that dies never leaves a file cut short.
#pragma once

#include <cstdio>
#include <string>

#include <optional>

#include "input/file.h"
#include "render/messages.h"

namespace karva {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Removes the temporary file unless it was moved into place.
  ~OutputFile();

  // Opens the output for writing, through its symbolic links. A regular
  // file, or one that does not exist yet, is written to a temporary file in
  // the same folder; anything else (a pipe, a device) is written directly.
  // Why neither opens, when it does not.
  std::optional<OutputOpenError> open(const std::string& path);
  std::FILE* stream() const { return stream_.get(); }

  // Starts writing what the stream holds so far to the disk, without
  // waiting, so that the flush of commit has little left to wait for.
  void write_back_ahead();

  // Flushes the data to the disk and moves the temporary file over the
  // output (or just closes a direct output). False, with `*system_error`
  // set, when any step fails; the temporary file is then removed.
  bool commit(int* system_error);

 private:
  FilePtr stream_;
  std::string final_path_;     // the file the output names, links followed
  std::string temporary_;  // empty when the output is written directly
  mode_t mode_ = 0;
  int watch_slot_ = -1;  // of the signal handlers that remove the temporary file
  off_t written_back_ = 0;  // the bytes write_back_ahead has started on
};

// The name of the temporary file for `final_path`: beside it, after it, its
// file name cut to fit the file system's limit.
std::string temporary_name_pattern(const std::string& final_path);

}  // namespace karva
