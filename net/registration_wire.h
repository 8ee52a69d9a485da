// The registration wire format, as pure functions.
//
// A registration is framed by its length byte L (signed, 5 to 36): L - 4 name
// bytes follow, then the four address bytes, L + 1 bytes in all. The name ends
// at its first zero byte. The reply is one of two 7-byte words, sent without a
// terminator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "net/address_text.h"

namespace pelorin::net {

inline constexpr std::string_view kStoredReply = "CorrEct";
inline constexpr std::string_view kSaveErrReply = "SaveErr";
inline constexpr int kMinRegistrationLength = 5;
inline constexpr int kMaxRegistrationLength = 36;
inline constexpr std::size_t kMaxNameBytes = 32;

// Why a name cannot be stored: each would split, hide or lose a line of the file.
enum class NameProblem {
  empty,              // nothing before the first zero byte
  control_byte,       // a byte below 0x20 (line breaks among them) or 0x7F
  equals_sign,        // would end the key early
  leading_bracket,    // would read as a section header
  leading_semicolon,  // would read as a comment
  outer_blank,        // trimmed away when read back
  too_long,           // more than 32 bytes
};

[[nodiscard]] std::optional<NameProblem> check_name(std::string_view name);
[[nodiscard]] std::string_view describe(NameProblem problem);

struct Registration {
  std::string name;
  AddressBytes address{};
  std::size_t consumed = 0;  // L + 1
};

struct NeedMoreBytes {};

struct RegistrationRefusal {
  // bad_length leaves the framing unknown: everything buffered must go.
  enum class Reason { bad_length, bad_name } reason;
  std::optional<NameProblem> name_problem;
  std::size_t consumed = 0;  // 0 with bad_length
  int length = 0;            // L as read
};

using RegistrationDecode = std::variant<Registration, NeedMoreBytes, RegistrationRefusal>;

// Decodes the first request in `bytes`.
[[nodiscard]] RegistrationDecode decode_registration(std::span<const std::uint8_t> bytes);

[[nodiscard]] std::string describe(const RegistrationRefusal& refusal);

// The request bytes for a name (1 to 32 bytes) and an address.
[[nodiscard]] std::vector<std::uint8_t> encode_registration(std::string_view name,
                                                            const AddressBytes& address);

}  // namespace pelorin::net
