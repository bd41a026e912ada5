// The camera's named default sets as tvcam shows and loads them: the sets
// are the entries of the driver's "NPS_Item" enumeration document, the
// selection and the load command its virtual registers 0x11 and 0x12. The
// settings of set that act on them:
//   default_set=NAME|INDEX   select a set by its name or index
//   load_default_set[=1]     load the selected set into the camera's controls
// Both act within the one session; the selection is not kept.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "capture_backend.h"
#include "cli.h"
#include "register_backend.h"

namespace tvcam {

struct named_set {
  int64_t index;
  std::string name;
};

// The sets and the selected index; false with a message when the camera
// has none.
bool read_named_sets(register_access& registers, std::vector<named_set>* sets, uint32_t* selected,
                     std::string* error);

// "Named default sets: ..." lines; nothing without sets.
void print_named_sets(FILE* out, camera_session& session);

bool is_named_set_setting(const std::string& text);

// Applies one such setting; `*line` says what the driver then reports
// ("default_set=1 (Neutral)", "load_default_set=Neutral"). Returns kExitOk,
// kExitUsage for an unknown set or a camera without sets, kExitFailure when
// the driver refused (reported on ctx.err).
int apply_named_set_setting(const context& ctx, const char* command_name, camera_session& session,
                            const std::string& text, std::string* line);

}  // namespace tvcam
