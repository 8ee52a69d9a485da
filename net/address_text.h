// IPv4 address text as the registry stores and answers it: four decimal
// numbers from the four address bytes, no leading zeros, joined by ".".
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelorin::net {

using AddressBytes = std::array<std::uint8_t, 4>;

[[nodiscard]] std::string address_text(const AddressBytes& bytes);

// Strict dotted-quad text (four numbers 0..255, no sign, no blanks), as
// pelorinctl accepts it; nullopt otherwise.
[[nodiscard]] std::optional<AddressBytes> parse_address(std::string_view text);

}  // namespace pelorin::net
