// Windows implementation of textfile.h.
#include "textfile.h"

#include <windows.h>

#include "utf.h"

namespace kelvanectl {

namespace {

std::wstring WidePath(const std::string& utf8) {
  std::u16string text = Utf8ToUtf16(utf8);
  return std::wstring(text.begin(), text.end());
}

// "WHAT: the system's text for `code`".
std::string ErrorText(const std::string& what, DWORD code) {
  wchar_t* message = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::string text = what + ": ";
  if (length != 0 && message != nullptr) {
    text += Utf16ToUtf8(std::u16string(message, message + length));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  } else {
    text += "error " + std::to_string(code);
  }
  if (message != nullptr) LocalFree(message);
  return text;
}

}  // namespace

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
    file = CreateFileW(WidePath(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    *error = ErrorText("cannot create a temporary file in " + directory, GetLastError());
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
  DWORD failure = ok ? 0 : GetLastError();
  if (CloseHandle(file) == 0 && ok) {
    ok = false;
    failure = GetLastError();
  }
  if (!ok) {
    *error = ErrorText("cannot write " + temp, failure);
    DeleteFileW(WidePath(temp).c_str());
    return false;
  }
  if (MoveFileExW(WidePath(temp).c_str(), WidePath(target).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    *error = ErrorText("cannot rename the temporary file to " + target, GetLastError());
    DeleteFileW(WidePath(temp).c_str());
    return false;
  }
  return true;
}

}  // namespace kelvanectl
