// The Deflate coder against zlib's inflater (the judge of what a valid stream
// is) and against zlib's own coder at the same settings (how small ours is).
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "crashreport/zip/Crc32.h"
#include "crashreport/zip/Deflate.h"
#include "crashreport/zip/testing/Corpus.h"

namespace tarvex {
namespace {

using testing::Bytes;

// Our stream of `in`, fed in pieces of the sizes `pieces` gives in turn
// (all at once when empty).
Bytes Compress(const Bytes& in, const std::vector<size_t>& pieces = {},
               Deflater* coder = nullptr) {
  Deflater own;
  Deflater& d = coder ? *coder : own;
  d.Reset();
  Bytes out;
  auto sink = [&](const uint8_t* p, size_t n) {
    EXPECT_LE(n, Deflater::kOutputChunk);
    out.insert(out.end(), p, p + n);
    return true;
  };
  size_t at = 0, k = 0;
  while (at < in.size()) {
    size_t n = pieces.empty() ? in.size() : std::min(pieces[k++ % pieces.size()], in.size() - at);
    EXPECT_TRUE(d.Write(in.data() + at, n, sink));
    at += n;
  }
  EXPECT_TRUE(d.Finish(sink));
  EXPECT_EQ(d.TotalOut(), out.size());
  return out;
}

// zlib's raw inflate of `stream`; fails the test unless the stream ends
// exactly at its last byte and gives `expected`.
void ExpectInflatesTo(const Bytes& stream, const Bytes& expected) {
  z_stream z{};
  ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
  Bytes out(expected.size() + 1);
  z.next_in = const_cast<Bytes::value_type*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&z, Z_FINISH);
  EXPECT_EQ(rc, Z_STREAM_END) << (z.msg ? z.msg : "");
  EXPECT_EQ(z.avail_in, 0u) << "bytes after the end of the stream";
  out.resize(z.total_out);
  inflateEnd(&z);
  EXPECT_TRUE(out == expected) << "inflated " << out.size() << " bytes, expected "
                               << expected.size();
}

// zlib's level 8 (raw, window 15, memLevel 8) size of `in`.
size_t ZlibSize(const Bytes& in) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 8, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&z, in.size()));
  z.next_in = const_cast<Bytes::value_type*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  size_t n = z.total_out;
  deflateEnd(&z);
  return n;
}

Bytes Random(uint64_t seed, size_t n) {
  std::mt19937_64 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = uint8_t(rng());
  return b;
}

// Random bytes with the block [0, length) repeated `distance` bytes later.
Bytes RepeatAt(size_t distance, size_t length) {
  Bytes b = Random(distance * 31 + length, distance + length + 100);
  std::copy(b.begin(), b.begin() + length, b.begin() + distance);
  return b;
}

Bytes Same(size_t n, uint8_t c = 'a') { return Bytes(n, c); }

unsigned FirstBlockType(const Bytes& stream) { return (stream.at(0) >> 1) & 3; }

TEST(Deflate, InflatesWithZlibByteForByteAtTheEdges) {
  const Bytes log = testing::LogText(1, 70000);
  struct Case {
    std::string name;
    Bytes in;
  };
  std::vector<Case> cases = {
      {"empty", {}},
      {"one byte", {'x'}},
      {"two bytes", {'x', 'y'}},
      {"three bytes", {'x', 'y', 'z'}},
      {"258 equal", Same(258)},
      {"259 equal", Same(259)},
      {"match of 3", RepeatAt(100, 3)},
      {"match of 257", RepeatAt(1000, 257)},
      {"match of 258", RepeatAt(1000, 258)},
      {"match of 259", RepeatAt(1000, 259)},
      {"distance 1", Same(5000, 0)},
      {"distance 4096", RepeatAt(4096, 3)},
      {"distance 4097", RepeatAt(4097, 3)},
      {"distance 4097, longer", RepeatAt(4097, 40)},
      {"longest distance", RepeatAt(32506, 300)},
      {"past the window", RepeatAt(32768, 300)},
      {"far past the window", RepeatAt(40000, 300)},
  };
  for (size_t n : {16383, 16384, 16385, 32767, 32768, 32769, 65535, 65536, 65537}) {
    cases.push_back({"log " + std::to_string(n), Bytes(log.begin(), log.begin() + n)});
    cases.push_back({"random " + std::to_string(n), Random(n, n)});
    cases.push_back({"zeros " + std::to_string(n), Same(n, 0)});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectInflatesTo(Compress(c.in), c.in);
  }
}

TEST(Deflate, EmptyInputIsOneEmptyFinalBlock) {
  EXPECT_EQ(Compress({}), (Bytes{0x03, 0x00}));
}

