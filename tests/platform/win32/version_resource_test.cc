// The version resources of kelvane.dll and kelvanectl.exe, read back through
// the library's own listing: this test program (the library's host) lists
// the processes and finds the DLL's strings in its own module record, and
// kelvanectl.exe lists them and finds its strings in its own process record.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "kelvane/version.h"
#include "support/test_support.h"
#include "platform/win32/win_test_util.h"

namespace kelvane {
namespace {

// The value of attribute `name` in the one-element line `line`; "<none>"
// when it is missing.
std::string AttributeOf(const std::string& line, const std::string& name) {
  const std::string key = " " + name + "=\"";
  size_t at = line.find(key);
  if (at == std::string::npos) return "<none>";
  at += key.size();
  return line.substr(at, line.find('"', at) - at);
}

// The lines of the process record whose opening line contains `needle`:
// the ProcessItem line followed by its ModuleItem lines.
std::string ProcessRecord(const std::string& response, const std::string& needle) {
  size_t at = response.find(needle);
  if (at == std::string::npos) return {};
  size_t start = response.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  size_t end = response.find("</ProcessItem>", at);
  size_t next = response.find("<ProcessItem ", at);
  if (end == std::string::npos || (next != std::string::npos && next < end)) end = next;
  return response.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The line of `text` that contains `needle`; empty when there is none.
std::string LineOf(const std::string& text, const std::string& needle) {
  size_t at = text.find(needle);
  if (at == std::string::npos) return {};
  size_t start = text.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  return text.substr(start, text.find('\n', at) - start);
}

TEST(VersionResource, TheLibraryReportsItsOwnStringsInItsHostsRecord) {
  HMODULE library = LoadLibraryW((wintest::BuildRoot() + L"\\kelvane.dll").c_str());
  ASSERT_NE(library, nullptr) << "kelvane.dll not loadable";
  typedef int (*RemoteInvokeFn)(const wchar_t*, const wchar_t*);
  RemoteInvokeFn invoke = reinterpret_cast<RemoteInvokeFn>(
      reinterpret_cast<void*>(GetProcAddress(library, "ZEV_RemoteInvoke")));
  ASSERT_NE(invoke, nullptr);

  testing::TempDir dir;
  testing::WriteBytes(dir.File("request.xml"), "<request name=\"ZEV_GetProcessList_KLV\"/>");
  const int code = invoke(wintest::WinPath(dir, "request.xml").c_str(), wintest::WinPath(dir, "list.xml").c_str());
  FreeLibrary(library);
  EXPECT_EQ(code, 0);
  const std::string response = testing::ReadUtf16File(dir.File("list.xml"));

  const std::string own = ProcessRecord(response, " PID=\"" + std::to_string(GetCurrentProcessId()) + "\"");
  ASSERT_FALSE(own.empty()) << "this process is not in the listing";
  const std::string module = LineOf(own, "<ModuleItem name=\"kelvane.dll\"");
  ASSERT_FALSE(module.empty()) << own;
  EXPECT_EQ(AttributeOf(module, "Publisher"), KELVANE_COMPANY_NAME) << module;
  EXPECT_EQ(AttributeOf(module, "Descript"), KELVANE_LIBRARY_DESCRIPTION) << module;
  EXPECT_EQ(AttributeOf(module, "ProductVersion"), KELVANE_VERSION_STRING) << module;
}

TEST(VersionResource, KelvanectlReportsItsOwnStringsInItsProcessRecord) {
  const std::wstring tool = wintest::BuildRoot() + L"\\kelvanectl.exe";
  if (GetFileAttributesW(tool.c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "kelvanectl.exe is not part of this build";
  }
  testing::TempDir dir;
  std::wstring line = L"\"" + tool + L"\" list --out \"" + wintest::WinPath(dir, "list.xml") + L"\"";
  // Its printed copy of the response goes nowhere; the file is read.
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE null_out = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                0, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = null_out;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  const BOOL started =
      CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
  if (null_out != INVALID_HANDLE_VALUE) CloseHandle(null_out);
  ASSERT_TRUE(started);
  CloseHandle(info.hThread);
  DWORD exit_code = 0xFFFF;
  if (WaitForSingleObject(info.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(info.hProcess, &exit_code);
  const DWORD tool_pid = info.dwProcessId;
  CloseHandle(info.hProcess);
  EXPECT_EQ(exit_code, 0u);

  const std::string response = testing::ReadUtf16File(dir.File("list.xml"));
  const std::string own = ProcessRecord(response, " PID=\"" + std::to_string(tool_pid) + "\"");
  ASSERT_FALSE(own.empty()) << "kelvanectl.exe is not in its own listing";
  const std::string record = own.substr(0, own.find('\n'));
  EXPECT_EQ(AttributeOf(record, "name"), "kelvanectl.exe") << record;
  EXPECT_EQ(AttributeOf(record, "Publisher"), KELVANE_COMPANY_NAME) << record;
  EXPECT_EQ(AttributeOf(record, "Descript"), KELVANECTL_DESCRIPTION) << record;
  EXPECT_EQ(AttributeOf(record, "ProductVersion"), KELVANE_VERSION_STRING) << record;
  EXPECT_EQ(AttributeOf(record, "FileVersion"), KELVANE_VERSION_STRING ".0") << record;
  // The library it loaded carries its own strings.
  const std::string module = LineOf(own, "<ModuleItem name=\"kelvane.dll\"");
  EXPECT_EQ(AttributeOf(module, "Descript"), KELVANE_LIBRARY_DESCRIPTION) << own;
}

}  // namespace
}  // namespace kelvane
