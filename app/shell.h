// What the core asks of the program around it: show the operator a text and
// go on once it is dismissed, hide the application, end it. The headless
// daemon writes texts to standard error; the desktop shell shows dialogs.
//
// The core calls these on the network thread, and `dismissed` runs there too.
#pragma once

#include <functional>
#include <string>

namespace pelorin::app {

class Shell {
 public:
  using Dismissed = std::function<void()>;

  // The simple message dialog (" HAVE  ERROR OCCUR ", " save ip info error ").
  virtual void show_message(std::string text, Dismissed dismissed) = 0;
  // The application's standard exception report (a socket error at start-up,
  // an exception escaping an event). `text` is already in report form.
  virtual void report_exception(std::string text, Dismissed dismissed) = 0;
  // Minimise and hide the application so that no taskbar entry stays.
  virtual void hide_application() = 0;
  // A listener could not be opened at start-up.
  virtual void startup_failed() = 0;
  // Ask the application to terminate; the one way the process ends.
  virtual void terminate(int status) = 0;

 protected:
  ~Shell() = default;
};

// An exception's text as the report shows it: "." is appended when the text is
// not empty and its last character sorts after ".".
inline std::string exception_report_text(std::string text) {
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') text += '.';
  return text;
}

}  // namespace pelorin::app
