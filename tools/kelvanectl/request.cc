#include "request.h"

#include "utf.h"

namespace kelvanectl {

namespace {

struct PriorityClass {
  const char* name;
  int32_t value;
};

constexpr PriorityClass kClasses[] = {
    {"idle", 64},   {"below-normal", 16384}, {"normal", 32},
    {"above-normal", 32768}, {"high", 128},  {"realtime", 256},
};

}  // namespace

std::string EscapeAttribute(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp = NextCodePoint(text, &pos);
    switch (cp) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      case '\t': out += "&#9;"; break;
      case '\n': out += "&#10;"; break;
      case '\r': out += "&#13;"; break;
      default:
        if (cp < 0x20 || cp == 0xFFFE || cp == 0xFFFF) cp = 0xFFFD;
        AppendUtf8(&out, cp);
    }
  }
  return out;
}

std::string BuildRequestDocument(std::string_view command, const std::vector<RequestTarget>& targets) {
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<request name=\"";
  doc += EscapeAttribute(command);
  doc += "\">\n";
  for (const RequestTarget& target : targets) {
    doc += "<procid PID=\"" + EscapeAttribute(target.pid) + "\"";
    if (target.has_priority) doc += " priority=\"" + std::to_string(target.priority) + "\"";
    doc += "/>\n";
  }
  doc += "</request>\n";
  return doc;
}

bool ParsePriorityClass(std::string_view text, int32_t* value) {
  if (text.empty()) return false;
  if (text.find_first_not_of("0123456789") == std::string_view::npos) {
    int64_t number = 0;
    for (char c : text) {
      number = number * 10 + (c - '0');
      if (number > INT32_MAX) return false;
    }
    *value = static_cast<int32_t>(number);
    return true;
  }
  std::string normal;
  for (char c : text) {
    if (c == '_') c = '-';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    normal.push_back(c);
  }
  for (const PriorityClass& cls : kClasses) {
    if (normal == cls.name) {
      *value = cls.value;
      return true;
    }
  }
  return false;
}

std::string PriorityClassName(int64_t value) {
  if (value == 0 || value == -1) return "-";
  for (const PriorityClass& cls : kClasses) {
    if (value == cls.value) return cls.name;
  }
  return std::to_string(value);
}

}  // namespace kelvanectl
