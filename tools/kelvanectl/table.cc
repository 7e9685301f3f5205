#include "table.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "request.h"
#include "utf.h"

namespace kelvanectl {

namespace {

// Control results and module paths are shown whole; only the process list
// is cut to the terminal.
constexpr size_t kNoLimit = static_cast<size_t>(-1);

struct Column {
  const char* title;
  bool right_align;
  size_t max_width;  // 0: no cap
};

// Renders rows under a header; every column is as wide as its widest cell
// (capped by max_width), columns are separated by two spaces, the last
// column is not padded, and each line is cut to `line_width` columns.
std::string RenderRows(const std::vector<Column>& columns, const std::vector<std::vector<std::string>>& rows,
                       size_t line_width, const std::string& indent = "") {
  std::vector<size_t> widths(columns.size());
  for (size_t c = 0; c < columns.size(); ++c) {
    widths[c] = DisplayWidth(columns[c].title);
    for (const auto& row : rows) widths[c] = std::max(widths[c], DisplayWidth(row[c]));
    if (columns[c].max_width != 0) widths[c] = std::min(widths[c], columns[c].max_width);
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text = indent;
    for (size_t c = 0; c < columns.size(); ++c) {
      if (c != 0) text += "  ";
      if (c + 1 == columns.size() && !columns[c].right_align) {
        text += cells[c];
      } else {
        text += FitToWidth(cells[c], widths[c], columns[c].right_align);
      }
    }
    text = CutToWidth(text, line_width);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text + "\n";
  };
  std::vector<std::string> header;
  for (const Column& column : columns) header.emplace_back(column.title);
  std::string out = line(header);
  for (const auto& row : rows) out += line(row);
  return out;
}

std::string Cell(const XmlElement& element, std::string_view attribute) {
  return SanitizeCell(element.Get(attribute));
}

std::string ResultWord(const std::string& code) {
  if (code == "0") return "ok";
  if (code == "1") return "failed";
  return code.empty() ? "-" : code;
}

std::string Summary(const ResponseDocument& doc) {
  int result = doc.Child(0, "Result");
  if (result < 0) return "No result record in the response.\n";
  const XmlElement& r = doc.elements[static_cast<size_t>(result)];
  std::string text = "Result: " + ResultWord(r.Get("nResult")) + " - " + Cell(r, "ErrMsg");
  std::string context = Cell(r, "cmdName");
  std::string time = Cell(r, "DateTime");
  if (!time.empty()) context += context.empty() ? time : ", " + time;
  if (!context.empty()) text += " (" + context + ")";
  return text + "\n";
}

std::string NumberCell(const XmlElement& element, std::string_view attribute) {
  int64_t value;
  if (!ParseInteger(element.Get(attribute), &value) || value < 0) return "-";
  return std::to_string(value);
}

std::string ControlTable(const ResponseDocument& doc) {
  std::vector<std::vector<std::string>> rows;
  for (int index : ProcessItems(doc)) {
    const XmlElement& item = doc.elements[static_cast<size_t>(index)];
    int64_t priority = 0;
    std::string priority_text = "-";
    if (const std::string* raw = item.Find("priority")) {
      priority_text = ParseInteger(*raw, &priority) ? PriorityClassName(priority) : SanitizeCell(*raw);
    }
    rows.push_back({Cell(item, "PID"), priority_text, ResultWord(item.Get("nResult")), Cell(item, "ErrMsg")});
  }
  std::string out;
  if (rows.empty()) {
    out = "No targets.\n";
  } else {
    out = RenderRows({{"PID", false, 12}, {"PRIORITY", false, 0}, {"RESULT", false, 0}, {"MESSAGE", false, 0}},
                     rows, kNoLimit);
  }
  return out + Summary(doc);
}

std::string ProcessTable(const ResponseDocument& doc, size_t width, const ListView& view) {
  std::vector<std::vector<std::string>> rows;
  const size_t total = ProcessItems(doc).size();
  for (int index : ProcessItems(doc, view)) {
    const XmlElement& item = doc.elements[static_cast<size_t>(index)];
    int64_t memory;
    int64_t priority;
    rows.push_back({
        Cell(item, "PID"),
        Cell(item, "name"),
        Cell(item, "UserName"),
        NumberCell(item, "CpuUsage"),
        ParseInteger(item.Get("MemoryUsage"), &memory) ? HumanBytes(memory) : "-",
        ParseInteger(item.Get("Priority"), &priority) ? PriorityClassName(priority) : "-",
        Cell(item, "CommandLine"),
    });
  }
  std::string out = RenderRows({{"PID", true, 0},
                                {"NAME", false, 24},
                                {"USER", false, 16},
                                {"CPU%", true, 0},
                                {"MEMORY", true, 0},
                                {"PRIORITY", false, 0},
                                {"COMMAND", false, 0}},
                               rows, width);
  if (rows.size() != total) out += std::to_string(rows.size()) + " of ";
  out += std::to_string(total) + (total == 1 ? " process\n" : " processes\n");
  return out + Summary(doc);
}

std::string ModuleTable(const ResponseDocument& doc) {
  std::string out;
  std::vector<int> items = ProcessItems(doc);
  for (int index : items) {
    const XmlElement& item = doc.elements[static_cast<size_t>(index)];
    std::vector<std::vector<std::string>> rows;
    for (int module : doc.Children(index, "ModuleItem")) {
      const XmlElement& m = doc.elements[static_cast<size_t>(module)];
      rows.push_back({Cell(m, "name"), Cell(m, "Path"), Cell(m, "ModifyTime")});
    }
    out += "PID " + Cell(item, "PID");
    if (rows.empty()) {
      out += ": no modules\n";
      continue;
    }
    out += ": " + std::to_string(rows.size()) + (rows.size() == 1 ? " module\n" : " modules\n");
    out += RenderRows({{"NAME", false, 32}, {"PATH", false, 0}, {"MODIFIED", false, 0}}, rows, kNoLimit, "  ");
  }
  if (items.empty()) out += "No processes.\n";
  return out + Summary(doc);
}

}  // namespace

std::string HumanBytes(int64_t bytes) {
  if (bytes < 0) return "-";
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  size_t unit = 0;
  // Move up a unit also when rounding to one decimal would show 1024.0.
  while (value >= 1023.95 && unit + 1 < sizeof(kUnits) / sizeof(kUnits[0])) {
    value /= 1024.0;
    ++unit;
  }
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%.1f %s", value, kUnits[unit]);
  return buffer;
}

size_t ChooseWidth(int terminal_columns, const char* columns_env) {
  if (terminal_columns > 0) return static_cast<size_t>(terminal_columns);
  int64_t columns;
  if (columns_env != nullptr && ParseInteger(columns_env, &columns) && columns > 0 && columns < 100000) {
    return static_cast<size_t>(columns);
  }
  return 120;
}

bool ParseInteger(std::string_view text, int64_t* value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i >= text.size()) return false;
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
    if (magnitude > (1ULL << 62)) return false;
  }
  *value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

