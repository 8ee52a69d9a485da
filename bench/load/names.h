// What the benchmark's requests carry: device names dev000000, dev000001, ...,
// the address the fill gives each name, and a small fast random source for
// names and fresh addresses.
#pragma once

#include <cstdint>
#include <string>

#include "net/address_text.h"

namespace pelorin::bench {

// "dev" and the index in six digits (more once the index reaches a million).
[[nodiscard]] std::string device_name(std::uint64_t index);

// 10.x.y.z from the index, so that a filled entry can be told from a re-registered one.
[[nodiscard]] net::AddressBytes fill_address(std::uint64_t index);

// splitmix64: cheap, and the same sequence for the same seed.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next();
  // Uniform enough in [0, bound) for bounds far below 2^64.
  std::uint64_t below(std::uint64_t bound) { return next() % bound; }
  // A random address in 10.0.0.0/8.
  net::AddressBytes address();

 private:
  std::uint64_t state_;
};

}  // namespace pelorin::bench
