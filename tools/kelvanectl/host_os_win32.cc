// Windows implementation of the kelvanectl OS seam. Paths and arguments are
// UTF-8 inside the tool and UTF-16 towards the system.
#include "host_os.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>

#include "utf.h"

namespace kelvanectl {

namespace {

std::wstring Wide(const std::string& utf8) {
  std::u16string text = Utf8ToUtf16(utf8);
  return std::wstring(text.begin(), text.end());
}

std::string Narrow(const wchar_t* text, size_t length) {
  std::u16string wide(text, text + length);
  return Utf16ToUtf8(wide);
}

std::string LastErrorText(const std::string& what) {
  DWORD code = GetLastError();
  wchar_t* message = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::string text = what + ": ";
  if (length != 0 && message != nullptr) {
    text += Narrow(message, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  } else {
    text += "error " + std::to_string(code);
  }
  if (message != nullptr) LocalFree(message);
  return text;
}

}  // namespace

const char* DefaultLibraryName() { return "kelvane.dll"; }

std::string ExecutableDirectory() {
  std::wstring buffer(MAX_PATH, L'\0');
  while (true) {
    DWORD length = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  size_t slash = buffer.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return {};
  return Narrow(buffer.c_str(), slash);
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  if (directory.back() == '\\' || directory.back() == '/') return directory + name;
  return directory + "\\" + name;
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}

bool DynamicLibrary::Load(const std::string& path, std::string* error) {
  handle_ = LoadLibraryW(Wide(path).c_str());
  if (handle_ == nullptr) {
    *error = LastErrorText(path);
    return false;
  }
  return true;
}

void* DynamicLibrary::Symbol(const char* name, std::string* error) const {
  if (handle_ == nullptr) {
    *error = "no library loaded";
    return nullptr;
  }
  FARPROC address = GetProcAddress(static_cast<HMODULE>(handle_), name);
  if (address == nullptr) {
    *error = LastErrorText(name);
    return nullptr;
  }
  return reinterpret_cast<void*>(address);
}

InterruptGuard::InterruptGuard() : saved_() { active_ = SetConsoleCtrlHandler(nullptr, TRUE) != 0; }

InterruptGuard::~InterruptGuard() {
  if (active_) SetConsoleCtrlHandler(nullptr, FALSE);
}

bool MakeTempDirectory(std::string* path, std::string* error) {
  wchar_t base[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, base);
  if (length == 0 || length > MAX_PATH) {
    *error = LastErrorText("cannot find the temporary directory");
    return false;
  }
  std::string directory = Narrow(base, length);
  unsigned long long seed = GetTickCount64() ^ (static_cast<unsigned long long>(GetCurrentProcessId()) << 20);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = JoinPath(directory, "kelvanectl-" + std::to_string(seed + attempt));
    if (CreateDirectoryW(Wide(candidate).c_str(), nullptr)) {
      *path = candidate;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      *error = LastErrorText("cannot create a temporary directory " + candidate);
      return false;
    }
  }
  *error = "cannot create a temporary directory in " + directory;
  return false;
}

bool RemoveEmptyDirectory(const std::string& path) { return RemoveDirectoryW(Wide(path).c_str()) != 0; }

bool RemoveFile(const std::string& path) { return DeleteFileW(Wide(path).c_str()) != 0; }

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
  std::FILE* file = _wfopen(Wide(path).c_str(), L"rb");
  if (file == nullptr) {
    *error = "cannot open " + path;
    return false;
  }
  bytes->clear();
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) bytes->append(buffer, n);
  bool ok = std::ferror(file) == 0;
  std::fclose(file);
  if (!ok) *error = "cannot read " + path;
  return ok;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes, std::string* error) {
  std::FILE* file = _wfopen(Wide(path).c_str(), L"wb");
  if (file == nullptr) {
    *error = "cannot create " + path;
    return false;
  }
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  ok = std::fclose(file) == 0 && ok;
  if (!ok) *error = "cannot write " + path;
  return ok;
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

void PrepareConsole() { SetConsoleOutputCP(CP_UTF8); }

LibraryTrust CheckLibraryTrust(const std::string& path, std::string* load_path, std::string*) {
  *load_path = path;
  return LibraryTrust::kTrusted;
}

void IgnoreFileSizeSignal() {}

std::vector<std::string> ProgramArguments(int, char**) {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return args;
  for (int i = 1; i < count; ++i) {
    size_t length = 0;
    while (wide[i][length] != L'\0') ++length;
    args.push_back(Narrow(wide[i], length));
  }
  LocalFree(wide);
  return args;
}

bool ReplaceFileInDirectory(const std::string& directory, const std::string& name, const std::string& bytes,
                            std::string* error) {
  const std::string separator = !directory.empty() && (directory.back() == '\\' || directory.back() == '/')
                                    ? ""
                                    : "\\";
  const std::string target = directory + separator + name;
  const unsigned long long seed =
      GetTickCount64() ^ (static_cast<unsigned long long>(GetCurrentProcessId()) << 32);
  std::string temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    temp = directory + separator + "." + name + ".tmp-" + std::to_string(seed + static_cast<unsigned>(attempt));
    // CREATE_NEW: never an existing file, nor one a link points to.
    file = CreateFileW(Wide(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    *error = LastErrorText("cannot create a temporary file in " + directory);
    return false;
  }
  bool ok = true;
  size_t done = 0;
  while (ok && done < bytes.size()) {
    const size_t left = bytes.size() - done;
    const DWORD chunk = static_cast<DWORD>(left < (1u << 30) ? left : (1u << 30));
    DWORD written = 0;
    ok = WriteFile(file, bytes.data() + done, chunk, &written, nullptr) != 0 && written != 0;
    done += written;
  }
  ok = ok && FlushFileBuffers(file) != 0;
  if (!ok) *error = LastErrorText("cannot write " + temp);
  if (CloseHandle(file) == 0 && ok) {
    ok = false;
    *error = LastErrorText("cannot write " + temp);
  }
  if (!ok) {
    DeleteFileW(Wide(temp).c_str());
    return false;
  }
  if (MoveFileExW(Wide(temp).c_str(), Wide(target).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    *error = LastErrorText("cannot rename the temporary file to " + target);
    DeleteFileW(Wide(temp).c_str());
    return false;
  }
  return true;
}

}  // namespace kelvanectl
