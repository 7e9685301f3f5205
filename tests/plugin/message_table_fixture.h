// The message-table fixture shared by the portable and the Linux-only
// table tests: a library file placed in a scratch directory, with the real
// profile reader behind it.
#ifndef KELVANE_TESTS_PLUGIN_MESSAGE_TABLE_FIXTURE_H_
#define KELVANE_TESTS_PLUGIN_MESSAGE_TABLE_FIXTURE_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/text.h"
#include "plugin/app.h"
#include "plugin/message_table.h"
#include "support/fake_platform.h"
#include "support/test_support.h"

namespace kelvane {

using testing::TempDir;
using testing::WriteBytes;

inline void AddressInTestProgram() {}

// Puts the library file in a directory of the test's choosing; file reading
// is the real one, counted.
class LibraryInDirectory : public testing::FakePlatform {
 public:
  std::u16string LibraryFilePath(const void*) override { return libraryPath; }
  bool ReadRegularFile(const std::u16string& path, size_t limit, std::string* bytes) override {
    ++profileReads;
    return platform::Default()->ReadRegularFile(path, limit, bytes);
  }
  std::u16string libraryPath;
  int profileReads = 0;
};

class MessageTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_.libraryPath = Utf8ToUtf16(dir_.File("libkelvane.so"));
    std::filesystem::create_directories(dir_.File("common/config"));
    platform::SetForTesting(&fake_);
    ResetMessageTableForTesting();
    InitSectionName();
    ASSERT_TRUE(TheApp().InitInstance(&fake_));
  }
  void TearDown() override {
    // Back to the set-up the program had at load.
    platform::SetForTesting(nullptr);
    ResetMessageTableForTesting();
    InitMessageTable(reinterpret_cast<const void*>(&AddressInTestProgram));
  }

  std::string TableFile() const { return dir_.File("common/config/Resource.ini"); }
  void WriteTable(const std::string& bytes) { WriteBytes(TableFile(), bytes); }
  static std::u16string Lookup(const char16_t* id) {
    const char16_t* text = LookupMessage(id);
    return text != nullptr ? std::u16string(text) : u"<null>";
  }

  TempDir dir_;
  LibraryInDirectory fake_;
};

}  // namespace kelvane

#endif  // KELVANE_TESTS_PLUGIN_MESSAGE_TABLE_FIXTURE_H_
