// tvcam's command dispatch: a table of subcommands, each with its options
// parsed here before its handler runs, and the help CLI11 makes of the same
// table: `tvcam help` (or `tvcam --help`), `tvcam help <cmd>` and
// `tvcam <cmd> --help`. The table itself is in commands.cpp; each command's
// handler and options live in its own cmd_*.cpp.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "args.h"

namespace tvcam {

class camera_backend;

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the command ran and failed
constexpr int kExitUsage = 2;    // bad command line or a request the camera cannot serve
constexpr int kExitInterrupted = 130;  // stopped by Ctrl-C (128 + SIGINT, as shells report it)

// What a command works with: its output streams and the cameras.
struct context {
  FILE* out;
  FILE* err;
  camera_backend* backend;      // null: no cameras available
  bool progress = false;        // err is a terminal: show a progress line that rewrites itself
};

// A handler gets the parsed command line after the command name.
using command_handler = int (*)(const context& ctx, parsed_args& args);

struct command {
  const char* name;
  const char* summary;      // one line for the command list
  const char* description;  // what it does, for its help ("" for none)
  std::vector<option_def> options;
  std::vector<positional_def> positionals;
  const char* footer;  // after the options, e.g. the exit statuses ("" for none)
  command_handler handler;
};

// Runs tvcam with its whole command line (argv[0] is the program).
int run_cli(const std::vector<command>& commands, int argc, char** argv, const context& ctx);

// The help of the command list and of one command, as --help prints them.
std::string command_list_help(const std::vector<command>& commands);
std::string command_help(const command& c);

// Reports a bad command line of `command_name` on `err`; returns kExitUsage.
int usage_error(FILE* err, const char* command_name, const std::string& message);

// Reports a failure of `command_name` on `err`; returns `status`.
int command_error(FILE* err, const char* command_name, const std::string& message, int status);

}  // namespace tvcam
