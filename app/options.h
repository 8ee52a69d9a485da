// The command line of pelorin.
#pragma once

#include <optional>
#include <string>

namespace pelorin::app {

struct Options {
  std::string ini = "enpos.ini";
  bool headless = false;
  bool verbose = false;
};

// The options, or the exit status when the command line was answered
// (--help, --version) or refused.
struct ParsedOptions {
  Options options;
  std::optional<int> exit_status;
};

[[nodiscard]] ParsedOptions parse_options(int argc, char** argv);

}  // namespace pelorin::app
