// MD5 (RFC 1321): 64-byte blocks, four rounds of sixteen steps each, a
// little-endian view of both the message words and the digest.
#include "nodeset/Md5.h"

#include <cstring>

namespace tarvex {
namespace {

// The additive constants: floor(2^32 * |sin(i + 1)|) for step i.
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Left-rotation amounts: four per round, repeated over the round's steps.
constexpr int kRotation[4][4] = {
    {7, 12, 17, 22},
    {5, 9, 14, 20},
    {4, 11, 16, 23},
    {6, 10, 15, 21},
};

uint32_t RotateLeft(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

uint32_t LoadLittleEndian(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void StoreLittleEndian(uint32_t value, unsigned char* p) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
  p[2] = static_cast<unsigned char>(value >> 16);
  p[3] = static_cast<unsigned char>(value >> 24);
}

}  // namespace

void MD5Init(MD5Context* context) {
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
  context->count[0] = 0;
  context->count[1] = 0;
  std::memset(context->buffer, 0, sizeof context->buffer);
}

void MD5Transform(uint32_t state[4], const unsigned char block[64]) {
  uint32_t words[16];
  for (int i = 0; i < 16; ++i) words[i] = LoadLittleEndian(block + 4 * i);

  uint32_t a = state[0];
  uint32_t b = state[1];
  uint32_t c = state[2];
  uint32_t d = state[3];
  for (int step = 0; step < 64; ++step) {
    const int round = step / 16;
    uint32_t mixed;
    int word;
    switch (round) {
      case 0:  // F = (b & c) | (~b & d)
        mixed = (b & c) | (~b & d);
        word = step;
        break;
      case 1:  // G = (b & d) | (c & ~d)
        mixed = (b & d) | (c & ~d);
        word = (1 + 5 * step) % 16;
        break;
      case 2:  // H = b ^ c ^ d
        mixed = b ^ c ^ d;
        word = (5 + 3 * step) % 16;
        break;
      default:  // I = c ^ (b | ~d)
        mixed = c ^ (b | ~d);
        word = (7 * step) % 16;
        break;
    }
    const uint32_t sum = a + mixed + kSine[step] + words[word];
    a = d;
    d = c;
    c = b;
    b = b + RotateLeft(sum, kRotation[round][step % 4]);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  std::memset(words, 0, sizeof words);
}

void MD5Update(MD5Context* context, const unsigned char* bytes, size_t length) {
  if (length == 0) return;
  size_t used = (context->count[0] >> 3) & 63;

  // The bit count is a 64-bit number kept in two words.
  const uint64_t bits = (static_cast<uint64_t>(context->count[1]) << 32 | context->count[0]) +
                        (static_cast<uint64_t>(length) << 3);
  context->count[0] = static_cast<uint32_t>(bits);
  context->count[1] = static_cast<uint32_t>(bits >> 32);

  size_t pos = 0;
  if (used > 0) {
    const size_t take = length < 64 - used ? length : 64 - used;
    std::memcpy(context->buffer + used, bytes, take);
    used += take;
    pos = take;
    if (used < 64) return;
    MD5Transform(context->state, context->buffer);
  }
  for (; pos + 64 <= length; pos += 64) MD5Transform(context->state, bytes + pos);
  if (pos < length) std::memcpy(context->buffer, bytes + pos, length - pos);
}

void MD5Final(unsigned char digest[16], MD5Context* context) {
  // The length as it was before padding, low word first.
  unsigned char length[8];
  StoreLittleEndian(context->count[0], length);
  StoreLittleEndian(context->count[1], length + 4);

  // One 1 bit, then zeros until the length is 56 bytes past a block boundary.
  static constexpr unsigned char kPadding[64] = {0x80};
  const size_t used = (context->count[0] >> 3) & 63;
  const size_t padding = used < 56 ? 56 - used : 120 - used;
  MD5Update(context, kPadding, padding);
  MD5Update(context, length, sizeof length);

  for (int i = 0; i < 4; ++i) StoreLittleEndian(context->state[i], digest + 4 * i);
  std::memset(context, 0, sizeof *context);
}

std::string md5(std::string_view text) {
  MD5Context context;
  MD5Init(&context);
  MD5Update(&context, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  unsigned char digest[16];
  MD5Final(digest, &context);

  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(32);
  for (unsigned char byte : digest) {
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 0x0F]);
  }
  return out;
}

}  // namespace tarvex
