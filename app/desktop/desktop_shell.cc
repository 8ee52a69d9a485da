// The desktop shell: the Qt thread and the network thread, and the work they
// post to each other.
#include "app/desktop/desktop_shell.h"

#include <QApplication>
#include <QFileInfo>
#include <QSessionManager>
#include <asio/post.hpp>
#include <csignal>
#include <exception>

#include "net/log.h"

namespace pelorin::desktop {
namespace {

// The application's title: the program's file name, without its folder.
QString application_title() {
  return QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}

}  // namespace

DesktopShell::DesktopShell(std::string ini_path)
    : ini_path_(std::move(ini_path)),
      keep_serving_(asio::make_work_guard(io_)),
      signals_(io_, SIGTERM, SIGINT),
      boxes_(application_title()) {}

DesktopShell::~DesktopShell() {
  // Only reached early when run() threw; normally the thread is joined there.
  if (network_.joinable()) {
    io_.stop();
    network_.join();
  }
}

int DesktopShell::run() {
  form1_ = std::make_unique<MainForm>([this] { exit_click(); });
  form1_->show();
  tray_icon1_ = std::make_unique<TrayIcon>([this] { exit_click(); });
  // The session manager asks before the desktop session ends: consent, and end.
  QObject::connect(qApp, &QGuiApplication::commitDataRequest, &gui_,
                   [this](QSessionManager&) { exit_click(); });

  network_ = std::thread([this] { serve(); });
  QApplication::exec();

  // Qt's loop ended: normally because the network side stopped, but also when
  // the session quit it. Either way the network side goes through "Exit".
  exit_click();
  tray_icon1_.reset();
  network_.join();
  form1_.reset();
  return status_;
}

void DesktopShell::serve() {
  try {
    form_ = std::make_unique<app::TForm1>(io_, *this, ini_path_);
  } catch (const std::exception& e) {
    log::error(std::string("cannot create the form: ") + e.what());
    status_ = 1;
    to_gui([] { QCoreApplication::exit(0); });
    return;
  }
  signals_.async_wait([this](std::error_code ec, int signal) {
    if (ec) return;
    log::info(std::string("received ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") +
              ", shutting down");
    form_->exitClick();
  });
  form_->FormCreate();
  for (;;) {
    // An exception escaping an event is reported, and serving goes on.
    try {
      io_.run();
      break;
    } catch (const std::exception& e) {
      report_exception(app::exception_report_text(e.what()), [] {});
    } catch (...) {
      report_exception(std::string(), [] {});
    }
  }
  form_.reset();
  log::info("stopped");
  to_gui([] { QCoreApplication::exit(0); });
}

void DesktopShell::terminate(int status) {
  if (terminating_) return;
  terminating_ = true;
  status_ = status;
  asio::post(io_, [this] {
    form_->close_services();
    signals_.cancel();
    keep_serving_.reset();
    io_.stop();
  });
}

void DesktopShell::exit_click() {
  to_network([this] {
    if (form_) form_->exitClick();
  });
}

void DesktopShell::show_message(std::string text, Dismissed dismissed) {
  to_gui([this, text = QString::fromStdString(text), dismissed = std::move(dismissed)]() mutable {
    boxes_.show_message(text, [this, dismissed = std::move(dismissed)] { to_network(dismissed); });
  });
}

void DesktopShell::report_exception(std::string text, Dismissed dismissed) {
  to_gui([this, text = QString::fromStdString(text), dismissed = std::move(dismissed)]() mutable {
    boxes_.report_exception(text,
                            [this, dismissed = std::move(dismissed)] { to_network(dismissed); });
  });
}

void DesktopShell::hide_application() {
  to_gui([this] {
    if (form1_) form1_->hide_application();
  });
}

void DesktopShell::to_gui(std::function<void()> work) {
  QMetaObject::invokeMethod(&gui_, std::move(work), Qt::QueuedConnection);
}

void DesktopShell::to_network(std::function<void()> work) { asio::post(io_, std::move(work)); }

}  // namespace pelorin::desktop
