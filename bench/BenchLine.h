// The one machine-readable line a benchmark prints per figure, beside its human output, for
// scripts/bench.sh to collect into its table:
//
//   BENCH <name> <figure> <baseline> <unit> <goal>
//
// name      one word naming the figure (letters, digits, '_', '.', '-')
// figure    the measured value, in unit
// baseline  the same quantity measured in the same run by the plain road the figure is compared
//           with, in the same unit; "-" when the figure has none
// unit      one word: us, ms, ns ... For a cost, the ratio figure / baseline says how many times
//           dearer the figure is than its baseline.
// goal      "<=N" or ">=N", on the ratio when there is a baseline, else on the figure; "-" for none
#pragma once
#include <cstdio>

inline void BenchLine(const char* name, double figure, double baseline, const char* unit, const char* goal) {
  if (baseline > 0) {
    std::printf("BENCH %s %.6g %.6g %s %s\n", name, figure, baseline, unit, goal ? goal : "-");
  } else {
    std::printf("BENCH %s %.6g - %s %s\n", name, figure, unit, goal ? goal : "-");
  }
  std::fflush(stdout);
}

// A figure without a baseline.
inline void BenchLine(const char* name, double figure, const char* unit) { BenchLine(name, figure, 0, unit, "-"); }
