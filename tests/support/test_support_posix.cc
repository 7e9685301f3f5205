// The POSIX side of the shared test helpers (see support/test_support.h).
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "support/test_support.h"

namespace kelvane {
namespace testing {

bool InOwnPidNamespace() { return getpid() == 1; }

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelvane-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  path_ = made != nullptr ? made : std::string();
}

}  // namespace testing
}  // namespace kelvane
