// One request to a registry over TCP and what came back, with a time limit:
// the transport of pelorinctl. The bytes come from the shared wire encoders.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelorin::ctl {

struct Exchange {
  std::string received;
  bool closed_by_server = false;
  std::optional<std::string> failure;  // connection failed or timed out
};

enum class ReplyShape {
  registration,  // a 7-byte status word
  lookup,        // the address text then a close, or "error" with the connection open
};

[[nodiscard]] Exchange exchange(const std::string& host, std::uint16_t port,
                                const std::vector<std::uint8_t>& request, ReplyShape shape,
                                std::chrono::milliseconds timeout);

// "09 73 68" for the --verbose trace.
[[nodiscard]] std::string hex(const std::string& bytes);

}  // namespace pelorin::ctl
