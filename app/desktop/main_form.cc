// Form1, the main window, and how it is hidden.
#include "app/desktop/main_form.h"

#include <QCloseEvent>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace pelorin::desktop {
namespace {
constexpr int kTrayPollMs = 1000;
}  // namespace

MainForm::MainForm(std::function<void()> exit_click)
    : exit_click_(std::move(exit_click)),
      image1_(this),
      exit_button_(QStringLiteral("Exit"), this) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Tavex_DVR Server"));
  setGeometry(1124, 983, 136, 46);

  image1_.setObjectName(QStringLiteral("Image1"));
  image1_.setGeometry(0, 0, 113, 113);
  image1_.setPixmap(QPixmap(QStringLiteral(":/pelorin/picture.jpg")));

  exit_button_.setObjectName(QStringLiteral("exit"));
  exit_button_.setGeometry(88, 10, 44, 26);  // beside the card of the picture
  exit_button_.hide();
  QObject::connect(&exit_button_, &QPushButton::clicked, this, [this] { exit_click_(); });

  tray_watch_.setInterval(kTrayPollMs);
  QObject::connect(&tray_watch_, &QTimer::timeout, this, [this] {
    if (QSystemTrayIcon::isSystemTrayAvailable()) minimise_and_hide();
  });
}

void MainForm::hide_application() {
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    minimise_and_hide();
    return;
  }
  exit_button_.show();
  tray_watch_.start();
}

void MainForm::minimise_and_hide() {
  tray_watch_.stop();
  exit_button_.hide();
  setWindowState(windowState() | Qt::WindowMinimized);
  hide();
}

void MainForm::closeEvent(QCloseEvent* event) {
  event->ignore();
  exit_click_();
}

}  // namespace pelorin::desktop
