// Socket helpers for the load generator: loopback endpoints only (it refuses
// any other address), non-blocking connects from a chosen loopback source
// address, and the open-file limit raised for thousands of connections.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace pelorin::bench {

// 127.x.y.z:port; throws std::invalid_argument for anything outside 127.0.0.0/8.
[[nodiscard]] sockaddr_in loopback_endpoint(const std::string& host, std::uint16_t port);

// 127.0.0.n, n from 1 to 254.
[[nodiscard]] in_addr loopback_source(int n);

// A non-blocking socket with its connect under way, bound first to `source`
// when one is given (the port is still picked at connect). -errno on failure.
[[nodiscard]] int open_connection(const sockaddr_in& to, const in_addr* source, bool no_delay);

// Soft limit raised to the hard one; returns the limit in force.
long raise_open_file_limit();

}  // namespace pelorin::bench
