// Regression tests for faults in the core that the reliability checks found,
// each made deterministic: the form and the address book are driven step by
// step on an io_context run by hand, with no peer and no timing.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/form.h"
#include "app/shell.h"
#include "store/address_book.h"
#include "tests/support/ini_folder.h"

namespace pelorin {
namespace {

namespace fs = std::filesystem;

class QuietShell final : public app::Shell {
 public:
  void show_message(std::string text, Dismissed dismissed) override {
    messages.push_back(std::move(text));
    dismissed();
  }
  void report_exception(std::string text, Dismissed dismissed) override {
    messages.push_back(std::move(text));
    dismissed();
  }
  void hide_application() override {}
  void startup_failed() override { failed = true; }
  void terminate(int) override {}

  std::vector<std::string> messages;
  bool failed = false;
};

// Polls `done` for up to 10 s: a bound for "does not hang", not a timing.
bool eventually(const std::function<bool()>& done) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class CoreRegressions : public testing::IniFolder {
 protected:
  bool holds(const std::string& line) const {
    return contents().find("\n" + line + "\n") != std::string::npos;
  }
};

// A lookup while a write is under way read the file again: the new file had
// been renamed in, so memory was replaced by it, and the entries staged for the
// next write were lost, then answered "CorrEct" without ever reaching the file.
TEST_F(CoreRegressions, LookupDuringAWriteKeepsTheEntriesWaitingForTheNextWrite) {
  put("[enposinfo]\nknown=10.0.0.1\n");
  asio::io_context io;  // run by hand below: results of writes wait in it
  QuietShell shell;
  app::TForm1 form(io, shell, path_);
  int first = -2, second = -2;
  form.savedatabase("first", "10.0.0.2", [&](int rc) { first = rc; });
  io.poll();  // starts the write
  // The writer thread has renamed the new file in; its result is not handled yet.
  ASSERT_TRUE(eventually([&] { return holds("first=10.0.0.2"); }));
  form.savedatabase("second", "10.0.0.3", [&](int rc) { second = rc; });

  std::string value;
  EXPECT_EQ(form.searchip("known", value), 0);
  EXPECT_EQ(value, "10.0.0.1");
  EXPECT_EQ(form.searchip("second", value), 0)
      << "the entry waiting for the next write vanished from memory";

  ASSERT_TRUE(eventually([&] {
    io.restart();  // a poll that found no work stopped the context
    io.poll();
    return first != -2 && second != -2;
  }));
  EXPECT_EQ(first, 0);
  ASSERT_EQ(second, 0);
  EXPECT_TRUE(holds("second=10.0.0.3") || journaled("second", "10.0.0.3"))
      << "answered as stored, but neither the file nor the journal holds it:\n"
      << contents();
  EXPECT_EQ(form.searchip("second", value), 0);
  // A journaled entry reaches the file once registrations pause.
  EXPECT_TRUE(eventually([&] {
    io.restart();
    io.poll();
    return holds("second=10.0.0.3");
  })) << contents();
}

// When the file could not be read for a moment (no descriptor left), the book
// was taken as empty until the file changed: every lookup answered "error", and
// the next registration was refused.
TEST_F(CoreRegressions, LookupsRecoverOnceTheFileCanBeReadAgain) {
  put("[enposinfo]\nknown=10.0.0.1\n");
  store::AddressBook book(path_);
  {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowest_free = ::dup(0);
    ASSERT_GE(lowest_free, 0);
    ::close(lowest_free);
    rlimit none = saved;
    none.rlim_cur = static_cast<rlim_t>(lowest_free);  // every open() now fails
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    book.reload();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  }
  std::string value;
  EXPECT_EQ(book.searchip("known", value), 0) << "the book stayed empty after a failed read";
  EXPECT_EQ(value, "10.0.0.1");
  EXPECT_EQ(book.savedatabase("later", "10.0.0.4"), 0);
  EXPECT_TRUE(holds("known=10.0.0.1"));
  EXPECT_TRUE(holds("later=10.0.0.4"));
}

// A run killed between creating and renaming its temporary file leaves it
// beside enpos.ini; nothing removed them, so each crash left one more.
TEST_F(CoreRegressions, StartUpRemovesTemporaryFilesOfAnEarlierRun) {
  put("[Connect]\nport1=0\nport2=0\n[enposinfo]\nknown=10.0.0.1\n");
  const std::vector<std::string> stale = {".enpos.ini.a1B2c3", ".enpos.ini.ZZZZZZ"};
  const std::vector<std::string> kept = {".enpos.ini.bak", "enpos.ini.a1B2c3", ".other.ini.a1B2c3",
                                         ".enpos.ini.a1B2c3.d"};
  for (const auto& name : stale) std::ofstream(dir_ + "/" + name) << "[enposinfo]\nhalf";
  for (const auto& name : kept) std::ofstream(dir_ + "/" + name) << "keep";
  fs::create_directory(dir_ + "/.enpos.ini.dir123");  // not a file: kept

  asio::io_context io;
  QuietShell shell;
  app::TForm1 form(io, shell, path_);
  form.FormCreate();
  io.run_for(std::chrono::milliseconds(500));  // the start-up timer opens both ports
  ASSERT_FALSE(shell.failed);

  for (const auto& name : stale) EXPECT_FALSE(fs::exists(dir_ + "/" + name)) << name;
  for (const auto& name : kept) EXPECT_TRUE(fs::exists(dir_ + "/" + name)) << name;
  EXPECT_TRUE(fs::is_directory(dir_ + "/.enpos.ini.dir123"));
  EXPECT_TRUE(holds("known=10.0.0.1"));
}

}  // namespace
}  // namespace pelorin
