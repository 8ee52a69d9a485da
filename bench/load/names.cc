// Device names, fill addresses and the random source.
#include "bench/load/names.h"

#include <cstdio>

namespace pelorin::bench {

std::string device_name(std::uint64_t index) {
  char text[32];
  const int n = std::snprintf(text, sizeof text, "dev%06llu",
                              static_cast<unsigned long long>(index));
  return std::string(text, static_cast<std::size_t>(n));
}

net::AddressBytes fill_address(std::uint64_t index) {
  return {10, static_cast<std::uint8_t>(index >> 16), static_cast<std::uint8_t>(index >> 8),
          static_cast<std::uint8_t>(index)};
}

std::uint64_t Random::next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

net::AddressBytes Random::address() {
  const std::uint64_t r = next();
  return {10, static_cast<std::uint8_t>(r >> 8), static_cast<std::uint8_t>(r >> 16),
          static_cast<std::uint8_t>(r >> 24)};
}

}  // namespace pelorin::bench
