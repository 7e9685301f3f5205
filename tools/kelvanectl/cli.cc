#include "cli.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "host_os.h"
#include "json_output.h"
#include "kelvane/plugin.h"
#include "kelvane/version.h"
#include "metrics.h"
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
     "usage: kelvanectl invoke REQUEST RESULT [--json] [--library PATH]\n"
     "\n"
     "Calls the library's entry point with a command file you wrote yourself and\n"
     "the path of the response file, and prints the result code (0, 1 or -1).\n"
     "The response file is left where the library wrote it. With --json: the\n"
     "response file as JSON (see 'kelvanectl --help').\n"
     "\n"
     "example:\n"
     "  kelvanectl invoke request.xml response.xml\n"},
    {"stop", "ZEV_StopProcess_KLV",
     "usage: kelvanectl stop PID... [--table | --json] [--out FILE] [--library PATH]\n"
     "\n"
     "Stops each process immediately. Ids are passed to the library exactly as\n"
     "given; a target that cannot be stopped is reported and the others go on.\n"
     "\n"
     "example:\n"
     "  kelvanectl stop 4711 4712 --table\n"},
    {"stop-tree", "ZEV_StopProcessTree_KLV",
     "usage: kelvanectl stop-tree PID... [--table | --json] [--out FILE] [--library PATH]\n"
     "\n"
     "Stops each process together with its direct children (grandchildren keep\n"
     "running).\n"
     "\n"
     "example:\n"
     "  kelvanectl stop-tree 4711\n"},
    {"priority", "ZEV_SetProcessPriority_KLV",
     "usage: kelvanectl priority PID CLASS [--table | --json] [--out FILE] [--library PATH]\n"
     "\n"
     "Sets the priority class of a process. CLASS is a name or its constant:\n"
     "  idle (64), below-normal (16384), normal (32), above-normal (32768),\n"
     "  high (128), realtime (256)\n"
     "\n"
     "example:\n"
     "  kelvanectl priority 4711 below-normal\n"},
    {"list", "ZEV_GetProcessList_KLV",
     "usage: kelvanectl list [--table | --json] [--sort KEY] [--top N] [--out FILE]\n"
     "                       [--library PATH]\n"
     "\n"
     "Lists every running process with its command line, owner, CPU usage,\n"
     "memory, image facts, priority class and loaded modules. With --table: one\n"
     "line per process (pid, name, user, CPU %, memory, priority class, command\n"
     "line cut to the terminal width). With --json: every field of every process.\n"
     "\n"
     "  --sort KEY  order the processes by cpu or memory (largest first), pid or\n"
     "              name (smallest first); ties keep the library's order\n"
     "  --top N     show only the first N processes (by CPU when --sort is not\n"
     "              given)\n"
     "\n"
     "example:\n"
     "  kelvanectl list --table --sort memory --top 10\n"},
    {"modules", "ZEV_GetProcessModule_KLV",
     "usage: kelvanectl modules PID... [--table | --json] [--out FILE] [--library PATH]\n"
     "\n"
     "Lists the loaded modules of each process. With --table: per process the\n"
     "module name, path and modification time.\n"
     "\n"
     "example:\n"
     "  kelvanectl modules 4711 --table\n"},
    {"metrics", "ZEV_GetProcessList_KLV",
     "usage: kelvanectl metrics [--group-by name|user|none] [--textfile DIR] [--out FILE]\n"
     "                          [--library PATH]\n"
     "\n"
     "Lists every process once and prints the listing in the Prometheus text\n"
     "format (0.0.4): per group of processes kelvane_process_cpu_percent,\n"
     "kelvane_process_resident_memory_bytes, kelvane_processes and\n"
     "kelvane_process_modules; for the listing kelvane_listing_success,\n"
     "kelvane_listing_duration_seconds and kelvane_listing_timestamp_seconds.\n"
     "\n"
     "  --group-by KEY  one series per name and user (the default, name,user),\n"
     "                  per name, per user, or per process (none: with a pid\n"
     "                  label)\n"
     "  --textfile DIR  write DIR/kelvane.prom as a whole (a temporary file in DIR\n"
     "                  renamed over it) for node_exporter's textfile collector\n"
     "                  instead of printing\n"
     "\n"
     "exit status: 0 when the listing succeeded, 2 when it did not (the output\n"
     "then says kelvane_listing_success 0), 74 when DIR/kelvane.prom cannot be\n"
     "written.\n"
     "\n"
     "example:\n"
     "  kelvanectl metrics --textfile /var/lib/prometheus/node-exporter\n"},
    {"help", nullptr,
     "usage: kelvanectl help [SUBCOMMAND]\n"
     "\n"
     "Explains a subcommand.\n"
     "\n"
     "example:\n"
     "  kelvanectl help priority\n"},
};

