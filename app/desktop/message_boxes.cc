// The message boxes of the desktop shell.
#include "app/desktop/message_boxes.h"

#include <QEvent>
#include <QRect>
#include <QScreen>
#include <algorithm>

namespace pelorin::desktop {
namespace {

// Qt centres a box when it is shown, but its size may settle only afterwards:
// this keeps it centred on its screen whenever its size changes.
class KeepCentred final : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Resize) {
      auto* box = static_cast<QWidget*>(watched);
      if (const QScreen* screen = box->screen()) {
        QRect frame = box->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        box->move(frame.topLeft());
      }
    }
    return false;
  }
};

}  // namespace

MessageBoxes::MessageBoxes(QString title) : title_(std::move(title)) {}

// Boxes still open when the program ends are closed without being dismissed.
MessageBoxes::~MessageBoxes() {
  for (auto& box : open_) QObject::disconnect(box.get(), &QDialog::finished, nullptr, nullptr);
}

void MessageBoxes::show_message(const QString& text, Dismissed dismissed) {
  open(QMessageBox::NoIcon, text, std::move(dismissed));
}

void MessageBoxes::report_exception(const QString& text, Dismissed dismissed) {
  open(QMessageBox::Critical, text, std::move(dismissed));
}

void MessageBoxes::open(QMessageBox::Icon icon, const QString& text, Dismissed dismissed) {
  // No parent: Qt then centres the box on the screen.
  auto& box =
      open_.emplace_back(std::make_unique<QMessageBox>(icon, title_, text, QMessageBox::Ok));
  box->setWindowModality(Qt::ApplicationModal);
  box->installEventFilter(new KeepCentred(box.get()));  // owned by the box
  QMessageBox* shown = box.get();
  QObject::connect(shown, &QDialog::finished, shown,
                   [this, shown, dismissed = std::move(dismissed)](int) {
                     auto it = std::find_if(open_.begin(), open_.end(),
                                            [shown](const auto& b) { return b.get() == shown; });
                     if (it == open_.end()) return;
                     // Deleted once this signal has returned, not under it.
                     it->release()->deleteLater();
                     open_.erase(it);
                     dismissed();
                   });
  shown->show();
}

void show_stop_box(const QString& caption, const QString& text) {
  QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok);
  box.exec();
}

}  // namespace pelorin::desktop
