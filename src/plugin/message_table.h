// The message table: outcome texts looked up by message id in section
// "Kelvane" of common/config/Resource.ini beside the library. Set up once
// at load; read anew at every lookup.
#ifndef KELVANE_PLUGIN_MESSAGE_TABLE_H_
#define KELVANE_PLUGIN_MESSAGE_TABLE_H_

#include <string>
#include <string_view>

namespace kelvane {

// Sets the section name ("Kelvane"). Runs during load-time initialisation.
void InitSectionName();

// Computes the table's path from the library's own file and readies the
// shared text buffer. Runs once per load; later calls change nothing.
// `module` identifies the library (see platform/load_hook.h).
void InitMessageTable(const void* module);

// Returns the text for message id `id` (the id itself when the file, the
// section or the key is missing) in a module-wide buffer of 1024 units that
// the next lookup overwrites; callers copy it at once. Null before set-up.
const char16_t* LookupMessage(const char16_t* id);

// The value of `key` in the first section named `section` of the profile
// (INI) file at `path`, with the semantics of GetPrivateProfileString:
// section and key match without regard to case, the value is trimmed and
// one pair of enclosing quotes removed, at most 1023 units. The file is
// UTF-16 with a byte-order mark, or in the system's narrow encoding (the
// ANSI code page on Windows, UTF-8 elsewhere). It is read like a command
// file: only a regular file of at most 16 MiB, never blocking on anything
// else. Any miss gives `fallback` (cut to 1023 units).
std::u16string ReadProfileString(std::u16string_view section, std::u16string_view key,
                                 std::u16string_view fallback, const std::u16string& path);

// The text for message `id` as LookupMessage gives it, or `id` itself before
// set-up; the same shared buffer rules apply (copy it at once).
const char16_t* MessageText(const char16_t* id);

// For tests: the table file's path computed at set-up; empty before
// set-up, or when the library's own path was unknown or too long to leave
// room for the table's relative path within 259 units (lookups then give
// the bare ids).
std::u16string MessageTablePathForTesting();

// Forgets the set-up so that a test can run it again against another
// platform. Never called by the library itself.
void ResetMessageTableForTesting();

}  // namespace kelvane

#endif  // KELVANE_PLUGIN_MESSAGE_TABLE_H_
