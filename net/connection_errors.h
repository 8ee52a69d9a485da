// What a failed connection does to its listener: every connection of that
// listener from the same peer address is closed (the failing one among them),
// and the error reaches no operator.
#pragma once

#include "net/listener.h"

namespace pelorin::net {

// Scans the list from index 0, reading the count and both peer addresses
// afresh for every index. A closed connection's address is empty, so once the
// failing connection is closed, connections listed after it no longer match.
void close_peer_connections(Listener& listener, Connection& failing);

}  // namespace pelorin::net
