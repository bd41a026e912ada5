// A camera object brought up on simulated devices: what init makes of real
// cameras' descriptors and of damaged ones, the registry's format
// constraints and options, the frame-interval lists of the entries, the
// device information and the driver properties.
#include <gtest/gtest.h>

#include <kstandin/testing.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "camera_support.h"
#include "img/cpu_features.h"
#include "sim/uvc_profiles.h"
#include "testdata.h"
#include "uvc/uvc_format_records.h"
#include "verifier_listener.h"

namespace {

using camtest::camera_fixture;
using camtest::fourcc_text;

// "YUY2 640x480 160x120; MJPG 640x480" in entry order.
std::string entries_of(const uvc_camera& camera) {
  const ULONG n = camera.get_format_count();
  std::vector<KS_DATARANGE_VIDEO> ranges(n);
  std::vector<KS_DATARANGE_VIDEO*> slots;
  for (auto& r : ranges) slots.push_back(&r);
  EXPECT_EQ(camera.copy_format_entries(slots.data(), n), STATUS_SUCCESS);
  std::string out;
  ULONG last = 0;
  for (const KS_DATARANGE_VIDEO& r : ranges) {
    const ULONG fourcc = fourcc_from_subtype(r.DataRange.SubFormat);
    if (fourcc != last) out += (out.empty() ? "" : "; ") + fourcc_text(fourcc);
    last = fourcc;
    out += " " + std::to_string(r.VideoInfoHeader.bmiHeader.biWidth) + "x" +
           std::to_string(r.VideoInfoHeader.bmiHeader.biHeight);
  }
  return out;
}

std::vector<LONGLONG> intervals_of(uvc_camera& camera, ULONG index) {
  ULONG count = 0;
  EXPECT_EQ(camera.get_frame_intervals_of(index, nullptr, 0, nullptr, &count), STATUS_BUFFER_OVERFLOW);
  std::vector<LONGLONG> values(count);
  EXPECT_EQ(camera.get_frame_intervals_of(index, nullptr, 0, values.data(), &count), STATUS_SUCCESS);
  values.resize(count);
  return values;
}

class CameraInit : public camera_fixture {
 protected:
  void replug(std::shared_ptr<sim::uvc_camera> device) {
    destroy();
    if (pdo != nullptr) bus.unplug(pdo);
    plug(std::move(device));
  }
};

TEST_F(CameraInit, RealCamerasOfferTheirFormatsAlternateSettingsAndUnits) {
  struct expected {
    const char* camera;
    const char* entries;
    const char* units;  // camera terminal, processing unit, extension unit ids ("-": none)
  };
  // Formats are cut at 16 frames (the C270 declares 19) and the second video
  // function of dual_tusb is not the camera's.
  const std::string c270 =
      " 640x480 160x120 176x144 320x176 320x240 352x288 432x240 544x288 640x360 752x416 800x448 "
      "800x600 864x480 960x544 960x720 1024x576";
  const std::string canyon =
      " 640x480 352x288 320x240 176x144 160x120 800x600 1280x720 1280x960 1600x1200";
  const std::string anker = " 2560x1440 1920x1080 1280x720 640x480 640x360 320x240";
  const std::string c270_entries = "YUY2" + c270 + "; MJPG" + c270;
  const std::string canyon_entries = "YUY2" + canyon + "; MJPG" + canyon;
  const std::string anker_entries = "MJPG" + anker + "; YUY2 640x480 640x360 320x240; H264" + anker;
  const expected cameras[] = {
      {"logitech_c270", c270_entries.c_str(), "1 2 3"},
      {"canyon_cne_cwc2", canyon_entries.c_str(), "1 3 4"},
      {"trust_webcam", "YUY2 640x480 352x288 320x240 176x144 1280x1024 160x120", "1 3 4"},
      {"anker_powerconf_c200", anker_entries.c_str(), "1 2 6"},
      // One byte short of its wTotalLength: refused by the USB layer.
      {"customer", nullptr, nullptr},
      {"dual_tusb", "MJPG 480x270", "1 - -"},
  };
  for (const expected& e : cameras) {
    SCOPED_TRACE(e.camera);
    replug(sim::uvc_camera::from_files(tvtest::uvc_descriptor_dir(), e.camera));
    ASSERT_NE(pdo, nullptr);
    camtest::camera_view& camera = create();
    if (e.entries == nullptr) {
      EXPECT_EQ(camera.init(), STATUS_DEVICE_CONFIGURATION_ERROR);
      EXPECT_EQ(camera.get_format_count(), 0u);
      kstandin::take_debug_log();
      continue;
    }
    ASSERT_EQ(camera.init(), STATUS_SUCCESS);
    EXPECT_EQ(entries_of(camera), e.entries);
    EXPECT_EQ(camera.get_format_count(), camera.raw_formats().count());

    // Every streaming alternate setting can be selected with its pipe.
    const uvc_descriptor_set& set = *camera.descriptors();
    for (ULONG i = 0; i < set.alternate_count; ++i) {
      const uvc_alternate_setting& a = set.alternates[i];
      ASSERT_EQ(camera.device()->select_alternate_setting(1, a.alternate_setting), STATUS_SUCCESS);
      EXPECT_EQ(camera.device()->get_interface_info(1)->Pipes[0].MaximumPacketSize,
                uvc_packet_bytes_per_interval(a.max_packet_size));
    }
    std::string units;
    for (auto lookup : {&uvc_camera::camera_terminal_id, &uvc_camera::processing_unit_id,
                        &uvc_camera::extension_unit_id}) {
      UCHAR id = 0;
      const bool found = (camera.*lookup)(&id);
      units += (units.empty() ? "" : " ") + (found ? std::to_string(id) : std::string("-"));
    }
    EXPECT_EQ(units, e.units);

    // Every entry lists its intervals, ascending, and its range names them.
    for (ULONG i = 0; i < camera.get_format_count(); ++i) {
      const std::vector<LONGLONG> values = intervals_of(camera, i);
      ASSERT_FALSE(values.empty());
      EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
      EXPECT_EQ(values.front(), camera.entry(i).range.ConfigCaps.MinFrameInterval);
    }
  }
}

TEST_F(CameraInit, MixedMultipliersAreOrderedAndChosenByTheBytesTheyCarry) {
  sim::uvc_camera_desc desc = sim::plain_camera_desc();
  desc.iso_packet_sizes = {0x0BFF, 0x1200, 0x0400};  // 2 x 1023, 3 x 512, 1 x 1024 bytes
  plug(desc);
  create_and_init();
  std::string order;
  for (ULONG i = 0; i < cam->descriptors()->alternate_count; ++i) {
    order += std::to_string(cam->descriptors()->alternates[i].alternate_setting);
  }
  EXPECT_EQ(order, "321");  // 1024, 1536, 2046 bytes; by the raw word 0x0BFF sorts before 0x1200
  // 1500 bytes per microframe: 3 x 512 carries them, 2 x 1023 would be more.
  cam->iso_payload = 1500;
  KS_VIDEOINFOHEADER yuy2 = camtest::video_format(img::FOURCC_YUY2, 320, 240, 16);
  ASSERT_EQ(cam->open_stream(&yuy2), STATUS_SUCCESS);
  EXPECT_EQ(sim_camera->current_alternate_setting(1), 2);
}

TEST_F(CameraInit, DamagedConfigurationsFailOrYieldOnlyWhatIsThere) {
  // Every cut of a real configuration: init either fails with a status or
  // offers formats whose intervals can all be listed, never reading past
  // the bytes the device sent (the address sanitizer watches).
  std::shared_ptr<sim::uvc_camera> whole =
      sim::uvc_camera::from_files(tvtest::uvc_descriptor_dir(), "anker_powerconf_c200");
  ASSERT_NE(whole, nullptr);
  const std::vector<uint8_t> config = whole->configuration_descriptor();
  int failed = 0;
  for (size_t cut = 9; cut < config.size(); cut += 37) {
    SCOPED_TRACE(cut);
    std::vector<uint8_t> part(config.begin(), config.begin() + cut);
    replug(sim::uvc_camera::from_descriptors(whole->device_descriptor(), part));
    camtest::camera_view& camera = create();
    const NTSTATUS status = camera.init();
    if (!NT_SUCCESS(status)) {
      ++failed;
      continue;
    }
    for (ULONG i = 0; i < camera.get_format_count(); ++i) intervals_of(camera, i);
  }
  EXPECT_GT(failed, 0);
  kstandin::take_debug_log();
}

TEST_F(CameraInit, RegistryNarrowsTheFormatsAndForcesTheFrameTime) {
  plug(sim::plain_camera_desc());  // Y800, YUY2 at 640x480, 320x240; MJPG at three sizes

  // Without constraints: every pair, the descriptor's intervals.
  create_and_init();
  EXPECT_EQ(entries_of(*cam), "Y800 640x480 320x240; YUY2 640x480 320x240; MJPG 1280x720 640x480 320x240");
  EXPECT_EQ(intervals_of(*cam, 0), (std::vector<LONGLONG>{333333, 666666, 2000000}));
  ULONG count = 1;
  LONGLONG one = 0;
  EXPECT_EQ(cam->get_frame_intervals_of(0, nullptr, 0, &one, &count), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(cam->get_frame_intervals_of(7, nullptr, 0, &one, &count), STATUS_INVALID_PARAMETER);

  // Allowed FOURCCs stop at the first missing index: "allowed_fcc_2" is never
  // read. The device's own value overrides the settings key's.
  using kstandin::registry_set_dword;
  registry_set_dword(camtest::settings_key(), "allowed_fcc_0", img::FOURCC_YUY2);
  registry_set_dword(camtest::settings_key(), "allowed_fcc_2", img::FOURCC_MJPG);
  registry_set_dword(camtest::settings_key(), "allowed_width_0", 640);
  registry_set_dword(device_values(), "allowed_width_0", 320);
  create_and_init();
  EXPECT_EQ(entries_of(*cam), "YUY2 320x240");

  // A forced frame time: every entry carries it, and it is every entry's
  // only interval.
  kstandin::registry_reset();
  registry_set_dword(device_values(), "force_avg_time_per_frame_0", 500000);
  kstandin::take_debug_log();
  create_and_init();
  const std::vector<std::string> log = kstandin::take_debug_log();
  const char* constraints = "Format constraints: frame_time=500000, status=0x0.\n";
  EXPECT_NE(std::find(log.begin(), log.end(), constraints), log.end());
  ASSERT_EQ(cam->get_format_count(), 7u);
  for (ULONG i = 0; i < cam->get_format_count(); ++i) {
    EXPECT_EQ(cam->entry(i).range.VideoInfoHeader.AvgTimePerFrame, 500000);
    EXPECT_EQ(intervals_of(*cam, i), std::vector<LONGLONG>{500000});
  }
  count = 0;
  EXPECT_EQ(cam->get_frame_intervals_of(0, nullptr, 0, &one, &count), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(count, 1u);

  // The pin's copy: enough non-null slots, or nothing is copied.
  KS_DATARANGE_VIDEO range = {};
  KS_DATARANGE_VIDEO* slots[7] = {&range, &range, &range, nullptr, &range, &range, &range};
  EXPECT_EQ(cam->copy_format_entries(slots, 6), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(cam->copy_format_entries(slots, 7), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(range.DataRange.FormatSize, 0u);

  // No memory for the kept entries: init fails rather than offer a list cut
  // short.
  create();
  cam->fail_kept_entries = true;
  EXPECT_EQ(cam->init(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(cam->get_format_count(), 0u);
}

TEST_F(CameraInit, OptionsComeFromTheSettingsKeyWithTheDeviceValuesOverriding) {
  sim::uvc_camera_desc desc = sim::plain_camera_desc();
  plug(desc);
  // Defaults: no overlay, no clearing, incomplete frames dropped; a USB 2
  // host asks for fewer reads.
  create_and_init();
  EXPECT_FALSE(cam->option_show_overlay());
  EXPECT_FALSE(cam->option_force_clear());
  EXPECT_TRUE(cam->option_drop_incomplete());
  EXPECT_TRUE(cam->should_reduce_read_count());
  EXPECT_EQ(std::string(cam->overlay_line(1)), "firmware_rev=0, is_usb3_supported=0");
  EXPECT_EQ(std::string(cam->overlay_line(0)).rfind("var_aro, ver=", 0), 0u);  // the banner

  using kstandin::registry_set_dword;
  registry_set_dword(camtest::settings_key(), "show_overlay", 1);
  registry_set_dword(camtest::settings_key(), "force_clear_buffers", 1);
  registry_set_dword(device_values(), "force_clear_buffers", 0);
  registry_set_dword(camtest::settings_key(), "drop_incomple_frames", 0);
  // Not a DWORD: ignored in the settings key.
  kstandin::registry_set_string(camtest::settings_key(), "should_reduce_read_count", "0");
  sim_camera->set_host_usb_version(0x300);
  create_and_init();
  EXPECT_TRUE(cam->option_show_overlay());
  EXPECT_FALSE(cam->option_force_clear());
  EXPECT_FALSE(cam->option_drop_incomplete());
  EXPECT_FALSE(cam->should_reduce_read_count());
  EXPECT_EQ(std::string(cam->overlay_line(1)), "firmware_rev=0, is_usb3_supported=1");
  registry_set_dword(device_values(), "should_reduce_read_count", 1);
  create_and_init();
  EXPECT_TRUE(cam->should_reduce_read_count());

  // Strings: the device's value decides; one longer than the caller's
  // buffer is reported as such.
  kstandin::registry_set_string(camtest::settings_key(), "camera_file", "global");
  WCHAR buffer[8];
  UNICODE_STRING text = {0, sizeof(buffer), buffer};
  ASSERT_EQ(cam->read_registry_string(L"camera_file", &text), STATUS_SUCCESS);
  EXPECT_EQ(text.Length, 6 * sizeof(WCHAR));
  kstandin::registry_set_string(device_values(), "camera_file", "much too long");
  EXPECT_EQ(cam->read_registry_string(L"camera_file", &text), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(cam->read_registry_string(L"absent", &text), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(CameraInit, DeviceInformationAndDriverProperties) {
  sim::uvc_camera_desc desc = sim::plain_camera_desc();
  desc.serial = "00C0FFEE";
  plug(desc);
  create_and_init();
  camera_device_info info;
  memset(&info, 0xCC, sizeof(info));
  ASSERT_EQ(cam->get_device_info(&info), STATUS_SUCCESS);
  EXPECT_TRUE(info.vendor_id == 0x199E && info.product_id == 0x0001);
  EXPECT_EQ(info.serial_number, 0xC0FFEEu);
  EXPECT_TRUE(info.model_code == 4 && info.colour_code == 0 && info.firmware_revision == 0);
  EXPECT_EQ(std::string(info.manufacturer, info.manufacturer + 8), std::string("Talvexa\0", 8));
  EXPECT_EQ(info.reserved0 | info.reserved1, 0u);

  sim_camera->set_firmware_revision(0x0203);
  ULONG value = 0;
  ULONG returned = 0;
  auto set = [&](ULONG id, ULONG v) { return cam->set_driver_property(id, &v, sizeof(v)); };
  auto get = [&](ULONG id) {
    value = 0xDEAD;
    return cam->get_driver_property(id, nullptr, 0, &value, sizeof(value), &returned);
  };
  // Property 4 is read only (the base camera has no firmware revision of
  // its own); 24 and 28 can only be set.
  const struct {
    ULONG id, set_to;
    NTSTATUS set_status, get_status;
    ULONG reads;
  } rows[] = {
      {1, 7, STATUS_SUCCESS, STATUS_SUCCESS, 1},           {2, 0, STATUS_SUCCESS, STATUS_SUCCESS, 0},
      {18, 1, STATUS_SUCCESS, STATUS_SUCCESS, 1},          {4, 1, STATUS_NOT_IMPLEMENTED, STATUS_SUCCESS, 0},
      {24, 1, STATUS_SUCCESS, STATUS_NOT_IMPLEMENTED, 0},  {28, 1, STATUS_SUCCESS, STATUS_NOT_IMPLEMENTED, 0},
      {25, 5, STATUS_SUCCESS, STATUS_SUCCESS, 0},          {99, 1, STATUS_NOT_IMPLEMENTED, STATUS_NOT_IMPLEMENTED, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.id);
    EXPECT_EQ(cam->is_driver_property_supported(row.id), row.id != 99);
    EXPECT_EQ(set(row.id, row.set_to), row.set_status);
    EXPECT_EQ(get(row.id), row.get_status);
    EXPECT_TRUE(!NT_SUCCESS(row.get_status) || (value == row.reads && returned == 4));
  }
  EXPECT_TRUE(!cam->option_drop_incomplete() && cam->option_force_clear());
  EXPECT_TRUE(sim_camera->port_cycle_count() == 1 && sim_camera->port_reset_count() == 1);
  USHORT short_value = 1;  // shorter than 32 bits: no request at all
  EXPECT_EQ(cam->set_driver_property(1, &short_value, sizeof(short_value)), STATUS_NOT_IMPLEMENTED);

  // Processor feature levels: a level sets its mask and reads back; 10 is
  // refused and changes nothing; 0 detects again.
  EXPECT_EQ(set(26, 4), STATUS_SUCCESS);
  EXPECT_EQ(set(26, 10), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(cam->cpu_features(), 0x1Fu);
  EXPECT_EQ(get(26), STATUS_SUCCESS);
  EXPECT_EQ(value, 4u);
  EXPECT_EQ(set(26, 1), STATUS_SUCCESS);
  EXPECT_EQ(get(26), STATUS_SUCCESS);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(set(26, 0), STATUS_SUCCESS);
  EXPECT_EQ(cam->cpu_features(), img::get_cpu_features());

  // Property 6: the client's setup packet (vendor IN request 0x16, the
  // simulated camera's firmware revision) and its data stage.
  UCHAR header[10] = {1, 0, 0, 0x16, 0, 0, 0, 0, 2, 0};
  UCHAR data[2] = {};
  ASSERT_EQ(cam->get_driver_property(6, header, sizeof(header), data, sizeof(data), &returned),
            STATUS_SUCCESS);
  EXPECT_TRUE(returned == 2 && (data[0] | (data[1] << 8)) == 0x0203);
  EXPECT_EQ(cam->set_driver_property(6, header, sizeof(header) + 1), STATUS_BUFFER_OVERFLOW);
}

}  // namespace
