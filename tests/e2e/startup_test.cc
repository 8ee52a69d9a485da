// The daemon's start-up and end: the file and its ports, the single instance,
// refused ports, and signals.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "tests/e2e/daemon.h"

namespace pelorin::testing {
namespace {

// Whether this machine lets us bind the port now (nothing else holds it).
bool port_free(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

TEST(Startup, WithoutAFileUsesTheDefaultPorts) {
  TempDir dir;
  Daemon daemon(dir);
  if (port_free(10001) && port_free(10002)) {
    ASSERT_TRUE(daemon.wait_serving()) << daemon.log();
    EXPECT_EQ(daemon.port1, 10001);
    EXPECT_EQ(daemon.port2, 10002);
    EXPECT_TRUE(Client(10001).connected());
    EXPECT_TRUE(Client(10002).connected());
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(), 0);
  } else {
    // A real registry runs here: the default port is tried and found taken.
    EXPECT_NE(daemon.wait_exit(), 0);
    EXPECT_TRUE(daemon.log_has("on API 'bind'")) << daemon.log();
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("enpos.ini")));
}

TEST(Startup, AcceptsConnectionsOnBothPortsAndKeepsSilentOnesOpen) {
  TempDir dir;
  dir.write("enpos.ini", kFreePorts);
  Daemon daemon(dir);
  ASSERT_TRUE(daemon.wait_serving()) << daemon.log();
  EXPECT_TRUE(daemon.log_has("enpos.ini")) << "the start line names the file";
  Client reg(daemon.port1);
  Client look(daemon.port2);
  ASSERT_TRUE(reg.connected());
  ASSERT_TRUE(look.connected());
  EXPECT_TRUE(reg.stays_silent(300ms));
  EXPECT_TRUE(look.stays_silent(10ms));
}

TEST(Startup, SignalsEndTheDaemonWithStatusZero) {
  for (int sig : {SIGTERM, SIGINT}) {
    TempDir dir;
    dir.write("enpos.ini", kFreePorts);
    Daemon daemon(dir);
    ASSERT_TRUE(daemon.wait_serving()) << daemon.log();
    Client idle(daemon.port1);
    daemon.signal(sig);
    EXPECT_EQ(daemon.wait_exit(), 0) << "signal " << sig;
    EXPECT_TRUE(idle.closed_by_server(1s)) << "open connections are closed";
    EXPECT_FALSE(Client(daemon.port1).connected()) << "the port is closed";
  }
}

TEST(Startup, ASecondInstanceIsRefusedAndTheFirstKeepsServing) {
  TempDir dir;
  dir.write("enpos.ini", kFreePorts);
  Daemon first(dir);
  ASSERT_TRUE(first.wait_serving()) << first.log();

  TempDir other;
  other.write("enpos.ini", kFreePorts);
  Daemon second(other, Daemon::Options::sharing_lock(first.lock_name()));
  EXPECT_EQ(second.wait_exit(), 255);
  EXPECT_TRUE(second.log_has("Pelorin has already executed\n")) << second.log();

  EXPECT_EQ(register_name(first.port1, "still", {1, 2, 3, 4}), "CorrEct");
}

TEST(Startup, TheLockIsReleasedWhenTheHolderDies) {
  TempDir dir;
  dir.write("enpos.ini", kFreePorts);
  std::string lock;
  {
    Daemon first(dir);
    ASSERT_TRUE(first.wait_serving()) << first.log();
    lock = first.lock_name();
    first.signal(SIGKILL);
    ASSERT_TRUE(first.wait_exit());
  }
  Daemon next(dir, Daemon::Options::sharing_lock(lock));
  EXPECT_TRUE(next.wait_serving()) << next.log();
}

TEST(Startup, UnusablePortsAreRefusedWithAFailureStatus) {
  struct Case {
    const char* why;
    const char* ini;
    bool registration_opened;
  };
  const Case cases[] = {
      {"port1 is -1", "[Connect]\nport1=-1\nport2=0\n", false},
      {"port2 is -1", "[Connect]\nport1=0\nport2=-1\n", true},
      {"port1 is not a number", "[Connect]\nport1=abc\nport2=0\n", false},
      {"port1 above 65535", "[Connect]\nport1=70000\nport2=0\n", false},
      {"port2 negative", "[Connect]\nport1=0\nport2=-5\n", true},
  };
  for (const Case& c : cases) {
    TempDir dir;
    dir.write("enpos.ini", c.ini);
    Daemon daemon(dir);
    std::optional<int> status = daemon.wait_exit();
    ASSERT_TRUE(status) << c.why;
    EXPECT_NE(*status, 0) << c.why;
    EXPECT_TRUE(daemon.log_has("\n HAVE  ERROR OCCUR \n") ||
                daemon.log().starts_with(" HAVE  ERROR OCCUR \n"))
        << c.why << "\n" << daemon.log();
    EXPECT_EQ(daemon.log_has("registration listener open"), c.registration_opened) << c.why;
    EXPECT_FALSE(daemon.log_has("lookup listener open")) << c.why;
  }
}

TEST(Startup, APortInUseIsReportedAndNothingAfterItOpens) {
  TempDir busy_dir;
  busy_dir.write("enpos.ini", kFreePorts);
  Daemon holder(busy_dir);
  ASSERT_TRUE(holder.wait_serving()) << holder.log();

  TempDir dir;
  dir.write("enpos.ini", "[Connect]\nport1=" + std::to_string(holder.port1) + "\nport2=0\n");
  Daemon daemon(dir);
  std::optional<int> status = daemon.wait_exit();
  ASSERT_TRUE(status);
  EXPECT_NE(*status, 0);
  EXPECT_TRUE(daemon.log_has("\nSocket error: Address already in use (98), on API 'bind'\n"))
      << daemon.log();
  EXPECT_FALSE(daemon.log_has("lookup listener open"));
}

TEST(Startup, PortZeroLetsTheSystemChooseAndLogsIt) {
  TempDir dir;
  dir.write("enpos.ini", kFreePorts);
  Daemon daemon(dir);
  ASSERT_TRUE(daemon.wait_serving()) << daemon.log();
  EXPECT_NE(daemon.port1, 0);
  EXPECT_NE(daemon.port2, 0);
  EXPECT_TRUE(daemon.log_has("registration listener open on port " +
                             std::to_string(daemon.port1)));
}

}  // namespace
}  // namespace pelorin::testing
