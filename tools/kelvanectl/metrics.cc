#include "metrics.h"

#include <charconv>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "table.h"
#include "utf.h"

namespace kelvanectl {

namespace {

// One group's sums.
struct GroupValues {
  int64_t cpu = 0;
  int64_t memory = 0;
  int64_t processes = 0;
  int64_t modules = 0;
};

// A group's key: the pid (without grouping; 0 otherwise) so that processes
// sort by number, then the escaped label values in label order. Keys are
// built from escaped values, so two texts that become the same value (two
// malformed names, say) are one series, never two with the same labels.
using GroupKey = std::pair<int64_t, std::vector<std::string>>;

struct Family {
  const char* name;
  const char* help;
  int64_t GroupValues::*value;
};

const Family kProcessFamilies[] = {
    {"kelvane_process_cpu_percent",
     "CPU usage of the group's processes over the listing's sampling window, in percent of all CPU "
     "time of the machine (each process in whole percent), summed.",
     &GroupValues::cpu},
    {"kelvane_process_resident_memory_bytes",
     "Resident memory (working set) of the group's processes in bytes, summed.", &GroupValues::memory},
    {"kelvane_processes", "Number of processes in the group.", &GroupValues::processes},
    {"kelvane_process_modules", "Loaded modules (the image included) of the group's processes, summed.",
     &GroupValues::modules},
};

std::vector<const char*> LabelNames(GroupBy group_by) {
  switch (group_by) {
    case GroupBy::kName: return {"name"};
    case GroupBy::kUser: return {"user"};
    case GroupBy::kNone: return {"pid", "name", "user"};
    case GroupBy::kNameUser: break;
  }
  return {"name", "user"};
}

int64_t NumberOr0(const XmlElement& element, std::string_view attribute) {
  int64_t value;
  return ParseInteger(element.Get(attribute), &value) ? value : 0;
}

// Decimal notation of the C locale (std::to_chars never consults the
// process's locale, which a library call may have changed).
std::string Decimal(double value, int precision) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed, precision);
  if (result.ec != std::errc()) return "NaN";
  return std::string(buffer, result.ptr);
}

void AppendHeader(std::string* out, const char* name, const char* help) {
  *out += "# HELP ";
  *out += name;
  *out += ' ';
  *out += help;
  *out += "\n# TYPE ";
  *out += name;
  *out += " gauge\n";
}

std::string LabelSet(const std::vector<const char*>& names, const std::vector<std::string>& values) {
  std::string out = "{";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i != 0) out += ',';
    out += names[i];
    out += "=\"";
    out += values[i];
    out += '"';
  }
  return out + "}";
}

std::map<GroupKey, GroupValues> Groups(const ResponseDocument& doc, GroupBy group_by) {
  std::map<GroupKey, GroupValues> groups;
  for (int index : ProcessItems(doc)) {
    const XmlElement& item = doc.elements[static_cast<size_t>(index)];
    int64_t pid = 0;
    const bool numeric_pid = ParseInteger(item.Get("PID"), &pid);
    if (numeric_pid && pid == 0) continue;  // the idle record
    GroupKey key;
    const std::string name = EscapeLabelValue(item.Get("name"));
    const std::string user = EscapeLabelValue(item.Get("UserName"));
    switch (group_by) {
      case GroupBy::kNameUser: key.second = {name, user}; break;
      case GroupBy::kName: key.second = {name}; break;
      case GroupBy::kUser: key.second = {user}; break;
      case GroupBy::kNone:
        key.first = numeric_pid ? pid : 0;
        key.second = {numeric_pid ? std::to_string(pid) : EscapeLabelValue(item.Get("PID")), name, user};
        break;
    }
    GroupValues& values = groups[key];
    values.cpu += NumberOr0(item, "CpuUsage");
    values.memory += NumberOr0(item, "MemoryUsage");
    values.processes += 1;
    values.modules += static_cast<int64_t>(doc.Children(index, "ModuleItem").size());
  }
  return groups;
}

}  // namespace

bool ParseGroupBy(std::string_view text, GroupBy* group_by) {
  if (text == "name,user") *group_by = GroupBy::kNameUser;
  else if (text == "name") *group_by = GroupBy::kName;
  else if (text == "user") *group_by = GroupBy::kUser;
  else if (text == "none") *group_by = GroupBy::kNone;
  else return false;
  return true;
}

std::string EscapeLabelValue(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    const char32_t cp = NextCodePoint(text, &pos);
    if (cp == '\\') {
      out += "\\\\";
    } else if (cp == '"') {
      out += "\\\"";
    } else if (cp == '\n') {
      out += "\\n";
    } else {
      AppendUtf8(&out, cp);
    }
  }
  return out;
}

std::string FormatMetrics(const ResponseDocument& doc, const ListingFacts& facts, GroupBy group_by) {
  std::string out;
  AppendHeader(&out, "kelvane_listing_success", "1 when the listing succeeded (result code 0), 0 otherwise.");
  out += "kelvane_listing_success ";
  out += facts.succeeded ? "1\n" : "0\n";
  AppendHeader(&out, "kelvane_listing_duration_seconds", "Wall time of the listing call in seconds.");
  out += "kelvane_listing_duration_seconds " + Decimal(facts.duration_seconds, 6) + "\n";
  AppendHeader(&out, "kelvane_listing_timestamp_seconds", "Unix time at which the listing call returned.");
  out += "kelvane_listing_timestamp_seconds " + Decimal(facts.timestamp_seconds, 3) + "\n";
  if (!facts.succeeded) return out;

  const std::map<GroupKey, GroupValues> groups = Groups(doc, group_by);
  const std::vector<const char*> names = LabelNames(group_by);
  for (const Family& family : kProcessFamilies) {
    AppendHeader(&out, family.name, family.help);
    for (const auto& [key, values] : groups) {
      out += family.name;
      out += LabelSet(names, key.second);
      out += ' ';
      out += std::to_string(values.*family.value);
      out += '\n';
    }
  }
  return out;
}

}  // namespace kelvanectl
