// The INI model: parsing keeps raw lines; edits touch one line or add one.
#include "store/ini_document.h"

#include <climits>

namespace pelorin::store {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// A line without its terminator ("\n" or "\r\n"; a last line may end in a
// bare "\r", which is no part of its value either).
std::string_view content_of(std::string_view raw) {
  if (!raw.empty() && raw.back() == '\n') raw.remove_suffix(1);
  if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
  return raw;
}

// The section name of a header line: its first non-blank is '[' and the name
// runs to the last ']'; whatever follows is ignored.
std::optional<std::string_view> header_name(std::string_view content) {
  std::string_view s = trim(content);
  if (s.empty() || s.front() != '[') return std::nullopt;
  std::size_t close = s.rfind(']');
  if (close == std::string_view::npos) return std::nullopt;
  return trim(s.substr(1, close - 1));
}

struct KeyLine {
  std::string_view key;
  std::string_view value;  // trimmed, still quoted
};

// A key line has '=' and is not a comment; the value is everything after the
// first '=', so "10001 ; reg" is a value, not a value and a comment.
std::optional<KeyLine> key_line(std::string_view content) {
  std::string_view s = trim(content);
  if (s.empty() || s.front() == ';') return std::nullopt;
  std::size_t eq = s.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return KeyLine{trim(s.substr(0, eq)), trim(s.substr(eq + 1))};
}

std::string_view unquote(std::string_view v) {
  if (v.size() >= 2 && v.front() == v.back() && (v.front() == '"' || v.front() == '\'')) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

}  // namespace

std::string fold_case(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::optional<long long> parse_profile_int(std::string_view value) {
  std::size_t i = 0;
  while (i < value.size() && is_blank(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  if (i >= value.size() || value[i] < '0' || value[i] > '9') return std::nullopt;
  long long n = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    int digit = value[i] - '0';
    if (n > (LLONG_MAX - digit) / 10) return negative ? LLONG_MIN : LLONG_MAX;
    n = n * 10 + digit;
  }
  return negative ? -n : n;
}

IniDocument::IniDocument(std::string text) : base_(std::move(text)) {
  std::size_t start = 0;
  while (start < base_.size()) {
    std::size_t nl = base_.find('\n', start);
    std::size_t end = nl == std::string::npos ? base_.size() : nl + 1;
    add_line(Line{static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end - start), -1});
    start = end;
  }
  index_keys();
}

void IniDocument::index_keys() {
  if (sections_.empty()) return;
  auto& keys = sections_.back().keys;
  keys.reserve(reading_keys_.size());
  for (auto& [key, index] : reading_keys_) keys.emplace(std::move(key), index);
  reading_keys_.clear();
}

void IniDocument::add_line(Line line) {
  const bool first = preamble_.empty() && sections_.empty();
  const std::string_view raw = view(line);
  std::string_view content = content_of(raw);
  if (first && content.starts_with(kBom)) content.remove_prefix(kBom.size());
  if (!newline_known_ && raw.ends_with('\n')) {
    newline_ = raw.ends_with("\r\n") ? "\r\n" : "\n";
    newline_known_ = true;
  }

  if (auto name = header_name(content)) {
    index_keys();
    section_index_.emplace(fold_case(*name), sections_.size());
    sections_.push_back(Section{line, {}, {}, 0});
    return;
  }
  if (sections_.empty()) {
    preamble_.push_back(line);
    return;
  }
  Section& section = sections_.back();
  if (auto kl = key_line(content)) {
    reading_keys_.emplace_back(fold_case(kl->key), section.body.size());
    section.after_last_key = section.body.size() + 1;
  }
  section.body.push_back(line);
}

IniDocument::Line IniDocument::owned(std::string text) {
  edits_.push_back(std::move(text));
  return Line{0, 0, static_cast<std::int32_t>(edits_.size() - 1)};
}

void IniDocument::replace(Line& line, std::string text) {
  if (line.edit >= 0) {
    edits_[static_cast<std::size_t>(line.edit)] = std::move(text);
  } else {
    line = owned(std::move(text));
  }
}

const IniDocument::Line* IniDocument::find_line(std::string_view section,
                                                std::string_view key) const {
  auto s = section_index_.find(fold_case(section));
  if (s == section_index_.end()) return nullptr;
  const Section& sec = sections_[s->second];
  auto k = sec.keys.find(fold_case(key));
  return k == sec.keys.end() ? nullptr : &sec.body[k->second];
}

std::optional<std::string> IniDocument::get(std::string_view section,
                                            std::string_view key) const {
  const Line* line = find_line(section, key);
  if (line == nullptr) return std::nullopt;
  return std::string(unquote(key_line(content_of(view(*line)))->value));
}

std::optional<long long> IniDocument::get_int(std::string_view section, std::string_view key,
                                              long long fallback) const {
  std::optional<std::string> value = get(section, key);
  if (!value || value->empty()) return fallback;
  return parse_profile_int(*value);
}

void IniDocument::end_with_newline() {
  Line* last = preamble_.empty() ? nullptr : &preamble_.back();
  if (!sections_.empty()) {
    Section& s = sections_.back();
    last = s.body.empty() ? &s.header : &s.body.back();
  }
  if (last != nullptr) terminate(*last);
}

void IniDocument::terminate(Line& line) {
  const std::string_view raw = view(line);
  if (raw.ends_with('\n')) return;
  // A bare "\r" at the end becomes "\r\n", so the line's value stays as read.
  replace(line, std::string(raw) + (raw.ends_with('\r') ? "\n" : newline_));
}

void IniDocument::set(std::string_view section, std::string_view key, std::string_view value) {
  auto entry = [&] { return std::string(key) + "=" + std::string(value) + newline_; };
  const std::string folded_key = fold_case(key);
  auto s = section_index_.find(fold_case(section));
  if (s == section_index_.end()) {
    end_with_newline();
    Section added{owned("[" + std::string(section) + "]" + newline_), {owned(entry())}, {}, 1};
    added.keys.emplace(folded_key, 0);
    section_index_.emplace(fold_case(section), sections_.size());
    sections_.push_back(std::move(added));
    return;
  }

  Section& sec = sections_[s->second];
  if (auto k = sec.keys.find(folded_key); k != sec.keys.end()) {
    // Keep the key as written and the blanks after '='; replace the value only.
    Line& line = sec.body[k->second];
    const std::string_view raw = view(line);
    const std::string_view content = content_of(raw);
    std::size_t pos = content.find('=') + 1;
    while (pos < content.size() && is_blank(content[pos])) ++pos;
    std::string text;
    text.reserve(pos + value.size() + (raw.size() - content.size()));
    text.append(content.substr(0, pos)).append(value).append(raw.substr(content.size()));
    replace(line, std::move(text));
    return;
  }

  // Every key line lies before after_last_key, so inserting there moves none.
  std::size_t pos = sec.after_last_key;
  Line& before = pos == 0 ? sec.header : sec.body[pos - 1];
  terminate(before);
  sec.body.insert(sec.body.begin() + static_cast<std::ptrdiff_t>(pos), owned(entry()));
  sec.keys.emplace(folded_key, pos);
  sec.after_last_key = pos + 1;
}

std::vector<std::pair<std::string, std::string>> IniDocument::entries(
    std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> out;
  auto s = section_index_.find(fold_case(section));
  if (s == section_index_.end()) return out;
  const Section& sec = sections_[s->second];
  for (std::size_t i = 0; i < sec.after_last_key; ++i) {
    auto kl = key_line(content_of(view(sec.body[i])));
    if (!kl) continue;
    auto k = sec.keys.find(fold_case(kl->key));
    if (k != sec.keys.end() && k->second == i) {
      out.emplace_back(std::string(kl->key), std::string(unquote(kl->value)));
    }
  }
  return out;
}

std::string IniDocument::text() const {
  std::string out;
  out.reserve(base_.size() + 64 * edits_.size());
  for (const Line& line : preamble_) out += view(line);
  for (const Section& s : sections_) {
    out += view(s.header);
    for (const Line& line : s.body) out += view(line);
  }
  return out;
}

}  // namespace pelorin::store
