// The address book: enpos.ini kept parsed in memory, with the identity of the
// file it came from. Before each operation one stat tells whether someone else
// changed or removed the file; only then is it read again, so a hand edit is
// seen by the next lookup without reading the file for every request.
//
// Sections: [Connect] holds the ports (port1, port2); [enposinfo] holds one
// name=address entry per registered device.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/ini_document.h"
#include "store/ini_file.h"

namespace pelorin::store {

inline constexpr std::string_view kConnectSection = "Connect";
inline constexpr std::string_view kEntrySection = "enposinfo";
// A lookup answers with at most this many characters of a value.
inline constexpr std::size_t kMaxValueChars = 29;

// A file write prepared on the owner's thread, to be done anywhere.
struct WriteJob {
  std::string path;
  std::string text;
  FileIdentity expected;
};

class AddressBook {
 public:
  explicit AddressBook(std::string path);

  [[nodiscard]] const std::string& path() const { return path_; }

  // Reads the file again if it changed or vanished since it was last seen;
  // true when it did.
  bool refresh();
  // Reads the file again, whatever it looks like.
  void reload();

  // An integer of [Connect]: the default when missing, nullopt when not a number.
  [[nodiscard]] std::optional<long long> read_port(std::string_view key, long long fallback);

  // The stored address of a name, cut to 29 characters; -1 when the name is
  // absent or its value empty, 0 otherwise.
  [[nodiscard]] int searchip(std::string_view name, std::string& destination);
  // The same from memory as it stands, without looking at the file: for a
  // caller that decides when to refresh (while GroupCommit writes, memory is
  // ahead of the file, and reading the file would drop the staged entries).
  [[nodiscard]] int find(std::string_view name, std::string& destination) const;

  // Writes one entry to the file and returns 0, or -1 with the file unchanged.
  [[nodiscard]] int savedatabase(std::string_view name, std::string_view address);

  // The steps of savedatabase, for writers that batch entries (group commit):
  // stage entries in memory, take a job, write it elsewhere, then report.
  void stage(std::string_view name, std::string_view address);
  // nullopt when the file must not be written (it could not be read whole).
  [[nodiscard]] std::optional<WriteJob> write_job() const;
  void written(const FileIdentity& identity) { seen_ = identity; }
  // False when the file could not be read whole: it is then never written.
  [[nodiscard]] bool whole() const { return loaded_whole_; }

  [[nodiscard]] std::vector<std::pair<std::string, std::string>> entries() const {
    return doc_.entries(kEntrySection);
  }

 private:
  std::string path_;
  IniDocument doc_;
  FileIdentity seen_;
  bool loaded_whole_;  // false: not read yet, unreadable or too large (never written)
};

}  // namespace pelorin::store
