// What /proc and getrusage tell about a process: resident memory and CPU time,
// to show how much of a core the server and the load generator used.
#pragma once

namespace pelorin::bench {

// VmRSS of a process in KiB; -1 when it cannot be read.
[[nodiscard]] long resident_kib(int pid);
// User plus system CPU seconds of a process (all its threads); -1 when unknown.
[[nodiscard]] double cpu_seconds(int pid);
// The same for this process.
[[nodiscard]] double own_cpu_seconds();

}  // namespace pelorin::bench
