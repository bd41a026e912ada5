// tvcam genapi: the register-description documents the driver lists for a
// camera (GenICam GenApi XML), and tvcam regs: one register, virtual or the
// camera's own, read or written by address as a GenICam client does.
#include <errno.h>
#include <inttypes.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "args.h"
#include "camera_options.h"
#include "json_output.h"
#include "register_backend.h"
#include "register_commands.h"
#include "status_text.h"

namespace tvcam {

namespace {

int open_session(const context& ctx, const char* name, parsed_args& args, camera_request* request,
                 std::unique_ptr<camera_session>* session, register_access** registers) {
  int status = camera_request_from(ctx, name, args, request);
  if (status != kExitOk) return status;
  *session = open_camera(ctx, name, *request, &status);
  if (!*session) return status;
  *registers = (*session)->registers();
  if (*registers == nullptr) return command_error(ctx.err, name, "the camera offers no register access", kExitUsage);
  return kExitOk;
}

// A file name made of the model name's safe characters.
std::string file_name(size_t index, const std::string& model) {
  std::string safe;
  for (char c : model) safe += (isalnum((unsigned char)c) || c == '_' || c == '-') ? c : '_';
  return std::to_string(index) + "_" + (safe.empty() ? "document" : safe) + ".xml";
}

// Decimal or 0x hexadecimal, 64 bits.
bool parse_u64(const std::string& text, uint64_t* value) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = strtoull(text.c_str(), &end, text.size() > 2 && text[0] == '0' &&
                                                                    (text[1] == 'x' || text[1] == 'X') ? 16 : 10);
  if (errno != 0 || end == nullptr || *end != '\0') return false;
  *value = v;
  return true;
}

}  // namespace

int cmd_genapi(const context& ctx, parsed_args& args) {
  camera_request request;
  std::unique_ptr<camera_session> session;
  register_access* registers = nullptr;
  int status = open_session(ctx, "genapi", args, &request, &session, &registers);
  if (status != kExitOk) return status;
  int32_t last = 0;
  const std::vector<std::string> documents = registers->documents(&last);
  if (documents.empty()) {
    return command_error(ctx.err, "genapi", "the driver lists no register description: " + status_text(last), kExitUsage);
  }
  const std::string dir = args.has("out") ? args.options["out"] : std::string();
  if (!dir.empty() && mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
    return command_error(ctx.err, "genapi", "cannot create " + dir + ": " + strerror(errno), kExitFailure);
  }
  std::vector<std::string> files;
  for (size_t i = 0; i < documents.size(); ++i) {
    if (dir.empty()) {
      files.emplace_back();
      continue;
    }
    const std::string path = dir + "/" + file_name(i, document_model_name(documents[i]));
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(documents[i].data(), 1, documents[i].size(), f) != documents[i].size()) {
      if (f != nullptr) fclose(f);
      return command_error(ctx.err, "genapi", "cannot write " + path + ": " + strerror(errno), kExitFailure);
    }
    if (fclose(f) != 0) return command_error(ctx.err, "genapi", "cannot write " + path, kExitFailure);
    files.push_back(path);
  }
  if (args.has("json")) {
    json list = json::array();
    for (size_t i = 0; i < documents.size(); ++i) {
      list.push_back({{"index", i},
                      {"size", documents[i].size() + 1},
                      {"model", document_model_name(documents[i])},
                      {"file", files[i].empty() ? json(nullptr) : json(files[i])}});
    }
    print_json(ctx.out, list);
    return kExitOk;
  }
  fprintf(ctx.out, "%s (%s): %zu register descriptions\n", session->device_name().c_str(),
          camera_label(request, *ctx.backend).c_str(), documents.size());
  for (size_t i = 0; i < documents.size(); ++i) {
    fprintf(ctx.out, "%3zu %8zu  %s%s%s\n", i, documents[i].size() + 1, document_model_name(documents[i]).c_str(),
            files[i].empty() ? "" : "  -> ", files[i].c_str());
  }
  return kExitOk;
}

