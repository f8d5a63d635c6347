// printf's text into strings of any length: names and paths in messages and
// pictures have no bound, so no fixed buffer may cut them.
#pragma once

#include <string>

namespace karva {

// Appends printf's text for fmt and its arguments to out.
[[gnu::format(printf, 2, 3)]] void append_printf(std::string& out, const char* fmt, ...);

// printf's text for fmt and its arguments.
[[gnu::format(printf, 1, 2)]] std::string printf_text(const char* fmt, ...);

}  // namespace karva
