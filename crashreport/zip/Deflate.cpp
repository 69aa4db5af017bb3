#include "crashreport/zip/Deflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

namespace tarvex {
namespace {

// ---- Parameters ---------------------------------------------------------------

constexpr unsigned kWSize = 32768;
constexpr unsigned kWMask = kWSize - 1;
constexpr unsigned kMinMatch = 3;
constexpr unsigned kMaxMatch = 258;
// Bytes ahead of the read point that a match search may look at.
constexpr unsigned kMinLookahead = kMaxMatch + kMinMatch + 1;
constexpr unsigned kMaxDist = kWSize - kMinLookahead;
constexpr unsigned kHashBits = 15;
constexpr unsigned kHashSize = 1u << kHashBits;
constexpr unsigned kHashMask = kHashSize - 1;
constexpr unsigned kHashShift = 5;

// The effort: zlib's level 8.
constexpr unsigned kGoodLength = 32;   // a match this long quarters the search
constexpr unsigned kMaxLazy = 128;     // no lazy search after a match this long
constexpr unsigned kNiceLength = 258;  // a match this long ends the search
constexpr unsigned kMaxChain = 1024;
// A match of the minimum length this far back costs more than its literals.
constexpr unsigned kTooFar = 4096;

// Symbols a block holds before it is sent.
constexpr unsigned kBlockSymbols = 16383;

// The window holds two halves; the read point never passes the end. Match
// comparisons read in words of eight bytes and may run up to a whole
// maximum match past the read point: the tail keeps those reads inside the
// buffer (they are cut to the look-ahead afterwards).
constexpr unsigned kWindowBytes = 2 * kWSize + kMaxMatch + 16;

constexpr int kLitLenCodes = 286;
constexpr int kDistCodes = 30;
constexpr int kBlCodes = 19;
constexpr int kEndBlock = 256;
constexpr int kMaxBits = 15;
constexpr int kMaxBlBits = 7;
constexpr unsigned kStoredMax = 65535;

constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,
                                      15, 17, 19, 23, 27, 31, 35, 43,  51,  59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                    33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kBlOrder[kBlCodes] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                        11, 4,  12, 3, 13, 2, 14, 1, 15};

struct Tables {
  uint8_t lengthCode[kMaxMatch + 1];  // by match length: the length code - 257
  uint8_t distCode[512];              // by distance - 1 (see DistCode)
  uint8_t fixedLitLen[288];
  uint16_t fixedLitCode[288];
  uint8_t fixedDistLen[kDistCodes];
  uint16_t fixedDistCode[kDistCodes];
};

uint16_t ReverseBits(unsigned code, int length) {
  unsigned r = 0;
  for (int i = 0; i < length; ++i, code >>= 1) r = (r << 1) | (code & 1);
  return static_cast<uint16_t>(r);
}

// Canonical codes for the lengths, bit-reversed as they are sent (the
// stream packs bits from the least significant end).
void MakeCodes(const uint8_t* lengths, int count, uint16_t* codes) {
  unsigned perLength[kMaxBits + 1] = {};
  for (int i = 0; i < count; ++i) ++perLength[lengths[i]];
  perLength[0] = 0;
  unsigned next[kMaxBits + 2] = {};
  unsigned code = 0;
  for (int bits = 1; bits <= kMaxBits; ++bits) {
    code = (code + perLength[bits - 1]) << 1;
    next[bits] = code;
  }
  for (int i = 0; i < count; ++i)
    codes[i] = lengths[i] ? ReverseBits(next[lengths[i]]++, lengths[i]) : 0;
}

const Tables& GetTables() {
  static const Tables tables = [] {
    Tables t{};
    for (int code = 0; code < 29; ++code)
      for (unsigned n = 0; n < (1u << kLengthExtra[code]); ++n) {
        unsigned length = kLengthBase[code] + n;
        if (length <= kMaxMatch) t.lengthCode[length] = static_cast<uint8_t>(code);
      }
    t.lengthCode[kMaxMatch] = 28;  // 258 has a code of its own, without extra bits
    for (int code = 0; code < kDistCodes; ++code)
      for (unsigned n = 0; n < (1u << kDistExtra[code]); ++n) {
        unsigned d = kDistBase[code] - 1 + n;
        if (d < 256)
          t.distCode[d] = static_cast<uint8_t>(code);
        else
          t.distCode[256 + (d >> 7)] = static_cast<uint8_t>(code);
      }
    for (int i = 0; i < 288; ++i) t.fixedLitLen[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    MakeCodes(t.fixedLitLen, 288, t.fixedLitCode);
    std::fill(std::begin(t.fixedDistLen), std::end(t.fixedDistLen), 5);
    MakeCodes(t.fixedDistLen, kDistCodes, t.fixedDistCode);
    return t;
  }();
  return tables;
}

inline unsigned DistCode(const Tables& t, unsigned distMinusOne) {
  return distMinusOne < 256 ? t.distCode[distMinusOne] : t.distCode[256 + (distMinusOne >> 7)];
}

inline unsigned Hash3(const uint8_t* p) {
  return ((unsigned{p[0]} << (2 * kHashShift)) ^ (unsigned{p[1]} << kHashShift) ^ p[2]) &
         kHashMask;
}

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The number of equal bytes at a and b, up to kMaxMatch.
inline unsigned MatchLength(const uint8_t* a, const uint8_t* b) {
  unsigned n = 0;
  while (n < kMaxMatch - 2) {  // 256 bytes in words
    uint64_t x = Load64(a + n) ^ Load64(b + n);
    if (x != 0) {
      if constexpr (std::endian::native == std::endian::little)
        return n + (static_cast<unsigned>(__builtin_ctzll(x)) >> 3);
      else
        return n + (static_cast<unsigned>(__builtin_clzll(x)) >> 3);
    }
    n += 8;
  }
  while (n < kMaxMatch && a[n] == b[n]) ++n;
  return n;
}

}  // namespace

// ---- Huffman code lengths -----------------------------------------------------

void HuffmanCodeLengths(const uint32_t* freqs, int count, int maxBits, uint8_t* lengths) {
  std::fill(lengths, lengths + count, uint8_t{0});
  struct Leaf {
    uint32_t freq;
    int symbol;
  };
  std::vector<Leaf> leaves;
  leaves.reserve(count + 2);
  for (int i = 0; i < count; ++i)
    if (freqs[i] != 0) leaves.push_back({freqs[i], i});
  // At least two codes: add symbol 0 or 1 as the one missing.
  for (int s = 0; leaves.size() < 2 && s < count; ++s)
    if (freqs[s] == 0) leaves.push_back({0, s});
  const size_t n = leaves.size();
  if (n == 0) return;
  if (n == 1) {
    lengths[leaves[0].symbol] = 1;
    return;
  }
  std::sort(leaves.begin(), leaves.end(), [](const Leaf& a, const Leaf& b) {
    return a.freq != b.freq ? a.freq < b.freq : a.symbol < b.symbol;
  });

  // Two queues: the sorted leaves and the made nodes (made in order of
  // weight). Nodes 0..n-1 are leaves, n.. made nodes; parent[] links them.
  std::vector<uint64_t> weight(2 * n);
  std::vector<uint32_t> parent(2 * n, 0);
  for (size_t i = 0; i < n; ++i) weight[i] = leaves[i].freq;
  size_t nextLeaf = 0, nextNode = n, made = n;
  auto takeSmallest = [&]() {
    if (nextLeaf < n && (nextNode >= made || weight[nextLeaf] <= weight[nextNode]))
      return nextLeaf++;
    return nextNode++;
  };
  while (made < 2 * n - 1) {
    size_t a = takeSmallest();
    size_t b = takeSmallest();
    weight[made] = weight[a] + weight[b];
    parent[a] = parent[b] = static_cast<uint32_t>(made);
    ++made;
  }
  // Depths: the root is the last node made; parents come after children.
  std::vector<uint32_t> depth(2 * n - 1, 0);
  const size_t root = 2 * n - 2;
  for (size_t i = root; i-- > 0;) depth[i] = depth[parent[i]] + 1;

  // Leaves per length, with those past maxBits pulled up and the code made
  // whole again by moving leaves down one level at a time.
  std::vector<uint32_t> perLength(std::max<size_t>(maxBits + 1, 64), 0);
  for (size_t i = 0; i < n; ++i) ++perLength[std::min<uint32_t>(depth[i], 63)];
  for (size_t l = maxBits + 1; l < perLength.size(); ++l) {
    perLength[maxBits] += perLength[l];
    perLength[l] = 0;
  }
  uint64_t total = 0;
  for (int l = 1; l <= maxBits; ++l) total += uint64_t{perLength[l]} << (maxBits - l);
  while (total > (uint64_t{1} << maxBits)) {
    // One leaf of the longest length leaves; a shorter leaf goes one level
    // down and takes it as its sibling: the sum falls by one unit.
    --perLength[maxBits];
    for (int l = maxBits - 1; l >= 1; --l)
      if (perLength[l] > 0) {
        --perLength[l];
        perLength[l + 1] += 2;
        break;
      }
    --total;
  }
  // The shortest codes to the most frequent symbols.
  size_t next = n;
  for (int l = 1; l <= maxBits; ++l)
    for (uint32_t k = 0; k < perLength[l]; ++k) lengths[leaves[--next].symbol] = static_cast<uint8_t>(l);
}

// ---- The coder ----------------------------------------------------------------

struct Deflater::State {
  const Tables& tables = GetTables();

