// libFuzzer target for the journal's reader: whatever bytes a crash or a disk
// leaves, reading stops at the end of a whole line, every entry read writes
// back to the same line, and what was read whole reads the same on its own or
// with anything after it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "store/journal.h"
#include "tests/fuzz/require.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pelorin::store;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const JournalScan scan = scan_journal(text);
  require(scan.whole_bytes <= size);
  require(scan.whole_bytes == 0 || text[scan.whole_bytes - 1] == '\n');

  std::string lines;
  for (const JournalEntry& e : scan.entries) {
    require(!e.name.empty());
    require(e.name.find_first_of("=\n") == std::string::npos);
    require(e.address.find('\n') == std::string::npos);
    append_journal_line(lines, e.name, e.address);
  }
  // Written again, the entries read back as they were.
  const JournalScan again = scan_journal(journal_header("enpos.ini") + lines);
  require(again.entries == scan.entries);

  // The whole part alone, or followed by a torn line, reads the same.
  const std::string whole(text.substr(0, scan.whole_bytes));
  const JournalScan alone = scan_journal(whole);
  require(alone.entries == scan.entries && alone.whole_bytes == scan.whole_bytes);
  const JournalScan torn = scan_journal(whole + "0123abcd cut=sho");
  require(torn.entries == scan.entries && torn.whole_bytes == scan.whole_bytes);
  return 0;
}
