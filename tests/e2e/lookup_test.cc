// Lookups against the real daemon: answers, the close after a found answer,
// "error" with the connection kept, and hand edits seen at once.
#include <gtest/gtest.h>

#include <filesystem>

#include "net/lookup_wire.h"
#include "tests/e2e/daemon.h"

namespace pelorin::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

class Lookup : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("enpos.ini", std::string(kFreePorts) +
                                "[enposinfo]\nshop1=192.168.0.20\nempty=\n"
                                "long=" + std::string(40, '7') + "\n");
    daemon_ = std::make_unique<Daemon>(dir_);
    ASSERT_TRUE(daemon_->wait_serving()) << daemon_->log();
  }
  TempDir dir_;
  std::unique_ptr<Daemon> daemon_;
};

TEST_F(Lookup, TheShop1ExampleIsAnsweredAndTheConnectionClosed) {
  Client client(daemon_->port2);
  client.send(Bytes{0x01, 0x01, 0x01, 0x73, 0x68, 0x6F, 0x70, 0x31});
  EXPECT_EQ(client.read(64, 2s), "192.168.0.20");
  EXPECT_TRUE(client.closed_by_server(1s));
}

TEST_F(Lookup, AnswersByTable) {
  struct Case {
    const char* name;
    const char* reply;
    bool closed;
  };
  const Case cases[] = {
      {"shop1", "192.168.0.20", true},
      {"SHOP1", "192.168.0.20", true},
      {"nobody", "error", false},
      {"empty", "error", false},
      {"long", "77777777777777777777777777777", true},  // 29 characters
  };
  for (const Case& c : cases) {
    LookupAnswer answer = lookup(daemon_->port2, c.name);
    EXPECT_EQ(answer.reply, c.reply) << c.name;
    EXPECT_EQ(answer.closed, c.closed) << c.name;
  }
}

TEST_F(Lookup, AWrongHeaderIsAnsweredErrorAndTheConnectionServesAgain) {
  Client client(daemon_->port2);
  client.send(Bytes{1, 1, 2, 's', 'h', 'o', 'p', '1'});
  EXPECT_EQ(client.read_some(2s), "error");
  EXPECT_TRUE(client.stays_silent(200ms));
  client.send(net::encode_lookup("shop1"));
  EXPECT_EQ(client.read_some(2s), "192.168.0.20");
  EXPECT_TRUE(client.closed_by_server(1s));
}

TEST_F(Lookup, ANameEndsAtItsFirstZeroByte) {
  Client client(daemon_->port2);
  client.send(Bytes{1, 1, 1, 's', 'h', 'o', 'p', '1', 0, 'x', 'y'});
  EXPECT_EQ(client.read_some(2s), "192.168.0.20");
}

TEST_F(Lookup, EveryRegisteredNameCanBeFound) {
  const std::string name32(32, 'n');
  ASSERT_EQ(register_name(daemon_->port1, name32, {10, 20, 30, 40}), "CorrEct");
  EXPECT_EQ(lookup(daemon_->port2, name32).reply, "10.20.30.40");
  EXPECT_EQ(lookup(daemon_->port2, std::string(33, 'n')).reply, "error");
}

TEST_F(Lookup, OversizedRequestsAreAnsweredErrorAndDropped) {
  Client client(daemon_->port2);
  Bytes big(3000, 1);
  client.send(big);
  EXPECT_EQ(client.read(5, 2s), "error");
  EXPECT_TRUE(client.stays_silent(200ms)) << "one error, the rest dropped";
}

TEST_F(Lookup, OnlyTheConnectionWhoseLookupSucceededIsClosed) {
  Client found(daemon_->port2, "127.0.0.2");
  Client unknown(daemon_->port2, "127.0.0.3");
  found.send(net::encode_lookup("shop1"));
  unknown.send(net::encode_lookup("nobody"));
  EXPECT_EQ(unknown.read_some(2s), "error");
  EXPECT_EQ(found.read_some(2s), "192.168.0.20");
  EXPECT_TRUE(found.closed_by_server(1s));
  EXPECT_TRUE(unknown.stays_silent(200ms));
}

TEST_F(Lookup, HandEditsAndDeletionAreSeenByTheNextLookup) {
  dir_.write("enpos.ini", std::string(kFreePorts) + "[enposinfo]\nshop1=10.9.8.7\nhand=1.1.1.1\n");
  EXPECT_EQ(lookup(daemon_->port2, "shop1").reply, "10.9.8.7");
  EXPECT_EQ(lookup(daemon_->port2, "hand").reply, "1.1.1.1");
  std::filesystem::remove(dir_.file("enpos.ini"));
  EXPECT_EQ(lookup(daemon_->port2, "shop1").reply, "error");
  ASSERT_EQ(register_name(daemon_->port1, "back", {1, 2, 3, 4}), "CorrEct");
  EXPECT_EQ(dir_.read("enpos.ini"), "[enposinfo]\nback=1.2.3.4\n");
}

}  // namespace
}  // namespace pelorin::testing
