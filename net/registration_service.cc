#include "net/registration_service.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <deque>
#include <variant>

#include "net/address_text.h"
#include "net/listener.h"
#include "net/log.h"
#include "net/registration_wire.h"

namespace pelorin::net {

struct RegistrationService::Session : Connection::Session {
  std::string unread;  // the start of a request still incomplete
  std::unique_ptr<asio::steady_timer> deadline;
  // Replies in request order; an empty word is one still waiting for the disk.
  std::deque<std::string_view> replies;
  std::uint64_t first_ticket = 0;  // ticket number of replies.front()

  std::uint64_t reserve(std::string_view word) {
    replies.push_back(word);
    return first_ticket + replies.size() - 1;
  }
};

RegistrationService::RegistrationService(AddressBookAccess& book, TellSaveError tell_save_error)
    : book_(book), tell_save_error_(std::move(tell_save_error)) {}

RegistrationService::Session& RegistrationService::session_of(Connection& socket) {
  auto& slot = socket.session();
  if (!slot) slot = std::make_unique<Session>();
  return static_cast<Session&>(*slot);
}

void RegistrationService::on_read(Connection& socket) {
  Session& session = session_of(socket);
  const std::size_t room = kMaxUnread - session.unread.size();
  long got = socket.read(std::span(scratch_.data(), room));
  if (got <= 0) return;
  const bool continues_request = !session.unread.empty();
  session.unread.append(reinterpret_cast<const char*>(scratch_.data()),
                        static_cast<std::size_t>(got));
  const std::size_t before = session.unread.size();
  take_requests(socket, session);

  if (session.unread.empty()) {
    session.deadline.reset();
  } else if (!continues_request || session.unread.size() < before) {
    arm_deadline(socket, session);  // a new request began in this read
  }
  flush(socket, session);
}

void RegistrationService::take_requests(Connection& socket, Session& session) {
  std::size_t used = 0;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(session.unread.data());
  while (used < session.unread.size()) {
    auto decoded = decode_registration(std::span(bytes + used, session.unread.size() - used));
    if (std::holds_alternative<NeedMoreBytes>(decoded)) break;
    if (auto* refusal = std::get_if<RegistrationRefusal>(&decoded)) {
      refuse(socket, session, describe(*refusal));
      if (refusal->reason == RegistrationRefusal::Reason::bad_length) {
        used = session.unread.size();  // where the next request begins is unknown
        break;
      }
      used += refusal->consumed;
      continue;
    }
    auto& request = std::get<Registration>(decoded);
    used += request.consumed;
    std::string address = address_text(request.address);
    if (log::verbose()) {
      log::debug("registration " + request.name + "=" + address + " from " + socket.peer_address());
    }
    Ticket ticket{socket.weak_from_this(), session.reserve({})};
    book_.savedatabase(std::move(request.name), std::move(address),
                       [this, ticket](int rc) {
                         if (rc == 0) {
                           answer(ticket, kStoredReply);
                         } else {
                           save_failed(ticket);
                         }
                       });
  }
  session.unread.erase(0, used);
}

void RegistrationService::refuse(Connection& socket, Session& session,
                                 const std::string& reason) {
  // Logged only: a hostile peer must not be able to fill the operator's screen.
  log::refusal("refused registration from " + socket.peer_address() + ": " + reason);
  session.reserve(kSaveErrReply);
}

void RegistrationService::arm_deadline(Connection& socket, Session& session) {
  if (!session.deadline) {
    session.deadline = std::make_unique<asio::steady_timer>(socket.listener().context());
  }
  session.deadline->expires_after(kIncompleteTimeout);
  session.deadline->async_wait([this, weak = socket.weak_from_this()](std::error_code ec) {
    auto connection = weak.lock();
    if (ec || !connection || !connection->connected()) return;
    Session& s = session_of(*connection);
    if (s.unread.empty()) return;
    s.unread.clear();
    refuse(*connection, s, "request incomplete after 1 s");
    flush(*connection, s);
  });
}

void RegistrationService::answer(const Ticket& ticket, std::string_view word) {
  auto connection = ticket.first.lock();
  if (!connection || !connection->connected()) return;
  Session& session = session_of(*connection);
  if (ticket.second < session.first_ticket) return;
  const std::uint64_t index = ticket.second - session.first_ticket;
  if (index >= session.replies.size()) return;
  session.replies[index] = word;
  flush(*connection, session);
}

void RegistrationService::save_failed(Ticket ticket) {
  // One message at a time: failures while it is shown are answered when it is
  // dismissed, like the first.
  waiting_for_operator_.push_back(std::move(ticket));
  if (save_error_shown_) return;
  save_error_shown_ = true;
  tell_save_error_([this] {
    save_error_shown_ = false;
    std::vector<Ticket> waiting;
    waiting.swap(waiting_for_operator_);
    for (const Ticket& t : waiting) answer(t, kSaveErrReply);
  });
}

void RegistrationService::flush(Connection& socket, Session& session) {
  while (!session.replies.empty() && !session.replies.front().empty() && socket.connected()) {
    socket.send(session.replies.front());
    session.replies.pop_front();
    ++session.first_ticket;
  }
  if (!socket.connected()) return;
  if (!session.replies.empty()) {
    // A reply waits for the disk (or for the operator), and the device, as a
    // rule, waits for it too: reading pauses until the replies are out. This
    // also bounds what a device that floods without reading can queue.
    socket.pause_reading();
  } else if (socket.reading_paused()) {
    // Resumed after the other replies of the same write went out: by then the
    // device's next request has usually arrived and is read at once, without
    // another wait for the socket.
    asio::post(socket.listener().context(), [weak = socket.weak_from_this()] {
      if (auto connection = weak.lock()) connection->resume_reading();
    });
  }
}

}  // namespace pelorin::net
