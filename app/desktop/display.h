// Whether a display answers, decided before any Qt object exists: Qt aborts the
// process when it finds none. libxcb is opened at run time, so the program
// itself needs no X libraries and a machine without them simply runs headless.
#pragma once

#include <dlfcn.h>

#include <cstdlib>
#include <string_view>

namespace pelorin::desktop {

// True when QT_QPA_PLATFORM names a platform other than xcb (Qt is trusted to
// find it), or when DISPLAY is set and an X server accepts a connection there.
inline bool display_answers() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform != nullptr && *platform != '\0') {
    std::string_view first(platform);
    first = first.substr(0, first.find_first_of(";:"));
    if (first != "xcb") return true;
  }
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return false;

  void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (xcb == nullptr) return false;
  using Connect = void*(const char*, int*);
  using HasError = int(void*);
  using Disconnect = void(void*);
  auto* connect = reinterpret_cast<Connect*>(::dlsym(xcb, "xcb_connect"));
  auto* has_error = reinterpret_cast<HasError*>(::dlsym(xcb, "xcb_connection_has_error"));
  auto* disconnect = reinterpret_cast<Disconnect*>(::dlsym(xcb, "xcb_disconnect"));
  bool answers = false;
  if (connect != nullptr && has_error != nullptr && disconnect != nullptr) {
    // xcb_connect never returns null: a failed connection is an error object.
    void* connection = connect(display, nullptr);
    answers = has_error(connection) == 0;
    disconnect(connection);
  }
  ::dlclose(xcb);
  return answers;
}

}  // namespace pelorin::desktop
