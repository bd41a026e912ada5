// tvcam's command table.
#include "commands.h"
#include "defect_commands.h"
#include "property_commands.h"
#include "register_commands.h"

namespace tvcam {

const std::vector<command>& command_table() {
  static const std::vector<command> table = {
      list_command(),  formats_command(), capture_command(), preview_command(),
      props_command(), get_command(),     set_command(),     genapi_command(),
      regs_command(),  defects_command(), pixfmt_command(),  cpu_command(),
  };
  return table;
}

}  // namespace tvcam
