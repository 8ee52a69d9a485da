// TrayIcon1: the registry's icon in the notification area, with the hint
// "Pelorin". Releasing the right button over it pops up PopupMenu1 at the
// pointer, whose one item, "Exit", ends the program. Other clicks do nothing.
//
// Qt thread only.
#pragma once

#include <QAction>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>

namespace pelorin::desktop {

// A hint of this many characters or more is not taken.
inline constexpr qsizetype kHintLimit = 64;

class TrayIcon final : public QObject {
 public:
  // `exit_click` runs when "Exit" is chosen.
  explicit TrayIcon(std::function<void()> exit_click);
  ~TrayIcon() override;

  void set_hint(const QString& hint);

 protected:
  // Watches for the right button's release over the icon.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void popup(const QPoint& at);

  std::function<void()> exit_click_;
  QMenu popup_menu1_;
  QAction exit_;
  QSystemTrayIcon tray_icon1_;
};

}  // namespace pelorin::desktop