// Sizes against zlib level 8 on the large corpora, with bounds that a
// weaker search (greedy, level 6, fixed codes only) would pass.
TEST(Deflate, ComparesWithZlibLevel8) {
  struct Case {
    const char* name;
    Bytes in;
    double maxRatio;  // of our size over zlib's
    size_t slack;
  };
  const Case cases[] = {
      {"log text", testing::LogText(7, 2 << 20), 1.01, 0},
      {"dump-like", testing::DumpLike(7, 2 << 20), 1.02, 0},
      {"zeros", Same(8 << 20, 0), 1.1, 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes ours = Compress(c.in);
    ExpectInflatesTo(ours, c.in);
    size_t theirs = ZlibSize(c.in);
    EXPECT_LE(double(ours.size()), c.maxRatio * double(theirs) + double(c.slack))
        << "ours " << ours.size() << ", zlib " << theirs;
  }
  // Noise never grows by more than the stored blocks' headers.
  const size_t n = 1 << 20;
  Bytes noise = Random(3, n);
  Bytes ours = Compress(noise);
  ExpectInflatesTo(ours, noise);
  EXPECT_LE(ours.size(), n + 5 * ((n + 16383) / 16384) + 16);
}

TEST(Deflate, ChoosesEachBlockType) {
  EXPECT_EQ(FirstBlockType(Compress({'a', 'b', 'c'})), 1u);  // fixed codes
  const Bytes noise = Random(5, 1 << 20);
  const Bytes stored = Compress(noise);
  EXPECT_EQ(FirstBlockType(stored), 0u);
  // Every block of noise is stored: walk them, each within its limit.
  size_t at = 0, total = 0;
  bool last = false;
  while (!last) {
    ASSERT_LT(at + 4, stored.size());
    last = stored[at] & 1;
    ASSERT_EQ((stored[at] >> 1) & 3, 0) << "at " << at;
    size_t len = stored[at + 1] | (stored[at + 2] << 8);
    size_t nlen = stored[at + 3] | (stored[at + 4] << 8);
    ASSERT_EQ(len ^ 0xFFFF, nlen);
    ASSERT_LE(len, 65535u);
    ASSERT_TRUE(std::equal(noise.begin() + total, noise.begin() + total + len,
                           stored.begin() + at + 5));
    total += len;
    at += 5 + len;
  }
  EXPECT_EQ(at, stored.size());
  EXPECT_EQ(total, noise.size());
  EXPECT_EQ(FirstBlockType(Compress(testing::LogText(2, 200000))), 2u);  // codes of its own
}

// A seeded mix of inputs, compressed in pieces of random sizes: every one
// inflates back, and pieces never change the output.
TEST(Deflate, RandomInputsRoundTrip) {
  const char* given = std::getenv("TARVEX_TEST_SEED");
  const uint64_t seed = given ? std::strtoull(given, nullptr, 10) : std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (TARVEX_TEST_SEED to repeat)");
  std::mt19937_64 rng(seed);
  Deflater reused;
  for (int round = 0; round < 100; ++round) {
    size_t n = rng() % 4 == 0 ? rng() % 200000 : rng() % 20000;
    Bytes in;
    in.reserve(n);
    while (in.size() < n) {
      size_t len = 1 + rng() % 5000;
      switch (rng() % 5) {
        case 0:  // noise
          for (size_t i = 0; i < len; ++i) in.push_back(uint8_t(rng()));
          break;
        case 1: {  // a small alphabet
          unsigned k = 2 + rng() % 6;
          for (size_t i = 0; i < len; ++i) in.push_back(uint8_t('a' + rng() % k));
          break;
        }
        case 2:  // a run
          in.insert(in.end(), len, uint8_t(rng()));
          break;
        case 3: {  // a period
          size_t period = 1 + rng() % 300;
          for (size_t i = 0; i < len; ++i)
            in.push_back(in.size() > period ? in[in.size() - period] : uint8_t(rng()));
          break;
        }
        default: {  // text
          Bytes t = testing::LogText(rng(), len);
          in.insert(in.end(), t.begin(), t.end());
        }
      }
    }
    in.resize(n);
    SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(n) + " bytes");
    std::vector<size_t> pieces;
    for (int i = 0; i < 4; ++i) pieces.push_back(1 + rng() % (rng() % 2 ? 7 : 70000));
    Bytes whole = Compress(in, {}, &reused);
    ExpectInflatesTo(whole, in);
    ASSERT_TRUE(Compress(in, pieces) == whole) << "pieces changed the output";
    if (HasFailure()) return;
  }
}

TEST(Deflate, OutputDoesNotDependOnPiecesOrReuse) {
  const Bytes in = testing::DumpLike(9, 300000);
  const Bytes whole = Compress(in);
  for (std::vector<size_t> pieces : {std::vector<size_t>{1}, {3, 7, 11}, {262}, {65536}, {99999}}) {
    SCOPED_TRACE("first piece " + std::to_string(pieces[0]));
    EXPECT_TRUE(Compress(in, pieces) == whole);
  }
  Deflater d;
  Compress(testing::LogText(1, 100000), {}, &d);
  EXPECT_TRUE(Compress(in, {}, &d) == whole);
}

