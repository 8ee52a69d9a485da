// The headless shell: the network thread is the main thread, every operator
// text goes to standard error as one line and counts as dismissed at once, and
// SIGTERM or SIGINT play the part of "Exit".
#pragma once

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <memory>
#include <string>

#include "app/form.h"
#include "app/shell.h"

namespace pelorin::app {

class HeadlessShell final : public Shell {
 public:
  HeadlessShell();

  // Creates the form, serves until terminated, and returns the exit status.
  int run(const std::string& ini_path);

  void show_message(std::string text, Dismissed dismissed) override;
  void report_exception(std::string text, Dismissed dismissed) override;
  void hide_application() override {}
  // No tray to choose "Exit" from: a listener that cannot open ends the process.
  void startup_failed() override { terminate(1); }
  void terminate(int status) override;

 private:
  asio::io_context io_;
  asio::signal_set signals_;
  std::unique_ptr<TForm1> Form1;  // the main form, created by run()
  int status_ = 0;
  bool terminating_ = false;
};

}  // namespace pelorin::app
