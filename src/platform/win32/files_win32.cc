// Files: response output through the C runtime, sizes and modification
// times of image files, version resources and the Windows directory.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

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

class Win32OutputFile final : public OutputFile {
 public:
  explicit Win32OutputFile(FILE* file) : file_(file) {}
  ~Win32OutputFile() override { fclose(file_); }
  Win32OutputFile(const Win32OutputFile&) = delete;
  Win32OutputFile& operator=(const Win32OutputFile&) = delete;

  size_t Write(const void* data, size_t size) override {
    if (size == 0) return 0;
    errno = 0;
    size_t written = fwrite(data, 1, size, file_);
    if (written < size) error_ = errno != 0 ? errno : EIO;
    return written;
  }

  std::u16string LastError() const override { return ErrorText(error_); }

 private:
  FILE* file_;
  int error_ = 0;
};

}  // namespace

std::unique_ptr<OutputFile> Win32Platform::CreateOutputFile(const std::u16string& path,
                                                            std::u16string* error) {
  if (path.empty() || HasEmbeddedZero(path)) {
    if (error != nullptr) *error = ErrorText(ENOENT);
    return nullptr;
  }
  std::wstring widePath = ToWide(path);
  errno = 0;
  FILE* file = _wfopen(widePath.c_str(), L"wb");
  if (file == nullptr) {
    if (error != nullptr) *error = ErrorText(errno != 0 ? errno : ENOENT);
    return nullptr;
  }
  return std::make_unique<Win32OutputFile>(file);
}

bool Win32Platform::FileSize(const std::u16string& path, int64_t* size) {
  if (HasEmbeddedZero(path)) return false;
  std::wstring widePath = ToWide(path);
  HANDLE file = CreateFileW(widePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER value;
  BOOL ok = GetFileSizeEx(file, &value);
  CloseHandle(file);
  if (!ok) return false;
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
