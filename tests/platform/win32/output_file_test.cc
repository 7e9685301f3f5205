// The response file on Windows: a replaced file keeps its security
// descriptor and its hidden and system attributes; a directory that takes
// no new file gets the regular file at the path written in place (never a
// hard-linked one); a read-only file stays as it is; and memory running out at any allocation
// of a save leaves no handle open and no temporary file behind.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "markup/xml_doc.h"
#include "platform/win32/win32_platform.h"
#include "support/alloc_injection.h"
#include "support/test_support.h"
#include "platform/win32/win_test_util.h"

namespace kelvane {
namespace {

using wintest::U16;

platform::Platform* P() { return platform::Default(); }

// The owner, group and DACL of the file at `path` in SDDL form; empty when
// they cannot be read.
std::wstring Security(const std::wstring& path) {
  const SECURITY_INFORMATION which =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD needed = 0;
  GetFileSecurityW(path.c_str(), which, nullptr, 0, &needed);
  if (needed == 0) return L"";
  std::vector<unsigned char> descriptor(needed);
  if (!GetFileSecurityW(path.c_str(), which, descriptor.data(), needed, &needed)) return L"";
  LPWSTR text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1, which, &text,
                                                            nullptr)) {
    return L"";
  }
  std::wstring out(text);
  LocalFree(text);
  return out;
}

// The SID of the account this test runs as, in string form.
std::wstring OwnSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
  unsigned char buffer[256];
  DWORD size = 0;
  const BOOL ok = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
  CloseHandle(token);
  LPWSTR text = nullptr;
  if (!ok || !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) return L"";
  std::wstring out(text);
  LocalFree(text);
  return out;
}

// Gives the file at `path` a DACL of its own (none inherited): full access
// for the system and this account only, as a host keeps a result file
// nobody else may read.
bool RestrictToOwner(const std::wstring& path) {
  const std::wstring sddl = L"D:P(A;;FA;;;SY)(A;;FA;;;" + OwnSid() + L")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return false;
  }
  const BOOL ok = SetFileSecurityW(
      path.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  return ok != FALSE;
}

// Volume and index of the file at `path` (0 when it cannot be opened).
unsigned long long FileIdentity(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL ok = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!ok) return 0;
  return (static_cast<unsigned long long>(info.dwVolumeSerialNumber) << 48) ^
         (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) ^ info.nFileIndexLow;
}

// The names in directory `dir` (hidden and system files included).
std::vector<std::wstring> Entries(const std::wstring& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

// Handles this process has open. GetProcessHandleCount answers that on
// Windows; Wine answers 0 for every process, and then the system's handle
// table is counted instead.
long OpenHandles() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return static_cast<long>(count);
  typedef LONG(NTAPI * QuerySystemFn)(ULONG, PVOID, ULONG, PULONG);
  const QuerySystemFn query = reinterpret_cast<QuerySystemFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  // SystemExtendedHandleInformation: a count and a spare word, then one
  // entry per handle with the owning process id in its second word.
  struct Entry {
    PVOID object;
    ULONG_PTR process;
    ULONG_PTR handle;
    ULONG access;
    USHORT creatorBackTrace;
    USHORT type;
    ULONG attributes;
    ULONG reserved;
  };
  std::vector<ULONG_PTR> buffer(1 << 14);
  for (;;) {
    ULONG needed = 0;
    const LONG status =
        query(64, buffer.data(), static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR)), &needed);
    if (status == 0) break;
    if (status != static_cast<LONG>(0xC0000004) || buffer.size() > (size_t{1} << 24)) return -1;
    buffer.resize(buffer.size() * 2);
  }
  const Entry* entries = reinterpret_cast<const Entry*>(buffer.data() + 2);
  long mine = 0;
  for (ULONG_PTR i = 0; i < buffer[0]; ++i) {
    if (entries[i].process == GetCurrentProcessId()) ++mine;
  }
  return mine;
}

// Makes the directory refuse temporary files while the object lives.
class DirectoryTakesNoNewFile {
 public:
  DirectoryTakesNoNewFile() { platform::SetTemporaryFileErrorForTesting(ERROR_ACCESS_DENIED); }
  ~DirectoryTakesNoNewFile() { platform::SetTemporaryFileErrorForTesting(0); }
};

