// Loopback endpoints and non-blocking connects.
#include "bench/load/sockets.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace pelorin::bench {

sockaddr_in loopback_endpoint(const std::string& host, std::uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &to.sin_addr) != 1 ||
      (ntohl(to.sin_addr.s_addr) >> 24) != 127) {
    throw std::invalid_argument("only loopback addresses (127.0.0.0/8) are allowed: " + host);
  }
  return to;
}

in_addr loopback_source(int n) {
  in_addr a{};
  a.s_addr = htonl((127U << 24) | static_cast<std::uint32_t>(n & 0xFF));
  return a;
}

int open_connection(const sockaddr_in& to, const in_addr* source, bool no_delay) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  auto fail = [fd] {
    const int error = errno;
    ::close(fd);
    return -error;
  };
  const int one = 1;
  if (no_delay && ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) return fail();
  if (source != nullptr) {
    // Without this, bind would pick the port now and one source address would
    // be limited to one connection per local port across all destinations.
    if (::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one) != 0) {
      return fail();
    }
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr = *source;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) return fail();
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
      errno != EINPROGRESS) {
    return fail();
  }
  return fd;
}

long raise_open_file_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    (void)::setrlimit(RLIMIT_NOFILE, &limit);
    (void)::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<long>(limit.rlim_cur);
}

}  // namespace pelorin::bench
