// Finding and opening the desktop module, pelorin-desktop.so, which lies in
// lib/pelorin/ beside the program's bin/ (or sbin/) folder, in the build tree
// as once installed. Without it the program runs headless.
#pragma once

#include <dlfcn.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "app/desktop/entry.h"
#include "net/log.h"

namespace pelorin::desktop {

class Module {
 public:
  // The module, or nullopt (and why, in the verbose log) when it is not there.
  static std::optional<Module> open() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::nullopt;
    const std::filesystem::path file =
        exe.parent_path().parent_path() / "lib" / "pelorin" / "pelorin-desktop.so";
    if (!std::filesystem::exists(file, ec)) {
      log::debug("no desktop module at " + file.string() + ": running headless");
      return std::nullopt;
    }
    // Never closed: Qt leaves exit-time work behind in the module's code.
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
      log::warning(std::string("cannot load the desktop module: ") + ::dlerror() +
                   "; running headless");
      return std::nullopt;
    }
    auto* run = reinterpret_cast<PelorinDesktopRun*>(::dlsym(handle, kPelorinDesktopRun));
    auto* message =
        reinterpret_cast<PelorinDesktopMessage*>(::dlsym(handle, kPelorinDesktopMessage));
    if (run == nullptr || message == nullptr) {
      log::warning("the desktop module " + file.string() +
                   " lacks its entry points; running headless");
      return std::nullopt;
    }
    return Module(run, message);
  }

  int run(int argc, char** argv, const std::string& ini_path, bool verbose) const {
    return run_(argc, argv, ini_path.c_str(), verbose ? 1 : 0);
  }
  int message(int argc, char** argv, const char* caption, const char* text) const {
    return message_(argc, argv, caption, text);
  }

 private:
  Module(PelorinDesktopRun* run_entry, PelorinDesktopMessage* message_entry)
      : run_(run_entry), message_(message_entry) {}

  PelorinDesktopRun* run_;
  PelorinDesktopMessage* message_;
};

}  // namespace pelorin::desktop
