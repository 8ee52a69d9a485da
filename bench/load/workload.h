// What the run loop drives: a set of clients that keep requests going until
// stopped, and the settings they share.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "bench/load/protocol.h"

namespace pelorin::bench {

struct Plan {
  sockaddr_in target{};
  Protocol protocol = Protocol::pelorin;
  int concurrency = 64;
  int sources = 1;             // clients spread over 127.0.0.1 .. 127.0.0.<sources>
  std::uint64_t names = 100;   // requests name dev000000 .. dev<names - 1>
  int window = 1;              // requests outstanding per persistent connection
  std::int64_t timeout_ns = 5'000'000'000;
  std::uint64_t seed = 1;
};

class Workload {
 public:
  virtual ~Workload() = default;
  virtual void start(std::int64_t now) = 0;
  // Called on every turn of the loop: time-outs and reconnects.
  virtual void tick(std::int64_t now) = 0;
  // Closes every connection.
  virtual void stop() = 0;
  // A workload with a fixed amount of work (the fill) says when it is done.
  [[nodiscard]] virtual bool finished() const { return false; }
};

}  // namespace pelorin::bench
