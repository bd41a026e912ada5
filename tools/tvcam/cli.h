// tvcam's command dispatch: a table of subcommands, `tvcam help`,
// `tvcam help <cmd>` and `tvcam <cmd> --help`. The table itself is in
// main.cpp; each command's handler lives in its own cmd_*.cpp.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include <string>

namespace tvcam {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the command ran and failed
constexpr int kExitUsage = 2;    // bad command line

// A handler gets the arguments after the command name.
using command_handler = int (*)(int argc, char** argv, FILE* out, FILE* err);

struct command {
  const char* name;
  const char* summary;  // one line for the command list
  const char* usage;    // full help: synopsis line, then options
  command_handler handler;
};

// Runs tvcam with its whole command line (argv[0] is the program).
int run_cli(const command* commands, size_t count, int argc, char** argv, FILE* out, FILE* err);

// Reports a bad command line of `command_name` on `err`; returns kExitUsage.
int usage_error(FILE* err, const char* command_name, const std::string& message);

}  // namespace tvcam
