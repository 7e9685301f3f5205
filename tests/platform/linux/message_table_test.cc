// Message-table behaviour that belongs to the Linux backend: UTF-8 tables
// (the system code page there) and the library path found through the
// dynamic loader.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "support/test_support.h"

#include "plugin/message_table_fixture.h"

namespace kelvane {
namespace {

TEST_F(MessageTableTest, ReadsUtf8TablesWithAndWithoutMark) {
  const std::string table =
      "; outcome texts\n"
      "[Other]\r\n"
      "GetSuccessed=wrong section\r\n"
      "  [ kelvane ]  \r\n"
      ";GetFailed=commented out\n"
      "getsuccessed =  Liste erstellt \xE2\x9C\x93  \n"
      "TERMINATEPROCFAILED=\"  quoted  \"\n"
      "SetPRISuccessed='single'\n"
      "SetPRIFailed=\"unbalanced\n"
      "NoEquals\n";
  for (const std::string& bytes : {table, "\xEF\xBB\xBF" + table}) {
    WriteTable(bytes);
    EXPECT_EQ(u"Liste erstellt \u2713", Lookup(u"GetSuccessed"));
    EXPECT_EQ(u"  quoted  ", Lookup(u"TerminateProcFailed"));
    EXPECT_EQ(u"single", Lookup(u"SetPRISuccessed"));
    EXPECT_EQ(u"\"unbalanced", Lookup(u"SetPRIFailed"));
    EXPECT_EQ(u"GetFailed", Lookup(u"GetFailed"));
    EXPECT_EQ(u"NoEquals", Lookup(u"NoEquals"));
  }
}

// A FIFO planted where the table belongs would hold every call that looks
// a message up; the table is read like a command file, regular files only.
TEST_F(MessageTableTest, AFifoAsTheTableGivesTheIdsWithoutBlocking) {
  ASSERT_EQ(0, mkfifo(TableFile().c_str(), 0666));
  // Should the lookup open the FIFO for reading, it waits for a writer;
  // this one comes after a while, so that the test fails instead of hanging.
  std::atomic<bool> done{false};
  std::atomic<bool> unblocked{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 100 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (done) return;
    unblocked = true;
    const int fd = open(TableFile().c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) close(fd);
  });
  const std::u16string text = Lookup(u"GetSuccessed");
  done = true;
  watchdog.join();
  EXPECT_FALSE(unblocked) << "the lookup waited on the FIFO";
  EXPECT_EQ(u"GetSuccessed", text);
}

TEST(LinuxLibraryPath, NamesTheFileHoldingTheAddress) {
  const std::u16string self =
      platform::Default()->LibraryFilePath(reinterpret_cast<const void*>(&AddressInTestProgram));
  ASSERT_FALSE(self.empty());
  const std::filesystem::path path(Utf16ToUtf8(self));
  EXPECT_TRUE(path.is_absolute());
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_TRUE(std::filesystem::equivalent(path, "/proc/self/exe"));
  // An address inside a shared library names that library.
  const std::u16string libc = platform::Default()->LibraryFilePath(reinterpret_cast<const void*>(&::chdir));
  EXPECT_NE(std::u16string::npos, libc.find(u"libc"));
  EXPECT_TRUE(std::filesystem::path(Utf16ToUtf8(libc)).is_absolute());
}

// A library loaded through a symbolic link to a directory followed by
// ".." lives in the link target's parent, not beside the link.
TEST(LinuxLibraryPath, IsTheRealFileWhateverTheLoadPath) {
  testing::TempDir dir;
  namespace fs = std::filesystem;
  fs::create_directories(dir.File("real/deep"));
  fs::copy_file(KELVANE_LIBRARY_PATH, dir.File("real/libkelvane.so"));
  fs::create_directory_symlink(dir.File("real/deep"), dir.File("link"));
  // A decoy beside the link, where a lexical reading of the path leads.
  fs::copy_file(KELVANE_LIBRARY_PATH, dir.File("libkelvane.so"));
  const std::string loadPath = dir.File("link/../libkelvane.so");
  void* handle = dlopen(loadPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, handle) << dlerror();
  void* entry = dlsym(handle, "ZEV_RemoteInvoke");
  ASSERT_NE(nullptr, entry);
  const std::u16string found = platform::Default()->LibraryFilePath(entry);
  dlclose(handle);
  EXPECT_EQ(Utf8ToUtf16(fs::canonical(dir.File("real/libkelvane.so")).string()), found);
}

TEST(LoadTimeSetUp, RanWhenTheProgramStarted) {
  // The test program carries the same load-time constructor as the library:
  // the table is looked for beside the program's own file.
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(Utf8ToUtf16((program.parent_path() / "common/config/Resource.ini").string()), MessageTablePathForTesting());
  EXPECT_NE(nullptr, LookupMessage(u"GetSuccessed"));
}

}  // namespace
}  // namespace kelvane
