// The reading and writing rules of the INI model, as tables of small files.
#include "store/ini_document.h"

#include <gtest/gtest.h>

namespace pelorin::store {
namespace {

struct ReadCase {
  const char* why;
  std::string_view text;
  const char* section;
  const char* key;
  std::optional<std::string> expected;
};

const ReadCase kReadCases[] = {
    {"plain key", "[enposinfo]\nshop1=1.2.3.4\n", "enposinfo", "shop1", "1.2.3.4"},
    {"section name ignores case", "[ENPOSINFO]\nshop1=1\n", "enposinfo", "shop1", "1"},
    {"key name ignores case", "[enposinfo]\nShop1=1\n", "enposinfo", "SHOP1", "1"},
    {"names match whole", "[enposinfo]\nshop10=1\n", "enposinfo", "shop1", std::nullopt},
    {"blanks around names and values trimmed", "[ Connect ]\n \tport1 \t=\t 42 \n", "Connect",
     "port1", "42"},
    {"inner blanks kept", "[a]\nk=x  y\n", "a", "k", "x  y"},
    {"header name runs to the last ]", "[a]b]junk\nk=1\n", "a]b", "k", "1"},
    {"text after ] ignored", "[a] ; note\nk=1\n", "a", "k", "1"},
    {"[Sec without ] is no header", "[a]\nk=1\n[b\nk=2\n", "a", "k", "1"},
    {"header may be indented", "  [a]\nk=1\n", "a", "k", "1"},
    {"value is everything after the first =", "[a]\nk=x=y\n", "a", "k", "x=y"},
    {"no inline comments", "[Connect]\nport1=10001 ; reg\n", "Connect", "port1", "10001 ; reg"},
    {"; line is a comment", "[a]\n;k=1\nk=2\n", "a", "k", "2"},
    {"indented ; line is a comment", "[a]\n  ;k=1\n", "a", "k", std::nullopt},
    {"# is not special", "[a]\n#k=1\n", "a", "#k", "1"},
    {"line without = is not a key", "[a]\nk\n", "a", "k", std::nullopt},
    {"double quotes removed", "[a]\nk=\" a \"\n", "a", "k", " a "},
    {"single quotes removed", "[a]\nk='x'\n", "a", "k", "x"},
    {"lone quote stays", "[a]\nk=\"x\n", "a", "k", "\"x"},
    {"mismatched quotes stay", "[a]\nk=\"x'\n", "a", "k", "\"x'"},
    {"only one pair removed", "[a]\nk=\"\"x\"\"\n", "a", "k", "\"x\""},
    {"first of duplicate keys", "[a]\nk=1\nK=2\n", "a", "k", "1"},
    {"first of duplicate sections", "[a]\nk=1\n[A]\nk=2\nj=3\n", "a", "j", std::nullopt},
    {"empty value is present", "[a]\nk=\n", "a", "k", ""},
    {"missing section", "[a]\nk=1\n", "b", "k", std::nullopt},
    {"key before any section", "k=1\n[a]\n", "a", "k", std::nullopt},
    {"CRLF lines", "[a]\r\nk=1\r\n", "a", "k", "1"},
    {"no final newline", "[a]\nk=1", "a", "k", "1"},
    {"bare CR ends the last line", "[a]\nk=1\r", "a", "k", "1"},
    {"UTF-8 BOM ignored", "\xEF\xBB\xBF[a]\nk=1\n", "a", "k", "1"},
    {"bytes from 0x80 kept", "[a]\nk\xC3\xA9=\xFF\n", "a", "k\xC3\xA9", "\xFF"},
    {"NUL byte in a value", std::string_view("[a]\nk=1\0" "2\n", 10), "a", "k",
     std::string("1\0" "2", 3)},
};

TEST(IniDocumentRead, FollowsTheProfileRules) {
  for (const ReadCase& c : kReadCases) {
    IniDocument doc{std::string(c.text)};
    EXPECT_EQ(doc.get(c.section, c.key), c.expected) << c.why;
  }
}

TEST(IniDocumentRead, IntegersFollowTheProfileRules) {
  struct Case {
    const char* value;
    std::optional<long long> expected;
  };
  const Case cases[] = {
      {"10001", 10001}, {"  42", 42},   {"12abc", 12},    {"+7", 7},
      {"-1", -1},       {"abc", std::nullopt}, {"-", std::nullopt}, {"1 2", 1},
      {"\"5\"", 5},     {"99999999999999999999999", LLONG_MAX},
      {"-99999999999999999999999", LLONG_MIN},
  };
  for (const Case& c : cases) {
    IniDocument doc(std::string("[Connect]\nport1=") + c.value + "\n");
    EXPECT_EQ(doc.get_int("Connect", "port1", 10001), c.expected) << c.value;
  }
  EXPECT_EQ(IniDocument("[Connect]\nport1=\n").get_int("Connect", "port1", 10001), 10001);
  EXPECT_EQ(IniDocument("").get_int("Connect", "port1", 10001), 10001);
}

TEST(IniDocumentRead, KeepsEveryByteOfAnyText) {
  const std::string texts[] = {
      "", "\n", "\xEF\xBB\xBF", "[a]", "junk\r\n[a]\r\nk=1\r\n\r\n;c\n", "[a]\nk=1\n[a]\nk=2",
      std::string("bin\0ary\xFF\n[\n]\n=\n", 15),
  };
  for (const std::string& t : texts) EXPECT_EQ(IniDocument(t).text(), t);
}

struct WriteCase {
  const char* why;
  const char* before;
  const char* key;
  const char* value;
  const char* after;
};

const WriteCase kWriteCases[] = {
    {"missing file", "", "shop1", "1.2.3.4", "[enposinfo]\nshop1=1.2.3.4\n"},
    {"missing section goes at the end", "[Connect]\nport1=1\n", "shop1", "1.2.3.4",
     "[Connect]\nport1=1\n[enposinfo]\nshop1=1.2.3.4\n"},
    {"missing section after a last line without newline", "[Connect]\nport1=1", "s", "1",
     "[Connect]\nport1=1\n[enposinfo]\ns=1\n"},
    {"existing key keeps spelling and place", "[enposinfo]\nShop1=1\nb=2\n", "SHOP1", "9",
     "[enposinfo]\nShop1=9\nb=2\n"},
    {"blanks around = kept", "[enposinfo]\n  shop1 = 1 \nb=2\n", "shop1", "9",
     "[enposinfo]\n  shop1 = 9\nb=2\n"},
    {"quoted value replaced whole", "[enposinfo]\ns=\"1\"\n", "s", "2", "[enposinfo]\ns=2\n"},
    {"new key after the last key line", "[enposinfo]\na=1\n\n;end\n[Connect]\nport1=1\n", "b",
     "2", "[enposinfo]\na=1\nb=2\n\n;end\n[Connect]\nport1=1\n"},
    {"new key in a section without keys", "[enposinfo]\n;note\n", "b", "2",
     "[enposinfo]\nb=2\n;note\n"},
    {"CRLF kept and used for new lines", "[enposinfo]\r\na=1\r\n", "b", "2",
     "[enposinfo]\r\na=1\r\nb=2\r\n"},
    {"CRLF key line keeps its ending", "[enposinfo]\r\na=1\r\n", "a", "2",
     "[enposinfo]\r\na=2\r\n"},
    {"last line without newline gains one", "[enposinfo]\na=1", "b", "2",
     "[enposinfo]\na=1\nb=2\n"},
    {"edit of a last line without newline", "[enposinfo]\na=1", "a", "2", "[enposinfo]\na=2"},
    {"last line ending in a bare CR keeps its value", "[enposinfo]\na=1\r", "b", "2",
     "[enposinfo]\na=1\r\nb=2\n"},
    {"edit of a last line ending in a bare CR", "[enposinfo]\na=1\r", "a", "2",
     "[enposinfo]\na=2\r"},
    {"first of duplicate sections written", "[enposinfo]\na=1\n[ENPOSINFO]\nb=1\n", "b", "2",
     "[enposinfo]\na=1\nb=2\n[ENPOSINFO]\nb=1\n"},
    {"first of duplicate keys written", "[enposinfo]\na=1\na=2\n", "a", "3",
     "[enposinfo]\na=3\na=2\n"},
    {"BOM kept", "\xEF\xBB\xBF[enposinfo]\na=1\n", "a", "2", "\xEF\xBB\xBF[enposinfo]\na=2\n"},
    {"comment line with the key untouched", "[enposinfo]\n;a=1\n", "a", "2",
     "[enposinfo]\na=2\n;a=1\n"},
};

TEST(IniDocumentWrite, ChangesOnlyTheLineOfTheKey) {
  for (const WriteCase& c : kWriteCases) {
    IniDocument doc{std::string(c.before)};
    doc.set("enposinfo", c.key, c.value);
    EXPECT_EQ(doc.text(), c.after) << c.why;
    EXPECT_EQ(doc.get("enposinfo", c.key), c.value) << c.why;
    EXPECT_EQ(IniDocument(doc.text()).get("enposinfo", c.key), c.value) << c.why;
  }
}

TEST(IniDocumentWrite, ManyNewKeysStayInTheirSection) {
  IniDocument doc("[enposinfo]\n[Connect]\nport1=5\n");
  for (int i = 0; i < 100; ++i) doc.set("enposinfo", "dev" + std::to_string(i), std::to_string(i));
  IniDocument reread(doc.text());
  EXPECT_EQ(reread.get("enposinfo", "dev57"), "57");
  EXPECT_EQ(reread.get_int("Connect", "port1", 0), 5);
  EXPECT_EQ(reread.entries("enposinfo").size(), 100u);
  EXPECT_EQ(reread.entries("enposinfo").front().first, "dev0");
}

TEST(IniDocumentEntries, ListsFirstOfDuplicatesInFileOrder) {
  IniDocument doc("[enposinfo]\nb=2\n;x=9\na=\"1\"\nB=3\nnoequals\n");
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(doc.entries("enposinfo"), (std::vector<P>{{"b", "2"}, {"a", "1"}}));
}

}  // namespace
}  // namespace pelorin::store
