// The persistent-connection client with a window of outstanding requests.
#include "bench/load/persistent.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "bench/load/sockets.h"

namespace pelorin::bench {
namespace {
constexpr std::int64_t kRestNs = 10'000'000;
}  // namespace

bool RandomStores::next(std::string& name, net::AddressBytes& address) {
  name = device_name(random_.below(names_));
  address = random_.address();
  return true;
}

bool FillStores::next(std::string& name, net::AddressBytes& address) {
  if (next_ >= names_) return false;
  name = device_name(next_);
  address = fill_address(next_);
  ++next_;
  return true;
}

struct PersistentStores::Link final : Reactor::Handler {
  PersistentStores* owner = nullptr;
  int index = 0;
  int fd = -1;
  bool connected = false;
  std::int64_t resume_at = 0;
  std::int64_t opened_at = 0;
  std::string out;  // bytes not yet taken by the socket
  std::string in;   // reply bytes not yet matched to a request
  std::deque<std::int64_t> sent_at;  // one per outstanding request, oldest first

  void on_event(std::uint32_t events) override { owner->event(*this, events); }
};

PersistentStores::PersistentStores(Reactor& reactor, const Plan& plan, Recorder& recorder,
                                   StoreSource& source)
    : reactor_(reactor), plan_(plan), recorder_(recorder), source_(source) {
  for (int i = 0; i < plan_.concurrency; ++i) {
    auto link = std::make_unique<Link>();
    link->owner = this;
    link->index = i;
    links_.push_back(std::move(link));
  }
}

PersistentStores::~PersistentStores() { stop(); }

void PersistentStores::start(std::int64_t now) {
  for (auto& link : links_) open(*link, now);
}

void PersistentStores::open(Link& link, std::int64_t now) {
  if (stopped_ || exhausted_) return;
  in_addr source{};
  if (plan_.sources > 1) source = loopback_source(1 + link.index % plan_.sources);
  ++link.generation;
  link.connected = false;
  link.opened_at = now;
  const int fd = open_connection(plan_.target, plan_.sources > 1 ? &source : nullptr, true);
  if (fd < 0) {
    recorder_.error();
    link.resume_at = now + kRestNs;
    return;
  }
  link.fd = fd;
  reactor_.watch(fd, link);
}

void PersistentStores::event(Link& link, std::uint32_t events) {
  if ((events & EPOLLERR) != 0) {
    fail(link, now_ns());
    return;
  }
  if ((events & EPOLLOUT) != 0) {
    link.connected = true;
    send_more(link);
    if (link.fd < 0) return;
  }
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) != 0) read_replies(link);
}

void PersistentStores::read_replies(Link& link) {
  bool closed = false;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(link.fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      link.in.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closed = true;
    break;
  }
  const std::int64_t now = now_ns();
  std::size_t used = 0;
  while (!link.sent_at.empty()) {
    const ReplyScan scan =
        scan_store_reply(plan_.protocol, std::string_view(link.in).substr(used));
    if (scan.outcome == Outcome::incomplete) break;
    used += scan.used;
    if (scan.outcome == Outcome::ok) {
      recorder_.ok(now - link.sent_at.front());
    } else {
      recorder_.error();
    }
    link.sent_at.pop_front();
  }
  link.in.erase(0, used);
  if (closed) {
    fail(link, now);
    return;
  }
  send_more(link);
}

void PersistentStores::send_more(Link& link) {
  if (!link.connected) return;
  std::string name;
  net::AddressBytes address{};
  const std::int64_t now = now_ns();
  while (!stopped_ && static_cast<int>(link.sent_at.size()) < plan_.window) {
    if (!source_.next(name, address)) {
      exhausted_ = true;
      break;
    }
    append_store(plan_.protocol, name, address, link.out);
    link.sent_at.push_back(now);
  }
  while (!link.out.empty()) {
    const ssize_t n = ::send(link.fd, link.out.data(), link.out.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) fail(link, now);
      return;
    }
    link.out.erase(0, static_cast<std::size_t>(n));
  }
}

void PersistentStores::fail(Link& link, std::int64_t now) {
  // Whatever was outstanding on the connection is lost.
  for (std::size_t i = 0; i < link.sent_at.size(); ++i) recorder_.error();
  link.sent_at.clear();
  link.in.clear();
  link.out.clear();
  if (link.fd >= 0) ::close(link.fd);
  link.fd = -1;
  ++link.generation;
  link.resume_at = now + kRestNs;
}

void PersistentStores::tick(std::int64_t now) {
  for (auto& link : links_) {
    if (link->fd >= 0) {
      if (!link->sent_at.empty() && now - link->sent_at.front() > plan_.timeout_ns) {
        fail(*link, now);
      } else if (!link->connected && now - link->opened_at > plan_.timeout_ns) {
        fail(*link, now);  // the connect itself never completed
      }
    } else if (now >= link->resume_at) {
      open(*link, now);
    }
  }
}

void PersistentStores::stop() {
  stopped_ = true;
  for (auto& link : links_) {
    if (link->fd >= 0) ::close(link->fd);
    link->fd = -1;
    ++link->generation;
  }
}

bool PersistentStores::finished() const {
  if (!exhausted_) return false;
  for (const auto& link : links_) {
    if (!link->sent_at.empty()) return false;
  }
  return true;
}

}  // namespace pelorin::bench
