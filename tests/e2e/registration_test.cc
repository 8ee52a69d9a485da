// Registrations against the real daemon: framing, replies, refusals, and what
// reaches enpos.ini.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "net/registration_wire.h"
#include "tests/e2e/daemon.h"

namespace pelorin::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes request(const std::string& name, std::initializer_list<int> address) {
  Bytes out;
  out.push_back(static_cast<std::uint8_t>(name.size() + 4));
  for (char c : name) out.push_back(static_cast<std::uint8_t>(c));
  for (int b : address) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

Bytes join(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  for (auto x : b) out.push_back(x);
  return out;
}

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("enpos.ini", kFreePorts);
    daemon_ = std::make_unique<Daemon>(dir_);
    ASSERT_TRUE(daemon_->wait_serving()) << daemon_->log();
  }
  std::string ini() const { return dir_.settled_ini(); }

  TempDir dir_;
  std::unique_ptr<Daemon> daemon_;
};

TEST_F(Registration, TheShop1ExampleIsStoredAndAnswered) {
  Client device(daemon_->port1);
  device.send(Bytes{0x09, 0x73, 0x68, 0x6F, 0x70, 0x31, 0xC0, 0xA8, 0x00, 0x14});
  EXPECT_EQ(device.read(8, 1s), "CorrEct") << "exactly 7 bytes, no terminator";
  EXPECT_EQ(dir_.read("enpos.ini"), std::string(kFreePorts) + "[enposinfo]\nshop1=192.168.0.20\n")
      << "a lone registration is in the file when it is answered";
  EXPECT_TRUE(device.stays_silent(200ms)) << "the connection stays open";
}

TEST_F(Registration, ReRegistrationReplacesWhateverTheLetterCase) {
  Client device(daemon_->port1);
  device.send(request("Shop1", {10, 0, 0, 1}));
  ASSERT_EQ(device.read(7), "CorrEct");
  device.send(request("SHOP1", {0, 0, 0, 0}));
  ASSERT_EQ(device.read(7), "CorrEct");
  EXPECT_EQ(ini(), std::string(kFreePorts) + "[enposinfo]\nShop1=0.0.0.0\n");
}

TEST_F(Registration, ASplitRequestIsStoredWhole) {
  Client device(daemon_->port1);
  const Bytes whole = request("split", {172, 16, 5, 9});
  device.send(Bytes(whole.begin(), whole.begin() + 3));
  EXPECT_TRUE(device.stays_silent(200ms)) << "no reply to half a request";
  device.send(Bytes(whole.begin() + 3, whole.end()));
  EXPECT_EQ(device.read(7), "CorrEct");
  EXPECT_NE(ini().find("split=172.16.5.9\n"), std::string::npos) << ini();
}

TEST_F(Registration, RequestsBackToBackAreAllStoredAndAnsweredInOrder) {
  Client device(daemon_->port1);
  Bytes burst;
  for (int i = 0; i < 20; ++i) {
    burst = join(burst, request("dev" + std::to_string(i), {10, 0, 0, i}));
  }
  burst = join(burst, Bytes{0});  // a bad length at the end, answered last
  device.send(burst);
  EXPECT_EQ(device.read(21 * 7), [] {
    std::string all;
    for (int i = 0; i < 20; ++i) all += "CorrEct";
    return all + "SaveErr";
  }());
  for (int i = 0; i < 20; ++i) {
    EXPECT_NE(ini().find("dev" + std::to_string(i) + "=10.0.0." + std::to_string(i) + "\n"),
              std::string::npos);
  }
}

TEST_F(Registration, AnIncompleteRequestIsRefusedAfterASecondAndTheNextStartsClean) {
  Client device(daemon_->port1);
  device.send(Bytes{9, 's', 'h'});
  EXPECT_EQ(device.read(7, 3s), "SaveErr");
  device.send(request("clean", {1, 2, 3, 4}));
  EXPECT_EQ(device.read(7), "CorrEct");
  EXPECT_EQ(ini(), std::string(kFreePorts) + "[enposinfo]\nclean=1.2.3.4\n");
}