  std::unique_ptr<uint8_t[]> window{new uint8_t[kWindowBytes]()};
  std::unique_ptr<uint16_t[]> head{new uint16_t[kHashSize]()};
  std::unique_ptr<uint16_t[]> prev{new uint16_t[kWSize]()};

  unsigned strstart = 0;   // the read point in the window
  unsigned lookahead = 0;  // bytes from the read point on
  long blockStart = 0;     // the window position where the block began (< 0: slid out)
  unsigned matchStart = 0;
  unsigned matchLength = kMinMatch - 1;
  unsigned prevLength = kMinMatch - 1;
  unsigned prevMatch = 0;
  bool matchAvailable = false;

  // The block's symbols: a literal (dist 0) or a match (length - 3, distance).
  std::unique_ptr<uint8_t[]> symLc{new uint8_t[kBlockSymbols]};
  std::unique_ptr<uint16_t[]> symDist{new uint16_t[kBlockSymbols]};
  unsigned symCount = 0;
  uint32_t litFreq[kLitLenCodes] = {};
  uint32_t distFreq[kDistCodes] = {};

  // Output: whole bytes in `out`, up to 63 bits waiting in bitBuf.
  std::vector<uint8_t> out;
  size_t outLen = 0;
  uint64_t bitBuf = 0;
  unsigned bitCount = 0;
  uint64_t totalOut = 0;
  bool finished = false;

