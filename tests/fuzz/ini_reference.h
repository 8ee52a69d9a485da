// A second, deliberately plain reading of INI text, written from the rules the
// IniDocument header documents (not from its code), for the INI fuzz targets to
// compare against: lines end at LF, an optional CR before it is dropped (and a
// bare CR ending the text is no part of the last line's value either), a BOM
// on the first line is skipped, blanks are space and tab, a header's name runs
// from '[' to the last ']', a ';' line is a comment, a key line splits at its
// first '=', names match ASCII case-insensitively, one pair of outer quotes
// leaves a value, and the first of duplicate sections and keys wins.
#pragma once

#include <climits>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelorin::fuzz {

inline bool ref_blank(char c) { return c == ' ' || c == '\t'; }

inline std::string_view ref_trim(std::string_view s) {
  while (!s.empty() && ref_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && ref_blank(s.back())) s.remove_suffix(1);
  return s;
}

inline std::string ref_fold(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return out;
}

inline std::string_view ref_unquote(std::string_view v) {
  if (v.size() >= 2 && v.front() == v.back() && (v.front() == '"' || v.front() == '\'')) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

// The lines of a text, each with its terminator.
inline std::vector<std::string> ref_lines(std::string_view text) {
  std::vector<std::string> out;
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::size_t n = nl == std::string_view::npos ? text.size() : nl + 1;
    out.emplace_back(text.substr(0, n));
    text.remove_prefix(n);
  }
  return out;
}

// A line without its terminator: LF, CR LF, or (ending the text) a bare CR.
inline std::string_view ref_content(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// The line ending a file uses: that of its first terminated line, else LF.
inline std::string ref_newline(std::string_view text) {
  std::size_t nl = text.find('\n');
  if (nl != std::string_view::npos && nl > 0 && text[nl - 1] == '\r') return "\r\n";
  return "\n";
}

struct RefSection {
  std::string name;  // as written, trimmed
  std::vector<std::pair<std::string, std::string>> entries;  // first of duplicates, in order
  std::map<std::string, std::size_t> index;                  // folded key -> entries index
};

struct RefIni {
  std::vector<RefSection> sections;              // first of each name only
  std::map<std::string, std::size_t> index;      // folded name -> sections index

  [[nodiscard]] std::optional<std::string> get(std::string_view section,
                                               std::string_view key) const {
    auto s = index.find(ref_fold(section));
    if (s == index.end()) return std::nullopt;
    const RefSection& sec = sections[s->second];
    auto k = sec.index.find(ref_fold(key));
    if (k == sec.index.end()) return std::nullopt;
    return sec.entries[k->second].second;
  }
};

inline RefIni ref_parse(std::string_view text) {
  RefIni ini;
  RefSection* current = nullptr;
  RefSection ignored;  // a later duplicate of a section: read, never consulted
  bool first = true;
  for (const std::string& line : ref_lines(text)) {
    std::string_view content = ref_content(line);
    if (first && content.starts_with("\xEF\xBB\xBF")) content.remove_prefix(3);
    first = false;
    std::string_view s = ref_trim(content);
    if (!s.empty() && s.front() == '[' && s.rfind(']') != std::string_view::npos) {
      std::string name(ref_trim(s.substr(1, s.rfind(']') - 1)));
      auto [it, fresh] = ini.index.emplace(ref_fold(name), ini.sections.size());
      if (fresh) {
        ini.sections.push_back(RefSection{name, {}, {}});
        current = &ini.sections.back();
      } else {
        ignored = RefSection{};
        current = &ignored;
      }
      continue;
    }
    if (current == nullptr || s.empty() || s.front() == ';') continue;
    std::size_t eq = s.find('=');
    if (eq == std::string_view::npos) continue;
    std::string key(ref_trim(s.substr(0, eq)));
    std::string value(ref_unquote(ref_trim(s.substr(eq + 1))));
    if (current->index.emplace(ref_fold(key), current->entries.size()).second) {
      current->entries.emplace_back(std::move(key), std::move(value));
    }
  }
  return ini;
}

// Blanks, an optional sign, decimal digits to the first non-digit; saturating.
inline std::optional<long long> ref_profile_int(std::string_view v) {
  while (!v.empty() && ref_blank(v.front())) v.remove_prefix(1);
  bool negative = false;
  if (!v.empty() && (v.front() == '+' || v.front() == '-')) {
    negative = v.front() == '-';
    v.remove_prefix(1);
  }
  if (v.empty() || v.front() < '0' || v.front() > '9') return std::nullopt;
  unsigned long long n = 0;
  bool saturated = false;
  for (; !v.empty() && v.front() >= '0' && v.front() <= '9'; v.remove_prefix(1)) {
    unsigned digit = static_cast<unsigned>(v.front() - '0');
    if (n > (static_cast<unsigned long long>(LLONG_MAX) - digit) / 10) {
      saturated = true;
      break;
    }
    n = n * 10 + digit;
  }
  if (saturated) return negative ? LLONG_MIN : LLONG_MAX;
  return negative ? -static_cast<long long>(n) : static_cast<long long>(n);
}

}  // namespace pelorin::fuzz
