#include "net/connection.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/listener.h"

namespace pelorin::net {

Connection::Connection(Listener& listener, int fd, asio::ip::address peer)
    : listener_(listener), fd_(fd), peer_(peer) {}

Connection::~Connection() {
  if (!socket_ && fd_ >= 0) ::close(fd_);
}

std::size_t Connection::waiting_count() {
  if (!connected_) return 0;
  // Unless the read event's receive filled the inbox, it took what was waiting.
  if (inbox_size_ > 0 && !inbox_filled_) return inbox_size_;
  int n = 0;
  if (::ioctl(fd_, FIONREAD, &n) != 0 || n < 0) n = 0;
  return inbox_size_ + static_cast<std::size_t>(n);
}

long Connection::read(std::span<std::uint8_t> buffer) {
  if (!connected_) return 0;
  std::size_t taken = std::min(buffer.size(), inbox_size_);
  if (taken > 0) {
    std::memcpy(buffer.data(), inbox_.data() + inbox_start_, taken);
    inbox_start_ += taken;
    inbox_size_ -= taken;
    // The read event's receive took what was waiting, unless it filled the inbox.
    if (taken == buffer.size() || !inbox_filled_) return static_cast<long>(taken);
  }
  ssize_t n = ::recv(fd_, buffer.data() + taken, buffer.size() - taken, MSG_DONTWAIT);
  if (n >= 0) return static_cast<long>(taken) + n;
  // What the inbox gave is delivered; an error shows again at the next receive.
  if (taken > 0) return static_cast<long>(taken);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
  failed(ErrorKind::receive, errno, "recv");
  return 0;
}

long Connection::send(std::span<const std::uint8_t> bytes) {
  if (!connected_) return 0;
  ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
  failed(ErrorKind::send, errno, "send");
  return 0;
}

void Connection::failed(ErrorKind kind, int error, const char* call) {
  if (error == EPIPE) {
    // The peer had closed (its FIN came first) and reset what we sent after:
    // a registration connection is not read while its reply waits for the
    // disk, so a device that sends and closes is seen here, not at its close.
    close();
    return;
  }
  listener_.raise_error(*this, kind, error, call);
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
  if (socket_) {
    std::error_code ec;
    socket_->close(ec);  // also takes it out of Asio's watch
  } else if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = -1;
}

void Connection::resume_reading() {
  paused_ = false;
  watch();
}

void Connection::first_read() {
  // A client usually sends at once: a receive now, without Asio, often finds
  // its request, and a connection that is answered and closed at once never
  // needs Asio's reading machinery.
  ssize_t n = ::recv(fd_, inbox_.data(), inbox_.size(), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    watch();
    return;
  }
  std::error_code ec;
  if (n == 0) ec = asio::error::eof;
  if (n < 0) ec = std::error_code(errno, asio::error::get_system_category());
  received(ec, n > 0 ? static_cast<std::size_t>(n) : 0);
}

void Connection::received(std::error_code ec, std::size_t n) {
  inbox_start_ = 0;
  inbox_size_ = ec ? 0 : n;
  inbox_filled_ = inbox_size_ == inbox_.size();
  listener_.readable(shared_from_this(), ec);
}

void Connection::watch() {
  if (watching_ || paused_ || !connected_) return;
  watching_ = true;
  if (inbox_size_ > 0) {
    // Bytes a handler left unread: another read event, without a receive.
    asio::post(listener_.context(), [self = shared_from_this()] {
      self->watching_ = false;
      self->listener_.readable(self, std::error_code());
    });
    return;
  }
  if (!socket_) {
    // The first wait: from now on Asio watches the socket.
    std::error_code ec;
    socket_.emplace(listener_.context());
    socket_->assign(asio::ip::tcp::v4(), fd_, ec);
    if (ec) {
      socket_.reset();
      watching_ = false;
      failed(ErrorKind::general, ec.value(), "epoll_ctl");
      return;
    }
  }
  // The read event receives into the inbox itself: Asio then keeps the socket
  // registered for reading instead of registering it again for every wait.
  socket_->async_receive(asio::buffer(inbox_),
                         [self = shared_from_this()](std::error_code ec, std::size_t n) {
                           self->watching_ = false;
                           self->received(ec, n);
                         });
}

}  // namespace pelorin::net
