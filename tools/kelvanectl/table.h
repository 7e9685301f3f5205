// Compact tables of a response for a person (the --table output).
#ifndef KELVANECTL_TABLE_H_
#define KELVANECTL_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "response.h"

namespace kelvanectl {

// A byte count in binary units with one decimal: "512 B", "1.0 KiB",
// "12.3 MiB", "2.0 GiB" (up to EiB). Negative counts give "-".
std::string HumanBytes(int64_t bytes);

// The width tables are cut to: the terminal's columns when known (> 0),
// else a positive COLUMNS value, else 120.
size_t ChooseWidth(int terminal_columns, const char* columns_env);

// Reads a whole decimal number with optional sign; false for anything else.
bool ParseInteger(std::string_view text, int64_t* value);

// The order and number of the processes shown of a process list
// (list --sort KEY --top N).
enum class SortKey { kNone, kCpu, kMemory, kPid, kName };
struct ListView {
  SortKey sort = SortKey::kNone;  // kNone: as the library listed them
  size_t top = 0;                 // 0: all
};

// "cpu", "memory", "pid" or "name"; false for anything else.
bool ParseSortKey(std::string_view text, SortKey* key);

// Indices (into doc.elements) of the ProcessItem records of a response's
// detail,
// ordered by `view.sort` and cut to the first `view.top`. CPU and memory sort
// the largest first, pid and name the smallest first (names by byte value);
// ties, and values that are not numbers (last), keep the library's order.
std::vector<int> ProcessItems(const ResponseDocument& doc, const ListView& view = ListView());

// The table of a parsed response, UTF-8, every line ending in '\n'. The
// kind is chosen by the root element: the process list (one row per process,
// the command line cut so that no line exceeds `width` columns), the module
// list (per process its modules' name, path and modification time), the
// error response, or the per-target results of a control command. Every
// table ends with the summary of the "Result" element. Cell texts are shown
// with control characters replaced (see SanitizeCell).
// The process list shows the records ProcessItems(doc, view) chooses.
std::string FormatTable(const ResponseDocument& doc, size_t width, const ListView& view = ListView());

}  // namespace kelvanectl

#endif  // KELVANECTL_TABLE_H_
