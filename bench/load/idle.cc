// Setting up and holding the idle connections.
#include "bench/load/idle.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "bench/load/names.h"
#include "bench/load/sockets.h"

namespace pelorin::bench {

struct IdleDevices::Device final : Reactor::Handler {
  IdleDevices* owner = nullptr;
  int fd = -1;
  bool sent = false;
  bool settled = false;
  std::string request;
  std::string reply;

  void on_event(std::uint32_t events) override { owner->event(*this, events); }
};

IdleDevices::IdleDevices(Reactor& reactor, const IdlePlan& plan)
    : reactor_(reactor), plan_(plan) {
  devices_.reserve(static_cast<std::size_t>(plan_.count));
}

IdleDevices::~IdleDevices() {
  for (auto& d : devices_) {
    if (d->fd >= 0) ::close(d->fd);
  }
}

void IdleDevices::tick() {
  while (started_ < plan_.count && setting_up_ < plan_.in_flight) {
    const int i = started_++;
    auto d = std::make_unique<Device>();
    d->owner = this;
    const auto index = static_cast<std::uint64_t>(i) % plan_.names;
    append_store(plan_.protocol, device_name(index), fill_address(index), d->request);
    const in_addr source = loopback_source(plan_.first_source + i / plan_.per_source);
    d->fd = open_connection(plan_.target, &source, true);
    Device& device = *d;
    devices_.push_back(std::move(d));
    if (device.fd < 0) {
      device.settled = true;
      ++failed_;
      continue;
    }
    ++setting_up_;
    reactor_.watch(device.fd, device);
  }
}

void IdleDevices::event(Device& d, std::uint32_t events) {
  if (d.settled) return;
  if ((events & EPOLLERR) != 0) {
    settle(d, false);
    return;
  }
  if ((events & EPOLLOUT) != 0 && !d.sent) {
    if (::send(d.fd, d.request.data(), d.request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(d.request.size())) {
      settle(d, false);
      return;
    }
    d.sent = true;
  }
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) == 0) return;
  char buffer[256];
  for (;;) {
    const ssize_t n = ::recv(d.fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      d.reply.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      settle(d, false);
      return;
    }
    break;
  }
  const ReplyScan scan = scan_store_reply(plan_.protocol, d.reply);
  if (scan.outcome != Outcome::incomplete) settle(d, scan.outcome == Outcome::ok);
}

void IdleDevices::settle(Device& d, bool ok) {
  d.settled = true;
  --setting_up_;
  if (ok) {
    // Held from now on: no more events are wanted.
    reactor_.forget(d.fd);
    ++held_;
    return;
  }
  ::close(d.fd);
  d.fd = -1;
  ++d.generation;
  ++failed_;
}

int IdleDevices::still_open() const {
  int open = 0;
  for (const auto& d : devices_) {
    if (d->fd < 0) continue;
    char byte = 0;
    const ssize_t n = ::recv(d->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) ++open;
  }
  return open;
}

}  // namespace pelorin::bench
