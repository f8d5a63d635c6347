// Fingerprints of files: what names a key's exact bytes in a model or a
// workbook that came from it.
#pragma once

#include <string>
#include <string_view>

namespace karva {

// The SHA-256 of `bytes` as 64 lowercase hexadecimal digits.
std::string sha256_hex(std::string_view bytes);

}  // namespace karva
