#include "cli.h"

#include <cstdio>
#include <cstdlib>

#include "host_os.h"
#include "kelvane/plugin.h"
#include "request.h"
#include "response.h"
#include "table.h"
#include "utf.h"

namespace kelvanectl {

namespace {

// Only the type is taken from the header; the address comes from the loader.
using RemoteInvokeFunction = decltype(&ZEV_RemoteInvoke);

struct Subcommand {
  const char* name;
  const char* command;  // the library's command name; nullptr for invoke / help
  const char* help;
};

const Subcommand kSubcommands[] = {
    {"invoke", nullptr,
     "usage: kelvanectl invoke REQUEST RESULT [--library PATH]\n"
     "\n"
     "Calls the library's entry point with a command file you wrote yourself and\n"
     "the path of the response file, and prints the result code (0, 1 or -1).\n"
     "The response file is left where the library wrote it.\n"
     "\n"
     "example:\n"
     "  kelvanectl invoke request.xml response.xml\n"},
    {"stop", "ZEV_StopProcess_KLV",
     "usage: kelvanectl stop PID... [--table] [--out FILE] [--library PATH]\n"
     "\n"
     "Stops each process immediately. Ids are passed to the library exactly as\n"
     "given; a target that cannot be stopped is reported and the others go on.\n"
     "\n"
     "example:\n"
     "  kelvanectl stop 4711 4712 --table\n"},
    {"stop-tree", "ZEV_StopProcessTree_KLV",
     "usage: kelvanectl stop-tree PID... [--table] [--out FILE] [--library PATH]\n"
     "\n"
     "Stops each process together with its direct children (grandchildren keep\n"
     "running).\n"
     "\n"
     "example:\n"
     "  kelvanectl stop-tree 4711\n"},
    {"priority", "ZEV_SetProcessPriority_KLV",
     "usage: kelvanectl priority PID CLASS [--table] [--out FILE] [--library PATH]\n"
     "\n"
     "Sets the priority class of a process. CLASS is a name or its constant:\n"
     "  idle (64), below-normal (16384), normal (32), above-normal (32768),\n"
     "  high (128), realtime (256)\n"
     "\n"
     "example:\n"
     "  kelvanectl priority 4711 below-normal\n"},
    {"list", "ZEV_GetProcessList_KLV",
     "usage: kelvanectl list [--table] [--out FILE] [--library PATH]\n"
     "\n"
     "Lists every running process with its command line, owner, CPU usage,\n"
     "memory, image facts, priority class and loaded modules. With --table: one\n"
     "line per process (pid, name, user, CPU %, memory, priority class, command\n"
     "line cut to the terminal width).\n"
     "\n"
     "example:\n"
     "  kelvanectl list --table\n"},
    {"modules", "ZEV_GetProcessModule_KLV",
     "usage: kelvanectl modules PID... [--table] [--out FILE] [--library PATH]\n"
     "\n"
     "Lists the loaded modules of each process. With --table: per process the\n"
     "module name, path and modification time.\n"
     "\n"
     "example:\n"
     "  kelvanectl modules 4711 --table\n"},
    {"help", nullptr,
     "usage: kelvanectl help [SUBCOMMAND]\n"
     "\n"
     "Explains a subcommand.\n"
     "\n"
     "example:\n"
     "  kelvanectl help priority\n"},
};

const char kOverview[] =
    "usage: kelvanectl SUBCOMMAND [ARGS...] [--table] [--out FILE] [--library PATH]\n"
    "\n"
    "Runs a command of the kelvane process-management library and shows its\n"
    "response.\n"
    "\n"
    "subcommands:\n"
    "  list                  list every process (with --table: one line each)\n"
    "  modules PID...        list the loaded modules of processes\n"
    "  stop PID...           stop processes\n"
    "  stop-tree PID...      stop processes and their direct children\n"
    "  priority PID CLASS    set a priority class (idle, below-normal, normal,\n"
    "                        above-normal, high, realtime, or the constant)\n"
    "  invoke REQUEST RESULT call the library with your own command file\n"
    "  help [SUBCOMMAND]     explain a subcommand\n"
    "\n"
    "options:\n"
    "  --table         print a compact table instead of the response text\n"
    "  --out FILE      have the library write its UTF-16 response to FILE and\n"
    "                  keep it (otherwise a temporary file is used and removed)\n"
    "  --library PATH  the library to load (default: libkelvane.so beside this\n"
    "                  program)\n"
    "  --help          this text; 'kelvanectl help SUBCOMMAND' for one subcommand\n"
    "\n"
    "exit status: the library's result code: 0 the command succeeded, 1 it\n"
    "failed for at least one target, 2 it failed otherwise; also 3 the library\n"
    "could not be loaded, 64 usage error, 74 a local file could not be written.\n"
    "A missing response file is reported on the error output; the status still\n"
    "follows the result code, since the command itself may have been carried out.\n"
    "\n"
    "example:\n"
    "  kelvanectl list --table\n";

const Subcommand* FindSubcommand(const std::string& name) {
  for (const Subcommand& s : kSubcommands) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

bool TakeValue(const std::vector<std::string>& args, size_t* i, const std::string& option,
               std::string* value, std::string* error) {
  const std::string& arg = args[*i];
  if (arg.size() > option.size() && arg.compare(0, option.size() + 1, option + "=") == 0) {
    *value = arg.substr(option.size() + 1);
  } else if (*i + 1 < args.size()) {
    *value = args[++*i];
  } else {
    *error = option + " needs a value";
    return false;
  }
  if (value->empty()) {
    *error = option + " needs a non-empty value";
    return false;
  }
  return true;
}

bool IsOption(const std::string& arg, const char* name) {
  std::string option = name;
  return arg == option || arg.compare(0, option.size() + 1, option + "=") == 0;
}

bool CheckOperands(const Options& o, std::string* error) {
  const std::string& s = o.subcommand;
  size_t n = o.operands.size();
  if (s == "invoke") {
    if (n != 2) return *error = "invoke needs REQUEST and RESULT", false;
    if (o.table || !o.out.empty()) return *error = "invoke takes neither --table nor --out", false;
  } else if (s == "stop" || s == "stop-tree" || s == "modules") {
    if (n == 0) return *error = s + " needs at least one PID", false;
  } else if (s == "priority") {
    if (n != 2) return *error = "priority needs PID and CLASS", false;
    int32_t value;
    if (!ParsePriorityClass(o.operands[1], &value)) {
      return *error = "unknown priority class '" + o.operands[1] +
                      "' (idle, below-normal, normal, above-normal, high, realtime, or a number)",
             false;
    }
  } else if (s == "list") {
    if (n != 0) return *error = "list takes no operands", false;
  } else if (s == "help") {
    if (n > 1) return *error = "help takes at most one subcommand", false;
    if (n == 1 && FindSubcommand(o.operands[0]) == nullptr) {
      return *error = "unknown subcommand '" + o.operands[0] + "'", false;
    }
  }
  return true;
}

void Print(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// The response as text, written out piece by piece.
void PrintReadable(const std::string& bytes) { WriteReadableText(bytes, Print); }

void PrintError(const std::string& text) { std::fprintf(stderr, "kelvanectl: %s\n", text.c_str()); }

// Removes the temporary request and response files and their directory on
// every way out of a call.
class TempFiles {
 public:
  TempFiles() = default;
  ~TempFiles() {
    for (const std::string& file : files_) RemoveFile(file);
    if (!directory_.empty()) RemoveEmptyDirectory(directory_);
  }
  TempFiles(const TempFiles&) = delete;
  TempFiles& operator=(const TempFiles&) = delete;

  bool Create(std::string* error) { return MakeTempDirectory(&directory_, error); }
  // A path inside the directory, removed by the destructor.
  std::string Add(const std::string& name) {
    files_.push_back(JoinPath(directory_, name));
    return files_.back();
  }

 private:
  std::string directory_;
  std::vector<std::string> files_;
};

bool LoadEntryPoint(const Options& o, DynamicLibrary* library, RemoteInvokeFunction* entry) {
  std::string path = o.library;
  if (path.empty()) {
    std::string directory = ExecutableDirectory();
    path = JoinPath(directory, DefaultLibraryName());
  }
  std::string error;
  if (!library->Load(path, &error)) {
    PrintError("cannot load the library: " + error);
    return false;
  }
  void* symbol = library->Symbol("ZEV_RemoteInvoke", &error);
  if (symbol == nullptr) {
    PrintError("the library " + path + " has no entry point ZEV_RemoteInvoke: " + error);
    return false;
  }
  *entry = reinterpret_cast<RemoteInvokeFunction>(symbol);
  return true;
}

int Call(RemoteInvokeFunction entry, const std::string& request, const std::string& result) {
  std::u16string request16 = Utf8ToUtf16(request);
  std::u16string result16 = Utf8ToUtf16(result);
  return entry(request16.c_str(), result16.c_str());
}

std::vector<RequestTarget> TargetsOf(const Options& o) {
  std::vector<RequestTarget> targets;
  if (o.subcommand == "priority") {
    RequestTarget target;
    target.pid = o.operands[0];
    target.has_priority = true;
    ParsePriorityClass(o.operands[1], &target.priority);
    targets.push_back(target);
  } else if (o.subcommand != "list") {
    for (const std::string& pid : o.operands) {
      RequestTarget target;
      target.pid = pid;
      targets.push_back(target);
    }
  }
  return targets;
}

void ShowResponse(const Options& o, const std::string& bytes) {
  if (!o.table) {
    PrintReadable(bytes);
    return;
  }
  ResponseDocument doc;
  std::string error;
  if (!ParseResponse(bytes, &doc, &error)) {
    PrintError("cannot read the response (" + error + "); here is its text:");
    PrintReadable(bytes);
    return;
  }
  const char* columns = std::getenv("COLUMNS");
  Print(FormatTable(doc, ChooseWidth(TerminalColumns(), columns)));
}

int RunCommand(const Options& o, const Subcommand& sub) {
  DynamicLibrary library;
  RemoteInvokeFunction entry = nullptr;
  if (!LoadEntryPoint(o, &library, &entry)) return kExitNoLibrary;

  if (sub.command == nullptr) {  // invoke
    int code = Call(entry, o.operands[0], o.operands[1]);
    Print(std::to_string(code) + "\n");
    return ExitStatusForResult(code);
  }

  int code;
  std::string bytes;
  bool have_response;
  std::string result_path;
  {
    // Declared first so that it goes last: an interrupt during the call
    // takes effect only after the temporary files are gone.
    InterruptGuard guard;
    TempFiles temp;
    std::string error;
    if (!temp.Create(&error)) {
      PrintError(error);
      return kExitIoError;
    }
    std::string request_path = temp.Add("request.xml");
    if (!WriteWholeFile(request_path, BuildRequestDocument(sub.command, TargetsOf(o)), &error)) {
      PrintError(error);
      return kExitIoError;
    }
    if (o.out.empty()) {
      result_path = temp.Add("response.xml");
    } else {
      // The library replaces the file; removing it first means a file found
      // afterwards is certainly this call's response.
      result_path = o.out;
      RemoveFile(result_path);
    }
    code = Call(entry, request_path, result_path);
    have_response = ReadWholeFile(result_path, &bytes, &error);
  }
  if (!have_response) {
    PrintError("the library wrote no response (result code " + std::to_string(code) +
               "); it writes none for a command it does not know or a result path it cannot use");
  } else {
    ShowResponse(o, bytes);
  }
  return ExitStatusForResult(code);
}

}  // namespace

bool ParseArguments(const std::vector<std::string>& args, Options* o, std::string* error) {
  *o = Options();
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && (arg == "--help" || arg == "-h")) {
      o->help = true;
    } else if (!options_done && arg == "--table") {
      o->table = true;
    } else if (!options_done && IsOption(arg, "--library")) {
      if (!TakeValue(args, &i, "--library", &o->library, error)) return false;
    } else if (!options_done && IsOption(arg, "--out")) {
      if (!TakeValue(args, &i, "--out", &o->out, error)) return false;
    } else if (!options_done && arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      *error = "unknown option " + arg;
      return false;
    } else if (o->subcommand.empty()) {
      if (FindSubcommand(arg) == nullptr) {
        *error = "unknown subcommand '" + arg + "'";
        return false;
      }
      o->subcommand = arg;
    } else {
      o->operands.push_back(arg);
    }
  }
  if (o->help) return true;
  if (o->subcommand.empty()) {
    *error = "no subcommand given";
    return false;
  }
  return CheckOperands(*o, error);
}

int ExitStatusForResult(int result_code) {
  if (result_code == 0) return kExitSuccess;
  if (result_code == 1) return kExitTargetFailed;
  return kExitFailed;
}

std::string HelpText(const std::string& subcommand) {
  if (subcommand.empty()) return kOverview;
  const Subcommand* s = FindSubcommand(subcommand);
  return s != nullptr ? s->help : std::string();
}

int RunProgram(const std::vector<std::string>& args) {
  PrepareConsole();
  Options o;
  std::string error;
  if (!ParseArguments(args, &o, &error)) {
    PrintError(error);
    std::fprintf(stderr, "Run 'kelvanectl --help' for usage.\n");
    return kExitUsage;
  }
  if (o.help || o.subcommand == "help") {
    // "help NAME" and "NAME --help" both show NAME's help; a name that is
    // not a subcommand is a usage error even when --help came with it.
    std::string topic = o.help ? o.subcommand : std::string();
    if (o.subcommand == "help" && !o.operands.empty()) topic = o.operands[0];
    const std::string text = HelpText(topic);
    if (text.empty()) {
      PrintError("unknown subcommand '" + topic + "'");
      return kExitUsage;
    }
    Print(text);
    return kExitSuccess;
  }
  const Subcommand* sub = FindSubcommand(o.subcommand);
  int status = RunCommand(o, *sub);
  std::fflush(stdout);
  return status;
}

}  // namespace kelvanectl
