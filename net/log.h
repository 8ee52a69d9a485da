// Log lines on standard error, one event a line, with a level. Under systemd
// (stderr connected to the journal) each line carries the journal's <N>
// priority prefix instead of a level word.
#pragma once

#include <string_view>

namespace pelorin::log {

enum class Level { error = 3, warning = 4, info = 6, debug = 7 };

void set_verbose(bool verbose);
[[nodiscard]] bool verbose();

void write(Level level, std::string_view message);
// An operator message with no shell to show it: the text alone on its line.
void operator_text(std::string_view text);

// A refused request. Peers choose how many they send, so at most a few such
// lines are written a second; the rest are counted in one line.
void refusal(std::string_view message);

inline void error(std::string_view m) { write(Level::error, m); }
inline void warning(std::string_view m) { write(Level::warning, m); }
inline void info(std::string_view m) { write(Level::info, m); }
inline void debug(std::string_view m) {
  if (verbose()) write(Level::debug, m);
}

}  // namespace pelorin::log
