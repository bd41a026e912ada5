// tvcam list: the simulated camera models.
#include <stdio.h>

#include "args.h"
#include "capture_backend.h"
#include "cli.h"
#include "commands.h"
#include "json_output.h"

namespace tvcam {

namespace {

// "0x8406": four upper-case hexadecimal digits.
std::string hex_id(uint16_t id) {
  char text[8];
  snprintf(text, sizeof text, "0x%04X", id);
  return text;
}

}  // namespace

int cmd_list(const context& ctx, parsed_args& args) {
  if (!ctx.backend) return command_error(ctx.err, "list", "no camera backend in this build", kExitFailure);

  const std::vector<camera_model_info> models = ctx.backend->models();
  if (args.has("json")) {
    json cameras = json::array();
    for (const camera_model_info& m : models) {
      cameras.push_back({{"id", m.id},
                         {"description", m.description},
                         {"default", m.is_default},
                         {"family", m.family},
                         {"vendor_id", hex_id(m.vendor_id)},
                         {"product_id", hex_id(m.product_id)},
                         {"colour", m.colour},
                         {"focus", m.focus}});
    }
    print_json(ctx.out, {{"cameras", cameras}});
    return kExitOk;
  }
  for (const camera_model_info& m : models) {
    fprintf(ctx.out, "%-12s %04X:%04X %-12s %s%s\n", m.id.c_str(), m.vendor_id, m.product_id, m.family.c_str(),
            m.description.c_str(), m.is_default ? " (default)" : "");
  }
  return kExitOk;
}

command list_command() {
  return {"list", "list the simulated camera models", "",
          {{"json", nullptr, "machine-readable output"}}, {}, "", cmd_list};
}

}  // namespace tvcam