  void Reset() {
    std::fill(head.get(), head.get() + kHashSize, uint16_t{0});
    std::fill(prev.get(), prev.get() + kWSize, uint16_t{0});
    strstart = lookahead = 0;
    blockStart = 0;
    matchStart = prevMatch = 0;
    matchLength = prevLength = kMinMatch - 1;
    matchAvailable = false;
    symCount = 0;
    std::fill(std::begin(litFreq), std::end(litFreq), 0u);
    std::fill(std::begin(distFreq), std::end(distFreq), 0u);
    outLen = 0;
    bitBuf = 0;
    bitCount = 0;
    totalOut = 0;
    finished = false;
  }

  // -- bits --

  void Reserve(size_t bytes) {
    if (out.size() < outLen + bytes) out.resize(outLen + bytes + 4096);
  }
  // Appends `n` (<= 32) bits; room must have been reserved.
  inline void PutBits(uint32_t bits, unsigned n) {
    bitBuf |= uint64_t{bits} << bitCount;
    bitCount += n;
    if (bitCount >= 32) {
      uint32_t word = static_cast<uint32_t>(bitBuf);
      uint8_t* p = out.data() + outLen;
      p[0] = static_cast<uint8_t>(word);
      p[1] = static_cast<uint8_t>(word >> 8);
      p[2] = static_cast<uint8_t>(word >> 16);
      p[3] = static_cast<uint8_t>(word >> 24);
      outLen += 4;
      bitBuf >>= 32;
      bitCount -= 32;
    }
  }
  // Pads to a whole byte and moves every whole byte into `out`.
  void AlignToByte() {
    while (bitCount > 0) {
      out[outLen++] = static_cast<uint8_t>(bitBuf);
      bitBuf >>= 8;
      bitCount = bitCount >= 8 ? bitCount - 8 : 0;
    }
    bitBuf = 0;
  }
  bool Drain(const Sink& sink) {
    size_t done = 0;
    while (done < outLen) {
      size_t n = std::min<size_t>(kOutputChunk, outLen - done);
      if (!sink(out.data() + done, n)) return false;
      done += n;
    }
    totalOut += outLen;
    outLen = 0;
    return true;
  }

  // -- matching --

  inline unsigned Insert(unsigned pos) {
    unsigned h = Hash3(window.get() + pos);
    unsigned previous = head[h];
    prev[pos & kWMask] = static_cast<uint16_t>(previous);
    head[h] = static_cast<uint16_t>(pos);
    return previous;
  }

