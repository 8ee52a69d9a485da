// Latencies and errors of the measured part of a run, and their summary
// (operations, p50 and p99). Nothing is kept while warming up.
#pragma once

#include <cstdint>
#include <ctime>
#include <vector>

namespace pelorin::bench {

// Monotonic time in nanoseconds.
inline std::int64_t now_ns() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

struct Summary {
  std::uint64_t ops = 0;
  std::uint64_t errors = 0;
  double p50_us = 0;
  double p99_us = 0;
};

class Recorder {
 public:
  Recorder() { samples_.reserve(1 << 20); }

  void set_measuring(bool on) { measuring_ = on; }
  [[nodiscard]] bool measuring() const { return measuring_; }

  void ok(std::int64_t latency_ns) {
    if (measuring_) samples_.push_back(latency_ns);
  }
  void error() {
    if (measuring_) ++errors_;
  }

  // Sorts the samples; call once, at the end.
  [[nodiscard]] Summary summarise();

 private:
  bool measuring_ = false;
  std::vector<std::int64_t> samples_;
  std::uint64_t errors_ = 0;
};

}  // namespace pelorin::bench