int cmd_regs(const context& ctx, parsed_args& args) {
  camera_request request;
  std::unique_ptr<camera_session> session;
  register_access* registers = nullptr;
  // The address and value are checked before the camera starts.
  if (args.positional.empty() || args.positional.size() > 2) {
    return usage_error(ctx.err, "regs", "expected ADDRESS and an optional VALUE");
  }
  uint64_t address = 0, value = 0, size = 4;
  if (!parse_u64(args.positional[0], &address)) return usage_error(ctx.err, "regs", "bad address '" + args.positional[0] + "'");
  if (args.has("size") && !parse_uint(args.options["size"].c_str(), 1, 64, &size)) {
    return usage_error(ctx.err, "regs", "bad size '" + args.options["size"] + "', expected 1..64");
  }
  const bool write = args.positional.size() == 2;
  if (write && (!parse_u64(args.positional[1], &value) || (size < 8 && value >> (8 * size) != 0))) {
    return usage_error(ctx.err, "regs", "bad value '" + args.positional[1] + "' for " + std::to_string(size) + " bytes");
  }
  int status = open_session(ctx, "regs", args, &request, &session, &registers);
  if (status != kExitOk) return status;

  std::vector<uint8_t> bytes(size, 0);
  if (write) {
    for (uint64_t i = 0; i < size && i < 8; ++i) bytes[i] = uint8_t(value >> (8 * i));
    const int32_t s = registers->write(address, bytes.data(), uint32_t(size));
    if (s < 0) {
      return command_error(ctx.err, "regs", "writing " + args.positional[0] + " failed: " + status_text(s),
                           kExitFailure);
    }
  }
  uint32_t returned = 0;
  const int32_t s = registers->read(address, bytes.data(), uint32_t(size), &returned);
  if (s < 0) {
    // A write-only register (a command) reads nothing; the write stands.
    if (write) {
      fprintf(ctx.out, "0x%016" PRIX64 " := 0x%" PRIX64 "\n", address, value);
      return kExitOk;
    }
    return command_error(ctx.err, "regs", "reading " + args.positional[0] + " failed: " + status_text(s), kExitFailure);
  }
  uint64_t read = 0;
  for (uint32_t i = 0; i < returned && i < 8; ++i) read |= uint64_t(bytes[i]) << (8 * i);
  fprintf(ctx.out, "0x%016" PRIX64 " = 0x%0*" PRIX64 " (%" PRIu64 ")%s\n", address, int(2 * (returned < 8 ? returned : 8)),
          read, read, returned < size ? " (short)" : "");
  return kExitOk;
}

command genapi_command() {
  return {"genapi", "list and save a camera's GenICam register descriptions",
          "Lists the GenICam register descriptions the driver offers for the camera:\n"
          "index, size and model name of each. With --out DIR each is saved as\n"
          "DIR/N_MODEL.xml.",
          joined({{"out", "DIR", "save the documents in DIR (created when missing)"},
                  {"json", nullptr, "print an array of {index, size, model, file}"}},
                 camera_options()),
          {},
          "exit status: 0 success, 1 the driver failed or a file could not be written,\n"
          "2 a bad request or a camera without register descriptions",
          cmd_genapi};
}

command regs_command() {
  return {"regs", "read or write a register, virtual or the camera's",
          "Reads the register at ADDRESS or, with VALUE, writes it, through the driver's\n"
          "register access as a GenICam client does.",
          joined({{"size", "N", "bytes read or written, 1..64 (default 4)"}}, camera_options()),
          {{"ADDRESS",
            "64 bits, decimal or 0x hexadecimal: 0xCEBB0001 in the\n"
            "high half names a virtual register of the driver's\n"
            "features (0xCEBB000100000020: tone mapping on), any\n"
            "other address a UVC control of the camera, unit in bits\n"
            "23..16 and selector in bits 7..0 (0x30009: unit 3,\n"
            "selector 9)",
            true, false},
           {"VALUE", "written little-endian in --size bytes", false, false}},
          "exit status: 0 success, 1 the driver refused, 2 a bad request", cmd_regs};
}

}  // namespace tvcam
