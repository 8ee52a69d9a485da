// Lookups with a new connection each: connect, send one request, read the
// reply (the registry's until it closes the connection; Redis's until the bulk
// string is whole, then the client closes), and start over with another name.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bench/load/names.h"
#include "bench/load/reactor.h"
#include "bench/load/recorder.h"
#include "bench/load/workload.h"

namespace pelorin::bench {

class OneShotLookups final : public Workload {
 public:
  OneShotLookups(Reactor& reactor, const Plan& plan, Recorder& recorder);
  ~OneShotLookups() override;

  void start(std::int64_t now) override;
  void tick(std::int64_t now) override;
  void stop() override;

 private:
  struct Client;
  void begin(Client& c, std::int64_t now);
  void event(Client& c, std::uint32_t events);
  void finish(Client& c, Outcome outcome, std::int64_t now);

  Reactor& reactor_;
  Plan plan_;
  Recorder& recorder_;
  Random random_;
  std::vector<std::unique_ptr<Client>> clients_;
  bool stopped_ = false;
};

}  // namespace pelorin::bench
