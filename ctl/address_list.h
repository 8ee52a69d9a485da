// `pelorinctl list`: the registered names and addresses of an enpos.ini, read
// straight from the file (with the journal beside it applied), as a sorted
// table or as JSON.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace pelorin::ctl {

using Entries = std::vector<std::pair<std::string, std::string>>;

// Sorted by name without regard to ASCII case.
[[nodiscard]] Entries sorted_entries(Entries entries);
[[nodiscard]] std::string as_table(const Entries& entries);
[[nodiscard]] std::string as_json(const Entries& entries);

}  // namespace pelorin::ctl