bool ParseSortKey(std::string_view text, SortKey* key) {
  if (text == "cpu") *key = SortKey::kCpu;
  else if (text == "memory") *key = SortKey::kMemory;
  else if (text == "pid") *key = SortKey::kPid;
  else if (text == "name") *key = SortKey::kName;
  else return false;
  return true;
}

std::vector<int> ProcessItems(const ResponseDocument& doc, const ListView& view) {
  int detail = doc.Child(0, "detail");
  std::vector<int> items = detail < 0 ? std::vector<int>() : doc.Children(detail, "ProcessItem");
  auto element = [&](int index) -> const XmlElement& { return doc.elements[static_cast<size_t>(index)]; };
  // A numeric key: (has no number, value) so that records without a number
  // go last in either direction.
  auto number = [&](int index, std::string_view attribute, bool descending) {
    int64_t value;
    if (!ParseInteger(element(index).Get(attribute), &value)) return std::make_pair(true, int64_t{0});
    return std::make_pair(false, descending ? -value : value);
  };
  switch (view.sort) {
    case SortKey::kNone:
      break;
    case SortKey::kCpu:
    case SortKey::kMemory:
    case SortKey::kPid: {
      const char* attribute = view.sort == SortKey::kCpu      ? "CpuUsage"
                              : view.sort == SortKey::kMemory ? "MemoryUsage"
                                                              : "PID";
      const bool descending = view.sort != SortKey::kPid;
      std::vector<std::pair<std::pair<bool, int64_t>, int>> keyed;
      keyed.reserve(items.size());
      for (int index : items) keyed.emplace_back(number(index, attribute, descending), index);
      std::stable_sort(keyed.begin(), keyed.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      for (size_t i = 0; i < keyed.size(); ++i) items[i] = keyed[i].second;
      break;
    }
    case SortKey::kName:
      std::stable_sort(items.begin(), items.end(),
                       [&](int a, int b) { return element(a).Get("name") < element(b).Get("name"); });
      break;
  }
  if (view.top != 0 && items.size() > view.top) items.resize(view.top);
  return items;
}

std::string FormatTable(const ResponseDocument& doc, size_t width, const ListView& view) {
  if (doc.elements.empty()) return "Empty response.\n";
  const std::string& root = doc.elements[0].name;
  if (root == "Response") {
    int result = doc.Child(0, "Result");
    std::string message = result < 0 ? "" : Cell(doc.elements[static_cast<size_t>(result)], "ErrMsg");
    return "The library could not read the command file: " + message + "\n" + Summary(doc);
  }
  if (root == "ZEV_GetProcessList_KLVResponse") return ProcessTable(doc, width, view);
  if (root == "ZEV_GetProcessModule_KLVResponse") return ModuleTable(doc);
  return ControlTable(doc);
}

}  // namespace kelvanectl
