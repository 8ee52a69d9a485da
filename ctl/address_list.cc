#include "ctl/address_list.h"

#include <algorithm>
#include <cstdio>

#include "store/ini_document.h"

namespace pelorin::ctl {
namespace {

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace

Entries sorted_entries(Entries entries) {
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return store::fold_case(a.first) < store::fold_case(b.first);
  });
  return entries;
}

std::string as_table(const Entries& entries) {
  std::size_t width = 4;  // "NAME"
  for (const auto& e : entries) width = std::max(width, e.first.size());
  auto row = [width](const std::string& name, const std::string& address) {
    return name + std::string(width - name.size() + 2, ' ') + address + "\n";
  };
  std::string out = row("NAME", "ADDRESS");
  for (const auto& e : entries) out += row(e.first, e.second);
  return out;
}

std::string as_json(const Entries& entries) {
  std::string out = "[";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    out += i == 0 ? "\n  " : ",\n  ";
    out += "{\"name\": " + json_string(entries[i].first) +
           ", \"address\": " + json_string(entries[i].second) + "}";
  }
  return out + (entries.empty() ? "]\n" : "\n]\n");
}

}  // namespace pelorin::ctl
