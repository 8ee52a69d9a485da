// pelorin-floor: the least a server can do for the registry's two traffic
// patterns, as the benchmark's floor. One thread, one epoll loop, loopback only:
// on the lookup port accept, read once, write a fixed 12-byte answer and close;
// on the registration port answer every read with a fixed 7-byte word and keep
// the connection. Usage: pelorin-floor [LOOKUP_PORT [REGISTRATION_PORT]] (0: any).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

enum Kind : std::uint64_t { lookup_listener, registration_listener, lookup, registration };

int listen_on(std::uint16_t port, std::uint16_t& bound) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  socklen_t size = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), size) != 0 ||
      ::listen(fd, SOMAXCONN) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size)) {
    std::perror("pelorin-floor: listen");
    std::exit(1);
  }
  bound = ntohs(a.sin_port);
  return fd;
}

void add(int epoll_fd, int fd, Kind kind) {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = (static_cast<std::uint64_t>(fd) << 2) | kind;
  ::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev);
}

}  // namespace

int main(int argc, char** argv) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);

  std::uint16_t lookup_port = 0;
  std::uint16_t registration_port = 0;
  const int lookups = listen_on(
      static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 0), lookup_port);
  const int registrations = listen_on(
      static_cast<std::uint16_t>(argc > 2 ? std::atoi(argv[2]) : 0), registration_port);
  const int epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
  add(epoll_fd, lookups, lookup_listener);
  add(epoll_fd, registrations, registration_listener);
  std::fprintf(stderr, "pelorin-floor: registrations on port %u, lookups on port %u\n",
               registration_port, lookup_port);

  epoll_event events[256];
  char buffer[4096];
  for (;;) {
    const int n = ::epoll_wait(epoll_fd, events, 256, -1);
    for (int i = 0; i < n; ++i) {
      const int fd = static_cast<int>(events[i].data.u64 >> 2);
      const auto kind = static_cast<Kind>(events[i].data.u64 & 3);
      if (kind == lookup_listener || kind == registration_listener) {
        for (int c; (c = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
          add(epoll_fd, c, kind == lookup_listener ? lookup : registration);
        }
      } else if (kind == lookup) {
        if (::read(fd, buffer, sizeof buffer) > 0) (void)!::write(fd, "10.200.30.40", 12);
        ::close(fd);
      } else if (const ssize_t got = ::read(fd, buffer, sizeof buffer); got > 0) {
        (void)!::write(fd, "CorrEct", 7);
      } else if (got == 0 || errno != EAGAIN) {
        ::close(fd);
      }
    }
  }
}
