// Group commit: registrations that arrive while a write of enpos.ini is under
// way are gathered and written together by the next write, and each is answered
// only once the write that holds it is on disk.
//
// The address book stays on its owner's thread (the network thread); only the
// prepared text goes to the writer thread, and the result comes back through
// `post`, which runs a function on the owner's thread. The network thread so
// never waits for the disk.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "store/address_book.h"

namespace pelorin::store {

class GroupCommit {
 public:
  using Post = std::function<void(std::function<void()>)>;
  // Called on the owner's thread with 0 when the entry is on disk, -1 when the
  // write failed and the file was left as it was.
  using Done = std::function<void(int)>;

  GroupCommit(AddressBook& book, Post post);
  GroupCommit(const GroupCommit&) = delete;
  GroupCommit& operator=(const GroupCommit&) = delete;
  ~GroupCommit();

  // Stores one entry; `done` runs once it is written or has failed.
  void save(std::string name, std::string address, Done done);

  // Brings the address book up to date with the file, unless a write is under
  // way (then memory is ahead of the file and stays authoritative).
  void refresh();

  // Finishes the write under way and stops the writer; nothing is answered
  // after this.
  void stop();

  [[nodiscard]] bool writing() const { return writing_; }
  // Failed writes so far, and why the last one failed.
  [[nodiscard]] unsigned long failures() const { return failures_; }
  [[nodiscard]] const std::string& last_failure() const { return last_failure_; }

 private:
  struct Pending {
    std::string name;
    std::string address;
    Done done;
  };

  void start_write();
  void finished(ReplaceResult result);
  void writer_loop();

  AddressBook& book_;
  Post post_;
  std::vector<Pending> next_;      // waiting for the next write
  std::vector<Pending> in_flight_; // held by the write under way
  bool writing_ = false;
  int conflicts_ = 0;
  unsigned long failures_ = 0;
  std::string last_failure_;

  // Shared with the writer thread.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<WriteJob> job_;
  bool stopping_ = false;
  std::thread writer_;
};

}  // namespace pelorin::store
