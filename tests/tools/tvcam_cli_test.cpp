// tvcam's command line as a user meets it: help, the argument grammar of
// every command, and for each bad request exit status 2 (1 for a failure
// while running) with a message on stderr that names what was wrong and
// what would have been accepted. The camera side is a fixed test backend.
#include <gtest/gtest.h>

#include <algorithm>

#include "tvcam_support.h"

namespace {

using tvcam_test::contains;
using tvcam_test::run;
using tvcam_test::run_result;

TEST(TvcamCli, HelpCpuAndPixelFormatsNeedNoCamera) {
  tvcam_test::fake_backend backend;
  const run_result list = run(&backend, {"--help"});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(run(&backend, {"help"}).out, list.out);
  // Every command in the list, and in its help every option with its description.
  for (const tvcam::command& c : tvcam::command_table()) {
    EXPECT_TRUE(contains(list.out, "\n  " + std::string(c.name) + " ")) << c.name;
    const run_result help = run(&backend, {c.name, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.out, "Usage: tvcam " + std::string(c.name) + " [OPTIONS]")) << help.out;
    for (const tvcam::option_def& o : c.options) {
      const std::string line = "--" + std::string(o.name) + (o.value ? " " + std::string(o.value) : "");
      EXPECT_TRUE(contains(help.out, "\n  " + line + " ")) << c.name << " " << line;
      EXPECT_TRUE(contains(help.out, std::string(o.help).substr(0, std::string(o.help).find('\n')))) << line;
    }
  }
  const run_result capture = run(&backend, {"help", "capture"});
  EXPECT_EQ(capture.out, run(&backend, {"capture", "--frames", "2", "-h"}).out);
  EXPECT_TRUE(contains(capture.out, "  --faults LIST        simulated faults as NAME=P,..."));
  EXPECT_TRUE(contains(run(&backend, {"set", "--help"}).out, "Usage: tvcam set [OPTIONS] NAME=VALUE...\n"));
  EXPECT_TRUE(contains(run(&backend, {"regs", "--help"}).out, "Usage: tvcam regs [OPTIONS] ADDRESS [VALUE]\n"));
  EXPECT_EQ(backend.opens, 0);

  const run_result cpu = run(&backend, {"cpu"});
  EXPECT_EQ(cpu.status, 0);
  EXPECT_TRUE(contains(cpu.out, "bit  4  SSSE3"));

  // The pixel-format table needs no camera either.
  const run_result r = run(nullptr, {"pixfmt", "--size", "640x480"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "\"I420\"  0x30323449   12     640     460800  -"));
  EXPECT_TRUE(contains(r.out, "\"BGCP\"  0x50434742   12     960     460800  BGGR"));
  EXPECT_EQ(run(nullptr, {"pixfmt"}).out, r.out);

  const run_result one = run(nullptr, {"pixfmt", "--fourcc=Y16", "--size", "2x3"});
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_TRUE(contains(one.out, "\"Y16 \"  0x20363159   16       4         12  -"));
  EXPECT_EQ(std::count(one.out.begin(), one.out.end(), '\n'), 3);  // title, header, one row
}

TEST(TvcamCli, ListAndFormatsAsTextAndJsonWithTheCameraOptions) {
  tvcam_test::fake_backend backend;
  const run_result list = run(&backend, {"list"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_TRUE(contains(list.out, "plain        199E:0001 uvc_camera   isochronous test camera (default)\n"));
  const nlohmann::json cameras = tvcam_test::parse_json(run(&backend, {"list", "--json"}).out)["cameras"];
  ASSERT_EQ(cameras.size(), 3u);
  EXPECT_EQ(cameras[1], (nlohmann::json{{"id", "plain-bulk"}, {"description", "bulk test camera"}, {"default", false},
                                        {"family", "uvc_camera"}, {"vendor_id", "0x199E"}, {"product_id", "0x0002"},
                                        {"colour", true}, {"focus", false}}));
  tvcam_test::expect_members(cameras[2], {{"product_id", "0x8416"}, {"colour", false}, {"focus", true}});

  const run_result formats = run(&backend, {"formats", "--camera", "plain-bulk"});
  ASSERT_EQ(formats.status, 0) << formats.err;
  EXPECT_TRUE(contains(formats.out, "Test \"Camera\" (plain-bulk): 4 formats"));
  EXPECT_TRUE(contains(formats.out, "  0  YUY2   8x4           16          64  30, 15, 10 (default 30)"));
  EXPECT_TRUE(contains(formats.out, "  2  MJPG   16x8          24         384  1 to 30 (default 30)"));
  EXPECT_TRUE(contains(formats.out, "  3  RGB24  4x2"));
  EXPECT_EQ(backend.last_request.camera_id, "plain-bulk");

  const run_result json = run(&backend, {"formats", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  const nlohmann::json j = tvcam_test::parse_json(json.out);
  tvcam_test::expect_members(j, {{"camera", "plain"}, {"device", "Test \"Camera\""}});
  tvcam_test::expect_members(j["formats"][2], {{"format", "MJPG"}, {"fourcc", "0x47504a4d"}, {"fps", {1.0, 30.0}},
                                               {"fps_range", true}});
  EXPECT_EQ(j["formats"][0]["fps"], nlohmann::json({30.0, 15.0, 10.0}));  // 666666 and 1000000 in 100 ns, rounded

  // The camera options reach the backend.
  tvcam_test::temp_dir tmp;
  const run_result r = run(&backend, {"formats", "--faults", "drop=0.01,eof=0.0045,babble=1,timeout=0.002",
                                      "--seed", "4294967295", "--registry", tmp.path() + "/hive.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  const tvcam::fault_list& f = backend.last_request.faults;
  EXPECT_EQ(f.stream.drop_payload, 10u);  // in 1/1000
  EXPECT_EQ(f.stream.missing_eof, 5u);    // rounded
  EXPECT_EQ(f.stream.babble, 1000u);
  EXPECT_EQ(f.stream.bad_header, 0u);
  EXPECT_EQ(f.control_timeout, 2u);
  EXPECT_EQ(f.control_stall, 0u);
  EXPECT_EQ(tvcam::fault_list_text(f), "drop=0.01,eof=0.005,babble=1,timeout=0.002");
  EXPECT_EQ(backend.last_request.seed, 4294967295u);
  EXPECT_EQ(backend.last_request.registry_file, tmp.path() + "/hive.txt");
  EXPECT_TRUE(backend.last_request.camera_id.empty());
  EXPECT_FALSE(backend.last_request.sensor.any());

  // And a raw-sensor camera's options.
  const run_result raw = run(&backend, {"capture", "--camera", "raw", "--scene", "flat", "--illuminant", "2800",
                                        "--exposure", "max", "--gain", "1.5", "--frames", "1", "--out",
                                        tmp.path() + "/out"});
  ASSERT_EQ(raw.status, 0) << raw.err;
  const tvcam::sensor_choice& sensor = backend.last_request.sensor;
  EXPECT_EQ(sensor.scene, "flat");
  EXPECT_EQ(sensor.kelvin, 2800u);
  EXPECT_EQ(sensor.exposure.which, tvcam::start_choice::kind::maximum);
  EXPECT_EQ(sensor.gain.which, tvcam::start_choice::kind::value);
  EXPECT_EQ(sensor.gain.value, 1.5);
}

TEST(TvcamCli, BadRequestsSayWhatWouldHaveBeenAccepted) {
  tvcam_test::temp_dir tmp;
  const std::string file = tmp.path() + "/file";
  ASSERT_TRUE(tvcam_test::read_file(file).empty());
  ASSERT_TRUE(tvcam_test::write_file(file, ""));
  struct {
    std::vector<std::string> args;
    int status;
    std::string message;
  } const cases[] = {
      {{}, 2, "Usage: tvcam [OPTIONS] [COMMAND]"},
      {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
      {{"pixfmt", "--size", "0x480"}, 2, "bad size '0x480'"},
      {{"pixfmt", "--fourcc", "ABCD"}, 2, "\"ABCD\" is not a known pixel format"},
      {{"list", "extra"}, 2, "unexpected argument 'extra'"},
      {{"formats", "--camera", "fancy"}, 2, "unknown camera 'fancy'; cameras: plain, plain-bulk"},
      {{"formats", "--camera", "plain", "--descriptors", "x"}, 2, "use either --camera or --descriptors"},
      {{"formats", "--descriptors", tmp.path() + "/none"}, 2, "/none.device.bin: No such file or directory"},
      {{"formats", "--faults", "drop=0.1,smoke=1"}, 2,
       "unknown fault 'smoke' in 'drop=0.1,smoke=1'; accepted: drop, header, packet, eof, short, long, "
       "interrupt, empty, babble, request, stall, timeout, each as NAME=P with P from 0 to 1"},
      {{"formats", "--camera", "plain-bulk", "--faults", "empty=0.1"}, 2,
       "fault 'empty' needs an isochronous camera; this one streams over bulk"},
      {{"formats", "--faults", "interrupt=0.1"}, 2, "fault 'interrupt' needs a camera with an interrupt endpoint"},
      {{"formats", "--registry", tmp.path() + "/missing/hive"}, 2, "the directory " + tmp.path() + "/missing does not exist"},
      {{"formats", "--registry", tmp.path()}, 2, "is not a regular file"},
      {{"formats", "--faults", "drop=1.5"}, 2, "bad value '1.5' for fault 'drop'; expected a probability from 0 to 1"},
      {{"formats", "--faults", "eof=.5"}, 2, "bad value '.5'"},
      {{"formats", "--faults", "drop=0.0004"}, 2, "'drop=0.0004' is below the smallest probability, 0.001"},
      {{"formats", "--faults", "babble=1,babble=0.5"}, 2, "fault 'babble' given twice"},
      {{"formats", "--seed", "4294967296"}, 2, "bad seed '4294967296', expected 0..4294967295"},
      {{"capture", "--format", "TOOLONG"}, 2, "bad format 'TOOLONG'"},
      {{"capture", "--format", "UYVY"}, 2, "format UYVY is not offered; offered: YUY2, MJPG, RGB24"},
      {{"capture", "--format", "YUY2", "--size", "640x480"}, 2,
       "size 640x480 is not offered for YUY2; offered: 8x4, 4x2"},
      {{"capture", "--size", "640x480"}, 2, "size 640x480 is not offered; offered: 8x4, 4x2, 16x8"},
      {{"capture", "--size", "8x4", "--fps", "60"}, 2, "60 fps is not offered; offered: YUY2 8x4: 30, 15, 10"},
      {{"capture", "--format", "MJPG", "--fps", "0.5"}, 2, "0.5 fps is not offered; offered: MJPG 16x8: 1 to 30"},
      {{"capture", "--fps", "0"}, 2, "bad frame rate '0'"},
      {{"capture", "--frames", "0"}, 2, "bad frame count '0', expected 1..1000000"},
      {{"capture", "--out", file + "/sub"}, 1, "is not a directory"},
      {{"capture", "--scene", "flat"}, 2, "--scene, --illuminant, --exposure and --gain need a raw-sensor camera: raw"},
      {{"capture", "--camera", "raw", "--scene", "moon"}, 2, "unknown scene 'moon'; scenes: chart, flat"},
      {{"capture", "--camera", "raw", "--illuminant", "900"}, 2, "bad illuminant '900', expected kelvin from 1000"},
      {{"capture", "--camera", "raw", "--exposure", "-5"}, 2, "bad exposure '-5', expected min, max or a number"},
  };
  for (const auto& c : cases) {
    tvcam_test::fake_backend backend;
    std::vector<std::string> args = c.args;
    if (!args.empty() && args[0] == "capture" &&
        std::find(args.begin(), args.end(), "--out") == args.end()) {
      args.push_back("--out");
      args.push_back(tmp.path() + "/out");
    }
    const run_result r = run(&backend, args);
    EXPECT_EQ(r.status, c.status) << c.message;
    EXPECT_TRUE(contains(r.err, c.message)) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }

  tvcam_test::fake_backend failing;
  failing.fail_open = true;
  const run_result r = run(&failing, {"formats"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "tvcam formats: device start failed"));
}

}  // namespace
