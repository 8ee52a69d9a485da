// The load generator's requests and reply scanners, checked against the bytes
// each server sends. Built as pelorin-load-tests and run by `make bench` before
// it measures anything; not part of `make test`.
#include "bench/load/protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace pelorin::bench {
namespace {

using namespace std::string_literals;

struct ReplyCase {
  const char* what;
  Protocol protocol;
  std::string bytes;
  bool peer_closed;
  Outcome outcome;
  std::size_t used;  // checked when complete
};

TEST(LoadProtocol, LookupRepliesAreTakenWholeAndJudged) {
  const ReplyCase cases[] = {
      {"address, then close", Protocol::pelorin, "10.0.0.7", true, Outcome::ok, 8},
      {"address, still open", Protocol::pelorin, "10.0.0.7", false, Outcome::incomplete, 0},
      {"error keeps it open", Protocol::pelorin, "error", false, Outcome::error, 5},
      {"start of error", Protocol::pelorin, "err", false, Outcome::incomplete, 0},
      {"closed, nothing said", Protocol::pelorin, "", true, Outcome::error, 0},
      {"closed on garbage", Protocol::pelorin, "10.0.0", true, Outcome::error, 6},
      {"bulk string", Protocol::redis, "$8\r\n10.0.0.7\r\n", false, Outcome::ok, 14},
      {"half a bulk string", Protocol::redis, "$8\r\n10.0", false, Outcome::incomplete, 0},
      {"half, then close", Protocol::redis, "$8\r\n10.0", true, Outcome::error, 0},
      {"no such key", Protocol::redis, "$-1\r\n", false, Outcome::error, 5},
      {"error line", Protocol::redis, "-ERR wrong\r\n", false, Outcome::error, 12},
      {"not an address", Protocol::redis, "$3\r\nabc\r\n", false, Outcome::error, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ReplyScan scan = scan_lookup_reply(c.protocol, c.bytes, c.peer_closed);
    EXPECT_EQ(scan.outcome, c.outcome);
    if (c.outcome != Outcome::incomplete) {
      EXPECT_EQ(scan.used, c.used);
    }
  }
}

TEST(LoadProtocol, StoreRepliesAreSplitOneAtATime) {
  const ReplyCase cases[] = {
      {"stored", Protocol::pelorin, "CorrEct", false, Outcome::ok, 7},
      {"two back to back", Protocol::pelorin, "CorrEctSaveErr", false, Outcome::ok, 7},
      {"not stored", Protocol::pelorin, "SaveErr", false, Outcome::error, 7},
      {"part of a word", Protocol::pelorin, "Corr", false, Outcome::incomplete, 0},
      {"OK", Protocol::redis, "+OK\r\n+OK\r\n", false, Outcome::ok, 5},
      {"error", Protocol::redis, "-ERR x\r\n", false, Outcome::error, 8},
      {"OK without its end", Protocol::redis, "+OK", false, Outcome::incomplete, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ReplyScan scan = scan_store_reply(c.protocol, c.bytes);
    EXPECT_EQ(scan.outcome, c.outcome);
    if (c.outcome != Outcome::incomplete) {
      EXPECT_EQ(scan.used, c.used);
    }
  }
}

TEST(LoadProtocol, RequestsAreTheBytesEachServerExpects) {
  const net::AddressBytes address{10, 1, 2, 3};
  std::string out;
  append_lookup(Protocol::pelorin, "dev000001", out);
  EXPECT_EQ(out, "\x01\x01\x01"s "dev000001");
  out.clear();
  append_store(Protocol::pelorin, "dev000001", address, out);
  EXPECT_EQ(out, "\x0D"s "dev000001" "\x0A\x01\x02\x03"s);
  out.clear();
  append_lookup(Protocol::redis, "dev000001", out);
  EXPECT_EQ(out, "*2\r\n$3\r\nGET\r\n$9\r\ndev000001\r\n");
  out.clear();
  append_store(Protocol::redis, "dev000001", address, out);
  EXPECT_EQ(out, "*3\r\n$3\r\nSET\r\n$9\r\ndev000001\r\n$8\r\n10.1.2.3\r\n");
}

}  // namespace
}  // namespace pelorin::bench
