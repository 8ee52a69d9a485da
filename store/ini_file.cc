// File access for the address book: load, probe, atomic replace.
#include "store/ini_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "store/fd.h"

namespace pelorin::store {
namespace {

FileIdentity identity_of(const struct stat& st) {
  FileIdentity id;
  id.exists = true;
  id.device = static_cast<std::uint64_t>(st.st_dev);
  id.inode = static_cast<std::uint64_t>(st.st_ino);
  id.size = static_cast<std::int64_t>(st.st_size);
  id.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  return id;
}

std::string folder_of(const std::string& path) {
  std::vector<char> copy(path.begin(), path.end());
  copy.push_back('\0');
  return ::dirname(copy.data());
}

std::string name_of(const std::string& path) {
  std::vector<char> copy(path.begin(), path.end());
  copy.push_back('\0');
  return ::basename(copy.data());
}

}  // namespace

std::string write_target(const std::string& path) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      std::string out(real);
      std::free(real);
      return out;
    }
  }
  return path;
}

FileIdentity probe_file(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) == 0) return identity_of(st);
  FileIdentity id;
  if (errno != ENOENT && errno != ENOTDIR) id.error = errno;
  return id;
}

LoadedFile load_file(const std::string& path, std::int64_t max_bytes) {
  LoadedFile out;
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    out.error = errno;
    out.status = errno == ENOENT ? LoadedFile::Status::absent : LoadedFile::Status::unreadable;
    out.identity = probe_file(path);
    return out;
  }
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    out.error = EINVAL;
    out.status = LoadedFile::Status::unreadable;
    out.identity = probe_file(path);
    return out;
  }
  out.identity = identity_of(st);
  if (st.st_size > max_bytes) {
    out.status = LoadedFile::Status::too_large;
    return out;
  }
  out.text.resize(static_cast<std::size_t>(st.st_size));
  std::size_t have = 0;
  for (;;) {
    if (have == out.text.size()) {
      // The file may have grown since fstat; keep reading up to the limit.
      if (static_cast<std::int64_t>(have) >= max_bytes) {
        out.status = LoadedFile::Status::too_large;
        out.text.clear();
        return out;
      }
      out.text.resize(have + 4096);
    }
    ssize_t n = ::read(fd.get(), out.text.data() + have, out.text.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      out.error = errno;
      out.status = LoadedFile::Status::unreadable;
      out.text.clear();
      return out;
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  out.text.resize(have);
  out.status = LoadedFile::Status::ok;
  return out;
}

std::size_t remove_stale_temporaries(const std::string& path) {
  const std::string target = write_target(path);
  const std::string prefix = "." + name_of(target) + ".";
  DIR* dir = ::opendir(folder_of(target).c_str());
  if (dir == nullptr) return 0;
  std::size_t removed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    // mkostemp puts six letters or digits in place of XXXXXX.
    if (name.size() != prefix.size() + 6 || !name.starts_with(prefix) ||
        !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; })) {
      continue;
    }
    struct stat st{};
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && ::unlinkat(::dirfd(dir), entry->d_name, 0) == 0) {
      ++removed;
    }
  }
  ::closedir(dir);
  return removed;
}

ReplaceResult may_replace(const std::string& path) {
  const std::string target = write_target(path);
  if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0 && errno != ENOENT) {
    return ReplaceResult::failed_at("access", errno);
  }
  // The replacement is made in the folder and renamed there.
  if (::faccessat(AT_FDCWD, folder_of(target).c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    return ReplaceResult::failed_at("access", errno);
  }
  return ReplaceResult::succeeded();
}

ReplaceResult replace_file(const std::string& path, std::string_view text,
                           const FileIdentity& expected) {
  const std::string target = write_target(path);
  struct stat old{};
  const bool existed = ::stat(target.c_str(), &old) == 0;
  if (existed && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
    return ReplaceResult::failed_at("access", errno);
  }

  const std::string folder = folder_of(target);
  std::string temp_name = folder + "/." + name_of(target) + ".XXXXXX";
  std::vector<char> temp(temp_name.begin(), temp_name.end());
  temp.push_back('\0');
  Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (fd.get() < 0) return ReplaceResult::failed_at("open", errno);
  temp_name = temp.data();

  auto abandon = [&](const char* call) {
    int error = errno;
    fd.reset();
    ::unlink(temp_name.c_str());
    return ReplaceResult::failed_at(call, error);
  };

  if (!write_all(fd.get(), text)) return abandon("write");
  if (::fchmod(fd.get(), existed ? (old.st_mode & 07777) : 0644) != 0) return abandon("fchmod");
  if (existed && ::geteuid() == 0) {
    // Best effort: root keeps the file with the owner it had.
    (void)!::fchown(fd.get(), old.st_uid, old.st_gid);
  }
  if (::fsync(fd.get()) != 0) return abandon("fsync");
  struct stat written{};
  if (::fstat(fd.get(), &written) != 0) return abandon("fstat");
  if (fd.reset() != 0) return abandon("close");

  if (probe_file(target) != expected) {
    ::unlink(temp_name.c_str());
    ReplaceResult r;
    r.status = ReplaceResult::Status::conflict;
    return r;
  }
  if (::rename(temp_name.c_str(), target.c_str()) != 0) return abandon("rename");

  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0 || ::fsync(dir.get()) != 0) {
    // The new file is in place; only its durability across a power cut is unsure.
    return ReplaceResult::failed_at("fsync", errno);
  }
  return ReplaceResult::succeeded(identity_of(written));
}

}  // namespace pelorin::store
