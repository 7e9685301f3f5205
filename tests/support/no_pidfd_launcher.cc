// no_pidfd_launcher PROGRAM [ARGS...]: runs PROGRAM under the seccomp filter
// of support/no_pidfd.h, with KELVANE_NO_PIDFD=1 in its environment, so a
// test suite meets the library as it runs on a kernel without pidfds.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "support/no_pidfd.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: no_pidfd_launcher PROGRAM [ARGS...]\n");
    return 64;
  }
  if (!kelvane::testing::InstallNoPidfdFilter()) {
    std::perror("no_pidfd_launcher: seccomp filter");
    return 70;
  }
  setenv(kelvane::testing::kNoPidfdVariable, "1", 1);
  execv(argv[1], argv + 1);
  std::perror("no_pidfd_launcher: exec");
  return 127;
}
