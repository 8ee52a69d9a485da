#include "app/form.h"

#include <systemd/sd-daemon.h>

#include <chrono>
#include <filesystem>

#include "net/connection_errors.h"
#include "net/log.h"

namespace pelorin::app {
namespace {
constexpr auto kStartupDelay = std::chrono::milliseconds(50);
}  // namespace

TForm1::TForm1(asio::io_context& io, Shell& shell, std::string ini_path)
    : shell_(shell),
      book_(std::move(ini_path)),
      commit_(book_, [&io](std::function<void()> f) { asio::post(io, std::move(f)); }),
      registrations_(*this,
                     [this](std::function<void()> dismissed) {
                       shell_.show_message(kSaveError, std::move(dismissed));
                     }),
      lookups_(*this),
      Timer1(io),
      Server1(io, *this, [this](const std::string& text) { report_exception(text); }),
      Server2(
          io, *this, [this](const std::string& text) { report_exception(text); }, false) {}

TForm1::~TForm1() { close_services(); }

void TForm1::report_exception(const std::string& text) {
  shell_.report_exception(exception_report_text(text), [] {});
}

void TForm1::FormCreate() {
  Timer1.expires_after(kStartupDelay);
  Timer1.async_wait([this](std::error_code ec) {
    if (!ec) Timer1Timer();
  });
  // Left by a run that died while writing; the instance lock is held.
  if (std::size_t n = store::remove_stale_temporaries(book_.path())) {
    log::info("removed " + std::to_string(n) + " temporary file(s) left beside " + book_.path() +
              " by an earlier run");
  }
  // Read the file while the start-up timer runs, not before it is armed.
  book_.refresh();
  const store::GroupCommit::Recovery recovered = commit_.recover();
  if (!recovered.error.empty()) {
    log::error("cannot use the journal " + commit_.journal_path() + ": " + recovered.error +
               "; every registration is written straight into the file");
  }
  if (recovered.dropped_bytes != 0) {
    log::warning("cut from " + commit_.journal_path() + " the " +
                 std::to_string(recovered.dropped_bytes) +
                 " bytes of a line that an earlier run left unfinished");
  }
  if (recovered.entries != 0) {
    log::info("applying " + std::to_string(recovered.entries) +
              " journaled registration(s) that an earlier run left in " + commit_.journal_path());
  }
}

bool TForm1::read_port(const char* key, long long fallback, std::uint16_t& port) {
  std::optional<long long> value = book_.read_port(key, fallback);
  if (value && *value >= 0 && *value <= 65535) {
    port = static_cast<std::uint16_t>(*value);
    return true;
  }
  log::error("[Connect] " + std::string(key) + " in " + book_.path() +
             " is not a port from 0 to 65535");
  shell_.show_message(kPortError, [this] { shell_.terminate(1); });
  return false;
}

bool TForm1::open_listener(net::Listener& listener, const char* role) {
  try {
    listener.open();
  } catch (const net::SocketError& e) {
    log::error(std::string("cannot open the ") + role + " port: " + e.what());
    shell_.report_exception(exception_report_text(e.what()), [this] { shell_.startup_failed(); });
    return false;
  }
  log::info(std::string(role) + " listener open on port " + std::to_string(listener.local_port()));
  return true;
}

void TForm1::Timer1Timer() {
  Timer1.cancel();
  shell_.hide_application();
  std::uint16_t port = 0;
  if (!read_port("port1", kDefaultPort1, port)) return;
  Server1.set_port(port);
  if (!open_listener(Server1, "registration")) return;
  if (!read_port("port2", kDefaultPort2, port)) return;
  Server2.set_port(port);
  if (!open_listener(Server2, "lookup")) return;

  std::error_code ec;
  const std::string file = std::filesystem::absolute(book_.path(), ec).string();
  log::info("serving " + (ec ? book_.path() : file) + ": registrations on port " +
            std::to_string(Server1.local_port()) + ", lookups on port " +
            std::to_string(Server2.local_port()));
  sd_notify(0, "READY=1");
}

void TForm1::Server1ClientRead(net::Listener&, net::Connection& Socket) {
  registrations_.on_read(Socket);
}

void TForm1::savedatabase(std::string name, std::string address, std::function<void(int)> done) {
  commit_.save(std::move(name), std::move(address),
               [this, done = std::move(done), seen = commit_.failures()](int rc) {
                 if (rc != 0 && commit_.failures() != seen) {
                   log::error("cannot write " + book_.path() + ": " + commit_.last_failure());
                 }
                 done(rc);
               });
}

void TForm1::Server2ClientRead(net::Listener&, net::Connection& Socket) {
  lookups_.on_read(Socket);
}

int TForm1::searchip(std::string_view name, std::string& destination) {
  commit_.refresh();  // not while a write is under way
  return book_.find(name, destination);
}

void TForm1::Server1ClientError(net::Listener& Sender, net::Connection& Socket, net::ErrorKind,
                                int& ErrorCode) {
  ErrorCode = 0;
  net::close_peer_connections(Sender, Socket);
}

void TForm1::Server2ClientError(net::Listener& Sender, net::Connection& Socket, net::ErrorKind,
                                int& ErrorCode) {
  ErrorCode = 0;
  net::close_peer_connections(Sender, Socket);
}

void TForm1::exitClick() { shell_.terminate(0); }

void TForm1::Server2ClientDisconnect(net::Listener&, net::Connection&) {}

void TForm1::on_read(net::Listener& sender, net::Connection& socket) {
  if (&sender == &Server1) {
    Server1ClientRead(sender, socket);
  } else {
    Server2ClientRead(sender, socket);
  }
}

void TForm1::on_error(net::Listener& sender, net::Connection& socket, net::ErrorKind kind,
                      int& error_code) {
  if (&sender == &Server1) {
    Server1ClientError(sender, socket, kind, error_code);
  } else {
    Server2ClientError(sender, socket, kind, error_code);
  }
}

void TForm1::on_disconnect(net::Listener& sender, net::Connection& socket) {
  // The registration listener has no disconnect handler.
  if (&sender == &Server2) Server2ClientDisconnect(sender, socket);
}

void TForm1::close_services() {
  if (closed_) return;
  closed_ = true;
  sd_notify(0, "STOPPING=1");
  Timer1.cancel();
  Server1.close();
  Server2.close();
  const unsigned long failures = commit_.failures();
  commit_.stop();
  if (commit_.failures() != failures) {
    log::error("cannot write the journaled registrations into " + book_.path() + ": " +
               commit_.last_failure() + "; they stay in " + commit_.journal_path() +
               " and are applied at the next start");
  }
}

}  // namespace pelorin::app
