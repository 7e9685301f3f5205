// kelvane_sleeper: a process for the Windows tests to inspect and stop.
//
//   kelvane_sleeper [--report DIR] [--children N] [--parents M]
//                   [--seconds S] [--depth D]
//
// Starts N children that only sleep and M children that each start one
// child of their own (grandchildren of this process), then sleeps S seconds
// (60 by default) and exits. With --report, every process of the tree
// writes DIR\<pid>.txt holding its depth (0 for the first process, 1 for a
// child, 2 for a grandchild) once its own children are started, and
// DIR\<pid>.err with the error of every child it could not start.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::wstring OwnPath() {
  wchar_t buffer[32768];
  DWORD length = GetModuleFileNameW(nullptr, buffer, 32768);
  return std::wstring(buffer, length);
}

// Starts a process; 0, or GetLastError() of the start that failed.
DWORD Start(const std::wstring& commandLine) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  std::wstring mutableLine = commandLine;
  if (!CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return GetLastError();
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return 0;
}

// Writes `text` to DIR\<pid><suffix>, whole: through a temporary file that
// is then renamed.
void Report(const std::wstring& directory, const wchar_t* suffix, const std::string& text) {
  const std::wstring pid = std::to_wstring(GetCurrentProcessId());
  const std::wstring temporary = directory + L"\\" + pid + L".tmp";
  const std::wstring final = directory + L"\\" + pid + suffix;
  HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  MoveFileExW(temporary.c_str(), final.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring report;
  int children = 0;
  int parents = 0;
  int seconds = 60;
  int depth = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::wstring option = argv[i];
    const wchar_t* value = argv[i + 1];
    if (option == L"--report") {
      report = value;
    } else if (option == L"--children") {
      children = _wtoi(value);
    } else if (option == L"--parents") {
      parents = _wtoi(value);
    } else if (option == L"--seconds") {
      seconds = _wtoi(value);
    } else if (option == L"--depth") {
      depth = _wtoi(value);
    }
  }

  std::wstring common = L"\"" + OwnPath() + L"\" --seconds " + std::to_wstring(seconds) +
                        L" --depth " + std::to_wstring(depth + 1);
  if (!report.empty()) common += L" --report \"" + report + L"\"";
  std::string errors;
  for (int i = 0; i < children + parents; ++i) {
    const DWORD error = Start(i < children ? common : common + L" --children 1");
    if (error != 0) errors += "CreateProcessW error " + std::to_string(error) + " ";
  }

  if (!report.empty()) {
    if (!errors.empty()) Report(report, L".err", errors);
    Report(report, L".txt", std::to_string(depth));
  }
  Sleep(static_cast<DWORD>(seconds) * 1000);
  return 0;
}
