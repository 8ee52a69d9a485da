#include "net/lookup_service.h"

#include <string>
#include <variant>

#include "net/log.h"

namespace pelorin::net {

void LookupService::on_read(Connection& socket) {
  const std::size_t waiting = socket.waiting_count();
  std::size_t got = 0;
  if (waiting > kMaxLookupBytes) {
    // Not a lookup: drop what is waiting, a chunk at a time.
    for (std::size_t left = waiting; left > 0;) {
      long n = socket.read(std::span(scratch_.data(), std::min(left, scratch_.size())));
      if (n <= 0) break;
      left -= static_cast<std::size_t>(n);
    }
    got = waiting;
  } else {
    long n = socket.read(std::span(scratch_.data(), waiting));
    got = n > 0 ? static_cast<std::size_t>(n) : 0;
  }

  LookupDecode decoded = waiting > kMaxLookupBytes
                             ? LookupDecode{LookupRefusal::too_many_bytes}
                             : decode_lookup(std::span(scratch_.data(), got));
  if (auto* refusal = std::get_if<LookupRefusal>(&decoded)) {
    log::refusal("refused lookup from " + socket.peer_address() + ": " +
                 std::string(describe(*refusal)));
    socket.send(kLookupErrorReply);
    return;
  }
  const std::string& name = std::get<Lookup>(decoded).name;
  std::string value;
  if (book_.searchip(name, value) != 0) {
    if (log::verbose()) log::debug("lookup " + name + " from " + socket.peer_address() + ": unknown");
    socket.send(kLookupErrorReply);
    return;
  }
  if (log::verbose()) log::debug("lookup " + name + " from " + socket.peer_address() + ": " + value);
  socket.send(value);
  socket.close();
}

}  // namespace pelorin::net