  unsigned LongestMatch(unsigned current) {
    unsigned chain = kMaxChain;
    if (prevLength >= kGoodLength) chain >>= 2;
    unsigned best = prevLength;
    unsigned nice = std::min(kNiceLength, lookahead);
    const unsigned limit = strstart > kMaxDist ? strstart - kMaxDist : 0;
    const uint8_t* w = window.get();
    const uint8_t* scan = w + strstart;
    // best >= 2 always; these two bytes must match for a longer match.
    uint16_t scanEnd;
    std::memcpy(&scanEnd, scan + best - 1, 2);
    const uint16_t scanStart = static_cast<uint16_t>(scan[0] | (scan[1] << 8));
    do {
      const uint8_t* m = w + current;
      uint16_t matchEnd, matchHead;
      std::memcpy(&matchEnd, m + best - 1, 2);
      if (matchEnd != scanEnd) continue;
      std::memcpy(&matchHead, m, 2);
      if (matchHead != (scanStart) || m[2] != scan[2]) continue;
      unsigned len = MatchLength(scan, m);
      if (len > best) {
        matchStart = current;
        best = len;
        if (len >= nice) break;
        std::memcpy(&scanEnd, scan + best - 1, 2);
      }
    } while ((current = prev[current & kWMask]) > limit && --chain != 0);
    return std::min(best, lookahead);
  }

  void Slide() {
    std::memcpy(window.get(), window.get() + kWSize, kWSize);
    matchStart = matchStart >= kWSize ? matchStart - kWSize : 0;
    prevMatch = prevMatch >= kWSize ? prevMatch - kWSize : 0;
    strstart -= kWSize;
    blockStart -= kWSize;
    for (unsigned i = 0; i < kHashSize; ++i) head[i] = head[i] >= kWSize ? head[i] - kWSize : 0;
    for (unsigned i = 0; i < kWSize; ++i) prev[i] = prev[i] >= kWSize ? prev[i] - kWSize : 0;
  }

  // -- symbols --

  inline bool TallyLiteral(uint8_t c) {
    symLc[symCount] = c;
    symDist[symCount] = 0;
    ++symCount;
    ++litFreq[c];
    return symCount == kBlockSymbols;
  }
  inline bool TallyMatch(unsigned distance, unsigned length) {
    symLc[symCount] = static_cast<uint8_t>(length - kMinMatch);
    symDist[symCount] = static_cast<uint16_t>(distance);
    ++symCount;
    ++litFreq[tables.lengthCode[length] + kEndBlock + 1];
    ++distFreq[DistCode(tables, distance - 1)];
    return symCount == kBlockSymbols;
  }

  // Compresses from the read point while the look-ahead is long enough
  // (all of it when `finish`), sending each full block.
  bool Run(bool finish, const Sink& sink) {
    for (;;) {
      if (lookahead < kMinLookahead && !finish) return true;
      if (lookahead == 0) break;
      unsigned candidate = 0;
      if (lookahead >= kMinMatch) candidate = Insert(strstart);

      prevLength = matchLength;
      prevMatch = matchStart;
      matchLength = kMinMatch - 1;
      if (candidate != 0 && prevLength < kMaxLazy && strstart - candidate <= kMaxDist) {
        matchLength = LongestMatch(candidate);
        if (matchLength == kMinMatch && strstart - matchStart > kTooFar)
          matchLength = kMinMatch - 1;
      }

      if (prevLength >= kMinMatch && matchLength <= prevLength) {
        // The match found at the byte before is at least as long: take it.
        const unsigned maxInsert = strstart + lookahead - kMinMatch;
        bool full = TallyMatch(strstart - 1 - prevMatch, prevLength);
        lookahead -= prevLength - 1;
        for (unsigned n = prevLength - 2; n > 0; --n)
          if (++strstart <= maxInsert) Insert(strstart);
        matchAvailable = false;
        matchLength = kMinMatch - 1;
        ++strstart;
        if (full && !SendBlock(false, sink)) return false;
      } else if (matchAvailable) {
        // The byte before goes as a literal; this one may start a match.
        bool full = TallyLiteral(window[strstart - 1]);
        if (full && !SendBlock(false, sink)) return false;
        ++strstart;
        --lookahead;
      } else {
        matchAvailable = true;
        ++strstart;
        --lookahead;
      }
    }
    if (matchAvailable) {
      TallyLiteral(window[strstart - 1]);
      matchAvailable = false;
    }
    return SendBlock(true, sink);
  }

