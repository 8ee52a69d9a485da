// The C entry points of the desktop module (pelorin-desktop.so). pelorin looks
// them up with dlsym once a display answers; plain C types only, so that the
// program and the module agree without sharing any C++ object.
#pragma once

extern "C" {

// Runs the desktop shell until it terminates and returns the exit status.
// `verbose` turns on the per-request log lines, as --verbose does.
using PelorinDesktopRun = int(int argc, char** argv, const char* ini_path, int verbose);
// Shows a stop message box with one OK button and returns once it is dismissed.
using PelorinDesktopMessage = int(int argc, char** argv, const char* caption, const char* text);

inline constexpr const char* kPelorinDesktopRun = "pelorin_desktop_run";
inline constexpr const char* kPelorinDesktopMessage = "pelorin_desktop_message";

}  // extern "C"
