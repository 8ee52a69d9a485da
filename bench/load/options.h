// The load generator's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bench/load/protocol.h"

namespace pelorin::bench {

enum class Mode { lookups, stores, fill, idle };

struct LoadOptions {
  Mode mode = Mode::lookups;
  Protocol protocol = Protocol::pelorin;
  std::string mode_name;
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;
  int concurrency = 64;
  double duration = 5;
  double warmup = 1;
  std::uint64_t names = 100;
  int window = 1;
  int sources = 1;
  int idle = 0;
  std::uint16_t idle_port = 0;
  int idle_per_source = 2500;
  int watch_pid = 0;
  double timeout = 5;
  double setup_timeout = 60;
  std::uint64_t seed = 1;
};

struct ParsedLoadOptions {
  LoadOptions options;
  std::optional<int> exit_status;  // set when the program should end at once
};

[[nodiscard]] ParsedLoadOptions parse_load_options(int argc, char** argv);

}  // namespace pelorin::bench
