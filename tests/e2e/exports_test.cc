// The library's outside face: exactly seven exported entry points, and the
// six typed ones return their constants.
#include <cstdio>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "e2e/library_harness.h"
#include "kelvane/plugin.h"

namespace kelvane {
namespace testing {
namespace {

std::set<std::string> DefinedDynamicSymbols(const std::string& library) {
  std::set<std::string> names;
  std::string command = "nm -D --defined-only '" + library + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return names;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    char address[64], type[8], name[900];
    if (std::sscanf(line, "%63s %7s %899s", address, type, name) == 3) names.insert(name);
  }
  pclose(pipe);
  return names;
}

TEST(Exports, OnlyTheSevenEntryPointsAreExported) {
  const std::set<std::string> expected = {
      "ZEV_RemoteInvoke",
      "_Z22ZEV_GetProcessList_KLVPPvPFjPKDsyyS_S2_jPiEPjS_",
      "_Z24ZEV_GetProcessModule_KLVPPvPFjPKDsyyS_S2_jPiEPjS_",
      "_Z19ZEV_StopProcess_KLVPPvPFjPKDsyyS_S2_jPiEPjS_",
      "_Z23ZEV_StopProcessTree_KLVPPvPFjPKDsyyS_S2_jPiEPjS_",
      "_Z26ZEV_SetProcessPriority_KLVPPvPFjPKDsyyS_S2_jPiEPjS_",
      "_Z22ZEV_ReleaseProcess_KLVPv",
  };
  EXPECT_EQ(expected, DefinedDynamicSymbols(KELVANE_LIBRARY_PATH));
}

TEST(Exports, TypedEntryPointsReturnTheirConstants) {
  LoadedLibrary library;
  using Typed = unsigned int (*)(void**, KelvaneHostCallback, unsigned int*, void*);
  struct Case {
    const char* symbol;
    unsigned int expected;
  };
  const Case cases[] = {
      {"_Z22ZEV_GetProcessList_KLVPPvPFjPKDsyyS_S2_jPiEPjS_", 0xFFFFFFFFu},
      {"_Z24ZEV_GetProcessModule_KLVPPvPFjPKDsyyS_S2_jPiEPjS_", 0xFFFFFFFFu},
      {"_Z19ZEV_StopProcess_KLVPPvPFjPKDsyyS_S2_jPiEPjS_", 0xFFFFFFFFu},
      {"_Z23ZEV_StopProcessTree_KLVPPvPFjPKDsyyS_S2_jPiEPjS_", 0u},
      {"_Z26ZEV_SetProcessPriority_KLVPPvPFjPKDsyyS_S2_jPiEPjS_", 0u},
  };
  // A callback that must never be called.
  KelvaneHostCallback trap = [](const char16_t*, unsigned long long, unsigned long long, void*,
                                const char16_t*, unsigned int, int*) -> unsigned int {
    ADD_FAILURE() << "callback called";
    return 0;
  };
  for (const Case& c : cases) {
    auto entry = reinterpret_cast<Typed>(library.Symbol(c.symbol));
    ASSERT_NE(nullptr, entry) << c.symbol;
    EXPECT_EQ(c.expected, entry(nullptr, trap, nullptr, nullptr)) << c.symbol;
  }
  auto release = reinterpret_cast<unsigned int (*)(void*)>(library.Symbol("_Z22ZEV_ReleaseProcess_KLVPv"));
  ASSERT_NE(nullptr, release);
  EXPECT_EQ(0u, release(nullptr));
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
