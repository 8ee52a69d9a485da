// Idle devices: K registration connections from several loopback source
// addresses (127.0.0.2, .3, ...), each stores one entry (an existing name with
// its fill address, so the data does not change) and then stays open, silent,
// while another workload runs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/load/reactor.h"
#include "bench/load/workload.h"

namespace pelorin::bench {

struct IdlePlan {
  sockaddr_in target{};
  Protocol protocol = Protocol::pelorin;
  int count = 0;
  int first_source = 2;      // 127.0.0.<first_source> for the first connections
  int per_source = 2500;     // connections per source address
  std::uint64_t names = 100;
  int in_flight = 256;       // connections being set up at once
};

class IdleDevices {
 public:
  IdleDevices(Reactor& reactor, const IdlePlan& plan);
  ~IdleDevices();

  // Opens more connections, up to the in-flight limit; call on every turn.
  void tick();
  // Every connection is either held or failed.
  [[nodiscard]] bool settled() const { return held_ + failed_ == plan_.count; }
  [[nodiscard]] int held() const { return held_; }
  [[nodiscard]] int failed() const { return failed_; }
  // Held connections the server has not closed.
  [[nodiscard]] int still_open() const;

 private:
  struct Device;
  void event(Device& d, std::uint32_t events);
  void settle(Device& d, bool ok);

  Reactor& reactor_;
  IdlePlan plan_;
  std::vector<std::unique_ptr<Device>> devices_;
  int started_ = 0;
  int setting_up_ = 0;
  int held_ = 0;
  int failed_ = 0;
};

}  // namespace pelorin::bench
