// The address book against a real file: change detection, the write rules on
// disk, and failed writes.
#include "store/address_book.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/ini_folder.h"

namespace pelorin::store {
namespace {

namespace fs = std::filesystem;

class AddressBookTest : public testing::IniFolder {
 protected:
  std::string lookup(AddressBook& book, const std::string& name) {
    std::string value = "untouched";
    return book.searchip(name, value) == 0 ? value : "<absent>";
  }
};

TEST_F(AddressBookTest, MissingFileGivesDefaultsAndIsCreatedByTheFirstEntry) {
  AddressBook book(path_);
  EXPECT_EQ(book.read_port("port1", 10001), 10001);
  EXPECT_EQ(lookup(book, "shop1"), "<absent>");
  ASSERT_EQ(book.savedatabase("shop1", "192.168.0.20"), 0);
  EXPECT_EQ(contents(), "[enposinfo]\nshop1=192.168.0.20\n");
  EXPECT_EQ(lookup(book, "SHOP1"), "192.168.0.20");
}

TEST_F(AddressBookTest, WriteKeepsEveryOtherByte) {
  const std::string before =
      "\xEF\xBB\xBF; site A\r\n[Connect]\r\nport1 = 10001 ; reg\r\n\r\n[enposinfo]\r\n"
      "Shop1=1.1.1.1\r\nother=2.2.2.2\r\n; trailing comment\r\n";
  put(before);
  AddressBook book(path_);
  ASSERT_EQ(book.savedatabase("shop1", "9.9.9.9"), 0);
  ASSERT_EQ(book.savedatabase("new", "3.3.3.3"), 0);
  EXPECT_EQ(contents(),
            "\xEF\xBB\xBF; site A\r\n[Connect]\r\nport1 = 10001 ; reg\r\n\r\n[enposinfo]\r\n"
            "Shop1=9.9.9.9\r\nother=2.2.2.2\r\nnew=3.3.3.3\r\n; trailing comment\r\n");
}

TEST_F(AddressBookTest, SeesHandEditsAndDeletion) {
  put("[enposinfo]\nshop1=1.1.1.1\n");
  AddressBook book(path_);
  EXPECT_EQ(lookup(book, "shop1"), "1.1.1.1");

  put("[enposinfo]\nshop1=2.2.2.2\nhand=40.40.40.40\n");  // another size: seen at once
  EXPECT_EQ(lookup(book, "shop1"), "2.2.2.2");
  EXPECT_EQ(lookup(book, "hand"), "40.40.40.40");

  fs::remove(path_);
  EXPECT_EQ(lookup(book, "shop1"), "<absent>");
  ASSERT_EQ(book.savedatabase("again", "5.5.5.5"), 0);
  EXPECT_EQ(contents(), "[enposinfo]\nagain=5.5.5.5\n");
}

TEST_F(AddressBookTest, AWriteNeverUndoesAHandEdit) {
  put("[enposinfo]\na=1.1.1.1\n");
  AddressBook book(path_);
  EXPECT_EQ(lookup(book, "a"), "1.1.1.1");
  put("[enposinfo]\na=1.1.1.1\nedited=by.hand\n");
  ASSERT_EQ(book.savedatabase("b", "2.2.2.2"), 0);
  EXPECT_EQ(contents(), "[enposinfo]\na=1.1.1.1\nedited=by.hand\nb=2.2.2.2\n");
}

TEST_F(AddressBookTest, ValuesAreCutTo29CharactersAndEmptyIsAbsent) {
  put("[enposinfo]\nlong=" + std::string(40, 'x') + "\nempty=\nquoted=\"\"\n");
  AddressBook book(path_);
  EXPECT_EQ(lookup(book, "long"), std::string(29, 'x'));
  EXPECT_EQ(lookup(book, "empty"), "<absent>");
  EXPECT_EQ(lookup(book, "quoted"), "<absent>");
}

TEST_F(AddressBookTest, PortsFollowTheIntegerRules) {
  put("[connect]\nport1=-1\nport2=abc\n");
  AddressBook book(path_);
  EXPECT_EQ(book.read_port("port1", 10001), -1);
  EXPECT_EQ(book.read_port("port2", 10002), std::nullopt);
  EXPECT_EQ(book.read_port("port3", 7), 7);
}

TEST_F(AddressBookTest, FailedWriteLeavesTheOldFile) {
  if (::geteuid() == 0) {
    // Root ignores file modes; a folder that is a file is refused to anyone.
    put("[enposinfo]\na=1.1.1.1\n");
    AddressBook blocked(path_ + "/enpos.ini");
    EXPECT_EQ(blocked.savedatabase("b", "2.2.2.2"), -1);
    EXPECT_EQ(contents(), "[enposinfo]\na=1.1.1.1\n");
    return;
  }
  put("[enposinfo]\na=1.1.1.1\n");
  ::chmod(path_.c_str(), 0444);
  AddressBook book(path_);
  EXPECT_EQ(book.savedatabase("b", "2.2.2.2"), -1);
  EXPECT_EQ(contents(), "[enposinfo]\na=1.1.1.1\n");
  EXPECT_EQ(lookup(book, "b"), "<absent>");
}

TEST_F(AddressBookTest, BadFilesGiveDefaultsAndAreNeverRewritten) {
  // A folder where the file should be cannot be read.
  fs::create_directory(path_);
  AddressBook unreadable(path_);
  EXPECT_EQ(unreadable.read_port("port1", 10001), 10001);
  EXPECT_EQ(unreadable.savedatabase("a", "1.1.1.1"), -1);
  fs::remove(path_);

  // A binary file gives what can be read.
  using namespace std::string_literals;
  put("\0\xFF\n[enposinfo]\n\x01\x02\nok=1.2.3.4\n\xFE\0"s);
  AddressBook book(path_);
  EXPECT_EQ(lookup(book, "ok"), "1.2.3.4");
}

TEST_F(AddressBookTest, TooLargeFileIsNotTruncatedByAWrite) {
  put("[enposinfo]\na=1.1.1.1\n" + std::string(200, ';') + "\n");
  LoadedFile small = load_file(path_, 64);
  EXPECT_EQ(small.status, LoadedFile::Status::too_large);
}

}  // namespace
}  // namespace pelorin::store
