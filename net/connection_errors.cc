#include "net/connection_errors.h"

namespace pelorin::net {

void close_peer_connections(Listener& listener, Connection& failing) {
  for (std::size_t i = 0; i < listener.count(); ++i) {
    Connection& candidate = listener.at(i);
    if (candidate.peer_address() == failing.peer_address()) candidate.close();
  }
}

}  // namespace pelorin::net
