#include "app/options.h"

#include <CLI/CLI.hpp>
#include <iostream>

namespace pelorin::app {

ParsedOptions parse_options(int argc, char** argv) {
  ParsedOptions parsed;
  Options& o = parsed.options;
  CLI::App cli{"pelorin: a resident name registry for a local network.\n"
               "Devices register a name and their IPv4 address on one TCP port; "
               "clients look names up on another. Ports and entries live in enpos.ini."};
  cli.add_option("--ini", o.ini, "settings and address book file")
      ->capture_default_str()
      ->option_text("PATH");
  cli.add_flag("--headless", o.headless, "run without the desktop tray icon");
  cli.add_flag("-v,--verbose", o.verbose, "log every registration and lookup");
  cli.set_version_flag("--version", std::string("pelorin ") + PELORIN_VERSION);
  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int status = cli.exit(e);
    parsed.exit_status = status == 0 ? 0 : 2;
  }
  return parsed;
}

}  // namespace pelorin::app
