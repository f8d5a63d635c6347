#include "text/printf_text.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace karva {
namespace {

void append_vprintf(std::string& out, const char* fmt, std::va_list args) {
  std::va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  if (n > 0) {
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(n) + 1);
    std::vsnprintf(out.data() + at, static_cast<std::size_t>(n) + 1, fmt, again);
    out.pop_back();  // vsnprintf's terminating zero
  }
  va_end(again);
}

}  // namespace

void append_printf(std::string& out, const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  append_vprintf(out, fmt, args);
  va_end(args);
}

std::string printf_text(const char* fmt, ...) {
  std::string out;
  std::va_list args;
  va_start(args, fmt);
  append_vprintf(out, fmt, args);
  va_end(args);
  return out;
}

}  // namespace karva
