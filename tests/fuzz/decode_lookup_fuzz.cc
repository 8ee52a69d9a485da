// libFuzzer target for decode_lookup: any bytes give either a name that a
// device could have registered (1 to 32 bytes, no zero byte, behind the header
// 01 01 01) that encodes back to an equal lookup, or a refusal that fits them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <variant>

#include "tests/fuzz/require.h"
#include "net/lookup_wire.h"
#include "net/registration_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pelorin::net;
  const std::span<const std::uint8_t> bytes(data, size);
  const auto decoded = decode_lookup(bytes);
  const bool header = size >= 3 && data[0] == 1 && data[1] == 1 && data[2] == 1;
  if (const auto* refusal = std::get_if<LookupRefusal>(&decoded)) {
    (void)describe(*refusal);
    switch (*refusal) {
      case LookupRefusal::too_many_bytes: require(size > kMaxLookupBytes); break;
      case LookupRefusal::bad_header: require(!header); break;
      case LookupRefusal::empty_name: require(header && (size == 3 || data[3] == 0)); break;
      case LookupRefusal::name_too_long: {
        require(header);
        const auto* end = std::find(data + 3, data + size, std::uint8_t{0});
        require(end - (data + 3) > static_cast<std::ptrdiff_t>(kMaxNameBytes));
        break;
      }
    }
    return 0;
  }
  const auto& lookup = std::get<Lookup>(decoded);
  require(size <= kMaxLookupBytes && header);
  require(!lookup.name.empty() && lookup.name.size() <= kMaxNameBytes);
  require(lookup.name.find('\0') == std::string::npos);
  require(std::equal(lookup.name.begin(), lookup.name.end(), data + 3,
                     [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
  require(size == 3 + lookup.name.size() || data[3 + lookup.name.size()] == 0);
  const auto again = encode_lookup(lookup.name);
  const auto redecoded = decode_lookup(again);
  const auto* same = std::get_if<Lookup>(&redecoded);
  require(same != nullptr && same->name == lookup.name);
  return 0;
}