const char kOverview[] =
    "usage: kelvanectl SUBCOMMAND [ARGS...] [--table | --json] [--out FILE] [--library PATH]\n"
    "       kelvanectl --version\n"
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
    "  metrics               the process list for Prometheus, per name and user\n"
    "  invoke REQUEST RESULT call the library with your own command file\n"
    "  help [SUBCOMMAND]     explain a subcommand\n"
    "\n"
    "options:\n"
    "  --table         print a compact table instead of the response text\n"
    "  --json          print the response as JSON (lower-camel keys: pid, name,\n"
    "                  path, commandLine, user, cpu, memory, priority, ..., and\n"
    "                  result with code and message)\n"
    "  --out FILE      have the library write its UTF-16 response to FILE and\n"
    "                  keep it (otherwise a temporary file is used and removed)\n"
    "  --library PATH  the library to load (default: ../lib/kelvane/libkelvane.so\n"
    "                  from this program's directory when it is there, as\n"
    "                  installed, else libkelvane.so beside this program); as\n"
    "                  root it must be owned by root and writable by no one\n"
    "                  else, and so must every directory above it\n"
    "  --version       the version of kelvanectl\n"
    "  --help          this text; 'kelvanectl help SUBCOMMAND' for one subcommand\n"
    "\n"
    "exit status: the library's result code: 0 the command succeeded, 1 it\n"
    "failed for at least one target, 2 it failed otherwise; also 3 the library\n"
    "could not be loaded, 64 usage error, 74 a local file could not be written,\n"
    "77 as root, a --library file or directory others could write was refused.\n"
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