  // -- blocks --

  // Bits of the block's symbols with the given code lengths.
  uint64_t DataBits(const uint8_t* litLen, const uint8_t* distLen) const {
    uint64_t bits = 0;
    for (int c = 0; c < kLitLenCodes; ++c) {
      bits += uint64_t{litFreq[c]} * litLen[c];
      if (c > kEndBlock) bits += uint64_t{litFreq[c]} * kLengthExtra[c - kEndBlock - 1];
    }
    for (int c = 0; c < kDistCodes; ++c) bits += uint64_t{distFreq[c]} * (distLen[c] + kDistExtra[c]);
    return bits;
  }

  struct CodeLengthSymbol {
    uint8_t symbol;
    uint8_t extra;
  };

  // The code lengths of both trees run-length coded (runs may go on from one
  // tree into the next).
  static void RunLengths(const uint8_t* seq, int n, std::vector<CodeLengthSymbol>& outSyms) {
    outSyms.clear();
    int i = 0;
    while (i < n) {
      const uint8_t v = seq[i];
      int run = 1;
      while (i + run < n && seq[i + run] == v) ++run;
      i += run;
      if (v == 0) {
        while (run >= 11) {
          int k = std::min(run, 138);
          outSyms.push_back({18, static_cast<uint8_t>(k - 11)});
          run -= k;
        }
        if (run >= 3) {
          outSyms.push_back({17, static_cast<uint8_t>(run - 3)});
          run = 0;
        }
      } else {
        outSyms.push_back({v, 0});
        --run;
        while (run >= 3) {
          int k = std::min(run, 6);
          outSyms.push_back({16, static_cast<uint8_t>(k - 3)});
          run -= k;
        }
      }
      for (; run > 0; --run) outSyms.push_back({v, 0});
    }
  }

  void SendSymbols(const uint8_t* litLen, const uint16_t* litCode, const uint8_t* distLen,
                   const uint16_t* distCode) {
    for (unsigned i = 0; i < symCount; ++i) {
      const unsigned lc = symLc[i];
      const unsigned dist = symDist[i];
      if (dist == 0) {
        PutBits(litCode[lc], litLen[lc]);
        continue;
      }
      const unsigned length = lc + kMinMatch;
      const unsigned code = tables.lengthCode[length];
      const unsigned sym = code + kEndBlock + 1;
      PutBits(litCode[sym] | ((length - kLengthBase[code]) << litLen[sym]),
              litLen[sym] + kLengthExtra[code]);
      const unsigned d = dist - 1;
      const unsigned dcode = DistCode(tables, d);
      PutBits(distCode[dcode] | ((d - (kDistBase[dcode] - 1)) << distLen[dcode]),
              distLen[dcode] + kDistExtra[dcode]);
    }
    PutBits(litCode[kEndBlock], litLen[kEndBlock]);
  }

  std::vector<CodeLengthSymbol> clSyms;

