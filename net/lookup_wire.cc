#include "net/lookup_wire.h"

#include <algorithm>

#include "net/registration_wire.h"

namespace pelorin::net {

LookupDecode decode_lookup(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > kMaxLookupBytes) return LookupRefusal::too_many_bytes;
  // Every header byte is looked at; bytes that did not arrive count as 0.
  for (std::size_t i = 0; i < 3; ++i) {
    if (i >= bytes.size() || bytes[i] != 1) return LookupRefusal::bad_header;
  }
  auto field = bytes.subspan(3);
  auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
  // Every name a device can register can be looked up.
  if (end - field.begin() > static_cast<std::ptrdiff_t>(kMaxNameBytes)) {
    return LookupRefusal::name_too_long;
  }
  if (end == field.begin()) return LookupRefusal::empty_name;
  return Lookup{std::string(field.begin(), end)};
}

std::string_view describe(LookupRefusal refusal) {
  switch (refusal) {
    case LookupRefusal::bad_header: return "header is not 01 01 01";
    case LookupRefusal::empty_name: return "empty name";
    case LookupRefusal::name_too_long: return "name longer than 32 bytes";
    case LookupRefusal::too_many_bytes: return "more than 256 bytes in one lookup";
  }
  return "bad lookup";
}

std::vector<std::uint8_t> encode_lookup(std::string_view name) {
  std::vector<std::uint8_t> out(3 + name.size(), 1);
  std::copy(name.begin(), name.end(), out.begin() + 3);
  return out;
}

}  // namespace pelorin::net
