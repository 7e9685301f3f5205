// Files: the response file (a temporary file that takes the rights of the
// file it replaces and is renamed over the result path, or the file itself
// written in place), sizes and modification times of image files, version
// resources and the Windows directory.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "platform/win32/win32_platform.h"

namespace kelvane {
namespace platform {

namespace {

// The runtime's description of `error`, in the ANSI code page.
std::u16string ErrorText(int error) {
  const char* text = strerror(error);
  if (text == nullptr) return {};
  int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (units <= 0) return {};
  std::vector<wchar_t> wide(static_cast<size_t>(units));
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), units);
  return FromWide(wide.data());
}

bool HasEmbeddedZero(const std::u16string& text) {
  return text.find(u'\0') != std::u16string::npos;
}

// The system's description of Win32 error `code`, without the trailing
// line break.
std::u16string SystemErrorText(DWORD code) {
  wchar_t buffer[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                           buffer, static_cast<DWORD>(sizeof buffer / sizeof buffer[0]), nullptr);
  while (n > 0 && (buffer[n - 1] == L'\r' || buffer[n - 1] == L'\n' || buffer[n - 1] == L' ')) --n;
  if (n == 0) return ErrorText(EIO);
  return FromWide(buffer, n);
}

// Tries at finding an unused temporary name before giving up.
constexpr int kTemporaryNameTries = 16;

// The error the creation of temporary files fails with in tests (0: none).
DWORD g_temporaryFileError = 0;

// A temporary name beside `fullPath` (which ends in a file name):
// "<directory>\.kelvane-<16 hex digits>".
std::wstring TemporaryPath(const std::wstring& fullPath, size_t nameStart) {
  static LONG counter = 0;
  LARGE_INTEGER ticks;
  QueryPerformanceCounter(&ticks);
  const unsigned long long bits = (static_cast<unsigned long long>(GetCurrentProcessId()) << 40) ^
                                  static_cast<unsigned long long>(ticks.QuadPart) ^
                                  (static_cast<unsigned long long>(InterlockedIncrement(&counter)) << 20);
  wchar_t name[32];
  static const wchar_t kHex[] = L"0123456789abcdef";
  wcscpy(name, L".kelvane-");
  for (int i = 0; i < 16; ++i) name[9 + i] = kHex[(bits >> (60 - 4 * i)) & 0xF];
  name[25] = L'\0';
  return fullPath.substr(0, nameStart) + name;
}

// ---- Native file information (rename and delete through an open handle) --

typedef LONG(NTAPI* NtSetInformationFileFn)(HANDLE, PVOID, PVOID, ULONG, ULONG);
typedef ULONG(NTAPI* RtlNtStatusToDosErrorFn)(LONG);

constexpr ULONG kFileRenameInformation = 10;
constexpr ULONG kFileDispositionInformation = 13;

struct IoStatusBlock {
  union {
    LONG status;
    PVOID pointer;
  };
  ULONG_PTR information;
};

// FILE_DISPOSITION_INFORMATION.
struct DispositionInformation {
  BOOLEAN deleteFile;
};

// FILE_RENAME_INFORMATION: the new name follows the fixed part.
struct RenameInformation {
  BOOLEAN replaceIfExists;
  HANDLE rootDirectory;
  ULONG fileNameLength;  // bytes
  WCHAR fileName[1];
};

// NtSetInformationFile of `file`; 0 or the Win32 error it amounts to.
DWORD SetFileInformation(HANDLE file, ULONG infoClass, void* info, ULONG size) {
  const NtSetInformationFileFn set = reinterpret_cast<NtSetInformationFileFn>(
      reinterpret_cast<void*>(ResolveExport(L"ntdll", "NtSetInformationFile")));
  if (set == nullptr) return ERROR_PROC_NOT_FOUND;
  IoStatusBlock io = {};
  const LONG status = set(file, &io, info, size, infoClass);
  if (status >= 0) return 0;
  const RtlNtStatusToDosErrorFn toError = reinterpret_cast<RtlNtStatusToDosErrorFn>(
      reinterpret_cast<void*>(ResolveExport(L"ntdll", "RtlNtStatusToDosError")));
  const DWORD code = toError != nullptr ? toError(status) : ERROR_GEN_FAILURE;
  return code != 0 ? code : ERROR_GEN_FAILURE;
}

// The native name of the Win32 full path `full` ("C:\d\f" -> "\??\C:\d\f",
// "\\server\share\f" -> "\??\UNC\server\share\f"), as the rename takes it.
std::wstring NativePath(const std::wstring& full) {
  if (full.compare(0, 4, L"\\\\?\\") == 0) return L"\\??\\" + full.substr(4);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\??\\UNC\\" + full.substr(2);
  return L"\\??\\" + full;
}

// ---- The replaced file -----------------------------------------------------

// Rights read from the file at the path: owner, group and DACL.
constexpr SECURITY_INFORMATION kKeptSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
// Attributes a replacing file takes over. Read-only is not among them: a
// read-only file is not replaced (Windows refuses to, as it refuses to
// open one for writing); nor are compression and encryption, which the
// file system decides.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// What stood at the result path when the file was started.
struct ExistingFile {
  bool regular = false;  // a file on disk, not a reparse point (link)
  DWORD attributes = 0;
  // Its identity: volume and file index.
  DWORD volume = 0;
  DWORD indexHigh = 0;
  DWORD indexLow = 0;
  // Its security descriptor (self-relative; kKeptSecurity).
  std::vector<unsigned char> security;

