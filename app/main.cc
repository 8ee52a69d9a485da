// pelorin: process entry. Takes the single-instance lock, then runs the
// desktop shell when a display answers and the desktop module is installed,
// the headless shell otherwise. The choice is made before any Qt object exists.
#include <sys/resource.h>

#include <csignal>
#include <optional>

#include "app/desktop/display.h"
#include "app/desktop/module.h"
#include "app/headless_shell.h"
#include "app/instance_lock.h"
#include "app/options.h"
#include "net/log.h"

namespace {

constexpr const char* kAlreadyExecuted = "Pelorin has already executed";
constexpr int kAlreadyExecutedStatus = 255;

// Thousands of devices may hold registration connections open for weeks.
void raise_open_file_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    (void)::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::optional<pelorin::desktop::Module> desktop_module(const pelorin::app::Options& options) {
  if (options.headless || !pelorin::desktop::display_answers()) return std::nullopt;
  return pelorin::desktop::Module::open();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace pelorin;
  app::ParsedOptions parsed = app::parse_options(argc, argv);
  if (parsed.exit_status) return *parsed.exit_status;
  log::set_verbose(parsed.options.verbose);
  std::signal(SIGPIPE, SIG_IGN);

  // Held until main returns, whichever shell ran.
  app::InstanceLock lock(app::instance_lock_name());
  const std::optional<desktop::Module> desktop = desktop_module(parsed.options);
  if (lock.state() == app::InstanceLock::State::taken_elsewhere) {
    if (desktop) {
      desktop->message(argc, argv, "Pelorin", kAlreadyExecuted);
    } else {
      log::operator_text(kAlreadyExecuted);
    }
    return kAlreadyExecutedStatus;
  }
  raise_open_file_limit();
  if (desktop) return desktop->run(argc, argv, parsed.options.ini, parsed.options.verbose);
  app::HeadlessShell shell;
  return shell.run(parsed.options.ini);
}
