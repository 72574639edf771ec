// Small timing helpers shared by the benchmark programs: best-of-N wall time and a table of
// Tessel figures beside the reference library's, with their ratio.
#ifndef TESSEL_BENCH_BENCH_UTIL_HPP_
#define TESSEL_BENCH_BENCH_UTIL_HPP_

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

namespace tessel::bench {

// Best of `rounds` runs of `fn`, in milliseconds.
inline double best_ms(int rounds, const std::function<void()>& fn) {
  double best = 1e300;
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    const auto end = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::milli>(end - start).count());
  }
  return best;
}

inline void print_header(const char* reference) {
  std::printf("%-44s %12s %12s %8s\n", "workload", "tessel ms", reference, "ratio");
}

// Ratio is Tessel's time over the reference's: below 1 means Tessel is faster.
inline void print_row(const std::string& workload, double tessel_ms, double reference_ms) {
  std::printf("%-44s %12.3f %12.3f %8.2f\n", workload.c_str(), tessel_ms, reference_ms,
              reference_ms > 0 ? tessel_ms / reference_ms : 0.0);
}

}  // namespace tessel::bench

#endif  // TESSEL_BENCH_BENCH_UTIL_HPP_
