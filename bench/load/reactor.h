// A minimal epoll loop. Each descriptor is watched edge-triggered for both
// directions and tagged with its handler and the handler's connection
// generation, so an event that belongs to an already closed connection is dropped.
#pragma once

#include <cstdint>
#include <vector>

namespace pelorin::bench {

class Reactor {
 public:
  class Handler {
   public:
    virtual void on_event(std::uint32_t events) = 0;
    // Bumped by the handler whenever it opens a new connection.
    std::uint32_t generation = 0;
    std::uint32_t slot = UINT32_MAX;  // the reactor's number for the handler

   protected:
    ~Handler() = default;
  };

  Reactor();
  Reactor(const Reactor&) = delete;
  Reactor& operator=(const Reactor&) = delete;
  ~Reactor();

  // Watches `fd` for the handler's current generation.
  void watch(int fd, Handler& handler);
  // Stops watching; closing the descriptor does the same.
  void forget(int fd);
  // Waits up to timeout_ms and dispatches what came.
  void poll(int timeout_ms);

 private:
  int epoll_fd_;
  std::vector<Handler*> handlers_;
};

}  // namespace pelorin::bench
