// The desktop module's entry points (see entry.h): each creates the Qt
// application, does its one job and returns a status to pelorin's main.
#include "app/desktop/entry.h"

#include <QApplication>
#include <exception>

#include "app/desktop/desktop_shell.h"
#include "app/desktop/message_boxes.h"
#include "net/log.h"

#define PELORIN_DESKTOP_EXPORT extern "C" __attribute__((visibility("default")))

PELORIN_DESKTOP_EXPORT int pelorin_desktop_run(int argc, char** argv, const char* ini_path,
                                               int verbose) {
  // The module has its own copy of the core, log settings included.
  pelorin::log::set_verbose(verbose != 0);
  try {
    QApplication application(argc, argv);
    // The window is hidden and message boxes come and go: only "Exit" ends.
    QApplication::setQuitOnLastWindowClosed(false);
    pelorin::desktop::DesktopShell shell(ini_path);
    return shell.run();
  } catch (const std::exception& e) {
    pelorin::log::error(std::string("desktop shell: ") + e.what());
    return 1;
  }
}

PELORIN_DESKTOP_EXPORT int pelorin_desktop_message(int argc, char** argv, const char* caption,
                                                   const char* text) {
  QApplication application(argc, argv);
  pelorin::desktop::show_stop_box(QString::fromUtf8(caption), QString::fromUtf8(text));
  return 0;
}
