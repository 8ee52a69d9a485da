// The one machine-readable line a run prints: a JSON object on one line.
#pragma once

#include <string>

#include "bench/load/options.h"
#include "bench/load/run_loop.h"

namespace pelorin::bench {

struct IdleReport {
  int requested = 0;
  int held = 0;
  int still_open = 0;
};

[[nodiscard]] std::string result_line(const LoadOptions& options, const RunResult& result,
                                      const IdleReport& idle);

}  // namespace pelorin::bench
