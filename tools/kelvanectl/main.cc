// kelvanectl: runs the commands of the kelvane library for a person.
#include "cli.h"
#include "host_os.h"

int main(int argc, char** argv) {
  return kelvanectl::RunProgram(kelvanectl::ProgramArguments(argc, argv));
}
