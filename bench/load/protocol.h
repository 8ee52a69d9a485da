// The two request/reply dialects the load generator speaks: the registry's own
// (also the floor server's) and Redis's RESP for GET and SET. Requests are built
// into a caller's buffer; replies are scanned as they arrive.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "net/address_text.h"

namespace pelorin::bench {

enum class Protocol { pelorin, redis };

enum class Outcome { incomplete, ok, error };

struct ReplyScan {
  Outcome outcome = Outcome::incomplete;
  std::size_t used = 0;  // bytes of the reply, when complete
};

// The request that asks for a name's address (a lookup, or GET).
void append_lookup(Protocol protocol, std::string_view name, std::string& out);
// The request that stores a name's address (a registration, or SET).
void append_store(Protocol protocol, std::string_view name, const net::AddressBytes& address,
                  std::string& out);

// A lookup reply is ok when it is an address text; the registry's ends when it
// closes the connection (`peer_closed`), its "error" does not close.
[[nodiscard]] ReplyScan scan_lookup_reply(Protocol protocol, std::string_view bytes,
                                          bool peer_closed);
// The first store reply in `bytes`: "CorrEct" or "+OK" is ok.
[[nodiscard]] ReplyScan scan_store_reply(Protocol protocol, std::string_view bytes);

}  // namespace pelorin::bench
