// Compact tables of a response for a person (the --table output).
#ifndef KELVANECTL_TABLE_H_
#define KELVANECTL_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

// The table of a parsed response, UTF-8, every line ending in '\n'. The
// kind is chosen by the root element: the process list (one row per process,
// the command line cut so that no line exceeds `width` columns), the module
// list (per process its modules' name, path and modification time), the
// error response, or the per-target results of a control command. Every
// table ends with the summary of the "Result" element. Cell texts are shown
// with control characters replaced (see SanitizeCell).
std::string FormatTable(const ResponseDocument& doc, size_t width);

}  // namespace kelvanectl

#endif  // KELVANECTL_TABLE_H_
