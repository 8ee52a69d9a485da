// libFuzzer target for decode_registration: any bytes, decoded request after
// request as the registration handler consumes a buffer, must give a result
// that keeps the framing (L + 1 bytes), stores only names the file can hold,
// and encodes back to the same request.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <variant>

#include "tests/fuzz/require.h"
#include "net/registration_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pelorin::net;
  std::span<const std::uint8_t> rest(data, size);
  while (!rest.empty()) {
    const int length = static_cast<std::int8_t>(rest[0]);
    const auto decoded = decode_registration(rest);
    if (std::holds_alternative<NeedMoreBytes>(decoded)) {
      require(length >= kMinRegistrationLength && length <= kMaxRegistrationLength);
      require(rest.size() < static_cast<std::size_t>(length) + 1);
      break;
    }
    if (const auto* refusal = std::get_if<RegistrationRefusal>(&decoded)) {
      (void)describe(*refusal);
      require(refusal->length == length);
      if (refusal->reason == RegistrationRefusal::Reason::bad_length) {
        require(length < kMinRegistrationLength || length > kMaxRegistrationLength);
        require(refusal->consumed == 0);
        break;  // the handler drops everything buffered
      }
      require(refusal->name_problem.has_value());
      require(refusal->consumed == static_cast<std::size_t>(length) + 1);
      require(refusal->consumed <= rest.size());
      rest = rest.subspan(refusal->consumed);
      continue;
    }
    const auto& r = std::get<Registration>(decoded);
    require(length >= kMinRegistrationLength && length <= kMaxRegistrationLength);
    require(r.consumed == static_cast<std::size_t>(length) + 1 && r.consumed <= rest.size());
    require(!check_name(r.name).has_value());
    require(!r.name.empty() && r.name.size() <= static_cast<std::size_t>(length) - 4);
    require(r.name.find('\0') == std::string::npos);
    // The name is the field up to its first zero byte; the address its last 4.
    for (std::size_t i = 0; i < r.name.size(); ++i) {
      require(static_cast<std::uint8_t>(r.name[i]) == rest[1 + i]);
    }
    if (r.name.size() < static_cast<std::size_t>(length) - 4) require(rest[1 + r.name.size()] == 0);
    for (std::size_t i = 0; i < 4; ++i) require(r.address[i] == rest[r.consumed - 4 + i]);
    // Encoding what was decoded gives a request that decodes the same.
    const auto again = encode_registration(r.name, r.address);
    const auto redecoded = decode_registration(again);
    const auto* same = std::get_if<Registration>(&redecoded);
    require(same != nullptr && same->name == r.name && same->address == r.address &&
            same->consumed == again.size());
    (void)address_text(r.address);
    rest = rest.subspan(r.consumed);
  }
  return 0;
}
