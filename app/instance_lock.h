// The single-instance lock: a system-wide name that one process holds at a
// time and that the kernel releases when the process ends, however it ends.
// It is an abstract-namespace Unix socket bound to the lock's name.
#pragma once

#include <string>

namespace pelorin::app {

inline constexpr const char* kInstanceLockName = "Tavex_Pelorin";

class InstanceLock {
 public:
  enum class State { held, taken_elsewhere, unavailable };

  explicit InstanceLock(const std::string& name);
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock();

  [[nodiscard]] State state() const { return state_; }

 private:
  int fd_ = -1;
  State state_ = State::unavailable;
};

// The lock's name: kInstanceLockName, unless PELORIN_INSTANCE_LOCK names
// another (test suites use their own, so they run beside a real instance).
[[nodiscard]] std::string instance_lock_name();

}  // namespace pelorin::app
