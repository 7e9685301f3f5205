// A stand-in for the library, for testing the kelvanectl host: it exports
// ZEV_RemoteInvoke, answers with a canned response chosen by the command
// name in the command file, and returns the code named by the environment.
//
//   KELVANE_FAKE_CODE    the result code to return (default 0)
//   KELVANE_FAKE_SILENT  when set, no response file is written
//   KELVANE_FAKE_LOG     when set, the file receives "request=PATH",
//                        "result=PATH" and the command file's text
//   KELVANE_FAKE_RAISE   when set, the call raises SIGINT in the calling
//                        process (as a person's Ctrl+C would) after writing
//   KELVANE_FAKE_LIST    when set, the file whose UTF-8 text answers the
//                        process list instead of the canned one
//
// Unknown command names write nothing and return -1, as the library does.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "fixtures.h"
#include "kelvane/plugin.h"
#include "tool_test_util.h"
#include "utf.h"

namespace {

// The raw (still escaped) value of `name="..."` in `tag`, or nullptr-like
// empty flag through *found.
std::string Attribute(const std::string& tag, const std::string& name, bool* found) {
  std::string key = " " + name + "=\"";
  size_t start = tag.find(key);
  *found = start != std::string::npos;
  if (!*found) return {};
  start += key.size();
  return tag.substr(start, tag.find('"', start) - start);
}

// Echoes the targets of a control request, all succeeding.
std::string ControlResponse(const std::string& command, const std::string& request, const std::string& ok) {
  std::string doc = "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><" + command +
                    "Response>\r\n<detail>\r\n";
  size_t pos = 0;
  while ((pos = request.find("<procid", pos)) != std::string::npos) {
    std::string tag = request.substr(pos, request.find('>', pos) - pos);
    bool found;
    std::string pid = Attribute(tag, "PID", &found);
    std::string priority = Attribute(tag, "priority", &found);
    if (!found) priority = "-1";
    doc += "<ProcessItem PID=\"" + pid + "\"" + (priority != "0" ? " priority=\"" + priority + "\"" : "") +
           " nResult=\"0\" ErrMsg=\"" + ok + "\"/>\r\n";
    pos += 7;
  }
  doc += "</detail>\r\n<Result cmdName=\"" + command +
         "\" DateTime=\"2009-07-27 14:05:09\" nResult=\"0\" ErrMsg=\"" + ok + "\"/>\r\n</" + command +
         "Response>\r\n";
  return doc;
}

}  // namespace

extern "C" KELVANE_EXPORT int ZEV_RemoteInvoke(const char16_t* requestFile, const char16_t* resultFile) {
  if (requestFile == nullptr || resultFile == nullptr) return -1;
  std::string request_path = kelvanectl::Utf16ToUtf8(requestFile);
  std::string result_path = kelvanectl::Utf16ToUtf8(resultFile);
  std::string request = kelvane_tool_test::ReadFile(request_path);

  if (const char* log = std::getenv("KELVANE_FAKE_LOG")) {
    std::ofstream out(log, std::ios::binary | std::ios::trunc);
    out << "request=" << request_path << "\nresult=" << result_path << "\n" << request;
  }
  const char* code_text = std::getenv("KELVANE_FAKE_CODE");
  int code = code_text != nullptr ? std::atoi(code_text) : 0;

  bool found;
  std::string command = Attribute(request.substr(0, request.find('>', request.find("<request"))), "name", &found);
  std::string response;
  if (request.find("<request") == std::string::npos) {
    response = kelvane_tool_fixtures::kErrorExample;
    code = -1;
  } else if (command == "ZEV_StopProcess_KLV") {
    response = kelvane_tool_fixtures::kStopExample;
  } else if (command == "ZEV_StopProcessTree_KLV") {
    response = ControlResponse(command, request, "TerminateProcTreeSuccessed");
  } else if (command == "ZEV_SetProcessPriority_KLV") {
    response = ControlResponse(command, request, "SetPRISuccessed");
  } else if (command == "ZEV_GetProcessModule_KLV") {
    response = kelvane_tool_fixtures::kModuleExample;
  } else if (command == "ZEV_GetProcessList_KLV") {
    const char* list = std::getenv("KELVANE_FAKE_LIST");
    response = list != nullptr ? kelvane_tool_test::ReadFile(list) : kelvane_tool_fixtures::kProcessList;
  } else {
    return -1;
  }
  if (std::getenv("KELVANE_FAKE_SILENT") != nullptr) return code;

  const std::string bytes = kelvane_tool_test::Utf16Bytes(response);
  std::FILE* file = std::fopen(result_path.c_str(), "wb");
  if (file == nullptr) return code;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  if (std::getenv("KELVANE_FAKE_RAISE") != nullptr) std::raise(SIGINT);
  return code;
}
