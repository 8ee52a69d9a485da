// The lookup wire format, as pure functions.
//
// A lookup has no length field: the bytes of one read are the header 01 01 01
// and the name, which ends at its first zero byte. The reply is the stored
// address text (after which the server closes the connection) or "error" (and
// the connection stays open).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pelorin::net {

inline constexpr std::string_view kLookupErrorReply = "error";
// More than this waiting in one read is not a lookup.
inline constexpr std::size_t kMaxLookupBytes = 256;

struct Lookup {
  std::string name;
};

enum class LookupRefusal { bad_header, empty_name, name_too_long, too_many_bytes };

using LookupDecode = std::variant<Lookup, LookupRefusal>;

[[nodiscard]] LookupDecode decode_lookup(std::span<const std::uint8_t> bytes);
[[nodiscard]] std::string_view describe(LookupRefusal refusal);
[[nodiscard]] std::vector<std::uint8_t> encode_lookup(std::string_view name);

}  // namespace pelorin::net