TEST_F(Registration, NamesThatWouldBreakTheFileAreRefusedAndTheFileKept) {
  ASSERT_EQ(register_name(daemon_->port1, "keep", {1, 1, 1, 1}), "CorrEct");
  const std::string before = ini();
  const char* bad[] = {"[Connect]", ";hidden", "a=b", "line\nbreak", "cr\rx", " lead",
                       "trail ",    "tab\tx",  "del\x7F"};
  Client device(daemon_->port1);
  for (const char* name : bad) {
    device.send(request(name, {6, 6, 6, 6}));
    EXPECT_EQ(device.read(7), "SaveErr") << name;
  }
  device.send(Bytes{6, 0, 'x', 1, 1, 1, 1});  // the zero byte leaves no name
  EXPECT_EQ(device.read(7), "SaveErr");
  EXPECT_EQ(ini(), before);
  device.send(request("fine", {2, 2, 2, 2}));
  EXPECT_EQ(device.read(7), "CorrEct") << "the connection keeps its framing";
  EXPECT_TRUE(daemon_->log_has("refused registration from 127.0.0.1: '=' in name"));
}

TEST_F(Registration, BadLengthsDropWhatIsBufferedAndTheDaemonKeepsServing) {
  for (int bad : {0, 4, 37, 0x80, 0xFF}) {
    const auto length = static_cast<std::uint8_t>(bad);
    Client device(daemon_->port1);
    device.send(join(Bytes{length}, request("lost", {1, 1, 1, 1})));
    EXPECT_EQ(device.read(7), "SaveErr") << bad;
    device.send(request("after", {bad, 0, 0, 1}));
    EXPECT_EQ(device.read(7), "CorrEct") << bad;
  }
  EXPECT_EQ(ini().find("lost"), std::string::npos);
}

TEST_F(Registration, RandomBytesNeverStopTheService) {
  std::mt19937 random(7);
  for (int round = 0; round < 30; ++round) {
    Client noise(round % 2 ? daemon_->port1 : daemon_->port2);
    Bytes junk(1 + random() % 2000);
    for (auto& b : junk) b = static_cast<std::uint8_t>(random());
    noise.send(junk);
    if (round % 3 == 0) noise.reset();
  }
  EXPECT_EQ(register_name(daemon_->port1, "alive", {9, 9, 9, 9}), "CorrEct");
  EXPECT_EQ(lookup(daemon_->port2, "alive").reply, "9.9.9.9");
  const std::string text = ini();
  EXPECT_TRUE(text.starts_with(kFreePorts)) << "the settings are intact";
}

TEST_F(Registration, TwoDevicesEachGetTheirOwnReply) {
  Client a(daemon_->port1, "127.0.0.2");
  Client b(daemon_->port1, "127.0.0.3");
  a.send(request("a", {1, 1, 1, 1}));
  b.send(Bytes{0});
  EXPECT_EQ(b.read(7), "SaveErr");
  EXPECT_EQ(a.read(7), "CorrEct");
  EXPECT_TRUE(a.stays_silent(100ms));
  EXPECT_TRUE(b.stays_silent(10ms));
}

TEST(RegistrationWriteFailure, AnUnwritableFileIsAnsweredSaveErrAndKept) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the daemon as another user";
  TempDir dir;
  const std::string before = std::string(kFreePorts) + "[enposinfo]\nold=1.1.1.1\n";
  dir.write("enpos.ini", before);
  ::chmod(dir.file("enpos.ini").c_str(), 0444);
  ::chmod(dir.path().c_str(), 0777);  // only the file forbids the write
  Daemon daemon(dir, Daemon::Options::as_user(65534));
  ASSERT_TRUE(daemon.wait_serving()) << daemon.log();

  Client device(daemon.port1);
  device.send(request("new", {2, 2, 2, 2}));
  EXPECT_EQ(device.read(7), "SaveErr");
  EXPECT_EQ(dir.read("enpos.ini"), before);
  EXPECT_TRUE(daemon.log_has("\n save ip info error \n")) << daemon.log();
  EXPECT_EQ(lookup(daemon.port2, "old").reply, "1.1.1.1") << "still serving";
  device.send(request("again", {3, 3, 3, 3}));
  EXPECT_EQ(device.read(7), "SaveErr");
}

}  // namespace
}  // namespace pelorin::testing
