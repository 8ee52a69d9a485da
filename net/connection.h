// One accepted TCP connection and the operations the request handlers use on
// it: waiting count, read once, send once, peer address, close.
//
// The listener owns its connections. close() shuts the socket at once and
// raises the disconnect event, but the object stays in the listener's list
// until it is released after the current event, so a handler never sees the
// connection it works on destroyed under it.
#pragma once

#include <array>
#include <asio/ip/tcp.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pelorin::net {

class Listener;
enum class ErrorKind;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // Per-connection state of a service (for example unread request bytes).
  struct Session {
    virtual ~Session() = default;
  };

  // Takes over `fd`, an accepted socket in non-blocking mode.
  Connection(Listener& listener, int fd, asio::ip::address peer);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  // Bytes that can be read at once: those the read event received, and, when
  // they filled the inbox, those still in the socket; 0 when not connected.
  [[nodiscard]] std::size_t waiting_count();
  // Receives up to buffer.size() bytes once: what the read event received, and
  // more from the socket only when that filled the inbox or was all taken
  // before. -1 when nothing can be read yet; 0 when not connected or the
  // receive failed (the error event has run).
  long read(std::span<std::uint8_t> buffer);
  // Hands the bytes to the socket once. -1 when it cannot take them now (they
  // are dropped); 0 when not connected or the send failed.
  long send(std::span<const std::uint8_t> bytes);
  long send(std::string_view text);

  // Dotted-decimal text of the peer's address; empty once closed. Kept from
  // accept time, because the kernel forgets the peer of a reset connection.
  [[nodiscard]] std::string peer_address() const {
    return connected_ ? peer_.to_string() : std::string();
  }
  [[nodiscard]] bool connected() const { return connected_; }

  // Raises the disconnect event, closes the socket and queues the release.
  // Does nothing on a closed connection.
  void close();

  // Stops and restarts read events (back-pressure from a service).
  void pause_reading() { paused_ = true; }
  void resume_reading();
  [[nodiscard]] bool reading_paused() const { return paused_; }

  [[nodiscard]] Listener& listener() { return listener_; }
  std::unique_ptr<Session>& session() { return session_; }

 private:
  friend class Listener;
  void watch();
  void first_read();  // the read event of a new connection, if it sent already
  void received(std::error_code ec, std::size_t n);  // n bytes are in the inbox: the read event
  void shut();  // closes the socket without events
  // The error event, or a close when the error says the peer had closed.
  void failed(ErrorKind kind, int error, const char* call);

  Listener& listener_;  // owns this connection and outlives it
  int fd_;
  // Made at the first wait for bytes: a connection whose request was there when
  // it was accepted is answered and closed without Asio ever watching it.
  std::optional<asio::ip::tcp::socket> socket_;
  asio::ip::address peer_;
  std::unique_ptr<Session> session_;
  bool connected_ = true;
  bool closing_ = false;
  bool paused_ = false;
  bool watching_ = false;
  // What a read event received, served first by read(). Small: a request is
  // at most 37 bytes, and an idle device costs no more than this.
  std::array<std::uint8_t, 64> inbox_{};
  std::size_t inbox_start_ = 0;
  std::size_t inbox_size_ = 0;
  bool inbox_filled_ = false;  // the receive filled the inbox: more may wait
};

}  // namespace pelorin::net