  bool SameFile(const BY_HANDLE_FILE_INFORMATION& info) const {
    return info.dwVolumeSerialNumber == volume && info.nFileIndexHigh == indexHigh &&
           info.nFileIndexLow == indexLow;
  }
};

// A file the path may be written through: a disk file, not a directory,
// not a reparse point (the handle was opened without following one).
bool IsPlainDiskFile(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, info) &&
         (info->dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// Looks at the file at `full` and, when it is a regular file, keeps its
// identity, attributes and security descriptor in `existing`. `attributes`
// are those seen without following a link (INVALID_FILE_ATTRIBUTES when
// they could not be read). 0, or the error that forbids replacing it: a
// file whose rights cannot be read is not replaced, since its replacement
// would get other rights than the host gave it.
DWORD InspectExisting(const std::wstring& full, DWORD attributes, ExistingFile* existing) {
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return 0;
  }
  // The link itself where one was put there since: never followed.
  UniqueHandle file(CreateFileW(full.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) {
    const DWORD code = GetLastError();
    // Nothing there (or gone in between): there is nothing to keep; a
    // missing directory fails when the temporary file is made.
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? 0 : code;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!IsPlainDiskFile(file.get(), &info)) return 0;
  std::vector<unsigned char> security(512);
  DWORD needed = 0;
  while (!GetKernelObjectSecurity(file.get(), kKeptSecurity, security.data(),
                                  static_cast<DWORD>(security.size()), &needed)) {
    const DWORD code = GetLastError();
    if (code != ERROR_INSUFFICIENT_BUFFER || needed <= security.size()) return code;
    security.resize(needed);
  }
  existing->regular = true;
  existing->attributes = info.dwFileAttributes;
  existing->volume = info.dwVolumeSerialNumber;
  existing->indexHigh = info.nFileIndexHigh;
  existing->indexLow = info.nFileIndexLow;
  existing->security = std::move(security);
  return 0;
}

// Security attributes that give a new file the owner (when `withOwner`),
// group and DACL of `existing` (a self-relative descriptor); `descriptor`
// is the absolute descriptor they point to, whose parts point into
// `existing`. False when the descriptor cannot be taken apart.
bool KeptSecurity(const ExistingFile& existing, bool withOwner, SECURITY_DESCRIPTOR* descriptor,
                  SECURITY_ATTRIBUTES* attributes) {
  PSECURITY_DESCRIPTOR old = const_cast<unsigned char*>(existing.security.data());
  PSID owner = nullptr;
  PSID group = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE;
  BOOL daclPresent = FALSE;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !GetSecurityDescriptorOwner(old, &owner, &defaulted) ||
      !GetSecurityDescriptorGroup(old, &group, &defaulted) ||
      !GetSecurityDescriptorDacl(old, &daclPresent, &dacl, &defaulted) ||
      !GetSecurityDescriptorControl(old, &control, &revision)) {
    return false;
  }
  if ((withOwner && owner != nullptr && !SetSecurityDescriptorOwner(descriptor, owner, FALSE)) ||
      (group != nullptr && !SetSecurityDescriptorGroup(descriptor, group, FALSE)) ||
      (daclPresent && !SetSecurityDescriptorDacl(descriptor, TRUE, dacl, FALSE))) {
    return false;
  }
  // A DACL that inherits nothing from the directory stays so.
  const SECURITY_DESCRIPTOR_CONTROL inheritance = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
  SetSecurityDescriptorControl(descriptor, inheritance, control & inheritance);
  attributes->nLength = sizeof *attributes;
  attributes->lpSecurityDescriptor = descriptor;
  attributes->bInheritHandle = FALSE;
  return true;
}

// The response file. Normally a new temporary file beside the result path,
// born with the security descriptor (owner, group, DACL) and the hidden and
// system attributes of the regular file it replaces, so that no one the old
// file kept out can open it at any time; Commit renames it over the path
// through its own handle (the name it replaces, a symbolic link included,
// is replaced, never followed), and destruction without a successful
// Commit deletes it through that handle. The handle is opened with DELETE:
// the creator of a file gets every access it asks for, so the rename and
// the deletion work whatever the kept DACL grants, and no one can open the
// temporary file (share mode 0) to swap it in between.
//
// Where the directory takes no new file, the regular file at the path is
// written in place instead (WrittenInPlace), its rights as they are.
//
// Every member is set before the file is created or opened, so nothing
// that can fail (allocate) happens between opening the file and holding it.
class Win32OutputFile final : public OutputFile {
 public:
  explicit Win32OutputFile(std::vector<ULONG_PTR> rename) noexcept : rename_(std::move(rename)) {}
  ~Win32OutputFile() override {
    if (file_.valid() && !inPlace_ && !committed_) {
      DispositionInformation dispose = {TRUE};
      if (SetFileInformation(file_.get(), kFileDispositionInformation, &dispose, sizeof dispose) != 0) {
        file_.reset();
        DeleteFileW(temporary_.c_str());
      }
    }
  }
  Win32OutputFile(const Win32OutputFile&) = delete;
  Win32OutputFile& operator=(const Win32OutputFile&) = delete;

