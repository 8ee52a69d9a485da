#include "ctl/exchange.h"

#include <array>
#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <cstdio>

#include "net/lookup_wire.h"
#include "net/registration_wire.h"

namespace pelorin::ctl {
namespace {
// A lookup answered "error" keeps its connection open; a value is followed by a
// close at once. This long without a close tells the two apart.
constexpr auto kCloseGrace = std::chrono::milliseconds(300);
}  // namespace

std::string hex(const std::string& bytes) {
  std::string out;
  char cell[4];
  for (unsigned char b : bytes) {
    std::snprintf(cell, sizeof cell, out.empty() ? "%02x" : " %02x", b);
    out += cell;
  }
  return out;
}

Exchange exchange(const std::string& host, std::uint16_t port,
                  const std::vector<std::uint8_t>& request, ReplyShape shape,
                  std::chrono::milliseconds timeout) {
  Exchange result;
  asio::io_context io;
  asio::ip::tcp::resolver resolver(io);
  asio::ip::tcp::socket socket(io);
  asio::steady_timer deadline(io);
  std::array<char, 512> buffer{};
  bool done = false;

  auto finish = [&](std::optional<std::string> failure) {
    if (done) return;
    done = true;
    result.failure = std::move(failure);
    std::error_code ignored;
    socket.close(ignored);
    deadline.cancel();
  };
  auto reply_complete = [&] {
    if (shape == ReplyShape::registration) return result.received.size() >= 7;
    return false;  // a lookup ends with the server's close, or the grace timer
  };

  std::function<void()> read_more = [&] {
    socket.async_read_some(asio::buffer(buffer), [&](std::error_code ec, std::size_t n) {
      if (done) return;
      result.received.append(buffer.data(), n);
      if (ec == asio::error::eof) {
        result.closed_by_server = true;
        finish(std::nullopt);
        return;
      }
      if (ec) {
        finish("receive failed: " + ec.message());
        return;
      }
      if (reply_complete()) {
        finish(std::nullopt);
        return;
      }
      if (shape == ReplyShape::lookup && result.received == net::kLookupErrorReply) {
        deadline.expires_after(kCloseGrace);
        deadline.async_wait([&](std::error_code wait_ec) {
          if (!wait_ec) finish(std::nullopt);
        });
      }
      read_more();
    });
  };

  deadline.expires_after(timeout);
  deadline.async_wait([&](std::error_code ec) {
    if (!ec) finish("no answer within " + std::to_string(timeout.count()) + " ms");
  });
  resolver.async_resolve(host, std::to_string(port), [&](std::error_code ec, auto endpoints) {
    if (ec) {
      finish("cannot resolve " + host + ": " + ec.message());
      return;
    }
    asio::async_connect(socket, endpoints, [&](std::error_code cec, const auto&) {
      if (cec) {
        finish("cannot connect to " + host + ":" + std::to_string(port) + ": " + cec.message());
        return;
      }
      asio::async_write(socket, asio::buffer(request), [&](std::error_code wec, std::size_t) {
        if (wec) {
          finish("send failed: " + wec.message());
          return;
        }
        read_more();
      });
    });
  });
  io.run();
  return result;
}

}  // namespace pelorin::ctl
