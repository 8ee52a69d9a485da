// Formats the result line.
#include "bench/load/result_line.h"

#include <cstdio>

namespace pelorin::bench {

std::string result_line(const LoadOptions& o, const RunResult& r, const IdleReport& idle) {
  const double ops_per_s =
      r.seconds > 0 ? static_cast<double>(r.summary.ops) / r.seconds : 0.0;
  char text[768];
  std::snprintf(
      text, sizeof text,
      "{\"mode\":\"%s\",\"protocol\":\"%s\",\"port\":%u,\"concurrency\":%d,\"window\":%d,"
      "\"names\":%llu,\"seconds\":%.3f,\"ops\":%llu,\"ops_per_s\":%.1f,\"p50_us\":%.1f,"
      "\"p99_us\":%.1f,\"errors\":%llu,\"completed\":%s,\"idle\":%d,\"idle_held\":%d,"
      "\"idle_open\":%d,\"server_rss_kib\":%ld,\"server_cpu\":%.3f,\"load_cpu\":%.3f}",
      o.mode_name.c_str(), o.protocol == Protocol::redis ? "redis" : "pelorin",
      static_cast<unsigned>(o.port), o.concurrency, o.window,
      static_cast<unsigned long long>(o.names), r.seconds,
      static_cast<unsigned long long>(r.summary.ops), ops_per_s, r.summary.p50_us,
      r.summary.p99_us, static_cast<unsigned long long>(r.summary.errors),
      r.completed ? "true" : "false", idle.requested, idle.held, idle.still_open,
      r.server_rss_kib, r.server_cpu, r.load_cpu);
  return text;
}

}  // namespace pelorin::bench
