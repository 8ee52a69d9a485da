// Request encoders (the registry's come from pelorin_wire) and reply scanners.
#include "bench/load/protocol.h"

#include <charconv>

#include "net/lookup_wire.h"
#include "net/registration_wire.h"

namespace pelorin::bench {
namespace {

void append_bulk(std::string_view text, std::string& out) {
  out += '$';
  out += std::to_string(text.size());
  out += "\r\n";
  out += text;
  out += "\r\n";
}

bool is_address(std::string_view text) { return net::parse_address(text).has_value(); }

// "$<len>\r\n<bytes>\r\n", "$-1\r\n" (no such key) or an error line.
ReplyScan scan_redis_bulk(std::string_view bytes) {
  const std::size_t eol = bytes.find("\r\n");
  if (eol == std::string_view::npos) return {};
  if (bytes.front() != '$') return {Outcome::error, eol + 2};
  long length = 0;
  auto [end, ec] = std::from_chars(bytes.data() + 1, bytes.data() + eol, length);
  if (ec != std::errc() || end != bytes.data() + eol) return {Outcome::error, eol + 2};
  if (length < 0) return {Outcome::error, eol + 2};
  const std::size_t total = eol + 2 + static_cast<std::size_t>(length) + 2;
  if (bytes.size() < total) return {};
  const bool ok = is_address(bytes.substr(eol + 2, static_cast<std::size_t>(length)));
  return {ok ? Outcome::ok : Outcome::error, total};
}

}  // namespace

void append_lookup(Protocol protocol, std::string_view name, std::string& out) {
  if (protocol == Protocol::pelorin) {
    const std::vector<std::uint8_t> request = net::encode_lookup(name);
    out.append(request.begin(), request.end());
    return;
  }
  out += "*2\r\n";
  append_bulk("GET", out);
  append_bulk(name, out);
}

void append_store(Protocol protocol, std::string_view name, const net::AddressBytes& address,
                  std::string& out) {
  if (protocol == Protocol::pelorin) {
    const std::vector<std::uint8_t> request = net::encode_registration(name, address);
    out.append(request.begin(), request.end());
    return;
  }
  out += "*3\r\n";
  append_bulk("SET", out);
  append_bulk(name, out);
  append_bulk(net::address_text(address), out);
}

ReplyScan scan_lookup_reply(Protocol protocol, std::string_view bytes, bool peer_closed) {
  if (protocol == Protocol::redis) {
    ReplyScan scan = scan_redis_bulk(bytes);
    if (scan.outcome == Outcome::incomplete && peer_closed) scan.outcome = Outcome::error;
    return scan;
  }
  if (bytes == net::kLookupErrorReply) return {Outcome::error, bytes.size()};
  if (!peer_closed) return {};
  return {is_address(bytes) ? Outcome::ok : Outcome::error, bytes.size()};
}

ReplyScan scan_store_reply(Protocol protocol, std::string_view bytes) {
  if (protocol == Protocol::pelorin) {
    const std::size_t size = net::kStoredReply.size();
    if (bytes.size() < size) return {};
    return {bytes.substr(0, size) == net::kStoredReply ? Outcome::ok : Outcome::error, size};
  }
  const std::size_t eol = bytes.find("\r\n");
  if (eol == std::string_view::npos) return {};
  return {bytes.substr(0, eol) == "+OK" ? Outcome::ok : Outcome::error, eol + 2};
}

}  // namespace pelorin::bench
