// A lossless model of an INI text such as enpos.ini.
//
// Every line is kept exactly as read, terminator included, so writing the
// document back changes nothing but the line that was set or added. Lookups
// follow the rules that files written on Windows rely on: names match whole and
// without regard to ASCII case, blanks around names and values are trimmed, one
// outer pair of quotes is removed, ';' starts a comment line, and the first of
// duplicate keys and of duplicate sections wins.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pelorin::store {

// ASCII-only case folding, as names in the file are matched.
std::string fold_case(std::string_view text);

// An integer as the profile service reads one: blanks, an optional sign, then
// decimal digits up to the first non-digit ("12abc" is 12). nullopt when there
// is no digit. Saturates instead of overflowing.
std::optional<long long> parse_profile_int(std::string_view value);

class IniDocument {
 public:
  IniDocument() = default;
  explicit IniDocument(std::string_view text);

  // The value of a key, trimmed and unquoted; nullopt when the section or the
  // key is missing. "key=" is present with an empty value.
  [[nodiscard]] std::optional<std::string> get(std::string_view section,
                                               std::string_view key) const;

  // An integer key: the fallback when missing or empty, nullopt when the value
  // has no digits.
  [[nodiscard]] std::optional<long long> get_int(std::string_view section,
                                                 std::string_view key,
                                                 long long fallback) const;

  // Sets a key. An existing key keeps its spelling and place, and only its
  // value changes; a new key goes after the last key line of its section; a
  // missing section is added at the end of the text.
  void set(std::string_view section, std::string_view key, std::string_view value);

  // The keys and values of one section in file order, first of duplicates.
  [[nodiscard]] std::vector<std::pair<std::string, std::string>> entries(
      std::string_view section) const;

  [[nodiscard]] std::string text() const;

 private:
  struct Section {
    std::string header;                                 // raw header line
    std::vector<std::string> body;                      // raw lines after it
    std::unordered_map<std::string, std::size_t> keys;  // folded key -> body index
    std::size_t after_last_key = 0;                     // where a new key goes
  };

  void add_line(std::string raw);
  [[nodiscard]] const std::string* find_line(std::string_view section,
                                             std::string_view key) const;
  void end_with_newline();

  std::string preamble_;  // lines before the first section, never edited
  std::vector<Section> sections_;
  std::unordered_map<std::string, std::size_t> section_index_;  // first of each name
  std::string newline_ = "\n";  // the file's own line ending, for added lines
  bool newline_known_ = false;
};

}  // namespace pelorin::store