bool CheckOperands(const Options& o, bool view_given, bool metrics_given, std::string* error) {
  const std::string& s = o.subcommand;
  size_t n = o.operands.size();
  if (o.table && o.json) return *error = "--table and --json exclude each other", false;
  if (view_given && s != "list") return *error = "--sort and --top belong to list", false;
  if (metrics_given && s != "metrics") return *error = "--group-by and --textfile belong to metrics", false;
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
  } else if (s == "metrics") {
    if (n != 0) return *error = "metrics takes no operands", false;
    if (o.table || o.json) return *error = "metrics takes neither --table nor --json", false;
  } else if (s == "help") {
    if (o.json) return *error = "help takes no --json", false;
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

// Loads the library and finds its entry point; 0, or the exit status of
// the failure (already reported).
int LoadEntryPoint(const Options& o, DynamicLibrary* library, RemoteInvokeFunction* entry) {
  std::string path = o.library;
  std::string error;
  if (!path.empty()) {
    // A library named on the command line is checked before a program
    // running as root loads it. The default one lies beside this program
    // (or in its installed layout): whoever could replace it could replace
    // the program itself, so checking it would add nothing.
    std::string load_path;
    switch (CheckLibraryTrust(path, &load_path, &error)) {
      case LibraryTrust::kTrusted:
        path = load_path;
        break;
      case LibraryTrust::kUnreadable:
        PrintError("cannot load the library: " + error);
        return kExitNoLibrary;
      case LibraryTrust::kUntrusted:
        PrintError(error);
        return kExitUntrustedLibrary;
    }
  } else {
    // The first that exists; the last (beside the program) names the
    // library in the error when none does.
    std::vector<std::string> candidates = DefaultLibraryPaths(ExecutableDirectory());
    path = candidates.back();
    for (const std::string& candidate : candidates) {
      if (FileExists(candidate)) {
        path = candidate;
        break;
      }
    }
  }
  if (!library->Load(path, &error)) {
    PrintError("cannot load the library: " + error);
    return kExitNoLibrary;
  }
  void* symbol = library->Symbol("ZEV_RemoteInvoke", &error);
  if (symbol == nullptr) {
    PrintError("the library " + path + " has no entry point ZEV_RemoteInvoke: " + error);
    return kExitNoLibrary;
  }
  *entry = reinterpret_cast<RemoteInvokeFunction>(symbol);
  return 0;
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

// A call that left no response file: said on the error output, and with
// --json a document with the result code alone on standard output.
void ReportNoResponse(const Options& o, const std::string& command, int code) {
  PrintError("the library wrote no response (result code " + std::to_string(code) +
             "); it writes none for a command it does not know or a result path it cannot use");
  if (o.json) Print(FormatJsonWithoutResponse(command, code));
}

// Shows the response as --table, --json or text say. `command` is the
// library's command name (empty for invoke); `code` the call's result code.
void ShowResponse(const Options& o, const std::string& command, int code, const std::string& bytes) {
  if (!o.table && !o.json) {
    PrintReadable(bytes);
    return;
  }
  ResponseDocument doc;
  std::string error;
  if (!ParseResponse(bytes, &doc, &error)) {
    if (o.json) {
      PrintError("cannot read the response (" + error + ")");
      Print(FormatJsonWithoutResponse(command, code));
      return;
    }
    PrintError("cannot read the response (" + error + "); here is its text:");
    PrintReadable(bytes);
    return;
  }
  if (o.json) {
    Print(FormatJson(doc, code, o.view));
    return;
  }
  const char* columns = std::getenv("COLUMNS");
  Print(FormatTable(doc, ChooseWidth(TerminalColumns(), columns), o.view));
}

// The response file at `path` shown as ShowResponse does; a missing file is
// reported on the error output (and as a JSON result without a message).
void ShowResponseFile(const Options& o, const std::string& command, int code, const std::string& path) {
  std::string bytes;
  std::string error;
  if (!ReadWholeFile(path, &bytes, &error)) {
    ReportNoResponse(o, command, code);
    return;
  }
  ShowResponse(o, command, code, bytes);
}

// The metrics of a listing, printed or written into the --textfile
// directory. A listing that failed, or whose response is missing or
// unreadable, still gives the listing families (kelvane_listing_success 0),
// so that a scrape sees the failure; the exit status is then 2.
int ShowMetrics(const Options& o, int code, const std::string* bytes, ListingFacts facts) {
  ResponseDocument doc;
  std::string error;
  bool read = false;
  if (bytes == nullptr) {
    ReportNoResponse(o, "ZEV_GetProcessList_KLV", code);
  } else if (!(read = ParseResponse(*bytes, &doc, &error))) {
    PrintError("cannot read the response (" + error + ")");
  }
  facts.succeeded = code == 0 && read;
  const std::string text = FormatMetrics(doc, facts, o.group_by);
  if (o.textfile.empty()) {
    Print(text);
  } else if (!ReplaceFileInDirectory(o.textfile, kTextfileName, text, &error)) {
    PrintError(error);
    return kExitIoError;
  }
  return facts.succeeded ? kExitSuccess : kExitFailed;
}

int RunCommand(const Options& o, const Subcommand& sub) {
  DynamicLibrary library;
  RemoteInvokeFunction entry = nullptr;
  const int load_status = LoadEntryPoint(o, &library, &entry);
  if (load_status != 0) return load_status;

  if (sub.command == nullptr) {  // invoke
    int code = Call(entry, o.operands[0], o.operands[1]);
    if (o.json) {
      ShowResponseFile(o, "", code, o.operands[1]);
    } else {
      Print(std::to_string(code) + "\n");
    }
    return ExitStatusForResult(code);
  }

  int code;
  std::string bytes;
  bool have_response;
  std::string result_path;
  ListingFacts facts;
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
    const auto started = std::chrono::steady_clock::now();
    code = Call(entry, request_path, result_path);
    facts.duration_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    facts.timestamp_seconds =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    have_response = ReadWholeFile(result_path, &bytes, &error);
  }
  if (o.subcommand == "metrics") return ShowMetrics(o, code, have_response ? &bytes : nullptr, facts);
  if (!have_response) {
    ReportNoResponse(o, sub.command, code);
  } else {
    ShowResponse(o, sub.command, code, bytes);
  }
  return ExitStatusForResult(code);
}

}  // namespace

