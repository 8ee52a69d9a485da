// A failing connection closes every connection of its listener from the same
// peer address, and nothing else; the operator sees nothing of it.
#include <gtest/gtest.h>

#include <thread>

#include "net/lookup_wire.h"
#include "net/registration_wire.h"
#include "tests/e2e/daemon.h"

namespace pelorin::testing {
namespace {

class ConnectionErrors : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("enpos.ini", kFreePorts);
    daemon_ = std::make_unique<Daemon>(dir_);
    ASSERT_TRUE(daemon_->wait_serving()) << daemon_->log();
  }
  // Lets the daemon accept connections in the order they were made.
  static void settle() { std::this_thread::sleep_for(100ms); }

  TempDir dir_;
  std::unique_ptr<Daemon> daemon_;
};

TEST_F(ConnectionErrors, AResetOnTheNewerClosesBothFromThatPeer) {
  Client older(daemon_->port1, "127.0.0.2");
  settle();
  Client newer(daemon_->port1, "127.0.0.2");
  Client other(daemon_->port1, "127.0.0.3");
  Client lookup_side(daemon_->port2, "127.0.0.2");
  settle();
  newer.reset();
  EXPECT_TRUE(older.closed_by_server(2s));
  EXPECT_TRUE(other.stays_silent(300ms)) << "another host is not touched";
  EXPECT_TRUE(lookup_side.stays_silent(10ms)) << "the other listener is not touched";
  const std::string log = daemon_->log();
  EXPECT_EQ(log.find("Socket error"), std::string::npos) << log;
}

TEST_F(ConnectionErrors, AResetOnTheOlderClosesOnlyTheOlder) {
  Client older(daemon_->port1, "127.0.0.2");
  settle();
  Client newer(daemon_->port1, "127.0.0.2");
  settle();
  older.reset();
  EXPECT_TRUE(newer.stays_silent(500ms));
  newer.send(std::vector<std::uint8_t>{5, 'x', 1, 2, 3, 4});
  EXPECT_EQ(newer.read(7), "CorrEct");
}

TEST_F(ConnectionErrors, AResetOnTheLookupSideLeavesRegistrationsAlone) {
  Client device(daemon_->port1, "127.0.0.2");
  Client a(daemon_->port2, "127.0.0.2");
  settle();
  Client b(daemon_->port2, "127.0.0.2");
  settle();
  b.reset();
  EXPECT_TRUE(a.closed_by_server(2s));
  EXPECT_TRUE(device.stays_silent(300ms));
  device.send(std::vector<std::uint8_t>{5, 'y', 1, 2, 3, 4});
  EXPECT_EQ(device.read(7), "CorrEct");
}

// A device that sends registrations and closes without waiting for the
// replies has closed in order, even though the first reply it never reads
// makes its side reset the next: the other connection of that device stays
// open.
TEST_F(ConnectionErrors, ADeviceThatSendsAndClosesIsNoError) {
  Client keep(daemon_->port1, "127.0.0.2");
  keep.send(net::encode_registration("keep", {10, 0, 0, 1}));
  ASSERT_EQ(keep.read(7), "CorrEct");
  for (int i = 0; i < 5; ++i) {
    Client gone(daemon_->port1, "127.0.0.2");
    auto two = net::encode_registration("gone" + std::to_string(i), {10, 0, 0, 2});
    const auto second = net::encode_registration("more" + std::to_string(i), {10, 0, 0, 2});
    two.insert(two.end(), second.begin(), second.end());
    gone.send(two);
  }  // closed at once, before the replies can come
  EXPECT_TRUE(keep.stays_silent(300ms)) << "the device's other connection was closed";
  keep.send(net::encode_registration("keep", {10, 0, 0, 3}));
  EXPECT_EQ(keep.read(7), "CorrEct");
  EXPECT_NE(dir_.settled_ini().find("gone4=10.0.0.2"), std::string::npos);
  const std::string log = daemon_->log();
  EXPECT_EQ(log.find("Socket error"), std::string::npos) << log;
}

}  // namespace
}  // namespace pelorin::testing
