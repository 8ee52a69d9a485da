// pelorin: process entry. Takes the single-instance lock, then runs the shell.
#include <sys/resource.h>

#include <csignal>

#include "app/headless_shell.h"
#include "app/instance_lock.h"
#include "app/options.h"
#include "net/log.h"

namespace {

// Thousands of devices may hold registration connections open for weeks.
void raise_open_file_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    (void)::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace pelorin;
  app::ParsedOptions parsed = app::parse_options(argc, argv);
  if (parsed.exit_status) return *parsed.exit_status;
  log::set_verbose(parsed.options.verbose);
  std::signal(SIGPIPE, SIG_IGN);

  app::InstanceLock lock(app::instance_lock_name());
  if (lock.state() == app::InstanceLock::State::taken_elsewhere) {
    log::operator_text("Pelorin has already executed");
    return 255;
  }
  raise_open_file_limit();
  app::HeadlessShell shell;
  return shell.run(parsed.options.ini);
}