bool ParseArguments(const std::vector<std::string>& args, Options* o, std::string* error) {
  *o = Options();
  bool options_done = false;
  bool view_given = false;
  bool metrics_given = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && (arg == "--help" || arg == "-h")) {
      o->help = true;
    } else if (!options_done && arg == "--table") {
      o->table = true;
    } else if (!options_done && arg == "--json") {
      o->json = true;
    } else if (!options_done && arg == "--version") {
      o->version = true;
    } else if (!options_done && IsOption(arg, "--sort")) {
      std::string key;
      if (!TakeValue(args, &i, "--sort", &key, error)) return false;
      if (!ParseSortKey(key, &o->view.sort)) {
        *error = "unknown sort key '" + key + "' (cpu, memory, pid or name)";
        return false;
      }
      view_given = true;
    } else if (!options_done && IsOption(arg, "--top")) {
      std::string count;
      int64_t value;
      if (!TakeValue(args, &i, "--top", &count, error)) return false;
      if (!ParseInteger(count, &value) || value < 1 || count[0] == '+') {
        *error = "--top needs a positive whole number, not '" + count + "'";
        return false;
      }
      o->view.top = static_cast<size_t>(value);
      view_given = true;
    } else if (!options_done && IsOption(arg, "--group-by")) {
      std::string key;
      if (!TakeValue(args, &i, "--group-by", &key, error)) return false;
      if (!ParseGroupBy(key, &o->group_by)) {
        *error = "unknown grouping '" + key + "' (name,user, name, user or none)";
        return false;
      }
      metrics_given = true;
    } else if (!options_done && IsOption(arg, "--textfile")) {
      if (!TakeValue(args, &i, "--textfile", &o->textfile, error)) return false;
      metrics_given = true;
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
  if (o->help || (o->version && o->subcommand.empty())) return true;
  // --top alone shows the busiest processes.
  if (o->view.top != 0 && o->view.sort == SortKey::kNone) o->view.sort = SortKey::kCpu;
  if (o->subcommand.empty()) {
    *error = "no subcommand given";
    return false;
  }
  return CheckOperands(*o, view_given, metrics_given, error);
}

int ExitStatusForResult(int result_code) {
  if (result_code == 0) return kExitSuccess;
  if (result_code == 1) return kExitTargetFailed;
  return kExitFailed;
}

std::vector<std::string> DefaultLibraryPaths(const std::string& program_directory) {
  const std::string name = DefaultLibraryName();
  return {JoinPath(JoinPath(JoinPath(program_directory, ".."), "lib"), JoinPath("kelvane", name)),
          JoinPath(program_directory, name)};
}

std::string HelpText(const std::string& subcommand) {
  if (subcommand.empty()) return kOverview;
  const Subcommand* s = FindSubcommand(subcommand);
  return s != nullptr ? s->help : std::string();
}

int RunProgram(const std::vector<std::string>& args) {
  PrepareConsole();
  IgnoreFileSizeSignal();
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
  if (o.version) {
    Print(o.json ? FormatJsonVersion(KELVANE_VERSION_STRING)
                 : std::string("kelvanectl ") + KELVANE_VERSION_STRING + "\n");
    return kExitSuccess;
  }
  const Subcommand* sub = FindSubcommand(o.subcommand);
  int status = RunCommand(o, *sub);
  std::fflush(stdout);
  return status;
}

}  // namespace kelvanectl
