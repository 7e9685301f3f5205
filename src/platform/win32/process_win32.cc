// Listing processes, opening them, and controlling them: Toolhelp and the
// process-status library for the lists, OpenProcess / TerminateProcess /
// priority classes for control, NtQueryInformationProcess for the parent.
// Control works on processes of either word size alike.
// <windows.h> (through the backend header) must precede the other OS headers.
#include "platform/win32/win32_platform.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <new>
#include <utility>
#include <vector>

#include "platform/win32/nt_layout.h"
#include "platform/win32/wow64_win32.h"

namespace kelvane {
namespace platform {

namespace {

bool IsPriorityClass(uint32_t value) {
  switch (value) {
    case IDLE_PRIORITY_CLASS:
    case BELOW_NORMAL_PRIORITY_CLASS:
    case NORMAL_PRIORITY_CLASS:
    case ABOVE_NORMAL_PRIORITY_CLASS:
    case HIGH_PRIORITY_CLASS:
    case REALTIME_PRIORITY_CLASS:
      return true;
    default:
      return false;
  }
}

typedef LONG(NTAPI* NtQueryInformationProcessFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);

}  // namespace

// Shared with inventory_win32.cc: the basic information record of an open
// process (information class 0), in this build's layout.
bool QueryBasicInformation(HANDLE process, unsigned char* record) {
  NtQueryInformationProcessFn query = reinterpret_cast<NtQueryInformationProcessFn>(
      reinterpret_cast<void*>(ResolveExport(L"ntdll", "NtQueryInformationProcess")));
  if (query == nullptr) return false;
  const ULONG size = static_cast<ULONG>(nt::kLayout.basicInfoSize);
  return query(process, 0, record, size, nullptr) == 0;
}

bool Win32Platform::SnapshotProcessIds(std::vector<uint32_t>* pids) {
  // A snapshot starts a listing pass: the system-wide tables are read anew.
  tables_.StartPass();
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return false;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  if (!Process32FirstW(snapshot.get(), &entry)) return false;
  std::vector<uint32_t> out;
  do {
    out.push_back(entry.th32ProcessID);
    entry.dwSize = sizeof entry;
  } while (Process32NextW(snapshot.get(), &entry));
  *pids = std::move(out);
  return true;
}

bool Win32Platform::EnumerateProcessIds(std::vector<uint32_t>* pids) {
  // EnumProcesses cannot say how much room it needs: grow the buffer until
  // it comes back with room to spare.
  std::vector<DWORD> buffer(1024);
  for (;;) {
    DWORD bytes = 0;
    const DWORD capacity = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
    if (!EnumProcesses(buffer.data(), capacity, &bytes)) return false;
    if (bytes < capacity) {
      pids->assign(buffer.begin(), buffer.begin() + bytes / sizeof(DWORD));
      return true;
    }
    if (buffer.size() >= (size_t{1} << 22)) return false;
    buffer.resize(buffer.size() * 2);
  }
}

bool Win32Platform::IsSystemProcessId(uint32_t pid) { return pid == 4 || pid == 8; }

bool Win32Platform::IsCallerProcessId(uint32_t pid) { return pid == GetCurrentProcessId(); }

std::unique_ptr<ProcessHandle> Win32Platform::OpenProcess(uint32_t pid, uint32_t access) {
  OpenFailure why = OpenFailure::kNone;
  return OpenProcessOrWhy(pid, access, &why);
}

std::unique_ptr<ProcessHandle> Win32Platform::OpenProcessOrWhy(uint32_t pid, uint32_t access,
                                                               OpenFailure* why) {
  // `access` goes to the system as given: callers choose the rights (the
  // ProcessAccess values, or narrower ones such as limited query).
  UniqueHandle handle(::OpenProcess(access, FALSE, pid));
  if (!handle.valid()) {
    // Only a shortage of resources says the process could not be looked at
    // at all; a refusal is a refusal, and every other answer (an id that
    // names no process, which systems report in more than one way) counts
    // as no such process.
    switch (GetLastError()) {
      case ERROR_ACCESS_DENIED:
        *why = OpenFailure::kDenied;
        break;
      case ERROR_NOT_ENOUGH_MEMORY:
      case ERROR_OUTOFMEMORY:
      case ERROR_NO_SYSTEM_RESOURCES:
      case ERROR_COMMITMENT_LIMIT:
      case ERROR_TOO_MANY_OPEN_FILES:
        *why = OpenFailure::kOther;
        break;
      default:
        *why = OpenFailure::kNoProcess;
        break;
    }
    return nullptr;
  }
  // The handle goes to the object, or is closed here when there is no
  // memory for it.
  std::unique_ptr<ProcessHandle> process(new (std::nothrow) Win32Process(pid, std::move(handle)));
  if (process == nullptr) {
    *why = OpenFailure::kOther;
    return nullptr;
  }
  *why = OpenFailure::kNone;
  return process;
}

bool Win32Platform::TerminateProcess(ProcessHandle& process, uint32_t exitCode) {
  Win32Process* win32 = AsWin32(process);
  return win32 != nullptr && ::TerminateProcess(win32->handle(), exitCode) != FALSE;
}

bool Win32Platform::ProcessHasEnded(ProcessHandle& process) {
  // A process object is signalled once the process has ended; the open
  // handle keeps naming it whatever process takes its id.
  Win32Process* win32 = AsWin32(process);
  return win32 != nullptr && WaitForSingleObject(win32->handle(), 0) == WAIT_OBJECT_0;
}

bool Win32Platform::QueryParent(ProcessHandle& process, uint32_t* parentPid,
                                uint64_t* creationTime) {
  Win32Process* win32 = AsWin32(process);
  if (win32 == nullptr) return false;
  unsigned char record[64] = {};
  uint32_t parent = 0;
  if (QueryBasicInformation(win32->handle(), record)) {
    parent = static_cast<uint32_t>(nt::ReadWord(record, nt::kLayout.basicParentId));
  } else if (wow64::IsOtherWordSize(win32->handle())) {
    // A 64-bit process whose basic information this 32-bit build cannot
    // have in its own layout is asked in the 64-bit one.
    if (!wow64::ParentId(win32->handle(), &parent)) return false;
  } else {
    return false;
  }
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(win32->handle(), &created, &exited, &kernel, &user)) return false;
  *parentPid = parent;
  *creationTime = (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  return true;
}

bool Win32Platform::SetPriorityClass(ProcessHandle& process, uint32_t priorityClass) {
  Win32Process* win32 = AsWin32(process);
  if (win32 == nullptr || !IsPriorityClass(priorityClass)) return false;
  return ::SetPriorityClass(win32->handle(), priorityClass) != FALSE;
}

uint32_t Win32Platform::GetPriorityClass(ProcessHandle& process) {
  Win32Process* win32 = AsWin32(process);
  return win32 != nullptr ? ::GetPriorityClass(win32->handle()) : 0;
}

}  // namespace platform
}  // namespace kelvane
