#include "app/headless_shell.h"

#include <csignal>

#include "net/log.h"

namespace pelorin::app {

HeadlessShell::HeadlessShell() : signals_(io_, SIGTERM, SIGINT) {}

int HeadlessShell::run(const std::string& ini_path) {
  Form1 = std::make_unique<TForm1>(io_, *this, ini_path);
  signals_.async_wait([this](std::error_code ec, int signal) {
    if (ec) return;
    log::info(std::string("received ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") +
              ", shutting down");
    Form1->exitClick();
  });
  Form1->FormCreate();
  io_.run();
  Form1.reset();
  log::info("stopped");
  return status_;
}

void HeadlessShell::show_message(std::string text, Dismissed dismissed) {
  log::operator_text(text);
  asio::post(io_, std::move(dismissed));
}

void HeadlessShell::report_exception(std::string text, Dismissed dismissed) {
  log::operator_text(text);
  asio::post(io_, std::move(dismissed));
}

void HeadlessShell::terminate(int status) {
  if (terminating_) return;
  terminating_ = true;
  status_ = status;
  asio::post(io_, [this] {
    Form1->close_services();
    signals_.cancel();
    io_.stop();
  });
}

}  // namespace pelorin::app
