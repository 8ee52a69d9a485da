// libFuzzer target for the INI reader: any text read into an IniDocument comes
// back from text() byte for byte, and get, get_int and entries agree with a
// plain reference reading of the documented rules (ini_reference.h).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tests/fuzz/require.h"
#include "store/ini_document.h"
#include "tests/fuzz/ini_reference.h"

namespace {


std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pelorin;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const store::IniDocument doc{std::string(input)};
  require(doc.text() == input);

  const fuzz::RefIni ref = fuzz::ref_parse(input);
  for (const fuzz::RefSection& sec : ref.sections) {
    const auto entries = doc.entries(sec.name);
    require(entries == sec.entries);
    require(doc.entries(upper(sec.name)) == sec.entries);
    for (const auto& [key, value] : sec.entries) {
      const auto got = doc.get(sec.name, key);
      require(got.has_value() && *got == value);
      require(doc.get(upper(sec.name), upper(key)) == got);
      const auto number = doc.get_int(sec.name, key, -7);
      require(number == (value.empty() ? std::optional<long long>(-7) : fuzz::ref_profile_int(value)));
      require(store::parse_profile_int(value) == fuzz::ref_profile_int(value));
    }
    // A key that the section does not hold (the input may spell it too).
    const std::string absent = "\x01no such key";
    const bool held = std::any_of(sec.entries.begin(), sec.entries.end(), [&](const auto& e) {
      return fuzz::ref_fold(e.first) == fuzz::ref_fold(absent);
    });
    if (!held) {
      require(!doc.get(sec.name, absent).has_value());
      require(doc.get_int(sec.name, absent, 42) == std::optional<long long>(42));
    }
  }
  // Names taken from the input that are not sections are missing.
  for (std::string_view probe : {std::string_view(input).substr(0, 12), std::string_view("Connect"),
                                 std::string_view("enposinfo")}) {
    const std::string name(fuzz::ref_trim(probe));
    if (ref.index.count(fuzz::ref_fold(name)) == 0) {
      require(doc.entries(name).empty());
      require(!doc.get(name, "port1").has_value());
    }
  }
  return 0;
}
