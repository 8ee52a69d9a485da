// Percentiles by nearest rank over every sample.
#include "bench/load/recorder.h"

#include <algorithm>
#include <cmath>

namespace pelorin::bench {
namespace {

double percentile_us(const std::vector<std::int64_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
  const std::size_t index = std::clamp<std::size_t>(rank, 1, sorted.size()) - 1;
  return static_cast<double>(sorted[index]) / 1000.0;
}

}  // namespace

Summary Recorder::summarise() {
  std::sort(samples_.begin(), samples_.end());
  Summary s;
  s.ops = samples_.size();
  s.errors = errors_;
  s.p50_us = percentile_us(samples_, 0.50);
  s.p99_us = percentile_us(samples_, 0.99);
  return s;
}

}  // namespace pelorin::bench