  // Makes the temporary file beside `full` (its name starts at
  // `nameStart`); 0 or the Win32 error of the last attempt.
  DWORD CreateTemporary(const std::wstring& full, size_t nameStart, const ExistingFile& existing) {
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES security;
    bool withOwner = true;
    SECURITY_ATTRIBUTES* keptSecurity = nullptr;
    if (existing.regular) {
      if (!KeptSecurity(existing, withOwner, &descriptor, &security)) return ERROR_INVALID_SECURITY_DESCR;
      keptSecurity = &security;
    }
    const DWORD keptAttributes = existing.regular ? existing.attributes & kKeptAttributes : 0;
    const DWORD attributes = keptAttributes != 0 ? keptAttributes : FILE_ATTRIBUTE_NORMAL;
    DWORD code = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
      temporary_ = TemporaryPath(full, nameStart);
      if (g_temporaryFileError != 0) return g_temporaryFileError;
      // CREATE_NEW: a new file only; an existing name (a planted link
      // included, which is not followed) is never opened.
      file_.reset(CreateFileW(temporary_.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE, 0,
                              keptSecurity, CREATE_NEW, attributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      if (file_.valid()) {
        // Only a file on disk is used; anything else the name reached goes.
        BY_HANDLE_FILE_INFORMATION info;
        return IsPlainDiskFile(file_.get(), &info) ? 0 : ERROR_INVALID_NAME;
      }
      code = GetLastError();
      if (code == ERROR_INVALID_OWNER && withOwner) {
        // The caller may not give files to that owner: the file is its own,
        // with the old group and DACL.
        withOwner = false;
        if (!KeptSecurity(existing, withOwner, &descriptor, &security)) return code;
        --attempt;
        continue;
      }
      if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) break;
    }
    return code;
  }

