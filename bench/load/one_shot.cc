// The new-connection-per-request client.
#include "bench/load/one_shot.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "bench/load/sockets.h"

namespace pelorin::bench {
namespace {
// After a failure a client waits this long, so a server that is down is not
// hammered with connects.
constexpr std::int64_t kRestNs = 10'000'000;
}  // namespace

struct OneShotLookups::Client final : Reactor::Handler {
  OneShotLookups* owner = nullptr;
  int index = 0;
  int fd = -1;
  bool sent = false;
  std::int64_t started = 0;
  std::int64_t resume_at = 0;
  std::string request;
  std::string reply;

  void on_event(std::uint32_t events) override { owner->event(*this, events); }
};

OneShotLookups::OneShotLookups(Reactor& reactor, const Plan& plan, Recorder& recorder)
    : reactor_(reactor), plan_(plan), recorder_(recorder), random_(plan.seed) {
  for (int i = 0; i < plan_.concurrency; ++i) {
    auto c = std::make_unique<Client>();
    c->owner = this;
    c->index = i;
    clients_.push_back(std::move(c));
  }
}

OneShotLookups::~OneShotLookups() { stop(); }

void OneShotLookups::start(std::int64_t now) {
  for (auto& c : clients_) begin(*c, now);
}

void OneShotLookups::begin(Client& c, std::int64_t now) {
  if (stopped_) return;
  c.request.clear();
  c.reply.clear();
  c.sent = false;
  append_lookup(plan_.protocol, device_name(random_.below(plan_.names)), c.request);
  in_addr source{};
  if (plan_.sources > 1) source = loopback_source(1 + c.index % plan_.sources);
  c.started = now_ns();
  ++c.generation;
  const int fd = open_connection(plan_.target, plan_.sources > 1 ? &source : nullptr, false);
  if (fd < 0) {
    recorder_.error();
    c.resume_at = now + kRestNs;
    return;
  }
  c.fd = fd;
  reactor_.watch(fd, c);
}

void OneShotLookups::event(Client& c, std::uint32_t events) {
  if ((events & EPOLLERR) != 0) {
    finish(c, Outcome::error, now_ns());
    return;
  }
  if ((events & EPOLLOUT) != 0 && !c.sent) {
    const ssize_t n = ::send(c.fd, c.request.data(), c.request.size(), MSG_NOSIGNAL);
    if (n != static_cast<ssize_t>(c.request.size())) {
      finish(c, Outcome::error, now_ns());
      return;
    }
    c.sent = true;
  }
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) == 0) return;
  bool closed = false;
  char buffer[512];
  for (;;) {
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      c.reply.append(buffer, static_cast<std::size_t>(n));
      if (static_cast<std::size_t>(n) == sizeof buffer) continue;
      // A short read emptied the queue. After the peer's FIN (RDHUP) nothing
      // more can come, so the end is known without another recv.
      closed = (events & EPOLLRDHUP) != 0;
      break;
    }
    if (n == 0) closed = true;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) closed = true;
    break;
  }
  const ReplyScan scan = scan_lookup_reply(plan_.protocol, c.reply, closed);
  if (scan.outcome != Outcome::incomplete) {
    finish(c, scan.outcome, now_ns());
  } else if (closed) {
    finish(c, Outcome::error, now_ns());
  }
}

void OneShotLookups::finish(Client& c, Outcome outcome, std::int64_t now) {
  if (outcome == Outcome::ok) {
    recorder_.ok(now - c.started);
  } else {
    recorder_.error();
  }
  ::close(c.fd);
  c.fd = -1;
  if (outcome == Outcome::ok) {
    begin(c, now);
  } else {
    c.resume_at = now + kRestNs;
  }
}

void OneShotLookups::tick(std::int64_t now) {
  for (auto& c : clients_) {
    if (c->fd >= 0) {
      if (now - c->started > plan_.timeout_ns) finish(*c, Outcome::error, now);
    } else if (now >= c->resume_at) {
      begin(*c, now);
    }
  }
}

void OneShotLookups::stop() {
  stopped_ = true;
  for (auto& c : clients_) {
    if (c->fd >= 0) ::close(c->fd);
    c->fd = -1;
    ++c->generation;
  }
}

}  // namespace pelorin::bench
