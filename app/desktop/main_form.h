// Form1, the main window: a small window holding the registry's picture
// (Image1). It is shown at creation and hidden once the start-up sequence
// runs; nothing shows it again. Where no notification area exists yet, it stays
// with an "Exit" button until one appears, so the program can always be ended.
//
// Qt thread only.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace pelorin::desktop {

class MainForm final : public QWidget {
 public:
  // `exit_click` runs when the operator asks the program to end from here.
  explicit MainForm(std::function<void()> exit_click);

  // Minimises and hides the window so that no taskbar entry stays, or waits
  // with the Exit button shown until a notification area appears.
  void hide_application();

 protected:
  // Closing the main window ends the program, as "Exit" does.
  void closeEvent(QCloseEvent* event) override;

 private:
  void minimise_and_hide();

  std::function<void()> exit_click_;
  QLabel image1_;
  QPushButton exit_button_;
  QTimer tray_watch_;  // runs while the window waits for a notification area
};

}  // namespace pelorin::desktop
