// TrayIcon1 and PopupMenu1: the icon in the notification area and its menu.
#include "app/desktop/tray_icon.h"

#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QMouseEvent>
#include <QWidget>
#include <algorithm>

namespace pelorin::desktop {
namespace {

// The widget Qt draws an icon with inside an X11 (XEmbed) notification area.
// It shows a context menu on the button's press; this icon wants the release,
// so it gets no context menu of Qt's and watches the widget's events instead.
bool is_embedded_icon(const QObject* object) {
  return object->isWidgetType() &&
         qstrcmp(object->metaObject()->className(), "QSystemTrayIconSys") == 0;
}

bool has_embedded_icon() {
  const auto widgets = QApplication::topLevelWidgets();
  return std::any_of(widgets.begin(), widgets.end(),
                     [](const QWidget* w) { return is_embedded_icon(w); });
}

}  // namespace

TrayIcon::TrayIcon(std::function<void()> exit_click)
    : exit_click_(std::move(exit_click)), exit_(QStringLiteral("Exit")) {
  setObjectName(QStringLiteral("TrayIcon1"));
  popup_menu1_.setObjectName(QStringLiteral("PopupMenu1"));
  exit_.setObjectName(QStringLiteral("exit"));
  popup_menu1_.addAction(&exit_);
  QObject::connect(&exit_, &QAction::triggered, this, [this] { exit_click_(); });  // exitClick

  // ImageList1 holds one 16 x 16 picture.
  tray_icon1_.setIcon(QIcon(QStringLiteral(":/pelorin/icon.png")));
  set_hint(QStringLiteral("Pelorin"));
  // Elsewhere (a StatusNotifierItem host) the host reports a right click as
  // "context"; it has no press and release of its own.
  QObject::connect(&tray_icon1_, &QSystemTrayIcon::activated, this,
                   [this](QSystemTrayIcon::ActivationReason reason) {
                     if (reason == QSystemTrayIcon::Context && !has_embedded_icon()) {
                       popup(QCursor::pos());
                     }
                   });
  qApp->installEventFilter(this);
  tray_icon1_.show();
}

TrayIcon::~TrayIcon() {
  qApp->removeEventFilter(this);
  tray_icon1_.hide();
}

void TrayIcon::set_hint(const QString& hint) {
  if (hint.size() >= kHintLimit) return;
  tray_icon1_.setToolTip(hint);
}

bool TrayIcon::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonRelease && is_embedded_icon(watched)) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::RightButton) popup(mouse->globalPosition().toPoint());
  }
  return false;
}

void TrayIcon::popup(const QPoint& at) { popup_menu1_.popup(at); }

}  // namespace pelorin::desktop
