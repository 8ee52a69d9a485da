// Group commit against real files: when an entry is on disk (the file, or the
// journal while registrations keep coming), that journaled entries reach the
// file on a pause, at shutdown and at the next start, and that nothing answered
// is lost to a hand edit or a failed write.
#include "store/group_commit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "tests/support/ini_folder.h"

namespace pelorin::store {
namespace {

namespace fs = std::filesystem;

// Runs GroupCommit's completions on the test thread, as the network thread would.
class Loop {
 public:
  GroupCommit::Post post() {
    return [this](std::function<void()> f) {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(f));
      cv_.notify_one();
    };
  }
  // Runs what is queued first (a write that a save scheduled starts).
  void run_one() {
    std::function<void()> f;
    {
      std::lock_guard lock(mutex_);
      ASSERT_FALSE(queue_.empty());
      f = std::move(queue_.front());
      queue_.pop_front();
    }
    f();
  }
  void run_until(const std::function<bool()>& done) {
    while (!done()) {
      std::unique_lock lock(mutex_);
      ASSERT_TRUE(cv_.wait_for(lock, std::chrono::seconds(10), [&] { return !queue_.empty(); }));
      auto f = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      f();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
};

std::string name_of(int i) { return "dev" + std::to_string(i); }
std::string address_of(int i) {
  return "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
}

class GroupCommitTest : public testing::IniFolder {
 protected:
  bool in_file(const std::string& name, const std::string& address) const {
    return contents().find("\n" + name + "=" + address + "\n") != std::string::npos;
  }
  // Saves one entry and, while its write is under way, `count - 1` more, and
  // waits for every answer: registrations coming faster than the file can be
  // rewritten for each.
  void burst(GroupCommit& commit, Loop& loop, int count) {
    int answered = 0;
    auto save = [&](int i) {
      commit.save(name_of(i), address_of(i), [&answered](int rc) {
        EXPECT_EQ(rc, 0);
        ++answered;
      });
    };
    save(0);
    loop.run_one();  // the write of the first starts
    for (int i = 1; i < count; ++i) save(i);
    loop.run_until([&] { return answered == count; });
  }

  // Saves one entry while the folder is gone, so that nothing in it can be
  // written, and returns the entry's answer.
  int save_without_folder(GroupCommit& commit, Loop& loop, const std::string& name,
                          const std::string& address) {
    const std::string moved = dir_ + ".moved";
    fs::rename(dir_, moved);
    int rc = 1;
    commit.save(name, address, [&](int r) { rc = r; });
    loop.run_until([&] { return rc != 1; });
    fs::rename(moved, dir_);
    return rc;
  }

};

TEST_F(GroupCommitTest, ALoneRegistrationIsInTheFileWhenAnswered) {
  put("[enposinfo]\na=1.1.1.1\n");
  AddressBook book(path_);
  Loop loop;
  GroupCommit commit(book, loop.post());
  int rc = 1;
  commit.save("shop1", "192.168.0.20", [&](int r) { rc = r; });
  loop.run_until([&] { return rc != 1; });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(contents(), "[enposinfo]\na=1.1.1.1\nshop1=192.168.0.20\n");
  EXPECT_FALSE(fs::exists(journal_));
}

TEST_F(GroupCommitTest, ABurstIsAnsweredFromTheJournalAndReachesTheFileOnAPause) {
  AddressBook book(path_);
  Loop loop;
  GroupCommit commit(book, loop.post());
  burst(commit, loop, 300);
  EXPECT_GT(commit.journaled(), 0u) << "the writes after the first went to the journal";
  for (int i = 0; i < 300; ++i) {
    EXPECT_TRUE(in_file(name_of(i), address_of(i)) || journaled(name_of(i), address_of(i)))
        << name_of(i) << " answered before it was on disk";
  }
  loop.run_until([&] { return commit.journaled() == 0; });
  for (int i = 0; i < 300; ++i) EXPECT_TRUE(in_file(name_of(i), address_of(i))) << name_of(i);
  EXPECT_EQ(fs::file_size(journal_), 0u) << "emptied once the file holds its entries";
  std::string value;
  EXPECT_EQ(book.searchip("dev299", value), 0);
  EXPECT_EQ(value, address_of(299));
}

TEST_F(GroupCommitTest, AFloodOfOneNameEndsWithItsLastAddress) {
  AddressBook book(path_);
  Loop loop;
  GroupCommit commit(book, loop.post());
  int answered = 0;
  commit.save("first", "10.0.0.1", [&answered](int) { ++answered; });
  loop.run_one();  // its write starts; the flood waits for it
  for (int i = 0; i < 1000; ++i) {
    commit.save(i % 2 ? "Flood" : "FLOOD", address_of(i), [&answered](int) { ++answered; });
  }
  loop.run_until([&] { return answered == 1001; });
  ASSERT_GT(commit.journaled(), 0u);
  // A hand edit meanwhile: what the journal answered is applied again, in order.
  put(contents() + "hand=9.9.9.9\n");
  commit.refresh();
  std::string value;
  EXPECT_EQ(book.find("flood", value), 0);
  EXPECT_EQ(value, address_of(999));
  loop.run_until([&] { return commit.journaled() == 0; });
  EXPECT_TRUE(in_file("FLOOD", address_of(999))) << contents();
  EXPECT_TRUE(in_file("hand", "9.9.9.9"));
}

TEST_F(GroupCommitTest, StopWritesTheJournalIntoTheFileAndRemovesIt) {
  AddressBook book(path_);
  Loop loop;
  GroupCommit commit(book, loop.post());
  burst(commit, loop, 200);
  ASSERT_GT(commit.journaled(), 0u);
  commit.stop();
  for (int i = 0; i < 200; ++i) EXPECT_TRUE(in_file(name_of(i), address_of(i))) << name_of(i);
  EXPECT_FALSE(fs::exists(journal_));
}

TEST_F(GroupCommitTest, WhatAnEarlierRunJournaledIsAppliedAndWrittenAtStart) {
  put("[enposinfo]\nold=1.1.1.1\nkept=5.5.5.5\n");
  std::string journal;
  append_journal_line(journal, "old", "2.2.2.2");
  append_journal_line(journal, "new", "3.3.3.3");
  std::ofstream(journal_, std::ios::binary) << journal_header("enpos.ini") << journal << "12ab";

  AddressBook book(path_);
  Loop loop;
  GroupCommit commit(book, loop.post());
  book.refresh();
  const GroupCommit::Recovery found = commit.recover();
  EXPECT_EQ(found.entries, 2u);
  EXPECT_EQ(found.dropped_bytes, 4u);
  EXPECT_TRUE(found.error.empty()) << found.error;
  std::string value;
  EXPECT_EQ(book.find("new", value), 0) << "served before the file is written";
  loop.run_until([&] { return commit.journaled() == 0; });
  EXPECT_EQ(contents(), "[enposinfo]\nold=2.2.2.2\nkept=5.5.5.5\nnew=3.3.3.3\n");
  EXPECT_EQ(fs::file_size(journal_), 0u);
}

TEST_F(GroupCommitTest, AHandEditKeepsTheJournaledEntriesAndTheEdit) {
  put("[enposinfo]\n");
  AddressBook book(path_);
  Loop loop;
  GroupCommit commit(book, loop.post());
  burst(commit, loop, 100);
  ASSERT_GT(commit.journaled(), 0u);
  // An editor saves what it read a moment ago, with one line added.
  put(contents() + "hand=9.9.9.9\n");
  commit.refresh();
  std::string value;
  EXPECT_EQ(book.find("hand", value), 0);
  EXPECT_EQ(book.find("dev99", value), 0) << "a journaled entry vanished with the reload";
  loop.run_until([&] { return commit.journaled() == 0; });
  EXPECT_TRUE(in_file("hand", "9.9.9.9"));
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(in_file(name_of(i), address_of(i))) << name_of(i);
}

TEST_F(GroupCommitTest, WhileTheFileCannotBeWrittenRegistrationsFailAndNothingAnsweredIsLost) {
  put("[enposinfo]\n");
  AddressBook book(path_);
  Loop loop;
  GroupCommit commit(book, loop.post());
  burst(commit, loop, 100);
  ASSERT_GT(commit.journaled(), 0u);
  EXPECT_EQ(save_without_folder(commit, loop, "late", "6.6.6.6"), -1);
  EXPECT_FALSE(commit.last_failure().empty());
  std::string value;
  EXPECT_EQ(book.find("late", value), -1) << "a refused entry stayed in memory";
  EXPECT_EQ(book.find("dev99", value), 0) << "an answered entry left memory";

  int after = 1;
  commit.save("after", "7.7.7.7", [&](int r) { after = r; });
  loop.run_until([&] { return after != 1 && commit.journaled() == 0; });
  EXPECT_EQ(after, 0);
  EXPECT_TRUE(in_file("after", "7.7.7.7"));
  EXPECT_FALSE(in_file("late", "6.6.6.6"));
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(in_file(name_of(i), address_of(i))) << name_of(i);
}

TEST_F(GroupCommitTest, AFailedWriteLeavesFileAndMemoryAsOnDisk) {
  put("[enposinfo]\na=1.1.1.1\n");
  AddressBook book(path_);
  Loop loop;
  GroupCommit commit(book, loop.post());
  EXPECT_EQ(save_without_folder(commit, loop, "b", "2.2.2.2"), -1);
  EXPECT_FALSE(commit.last_failure().empty());
  std::string value;
  commit.refresh();
  EXPECT_EQ(book.searchip("b", value), -1);
  EXPECT_EQ(contents(), "[enposinfo]\na=1.1.1.1\n");
}

}  // namespace
}  // namespace pelorin::store
