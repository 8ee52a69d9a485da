// Group commit: registrations that arrive while a write is under way are
// gathered and written together by the next write, and each is answered only
// once the write that holds it is on disk.
//
// A write is one of two kinds. When the registry is quiet, a registration is
// written straight into enpos.ini (the atomic replacement), so the file holds
// it when the device is answered. When registrations keep coming, the batches
// are appended to the journal beside the file instead, one fdatasync each, and
// answered; the journaled entries are then written into enpos.ini together by
// one replacement once registrations pause for 50 ms, at least once a second
// while they do not, and at shutdown. At start, what the journal holds is
// applied and written into the file before anything else.
//
// The address book stays on its owner's thread (the network thread); only the
// prepared text goes to the writer thread, and the result comes back through
// `post`, which runs a function on the owner's thread. The network thread so
// never waits for the disk.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "store/address_book.h"
#include "store/journal.h"

namespace pelorin::store {

class GroupCommit {
 public:
  using Post = std::function<void(std::function<void()>)>;
  // Called on the owner's thread with 0 when the entry is on disk, -1 when the
  // write failed and the entry was not kept.
  using Done = std::function<void(int)>;
  using Clock = std::chrono::steady_clock;

  GroupCommit(AddressBook& book, Post post);
  GroupCommit(const GroupCommit&) = delete;
  GroupCommit& operator=(const GroupCommit&) = delete;
  ~GroupCommit();

  // What a previous run left in the journal: applied to the address book and
  // written into the file right away. Once, after the file is first read,
  // under the instance lock, before any save().
  struct Recovery {
    std::size_t entries = 0;
    std::size_t dropped_bytes = 0;  // a torn last line, cut off
    std::string error;              // the journal could not be read: not used
  };
  Recovery recover();

  // Stores one entry; `done` runs once it is on disk or has failed.
  void save(std::string name, std::string address, Done done);

  // Brings the address book up to date with the file, unless the file is being
  // replaced (then memory is ahead of the file and stays authoritative).
  // Entries the file does not hold yet are applied again after a reload.
  void refresh();

  // Finishes the write under way, stops the writer and writes what the journal
  // holds into the file, then removes the journal. Nothing is answered after this.
  void stop();

  // Failed writes so far, and why the last one failed.
  [[nodiscard]] unsigned long failures() const { return failures_; }
  [[nodiscard]] const std::string& last_failure() const { return last_failure_; }
  // Entries answered from the journal and not yet in the file.
  [[nodiscard]] std::size_t journaled() const { return unfolded_.size(); }
  [[nodiscard]] const std::string& journal_path() const { return journal_.path(); }

 private:
  struct Pending {
    std::string name;
    std::string address;
    Done done;
  };
  enum class Kind { append, replace };
  struct Job {
    Kind kind = Kind::replace;
    std::string lines;  // append: the journal lines of the batch
    WriteJob file;      // replace: the whole file
    bool clear_journal = false;  // replace: empty the journal once the file holds it
  };
  struct Outcome {
    Kind kind = Kind::replace;
    ReplaceResult result;
    std::size_t journal_bytes = 0;
    ReplaceResult cleared;  // replace: emptying the journal afterwards
  };

  void schedule_write();
  void start_write();
  void finished(Outcome outcome);
  void fail_all(std::vector<Pending>& pending);
  void restage();
  void record_failure(const ReplaceResult& result);
  void write_journal_into_file();
  void writer_loop();
  Outcome run(Job& job);

  AddressBook& book_;
  Post post_;
  std::vector<Pending> next_;            // waiting for the next write
  std::vector<Pending> in_flight_;       // held by the write under way
  // Answered from the journal and not yet in the file, in order: applied again
  // when the file is read again.
  std::vector<JournalEntry> unfolded_;
  Clock::time_point unfolded_since_{};
  Clock::time_point last_write_end_{};
  std::size_t journal_bytes_ = 0;
  bool writing_ = false;
  Kind writing_kind_ = Kind::replace;
  bool journal_usable_ = true;    // false: the journal could not be read at start
  bool write_failed_ = false;     // until the file is written again: no answers from the journal
  bool quiet_ = false;            // registrations paused since the last append
  bool write_scheduled_ = false;
  bool backlog_ = false;                 // registrations waited for the last write
  std::size_t gather_ = 0;               // the next write starts once this many wait,
  Clock::time_point gather_until_{};     // or from then on

  bool stopped_ = false;
  int conflicts_ = 0;
  unsigned long failures_ = 0;
  std::string last_failure_;

  // The writer thread's, and the owner's once the writer has stopped.
  Journal journal_;

  // Shared with the writer thread.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<Job> job_;
  bool stopping_ = false;
  std::thread writer_;
};

}  // namespace pelorin::store
