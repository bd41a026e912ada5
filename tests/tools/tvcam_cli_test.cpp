// tvcam's command line as a user meets it: help, the formats and cpu
// commands with their option parsing (sizes "WxH", FOURCCs as short text or
// hex), and exit status 2 with a message on stderr for bad arguments.
#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../tools/tvcam/cli.h"
#include "../../tools/tvcam/commands.h"

namespace {

const tvcam::command kCommands[] = {
    {"formats", "print the pixel formats with their sizes", tvcam::kFormatsUsage, tvcam::cmd_formats},
    {"cpu", "print the processor feature mask", tvcam::kCpuUsage, tvcam::cmd_cpu},
};

struct run_result {
  int status;
  std::string out;
  std::string err;
};

std::string read_all(FILE* f) {
  std::string s;
  rewind(f);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

run_result run(std::vector<std::string> args) {
  args.insert(args.begin(), "tvcam");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  run_result r;
  r.status = tvcam::run_cli(kCommands, 2, static_cast<int>(argv.size()), argv.data(), out, err);
  r.out = read_all(out);
  r.err = read_all(err);
  return r;
}

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

TEST(TvcamCli, FormatsTableForTheDefaultAndAGivenSize) {
  const run_result r = run({"formats", "--size", "640x480"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.err.empty());
  EXPECT_TRUE(contains(r.out, "pixel formats for 640x480"));
  EXPECT_TRUE(contains(r.out, "\"I420\"  0x30323449   12     640     460800  -"));
  EXPECT_TRUE(contains(r.out, "\"BGCP\"  0x50434742   12     960     460800  BGGR"));
  EXPECT_TRUE(contains(r.out, "\"BY8 \"  0x20385942    8     640     307200  GBRG"));
  EXPECT_TRUE(contains(r.out, "\"YUGp\"  0x70475559   48    1280    1843200  -"));
  EXPECT_EQ(run({"formats"}).out, r.out);

  const run_result one = run({"formats", "--fourcc=Y16", "--size", "2x3"});
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_TRUE(contains(one.out, "\"Y16 \"  0x20363159   16       4         12  -"));
  EXPECT_EQ(std::count(one.out.begin(), one.out.end(), '\n'), 3);  // title, header, one row

  const run_result hex = run({"formats", "--fourcc", "0x30303859", "--size", "65535X1"});
  ASSERT_EQ(hex.status, 0) << hex.err;
  EXPECT_TRUE(contains(hex.out, "\"Y800\"  0x30303859    8   65535      65535  -"));
}

TEST(TvcamCli, BadArgumentsExitWithStatus2AndSayWhy) {
  struct {
    std::vector<std::string> args;
    const char* message;
  } const cases[] = {
      {{}, "usage: tvcam <command>"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"help", "frobnicate"}, "unknown command 'frobnicate'"},
      {{"formats", "--size", "640"}, "bad size '640'"},
      {{"formats", "--size", "0x480"}, "bad size '0x480'"},
      {{"formats", "--size", "65536x1"}, "bad size '65536x1'"},
      {{"formats", "--size", "99999999999999999999x1"}, "bad size"},
      {{"formats", "--size", "640x480x"}, "bad size"},
      {{"formats", "--size"}, "option '--size' needs a value"},
      {{"formats", "--fourcc", "ABCD"}, "\"ABCD\" is not a known pixel format"},
      {{"formats", "--fourcc", "TOOLONG"}, "bad FOURCC 'TOOLONG'"},
      {{"formats", "--fourcc", "0xZZ"}, "bad FOURCC '0xZZ'"},
      {{"formats", "--colour"}, "unknown option '--colour'"},
      {{"formats", "extra"}, "unexpected argument 'extra'"},
      {{"cpu", "extra"}, "unexpected argument 'extra'"},
  };
  for (const auto& c : cases) {
    const run_result r = run(c.args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_TRUE(contains(r.err, c.message)) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
}

TEST(TvcamCli, HelpListsCommandsAndTheirOptions) {
  const run_result list = run({"help"});
  EXPECT_EQ(list.status, 0);
  EXPECT_TRUE(contains(list.out, "formats") && contains(list.out, "cpu"));

  for (const auto& args : {std::vector<std::string>{"formats", "--help"}, {"help", "formats"}}) {
    const run_result r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "usage: tvcam formats [--size WxH] [--fourcc XXXX]"));
  }

  const run_result cpu = run({"cpu"});
  EXPECT_EQ(cpu.status, 0);
  EXPECT_TRUE(contains(cpu.out, "processor feature mask: 0x"));
  EXPECT_TRUE(contains(cpu.out, "bit  4  SSSE3"));
}

}  // namespace
