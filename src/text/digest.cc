#include "text/digest.h"

#include <openssl/evp.h>

namespace karva {

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  // One call, no state of our own: it fails only when memory runs out.
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1) return "";
  static constexpr char HEX[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    text += HEX[digest[i] >> 4];
    text += HEX[digest[i] & 0xF];
  }
  return text;
}

}  // namespace karva
