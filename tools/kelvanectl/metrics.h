// The metrics subcommand: one process list of the library in the Prometheus
// text exposition format (version 0.0.4), for a scrape or for node_exporter's
// textfile collector.
//
//   kelvane_listing_success            1 for result code 0, else 0
//   kelvane_listing_duration_seconds   wall time of the listing call
//   kelvane_listing_timestamp_seconds  Unix time when the call returned
//   kelvane_process_cpu_percent        per group: CPU usage, summed
//   kelvane_process_resident_memory_bytes  per group: working set, summed
//   kelvane_processes                  per group: number of processes
//   kelvane_process_modules            per group: loaded modules, summed
//
// Processes are grouped to bound the number of series: by (name, user) by
// default, by name, by user, or not at all (one series per process, with a
// pid label). The idle record (id 0) stands for no process and is left out.
// A failed listing gives the three listing families only.
#ifndef KELVANECTL_METRICS_H_
#define KELVANECTL_METRICS_H_

#include <string>
#include <string_view>

#include "response.h"

namespace kelvanectl {

// The labels a group is formed by (metrics --group-by).
enum class GroupBy { kNameUser, kName, kUser, kNone };

// "name,user" (the default), "name", "user" or "none"; false for anything
// else.
bool ParseGroupBy(std::string_view text, GroupBy* group_by);

// What the caller measured of the listing call.
struct ListingFacts {
  bool succeeded = false;          // result code 0 and a response that was read
  double duration_seconds = 0;     // from the call to its return
  double timestamp_seconds = 0;    // Unix time of the return
};

// `text` as a label value between double quotes: backslash, double quote
// and line feed escaped as the format asks (\\, \", \n); a malformed UTF-8
// sequence becomes U+FFFD. Every other character stands as it is, so no
// text can end the value or the line.
std::string EscapeLabelValue(std::string_view text);

// The exposition of a listing: every family with # HELP and # TYPE, series
// in a fixed order (labels by byte value, pids by number), values in the C
// locale's notation whatever locale the process has, lines ending in "\n".
// The process families come from the ProcessItem records of `doc` and only
// when `facts.succeeded`.
std::string FormatMetrics(const ResponseDocument& doc, const ListingFacts& facts, GroupBy group_by);

// The file metrics --textfile writes into its directory (node_exporter's
// textfile collector reads every *.prom file there).
inline constexpr const char kTextfileName[] = "kelvane.prom";

}  // namespace kelvanectl

#endif  // KELVANECTL_METRICS_H_
