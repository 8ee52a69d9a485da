// The lookup handler: answers the lookup of a name with its stored address
// text and closes the connection, or answers "error" and keeps it open.
//
// A lookup has no length field, so each read event is one request.
#pragma once

#include <array>
#include <cstdint>

#include "net/address_book_access.h"
#include "net/connection.h"
#include "net/lookup_wire.h"

namespace pelorin::net {

class LookupService {
 public:
  explicit LookupService(AddressBookAccess& book) : book_(book) {}

  // The read event of a lookup connection.
  void on_read(Connection& socket);

 private:
  AddressBookAccess& book_;
  std::array<std::uint8_t, 4096> scratch_{};
};

}  // namespace pelorin::net
