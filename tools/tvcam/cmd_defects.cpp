// tvcam defects: the defect-pixel list the driver holds for a camera, one
// defect per line as "x y"; loaded from a file (and stored in the camera),
// saved to a file, cleared (with the camera's store), or read from the
// camera's store.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "args.h"
#include "camera_options.h"
#include "defect_commands.h"
#include "property_backend.h"
#include "status_text.h"

namespace tvcam {

namespace {

constexpr uint32_t kEntriesId = 37;
// The camera-memory table (camera_84xx): save and load by a non-zero value.
constexpr uint32_t kMemorySaveId = 38;
constexpr uint32_t kMemoryLoadId = 39;
// The EEPROM list (camera_82xx, camera_83xx): driver properties.
constexpr uint32_t kEepromSaveId = 20;
constexpr uint32_t kEepromLoadId = 21;
constexpr uint32_t kEepromClearId = 23;
constexpr size_t kMaxEntries = 1000000;

std::vector<uint8_t> word(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

uint32_t get_word(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// The camera-memory key first; a camera without it has the EEPROM one.
property_result store_request(property_access* p, uint32_t memory_id, uint32_t eeprom_id) {
  property_result r = p->set_bytes({kCameraFeatureSet, memory_id}, word(1));
  if (r.ok || !r.absent) return r;
  return p->set_bytes({kDriverPropertySet, eeprom_id}, word(1));
}

bool read_list(property_access* p, std::vector<uint32_t>* entries, property_result* result) {
  std::vector<uint8_t> bytes(4);
  *result = p->get_bytes({kCameraFeatureSet, kEntriesId}, &bytes);
  if (bytes.size() < 4) return false;
  const uint32_t count = get_word(bytes.data());
  bytes.assign(4 + 4 * size_t(count), 0);
  *result = p->get_bytes({kCameraFeatureSet, kEntriesId}, &bytes);
  if (!result->ok || bytes.size() < 4 + 4 * size_t(count)) return false;
  entries->clear();
  for (uint32_t i = 0; i < count; ++i) entries->push_back(get_word(bytes.data() + 4 + 4 * i));
  return true;
}

// "x y" lines; false with a message naming the line.
bool parse_list(FILE* f, std::vector<uint32_t>* entries, std::string* error) {
  char line[256];
  unsigned number = 0;
  while (fgets(line, sizeof line, f) != nullptr) {
    ++number;
    if (char* hash = strchr(line, '#')) *hash = 0;
    char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\n' || *p == '\r' || *p == 0) continue;
    char* end = nullptr;
    errno = 0;
    const unsigned long x = strtoul(p, &end, 10);
    if (end == p || errno != 0 || x > 0xFFFF) {
      *error = "line " + std::to_string(number) + ": expected \"x y\"";
      return false;
    }
    p = end;
    const unsigned long y = strtoul(p, &end, 10);
    while (end != nullptr && (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n')) ++end;
    if (end == p || errno != 0 || y > 0xFFFF || (end != nullptr && *end != 0)) {
      *error = "line " + std::to_string(number) + ": expected \"x y\"";
      return false;
    }
    if (entries->size() == kMaxEntries) {
      *error = "more than 1000000 defects";
      return false;
    }
    entries->push_back(uint32_t(x) | uint32_t(y) << 16);
  }
  return true;
}

void print_list(FILE* out, const std::vector<uint32_t>& entries) {
  for (uint32_t e : entries) fprintf(out, "%u %u\n", e & 0xFFFF, e >> 16);
}

}  // namespace

int cmd_defects(const context& ctx, parsed_args& args) {
  std::string error;
  const int actions = int(args.has("load")) + int(args.has("save")) + int(args.has("clear")) + int(args.has("from-camera"));
  if (actions > 1) return usage_error(ctx.err, "defects", "give one of --load, --save, --clear and --from-camera");
  camera_request request;
  int status = camera_request_from(ctx, "defects", args, &request);
  if (status != kExitOk) return status;
  if (args.has("defects")) {
    char* end = nullptr;
    const std::string& text = args.options["defects"];
    const unsigned long n = strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != 0 || n > 100000) return usage_error(ctx.err, "defects", "bad --defects '" + text + "'");
    request.defects = unsigned(n);
  }
  std::vector<uint32_t> loaded;
  if (args.has("load")) {
    FILE* f = fopen(args.options["load"].c_str(), "r");
    if (f == nullptr) {
      return command_error(ctx.err, "defects", "cannot read " + args.options["load"] + ": " + strerror(errno),
                           kExitFailure);
    }
    const bool ok = parse_list(f, &loaded, &error);
    fclose(f);
    if (!ok) return command_error(ctx.err, "defects", args.options["load"] + ": " + error, kExitFailure);
  }

  std::unique_ptr<camera_session> session = open_camera(ctx, "defects", request, &status);
  if (!session) return status;
  property_access* p = session->properties();
  std::vector<uint32_t> entries;
  property_result r;
  if (p == nullptr || !read_list(p, &entries, &r)) {
    return command_error(ctx.err, "defects", "the camera has no defect-pixel list" + (r.error.empty() ? "" : ": " + r.error),
                         kExitUsage);
  }
  if (args.has("load")) {
    std::vector<uint8_t> bytes = word(uint32_t(loaded.size()));
    for (uint32_t e : loaded) {
      const std::vector<uint8_t> w = word(e);
      bytes.insert(bytes.end(), w.begin(), w.end());
    }
    r = p->set_bytes({kCameraFeatureSet, kEntriesId}, bytes);
    if (r.ok && !loaded.empty()) r = store_request(p, kMemorySaveId, kEepromSaveId);
  } else if (args.has("clear")) {
    r = p->set_bytes({kDriverPropertySet, kEepromClearId}, word(1));
    if (!r.ok && r.absent) r = p->set_bytes({kCameraFeatureSet, kEntriesId}, word(0));
  } else if (args.has("from-camera")) {
    r = store_request(p, kMemoryLoadId, kEepromLoadId);
  }
  if (!r.ok) {
    session->finish(&error);
    return command_error(ctx.err, "defects", r.error, kExitFailure);
  }
  if (!read_list(p, &entries, &r)) return command_error(ctx.err, "defects", r.error, kExitFailure);
  if (args.has("save")) {
    FILE* f = fopen(args.options["save"].c_str(), "w");
    if (f == nullptr) {
      return command_error(ctx.err, "defects", "cannot write " + args.options["save"] + ": " + strerror(errno),
                           kExitFailure);
    }
    print_list(f, entries);
    if (fclose(f) != 0) return command_error(ctx.err, "defects", "cannot write " + args.options["save"], kExitFailure);
  } else {
    print_list(ctx.out, entries);
  }
  if (!session->finish(&error)) return command_error(ctx.err, "defects", error, kExitFailure);
  return kExitOk;
}

command defects_command() {
  const std::vector<option_def> own = {
      {"load", "FILE",
       "the list from FILE (\"x y\" per line, '#' starts a\n"
       "comment), then stored in the camera (EEPROM or camera\n"
       "memory)"},
      {"save", "FILE", "write the list to FILE"},
      {"clear", nullptr, "empty the list and erase the camera's store"},
      {"from-camera", nullptr, "read the list from the camera's store, then show it"},
      {"defects", "N",
       "a simulated raw-sensor camera whose sensor has N\n"
       "defective pixels at seeded positions, stored in the\n"
       "camera"},
  };
  return {"defects", "show and manage a camera's defect-pixel list (\"x y\" per line)",
          "Shows the defect-pixel list the driver corrects the camera's frames with, one\n"
          "defect per line as \"x y\" (sensor pixels, full resolution). Give at most one of\n"
          "--load, --save, --clear and --from-camera.",
          joined(own, camera_options()), {},
          "exit status: 0 success, 1 the driver refused or a file could not be read or\n"
          "written, 2 a bad request or a camera without a defect list",
          cmd_defects};
}

}  // namespace tvcam
