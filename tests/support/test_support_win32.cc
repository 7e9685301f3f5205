// The Windows side of the shared test helpers (see support/test_support.h).
#include <windows.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace kelvane {
namespace testing {

// Windows has no PID namespaces: tests that stop or re-prioritise
// processes they did not start skip themselves here.
bool InOwnPidNamespace() { return false; }

TempDir::TempDir() {
  std::error_code error;
  const std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) return;
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate =
        base / ("kelvane-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(GetTickCount()) + "-" + std::to_string(attempt));
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate.string();
      return;
    }
  }
}

}  // namespace testing
}  // namespace kelvane
