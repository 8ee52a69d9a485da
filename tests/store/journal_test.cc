// The journal's line format as byte tables, and the journal file: a torn last
// line is cut off before anything is appended after it.
#include "store/journal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/ini_folder.h"

namespace pelorin::store {
namespace {

namespace fs = std::filesystem;

std::string line(std::string_view name, std::string_view address) {
  std::string out;
  append_journal_line(out, name, address);
  return out;
}

TEST(JournalLines, AreTheChecksumAndTheEntry) {
  // CRC32 (as zlib and Python's zlib.crc32 compute it) of the text after the blank.
  EXPECT_EQ(line("shop1", "192.168.0.20"), "f1b8a20b shop1=192.168.0.20\n");
  EXPECT_EQ(line("Shop 1", "0.0.0.0"), "6fa6d35a Shop 1=0.0.0.0\n");
  EXPECT_EQ(line("dev000001", "10.0.0.1"), "c71c144f dev000001=10.0.0.1\n");
}

TEST(JournalLines, ReadingStopsAtTheFirstLineThatIsNotWhole) {
  const std::string header = journal_header("enpos.ini");
  const std::string a = line("a", "1.1.1.1");
  const std::string b = line("b b\xC3\xA9", "2.2.2.2");
  std::string bad_crc = a;
  bad_crc[0] = bad_crc[0] == '0' ? '1' : '0';
  std::string upper = line("up", "3.3.3.3");
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Case {
    const char* what;
    std::string text;
    std::size_t entries;
    std::size_t whole_bytes;
  };
  const Case cases[] = {
      {"empty", "", 0, 0},
      {"header only", header, 0, header.size()},
      {"two entries", header + a + b, 2, (header + a + b).size()},
      {"no header", a, 1, a.size()},
      {"last line cut short", header + a + b.substr(0, 5), 1, (header + a).size()},
      {"line break missing", header + a + b.substr(0, b.size() - 1), 1, (header + a).size()},
      {"checksum wrong", header + bad_crc + b, 0, header.size()},
      {"checksum in capitals", header + upper, 0, header.size()},
      {"no blank after the checksum", header + "f1b8a20bshop1=192.168.0.20\n", 0, header.size()},
      {"no '='", header + "00000000 \n", 0, header.size()},
      {"empty name", header + line("", "1.1.1.1"), 0, header.size()},
      {"blank line", header + a + "\n" + b, 1, (header + a).size()},
      {"comment after an entry", header + a + "# late\n" + b, 1, (header + a).size()},
      {"zeros after the end", header + a + std::string(64, '\0'), 1, (header + a).size()},
      {"damage in the middle", a + "garbage\n" + b, 1, a.size()},
  };
  for (const Case& c : cases) {
    const JournalScan scan = scan_journal(c.text);
    EXPECT_EQ(scan.entries.size(), c.entries) << c.what;
    EXPECT_EQ(scan.whole_bytes, c.whole_bytes) << c.what;
  }
  const JournalScan two = scan_journal(header + a + b);
  ASSERT_EQ(two.entries.size(), 2u);
  EXPECT_EQ(two.entries[1], (JournalEntry{"b b\xC3\xA9", "2.2.2.2"}));
}

class JournalFile : public testing::IniFolder {};

TEST_F(JournalFile, AppendedLinesReadBackAfterARestart) {
  Journal journal(path_);
  EXPECT_EQ(journal.path(), journal_);
  ASSERT_EQ(journal.append(line("a", "1.1.1.1")).status, ReplaceResult::Status::ok);
  ASSERT_EQ(journal.append(line("b", "2.2.2.2") + line("a", "3.3.3.3")).status,
            ReplaceResult::Status::ok);
  EXPECT_EQ(testing::file_text(journal_),
            journal_header("enpos.ini") + line("a", "1.1.1.1") + line("b", "2.2.2.2") +
                line("a", "3.3.3.3"));

  Journal again(path_);
  Journal::Recovered found = again.recover();
  EXPECT_EQ(found.status.status, ReplaceResult::Status::ok);
  EXPECT_EQ(found.dropped_bytes, 0u);
  EXPECT_EQ(found.entries, (std::vector<JournalEntry>{
                               {"a", "1.1.1.1"}, {"b", "2.2.2.2"}, {"a", "3.3.3.3"}}));
}

TEST_F(JournalFile, ATornLastLineIsCutBeforeTheNextAppend) {
  const std::string whole = journal_header("enpos.ini") + line("a", "1.1.1.1");
  std::ofstream(journal_, std::ios::binary) << whole << "0badc0de b=2.2";
  Journal journal(path_);
  Journal::Recovered found = journal.recover();
  EXPECT_EQ(found.entries, (std::vector<JournalEntry>{{"a", "1.1.1.1"}}));
  EXPECT_EQ(found.dropped_bytes, 14u);
  EXPECT_EQ(testing::file_text(journal_), whole);
  ASSERT_EQ(journal.append(line("c", "3.3.3.3")).status, ReplaceResult::Status::ok);
  EXPECT_EQ(Journal(path_).recover().entries,
            (std::vector<JournalEntry>{{"a", "1.1.1.1"}, {"c", "3.3.3.3"}}))
      << "a line appended after the torn one was read";
}

TEST_F(JournalFile, ClearEmptiesAndOnlyAnEmptyJournalIsRemoved) {
  std::ofstream(journal_, std::ios::binary) << line("kept", "1.1.1.1");
  Journal unknown(path_);
  unknown.remove_if_empty();  // never read: it holds an entry
  EXPECT_TRUE(fs::exists(journal_));

  Journal journal(path_);
  EXPECT_EQ(journal.recover().entries.size(), 1u);
  ASSERT_EQ(journal.clear().status, ReplaceResult::Status::ok);
  EXPECT_EQ(fs::file_size(journal_), 0u);
  ASSERT_EQ(journal.append(line("b", "2.2.2.2")).status, ReplaceResult::Status::ok);
  EXPECT_EQ(testing::file_text(journal_), journal_header("enpos.ini") + line("b", "2.2.2.2"))
      << "an emptied journal starts again with its header";
  journal.remove_if_empty();
  EXPECT_TRUE(fs::exists(journal_));
  ASSERT_EQ(journal.clear().status, ReplaceResult::Status::ok);
  journal.remove_if_empty();
  EXPECT_FALSE(fs::exists(journal_));
}

TEST_F(JournalFile, SitsBesideTheFileALinkPointsTo) {
  fs::create_directory(dir_ + "/data");
  std::ofstream(dir_ + "/data/real.ini") << "[enposinfo]\n";
  fs::create_symlink(dir_ + "/data/real.ini", path_);
  EXPECT_EQ(journal_path(path_), dir_ + "/data/real.ini.journal");
}

}  // namespace
}  // namespace pelorin::store
