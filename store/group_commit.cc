// Group commit over AddressBook with one writer thread.
#include "store/group_commit.h"

#include <system_error>

namespace pelorin::store {
namespace {
// Another program that keeps rewriting the file could otherwise keep a batch
// from ever being written.
constexpr int kMaxConflicts = 5;
}  // namespace

GroupCommit::GroupCommit(AddressBook& book, Post post)
    : book_(book), post_(std::move(post)), writer_([this] { writer_loop(); }) {}

GroupCommit::~GroupCommit() { stop(); }

void GroupCommit::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (writer_.joinable()) writer_.join();
}

void GroupCommit::refresh() {
  if (!writing_) book_.refresh();
}

void GroupCommit::save(std::string name, std::string address, Done done) {
  refresh();
  book_.stage(name, address);
  next_.push_back(Pending{std::move(name), std::move(address), std::move(done)});
  if (!writing_) start_write();
}

void GroupCommit::start_write() {
  std::optional<WriteJob> job = book_.write_job();
  if (!job) {
    // The file could not be read whole; writing it would lose what was not read.
    ++failures_;
    last_failure_ = "the file could not be read whole, so it is not rewritten";
    std::vector<Pending> failed;
    failed.swap(next_);
    book_.reload();
    for (Pending& p : failed) p.done(-1);
    return;
  }
  in_flight_.swap(next_);
  writing_ = true;
  {
    std::lock_guard lock(mutex_);
    job_ = std::move(job);
  }
  wake_.notify_one();
}

void GroupCommit::writer_loop() {
  for (;;) {
    WriteJob job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || job_.has_value(); });
      if (!job_) return;  // stopping with nothing to write
      job = std::move(*job_);
      job_.reset();
    }
    ReplaceResult result = replace_file(job.path, job.text, job.expected);
    post_([this, result = std::move(result)]() mutable { finished(std::move(result)); });
  }
}

void GroupCommit::finished(ReplaceResult result) {
  writing_ = false;
  if (result.status == ReplaceResult::Status::ok) {
    conflicts_ = 0;
    book_.written(result.identity);
    std::vector<Pending> done;
    done.swap(in_flight_);
    for (Pending& p : done) p.done(0);
  } else {
    // Memory holds entries the file does not: read the file again and put back
    // what is still waiting.
    book_.reload();
    std::vector<Pending> retry;
    retry.swap(in_flight_);
    if (result.status == ReplaceResult::Status::conflict && ++conflicts_ <= kMaxConflicts) {
      // Someone edited the file meanwhile: apply the same entries to their text.
      retry.insert(retry.end(), std::make_move_iterator(next_.begin()),
                   std::make_move_iterator(next_.end()));
      next_.swap(retry);
      retry.clear();
    } else {
      conflicts_ = 0;
      ++failures_;
      last_failure_ = result.status == ReplaceResult::Status::conflict
                          ? "the file keeps being changed by another program"
                          : result.call + ": " + std::system_category().message(result.error);
    }
    for (const Pending& p : next_) book_.stage(p.name, p.address);
    for (Pending& p : retry) p.done(-1);
  }
  // A callback above may have started the next write already.
  if (!next_.empty() && !writing_) start_write();
}

}  // namespace pelorin::store
