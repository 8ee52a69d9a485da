// TForm1, the main form: it owns the start-up timer, the two listeners and the
// address book, and its handlers are the registry's behaviour. It knows no
// shell: it talks to the operator only through Shell.
//
// Everything here runs on the network thread.
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <string>

#include "app/shell.h"
#include "net/address_book_access.h"
#include "net/listener.h"
#include "net/lookup_service.h"
#include "net/registration_service.h"
#include "store/address_book.h"
#include "store/group_commit.h"

namespace pelorin::app {

inline constexpr long long kDefaultPort1 = 10001;
inline constexpr long long kDefaultPort2 = 10002;
inline constexpr const char* kPortError = " HAVE  ERROR OCCUR ";
inline constexpr const char* kSaveError = " save ip info error ";

class TForm1 final : private net::ListenerEvents, public net::AddressBookAccess {
 public:
  TForm1(asio::io_context& io, Shell& shell, std::string ini_path);
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;
  ~TForm1();

  // The form's creation: arms the 50 ms one-shot start-up timer.
  void FormCreate();
  // The start-up sequence: hide, read port1, open Server1, read port2, open Server2.
  void Timer1Timer();

  void Server1ClientRead(net::Listener& Sender, net::Connection& Socket);
  void savedatabase(std::string name, std::string address,
                    std::function<void(int)> done) override;
  void Server2ClientRead(net::Listener& Sender, net::Connection& Socket);
  int searchip(std::string_view name, std::string& destination) override;
  void Server1ClientError(net::Listener& Sender, net::Connection& Socket,
                          net::ErrorKind ErrorEvent, int& ErrorCode);
  void Server2ClientError(net::Listener& Sender, net::Connection& Socket,
                          net::ErrorKind ErrorEvent, int& ErrorCode);
  void exitClick();
  void Server2ClientDisconnect(net::Listener& Sender, net::Connection& Socket);

  // The network half of the shutdown path: stop the timer, close both
  // listeners with all their connections, finish the write under way.
  void close_services();

  net::Listener& registration_listener() { return Server1; }
  net::Listener& lookup_listener() { return Server2; }

 private:
  void on_read(net::Listener& sender, net::Connection& socket) override;
  void on_error(net::Listener& sender, net::Connection& socket, net::ErrorKind kind,
                int& error_code) override;
  void on_disconnect(net::Listener& sender, net::Connection& socket) override;

  // Reads a port; false (and the operator told) when it cannot be used.
  bool read_port(const char* key, long long fallback, std::uint16_t& port);
  bool open_listener(net::Listener& listener, const char* role);
  // An exception that escaped a listener's event, to the operator's report.
  void report_exception(const std::string& text);

  Shell& shell_;
  store::AddressBook book_;
  store::GroupCommit commit_;
  net::RegistrationService registrations_;
  net::LookupService lookups_;

  // Components, in declaration order.
  asio::steady_timer Timer1;
  net::Listener Server1;  // registrations, port1
  net::Listener Server2;  // lookups, port2
  bool closed_ = false;
};

}  // namespace pelorin::app
