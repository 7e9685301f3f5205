// Small probes that fill parts of a process record: the command line, the
// owning account, the debug privilege of this process, and the OS family.
// Each reports 1 for done and 0 for not done; callers decide what a failure
// means.
#ifndef KELVANE_INVENTORY_PROBES_H_
#define KELVANE_INVENTORY_PROBES_H_

#include <cstdint>

#include "platform/platform.h"

namespace kelvane {

// Reads the command line of `process` into `buffer`, which the caller has
// preset (normally to "<unknown>"). Returns 0 with `buffer` untouched when it
// cannot be read; 1 with `buffer` untouched when it is empty; otherwise 1
// with the command line, cut to 260 units without splitting a surrogate pair,
// and terminated.
int ReadCommandLine(kelvane::platform::ProcessHandle& process, char16_t (&buffer)[261]);

// Stores the account name (without domain) of process `pid` in
// `szUserName`. Returns 1 when the account was named, or when the owner
// table does not list the process (name untouched); 0 when the table cannot
// be read or the account cannot be named (name untouched).
int LookupProcessUser(uint32_t pid, char16_t (&szUserName)[261]);
// The same for the opened `process`, asked through the handle.
int LookupProcessUser(kelvane::platform::ProcessHandle& process, char16_t (&szUserName)[261]);

// Enables "SeDebugPrivilege" for this process. Returns 1 when it is now
// enabled, 0 otherwise (the token is closed on every path).
int EnableDebugPrivilege();

// Enables privilege `luid` in `token`; 1 when it is now enabled, else 0.
int SetTokenPrivilege(kelvane::platform::TokenHandle& token, uint64_t luid);

// The OS family code of the running system (1..9), or -1 when it is not one
// of the known families or cannot be read.
int DetectOsFamily();

// The decision table of DetectOsFamily over given version facts; the
// product-options registry value is read only when the facts call for it.
int ClassifyOsFamily(const platform::OsVersionFacts& facts);

}  // namespace kelvane

#endif  // KELVANE_INVENTORY_PROBES_H_
