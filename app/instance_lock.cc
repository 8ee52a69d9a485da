#include "app/instance_lock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace pelorin::app {

InstanceLock::InstanceLock(const std::string& name) {
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // sun_path[0] stays 0: the abstract namespace, no file on disk.
  const std::size_t length = std::min(name.size(), sizeof(address.sun_path) - 1);
  std::memcpy(address.sun_path + 1, name.data(), length);
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), size) == 0) {
    state_ = State::held;
    return;
  }
  state_ = errno == EADDRINUSE ? State::taken_elsewhere : State::unavailable;
  ::close(fd_);
  fd_ = -1;
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

std::string instance_lock_name() {
  const char* name = std::getenv("PELORIN_INSTANCE_LOCK");
  return name != nullptr && *name != '\0' ? name : kInstanceLockName;
}

}  // namespace pelorin::app
