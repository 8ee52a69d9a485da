// pelorinctl against the real daemon: its answers and exit statuses.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>

#include "tests/e2e/daemon.h"

namespace pelorin::testing {
namespace {

struct CtlRun {
  int status = -1;
  std::string out;  // standard output and standard error
};

CtlRun pelorinctl(const std::string& args) {
  CtlRun run;
  FILE* pipe = ::popen((std::string(PELORINCTL_BIN) + " " + args + " 2>&1").c_str(), "r");
  std::array<char, 512> buf{};
  while (std::fgets(buf.data(), buf.size(), pipe) != nullptr) run.out += buf.data();
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(Pelorinctl, AnswersAndExitStatuses) {
  TempDir dir;
  dir.write("enpos.ini", kFreePorts);
  Daemon daemon(dir);
  ASSERT_TRUE(daemon.wait_serving()) << daemon.log();
  const std::string reg = "--port " + std::to_string(daemon.port1) + " ";
  const std::string look = "--port " + std::to_string(daemon.port2) + " ";
  struct Case {
    std::string args;
    int status;
    std::string output;  // a part of what it prints
  };
  const Case cases[] = {
      {reg + "register shop1 192.168.0.20", 0, "stored shop1=192.168.0.20\n"},
      {look + "lookup SHOP1", 0, "192.168.0.20\n"},
      {look + "lookup nobody", 1, "unknown"},
      {reg + "-v register till9 10.0.0.7", 0, "09 74 69 6c 6c 39 0a 00 00 07"},
      {look + "-v lookup till9", 0, "the server closed the connection"},
      {reg + "register 'a=b' 1.2.3.4", 2, "'=' in name"},
      {reg + "register '[Connect]' 1.2.3.4", 2, "starts with '['"},
      {reg + "register " + std::string(33, 'x') + " 1.2.3.4", 2, "longer than 32"},
      {reg + "register shop1 1.2.3", 2, "not an IPv4 address"},
      {reg + "register shop1 256.1.1.1", 2, "not an IPv4 address"},
      {"--port 1 lookup shop1", 2, "cannot connect"},
      {"lookup", 2, ""},
      {"frobnicate", 2, ""},
      {"--help", 0, "register"},
      {"list --ini " + dir.file("enpos.ini"), 0, "NAME   ADDRESS\nshop1  192.168.0.20\ntill9  10.0.0.7\n"},
      {"list --json --ini " + dir.file("enpos.ini"), 0,
       "[\n  {\"name\": \"shop1\", \"address\": \"192.168.0.20\"},\n"
       "  {\"name\": \"till9\", \"address\": \"10.0.0.7\"}\n]\n"},
      {"list --ini " + dir.file("missing.ini"), 2, "no such file"},
  };
  for (const Case& c : cases) {
    CtlRun run = pelorinctl(c.args);
    EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.out;
    EXPECT_NE(run.out.find(c.output), std::string::npos) << c.args << "\n" << run.out;
  }
}

TEST(Pelorinctl, ListsNamesSortedAndEscapesJson) {
  TempDir dir;
  dir.write("enpos.ini", "[enposinfo]\nzeta=1.1.1.1\nAlpha=2.2.2.2\nq\"uote=3.3.3.3\n");
  CtlRun table = pelorinctl("list --ini " + dir.file("enpos.ini"));
  EXPECT_EQ(table.out, "NAME    ADDRESS\nAlpha   2.2.2.2\nq\"uote  3.3.3.3\nzeta    1.1.1.1\n");
  CtlRun json = pelorinctl("list --json --ini " + dir.file("enpos.ini"));
  EXPECT_NE(json.out.find("{\"name\": \"q\\\"uote\", \"address\": \"3.3.3.3\"}"), std::string::npos)
      << json.out;
}

TEST(Pelorinctl, ListsWhatTheJournalHoldsOverTheFile) {
  TempDir dir;
  dir.write("enpos.ini", "[enposinfo]\nzeta=1.1.1.1\nshop1=9.9.9.9\n");
  // A line answered from the journal, then one a crash cut short.
  dir.write("enpos.ini.journal", "# pelorin journal\nf1b8a20b shop1=192.168.0.20\n0000");
  CtlRun table = pelorinctl("list --ini " + dir.file("enpos.ini"));
  EXPECT_EQ(table.status, 0);
  EXPECT_EQ(table.out, "NAME   ADDRESS\nshop1  192.168.0.20\nzeta   1.1.1.1\n");
}

}  // namespace
}  // namespace pelorin::testing
