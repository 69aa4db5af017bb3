// How the benchmarks print a measured ratio against its limit: "ratio NAME
// VALUE" and "target NAME MAX PASS|FAIL", flushed at once.
#pragma once

#include <cstddef>
#include <cstdio>

namespace tarvex::bench {

// True when the ratio is within its limit.
inline bool ReportRatio(const char* name, double value, double max) {
  const bool pass = value <= max;
  std::printf("ratio %s %.2f\n", name, value);
  std::printf("target %s %.1f %s\n", name, max, pass ? "PASS" : "FAIL");
  std::fflush(stdout);
  return pass;
}

// Measures and reports each ratio of a table (members `name` and `max`),
// then how many missed their limits; that count is returned.
template <typename Ratio, size_t N, typename Measure>
int ReportRatios(const Ratio (&ratios)[N], Measure measure) {
  int missed = 0;
  for (const Ratio& r : ratios)
    if (!ReportRatio(r.name, measure(r), r.max)) ++missed;
  std::printf("ratios missed: %d of %zu\n", missed, N);
  return missed;
}

}  // namespace tarvex::bench
