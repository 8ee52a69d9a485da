// Command-line parsing with CLI11.
#include "bench/load/options.h"

#include <CLI/CLI.hpp>
#include <map>

namespace pelorin::bench {

ParsedLoadOptions parse_load_options(int argc, char** argv) {
  ParsedLoadOptions parsed;
  LoadOptions& o = parsed.options;
  CLI::App cli{
      "pelorin-load: drives a registry, Redis or the floor server on loopback and prints\n"
      "one JSON line: ops/s, p50 and p99 latency, errors.\n"
      "Modes: lookups (new connection per request), registrations (persistent\n"
      "connections), fill (store every name once), idle (hold --idle connections),\n"
      "redis-get, redis-set, redis-fill (the same against Redis)."};
  std::string protocol = "pelorin";
  cli.add_option("mode", o.mode_name, "workload")->required();
  cli.add_option("--host", o.host, "server address, in 127.0.0.0/8")->capture_default_str();
  cli.add_option("--port", o.port, "server port")->required();
  cli.add_option("--protocol", protocol, "pelorin or redis")->capture_default_str();
  cli.add_option("-c,--concurrency", o.concurrency, "clients")->capture_default_str();
  cli.add_option("-d,--duration", o.duration, "measured seconds")->capture_default_str();
  cli.add_option("-w,--warmup", o.warmup, "seconds before measuring")->capture_default_str();
  cli.add_option("-n,--names", o.names, "names dev000000 .. N-1")->capture_default_str();
  cli.add_option("--window", o.window, "outstanding requests per persistent connection")
      ->capture_default_str();
  cli.add_option("--sources", o.sources, "spread clients over 127.0.0.1 .. 127.0.0.S")
      ->capture_default_str();
  cli.add_option("--idle", o.idle, "idle registration connections held meanwhile")
      ->capture_default_str();
  cli.add_option("--idle-port", o.idle_port, "port of the idle connections (default --port)");
  cli.add_option("--idle-per-source", o.idle_per_source,
                 "idle connections per source address, from 127.0.0.2 on")
      ->capture_default_str();
  cli.add_option("--watch-pid", o.watch_pid, "server process whose RSS and CPU are reported");
  cli.add_option("--timeout", o.timeout, "seconds a request may take")->capture_default_str();
  cli.add_option("--setup-timeout", o.setup_timeout, "seconds to set up idle connections")
      ->capture_default_str();
  cli.add_option("--seed", o.seed, "random seed")->capture_default_str();
  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = cli.exit(e);
    parsed.exit_status = status == 0 ? 0 : 2;
    return parsed;
  }

  static const std::map<std::string, std::pair<Mode, bool>> modes = {
      {"lookups", {Mode::lookups, false}},  {"registrations", {Mode::stores, false}},
      {"fill", {Mode::fill, false}},        {"idle", {Mode::idle, false}},
      {"redis-get", {Mode::lookups, true}}, {"redis-set", {Mode::stores, true}},
      {"redis-fill", {Mode::fill, true}},
  };
  auto m = modes.find(o.mode_name);
  if (m == modes.end() || (protocol != "pelorin" && protocol != "redis") || o.names == 0 ||
      o.concurrency < 1 || o.window < 1 || o.sources < 1 || o.sources > 254 ||
      o.idle_per_source < 1 || o.idle < 0 || o.duration < 0 || o.warmup < 0) {
    std::fprintf(stderr, "pelorin-load: bad arguments (see --help)\n");
    parsed.exit_status = 2;
    return parsed;
  }
  o.mode = m->second.first;
  o.protocol = m->second.second || protocol == "redis" ? Protocol::redis : Protocol::pelorin;
  if (o.idle_port == 0) o.idle_port = o.port;
  return parsed;
}

}  // namespace pelorin::bench
