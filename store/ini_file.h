// The file under an IniDocument: reading it whole with a size limit, telling
// whether it changed since it was last seen, and replacing it atomically.
//
// A replacement goes to a temporary file in the same folder, is flushed, and is
// renamed over the old file, then the folder is flushed: a crash leaves the old
// file or the new one, never a mix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelorin::store {

// What one stat tells of the file: whether it exists, and which version it is.
struct FileIdentity {
  bool exists = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;
  int error = 0;  // errno of a stat that failed for another reason than absence

  bool operator==(const FileIdentity&) const = default;
};

[[nodiscard]] FileIdentity probe_file(const std::string& path);

// The file that a write to `path` replaces: the target when `path` is a link,
// so that the file it names is replaced, not the link.
[[nodiscard]] std::string write_target(const std::string& path);

struct LoadedFile {
  enum class Status { ok, absent, unreadable, too_large };
  Status status = Status::absent;
  FileIdentity identity;
  std::string text;
  int error = 0;
};

// Files larger than this are not loaded: writing back a part would lose the rest.
inline constexpr std::int64_t kMaxFileBytes = 256LL << 20;

[[nodiscard]] LoadedFile load_file(const std::string& path,
                                   std::int64_t max_bytes = kMaxFileBytes);

struct ReplaceResult {
  enum class Status { ok, conflict, failed };
  Status status = Status::failed;
  FileIdentity identity;  // of the new file, when ok
  int error = 0;          // errno, when failed
  std::string call;       // the call that failed

  [[nodiscard]] static ReplaceResult succeeded(const FileIdentity& identity = {}) {
    ReplaceResult r;
    r.status = Status::ok;
    r.identity = identity;
    return r;
  }
  [[nodiscard]] static ReplaceResult failed_at(const char* call, int error) {
    ReplaceResult r;
    r.status = Status::failed;
    r.error = error;
    r.call = call;
    return r;
  }
};

// Removes the temporary files that replace_file leaves beside the file when
// the process dies between creating and renaming one (".NAME.XXXXXX"), and
// returns how many it removed. Only while no replacement of this file can be
// under way: at start, under the instance lock.
std::size_t remove_stale_temporaries(const std::string& path);

// Whether replace_file could replace the file now, as far as permissions go:
// ok, or failed at "access" with the errno.
[[nodiscard]] ReplaceResult may_replace(const std::string& path);

// Replaces the file with `text`, unless it no longer matches `expected` (someone
// else changed it meanwhile: conflict). A file we may not write is refused even
// where rename would allow it, as the profile service refuses it.
[[nodiscard]] ReplaceResult replace_file(const std::string& path, std::string_view text,
                                         const FileIdentity& expected);

}  // namespace pelorin::store
