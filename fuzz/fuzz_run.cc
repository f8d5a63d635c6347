// A whole run in-process, through the driver the binary uses. The input is
// a mode byte, a two-byte key length, the key's bytes, then the data. The
// mode says whether the answer comes from -y, -n or the question (then the
// data's first bytes answer it and the data comes from a file), and whether
// the predictions go to a file or to standard output.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/driver.h"

namespace {

void write_file(const std::string& path, const char* bytes, std::size_t n) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) __builtin_trap();
  std::fwrite(bytes, 1, n, f);
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t HEADER = 3;
  if (size < HEADER) return 0;
  const std::uint8_t mode = data[0];
  const std::size_t key_size = std::min<std::size_t>(data[1] | static_cast<std::size_t>(data[2]) << 8, size - HEADER);
  const char* key = reinterpret_cast<const char*>(data + HEADER);
  const char* rest = key + key_size;
  const std::size_t rest_size = size - HEADER - key_size;

  static const std::string dir = [] {
    char pattern[] = "/tmp/karva-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) __builtin_trap();
    return std::string(pattern);
  }();
  static std::FILE* sink = std::fopen("/dev/null", "w");
  write_file(dir + "/k.key", key, key_size);

  karva::Options options;
  options.key_path = dir + "/k.key";
  options.out_path = mode & 4 ? "-" : dir + "/o.txt";
  options.style.precision = mode >> 3 & 0x0F;
  if (options.style.precision > 17) options.style.precision = 17;
  std::string console_text;
  switch (mode & 3) {
    case 0:
      // The question reads the answer from the console; the data is a file.
      options.data_path = dir + "/d.txt";
      console_text.assign(rest, std::min<std::size_t>(rest_size, 2));
      write_file(options.data_path, rest + console_text.size(), rest_size - console_text.size());
      break;
    case 1:
      options.has_target = true;
      options.data_path = "-";
      console_text.assign(rest, rest_size);
      break;
    default:
      options.has_target = (mode & 3) == 3;
      options.data_path = dir + "/d.txt";
      write_file(options.data_path, rest, rest_size);
      break;
  }
  // fmemopen wants a buffer of one byte at least; an empty one is used up first.
  const bool empty = console_text.empty();
  console_text.push_back('\0');
  std::FILE* in = fmemopen(console_text.data(), empty ? 1 : console_text.size() - 1, "rb");
  if (empty) std::fgetc(in);
  const karva::Console console{in, sink, sink, false};
  const int status = karva::run(options, console);
  std::fclose(in);
  if (status != karva::EXIT_OK && status != karva::EXIT_FAILED) __builtin_trap();
  return 0;
}
