// A message stream whose text a test can read back.
#pragma once

#include <cstdio>
#include <string>

namespace karva::testing {

class Capture {
 public:
  Capture() : stream_(open_memstream(&data_, &size_)) {}
  ~Capture() {
    std::fclose(stream_);
    std::free(data_);
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  std::FILE* stream() { return stream_; }
  std::string text() {
    std::fflush(stream_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* stream_;
};

// A read stream over bytes held by the caller (which must outlive it).
inline std::FILE* open_bytes(std::string& bytes) {
  // fmemopen refuses a zero-sized buffer; an empty input reads from a
  // one-byte buffer of which nothing is offered.
  static char empty[1] = {0};
  if (bytes.empty()) {
    std::FILE* f = fmemopen(empty, 1, "rb");
    std::fgetc(f);
    return f;
  }
  return fmemopen(bytes.data(), bytes.size(), "rb");
}

}  // namespace karva::testing
