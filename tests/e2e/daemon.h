// Test fixtures for end-to-end tests: the real pelorin daemon started in a
// temporary folder on ports the system picks, and raw loopback clients that
// speak bytes to it from chosen source addresses.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelorin::testing {

using namespace std::chrono_literals;

// A temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& text) const;
  [[nodiscard]] std::string read(const std::string& name) const;
  // enpos.ini once the daemon has written into it everything it answered from
  // its journal (registrations that came while the file was busy).
  [[nodiscard]] std::string settled_ini(std::chrono::milliseconds limit = 3s) const;

 private:
  std::string path_;
};

// An ini that lets the system pick both ports.
inline const char* kFreePorts = "[Connect]\nport1=0\nport2=0\n";

class Daemon {
 public:
  struct Options {
    std::vector<std::string> args;        // after --headless --ini PATH
    std::optional<uid_t> run_as;          // drop to this user (needs root)
    std::string lock_name;                // empty: a name of its own

    static Options sharing_lock(std::string name) {
      Options o;
      o.lock_name = std::move(name);
      return o;
    }
    static Options as_user(uid_t uid) {
      Options o;
      o.run_as = uid;
      return o;
    }
  };

  Daemon(const TempDir& dir, Options options);
  explicit Daemon(const TempDir& dir) : Daemon(dir, Options{}) {}
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Waits for the line that says it serves, and reads both ports from it.
  [[nodiscard]] bool wait_serving(std::chrono::milliseconds limit = 5s);
  // The exit status, or nullopt if it still runs after `limit`.
  [[nodiscard]] std::optional<int> wait_exit(std::chrono::milliseconds limit = 5s);
  void signal(int number) const;
  [[nodiscard]] std::string log() const;  // what it wrote on stderr
  [[nodiscard]] bool log_has(const std::string& text) const;

  [[nodiscard]] pid_t pid() const { return pid_; }
  [[nodiscard]] const std::string& lock_name() const { return lock_name_; }
  std::uint16_t port1 = 0;  // registrations
  std::uint16_t port2 = 0;  // lookups

 private:
  std::string log_path_;
  std::string lock_name_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// A raw TCP client on loopback.
class Client {
 public:
  Client(std::uint16_t port, const std::string& source = "127.0.0.1");
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  [[nodiscard]] bool connected() const { return fd_ >= 0; }
  void send(const std::vector<std::uint8_t>& bytes) const;
  void send(const std::string& bytes) const;
  // Reads until `n` bytes came, the peer closed, or `limit` passed.
  [[nodiscard]] std::string read(std::size_t n, std::chrono::milliseconds limit = 3s);
  // Whatever arrives first (one receive), within `limit`.
  [[nodiscard]] std::string read_some(std::chrono::milliseconds limit = 3s);
  // True once the server has closed the connection (within `limit`).
  [[nodiscard]] bool closed_by_server(std::chrono::milliseconds limit = 3s);
  // True when nothing arrives and the connection stays open for `quiet`.
  [[nodiscard]] bool stays_silent(std::chrono::milliseconds quiet = 300ms);
  // An abortive close: the server sees a reset.
  void reset();

 private:
  int fd_ = -1;
  bool eof_ = false;
};

// The answer to one lookup on a fresh connection, and whether it was closed.
struct LookupAnswer {
  std::string reply;
  bool closed = false;
};
[[nodiscard]] LookupAnswer lookup(std::uint16_t port, const std::string& name);
// The reply to one registration on a fresh connection.
[[nodiscard]] std::string register_name(std::uint16_t port, const std::string& name,
                                        std::vector<std::uint8_t> address);

}  // namespace pelorin::testing
