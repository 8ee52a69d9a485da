// pelorin-load: the benchmark's load generator. One thread, one epoll loop,
// many connections; prints one JSON line with the run's figures on stdout.
#include <csignal>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "bench/load/idle.h"
#include "bench/load/one_shot.h"
#include "bench/load/options.h"
#include "bench/load/persistent.h"
#include "bench/load/result_line.h"
#include "bench/load/run_loop.h"
#include "bench/load/sockets.h"

namespace {

using namespace pelorin::bench;

Plan plan_of(const LoadOptions& o) {
  Plan plan;
  plan.target = loopback_endpoint(o.host, o.port);
  plan.protocol = o.protocol;
  plan.concurrency = o.concurrency;
  plan.sources = o.sources;
  plan.names = o.names;
  plan.window = o.window;
  plan.timeout_ns = static_cast<std::int64_t>(o.timeout * 1e9);
  plan.seed = o.seed;
  return plan;
}

int run(const LoadOptions& o) {
  const long limit = raise_open_file_limit();
  if (o.idle + o.concurrency + 64 > limit) {
    std::fprintf(stderr, "pelorin-load: %d connections need more than the open-file limit %ld\n",
                 o.idle + o.concurrency, limit);
    return 1;
  }
  const Plan plan = plan_of(o);
  Reactor reactor;
  Recorder recorder;
  IdleReport idle_report{o.idle, 0, 0};

  std::unique_ptr<IdleDevices> idle;
  if (o.idle > 0) {
    IdlePlan ip;
    ip.target = loopback_endpoint(o.host, o.idle_port);
    ip.protocol = o.protocol;
    ip.count = o.idle;
    ip.per_source = o.idle_per_source;
    ip.names = o.names;
    idle = std::make_unique<IdleDevices>(reactor, ip);
    const bool settled = settle(reactor, *idle, o.setup_timeout);
    idle_report.held = idle->held();
    if (!settled || idle->failed() > 0) {
      std::fprintf(stderr, "pelorin-load: %d of %d idle connections held (%d failed)\n",
                   idle->held(), o.idle, idle->failed());
      RunResult none;
      none.completed = false;
      std::printf("%s\n", result_line(o, none, idle_report).c_str());
      return 1;
    }
    // The driver waits for this line before it measures anything.
    std::fprintf(stderr, "pelorin-load: %d idle connections held\n", idle->held());
  }

  RunResult result;
  std::unique_ptr<StoreSource> source;
  std::unique_ptr<Workload> workload;
  switch (o.mode) {
    case Mode::lookups:
      workload = std::make_unique<OneShotLookups>(reactor, plan, recorder);
      break;
    case Mode::stores:
      source = std::make_unique<RandomStores>(o.names, o.seed);
      workload = std::make_unique<PersistentStores>(reactor, plan, recorder, *source);
      break;
    case Mode::fill:
      source = std::make_unique<FillStores>(o.names);
      workload = std::make_unique<PersistentStores>(reactor, plan, recorder, *source);
      break;
    case Mode::idle:
      break;
  }
  if (o.mode == Mode::fill) {
    result = run_to_end(reactor, *workload, recorder, o.duration, o.watch_pid);
  } else {
    result = run_timed(reactor, workload.get(), recorder, o.warmup, o.duration, o.watch_pid);
  }
  if (idle) idle_report.still_open = idle->still_open();
  std::printf("%s\n", result_line(o, result, idle_report).c_str());
  std::fflush(stdout);
  const bool idle_ok = !idle || idle_report.still_open == o.idle;
  return result.completed && idle_ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  stop_on_signals();
  ParsedLoadOptions parsed = parse_load_options(argc, argv);
  if (parsed.exit_status) return *parsed.exit_status;
  try {
    return run(parsed.options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pelorin-load: %s\n", e.what());
    return 1;
  }
}
