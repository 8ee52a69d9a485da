// Byte tables for the two wire formats and the address text.
#include <gtest/gtest.h>

#include <variant>

#include "net/address_text.h"
#include "net/lookup_wire.h"
#include "net/registration_wire.h"

namespace pelorin::net {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::initializer_list<int> list) {
  Bytes out;
  for (int b : list) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

Bytes with_name(int length, std::string_view name, std::initializer_list<int> address) {
  Bytes out;
  out.push_back(static_cast<std::uint8_t>(length));
  for (char c : name) out.push_back(static_cast<std::uint8_t>(c));
  for (int b : address) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

// The lookup header, then `head`, then `count` copies of `fill`.
Bytes lookup_of(std::string_view head, std::size_t count = 0, char fill = 'x') {
  Bytes out(3, 1);
  for (char c : head) out.push_back(static_cast<std::uint8_t>(c));
  for (std::size_t i = 0; i < count; ++i) out.push_back(static_cast<std::uint8_t>(fill));
  return out;
}

TEST(AddressText, FourNumbersWithoutLeadingZeros) {
  EXPECT_EQ(address_text({192, 168, 0, 20}), "192.168.0.20");
  EXPECT_EQ(address_text({0, 0, 0, 0}), "0.0.0.0");
  EXPECT_EQ(address_text({255, 255, 255, 255}), "255.255.255.255");
  EXPECT_EQ(address_text({10, 1, 100, 7}), "10.1.100.7");
}

TEST(AddressText, ParsesOnlyDottedQuads) {
  EXPECT_EQ(parse_address("192.168.0.20"), (AddressBytes{192, 168, 0, 20}));
  EXPECT_EQ(parse_address("0.0.0.0"), (AddressBytes{0, 0, 0, 0}));
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "1.2.3.4 ", " 1.2.3.4",
                          "a.b.c.d", "1.2.3.-4", "1234.1.1.1", "1.2.3.4."}) {
    EXPECT_EQ(parse_address(bad), std::nullopt) << bad;
  }
}

TEST(RegistrationWire, DecodesGoodRequests) {
  struct Case {
    const char* why;
    Bytes request;
    std::string name;
    AddressBytes address;
  };
  const Case cases[] = {
      {"the shop1 example", bytes({0x09, 's', 'h', 'o', 'p', '1', 0xC0, 0xA8, 0x00, 0x14}),
       "shop1", {192, 168, 0, 20}},
      {"one-byte name", with_name(5, "a", {1, 2, 3, 4}), "a", {1, 2, 3, 4}},
      {"32-byte name", with_name(36, std::string(32, 'n'), {0, 0, 0, 0}), std::string(32, 'n'),
       {0, 0, 0, 0}},
      {"zero byte ends the name", with_name(9, std::string("ab\0cd", 5), {9, 9, 9, 9}), "ab",
       {9, 9, 9, 9}},
      {"bytes from 0x80 kept", with_name(6, "\xC3\xA9", {1, 1, 1, 1}), "\xC3\xA9", {1, 1, 1, 1}},
      {"inner blank kept", with_name(7, "a b", {1, 1, 1, 1}), "a b", {1, 1, 1, 1}},
  };
  for (const Case& c : cases) {
    Bytes request = c.request;
    request.push_back(0x77);  // the start of the next request is not consumed
    auto decoded = decode_registration(request);
    ASSERT_TRUE(std::holds_alternative<Registration>(decoded)) << c.why;
    const auto& r = std::get<Registration>(decoded);
    EXPECT_EQ(r.name, c.name) << c.why;
    EXPECT_EQ(r.address, c.address) << c.why;
    EXPECT_EQ(r.consumed, c.request.size()) << c.why;
  }
}

TEST(RegistrationWire, AsksForMoreUntilTheRequestIsWhole) {
  const Bytes whole = bytes({0x09, 's', 'h', 'o', 'p', '1', 0xC0, 0xA8, 0x00, 0x14});
  for (std::size_t n = 0; n < whole.size(); ++n) {
    auto decoded = decode_registration(std::span(whole.data(), n));
    EXPECT_TRUE(std::holds_alternative<NeedMoreBytes>(decoded)) << n << " bytes";
  }
}

