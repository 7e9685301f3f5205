// Library path, profile strings, the locale step, the clock, the process
// token's privileges and the OS version facts.
#include <locale.h>

#include <climits>
#include <new>
#include <utility>
#include <vector>

#include "platform/win32/win32_platform.h"

namespace kelvane {
namespace platform {

Platform* Default() {
  // Holds only the listing's table cache, so it may live in static storage
  // and go with the DLL.
  static Win32Platform instance;
  return &instance;
}

std::wstring ToWide(const std::u16string& text) {
  return std::wstring(text.begin(), text.end());
}

std::u16string FromWide(const wchar_t* text, size_t length) {
  std::u16string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) out.push_back(static_cast<char16_t>(text[i]));
  return out;
}

std::u16string FromWide(const wchar_t* text) { return FromWide(text, wcslen(text)); }

namespace {
ExportResolver g_exportResolver = nullptr;
}  // namespace

FARPROC ResolveExport(const wchar_t* module, const char* name) {
  if (g_exportResolver != nullptr) return g_exportResolver(module, name);
  HMODULE handle = GetModuleHandleW(module);
  return handle != nullptr ? GetProcAddress(handle, name) : nullptr;
}

void SetExportResolverForTesting(ExportResolver resolver) { g_exportResolver = resolver; }

std::u16string Win32Platform::LibraryFilePath(const void* addressInLibrary) {
  if (addressInLibrary == nullptr) return {};
  // A module handle is the image's base address, so this also accepts the
  // handle that DllMain received.
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(addressInLibrary), &module)) {
    return {};
  }
  std::u16string path;
  if (!QueryGrowing([&](wchar_t* buffer, DWORD size) { return GetModuleFileNameW(module, buffer, size); },
                    &path)) {
    return {};
  }
  return path;
}

char16_t Win32Platform::PathSeparator() { return u'\\'; }

std::u16string Win32Platform::NarrowTextToUtf16(std::string_view bytes) {
  // The ANSI code page, as the profile functions read a file without a
  // UTF-16 byte-order mark.
  if (bytes.empty()) return {};
  if (bytes.size() > static_cast<size_t>(INT_MAX)) return {};
  const int length = static_cast<int>(bytes.size());
  const int units = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
  if (units <= 0) return {};
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, &wide[0], units);
  return FromWide(wide.data(), wide.size());
}

void Win32Platform::SetParserLocale() { setlocale(LC_ALL, "chinese-simplified"); }

LocalTime Win32Platform::Now() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  LocalTime out;
  out.year = now.wYear;
  out.month = now.wMonth;
  out.day = now.wDay;
  out.hour = now.wHour;
  out.minute = now.wMinute;
  out.second = now.wSecond;
  return out;
}

std::unique_ptr<TokenHandle> Win32Platform::OpenOwnToken() {
  HANDLE opened = nullptr;
  const BOOL ok = OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &opened);
  UniqueHandle token(ok ? opened : nullptr);
  if (!token.valid()) return nullptr;
  // Without memory for the object the token is closed here.
  return std::unique_ptr<TokenHandle>(new (std::nothrow) Win32Token(std::move(token)));
}

bool Win32Platform::LookupPrivilege(const std::u16string& name, uint64_t* luid) {
  LUID value;
  std::wstring wideName = ToWide(name);
  if (!LookupPrivilegeValueW(nullptr, wideName.c_str(), &value)) return false;
  *luid = (static_cast<uint64_t>(static_cast<uint32_t>(value.HighPart)) << 32) | value.LowPart;
  return true;
}

bool Win32Platform::EnablePrivilege(TokenHandle& token, uint64_t luid) {
  Win32Token* win32Token = dynamic_cast<Win32Token*>(&token);
  if (win32Token == nullptr) return false;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Luid.LowPart = static_cast<DWORD>(luid & 0xFFFFFFFFu);
  privileges.Privileges[0].Luid.HighPart = static_cast<LONG>(luid >> 32);
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!AdjustTokenPrivileges(win32Token->handle(), FALSE, &privileges, sizeof privileges, nullptr,
                             nullptr)) {
    return false;
  }
  // The call also succeeds when the account does not hold the privilege;
  // only then does it report that nothing was assigned.
  return GetLastError() != ERROR_NOT_ALL_ASSIGNED;
}

bool Win32Platform::QueryOsVersion(OsVersionFacts* facts) {
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
  bool extended = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)) != FALSE;
  if (!extended) {
    version = OSVERSIONINFOEXW();
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) return false;
  }

  SYSTEM_INFO system = {};
  typedef void(WINAPI * NativeSystemInfoFn)(LPSYSTEM_INFO);
  NativeSystemInfoFn nativeSystemInfo = reinterpret_cast<NativeSystemInfoFn>(
      reinterpret_cast<void*>(ResolveExport(L"kernel32.dll", "GetNativeSystemInfo")));
  if (nativeSystemInfo != nullptr) {
    nativeSystemInfo(&system);
  } else {
    GetSystemInfo(&system);
  }

  OsVersionFacts out;
  out.extendedInfo = extended;
  out.platformId = version.dwPlatformId;
  out.major = version.dwMajorVersion;
  out.minor = version.dwMinorVersion;
  out.productType = extended ? version.wProductType : 0;
  out.architecture = system.wProcessorArchitecture;
  out.serverR2Metric = GetSystemMetrics(SM_SERVERR2);
  *facts = out;
  return true;
}

bool Win32Platform::ReadProductType(std::u16string* productType) {
  UniqueRegistryKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\ProductOptions", 0,
                    KEY_QUERY_VALUE, key.out()) != ERROR_SUCCESS) {
    return false;
  }
  // Room for 40 UTF-16 units; a longer value is refused (ERROR_MORE_DATA).
  wchar_t value[40] = {};
  DWORD size = sizeof value;
  DWORD type = 0;
  LONG status = RegQueryValueExW(key.get(), L"ProductType", nullptr, &type,
                                 reinterpret_cast<LPBYTE>(value), &size);
  if (status != ERROR_SUCCESS || size > sizeof value) return false;
  size_t length = size / sizeof(wchar_t);
  while (length > 0 && value[length - 1] == L'\0') --length;
  *productType = FromWide(value, length);
  return true;
}

}  // namespace platform
}  // namespace kelvane
