#include "inventory/probes.h"

#include <string>

#include "common/text.h"

namespace kelvane {

namespace {

constexpr uint32_t kPlatformWindows = 1;  // the 9x line
constexpr uint32_t kPlatformNt = 2;
constexpr uint32_t kWorkstation = 1;
constexpr uint32_t kDomainController = 2;
constexpr uint32_t kServer = 3;
constexpr uint32_t kArchitectureAmd64 = 9;

bool Version(const kelvane::platform::OsVersionFacts& facts, uint32_t major, uint32_t minor) {
  return facts.major == major && facts.minor == minor;
}

// The product type as the registry names it, for systems whose version query
// does not report it.
int ClassifyByProductType() {
  std::u16string productType;
  if (!kelvane::platform::Current()->ReadProductType(&productType)) return -1;
  if (productType == u"WINNT") return 3;
  if (productType == u"LANMANNT" || productType == u"SERVERNT") return 4;
  return -1;
}

}  // namespace

int ReadCommandLine(kelvane::platform::ProcessHandle& process, char16_t (&buffer)[261]) {
  std::u16string commandLine;
  if (!kelvane::platform::Current()->CommandLine(process, &commandLine)) return 0;
  if (!commandLine.empty()) kelvane::CopyToField(buffer, commandLine);
  return 1;
}

namespace {

int ApplyUserLookup(kelvane::platform::UserLookup lookup, const std::u16string& name,
                    char16_t (&szUserName)[261]) {
  switch (lookup) {
    case kelvane::platform::UserLookup::kFound:
      kelvane::CopyToField(szUserName, name);
      return 1;
    case kelvane::platform::UserLookup::kNotListed:
      return 1;
    case kelvane::platform::UserLookup::kTableUnavailable:
    case kelvane::platform::UserLookup::kAccountUnknown:
      break;
  }
  return 0;
}

}  // namespace

int LookupProcessUser(uint32_t pid, char16_t (&szUserName)[261]) {
  std::u16string name;
  const kelvane::platform::UserLookup lookup = kelvane::platform::Current()->ProcessUserName(pid, &name);
  return ApplyUserLookup(lookup, name, szUserName);
}

int LookupProcessUser(kelvane::platform::ProcessHandle& process, char16_t (&szUserName)[261]) {
  std::u16string name;
  const kelvane::platform::UserLookup lookup = kelvane::platform::Current()->ProcessUserNameOf(process, &name);
  return ApplyUserLookup(lookup, name, szUserName);
}

int SetTokenPrivilege(kelvane::platform::TokenHandle& token, uint64_t luid) {
  return kelvane::platform::Current()->EnablePrivilege(token, luid) ? 1 : 0;
}

int EnableDebugPrivilege() {
  kelvane::platform::Platform* p = kelvane::platform::Current();
  std::unique_ptr<kelvane::platform::TokenHandle> token = p->OpenOwnToken();
  if (token == nullptr) return 0;
  uint64_t luid = 0;
  if (!p->LookupPrivilege(u"SeDebugPrivilege", &luid)) return 0;
  return SetTokenPrivilege(*token, luid);
}

int ClassifyOsFamily(const platform::OsVersionFacts& facts) {
  if (facts.platformId == kPlatformWindows) {
    if (Version(facts, 4, 0) || Version(facts, 4, 10)) return 1;
    if (Version(facts, 4, 90)) return 2;
    return -1;
  }
  if (facts.platformId != kPlatformNt) return -1;
  if (Version(facts, 6, 0)) return 9;
  if (Version(facts, 5, 1)) return 7;
  if (Version(facts, 5, 2)) {
    // 64-bit workstation edition of the 5.2 line, which counts with 5.1.
    if (facts.serverR2Metric == 0 && facts.productType == kWorkstation &&
        facts.architecture == kArchitectureAmd64) {
      return 7;
    }
    return 8;
  }
  if (!facts.extendedInfo) return ClassifyByProductType();
  if (facts.productType == kWorkstation) return facts.major == 4 ? 3 : 5;
  if (facts.productType == kDomainController || facts.productType == kServer) {
    return Version(facts, 5, 0) ? 6 : 4;
  }
  return -1;
}

int DetectOsFamily() {
  kelvane::platform::OsVersionFacts facts;
  if (!kelvane::platform::Current()->QueryOsVersion(&facts)) return -1;
  if (!facts.extendedInfo) facts.productType = 0;
  return kelvane::ClassifyOsFamily(facts);
}

}  // namespace kelvane
