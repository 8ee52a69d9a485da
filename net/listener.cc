#include "net/listener.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

#include "net/log.h"

namespace pelorin::net {
namespace {

// With no descriptor left, accepting again at once would spin on the same
// error: wait a little, closes will have freed some.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

// Connections accepted in one go before the loop runs other events again.
constexpr int kAcceptBatch = 64;

bool out_of_resources(int error) {
  switch (error) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return true;
    default:
      return false;
  }
}

}  // namespace

SocketError::SocketError(int error, const std::string& call)
    : std::runtime_error("Socket error: " + std::system_category().message(error) + " (" +
                         std::to_string(error) + "), on API '" + call + "'") {}

Listener::Listener(asio::io_context& io, ListenerEvents& events, ReportException report,
                   bool no_delay)
    : io_(io),
      events_(events),
      report_(std::move(report)),
      acceptor_(io),
      accept_retry_(io),
      no_delay_(no_delay) {}

Listener::~Listener() { close(); }

void Listener::set_port(std::uint16_t port) {
  if (active()) throw std::logic_error("Can't change value while socket is active");
  port_ = port;
}

void Listener::open() {
  const asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v4(), port_);
  std::error_code ec;
  acceptor_.open(endpoint.protocol(), ec);
  if (ec) throw SocketError(ec.value(), "socket");
  // Lets a restart bind while old connections linger in TIME_WAIT; a port that
  // another program listens on is still refused.
  acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  auto fail = [this](const std::error_code& error, const char* call) {
    std::error_code ignored;
    acceptor_.close(ignored);
    throw SocketError(error.value(), call);
  };
  acceptor_.bind(endpoint, ec);
  if (ec) fail(ec, "bind");
  acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) fail(ec, "listen");
  acceptor_.non_blocking(true, ec);  // accept below must never wait
  if (ec) fail(ec, "ioctl");
  accept_next();
}

std::uint16_t Listener::local_port() const {
  std::error_code ec;
  auto endpoint = acceptor_.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

void Listener::close() {
  std::error_code ec;
  acceptor_.close(ec);
  accept_retry_.cancel();
  std::vector<std::shared_ptr<Connection>> list;
  list.swap(connections_);
  for (auto& connection : list) connection->shut();
}

Connection& Listener::at(std::size_t index) const {
  if (index >= connections_.size()) {
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  }
  return *connections_[index];
}

void Listener::accept_next() {
  acceptor_.async_wait(asio::socket_base::wait_read, [this](std::error_code ec) {
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
    accept_waiting();
  });
}

void Listener::accept_waiting() {
  for (int i = 0; i < kAcceptBatch; ++i) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    // Non-blocking from the start, so that Asio need not make it so.
    const int fd = ::accept4(acceptor_.native_handle(), reinterpret_cast<sockaddr*>(&peer),
                             &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (error == EINTR || error == ECONNABORTED) continue;
      if (out_of_resources(error)) {
        log::warning("cannot accept on port " + std::to_string(local_port()) + ": " +
                     std::system_category().message(error) + "; retrying");
        accept_retry_.expires_after(kAcceptRetry);
        accept_retry_.async_wait([this](std::error_code wait_ec) {
          if (!wait_ec) accept_next();
        });
        return;
      }
      break;  // nothing waits (or a failed accept, which is ignored)
    }
    if (no_delay_) {
      const int one = 1;
      (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    auto connection = std::make_shared<Connection>(
        *this, fd, asio::ip::address_v4(ntohl(peer.sin_addr.s_addr)));
    connections_.push_back(connection);
    connection->first_read();
    if (!acceptor_.is_open()) return;  // a handler closed the listener
  }
  accept_next();
}

void Listener::contain(const std::function<void()>& event) {
  try {
    event();
  } catch (const std::exception& e) {
    report_(e.what());
  } catch (...) {
    report_("");
  }
}

void Listener::readable(const std::shared_ptr<Connection>& connection, std::error_code ec) {
  if (!connection->connected() || ec == asio::error::operation_aborted) return;
  if (ec == asio::error::eof) {
    connection->close();  // the peer closed
    return;
  }
  if (ec) {
    connection->failed(ErrorKind::receive, ec.value(), "recv");
    return;
  }
  // The read event received at least one byte.
  contain([&] { events_.on_read(*this, *connection); });
  connection->watch();
}

void Listener::raise_error(Connection& connection, ErrorKind kind, int code, const char* call) {
  int error_code = code;
  contain([&] { events_.on_error(*this, connection, kind, error_code); });
  connection.close();
  if (error_code != 0) report_(SocketError(code, call).what());
}

void Listener::disconnected(Connection& connection) {
  contain([&] { events_.on_disconnect(*this, connection); });
}

void Listener::release_later(Connection& connection) {
  asio::post(io_, [this, target = &connection] {
    std::erase_if(connections_, [target](const auto& c) { return c.get() == target; });
  });
}

}  // namespace pelorin::net
