#include "tests/e2e/daemon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "net/lookup_wire.h"
#include "net/registration_wire.h"

namespace pelorin::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  char pattern[] = "/tmp/pelorin-e2e-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = pattern;
  ::chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& text) const {
  std::ofstream(file(name), std::ios::binary | std::ios::trunc) << text;
}

std::string TempDir::read(const std::string& name) const {
  std::ifstream in(file(name), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string TempDir::settled_ini(std::chrono::milliseconds limit) const {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  std::error_code ec;
  while (std::filesystem::file_size(file("enpos.ini.journal"), ec) > 0 && !ec &&
         std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(5ms);
  }
  return read("enpos.ini");
}

namespace {
std::string fresh_lock_name() {
  static std::atomic<int> counter{0};
  return "pelorin-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}
}  // namespace

Daemon::Daemon(const TempDir& dir, Options options)
    : log_path_(dir.file("stderr.log")),
      lock_name_(options.lock_name.empty() ? fresh_lock_name() : options.lock_name) {
  std::vector<std::string> args{PELORIN_BIN, "--headless", "--ini", dir.file("enpos.ini")};
  args.insert(args.end(), options.args.begin(), options.args.end());
  int log_fd = ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(log_fd, STDERR_FILENO);
    ::setenv("PELORIN_INSTANCE_LOCK", lock_name_.c_str(), 1);
    if (::chdir(dir.path().c_str()) != 0) ::_exit(120);
    if (options.run_as) {
      if (::setgid(*options.run_as) != 0 || ::setuid(*options.run_as) != 0) ::_exit(121);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(log_fd);
}

Daemon::~Daemon() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

std::string Daemon::log() const {
  std::ifstream in(log_path_, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool Daemon::log_has(const std::string& text) const { return log().find(text) != std::string::npos; }

bool Daemon::wait_serving(std::chrono::milliseconds limit) {
  static const std::regex serving(R"(registrations on port (\d+), lookups on port (\d+))");
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    std::smatch m;
    const std::string text = log();
    if (std::regex_search(text, m, serving)) {
      port1 = static_cast<std::uint16_t>(std::stoi(m[1]));
      port2 = static_cast<std::uint16_t>(std::stoi(m[2]));
      return true;
    }
    if (wait_exit(0ms)) return false;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

std::optional<int> Daemon::wait_exit(std::chrono::milliseconds limit) {
  if (status_) return status_;
  const auto end = std::chrono::steady_clock::now() + limit;
  do {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    std::this_thread::sleep_for(5ms);
  } while (std::chrono::steady_clock::now() < end);
  return std::nullopt;
}

void Daemon::signal(int number) const { ::kill(pid_, number); }

Client::Client(std::uint16_t port, const std::string& source) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Client::~Client() {
  if (fd_ >= 0) ::close(fd_);
}

void Client::send(const std::vector<std::uint8_t>& bytes) const {
  (void)!::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void Client::send(const std::string& bytes) const {
  (void)!::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

std::string Client::read(std::size_t n, std::chrono::milliseconds limit) {
  std::string out;
  const auto end = std::chrono::steady_clock::now() + limit;
  while (out.size() < n && !eof_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[512];
    ssize_t got = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
    if (got <= 0) {
      eof_ = true;
      break;
    }
    out.append(buf, static_cast<std::size_t>(got));
  }
  return out;
}

std::string Client::read_some(std::chrono::milliseconds limit) {
  pollfd p{fd_, POLLIN, 0};
  if (eof_ || ::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return {};
  char buf[4096];
  ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
  if (got <= 0) {
    eof_ = true;
    return {};
  }
  return std::string(buf, static_cast<std::size_t>(got));
}

bool Client::closed_by_server(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!eof_ && std::chrono::steady_clock::now() < end) {
    (void)read(4096, std::chrono::duration_cast<std::chrono::milliseconds>(
                         end - std::chrono::steady_clock::now()));
  }
  return eof_;
}

bool Client::stays_silent(std::chrono::milliseconds quiet) {
  pollfd p{fd_, POLLIN, 0};
  return !eof_ && ::poll(&p, 1, static_cast<int>(quiet.count())) == 0;
}

void Client::reset() {
  linger l{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd_);
  fd_ = -1;
}

LookupAnswer lookup(std::uint16_t port, const std::string& name) {
  Client c(port);
  c.send(net::encode_lookup(name));
  LookupAnswer answer;
  answer.reply = c.read_some(2s);
  answer.closed = answer.reply == net::kLookupErrorReply ? !c.stays_silent(200ms)
                                                          : c.closed_by_server(2s);
  return answer;
}

std::string register_name(std::uint16_t port, const std::string& name,
                          std::vector<std::uint8_t> address) {
  Client c(port);
  net::AddressBytes bytes{};
  std::copy_n(address.begin(), 4, bytes.begin());
  c.send(net::encode_registration(name, bytes));
  return c.read(7);
}

}  // namespace pelorin::testing
