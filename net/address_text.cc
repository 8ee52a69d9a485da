#include "net/address_text.h"

namespace pelorin::net {

std::string address_text(const AddressBytes& bytes) {
  std::string out;
  out.reserve(15);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += '.';
    out += std::to_string(bytes[i]);
  }
  return out;
}

std::optional<AddressBytes> parse_address(std::string_view text) {
  AddressBytes out{};
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (i > 0) {
      if (text.empty() || text.front() != '.') return std::nullopt;
      text.remove_prefix(1);
    }
    std::size_t digits = 0;
    unsigned value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[digits] - '0');
      if (++digits > 3) return std::nullopt;
    }
    if (digits == 0 || value > 255) return std::nullopt;
    out[i] = static_cast<std::uint8_t>(value);
    text.remove_prefix(digits);
  }
  if (!text.empty()) return std::nullopt;
  return out;
}

}  // namespace pelorin::net
