// A fixture for tests against real files: a temporary folder with the path of
// an enpos.ini (and of its journal) in it, removed after each test, and the
// file helpers those tests share.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "store/journal.h"

namespace pelorin::testing {

// The whole content of a file; empty when it cannot be read.
inline std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class IniFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelorin-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/enpos.ini";
    journal_ = path_ + ".journal";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void put(const std::string& text) const {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
  }
  [[nodiscard]] std::string contents() const { return file_text(path_); }
  // Whether the journal beside enpos.ini holds this entry, read as at start.
  [[nodiscard]] bool journaled(const std::string& name, const std::string& address) const {
    const auto entries = store::scan_journal(file_text(journal_)).entries;
    return std::find(entries.begin(), entries.end(), store::JournalEntry{name, address}) !=
           entries.end();
  }

  std::string dir_;
  std::string path_;
  std::string journal_;
};

}  // namespace pelorin::testing
