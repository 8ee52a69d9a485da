// The registration handler: turns the bytes of a registration connection into
// entries of the address book and answers each request with "CorrEct" or
// "SaveErr", in the order the requests came.
//
// Each connection keeps its unread bytes, so a request split by TCP is stored
// whole and requests sent back to back are all served. A request still
// incomplete a second after its first byte is refused, so that a device's
// retry starts clean.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/address_book_access.h"
#include "net/connection.h"

namespace pelorin::net {

class RegistrationService {
 public:
  // Shows the operator " save ip info error " and runs `dismissed` once it has
  // been dismissed.
  using TellSaveError = std::function<void(std::function<void()> dismissed)>;

  static constexpr std::chrono::milliseconds kIncompleteTimeout{1000};
  // Unread bytes a connection may hold; one request is at most 37.
  static constexpr std::size_t kMaxUnread = 4096;

  RegistrationService(AddressBookAccess& book, TellSaveError tell_save_error);

  // The read event of a registration connection.
  void on_read(Connection& socket);

 private:
  struct Session;
  using Ticket = std::pair<std::weak_ptr<Connection>, std::uint64_t>;

  Session& session_of(Connection& socket);
  void take_requests(Connection& socket, Session& session);
  void refuse(Connection& socket, Session& session, const std::string& reason);
  void arm_deadline(Connection& socket, Session& session);
  void answer(const Ticket& ticket, std::string_view word);
  void save_failed(Ticket ticket);
  void flush(Connection& socket, Session& session);

  AddressBookAccess& book_;
  TellSaveError tell_save_error_;
  bool save_error_shown_ = false;
  std::vector<Ticket> waiting_for_operator_;
  std::array<std::uint8_t, kMaxUnread> scratch_{};
};

}  // namespace pelorin::net
