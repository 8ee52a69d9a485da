// A lossless model of an INI text such as enpos.ini.
//
// Every line is kept exactly as read, terminator included, so writing the
// document back changes nothing but the line that was set or added. Lines are
// views into the text as read; only edited and added lines own their text, so
// a file of a hundred thousand entries loads without an allocation per line. Lookups
// follow the rules that files written on Windows rely on: names match whole and
// without regard to ASCII case, blanks around names and values are trimmed, one
// outer pair of quotes is removed, ';' starts a comment line, and the first of
// duplicate keys and of duplicate sections wins.
#pragma once

#include <cstddef>
#include <cstdint>
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
  explicit IniDocument(std::string text);

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
  // A line of the text as read (offset, length), or an edited or added line
  // (edit >= 0: its text is edits_[edit]).
  struct Line {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    std::int32_t edit = -1;
  };
  struct Section {
    Line header;
    std::vector<Line> body;                             // lines after the header
    std::unordered_map<std::string, std::size_t> keys;  // folded key -> body index
    std::size_t after_last_key = 0;                     // where a new key goes
  };

  [[nodiscard]] std::string_view view(const Line& line) const {
    return line.edit >= 0 ? std::string_view(edits_[static_cast<std::size_t>(line.edit)])
                          : std::string_view(base_).substr(line.offset, line.length);
  }
  void add_line(Line line);
  void index_keys();  // builds the key map of the section being read
  Line owned(std::string text);
  void replace(Line& line, std::string text);
  [[nodiscard]] const Line* find_line(std::string_view section, std::string_view key) const;
  void end_with_newline();
  void terminate(Line& line);  // gives a last line its line ending

  std::string base_;                // the text as read
  std::vector<std::string> edits_;  // texts of edited and added lines
  std::vector<Line> preamble_;      // lines before the first section
  std::vector<Section> sections_;
  std::unordered_map<std::string, std::size_t> section_index_;  // first of each name
  std::string newline_ = "\n";  // the file's own line ending, for added lines
  bool newline_known_ = false;
  // Keys of the section being read, indexed in one go when it ends: a map
  // sized once is much faster to fill than one that keeps growing.
  std::vector<std::pair<std::string, std::size_t>> reading_keys_;
};

}  // namespace pelorin::store
