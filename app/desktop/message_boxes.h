// The message boxes of the desktop shell: the simple message dialog and the
// exception report, both application-modal yet never waited on (the caller is
// told through a callback when the box is dismissed), and the stop box that a
// second instance shows before it ends.
//
// Qt thread only.
#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>
#include <list>
#include <memory>

namespace pelorin::desktop {

class MessageBoxes {
 public:
  using Dismissed = std::function<void()>;

  // `title` is the application's title, the caption of both kinds of box.
  explicit MessageBoxes(QString title);
  MessageBoxes(const MessageBoxes&) = delete;
  MessageBoxes& operator=(const MessageBoxes&) = delete;
  ~MessageBoxes();

  // The simple message dialog: no icon, one OK button, centred on the screen.
  void show_message(const QString& text, Dismissed dismissed);
  // The exception report: a stop icon and one OK button.
  void report_exception(const QString& text, Dismissed dismissed);

 private:
  void open(QMessageBox::Icon icon, const QString& text, Dismissed dismissed);

  QString title_;
  std::list<std::unique_ptr<QMessageBox>> open_;  // boxes not yet dismissed
};

// Shows a stop box and returns once it is dismissed.
void show_stop_box(const QString& caption, const QString& text);

}  // namespace pelorin::desktop
