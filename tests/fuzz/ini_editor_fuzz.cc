// libFuzzer target for the INI editor: setting one key (section, key and value
// drawn from the input, skipping those a line cannot hold) on any text gives a
// text where that key reads as the value set and every other line is byte for
// byte as before; only the line before an added line may gain a line ending.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fuzz/require.h"
#include "store/ini_document.h"
#include "tests/fuzz/ini_reference.h"

namespace {

using pelorin::fuzz::RefIni;


bool has_line_break(std::string_view s) { return s.find_first_of("\r\n") != s.npos; }

bool outer_blank(std::string_view s) {
  return !s.empty() && (pelorin::fuzz::ref_blank(s.front()) || pelorin::fuzz::ref_blank(s.back()));
}

// Keys, values and sections that one line of the file can hold and read back.
bool key_ok(std::string_view k) {
  return !k.empty() && !has_line_break(k) && k.find('=') == k.npos && k.front() != '[' &&
         k.front() != ';' && !outer_blank(k);
}
bool value_ok(std::string_view v) { return !has_line_break(v) && !outer_blank(v); }
bool section_ok(std::string_view s) { return !has_line_break(s) && !outer_blank(s); }

// Picks the n-th section or key name of the text, in another case now and then.
std::string pick(FuzzedDataProvider& in, const std::vector<std::string>& names) {
  if (names.empty()) return in.ConsumeRandomLengthString(40);
  std::string name = names[in.ConsumeIntegralInRange<std::size_t>(0, names.size() - 1)];
  if (in.ConsumeBool()) {
    for (char& c : name) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
    }
  }
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pelorin;
  FuzzedDataProvider in(data, size);
  // Integers come from the end of the input, strings from the front: the
  // mode, then section, key, value, then the rest is the text.
  const int mode = in.ConsumeIntegralInRange(0, 2);  // 0 new names, 1 known section, 2 known key
  std::string section = in.ConsumeRandomLengthString(40);
  std::string key = in.ConsumeRandomLengthString(40);
  const std::string value = in.ConsumeRandomLengthString(40);
  const std::string before = in.ConsumeRemainingBytesAsString();
  const RefIni ref = fuzz::ref_parse(before);

  if (mode >= 1 && !ref.sections.empty()) {
    std::vector<std::string> names;
    for (const auto& s : ref.sections) names.push_back(s.name);
    FuzzedDataProvider choose(reinterpret_cast<const std::uint8_t*>(key.data()), key.size());
    section = pick(choose, names);
    if (mode == 2) {
      std::vector<std::string> keys;
      for (const auto& [k, v] : ref.sections[ref.index.at(fuzz::ref_fold(section))].entries) {
        keys.push_back(k);
      }
      if (!keys.empty()) key = pick(choose, keys);
    }
  }
  if (!section_ok(section) || !key_ok(key) || !value_ok(value)) return 0;

  store::IniDocument doc{std::string(before)};
  doc.set(section, key, value);
  const std::string after = doc.text();
  const std::string expected(fuzz::ref_unquote(value));

  // The key reads as set, for the document and for a fresh reading.
  require(doc.get(section, key) == expected);
  const RefIni now = fuzz::ref_parse(after);
  require(now.get(section, key) == expected);
  require(store::IniDocument{std::string(after)}.get(section, key) == expected);

  // Every other key reads as before.
  for (const auto& sec : ref.sections) {
    for (const auto& [k, v] : sec.entries) {
      if (fuzz::ref_fold(sec.name) == fuzz::ref_fold(section) && fuzz::ref_fold(k) == fuzz::ref_fold(key)) {
        continue;
      }
      require(now.get(sec.name, k) == v);
    }
  }

  // Lines: one replaced, or one added (and a header before it when the section
  // is new), with the file's own line ending.
  const auto b = fuzz::ref_lines(before);
  const auto a = fuzz::ref_lines(after);
  const std::string nl = fuzz::ref_newline(before);
  const std::string entry = key + "=" + value + nl;
  const bool section_known = ref.index.count(fuzz::ref_fold(section)) != 0;
  const bool key_known = section_known && ref.get(section, key).has_value();

  if (key_known) {
    require(a.size() == b.size());
    std::size_t changed = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (a[i] == b[i]) continue;
      ++changed;
      // Same key spelling and terminator; only the value differs.
      require(a[i].substr(0, a[i].find('=')) == b[i].substr(0, b[i].find('=')));
      require(std::string_view(a[i]).ends_with(
          std::string_view(b[i]).substr(fuzz::ref_content(b[i]).size())));
    }
    require(changed <= 1);
    return 0;
  }

  const std::size_t added = section_known ? 1 : 2;
  require(a.size() == b.size() + added);
  std::size_t p = 0;
  while (p < b.size() && a[p] == b[p]) ++p;
  // Either the new lines start at p and the rest follows unchanged, or p is the
  // last line, which gained the line ending so that the new lines start a line.
  auto rest_follows = [&](std::size_t from, std::size_t shift) {
    for (std::size_t i = from; i < b.size(); ++i) {
      if (a[i + shift] != b[i]) return false;
    }
    return true;
  };
  // (Which terminator it gains is free; that the line still reads the same is
  // checked above with every other key.)
  const bool gained = p + 1 == b.size() && !b[p].ends_with('\n') &&
                      (a[p] == b[p] + "\n" || a[p] == b[p] + "\r\n");
  if (!section_known) {
    const std::size_t at = gained ? p + 1 : p;
    require(at == b.size());
    require(a[at] == "[" + section + "]" + nl);
    require(a[at + 1] == entry);
    return 0;
  }
  const bool inserted_at_p = p < a.size() && a[p] == entry && rest_follows(p, 1);
  const bool inserted_after_gain = gained && a[p + 1] == entry;
  require(inserted_at_p || inserted_after_gain);
  return 0;
}
