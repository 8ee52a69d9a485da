// The desktop shell: Qt's event loop on the main thread draws the main window,
// the tray icon and the message boxes, while the form (TForm1, the network
// core) runs on a thread of its own around an asio::io_context. The two
// threads never wait for each other; they only post work to each other.
//
// One shutdown path: terminate() stops the network side, which then quits Qt's
// loop; run() removes the tray icon, joins the thread and returns the status.
#pragma once

#include <QObject>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/desktop/main_form.h"
#include "app/desktop/message_boxes.h"
#include "app/desktop/tray_icon.h"
#include "app/form.h"
#include "app/shell.h"

namespace pelorin::desktop {

class DesktopShell final : public app::Shell {
 public:
  // Needs the QApplication to exist.
  explicit DesktopShell(std::string ini_path);
  DesktopShell(const DesktopShell&) = delete;
  DesktopShell& operator=(const DesktopShell&) = delete;
  ~DesktopShell();

  // Creates the form, serves until terminated, and returns the exit status.
  int run();

  // The Shell, called by the core on the network thread.
  void show_message(std::string text, Dismissed dismissed) override;
  void report_exception(std::string text, Dismissed dismissed) override;
  void hide_application() override;
  // The tray icon stays, and "Exit" ends the program.
  void startup_failed() override {}
  void terminate(int status) override;

 private:
  // Any thread: queue work for the Qt thread, or for the network thread.
  void to_gui(std::function<void()> work);
  void to_network(std::function<void()> work);
  // Qt thread: "Exit", the end of the desktop session, Qt's loop ending.
  void exit_click();
  // The network thread's body.
  void serve();

  const std::string ini_path_;

  // Network thread.
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> keep_serving_;
  asio::signal_set signals_;
  std::unique_ptr<app::TForm1> form_;
  int status_ = 0;  // read by the Qt thread once the network thread is joined
  bool terminating_ = false;

  // Qt thread.
  QObject gui_;  // the receiver of work posted to the Qt thread
  MessageBoxes boxes_;
  std::unique_ptr<MainForm> form1_;
  std::unique_ptr<TrayIcon> tray_icon1_;

  std::thread network_;
};

}  // namespace pelorin::desktop
