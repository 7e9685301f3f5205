// The library's outside face: exactly seven exported entry points, the
// six typed ones return their constants, and a host can unload it.
#include <dlfcn.h>

#include <cstdio>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>

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

// A host thread that ran a listing, and lives on, does not keep the library
// loaded once the host unloads it: the library leaves nothing in the
// thread's own storage that the thread's end would have to destroy.
TEST(Exports, AThreadThatCalledDoesNotKeepTheLibraryLoaded) {
  auto library = std::make_unique<LoadedLibrary>();
  ASSERT_NE(nullptr, library->invoke());
  const std::string copy = library->directory() + "/libkelvane.so";
  std::promise<int> listed;
  std::promise<void> finish;
  std::shared_future<void> finished = finish.get_future().share();
  std::thread worker([&library, &listed, finished] {
    listed.set_value(library->Run("<request name=\"ZEV_GetProcessList_KLV\"/>").code);
    finished.wait();
  });
  EXPECT_EQ(0, listed.get_future().get());
  library.reset();  // dlclose, while the worker still runs
  void* still = dlopen(copy.c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_EQ(nullptr, still) << "the library stayed loaded";
  if (still != nullptr) dlclose(still);
  finish.set_value();
  worker.join();
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
