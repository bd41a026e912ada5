// Command dispatch and help.
#include "cli.h"

#include <cstring>

namespace tvcam {
namespace {

const command* find_command(const command* commands, size_t count, const char* name) {
  for (size_t i = 0; i < count; ++i) {
    if (std::strcmp(commands[i].name, name) == 0) return &commands[i];
  }
  return nullptr;
}

bool is_help_flag(const char* arg) { return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0; }

void print_command_list(const command* commands, size_t count, FILE* f) {
  std::fprintf(f, "usage: tvcam <command> [options]\n\ncommands:\n");
  std::fprintf(f, "  %-10s %s\n", "help", "show this list, or a command's options");
  for (size_t i = 0; i < count; ++i) std::fprintf(f, "  %-10s %s\n", commands[i].name, commands[i].summary);
  std::fprintf(f, "\nrun 'tvcam <command> --help' for a command's options\n");
}

void print_command_help(const command& c, FILE* f) { std::fprintf(f, "%s\n\n%s", c.summary, c.usage); }

}  // namespace

int usage_error(FILE* err, const char* command_name, const std::string& message) {
  std::fprintf(err, "tvcam %s: %s\nrun 'tvcam %s --help' for usage\n", command_name, message.c_str(), command_name);
  return kExitUsage;
}

int command_error(FILE* err, const char* command_name, const std::string& message, int status) {
  std::fprintf(err, "tvcam %s: %s\n", command_name, message.c_str());
  return status;
}

int run_cli(const command* commands, size_t count, int argc, char** argv, const context& ctx) {
  FILE* const out = ctx.out;
  FILE* const err = ctx.err;
  if (argc < 2) {
    print_command_list(commands, count, err);
    return kExitUsage;
  }
  const char* name = argv[1];
  if (std::strcmp(name, "help") == 0 || is_help_flag(name)) {
    if (argc < 3) {
      print_command_list(commands, count, out);
      return kExitOk;
    }
    const command* c = find_command(commands, count, argv[2]);
    if (!c) {
      std::fprintf(err, "tvcam: unknown command '%s'; run 'tvcam help' for the list\n", argv[2]);
      return kExitUsage;
    }
    print_command_help(*c, out);
    return kExitOk;
  }

  const command* c = find_command(commands, count, name);
  if (!c) {
    std::fprintf(err, "tvcam: unknown command '%s'; run 'tvcam help' for the list\n", name);
    return kExitUsage;
  }
  for (int i = 2; i < argc; ++i) {
    if (is_help_flag(argv[i])) {
      print_command_help(*c, out);
      return kExitOk;
    }
  }
  return c->handler(ctx, argc - 2, argv + 2);
}

}  // namespace tvcam
