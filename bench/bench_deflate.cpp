// Our Deflate coder against zlib's level 8 (raw, window 15, memLevel 8) on
// the same inputs in one run: log text of a few MiB and a dump-like binary,
// both made from fixed seeds. The two coders run by turns (five rounds) and
// each side's time is its best round's, so other work on the machine weighs
// on both alike. Prints "ratio deflate_size_vs_zlib8 VALUE" (our compressed
// size over zlib's) and "ratio deflate_time_vs_zlib8 VALUE" (our time over
// zlib's), each with its target line. Exits 0 whether or not a target is met.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "bench/Report.h"
#include "crashreport/zip/Deflate.h"
#include "crashreport/zip/testing/Corpus.h"

namespace tarvex {
namespace {

using Bytes = testing::Bytes;
using Clock = std::chrono::steady_clock;

size_t Ours(Deflater& coder, const Bytes& in) {
  size_t out = 0;
  auto sink = [&](const uint8_t*, size_t n) {
    out += n;
    return true;
  };
  coder.Reset();
  // In the pieces the ZIP writer reads.
  for (size_t at = 0; at < in.size(); at += 16384)
    coder.Write(in.data() + at, std::min<size_t>(16384, in.size() - at), sink);
  coder.Finish(sink);
  return out;
}

size_t Zlib(const Bytes& in, Bytes& out) {
  z_stream z{};
  deflateInit2(&z, 8, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  out.resize(deflateBound(&z, in.size()));
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  const size_t n = z.total_out;
  deflateEnd(&z);
  return n;
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

}  // namespace
}  // namespace tarvex

int main() {
  using namespace tarvex;
  const std::vector<Bytes> inputs = {testing::LogText(20261210, 8 << 20),
                                     testing::DumpLike(20261210, 3200000)};
  Deflater coder;
  Bytes scratch;
  size_t oursSize = 0, zlibSize = 0;
  double oursBest = 1e9, zlibBest = 1e9;
  for (int round = 0; round < 5; ++round) {
    size_t o = 0, z = 0;
    auto t0 = Clock::now();
    for (const Bytes& in : inputs) o += Ours(coder, in);
    auto t1 = Clock::now();
    for (const Bytes& in : inputs) z += Zlib(in, scratch);
    auto t2 = Clock::now();
    oursBest = std::min(oursBest, Seconds(t0, t1));
    zlibBest = std::min(zlibBest, Seconds(t1, t2));
    oursSize = o;
    zlibSize = z;
  }
  size_t total = 0;
  for (const Bytes& in : inputs) total += in.size();
  std::printf("input %zu bytes: ours %zu bytes in %.3f s, zlib level 8 %zu bytes in %.3f s\n",
              total, oursSize, oursBest, zlibSize, zlibBest);
  bench::ReportRatio("deflate_size_vs_zlib8", double(oursSize) / double(zlibSize), 1.01);
  bench::ReportRatio("deflate_time_vs_zlib8", oursBest / zlibBest, 2.0);
  return 0;
}
