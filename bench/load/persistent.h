// Stores over persistent connections: each connection keeps up to `window`
// requests outstanding and sends the next as replies come back, in order. The
// source decides what is stored: random names with fresh addresses, or every
// name once (the fill).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "bench/load/names.h"
#include "bench/load/reactor.h"
#include "bench/load/recorder.h"
#include "bench/load/workload.h"

namespace pelorin::bench {

class StoreSource {
 public:
  virtual ~StoreSource() = default;
  // The next name and address to store; false when there is nothing more.
  virtual bool next(std::string& name, net::AddressBytes& address) = 0;
};

// Random names of the N, each with a new random address; never runs out.
class RandomStores final : public StoreSource {
 public:
  RandomStores(std::uint64_t names, std::uint64_t seed) : names_(names), random_(seed) {}
  bool next(std::string& name, net::AddressBytes& address) override;

 private:
  std::uint64_t names_;
  Random random_;
};

// Every name once, with its fill address.
class FillStores final : public StoreSource {
 public:
  explicit FillStores(std::uint64_t names) : names_(names) {}
  bool next(std::string& name, net::AddressBytes& address) override;

 private:
  std::uint64_t names_;
  std::uint64_t next_ = 0;
};

class PersistentStores final : public Workload {
 public:
  PersistentStores(Reactor& reactor, const Plan& plan, Recorder& recorder, StoreSource& source);
  ~PersistentStores() override;

  void start(std::int64_t now) override;
  void tick(std::int64_t now) override;
  void stop() override;
  [[nodiscard]] bool finished() const override;

 private:
  struct Link;
  void open(Link& link, std::int64_t now);
  void event(Link& link, std::uint32_t events);
  void read_replies(Link& link);
  void send_more(Link& link);
  void fail(Link& link, std::int64_t now);

  Reactor& reactor_;
  Plan plan_;
  Recorder& recorder_;
  StoreSource& source_;
  bool exhausted_ = false;
  bool stopped_ = false;
  std::vector<std::unique_ptr<Link>> links_;
};

}  // namespace pelorin::bench
