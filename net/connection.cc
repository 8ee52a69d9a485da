#include "net/connection.h"

#include <sys/socket.h>

#include <cerrno>

#include "net/listener.h"

namespace pelorin::net {

Connection::Connection(Listener& listener, asio::ip::tcp::socket socket, std::string peer)
    : listener_(listener), socket_(std::move(socket)), peer_(std::move(peer)) {}

std::size_t Connection::waiting_count() {
  if (!connected_) return 0;
  std::error_code ec;
  std::size_t n = socket_.available(ec);
  return ec ? 0 : n;
}

long Connection::read(std::span<std::uint8_t> buffer) {
  if (!connected_) return 0;
  ssize_t n = ::recv(socket_.native_handle(), buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
  listener_.raise_error(*this, ErrorKind::receive, errno, "recv");
  return 0;
}

long Connection::send(std::span<const std::uint8_t> bytes) {
  if (!connected_) return 0;
  ssize_t n = ::send(socket_.native_handle(), bytes.data(), bytes.size(),
                     MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
  listener_.raise_error(*this, ErrorKind::send, errno, "send");
  return 0;
}

long Connection::send(std::string_view text) {
  return send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void Connection::close() {
  if (!connected_ || closing_) return;
  closing_ = true;
  listener_.disconnected(*this);
  shut();
  listener_.release_later(*this);
}

void Connection::shut() {
  connected_ = false;
  std::error_code ec;
  socket_.close(ec);
}

void Connection::resume_reading() {
  paused_ = false;
  watch();
}

void Connection::watch() {
  if (watching_ || paused_ || !connected_) return;
  watching_ = true;
  socket_.async_wait(asio::ip::tcp::socket::wait_read,
                     [self = shared_from_this()](std::error_code ec) {
                       self->watching_ = false;
                       self->listener_.readable(self, ec);
                     });
}

}  // namespace pelorin::net
