// The journal beside enpos.ini: registrations that arrive while the file is
// busy being written are appended here, flushed with one fdatasync for the
// whole batch, and answered; later they are written into enpos.ini by the
// usual atomic replacement and the journal is emptied. At start, whatever a
// previous run journaled and did not write into the file is applied again.
//
// It is a text file a person can read: a comment header, then one line per
// entry, "CRC32 name=address", the CRC32 (eight lowercase hex digits) taken
// over "name=address". A line cut short by a crash or damaged fails its check;
// reading stops there, and the journal is cut back to the last whole line
// before anything is appended after it.
//
// Journal is used by one thread at a time: the owner's thread at start and at
// shutdown, the writer thread in between.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "store/fd.h"
#include "store/ini_file.h"

namespace pelorin::store {

struct JournalEntry {
  std::string name;
  std::string address;
  bool operator==(const JournalEntry&) const = default;
};

// Appends one entry's line to `out`. The name holds no line break and no '='
// (the registration refuses such names), so the line reads back as written.
void append_journal_line(std::string& out, std::string_view name, std::string_view address);

// The comment lines that open a journal kept beside the file named `ini_name`.
[[nodiscard]] std::string journal_header(std::string_view ini_name);

struct JournalScan {
  std::vector<JournalEntry> entries;
  std::size_t whole_bytes = 0;  // bytes up to the end of the last whole line
};
// Reads entries up to the first line that is cut short or fails its check.
[[nodiscard]] JournalScan scan_journal(std::string_view text);

// The journal of an enpos.ini: beside the file its writes replace, named after
// it with ".journal" added.
[[nodiscard]] std::string journal_path(const std::string& ini_path);

class Journal {
 public:
  explicit Journal(const std::string& ini_path);

  [[nodiscard]] const std::string& path() const { return path_; }
  // Bytes in the journal as far as this process knows.
  [[nodiscard]] std::size_t size() const { return size_; }

  struct Recovered {
    std::vector<JournalEntry> entries;
    std::size_t dropped_bytes = 0;  // a torn or damaged tail, cut off
    ReplaceResult status;           // ok, or the call that failed
  };
  // Reads what an earlier run left and cuts off a torn tail, so that lines
  // appended later follow the last whole line. Absent: no entries, ok.
  [[nodiscard]] Recovered recover();

  // Appends lines and flushes them to disk. On failure the journal is cut back
  // to what it held before; if even that fails, it is closed and appending
  // waits for the next clear().
  [[nodiscard]] ReplaceResult append(std::string_view lines);
  // Empties the journal, once everything in it is in enpos.ini and flushed.
  [[nodiscard]] ReplaceResult clear();
  // Removes the journal file when it holds no entries (at shutdown).
  void remove_if_empty();

 private:
  [[nodiscard]] ReplaceResult open();

  std::string path_;
  std::string ini_path_;
  Fd fd_;
  std::size_t size_ = 0;
  bool damaged_ = false;  // a failed append could not be cut back
};

}  // namespace pelorin::store