  // Opens the file at `full` for writing in place: without following a
  // reparse point, and only when it is the regular file seen before with
  // no other name (a hard link would carry the bytes elsewhere). 0 or an
  // error.
  DWORD OpenInPlace(const std::wstring& full, const ExistingFile& existing) {
    file_.reset(CreateFileW(full.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file_.valid()) return GetLastError();
    BY_HANDLE_FILE_INFORMATION info;
    if (!IsPlainDiskFile(file_.get(), &info) || !existing.SameFile(info) || info.nNumberOfLinks != 1) {
      file_.reset();
      return ERROR_INVALID_NAME;
    }
    inPlace_ = true;
    return 0;
  }

  size_t Write(const void* data, size_t size) override {
    if (!file_.valid() || committed_) {
      if (error_ == 0) error_ = ERROR_INVALID_HANDLE;
      failed_ = true;
      return 0;
    }
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
      const size_t left = size - done;
      const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
      DWORD written = 0;
      if (!WriteFile(file_.get(), p + done, chunk, &written, nullptr)) {
        error_ = GetLastError();
        break;
      }
      if (written == 0) {
        error_ = ERROR_WRITE_FAULT;
        break;
      }
      done += written;
    }
    if (done < size) failed_ = true;
    return done;
  }

  bool Commit() override {
    if (committed_) return true;
    if (!file_.valid() || failed_) return false;
    if (inPlace_) {
      // The old bytes beyond the new ones go.
      if (!SetEndOfFile(file_.get())) return Fail(GetLastError());
      if (!file_.Close()) return Fail(GetLastError());
    } else {
      const DWORD code = SetFileInformation(file_.get(), kFileRenameInformation, rename_.data(),
                                            static_cast<ULONG>(rename_.size() * sizeof(ULONG_PTR)));
      if (code != 0) return Fail(code);
      // In place now; closing a disk file reports nothing more.
      file_.reset();
    }
    committed_ = true;
    return true;
  }

  bool WrittenInPlace() const override { return inPlace_; }

  std::u16string LastError() const override { return SystemErrorText(error_); }

 private:
  bool Fail(DWORD code) {
    error_ = code;
    failed_ = true;
    return false;
  }

