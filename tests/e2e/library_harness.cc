#include "e2e/library_harness.h"

#include <dlfcn.h>

#include <filesystem>
#include <regex>

#include "common/text.h"

namespace kelvane {
namespace testing {

namespace {
std::u16string Wide(const std::string& utf8) { return Utf8ToUtf16(utf8); }
}  // namespace

LoadedLibrary::LoadedLibrary(const std::string& messageTable) {
  namespace fs = std::filesystem;
  std::string copy = dir_.File("libkelvane.so");
  fs::copy_file(KELVANE_LIBRARY_PATH, copy);
  if (!messageTable.empty()) {
    fs::create_directories(dir_.File("common/config"));
    WriteBytes(dir_.File("common/config/Resource.ini"), messageTable);
  }
  handle_ = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ != nullptr) invoke_ = reinterpret_cast<RemoteInvoke>(dlsym(handle_, "ZEV_RemoteInvoke"));
}

LoadedLibrary::~LoadedLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

void* LoadedLibrary::Symbol(const char* name) const {
  return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

LoadedLibrary::Outcome LoadedLibrary::Run(const std::string& requestXml) {
  ++counter_;
  std::string request = dir_.File("request" + std::to_string(counter_) + ".xml");
  std::string result = dir_.File("result" + std::to_string(counter_) + ".xml");
  WriteBytes(request, requestXml);
  return RunFile(request, result);
}

LoadedLibrary::Outcome LoadedLibrary::RunFile(const std::string& requestPath,
                                              const std::string& resultPath) {
  Outcome outcome;
  std::filesystem::remove(resultPath);
  outcome.code = invoke_(Wide(requestPath).c_str(), Wide(resultPath).c_str());
  outcome.written = FileExists(resultPath);
  if (outcome.written) {
    outcome.bytes = ReadBytes(resultPath);
    outcome.text = MaskDateTimes(ReadUtf16File(resultPath));
  }
  return outcome;
}

std::string MaskDateTimes(const std::string& text) {
  static const std::regex kDateTime("DateTime=\"[0-9]{4,}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\"");
  return std::regex_replace(text, kDateTime, "DateTime=\"T\"");
}

std::string MakeRequest(const std::string& command, const std::vector<std::string>& pids,
                        const std::string& extraAttributes) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<request name=\"" + command + "\">\n";
  for (const std::string& pid : pids) {
    xml += "  <procid PID=\"" + pid + "\"" + (extraAttributes.empty() ? "" : " " + extraAttributes) + "/>\n";
  }
  xml += "</request>\n";
  return xml;
}

}  // namespace testing
}  // namespace kelvane