TEST(RegistrationWire, RefusesBadLengthsAndNames) {
  using R = RegistrationRefusal::Reason;
  struct Case {
    const char* why;
    Bytes request;
    R reason;
    std::optional<NameProblem> problem;
    std::size_t consumed;
  };
  const Case cases[] = {
      {"length 0", bytes({0}), R::bad_length, std::nullopt, 0},
      {"length 4: no name", bytes({4, 1, 2, 3, 4}), R::bad_length, std::nullopt, 0},
      {"length 37: name too long", bytes({37}), R::bad_length, std::nullopt, 0},
      {"0x80 reads as -128", bytes({0x80}), R::bad_length, std::nullopt, 0},
      {"0xFF reads as -1", bytes({0xFF}), R::bad_length, std::nullopt, 0},
      {"name empty (zero first)", with_name(6, std::string("\0a", 2), {1, 1, 1, 1}), R::bad_name,
       NameProblem::empty, 7},
      {"line feed", with_name(7, "a\nb", {1, 1, 1, 1}), R::bad_name, NameProblem::control_byte, 8},
      {"carriage return", with_name(6, "a\r", {1, 1, 1, 1}), R::bad_name,
       NameProblem::control_byte, 7},
      {"tab", with_name(6, "\ta", {1, 1, 1, 1}), R::bad_name, NameProblem::control_byte, 7},
      {"DEL", with_name(6, "a\x7F", {1, 1, 1, 1}), R::bad_name, NameProblem::control_byte, 7},
      {"equals sign", with_name(7, "a=b", {1, 1, 1, 1}), R::bad_name, NameProblem::equals_sign, 8},
      {"rewrites a section", with_name(13, "[Connect]", {1, 1, 1, 1}), R::bad_name,
       NameProblem::leading_bracket, 14},
      {"hidden as a comment", with_name(6, ";a", {1, 1, 1, 1}), R::bad_name,
       NameProblem::leading_semicolon, 7},
      {"leading blank", with_name(6, " a", {1, 1, 1, 1}), R::bad_name, NameProblem::outer_blank, 7},
      {"trailing blank", with_name(6, "a ", {1, 1, 1, 1}), R::bad_name, NameProblem::outer_blank,
       7},
  };
  for (const Case& c : cases) {
    auto decoded = decode_registration(c.request);
    ASSERT_TRUE(std::holds_alternative<RegistrationRefusal>(decoded)) << c.why;
    const auto& r = std::get<RegistrationRefusal>(decoded);
    EXPECT_EQ(r.reason, c.reason) << c.why;
    EXPECT_EQ(r.name_problem, c.problem) << c.why;
    EXPECT_EQ(r.consumed, c.consumed) << c.why;
    EXPECT_FALSE(describe(r).empty()) << c.why;
  }
}

TEST(RegistrationWire, EncodesWhatItDecodes) {
  const Bytes encoded = encode_registration("shop1", {192, 168, 0, 20});
  EXPECT_EQ(encoded, bytes({0x09, 's', 'h', 'o', 'p', '1', 0xC0, 0xA8, 0x00, 0x14}));
}

TEST(LookupWire, DecodesRequests) {
  struct Case {
    const char* why;
    Bytes request;
    std::variant<std::string, LookupRefusal> expected;
  };
  const Case cases[] = {
      {"the shop1 example", bytes({1, 1, 1, 's', 'h', 'o', 'p', '1'}), "shop1"},
      {"zero byte ends the name", bytes({1, 1, 1, 'a', 0, 'b'}), "a"},
      {"32-byte name", lookup_of("", 32), std::string(32, 'x')},
      {"33-byte name", lookup_of("", 33), LookupRefusal::name_too_long},
      {"33 bytes but a zero after 3", lookup_of(std::string_view("abc\0", 4), 30), "abc"},
      {"header 1 1 2", bytes({1, 1, 2, 's'}), LookupRefusal::bad_header},
      {"header 0 1 1", bytes({0, 1, 1, 's'}), LookupRefusal::bad_header},
      {"short header", bytes({1, 1}), LookupRefusal::bad_header},
      {"nothing", bytes({}), LookupRefusal::bad_header},
      {"header only", bytes({1, 1, 1}), LookupRefusal::empty_name},
      {"257 bytes", Bytes(257, 1), LookupRefusal::too_many_bytes},
  };
  for (const Case& c : cases) {
    auto decoded = decode_lookup(c.request);
    if (auto* name = std::get_if<std::string>(&c.expected)) {
      ASSERT_TRUE(std::holds_alternative<Lookup>(decoded)) << c.why;
      EXPECT_EQ(std::get<Lookup>(decoded).name, *name) << c.why;
    } else {
      ASSERT_TRUE(std::holds_alternative<LookupRefusal>(decoded)) << c.why;
      EXPECT_EQ(std::get<LookupRefusal>(decoded), std::get<LookupRefusal>(c.expected)) << c.why;
    }
  }
  EXPECT_EQ(encode_lookup("shop1"), bytes({1, 1, 1, 's', 'h', 'o', 'p', '1'}));
}

}  // namespace
}  // namespace pelorin::net
