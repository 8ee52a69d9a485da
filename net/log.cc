#include "net/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace pelorin::log {
namespace {

bool g_verbose = false;

// systemd sets JOURNAL_STREAM to "device:inode" of the stream it connected.
bool stderr_is_journal() {
  static const bool journal = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat st{};
    if (stream == nullptr || ::fstat(STDERR_FILENO, &st) != 0) return false;
    std::string expected = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    return expected == stream;
  }();
  return journal;
}

std::string_view word(Level level) {
  switch (level) {
    case Level::error: return "error";
    case Level::warning: return "warning";
    case Level::info: return "info";
    case Level::debug: return "debug";
  }
  return "info";
}

void emit(Level level, std::string_view prefix, std::string_view message) {
  std::string line;
  if (stderr_is_journal()) {
    line += '<';
    line += static_cast<char>('0' + static_cast<int>(level));
    line += '>';
  } else {
    line += prefix;
  }
  line += message;
  line += '\n';
  // One write per line keeps lines whole when several processes share stderr.
  (void)!::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

void set_verbose(bool v) { g_verbose = v; }
bool verbose() { return g_verbose; }

void write(Level level, std::string_view message) {
  std::string prefix = "pelorin: ";
  prefix += word(level);
  prefix += ": ";
  emit(level, prefix, message);
}

void refusal(std::string_view message) {
  constexpr int kLinesPerSecond = 20;
  using Clock = std::chrono::steady_clock;
  static Clock::time_point window_start;
  static int written = 0;
  static long suppressed = 0;
  const Clock::time_point now = Clock::now();
  if (now - window_start >= std::chrono::seconds(1)) {
    if (suppressed > 0) {
      write(Level::warning, std::to_string(suppressed) + " more refused requests not logged");
    }
    window_start = now;
    written = 0;
    suppressed = 0;
  }
  if (written < kLinesPerSecond) {
    ++written;
    write(Level::warning, message);
  } else {
    ++suppressed;
  }
}

void operator_text(std::string_view text) { emit(Level::error, "", text); }

}  // namespace pelorin::log
