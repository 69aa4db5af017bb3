// The MD5 message digest (RFC 1321), and its lower-case hex text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvex {

struct MD5Context {
  uint32_t state[4];
  uint32_t count[2];  // message length in bits, low word first
  unsigned char buffer[64];
};

void MD5Init(MD5Context* context);
void MD5Update(MD5Context* context, const unsigned char* bytes, size_t length);
void MD5Final(unsigned char digest[16], MD5Context* context);
void MD5Transform(uint32_t state[4], const unsigned char block[64]);

// The digest of the bytes of `text` (UTF-8) as 32 lower-case hex digits.
std::string md5(std::string_view text);

}  // namespace tarvex
