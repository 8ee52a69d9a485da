// The timed and the run-to-end loops.
#include "bench/load/run_loop.h"

#include <csignal>

#include "bench/load/proc_stats.h"

namespace pelorin::bench {
namespace {

constexpr int kPollMs = 5;

volatile std::sig_atomic_t g_stop = 0;

void request_stop(int) { g_stop = 1; }

std::int64_t seconds_ns(double s) { return static_cast<std::int64_t>(s * 1e9); }

struct Sampler {
  int pid;
  std::int64_t started = now_ns();
  double server_cpu = pid > 0 ? cpu_seconds(pid) : -1;
  double own_cpu = own_cpu_seconds();

  void finish(RunResult& r) const {
    r.seconds = static_cast<double>(now_ns() - started) / 1e9;
    if (r.seconds <= 0) return;
    r.load_cpu = (own_cpu_seconds() - own_cpu) / r.seconds;
    if (pid > 0) {
      r.server_rss_kib = resident_kib(pid);
      const double cpu = cpu_seconds(pid);
      if (cpu >= 0 && server_cpu >= 0) r.server_cpu = (cpu - server_cpu) / r.seconds;
    }
  }
};

}  // namespace

void stop_on_signals() {
  std::signal(SIGTERM, request_stop);
  std::signal(SIGINT, request_stop);
}

bool settle(Reactor& reactor, IdleDevices& idle, double timeout_s) {
  const std::int64_t deadline = now_ns() + seconds_ns(timeout_s);
  idle.tick();
  while (!idle.settled()) {
    if (now_ns() > deadline || g_stop != 0) return false;
    reactor.poll(kPollMs);
    idle.tick();
  }
  return true;
}

RunResult run_timed(Reactor& reactor, Workload* workload, Recorder& recorder, double warmup_s,
                    double duration_s, int watch_pid) {
  const std::int64_t begin = now_ns();
  const std::int64_t measure_from = begin + seconds_ns(warmup_s);
  const std::int64_t end = measure_from + seconds_ns(duration_s);
  if (workload != nullptr) workload->start(begin);
  for (std::int64_t now = begin; now < measure_from && g_stop == 0; now = now_ns()) {
    reactor.poll(kPollMs);
    if (workload != nullptr) workload->tick(now_ns());
  }
  recorder.set_measuring(true);
  const Sampler sampler{watch_pid};
  for (std::int64_t now = now_ns(); now < end && g_stop == 0; now = now_ns()) {
    reactor.poll(kPollMs);
    if (workload != nullptr) workload->tick(now_ns());
  }
  recorder.set_measuring(false);
  RunResult r;
  sampler.finish(r);
  if (workload != nullptr) workload->stop();
  r.summary = recorder.summarise();
  return r;
}

RunResult run_to_end(Reactor& reactor, Workload& workload, Recorder& recorder, double timeout_s,
                     int watch_pid) {
  const std::int64_t deadline = now_ns() + seconds_ns(timeout_s);
  recorder.set_measuring(true);
  const Sampler sampler{watch_pid};
  workload.start(now_ns());
  while (!workload.finished() && now_ns() < deadline && g_stop == 0) {
    reactor.poll(kPollMs);
    workload.tick(now_ns());
  }
  recorder.set_measuring(false);
  RunResult r;
  sampler.finish(r);
  r.completed = workload.finished();
  workload.stop();
  r.summary = recorder.summarise();
  return r;
}

}  // namespace pelorin::bench
