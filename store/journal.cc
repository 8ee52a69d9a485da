// The journal: its line format (pure functions) and the file under it.
#include "store/journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <charconv>
#include <filesystem>

namespace pelorin::store {
namespace {

std::uint32_t checksum(std::string_view body) {
  return static_cast<std::uint32_t>(
      ::crc32(0L, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
}

bool is_lower_hex(std::string_view text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

void append_journal_line(std::string& out, std::string_view name, std::string_view address) {
  const std::size_t start = out.size();
  out.append(9, ' ');
  out.append(name);
  out.push_back('=');
  out.append(address);
  const std::uint32_t crc = checksum(std::string_view(out).substr(start + 9));
  static constexpr char kHex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < 8; ++i) out[start + i] = kHex[(crc >> (28 - 4 * i)) & 0xF];
  out.push_back('\n');
}

std::string journal_header(std::string_view ini_name) {
  std::string out = "# pelorin journal: registrations already answered and not yet written into ";
  out.append(ini_name);
  out.append(".\n# pelorin writes them into it and empties this file; leave it beside ");
  out.append(ini_name);
  out.append(".\n");
  return out;
}

JournalScan scan_journal(std::string_view text) {
  JournalScan scan;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) break;  // cut short
    const std::string_view line = text.substr(pos, end - pos);
    if (line.starts_with('#')) {
      // Comments open the journal; one after an entry is damage.
      if (!scan.entries.empty()) break;
    } else {
      if (line.size() < 10 || line[8] != ' ' || !is_lower_hex(line.substr(0, 8))) break;
      std::uint32_t crc = 0;
      std::from_chars(line.data(), line.data() + 8, crc, 16);
      const std::string_view body = line.substr(9);
      const std::size_t eq = body.find('=');
      if (eq == 0 || eq == std::string_view::npos || checksum(body) != crc) break;
      scan.entries.push_back(JournalEntry{std::string(body.substr(0, eq)),
                                          std::string(body.substr(eq + 1))});
    }
    pos = end + 1;
    scan.whole_bytes = pos;
  }
  return scan;
}

std::string journal_path(const std::string& ini_path) {
  return write_target(ini_path) + ".journal";
}

Journal::Journal(const std::string& ini_path)
    : path_(journal_path(ini_path)), ini_path_(write_target(ini_path)) {}

ReplaceResult Journal::open() {
  if (fd_.get() >= 0) return ReplaceResult::succeeded();
  bool created = true;
  Fd fd(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (fd.get() < 0 && errno == EEXIST) {
    created = false;
    fd = Fd(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  }
  if (fd.get() < 0) return ReplaceResult::failed_at("open", errno);
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return ReplaceResult::failed_at("fstat", errno);
  if (created) {
    // No more readable than the file it stands for.
    struct stat ini{};
    if (::stat(ini_path_.c_str(), &ini) == 0) (void)::fchmod(fd.get(), ini.st_mode & 0666);
    // A new name must itself survive a power cut before entries rely on it.
    const std::string folder = std::filesystem::path(path_).parent_path().string();
    Fd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || ::fsync(dir.get()) != 0) {
      const int error = errno;
      ::unlink(path_.c_str());
      return ReplaceResult::failed_at("fsync", error);
    }
  }
  size_ = static_cast<std::size_t>(st.st_size);
  fd_ = std::move(fd);
  return ReplaceResult::succeeded();
}

Journal::Recovered Journal::recover() {
  Recovered out;
  LoadedFile file = load_file(path_);
  if (file.status == LoadedFile::Status::absent) {
    out.status = ReplaceResult::succeeded();
    return out;
  }
  if (file.status != LoadedFile::Status::ok) {
    out.status = ReplaceResult::failed_at("read", file.error != 0 ? file.error : EFBIG);
    return out;
  }
  JournalScan scan = scan_journal(file.text);
  out.entries = std::move(scan.entries);
  out.status = open();
  if (out.status.status != ReplaceResult::Status::ok) return out;
  if (scan.whole_bytes < size_) {
    out.dropped_bytes = size_ - scan.whole_bytes;
    if (::ftruncate(fd_.get(), static_cast<off_t>(scan.whole_bytes)) != 0 ||
        ::fdatasync(fd_.get()) != 0) {
      out.status = ReplaceResult::failed_at("ftruncate", errno);
      fd_.reset();
      return out;
    }
    size_ = scan.whole_bytes;
  }
  return out;
}

ReplaceResult Journal::append(std::string_view lines) {
  if (damaged_) return ReplaceResult::failed_at("write", EIO);
  if (ReplaceResult r = open(); r.status != ReplaceResult::Status::ok) return r;
  std::string header;
  if (size_ == 0) {
    header = journal_header(std::filesystem::path(ini_path_).filename().string());
    header.append(lines);
    lines = header;
  }
  const char* call = nullptr;
  if (!write_all(fd_.get(), lines)) {
    call = "write";
  } else if (::fdatasync(fd_.get()) != 0) {
    call = "fdatasync";
  }
  if (call != nullptr) {
    const int error = errno;
    // Nothing may follow a torn line: cut the journal back to what it held.
    if (::ftruncate(fd_.get(), static_cast<off_t>(size_)) != 0 || ::fdatasync(fd_.get()) != 0) {
      damaged_ = true;
      fd_.reset();
    }
    return ReplaceResult::failed_at(call, error);
  }
  size_ += lines.size();
  return ReplaceResult::succeeded();
}

ReplaceResult Journal::clear() {
  if (fd_.get() < 0) {
    if (::access(path_.c_str(), F_OK) != 0) return ReplaceResult::succeeded();  // nothing to empty
    if (ReplaceResult r = open(); r.status != ReplaceResult::Status::ok) return r;
  }
  if (::ftruncate(fd_.get(), 0) != 0 || ::fdatasync(fd_.get()) != 0) {
    return ReplaceResult::failed_at("ftruncate", errno);
  }
  size_ = 0;
  damaged_ = false;
  return ReplaceResult::succeeded();
}

void Journal::remove_if_empty() {
  if (fd_.get() < 0) {
    // Never opened by this process: look before removing.
    struct stat st{};
    if (::stat(path_.c_str(), &st) != 0 || st.st_size != 0) return;
  } else if (size_ != 0) {
    return;
  }
  fd_.reset();
  ::unlink(path_.c_str());
}

}  // namespace pelorin::store