  bool SendBlock(bool last, const Sink& sink) {
    ++litFreq[kEndBlock];
    const size_t storedBytes =
        blockStart >= 0 ? static_cast<size_t>(static_cast<long>(strstart) - blockStart) : 0;

    // Codes of the block's own.
    uint8_t litLen[kLitLenCodes], distLen[kDistCodes];
    HuffmanCodeLengths(litFreq, kLitLenCodes, kMaxBits, litLen);
    HuffmanCodeLengths(distFreq, kDistCodes, kMaxBits, distLen);
    int hlit = kLitLenCodes;
    while (hlit > 257 && litLen[hlit - 1] == 0) --hlit;
    int hdist = kDistCodes;
    while (hdist > 1 && distLen[hdist - 1] == 0) --hdist;
    uint8_t seq[kLitLenCodes + kDistCodes];
    std::memcpy(seq, litLen, hlit);
    std::memcpy(seq + hlit, distLen, hdist);
    RunLengths(seq, hlit + hdist, clSyms);
    uint32_t blFreq[kBlCodes] = {};
    for (const auto& s : clSyms) ++blFreq[s.symbol];
    uint8_t blLen[kBlCodes];
    HuffmanCodeLengths(blFreq, kBlCodes, kMaxBlBits, blLen);
    int hclen = kBlCodes;
    while (hclen > 4 && blLen[kBlOrder[hclen - 1]] == 0) --hclen;

    uint64_t dynamicBits = 3 + 5 + 5 + 4 + 3 * uint64_t(hclen);
    for (int c = 0; c < kBlCodes; ++c) dynamicBits += uint64_t{blFreq[c]} * blLen[c];
    dynamicBits += 2 * uint64_t{blFreq[16]} + 3 * uint64_t{blFreq[17]} + 7 * uint64_t{blFreq[18]};
    dynamicBits += DataBits(litLen, distLen);
    const uint64_t fixedBits = 3 + DataBits(tables.fixedLitLen, tables.fixedDistLen);
    uint64_t storedBits = UINT64_MAX;
    if (blockStart >= 0) {
      // Each piece: its 3 header bits, the padding to a byte, LEN and NLEN.
      size_t pieces = std::max<size_t>(1, (storedBytes + kStoredMax - 1) / kStoredMax);
      unsigned firstPad = (8 - ((bitCount + 3) & 7)) & 7;
      storedBits = 3 + firstPad + 32 + (pieces - 1) * (3 + 5 + 32) + 8 * uint64_t(storedBytes);
    }

    Reserve(symCount * 6 + storedBytes + 5 * (storedBytes / kStoredMax + 1) + 1024);
    const unsigned final = last ? 1 : 0;
    if (storedBits <= std::min(fixedBits, dynamicBits)) {
      const uint8_t* data = window.get() + blockStart;
      size_t left = storedBytes;
      do {
        size_t n = std::min<size_t>(left, kStoredMax);
        left -= n;
        PutBits((left == 0 ? final : 0) | (0u << 1), 3);
        AlignToByte();
        uint8_t* p = out.data() + outLen;
        p[0] = static_cast<uint8_t>(n);
        p[1] = static_cast<uint8_t>(n >> 8);
        p[2] = static_cast<uint8_t>(~n);
        p[3] = static_cast<uint8_t>(~n >> 8);
        std::memcpy(p + 4, data, n);
        outLen += 4 + n;
        data += n;
      } while (left > 0);
    } else if (fixedBits <= dynamicBits) {
      PutBits(final | (1u << 1), 3);
      SendSymbols(tables.fixedLitLen, tables.fixedLitCode, tables.fixedDistLen,
                  tables.fixedDistCode);
    } else {
      uint16_t litCode[kLitLenCodes], distCode[kDistCodes], blCode[kBlCodes];
      MakeCodes(litLen, kLitLenCodes, litCode);
      MakeCodes(distLen, kDistCodes, distCode);
      MakeCodes(blLen, kBlCodes, blCode);
      PutBits(final | (2u << 1), 3);
      PutBits(hlit - 257, 5);
      PutBits(hdist - 1, 5);
      PutBits(hclen - 4, 4);
      for (int i = 0; i < hclen; ++i) PutBits(blLen[kBlOrder[i]], 3);
      for (const auto& s : clSyms) {
        PutBits(blCode[s.symbol], blLen[s.symbol]);
        if (s.symbol == 16) PutBits(s.extra, 2);
        if (s.symbol == 17) PutBits(s.extra, 3);
        if (s.symbol == 18) PutBits(s.extra, 7);
      }
      SendSymbols(litLen, litCode, distLen, distCode);
    }
    if (last) AlignToByte();

    blockStart = strstart;
    symCount = 0;
    std::fill(std::begin(litFreq), std::end(litFreq), 0u);
    std::fill(std::begin(distFreq), std::end(distFreq), 0u);
    return Drain(sink);
  }
};

Deflater::Deflater() : s_(std::make_unique<State>()) {}
Deflater::~Deflater() = default;

void Deflater::Reset() { s_->Reset(); }

uint64_t Deflater::TotalOut() const { return s_->totalOut; }

bool Deflater::Write(const void* data, size_t size, const Sink& sink) {
  State& s = *s_;
  if (s.finished) return false;
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    if (s.strstart + s.lookahead == 2 * kWSize) s.Slide();
    size_t room = 2 * kWSize - (s.strstart + s.lookahead);
    size_t n = std::min(room, size);
    std::memcpy(s.window.get() + s.strstart + s.lookahead, p, n);
    s.lookahead += static_cast<unsigned>(n);
    p += n;
    size -= n;
    if (s.lookahead >= kMinLookahead && !s.Run(false, sink)) return false;
  }
  return true;
}

bool Deflater::Finish(const Sink& sink) {
  State& s = *s_;
  if (s.finished) return false;
  s.finished = true;
  return s.Run(true, sink);
}

}  // namespace tarvex
