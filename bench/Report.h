// How the benchmarks print a measured ratio against its limit: "ratio NAME
// VALUE" and "target NAME MAX PASS|FAIL", flushed at once.
#pragma once

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

}  // namespace tarvex::bench
