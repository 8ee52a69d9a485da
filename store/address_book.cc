// The address book over IniDocument and the file functions.
#include "store/address_book.h"

namespace pelorin::store {

// Nothing is read yet: the first operation reads the file.
AddressBook::AddressBook(std::string path) : path_(std::move(path)), loaded_whole_(false) {}

void AddressBook::reload() {
  LoadedFile file = load_file(path_);
  seen_ = file.identity;
  loaded_whole_ = file.status == LoadedFile::Status::ok ||
                  file.status == LoadedFile::Status::absent;
  doc_ = IniDocument(std::move(file.text));
}

bool AddressBook::refresh() {
  // A file that could not be read whole is read again, not taken as empty
  // until it changes.
  if (loaded_whole_ && probe_file(path_) == seen_) return false;
  reload();
  return true;
}

std::optional<long long> AddressBook::read_port(std::string_view key, long long fallback) {
  refresh();
  return doc_.get_int(kConnectSection, key, fallback);
}

int AddressBook::searchip(std::string_view name, std::string& destination) {
  refresh();
  return find(name, destination);
}

int AddressBook::find(std::string_view name, std::string& destination) const {
  std::optional<std::string> value = doc_.get(kEntrySection, name);
  if (!value || value->empty()) {
    destination.clear();
    return -1;
  }
  destination = value->substr(0, kMaxValueChars);
  return 0;
}

void AddressBook::stage(std::string_view name, std::string_view address) {
  doc_.set(kEntrySection, name, address);
}

std::optional<WriteJob> AddressBook::write_job() const {
  if (!loaded_whole_) return std::nullopt;
  return WriteJob{path_, doc_.text(), seen_};
}

int AddressBook::savedatabase(std::string_view name, std::string_view address) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    refresh();
    stage(name, address);
    std::optional<WriteJob> job = write_job();
    if (!job) return -1;
    ReplaceResult r = replace_file(job->path, job->text, job->expected);
    if (r.status == ReplaceResult::Status::ok) {
      written(r.identity);
      return 0;
    }
    // Failed or overtaken by another writer: what is in memory is not on disk.
    reload();
    if (r.status == ReplaceResult::Status::failed) return -1;
  }
  return -1;
}

}  // namespace pelorin::store
