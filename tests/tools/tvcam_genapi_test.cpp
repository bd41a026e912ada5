// tvcam's register-description commands through the whole stack: the
// documents a camera_84xx offers (its own from a file among them), saved
// as files; registers read and written by address; the named default sets
// listed by props and selected and loaded by set; and the refusals.
#include <gtest/gtest.h>

#include <algorithm>

#include "tvcam_support.h"

namespace {

using tvcam_test::contains;
using tvcam_test::read_file;
using tvcam_test::run;
using tvcam_test::run_result;
using tvcam_test::temp_dir;

TEST(TvcamGenapi, ListsAndSavesTheDocumentsWithTheCamerasOwnFirst) {
  std::unique_ptr<tvcam::camera_backend> backend = tvcam::make_driver_backend();
  temp_dir dir;
  const std::string stored = dir.path() + "/stored.xml";
  {
    FILE* f = fopen(stored.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("<?xml version=\"1.0\"?><RegisterDescription ModelName=\"Camera Own\"/>", f);
    fclose(f);
  }
  run_result r = run(backend.get(), {"genapi", "--camera", "8406-colour", "--camera-genapi", stored, "--out",
                                     dir.path() + "/out"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, ": 6 register descriptions")) << r.out;
  EXPECT_TRUE(contains(r.out, "  0       67  Camera Own")) << r.out;  // with the zero the driver added
  EXPECT_TRUE(contains(r.out, "ZEZEzezoz_Generated_GenICam_NPS")) << r.out;
  EXPECT_EQ(read_file(dir.path() + "/out/0_Camera_Own.xml"), read_file(stored));
  EXPECT_TRUE(contains(read_file(dir.path() + "/out/2_RIR3Ezarav_Generated_Whitebalance.xml"), "WB_Temperature"));

  r = run(backend.get(), {"genapi", "--camera", "8416-mono", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> models;
  for (const nlohmann::json& d : tvcam_test::parse_json(r.out)) models.push_back(d["model"]);
  EXPECT_NE(std::find(models.begin(), models.end(), "RIR3Ezarav_Generated_Denoise"), models.end()) << r.out;
  EXPECT_FALSE(contains(r.out, "Whitebalance"));

  // A camera without documents, and the camera's own for a family that
  // keeps none.
  r = run(backend.get(), {"genapi", "--camera", "plain"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(r.err, "no register description")) << r.err;
  r = run(backend.get(), {"genapi", "--camera", "8307-colour", "--camera-genapi", stored});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(r.err, "needs a camera_84xx model")) << r.err;
}

TEST(TvcamGenapi, RegistersByAddressAndTheNamedSets) {
  std::unique_ptr<tvcam::camera_backend> backend = tvcam::make_driver_backend();
  run_result r = run(backend.get(), {"regs", "--camera", "8406-colour", "0xCEBB000100000020", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0xCEBB000100000020 = 0x00000001 (1)\n");
  r = run(backend.get(), {"regs", "--camera", "8406-colour", "0x20018"});  // unit 2, selector 24: the gain
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0x0000000000020018 = 0x00000040 (64)\n");
  r = run(backend.get(), {"regs", "--camera", "8406-colour", "0xCEBB0001000000FF"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "STATUS_NOT_IMPLEMENTED")) << r.err;
  EXPECT_EQ(run(backend.get(), {"regs", "--camera", "8406-colour", "cebb"}).status, 2);
  EXPECT_EQ(run(backend.get(), {"regs", "--camera", "8406-colour", "0x20018", "256", "--size", "1"}).status, 2);

  r = run(backend.get(), {"props", "--camera", "8406-colour"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "  * 0 Optimized Defaults\n    1 Neutral\n")) << r.out;
  r = run(backend.get(), {"set", "--camera", "8406-colour", "default_set=Neutral", "load_default_set", "sharpness=3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "default_set=1 (Neutral)\nload_default_set=Neutral\nsharpness=3\n");
  r = run(backend.get(), {"set", "--camera", "8406-colour", "default_set=Warm"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(r.err, "sets: 0 Optimized Defaults, 1 Neutral")) << r.err;
  EXPECT_EQ(run(backend.get(), {"set", "--camera", "plain", "load_default_set"}).status, 2);
}

}  // namespace
