#include "net/registration_wire.h"

#include <algorithm>

namespace pelorin::net {

std::optional<NameProblem> check_name(std::string_view name) {
  if (name.empty()) return NameProblem::empty;
  if (name.size() > kMaxNameBytes) return NameProblem::too_long;
  for (char c : name) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return NameProblem::control_byte;
    if (c == '=') return NameProblem::equals_sign;
  }
  if (name.front() == '[') return NameProblem::leading_bracket;
  if (name.front() == ';') return NameProblem::leading_semicolon;
  if (name.front() == ' ' || name.back() == ' ') return NameProblem::outer_blank;
  return std::nullopt;
}

std::string_view describe(NameProblem problem) {
  switch (problem) {
    case NameProblem::empty: return "empty name";
    case NameProblem::control_byte: return "control byte in name";
    case NameProblem::equals_sign: return "'=' in name";
    case NameProblem::leading_bracket: return "name starts with '['";
    case NameProblem::leading_semicolon: return "name starts with ';'";
    case NameProblem::outer_blank: return "blank at an end of the name";
    case NameProblem::too_long: return "name longer than 32 bytes";
  }
  return "bad name";
}

RegistrationDecode decode_registration(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return NeedMoreBytes{};
  const int length = static_cast<std::int8_t>(bytes[0]);
  if (length < kMinRegistrationLength || length > kMaxRegistrationLength) {
    return RegistrationRefusal{RegistrationRefusal::Reason::bad_length, std::nullopt, 0, length};
  }
  const auto total = static_cast<std::size_t>(length) + 1;
  if (bytes.size() < total) return NeedMoreBytes{};

  auto field = bytes.subspan(1, static_cast<std::size_t>(length) - 4);
  auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
  std::string name(field.begin(), end);
  if (auto problem = check_name(name)) {
    return RegistrationRefusal{RegistrationRefusal::Reason::bad_name, problem, total, length};
  }
  Registration r{std::move(name), {}, total};
  std::copy_n(bytes.begin() + length - 3, 4, r.address.begin());
  return r;
}

std::string describe(const RegistrationRefusal& refusal) {
  if (refusal.reason == RegistrationRefusal::Reason::bad_length) {
    return "length byte " + std::to_string(refusal.length) + " outside 5..36";
  }
  return std::string(describe(refusal.name_problem.value_or(NameProblem::empty)));
}

std::vector<std::uint8_t> encode_registration(std::string_view name,
                                              const AddressBytes& address) {
  std::vector<std::uint8_t> out;
  out.reserve(name.size() + 5);
  out.push_back(static_cast<std::uint8_t>(name.size() + 4));
  out.insert(out.end(), name.begin(), name.end());
  out.insert(out.end(), address.begin(), address.end());
  return out;
}

}  // namespace pelorin::net