class Win32OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    directory_ = wintest::WinPath(dir_, "");
    directory_.pop_back();  // the trailing backslash
    path_ = wintest::WinPath(dir_, "r.xml");
  }
  void TearDown() override {
    // Plain files again, so that the scratch directory can be removed.
    for (const std::wstring& name : Entries(directory_)) {
      SetFileAttributesW((directory_ + L"\\" + name).c_str(), FILE_ATTRIBUTE_NORMAL);
    }
  }
  std::string Read(const std::string& name = "r.xml") const { return testing::ReadBytes(dir_.File(name)); }
  static bool Save(const std::wstring& path, const std::u16string& text) {
    CXmlDoc doc;
    doc.LoadText(text);
    return doc.SaveFile(U16(path));
  }

  testing::TempDir dir_;
  std::wstring directory_;
  std::wstring path_;
};

TEST_F(Win32OutputFileTest, AReplacedFileKeepsItsSecurityDescriptorAndAttributes) {
  testing::WriteBytes(dir_.File("plain.xml"), "plain");
  const std::wstring defaults = Security(wintest::WinPath(dir_, "plain.xml"));
  testing::WriteBytes(dir_.File("r.xml"), "old");
  ASSERT_TRUE(RestrictToOwner(path_));
  ASSERT_TRUE(SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  const std::wstring kept = Security(path_);
  ASSERT_FALSE(kept.empty());
  // The test means something only where the system shows the difference.
  ASSERT_NE(kept, defaults);

  ASSERT_TRUE(Save(path_, u"<a/>"));
  EXPECT_EQ(Read(), "<a/>");
  EXPECT_EQ(Security(path_), kept);
  const DWORD attributes = GetFileAttributesW(path_.c_str());
  EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
            static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  EXPECT_EQ(Entries(directory_), (std::vector<std::wstring>{L"plain.xml", L"r.xml"}));

  // A new file gets what any new file of the directory gets.
  const std::wstring fresh = wintest::WinPath(dir_, "new.xml");
  ASSERT_TRUE(Save(fresh, u"<b/>"));
  EXPECT_EQ(Security(fresh), defaults);
  EXPECT_EQ(GetFileAttributesW(fresh.c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), 0u);
}

TEST_F(Win32OutputFileTest, ADirectoryThatTakesNoNewFileGetsTheFileWrittenInPlace) {
  testing::WriteBytes(dir_.File("r.xml"), std::string(10000, 'o'));
  ASSERT_TRUE(RestrictToOwner(path_));
  const std::wstring kept = Security(path_);
  const unsigned long long identity = FileIdentity(path_);
  ASSERT_NE(identity, 0u);
  DirectoryTakesNoNewFile refuse;
  {
    std::u16string error;
    auto file = P()->CreateOutputFile(U16(path_), &error);
    ASSERT_NE(file, nullptr) << std::string(error.begin(), error.end());
    EXPECT_TRUE(file->WrittenInPlace());
    EXPECT_EQ(file->Write("<a/>", 4), 4u);
    EXPECT_TRUE(file->Commit());
  }
  // Cut to the new length; the same file with the same rights.
  EXPECT_EQ(Read(), "<a/>");
  EXPECT_EQ(FileIdentity(path_), identity);
  EXPECT_EQ(Security(path_), kept);
  EXPECT_EQ(Entries(directory_), std::vector<std::wstring>{L"r.xml"});
  // Through the document's save as well.
  ASSERT_TRUE(Save(path_, u"<bb/>"));
  EXPECT_EQ(Read(), "<bb/>");

  // No file at the path: nothing can be written, and nothing is made.
  std::u16string error;
  EXPECT_EQ(P()->CreateOutputFile(U16(wintest::WinPath(dir_, "absent.xml")), &error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(Entries(directory_), std::vector<std::wstring>{L"r.xml"});
}

TEST_F(Win32OutputFileTest, ReadOnlyFilesStayAndHardLinkedOnesAreNotWrittenInPlace) {
  testing::WriteBytes(dir_.File("r.xml"), "old");
  const std::wstring other = wintest::WinPath(dir_, "other.xml");
  ASSERT_TRUE(CreateHardLinkW(other.c_str(), path_.c_str(), nullptr));
  const std::wstring readOnly = wintest::WinPath(dir_, "ro.xml");
  testing::WriteBytes(dir_.File("ro.xml"), "read only");
  ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
  // Windows neither replaces nor writes a read-only file (Wine, run as
  // root, would do both).
  std::u16string error;
  EXPECT_EQ(P()->CreateOutputFile(U16(readOnly), &error), nullptr);
  EXPECT_FALSE(error.empty());
  {
    DirectoryTakesNoNewFile refuse;
    EXPECT_EQ(P()->CreateOutputFile(U16(readOnly), &error), nullptr);
    // The bytes would also reach the file under its other name.
    error.clear();
    EXPECT_EQ(P()->CreateOutputFile(U16(path_), &error), nullptr);
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(Read(), "old");
  EXPECT_EQ(Read("other.xml"), "old");
  EXPECT_EQ(Read("ro.xml"), "read only");
  EXPECT_EQ(Entries(directory_), (std::vector<std::wstring>{L"other.xml", L"r.xml", L"ro.xml"}));
  // Replaced, a hard-linked file leaves its other name to the old bytes.
  ASSERT_TRUE(Save(path_, u"<a/>"));
  EXPECT_EQ(Read(), "<a/>");
  EXPECT_EQ(Read("other.xml"), "old");
}

// Memory running out at any allocation while a file is saved leaves no
// handle open and no temporary file behind; the file at the path is the
// old one or the new one, whole. For a replacement, a new file and a write
// in place alike.
TEST_F(Win32OutputFileTest, AllocationFailureLeavesNoHandleAndNoTemporaryFile) {
  const std::string old(3000, 'o');
  testing::WriteBytes(dir_.File("r.xml"), old);
  ASSERT_TRUE(RestrictToOwner(path_));
  const std::wstring fresh = wintest::WinPath(dir_, "new.xml");
  CXmlDoc doc;
  doc.LoadText(u"<a/>");
  // Whatever the system sets up on first use (error texts, ...) is set up
  // before the handles are counted.
  ASSERT_TRUE(doc.SaveFile(U16(path_)));
  testing::WriteBytes(dir_.File("r.xml"), old);
  EXPECT_FALSE(doc.SaveFile(U16(wintest::WinPath(dir_, "missing\\r.xml"))));
  const long handles = OpenHandles();
  ASSERT_GT(handles, 0);

  for (int mode = 0; mode < 3; ++mode) {
    const bool inPlace = mode == 2;
    const std::wstring& target = mode == 1 ? fresh : path_;
    for (long n = 0;; ++n) {
      ASSERT_LT(n, 1000) << "saving kept allocating";
      DeleteFileW(fresh.c_str());
      testing::WriteBytes(dir_.File("r.xml"), old);
      const std::u16string wide = U16(target);
      if (inPlace) platform::SetTemporaryFileErrorForTesting(ERROR_ACCESS_DENIED);
      testing::FailAllocationAfter(n);
      const bool ok = doc.SaveFile(wide);
      const bool injected = testing::AllocationFailed();
      testing::FailAllocationAfter(-1);
      platform::SetTemporaryFileErrorForTesting(0);
      EXPECT_EQ(OpenHandles(), handles) << "mode " << mode << ", allocation " << n;
      const std::vector<std::wstring> entries = Entries(directory_);
      if (mode == 1) {
        EXPECT_TRUE(entries == (std::vector<std::wstring>{L"r.xml"}) ||
                    entries == (std::vector<std::wstring>{L"new.xml", L"r.xml"}))
            << "allocation " << n;
      } else {
        EXPECT_EQ(entries, std::vector<std::wstring>{L"r.xml"}) << "mode " << mode << ", allocation " << n;
        const std::string now = Read();
        EXPECT_TRUE(now == old || now == "<a/>") << "mode " << mode << ", allocation " << n;
      }
      if (!injected) {
        EXPECT_TRUE(ok) << "mode " << mode;
        break;
      }
    }
  }
}

}  // namespace
}  // namespace kelvane
