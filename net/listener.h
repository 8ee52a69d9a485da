// A TCP listener with its connection list, on one Asio io_context.
//
// It binds the IPv4 any-address on its port, accepts every connection at once
// and appends it to the list, and raises read, error and disconnect events to
// its handlers. Everything runs on the io_context's thread, one event at a
// time; an exception escaping a handler is contained and reported, and the
// listener keeps serving.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/connection.h"

namespace pelorin::net {

enum class ErrorKind { general, send, receive, connect, disconnect, accept, lookup };

// A socket failure, with the system's error text, number and the call.
class SocketError : public std::runtime_error {
 public:
  SocketError(int error, const std::string& call);
};

class Listener;

class ListenerEvents {
 public:
  virtual void on_read(Listener& sender, Connection& socket) = 0;
  // Setting error_code to 0 silences the error.
  virtual void on_error(Listener& sender, Connection& socket, ErrorKind kind,
                        int& error_code) = 0;
  virtual void on_disconnect(Listener& sender, Connection& socket) = 0;

 protected:
  ~ListenerEvents() = default;
};

class Listener {
 public:
  using ReportException = std::function<void(const std::string& text)>;

  // `no_delay`: replies must not wait for the peer's ACK (connections that
  // carry many requests); a connection that is answered once and closed
  // does not need it.
  Listener(asio::io_context& io, ListenerEvents& events, ReportException report,
           bool no_delay = true);
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  ~Listener();

  void set_port(std::uint16_t port);
  // Binds and listens; throws SocketError naming "bind" or "listen".
  void open();
  // Closes the listening socket and every connection, without disconnect events.
  void close();
  [[nodiscard]] bool active() const { return acceptor_.is_open(); }
  [[nodiscard]] std::uint16_t local_port() const;

  [[nodiscard]] std::size_t count() const { return connections_.size(); }
  // Throws std::out_of_range "List index out of bounds (i)".
  [[nodiscard]] Connection& at(std::size_t index) const;

  asio::io_context& context() { return io_; }

 private:
  friend class Connection;
  void accept_next();
  void accept_waiting();
  void readable(const std::shared_ptr<Connection>& connection, std::error_code ec);
  void raise_error(Connection& connection, ErrorKind kind, int code, const char* call);
  void disconnected(Connection& connection);
  void release_later(Connection& connection);
  void contain(const std::function<void()>& event);

  asio::io_context& io_;
  ListenerEvents& events_;
  ReportException report_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer accept_retry_;
  std::uint16_t port_ = 0;
  bool no_delay_ = true;
  std::vector<std::shared_ptr<Connection>> connections_;  // in arrival order
};

}  // namespace pelorin::net
