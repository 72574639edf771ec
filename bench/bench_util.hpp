// Small helpers shared by the benchmark programs: best-of-N wall time, a table of Tessel figures
// beside the reference library's with their ratio, and a scratch directory.
#ifndef TESSEL_BENCH_BENCH_UTIL_HPP_
#define TESSEL_BENCH_BENCH_UTIL_HPP_

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

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

// A fresh directory <parent>/<prefix>.XXXXXX, removed however the program ends; by default it
// is made the working directory (the shipped configuration logs to ./tessel.log, which stays
// there). path() is empty when it could not be made or entered.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix, const std::string& parent = "/tmp",
                      bool enter = true) {
    std::string name = parent + "/" + prefix + ".XXXXXX";
    if (::mkdtemp(name.data()) == nullptr) {
      std::perror("mkdtemp");
      return;
    }
    path_ = name;
    if (enter && ::chdir(path_.c_str()) != 0) {
      std::perror("chdir");
      remove();
    }
  }
  ~ScratchDir() { remove(); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  void remove() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    path_.clear();
  }

  std::string path_;
};

}  // namespace tessel::bench

#endif  // TESSEL_BENCH_BENCH_UTIL_HPP_
