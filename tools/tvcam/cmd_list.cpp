// tvcam list: the simulated camera models.
#include <stdio.h>

#include "args.h"
#include "capture_backend.h"
#include "cli.h"
#include "commands.h"
#include "json_writer.h"

namespace tvcam {

const char kListUsage[] =
    "usage: tvcam list [--json]\n"
    "\n"
    "  --json   machine-readable output\n";

namespace {

// "0x8406": four upper-case hexadecimal digits.
std::string hex_id(uint16_t id) {
  char text[8];
  snprintf(text, sizeof text, "0x%04X", id);
  return text;
}

}  // namespace

int cmd_list(const context& ctx, int argc, char** argv) {
  static const option_def kOptions[] = {{"json", false}};
  parsed_args args;
  std::string error;
  if (!parse_options(argc, argv, kOptions, 1, &args, &error)) return usage_error(ctx.err, "list", error);
  if (!args.positional.empty()) return usage_error(ctx.err, "list", "unexpected argument '" + args.positional[0] + "'");
  if (!ctx.backend) return command_error(ctx.err, "list", "no camera backend in this build", kExitFailure);

  const std::vector<camera_model_info> models = ctx.backend->models();
  if (args.has("json")) {
    json_writer json(ctx.out);
    json.begin_object();
    json.key("cameras");
    json.begin_array();
    for (const camera_model_info& m : models) {
      json.begin_object();
      json.member("id", m.id);
      json.member("description", m.description);
      json.member("default", m.is_default);
      json.member("family", m.family);
      json.member("vendor_id", hex_id(m.vendor_id));
      json.member("product_id", hex_id(m.product_id));
      json.member("colour", m.colour);
      json.member("focus", m.focus);
      json.end_object();
    }
    json.end_array();
    json.end_object();
    json.finish();
    return kExitOk;
  }
  for (const camera_model_info& m : models) {
    fprintf(ctx.out, "%-12s %04X:%04X %-12s %s%s\n", m.id.c_str(), m.vendor_id, m.product_id, m.family.c_str(),
            m.description.c_str(), m.is_default ? " (default)" : "");
  }
  return kExitOk;
}

}  // namespace tvcam
