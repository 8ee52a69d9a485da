// Group commit over AddressBook and the journal, with one writer thread.
#include "store/group_commit.h"

#include <algorithm>
#include <system_error>

namespace pelorin::store {
namespace {
using namespace std::chrono_literals;

// Another program that keeps rewriting the file could otherwise keep a batch
// from ever being written.
constexpr int kMaxConflicts = 5;
// A batch that was waiting when the previous write ended, or whose write starts
// this soon after it, is appended to the journal: registrations are coming
// faster than the file can be rewritten for each.
constexpr auto kBusy = 20ms;
// Journaled entries are written into the file once registrations pause this
// long, or once the oldest has waited kMaxLag, or there are this many (they
// are kept in memory too, about 64 bytes each), or the journal grew this large.
constexpr auto kQuiet = 50ms;
constexpr auto kMaxLag = 1s;
constexpr std::size_t kMaxJournaled = 65536;
constexpr std::size_t kJournalLimit = 16u << 20;
// After a write, how long the next one may wait for the devices just answered.
constexpr auto kGather = 500us;

constexpr const char* kNotWhole = "the file could not be read whole, so it is not rewritten";
}  // namespace

GroupCommit::GroupCommit(AddressBook& book, Post post)
    : book_(book),
      post_(std::move(post)),
      journal_(book_.path()),
      writer_([this] { writer_loop(); }) {}

GroupCommit::~GroupCommit() { stop(); }

GroupCommit::Recovery GroupCommit::recover() {
  Recovery out;
  Journal::Recovered found = journal_.recover();
  out.dropped_bytes = found.dropped_bytes;
  out.entries = found.entries.size();
  if (found.status.status != ReplaceResult::Status::ok) {
    // Appending after what could not be read or cut would risk losing it.
    journal_usable_ = false;
    out.error = found.status.call + ": " + std::system_category().message(found.status.error);
  }
  journal_bytes_ = journal_.size();
  if (!found.entries.empty()) {
    for (const JournalEntry& e : found.entries) book_.stage(e.name, e.address);
    unfolded_ = std::move(found.entries);
    unfolded_since_ = Clock::now();
    quiet_ = true;  // write them into the file now
    if (!writing_) start_write();
  }
  return out;
}

void GroupCommit::stop() {
  if (stopped_) return;
  stopped_ = true;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (writer_.joinable()) writer_.join();
  if (journal_usable_) write_journal_into_file();
}

void GroupCommit::refresh() {
  if (writing_ && writing_kind_ == Kind::replace) return;
  if (book_.refresh()) restage();
}

void GroupCommit::save(std::string name, std::string address, Done done) {
  // Whether someone else changed the file is asked once per write, in
  // start_write: a reload there applies this entry again.
  book_.stage(name, address);
  next_.push_back(Pending{std::move(name), std::move(address), std::move(done)});
  // Right after a write, the devices it answered are about to send again:
  // their requests join the next write, which starts once they are in or
  // kGather has passed (the writer thread then starts it).
  if (next_.size() >= gather_ || Clock::now() >= gather_until_) schedule_write();
}

void GroupCommit::schedule_write() {
  // Not at once: requests that arrived together with this one are read first
  // and go into the same write.
  if (writing_ || write_scheduled_) return;
  write_scheduled_ = true;
  post_([this] {
    write_scheduled_ = false;
    if (!stopped_ && !writing_) start_write();
  });
}

void GroupCommit::restage() {
  for (const JournalEntry& e : unfolded_) book_.stage(e.name, e.address);
  if (writing_ && writing_kind_ == Kind::append) {
    for (const Pending& p : in_flight_) book_.stage(p.name, p.address);
  }
  for (const Pending& p : next_) book_.stage(p.name, p.address);
}

void GroupCommit::record_failure(const ReplaceResult& result) {
  ++failures_;
  last_failure_ = result.call + ": " + std::system_category().message(result.error);
}

void GroupCommit::fail_all(std::vector<Pending>& pending) {
  std::vector<Pending> failed;
  failed.swap(pending);
  for (Pending& p : failed) p.done(-1);
}

void GroupCommit::start_write() {
  refresh();
  const Clock::time_point now = Clock::now();
  if (unfolded_.empty()) quiet_ = false;
  const bool fold_due = !unfolded_.empty() &&
                        (quiet_ || now - unfolded_since_ >= kMaxLag ||
                         unfolded_.size() >= kMaxJournaled || journal_bytes_ >= kJournalLimit);
  if (next_.empty() && !fold_due) return;
  if (!book_.whole()) {
    // Writing the file would lose what was not read; and entries answered from
    // the journal could never reach it.
    ++failures_;
    last_failure_ = kNotWhole;
    std::vector<Pending> failed;
    failed.swap(next_);
    book_.reload();
    restage();
    fail_all(failed);
    return;
  }
  // Registrations came while the last write was under way, or come right after
  // it: faster than the file can be rewritten for each.
  const bool busy = backlog_ || now - last_write_end_ < kBusy;
  backlog_ = false;
  Job job;
  if (journal_usable_ && !write_failed_ && !fold_due && busy) {
    job.kind = Kind::append;
    for (const Pending& p : next_) append_journal_line(job.lines, p.name, p.address);
  } else {
    job.kind = Kind::replace;
    job.file = *book_.write_job();
    job.clear_journal = journal_usable_;
  }
  in_flight_.swap(next_);
  writing_ = true;
  writing_kind_ = job.kind;
  {
    std::lock_guard lock(mutex_);
    job_ = std::move(job);
  }
  wake_.notify_one();
}

GroupCommit::Outcome GroupCommit::run(Job& job) {
  Outcome out;
  out.kind = job.kind;
  if (job.kind == Kind::append) {
    // Entries answered from the journal must be able to reach the file: a file
    // or folder we may not write refuses them now, not at the next replacement.
    out.result = may_replace(book_.path());
    if (out.result.status == ReplaceResult::Status::ok) out.result = journal_.append(job.lines);
  } else {
    out.result = replace_file(job.file.path, job.file.text, job.file.expected);
    if (out.result.status == ReplaceResult::Status::ok && job.clear_journal) {
      out.cleared = journal_.clear();
    }
  }
  out.journal_bytes = journal_.size();
  return out;
}

void GroupCommit::writer_loop() {
  constexpr Clock::time_point kNever = Clock::time_point::max();
  Clock::time_point quiet_at = kNever;   // when journaled entries are due
  Clock::time_point gather_at = kNever;  // when the next write starts anyway
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      auto ready = [this] { return stopping_ || job_.has_value(); };
      const Clock::time_point wake_at = std::min(quiet_at, gather_at);
      if (wake_at == kNever) {
        wake_.wait(lock, ready);
      } else if (!wake_.wait_until(lock, wake_at, ready)) {
        lock.unlock();
        if (gather_at <= quiet_at) {
          gather_at = kNever;
          post_([this] {
            if (!stopped_ && !next_.empty()) schedule_write();
          });
        } else {
          quiet_at = kNever;
          post_([this] {
            if (stopped_ || unfolded_.empty()) return;
            quiet_ = true;
            if (!writing_) start_write();
          });
        }
        continue;
      }
      if (!job_) return;  // stopping with nothing to write
      job = std::move(*job_);
      job_.reset();
    }
    Outcome outcome = run(job);
    if (outcome.kind == Kind::append && outcome.result.status == ReplaceResult::Status::ok) {
      quiet_at = Clock::now() + kQuiet;
    } else if (outcome.kind == Kind::replace) {
      quiet_at = kNever;
    }
    gather_at = Clock::now() + kGather;
    post_([this, outcome = std::move(outcome)]() mutable { finished(std::move(outcome)); });
  }
}

