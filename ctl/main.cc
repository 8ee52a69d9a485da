// pelorinctl: register a name, look one up, or list the address book, from a
// shell. Exit status 0 on success, 1 when the server refused or did not know
// the name, 2 for bad arguments or a failed connection.
#include <CLI/CLI.hpp>
#include <iostream>

#include "ctl/address_list.h"
#include "ctl/exchange.h"
#include "net/address_text.h"
#include "net/lookup_wire.h"
#include "net/registration_wire.h"
#include "store/address_book.h"
#include "store/ini_file.h"
#include "store/journal.h"

namespace {

using namespace pelorin;

constexpr int kOk = 0;
constexpr int kRefused = 1;
constexpr int kFailed = 2;

struct Common {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: the command's default
  int timeout_ms = 3000;
  bool verbose = false;
};

int fail(const std::string& message) {
  std::cerr << "pelorinctl: " << message << "\n";
  return kFailed;
}

ctl::Exchange run(const Common& c, int default_port, const std::vector<std::uint8_t>& request,
                  ctl::ReplyShape shape) {
  const auto port = static_cast<std::uint16_t>(c.port != 0 ? c.port : default_port);
  if (c.verbose) {
    std::cerr << "connecting to " << c.host << ":" << port << "\n"
              << "sent     " << request.size() << " bytes: "
              << ctl::hex(std::string(request.begin(), request.end())) << "\n";
  }
  ctl::Exchange ex = ctl::exchange(c.host, port, request, shape,
                                   std::chrono::milliseconds(c.timeout_ms));
  if (c.verbose) {
    std::cerr << "received " << ex.received.size() << " bytes: " << ctl::hex(ex.received)
              << (ex.received.empty() ? "" : "  \"" + ex.received + "\"") << "\n"
              << (ex.closed_by_server ? "the server closed the connection\n"
                                      : "the connection was left open\n");
  }
  return ex;
}

int do_register(const Common& c, const std::string& name, const std::string& address) {
  if (auto problem = net::check_name(name)) {
    return fail("cannot register '" + name + "': " + std::string(net::describe(*problem)));
  }
  auto bytes = net::parse_address(address);
  if (!bytes) return fail("'" + address + "' is not an IPv4 address like 192.168.0.20");
  ctl::Exchange ex = run(c, 10001, net::encode_registration(name, *bytes),
                         ctl::ReplyShape::registration);
  if (ex.failure) return fail(*ex.failure);
  if (ex.received == net::kStoredReply) {
    std::cout << "stored " << name << "=" << net::address_text(*bytes) << "\n";
    return kOk;
  }
  if (ex.received == net::kSaveErrReply) {
    std::cout << "refused: the server answered SaveErr\n";
    return kRefused;
  }
  return fail("unexpected answer \"" + ex.received + "\" (" + ctl::hex(ex.received) + ")");
}

int do_lookup(const Common& c, const std::string& name) {
  if (name.empty() || name.size() > net::kMaxNameBytes) {
    return fail("a name has 1 to 32 bytes");
  }
  ctl::Exchange ex = run(c, 10002, net::encode_lookup(name), ctl::ReplyShape::lookup);
  if (ex.failure) return fail(*ex.failure);
  if (!ex.closed_by_server && ex.received == net::kLookupErrorReply) {
    std::cout << "unknown: the server answered error\n";
    return kRefused;
  }
  if (!ex.closed_by_server) return fail("unexpected answer \"" + ex.received + "\"");
  std::cout << ex.received << "\n";
  return kOk;
}

int do_list(const std::string& ini, bool json) {
  store::LoadedFile file = store::load_file(ini);
  if (file.status == store::LoadedFile::Status::absent) return fail(ini + ": no such file");
  if (file.status != store::LoadedFile::Status::ok) return fail(ini + ": cannot read the file");
  store::IniDocument doc(file.text);
  // Registrations the daemon answered from its journal and has not written
  // into the file yet are part of what it serves.
  const store::LoadedFile journal = store::load_file(store::journal_path(ini));
  for (const store::JournalEntry& e : store::scan_journal(journal.text).entries) {
    doc.set(store::kEntrySection, e.name, e.address);
  }
  auto entries = ctl::sorted_entries(doc.entries(store::kEntrySection));
  std::cout << (json ? ctl::as_json(entries) : ctl::as_table(entries));
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App cli{"pelorinctl: talk to a pelorin name registry."};
  cli.require_subcommand(1);
  cli.set_version_flag("--version", std::string("pelorinctl ") + PELORIN_VERSION);
  Common c;
  cli.add_option("--host", c.host, "server address")->capture_default_str();
  cli.add_option("--port", c.port, "server port (default 10001 to register, 10002 to look up)")
      ->check(CLI::Range(1, 65535));
  cli.add_option("--timeout", c.timeout_ms, "milliseconds to wait for an answer")
      ->capture_default_str()
      ->check(CLI::Range(1, 600000));
  cli.add_flag("-v,--verbose", c.verbose, "show the bytes sent and received");

  std::string name, address, ini = "enpos.ini";
  bool json = false;
  auto* reg = cli.add_subcommand("register", "register NAME with an IPv4 ADDRESS");
  reg->add_option("NAME", name)->required();
  reg->add_option("ADDRESS", address)->required();
  auto* look = cli.add_subcommand("lookup", "print the address registered for NAME");
  look->add_option("NAME", name)->required();
  auto* list = cli.add_subcommand("list", "print the names and addresses in an enpos.ini");
  list->add_option("--ini", ini, "the file to read")->capture_default_str();
  list->add_flag("--json", json, "print JSON for scripts");

  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return cli.exit(e) == 0 ? kOk : kFailed;
  }
  if (reg->parsed()) return do_register(c, name, address);
  if (look->parsed()) return do_lookup(c, name);
  return do_list(ini, json);
}