TEST(Deflate, FailingSinkStopsTheCoder) {
  Deflater d;
  const Bytes in = Random(1, 200000);
  bool fail = false;
  int calls = 0;
  auto sink = [&](const uint8_t*, size_t) {
    ++calls;
    return !fail;
  };
  fail = true;
  bool ok = d.Write(in.data(), in.size(), sink) && d.Finish(sink);
  EXPECT_FALSE(ok);
  EXPECT_GE(calls, 1);
}

// ---- Code lengths -------------------------------------------------------------

double KraftSum(const std::vector<uint8_t>& lengths) {
  double sum = 0;
  for (uint8_t l : lengths)
    if (l) sum += std::ldexp(1.0, -l);
  return sum;
}

TEST(HuffmanCodeLengths, LimitsSkewedFrequencies) {
  struct Case {
    int symbols;
    int maxBits;
  };
  for (Case c : {Case{30, 15}, Case{286, 15}, Case{19, 7}, Case{25, 7}}) {
    SCOPED_TRACE(std::to_string(c.symbols) + " symbols, " + std::to_string(c.maxBits) + " bits");
    std::vector<uint32_t> freqs(c.symbols);
    uint32_t a = 1, b = 1;
    for (auto& f : freqs) {  // Fibonacci: the unlimited code is as deep as it can be
      f = a;
      uint32_t next = std::min<uint64_t>(uint64_t(a) + b, 1u << 30);
      a = b;
      b = next;
    }
    std::vector<uint8_t> lengths(c.symbols);
    HuffmanCodeLengths(freqs.data(), c.symbols, c.maxBits, lengths.data());
    for (int i = 0; i < c.symbols; ++i) {
      EXPECT_GE(lengths[i], 1) << i;
      EXPECT_LE(lengths[i], c.maxBits) << i;
    }
    EXPECT_DOUBLE_EQ(KraftSum(lengths), 1.0);
  }
}

TEST(HuffmanCodeLengths, AlwaysTwoCodes) {
  struct Case {
    std::vector<uint32_t> freqs;
    std::vector<uint8_t> lengths;
  };
  const Case cases[] = {
      {{0, 0, 0, 0}, {1, 1, 0, 0}},
      {{0, 0, 9, 0}, {1, 0, 1, 0}},
      {{9, 0, 0, 0}, {1, 1, 0, 0}},
      {{0, 3, 0, 5}, {0, 1, 0, 1}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> lengths(c.freqs.size());
    HuffmanCodeLengths(c.freqs.data(), int(c.freqs.size()), 15, lengths.data());
    EXPECT_EQ(lengths, c.lengths);
  }
}

// Random frequencies: every used symbol has a code, the code is complete,
// within its limit, and as short in total as an unlimited Huffman code when
// that one fits.
TEST(HuffmanCodeLengths, RandomFrequenciesGiveCompleteOptimalCodes) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 500; ++round) {
    int n = 2 + int(rng() % 285);
    int maxBits = rng() % 2 ? 15 : 9;
    std::vector<uint32_t> freqs(n);
    for (auto& f : freqs) f = rng() % 3 == 0 ? 0 : uint32_t(1 + rng() % (rng() % 2 ? 10 : 100000));
    std::vector<uint8_t> lengths(n), unlimited(n);
    HuffmanCodeLengths(freqs.data(), n, maxBits, lengths.data());
    HuffmanCodeLengths(freqs.data(), n, 60, unlimited.data());
    int used = 0;
    uint64_t cost = 0, best = 0;
    uint8_t deepest = 0;
    for (int i = 0; i < n; ++i) {
      if (freqs[i]) {
        ++used;
        ASSERT_GE(lengths[i], 1);
      }
      ASSERT_LE(lengths[i], maxBits);
      cost += uint64_t(freqs[i]) * lengths[i];
      best += uint64_t(freqs[i]) * unlimited[i];
      deepest = std::max(deepest, unlimited[i]);
    }
    if (used >= 2) {
      ASSERT_DOUBLE_EQ(KraftSum(lengths), 1.0) << "round " << round;
    }
    if (deepest <= maxBits) {
      ASSERT_EQ(cost, best) << "round " << round;
    }
  }
}

// ---- CRC-32 -------------------------------------------------------------------

TEST(Crc32, MatchesTheCheckValueAndZlibInPieces) {
  const std::string check = "123456789";
  EXPECT_EQ(Crc32(0, check.data(), check.size()), 0xCBF43926u);
  EXPECT_EQ(Crc32(0, nullptr, 0), 0u);
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 50; ++round) {
    Bytes b = Random(rng(), rng() % 5000);
    uint32_t ours = 0;
    size_t at = 0;
    while (at < b.size()) {
      size_t n = std::min<size_t>(1 + rng() % 20, b.size() - at);
      ours = Crc32(ours, b.data() + at, n);
      at += n;
    }
    ASSERT_EQ(ours, crc32(0, b.data(), uInt(b.size()))) << "round " << round;
  }
}

}  // namespace
}  // namespace tarvex