void GroupCommit::finished(Outcome outcome) {
  if (stopped_) return;
  writing_ = false;
  last_write_end_ = Clock::now();
  backlog_ = !next_.empty();
  journal_bytes_ = outcome.journal_bytes;
  std::vector<Pending> batch;
  batch.swap(in_flight_);
  if (outcome.result.status == ReplaceResult::Status::ok) {
    if (outcome.kind == Kind::append) {
      if (unfolded_.empty()) unfolded_since_ = last_write_end_;
      // Kept to be applied again after a reload; the answer needs them no more.
      for (Pending& p : batch) {
        unfolded_.push_back(JournalEntry{std::move(p.name), std::move(p.address)});
      }
    } else {
      conflicts_ = 0;
      write_failed_ = false;
      book_.written(outcome.result.identity);
      std::vector<JournalEntry>().swap(unfolded_);
      quiet_ = false;
      if (outcome.cleared.status != ReplaceResult::Status::ok) {
        // Its entries are in the file now, but appending more after them would
        // make the next start apply them again over later hand edits.
        journal_usable_ = false;
        last_failure_ = "emptying the journal: " + outcome.cleared.call + ": " +
                        std::system_category().message(outcome.cleared.error);
      }
    }
    // The devices answered here are expected to send again soon.
    gather_ = batch.size() + next_.size();
    gather_until_ = last_write_end_ + kGather;
    for (Pending& p : batch) p.done(0);
  } else {
    gather_ = 0;
    // Memory holds entries the file and the journal do not: read the file
    // again and put back what is answered or still waiting.
    book_.reload();
    if (outcome.kind == Kind::replace &&
        outcome.result.status == ReplaceResult::Status::conflict &&
        ++conflicts_ <= kMaxConflicts) {
      // Someone edited the file meanwhile: apply the same entries to their text.
      batch.insert(batch.end(), std::make_move_iterator(next_.begin()),
                   std::make_move_iterator(next_.end()));
      next_.swap(batch);
      batch.clear();
    } else {
      conflicts_ = 0;
      if (outcome.result.status == ReplaceResult::Status::conflict) {
        ++failures_;
        last_failure_ = "the file keeps being changed by another program";
      } else {
        record_failure(outcome.result);
      }
      // Until the file has been written again, registrations go to the file
      // and succeed or fail with it (a journal that failed is emptied by that
      // write); journaled entries wait for it or for the next start, and are
      // not retried in a loop meanwhile.
      write_failed_ = true;
      if (outcome.kind == Kind::replace) {
        quiet_ = false;
        unfolded_since_ = last_write_end_;
      }
    }
    restage();
    fail_all(batch);
  }
  if (next_.size() >= gather_) schedule_write();
}

void GroupCommit::write_journal_into_file() {
  Journal::Recovered found = journal_.recover();
  if (found.status.status != ReplaceResult::Status::ok) {
    record_failure(found.status);
    return;
  }
  if (found.entries.empty()) {
    journal_.remove_if_empty();
    return;
  }
  for (int attempt = 0; attempt <= kMaxConflicts; ++attempt) {
    book_.reload();
    for (const JournalEntry& e : found.entries) book_.stage(e.name, e.address);
    std::optional<WriteJob> job = book_.write_job();
    if (!job) {
      ++failures_;
      last_failure_ = kNotWhole;
      return;
    }
    ReplaceResult written = replace_file(job->path, job->text, job->expected);
    if (written.status == ReplaceResult::Status::ok) {
      book_.written(written.identity);
      if (journal_.clear().status == ReplaceResult::Status::ok) journal_.remove_if_empty();
      return;
    }
    if (written.status == ReplaceResult::Status::failed) {
      record_failure(written);
      return;
    }
  }
  ++failures_;
  last_failure_ = "the file keeps being changed by another program";
}

}  // namespace pelorin::store
