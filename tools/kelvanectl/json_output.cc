#include "json_output.h"

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

#include "request.h"

namespace kelvanectl {

namespace {

// Keys stay in the order they are written, so the output reads like the
// documentation.
using Json = nlohmann::ordered_json;

const XmlElement& At(const ResponseDocument& doc, int index) { return doc.elements[static_cast<size_t>(index)]; }

Json Text(const XmlElement& element, std::string_view attribute) {
  const std::string* value = element.Find(attribute);
  return value != nullptr ? Json(*value) : Json(nullptr);
}

Json Number(const XmlElement& element, std::string_view attribute) {
  int64_t value;
  const std::string* text = element.Find(attribute);
  if (text == nullptr || !ParseInteger(*text, &value)) return nullptr;
  return value;
}

// A priority class constant as {"class": name, "value": constant}; null
// when there is none (absent, 0 or -1: no class).
Json Priority(const XmlElement& element, std::string_view attribute) {
  int64_t value;
  const std::string* text = element.Find(attribute);
  if (text == nullptr || !ParseInteger(*text, &value) || value == 0 || value == -1) return nullptr;
  Json priority;
  priority["class"] = PriorityClassName(value);
  priority["value"] = value;
  return priority;
}

Json Modules(const ResponseDocument& doc, int item) {
  Json modules = Json::array();
  for (int index : doc.Children(item, "ModuleItem")) {
    const XmlElement& m = At(doc, index);
    Json module;
    module["name"] = Text(m, "name");
    module["path"] = Text(m, "Path");
    module["publisher"] = Text(m, "Publisher");
    module["description"] = Text(m, "Descript");
    module["productVersion"] = Text(m, "ProductVersion");
    module["modifyTime"] = Text(m, "ModifyTime");
    modules.push_back(std::move(module));
  }
  return modules;
}

Json Process(const ResponseDocument& doc, int index) {
  const XmlElement& p = At(doc, index);
  Json process;
  process["pid"] = Number(p, "PID");
  process["name"] = Text(p, "name");
  process["path"] = Text(p, "Path");
  process["commandLine"] = Text(p, "CommandLine");
  process["user"] = Text(p, "UserName");
  process["cpu"] = Number(p, "CpuUsage");
  process["memory"] = Number(p, "MemoryUsage");
  process["priority"] = Priority(p, "Priority");
  process["fileSize"] = Number(p, "FileSize");
  process["publisher"] = Text(p, "Publisher");
  process["description"] = Text(p, "Descript");
  process["productVersion"] = Text(p, "ProductVersion");
  process["fileVersion"] = Text(p, "FileVersion");
  process["modules"] = Modules(doc, index);
  return process;
}

Json Target(const XmlElement& t) {
  Json target;
  int64_t pid;
  const std::string* pid_text = t.Find("PID");
  if (pid_text != nullptr && ParseInteger(*pid_text, &pid)) {
    target["pid"] = pid;
  } else {
    target["pid"] = Text(t, "PID");
  }
  target["priority"] = Priority(t, "priority");
  target["result"]["code"] = Number(t, "nResult");
  target["result"]["message"] = Text(t, "ErrMsg");
  return target;
}

std::string Dump(const Json& json) {
  // Replacing rather than throwing: the texts come decoded from UTF-16 and
  // are valid UTF-8, but no input may make the output invalid.
  return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string FormatJson(const ResponseDocument& doc, int code, const ListView& view) {
  Json out;
  if (doc.elements.empty()) return FormatJsonWithoutResponse("", code);
  const std::string& root = doc.elements[0].name;
  int result_index = doc.Child(0, "Result");
  const XmlElement empty;
  const XmlElement& result = result_index < 0 ? empty : At(doc, result_index);
  out["command"] = Text(result, "cmdName");
  if (root == "ZEV_GetProcessList_KLVResponse") {
    Json processes = Json::array();
    for (int index : ProcessItems(doc, view)) processes.push_back(Process(doc, index));
    out["processes"] = std::move(processes);
  } else if (root == "ZEV_GetProcessModule_KLVResponse") {
    Json processes = Json::array();
    for (int index : ProcessItems(doc)) {
      Json process;
      process["pid"] = Number(At(doc, index), "PID");
      process["modules"] = Modules(doc, index);
      processes.push_back(std::move(process));
    }
    out["processes"] = std::move(processes);
  } else if (root != "Response") {
    Json targets = Json::array();
    for (int index : ProcessItems(doc)) targets.push_back(Target(At(doc, index)));
    out["targets"] = std::move(targets);
  }
  out["result"]["code"] = code;
  out["result"]["message"] = Text(result, "ErrMsg");
  out["result"]["dateTime"] = Text(result, "DateTime");
  return Dump(out);
}

std::string FormatJsonWithoutResponse(std::string_view command, int code) {
  Json out;
  out["command"] = command.empty() ? Json(nullptr) : Json(std::string(command));
  out["result"]["code"] = code;
  out["result"]["message"] = nullptr;
  out["result"]["dateTime"] = nullptr;
  return Dump(out);
}

std::string FormatJsonVersion(std::string_view version) {
  Json out;
  out["name"] = "kelvanectl";
  out["version"] = std::string(version);
  return Dump(out);
}

}  // namespace kelvanectl
