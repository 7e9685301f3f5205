#include "platform/win32/win_test_util.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

#include "common/text.h"

namespace kelvane {
namespace wintest {

std::wstring ProgramDirectory() {
  std::vector<wchar_t> buffer(32768);
  DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  std::wstring path(buffer.data(), length);
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

std::wstring BuildRoot() { return ProgramDirectory() + L"\\..\\..\\.."; }

std::u16string U16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }
std::wstring W(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring WinPath(const testing::TempDir& dir, const std::string& name) {
  std::wstring path = W(Utf8ToUtf16(dir.File(name)));
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

Sleeper::Sleeper(const std::wstring& arguments, const std::wstring& program) {
  job_ = CreateJobObjectW(nullptr, nullptr);
  if (job_ != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }
  const std::wstring path =
      program.empty() ? ProgramDirectory() + L"\\" + (L"" KELVANE_SLEEPER_NAME) : program;
  commandLine_ = L"\"" + path + L"\" --seconds 45";
  if (!arguments.empty()) commandLine_ += L" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  std::wstring mutableLine = commandLine_;
  if (!CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                      nullptr, nullptr, &startup, &info)) {
    startError_ = GetLastError();
    return;
  }
  // In the job before it runs, so that everything it starts is in it too.
  if (job_ != nullptr) AssignProcessToJobObject(job_, info.hProcess);
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  pid_ = info.dwProcessId;
}

Sleeper::~Sleeper() {
  if (process_ != nullptr) {
    // Only ever the process this object started.
    TerminateProcess(process_, 0);
    WaitForSingleObject(process_, 5000);
    CloseHandle(process_);
  }
  if (job_ != nullptr) CloseHandle(job_);
}

bool Sleeper::WaitForExit(DWORD milliseconds) const {
  return process_ != nullptr && WaitForSingleObject(process_, milliseconds) == WAIT_OBJECT_0;
}

SleeperTree::SleeperTree(int children, int parents, const std::wstring& extra,
                         const std::wstring& program)
    : children_(children), parents_(parents), extra_(extra), program_(program) {
  Start();
}

SleeperTree::~SleeperTree() {
  // The sleepers go (with their jobs) before the directories they report in.
  root_.reset();
}

void SleeperTree::Start() {
  root_.reset();  // ends the previous tree, if any, with its job
  dirs_.push_back(std::make_unique<testing::TempDir>());
  const std::wstring directory = W(Utf8ToUtf16(dirs_.back()->path()));
  root_ = std::make_unique<Sleeper>(
      L"--report \"" + directory + L"\" --children " + std::to_wstring(children_) +
          L" --parents " + std::to_wstring(parents_) +
          (extra_.empty() ? std::wstring() : L" " + extra_),
      program_);
}

bool SleeperTree::WaitForMembers(size_t count) {
  constexpr int kStarts = 3;
  for (int start = 1; start <= kStarts; ++start) {
    for (int i = 0; i < 200; ++i) {
      if (Members().size() >= count) return true;
      Sleep(100);
    }
    std::cerr << "sleeper tree, start " << start << " of " << kStarts << ": " << count
              << " members awaited after 20 s; " << Describe() << std::endl;
    if (start < kStarts) Start();
  }
  return false;
}

std::map<uint32_t, int> SleeperTree::Members() const {
  std::map<uint32_t, int> members;
  std::error_code error;
  const std::filesystem::path directory = dirs_.back()->path();
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    if (entry.path().extension() != L".txt") continue;
    std::ifstream in(entry.path());
    int depth = -1;
    in >> depth;
    if (depth < 0) continue;
    members[static_cast<uint32_t>(std::stoul(entry.path().stem().wstring()))] = depth;
  }
  return members;
}

void SleeperTree::WaitWhileRunningAtDepth(int depth) const {
  for (int i = 0; i < 100; ++i) {
    bool running = false;
    for (const auto& member : Members()) {
      if (member.second == depth && IsRunning(member.first)) running = true;
    }
    if (!running) return;
    Sleep(100);
  }
}

std::string SleeperTree::Describe() const {
  std::string text = "root ";
  text += root_->started() ? std::to_string(root_->pid()) +
                                 (IsRunning(root_->pid()) ? " running" : " ended")
                           : "not started (error " + std::to_string(root_->startError()) + ")";
  text += "; report directory:";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dirs_.back()->path(), error)) {
    std::ifstream in(entry.path());
    std::string content;
    std::getline(in, content);
    text += " " + entry.path().filename().string() + "=\"" + content + "\"";
  }
  if (error) text += " (not readable: " + error.message() + ")";
  return text;
}

std::wstring OtherSleeper() {
  wchar_t buffer[32768];
  const DWORD length = GetEnvironmentVariableW(L"KELVANE_OTHER_SLEEPER", buffer, 32768);
  return length > 0 && length < 32768 ? std::wstring(buffer, length) : std::wstring();
}

bool IsRunning(uint32_t pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;
  bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

}  // namespace wintest
}  // namespace kelvane
