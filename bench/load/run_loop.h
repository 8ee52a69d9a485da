// The load generator's main loop: set up idle connections, warm up, measure for
// a fixed time (or until a fill is done), and sample the server meanwhile.
#pragma once

#include "bench/load/idle.h"
#include "bench/load/reactor.h"
#include "bench/load/recorder.h"
#include "bench/load/workload.h"

namespace pelorin::bench {

struct RunResult {
  Summary summary;
  double seconds = 0;         // measured seconds
  long server_rss_kib = -1;   // at the end of the measured time
  double server_cpu = -1;     // cores the server used while measured
  double load_cpu = 0;        // cores this process used while measured
  bool completed = true;      // false: the fill did not finish in time
};

// SIGTERM and SIGINT end the run early, as if its time were up.
void stop_on_signals();

// Runs the loop until every idle connection is held or has failed; false when
// `timeout_s` passes first.
bool settle(Reactor& reactor, IdleDevices& idle, double timeout_s);

// `workload` may be null: then the loop only holds what is open.
RunResult run_timed(Reactor& reactor, Workload* workload, Recorder& recorder, double warmup_s,
                    double duration_s, int watch_pid);

RunResult run_to_end(Reactor& reactor, Workload& workload, Recorder& recorder, double timeout_s,
                     int watch_pid);

}  // namespace pelorin::bench
