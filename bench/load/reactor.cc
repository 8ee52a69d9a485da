// The epoll loop behind the load generator.
#include "bench/load/reactor.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace pelorin::bench {

Reactor::Reactor() : epoll_fd_(::epoll_create1(EPOLL_CLOEXEC)) {
  if (epoll_fd_ < 0) throw std::system_error(errno, std::system_category(), "epoll_create1");
}

Reactor::~Reactor() { ::close(epoll_fd_); }

void Reactor::watch(int fd, Handler& handler) {
  if (handler.slot == UINT32_MAX) {
    handler.slot = static_cast<std::uint32_t>(handlers_.size());
    handlers_.push_back(&handler);
  }
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  ev.data.u64 = (static_cast<std::uint64_t>(handler.generation) << 32) | handler.slot;
  if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    throw std::system_error(errno, std::system_category(), "epoll_ctl");
  }
}

void Reactor::forget(int fd) { (void)::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr); }

void Reactor::poll(int timeout_ms) {
  epoll_event events[256];
  const int n = ::epoll_wait(epoll_fd_, events, 256, timeout_ms);
  for (int i = 0; i < n; ++i) {
    const std::uint64_t tag = events[i].data.u64;
    Handler* handler = handlers_[static_cast<std::uint32_t>(tag)];
    if (handler->generation != static_cast<std::uint32_t>(tag >> 32)) continue;
    handler->on_event(events[i].events);
  }
}

}  // namespace pelorin::bench
