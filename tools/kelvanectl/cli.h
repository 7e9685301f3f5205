// The kelvanectl command line: argument parsing, help texts and running a
// subcommand against the library.
#ifndef KELVANECTL_CLI_H_
#define KELVANECTL_CLI_H_

#include <string>
#include <vector>

#include "metrics.h"
#include "table.h"

namespace kelvanectl {

// Exit statuses of the program.
constexpr int kExitSuccess = 0;        // result code 0
constexpr int kExitTargetFailed = 1;   // result code 1
constexpr int kExitFailed = 2;         // result code -1 (or any other value)
constexpr int kExitNoLibrary = 3;      // library not loadable or entry point missing
constexpr int kExitUsage = 64;         // bad command line
constexpr int kExitIoError = 74;       // temporary or request file could not be written
constexpr int kExitUntrustedLibrary = 77;  // as root, a --library others could have written

struct Options {
  std::string subcommand;             // empty: no subcommand given
  std::vector<std::string> operands;  // after the subcommand, in order
  std::string library;                // --library PATH; empty: beside the executable
  std::string out;                    // --out FILE; empty: temporary file
  bool table = false;                 // --table
  bool json = false;                  // --json
  ListView view;                      // list --sort KEY --top N
  GroupBy group_by = GroupBy::kNameUser;  // metrics --group-by
  std::string textfile;               // metrics --textfile DIR; empty: standard output
  bool help = false;                  // --help / -h
  bool version = false;               // --version
};

// Parses the arguments (program name excluded). Options may stand anywhere;
// "--" ends them. A single-dash argument other than "-h" is an operand, so
// "stop -1" passes the id "-1" on. Checks the operand count of each
// subcommand. --table and --json exclude each other; --sort and --top
// belong to list, --group-by and --textfile to metrics. False with a
// message in *error for a usage error.
bool ParseArguments(const std::vector<std::string>& args, Options* options, std::string* error);

// The exit status for a result code of the library.
int ExitStatusForResult(int result_code);

// Help for one subcommand, or the overview for an empty name; empty text for
// an unknown name.
std::string HelpText(const std::string& subcommand);

// The library paths tried when no --library is given, in order, for a
// program in directory `program_directory`: the installed layout's
// ../lib/kelvane/NAME, then NAME beside the program (the build tree's and
// the Windows deployment's layout).
std::vector<std::string> DefaultLibraryPaths(const std::string& program_directory);

// Runs the program: parses `args`, prints to standard output / error, and
// returns the exit status.
int RunProgram(const std::vector<std::string>& args);

}  // namespace kelvanectl

#endif  // KELVANECTL_CLI_H_
