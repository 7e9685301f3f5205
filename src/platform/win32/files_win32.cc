// Files: the response file (a temporary file moved over the result path),
// sizes and modification times of image files, version resources and the
// Windows directory.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

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

// Writes to a new temporary file beside the result path; Commit closes it
// and moves it over the path (MoveFileExW replaces a file or a symbolic
// link there in one step, never writing through the link). Destroyed
// without a successful Commit, it closes and deletes the temporary file.
class Win32OutputFile final : public OutputFile {
 public:
  Win32OutputFile(HANDLE file, std::wstring temporary, std::wstring target)
      : file_(file), temporary_(std::move(temporary)), target_(std::move(target)) {}
  ~Win32OutputFile() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    if (!committed_) DeleteFileW(temporary_.c_str());
  }
  Win32OutputFile(const Win32OutputFile&) = delete;
  Win32OutputFile& operator=(const Win32OutputFile&) = delete;

  size_t Write(const void* data, size_t size) override {
    if (file_ == INVALID_HANDLE_VALUE || committed_) {
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
      if (!WriteFile(file_, p + done, chunk, &written, nullptr)) {
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
    if (file_ == INVALID_HANDLE_VALUE || failed_) return false;
    const HANDLE file = file_;
    file_ = INVALID_HANDLE_VALUE;
    if (!CloseHandle(file)) {
      error_ = GetLastError();
      failed_ = true;
      return false;
    }
    if (!MoveFileExW(temporary_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      error_ = GetLastError();
      failed_ = true;
      return false;
    }
    committed_ = true;
    return true;
  }

  std::u16string LastError() const override { return SystemErrorText(error_); }

 private:
  HANDLE file_;
  std::wstring temporary_;
  std::wstring target_;
  bool failed_ = false;
  bool committed_ = false;
  DWORD error_ = 0;
};

}  // namespace

std::unique_ptr<OutputFile> Win32Platform::CreateOutputFile(const std::u16string& path,
                                                            std::u16string* error) {
  const auto fail = [error](DWORD code) -> std::unique_ptr<OutputFile> {
    if (error != nullptr) *error = SystemErrorText(code);
    return nullptr;
  };
  if (path.empty() || HasEmbeddedZero(path)) return fail(ERROR_FILE_NOT_FOUND);
  const std::wstring widePath = ToWide(path);
  // The full path names the directory the temporary file goes to; device
  // names (CON, NUL, COM1, \\.\pipe\…) come back in the device namespace.
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  wchar_t* namePart = nullptr;
  DWORD length = GetFullPathNameW(widePath.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), &namePart);
  if (length >= buffer.size()) {
    buffer.resize(length + 1);
    length = GetFullPathNameW(widePath.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), &namePart);
  }
  if (length == 0 || length >= buffer.size()) return fail(GetLastError() != 0 ? GetLastError() : ERROR_INVALID_NAME);
  const std::wstring full(buffer.data(), length);
  if (full.compare(0, 4, L"\\\\.\\") == 0) return fail(ERROR_INVALID_NAME);
  if (namePart == nullptr || *namePart == L'\0') return fail(ERROR_DIRECTORY);
  const size_t nameStart = static_cast<size_t>(namePart - buffer.data());

  // What stands at the path now: nothing, a file or a file symbolic link is
  // fine; a directory (or a link to one) is refused at once.
  const DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return fail(ERROR_DIRECTORY);
  }

  DWORD code = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
    std::wstring temporary = TemporaryPath(full, nameStart);
    // CREATE_NEW: a new file only; an existing name (a planted link
    // included) is never opened.
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      // Only a file on disk is used; anything else the name reached goes.
      if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        DeleteFileW(temporary.c_str());
        return fail(ERROR_INVALID_NAME);
      }
      return std::make_unique<Win32OutputFile>(file, std::move(temporary), full);
    }
    code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) break;
  }
  return fail(code);
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