  // The FILE_RENAME_INFORMATION that puts the file in place of the path.
  std::vector<ULONG_PTR> rename_;
  std::wstring temporary_;
  UniqueHandle file_;
  bool inPlace_ = false;
  bool failed_ = false;
  bool committed_ = false;
  DWORD error_ = 0;
};

// The rename information that names `full` as the new name, replacing
// whatever stands there.
std::vector<ULONG_PTR> RenameTo(const std::wstring& full) {
  const std::wstring native = NativePath(full);
  const size_t nameBytes = native.size() * sizeof(wchar_t);
  const size_t size = offsetof(RenameInformation, fileName) + nameBytes;
  std::vector<ULONG_PTR> storage((size + sizeof(ULONG_PTR) - 1) / sizeof(ULONG_PTR) + 1, 0);
  RenameInformation* info = reinterpret_cast<RenameInformation*>(storage.data());
  info->replaceIfExists = TRUE;
  info->rootDirectory = nullptr;
  info->fileNameLength = static_cast<ULONG>(nameBytes);
  std::memcpy(info->fileName, native.data(), nameBytes);
  return storage;
}

std::unique_ptr<OutputFile> Create(const std::u16string& path, DWORD* code) {
  if (path.empty() || HasEmbeddedZero(path)) {
    *code = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  const std::wstring widePath = ToWide(path);
  // The full path names the directory the temporary file goes to; device
  // names (CON, NUL, COM1, \\.\pipe\…) come back in the device namespace.
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  wchar_t* namePart = nullptr;
  const auto fullPath = [&] {
    return GetFullPathNameW(widePath.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), &namePart);
  };
  DWORD length = fullPath();
  if (length >= buffer.size()) {
    buffer.resize(length + 1);
    length = fullPath();
  }
  if (length == 0 || length >= buffer.size()) {
    *code = GetLastError() != 0 ? GetLastError() : ERROR_INVALID_NAME;
    return nullptr;
  }
  const std::wstring full(buffer.data(), length);
  if (full.compare(0, 4, L"\\\\.\\") == 0) {
    *code = ERROR_INVALID_NAME;
    return nullptr;
  }
  if (namePart == nullptr || *namePart == L'\0') {
    *code = ERROR_DIRECTORY;
    return nullptr;
  }
  const size_t nameStart = static_cast<size_t>(namePart - buffer.data());

  // What stands at the path now, seen without following a link: nothing, a
  // file or a file symbolic link is fine; a directory (or a link to one) is
  // refused at once.
  const DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *code = ERROR_DIRECTORY;
    return nullptr;
  }
  ExistingFile existing;
  *code = InspectExisting(full, attributes, &existing);
  if (*code != 0) return nullptr;
  // A read-only file is neither replaced nor written: Windows refuses both
  // (the rename at the end, or the opening for writing).
  if (existing.regular && (existing.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    *code = ERROR_ACCESS_DENIED;
    return nullptr;
  }

  std::unique_ptr<Win32OutputFile> file(new (std::nothrow) Win32OutputFile(RenameTo(full)));
  if (!file) {
    *code = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  *code = file->CreateTemporary(full, nameStart, existing);
  // A directory that takes no new file from this process: the regular file
  // at the path is written in place rather than the response lost.
  if (*code == ERROR_ACCESS_DENIED && existing.regular && file->OpenInPlace(full, existing) == 0) *code = 0;
  if (*code != 0) return nullptr;
  return file;
}

}  // namespace

void SetTemporaryFileErrorForTesting(DWORD error) { g_temporaryFileError = error; }

std::unique_ptr<OutputFile> Win32Platform::CreateOutputFile(const std::u16string& path,
                                                            std::u16string* error) {
  DWORD code = 0;
  std::unique_ptr<OutputFile> file;
  try {
    file = Create(path, &code);
  } catch (const std::bad_alloc&) {
    // Nothing is held any more: the handles and the temporary file belong
    // to owners that went with the exception.
    code = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (!file && error != nullptr) {
    try {
      *error = SystemErrorText(code);
    } catch (const std::bad_alloc&) {
      error->clear();
    }
  }
  return file;
}

bool Win32Platform::ReadRegularFile(const std::u16string& path, size_t limit, std::string* bytes) {
  if (path.empty() || HasEmbeddedZero(path) || bytes == nullptr) return false;
  const std::wstring widePath = ToWide(path);
  // Device names (CON, NUL, \\.\pipe\…) are never opened; a directory
  // cannot be opened without backup semantics.
  std::vector<wchar_t> full(MAX_PATH + 1);
  DWORD length = GetFullPathNameW(widePath.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length >= full.size()) {
    full.resize(length + 1);
    length = GetFullPathNameW(widePath.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  if (length == 0 || length >= full.size()) return false;
  if (length >= 4 && wcsncmp(full.data(), L"\\\\.\\", 4) == 0) return false;
  const UniqueHandle opened(CreateFileW(widePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!opened.valid()) return false;
  const HANDLE file = opened.get();
  bool ok = false;
  LARGE_INTEGER size;
  if (GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) && size.QuadPart >= 0 &&
      static_cast<unsigned long long>(size.QuadPart) <= limit) {
    try {
      // One byte more than the size tells a file that grew past the limit.
      std::string data(static_cast<size_t>(size.QuadPart) + 1, '\0');
      size_t done = 0;
      ok = true;
      for (;;) {
        if (done == data.size()) {
          if (data.size() > limit) {
            ok = false;
            break;
          }
          data.resize(data.size() + (data.size() < 65536 ? data.size() : 65536) + 1);
        }
        const size_t left = data.size() - done;
        DWORD n = 0;
        if (!ReadFile(file, &data[done], left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left), &n,
                      nullptr)) {
          ok = false;
          break;
        }
        if (n == 0) break;
        done += n;
      }
      if (ok && done <= limit) {
        data.resize(done);
        bytes->swap(data);
      } else {
        ok = false;
      }
    } catch (const std::exception&) {
      ok = false;
    }
  }
  return ok;
}

bool Win32Platform::FileSize(const std::u16string& path, int64_t* size) {
  if (HasEmbeddedZero(path)) return false;
  std::wstring widePath = ToWide(path);
  const UniqueHandle file(CreateFileW(widePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  LARGE_INTEGER value;
  if (!GetFileSizeEx(file.get(), &value)) return false;
  *size = value.QuadPart;
  return true;
}

bool Win32Platform::FileModifyTime(const std::u16string& path, LocalTime* time) {
  if (path.empty() || HasEmbeddedZero(path)) return false;
  std::wstring widePath = ToWide(path);
  struct _stat64 info;
  if (_wstat64(widePath.c_str(), &info) != 0) return false;
  __time64_t modified = info.st_mtime;
  struct tm* local = _localtime64(&modified);
  if (local == nullptr) return false;
  *time = LocalTimeFromTm(*local);
  return true;
}

bool Win32Platform::LoadVersionResource(const std::u16string& path, std::vector<uint8_t>* blob) {
  if (path.empty() || HasEmbeddedZero(path)) return false;
  std::wstring widePath = ToWide(path);
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(widePath.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<uint8_t> data(size);
  if (!GetFileVersionInfoW(widePath.c_str(), 0, size, data.data())) return false;
  *blob = std::move(data);
  return true;
}

bool Win32Platform::QueryVersionValue(const std::vector<uint8_t>& blob,
                                      const std::u16string& subBlock, std::vector<uint8_t>* raw,
                                      std::u16string* text) {
  if (blob.empty() || HasEmbeddedZero(subBlock)) return false;
  std::wstring wideSubBlock = ToWide(subBlock);
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(blob.data(), wideSubBlock.c_str(), &value, &length) || value == nullptr) {
    return false;
  }
  // Only the string tables hold text (length in units); every other value
  // (the translation table) is raw bytes.
  static const wchar_t kStringTable[] = L"\\StringFileInfo\\";
  const size_t prefix = sizeof kStringTable / sizeof kStringTable[0] - 1;
  bool isText = wideSubBlock.size() >= prefix &&
                _wcsnicmp(wideSubBlock.c_str(), kStringTable, prefix) == 0;
  if (isText) {
    if (text == nullptr) return false;
    const wchar_t* units = static_cast<const wchar_t*>(value);
    size_t count = 0;
    while (count < length && units[count] != L'\0') ++count;
    *text = FromWide(units, count);
    return true;
  }
  if (raw == nullptr) return false;
  const uint8_t* bytes = static_cast<const uint8_t*>(value);
  raw->assign(bytes, bytes + length);
  return true;
}

std::u16string Win32Platform::WindowsDirectory() {
  wchar_t buffer[MAX_PATH + 1] = {};
  UINT length = GetWindowsDirectoryW(buffer, MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) return {};
  return FromWide(buffer, length);
}

}  // namespace platform
}  // namespace kelvane
