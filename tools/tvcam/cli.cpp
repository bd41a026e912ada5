// Command dispatch and help: the help texts are CLI11's, made from the
// command table, so that every option listed is one the parser takes.
#include "cli.h"

#include <CLI/CLI.hpp>
#include <cstring>

namespace tvcam {
namespace {

constexpr size_t kHelpColumn = 23;  // where the descriptions start (lines end before column 80)

// CLI11's layout, with positional arguments shown by their own text
// ("NAME=VALUE...", which CLI11 does not take as a name).
class help_formatter : public CLI::Formatter {
 public:
  help_formatter() {
    column_width(kHelpColumn);
    label("SUBCOMMAND", "COMMAND");
  }
  std::string make_option_usage(const CLI::Option* opt) const override {
    const std::string text = opt->get_option_text() + (opt->get_expected_max() > 1 ? "..." : "");
    return opt->get_required() ? text : "[" + text + "]";
  }
  std::string make_option_name(const CLI::Option* opt, bool positional) const override {
    return positional ? opt->get_option_text() : CLI::Formatter::make_option_name(opt, positional);
  }
  std::string make_option_opts(const CLI::Option* opt) const override {
    return opt->get_positional() ? std::string() : CLI::Formatter::make_option_opts(opt);
  }
};

// The CLI11 description of a command, for its help.
void describe(CLI::App& app, const command& c) {
  app.formatter(std::make_shared<help_formatter>());
  app.set_help_flag("-h,--help", "show this help");
  std::string text = c.summary;
  if (*c.description != '\0') text += "\n\n" + std::string(c.description);
  app.description(text + "\n");
  if (*c.footer != '\0') app.footer(c.footer);
  size_t n = 0;
  for (const positional_def& p : c.positionals) {
    // CLI11 names positionals by valid names only; the text shown is the def's.
    CLI::Option* opt = app.add_option("ARG" + std::to_string(n++))->description(p.help);
    opt->option_text(p.name)->required(p.required);
    if (p.many) opt->expected(1, 1 << 16);
  }
  for (const option_def& d : c.options) {
    const std::string name = std::string("--") + d.name;
    CLI::Option* opt = (d.value != nullptr ? app.add_option(name) : app.add_flag(name))->description(d.help);
    if (d.value != nullptr) opt->option_text(d.value);
    opt->group(d.group != nullptr ? d.group : "Options");
  }
}

const command* find_command(const std::vector<command>& commands, const char* name) {
  for (const command& c : commands) {
    if (std::strcmp(c.name, name) == 0) return &c;
  }
  return nullptr;
}

bool is_help_flag(const char* arg) { return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0; }

}  // namespace

std::string command_list_help(const std::vector<command>& commands) {
  CLI::App app("tvcam: the driver, its image library and the simulated cameras from the command line\n", "tvcam");
  app.formatter(std::make_shared<help_formatter>());
  app.set_help_flag("-h,--help", "show this list");
  app.footer("run 'tvcam <command> --help' (or 'tvcam help <command>') for a command's options");
  app.add_subcommand("help", "show this list, or a command's options")->group("Commands");
  for (const command& c : commands) app.add_subcommand(c.name, c.summary)->group("Commands");
  return app.help();
}

std::string command_help(const command& c) {
  CLI::App app("", std::string("tvcam ") + c.name);
  describe(app, c);
  // One blank line between the option groups, where CLI11 puts two.
  std::string text = app.help();
  for (size_t at; (at = text.find("\n\n\n")) != std::string::npos;) text.erase(at, 1);
  return text;
}

int usage_error(FILE* err, const char* command_name, const std::string& message) {
  std::fprintf(err, "tvcam %s: %s\nrun 'tvcam %s --help' for usage\n", command_name, message.c_str(), command_name);
  return kExitUsage;
}

int command_error(FILE* err, const char* command_name, const std::string& message, int status) {
  std::fprintf(err, "tvcam %s: %s\n", command_name, message.c_str());
  return status;
}

int run_cli(const std::vector<command>& commands, int argc, char** argv, const context& ctx) {
  FILE* const out = ctx.out;
  FILE* const err = ctx.err;
  if (argc < 2) {
    std::fputs(command_list_help(commands).c_str(), err);
    return kExitUsage;
  }
  const char* name = argv[1];
  if (std::strcmp(name, "help") == 0 || is_help_flag(name)) {
    if (argc < 3) {
      std::fputs(command_list_help(commands).c_str(), out);
      return kExitOk;
    }
    const command* c = find_command(commands, argv[2]);
    if (!c) {
      std::fprintf(err, "tvcam: unknown command '%s'; run 'tvcam help' for the list\n", argv[2]);
      return kExitUsage;
    }
    std::fputs(command_help(*c).c_str(), out);
    return kExitOk;
  }

  const command* c = find_command(commands, name);
  if (!c) {
    std::fprintf(err, "tvcam: unknown command '%s'; run 'tvcam help' for the list\n", name);
    return kExitUsage;
  }
  for (int i = 2; i < argc; ++i) {
    if (is_help_flag(argv[i])) {
      std::fputs(command_help(*c).c_str(), out);
      return kExitOk;
    }
  }
  parsed_args args;
  std::string error;
  if (!parse_options(argc - 2, argv + 2, c->options, &args, &error)) return usage_error(err, c->name, error);
  if (c->positionals.empty() && !args.positional.empty()) {
    return usage_error(err, c->name, "unexpected argument '" + args.positional[0] + "'");
  }
  return c->handler(ctx, args);
}

}  // namespace tvcam
