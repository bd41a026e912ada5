// Defective pixels end to end: simulated cameras whose sensors have seeded
// hot, warm and dead pixels, the list reaching the driver from each of its
// sources (the EEPROM, camera memory, an "HTPX" file, property writes),
// the frames the pin delivers, and the stores' wire forms both ways.
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "cameras/camera_83xx.h"
#include "cameras/defect_codec.h"
#include "cameras/defect_list.h"
#include "cameras/defect_pixel_store.h"
#include "families_support.h"
#include "kernel/pool_tags.h"
#include "sim/families/model_82xx.h"
#include "sim/raw_sensor_camera.h"
#include "temp_dir.h"
#include "uvc/uvc_camera.h"

namespace famtest {
namespace {

std::shared_ptr<sim::raw_sensor_camera> raw_camera(const std::string& id, const sim::sensor_options& options) {
  static const std::vector<sim::raw_camera_model> models = sim::raw_camera_models();
  return sim::raw_sensor_camera::create(*sim::find_raw_camera_model(models, id), options);
}

std::vector<uint8_t> entry_bytes(const std::vector<uint32_t>& entries) {
  std::vector<uint8_t> out(4 + 4 * entries.size());
  const uint32_t count = uint32_t(entries.size());
  memcpy(out.data(), &count, 4);
  if (!entries.empty()) memcpy(out.data() + 4, entries.data(), 4 * entries.size());
  return out;
}

class defect_device : public family_device {
 protected:
  // plug() with a fixed device instance, so that a camera plugged again
  // finds its device's values.
  NTSTATUS plug_as(std::shared_ptr<sim::uvc_camera> camera, const std::string& instance) {
    camera_ = std::move(camera);
    pdo_ = bus_.plug(camera_, instance);
    const NTSTATUS status = kstandin::ks_plug_device(driver_, pdo_, &device_);
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(kstandin::ks_open_filter(device_, 0, &filter_), STATUS_SUCCESS);
    }
    return status;
  }
  NTSTATUS feature(ULONG id, ULONG flags, std::vector<uint8_t>* data, ULONG_PTR* returned = nullptr) {
    const KSPROPERTY request = kstandin::ks_make_property(camera_feature_set, id, flags);
    ULONG_PTR dummy = 0;
    return kstandin::ks_property(filter_, &request, sizeof(request), data->data(), ULONG(data->size()),
                                 returned != nullptr ? returned : &dummy);
  }
  NTSTATUS set_list(const std::vector<uint32_t>& entries) {
    std::vector<uint8_t> bytes = entry_bytes(entries);
    return feature(37, KSPROPERTY_TYPE_SET, &bytes);
  }
  std::vector<uint32_t> list() {
    std::vector<uint8_t> bytes(4 + 4 * 4096);
    ULONG_PTR returned = 0;
    EXPECT_EQ(feature(37, KSPROPERTY_TYPE_GET, &bytes, &returned), STATUS_SUCCESS);
    uint32_t count = 0;
    memcpy(&count, bytes.data(), 4);
    EXPECT_EQ(returned, 4 + 4 * count);
    std::vector<uint32_t> out(count);
    if (count != 0) memcpy(out.data(), bytes.data() + 4, 4 * count);
    return out;
  }
  NTSTATUS set_switch(ULONG id, LONG value, const GUID& set = camera_feature_set) {
    uint8_t record[control_record::scalar_size] = {};
    const KSPROPERTY request = kstandin::ks_make_property(set, id, KSPROPERTY_TYPE_SET);
    memcpy(record, &request, sizeof(request));
    const ULONG flags = control_flag_manual;
    memcpy(record + control_record::value, &value, 4);
    memcpy(record + control_record::flags, &flags, 4);
    ULONG_PTR returned = 0;
    return kstandin::ks_property(filter_, record, sizeof(record), record, sizeof(record), &returned);
  }

  // Streams the raw mosaic ("BY8 ", or "Y800" on the 0x84xx) at full size
  // and returns the third frame.
  std::vector<uint8_t> raw_frame(ULONG code, LONG width) {
    const std::vector<offered> formats = offered_formats();
    auto it = std::find_if(formats.begin(), formats.end(),
                           [&](const offered& o) { return o.code == code && o.width == width; });
    EXPECT_NE(it, formats.end());
    if (it == formats.end()) return {};
    start(*it);
    std::vector<delivered> frames = take(3);
    stop();
    return frames.empty() ? std::vector<uint8_t>() : frames.back().data;
  }
};

// Every defect within the range of its same-colour neighbours (2 and 4
// columns either side, and the 2 x 2 cell's neighbours above and below);
// returns how many are not.
size_t standing_out(const std::vector<uint8_t>& frame, uint32_t width, const std::vector<sim::sensor_defect>& defects) {
  size_t out = 0;
  for (const sim::sensor_defect& d : defects) {
    auto at = [&](int dx, int dy) { return frame[(d.y + dy) * width + d.x + dx]; };
    uint8_t lo = 255, hi = 0;
    for (auto [dx, dy] : {std::pair<int, int>{-4, 0}, {-2, 0}, {2, 0}, {4, 0}, {0, -2}, {0, 2}, {-2, -2}, {2, 2}}) {
      lo = std::min(lo, at(dx, dy));
      hi = std::max(hi, at(dx, dy));
    }
    if (at(0, 0) < lo || at(0, 0) > hi) ++out;
  }
  return out;
}

// ---- wire forms ----------------------------------------------------------------------

TEST(defect_codec, compressed_lists_round_trip_and_pick_their_word_sizes) {
  constexpr ULONG kWidth = 1280, kHeight = 960;
  // x = 3 and x = 1276 lie within 4 columns of an edge and are never stored;
  // (100, 0) -> (10, 60) is 76710 away (6 bytes), its neighbour 2 bytes.
  const std::vector<ULONG> entries = {make_defect(10, 60), make_defect(3, 5), make_defect(100, 0),
                                      make_defect(1276, 9), make_defect(12, 60)};
  std::vector<UCHAR> packed(64);
  ULONG size = 0, written = 0;
  ASSERT_EQ(compress_defects(entries.data(), ULONG(entries.size()), kWidth, kHeight, packed.data(),
                             ULONG(packed.size()), &size, &written),
            STATUS_SUCCESS);
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(size, 4u + 2 + 6 + 2);
  const std::vector<UCHAR> expected = {3, 0, 0, 0, 100, 0, 0xFF, 0xFF, 0x01, 0x00, 0xA6, 0x2B, 2, 0};
  EXPECT_EQ(std::vector<UCHAR>(packed.begin(), packed.begin() + size), expected);
  ULONG decoded[8] = {};
  ULONG n = 0;
  ASSERT_EQ(decode_defects(packed.data(), size, kWidth, decoded, 8, &n), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(decoded, decoded + n),
            (std::vector<ULONG>{make_defect(100, 0), make_defect(10, 60), make_defect(12, 60)}));
  // The same simulated list the cameras store decodes to the same entries.
  const std::vector<uint8_t> sim_form = sim::compressed_defect_list({100, 60u << 16 | 10, 60u << 16 | 12}, kWidth);
  EXPECT_EQ(std::vector<UCHAR>(sim_form.begin(), sim_form.end()), expected);

  // A capacity too small keeps the list's first entries; none fitting fails.
  ASSERT_EQ(compress_defects(entries.data(), ULONG(entries.size()), kWidth, kHeight, packed.data(), 12, &size,
                             &written),
            STATUS_SUCCESS);
  EXPECT_EQ(written, 2u);
  EXPECT_EQ(compress_defects(entries.data(), ULONG(entries.size()), kWidth, kHeight, packed.data(), 5, &size,
                             &written),
            STATUS_BUFFER_TOO_SMALL);
  // One defect 2 bytes away is a 6-byte list that loads back.
  const ULONG one = make_defect(20, 1);
  ASSERT_EQ(compress_defects(&one, 1, kWidth, kHeight, packed.data(), ULONG(packed.size()), &size, &written),
            STATUS_SUCCESS);
  ASSERT_EQ(size, 6u);
  ASSERT_EQ(decode_defects(packed.data(), size, kWidth, decoded, 8, &n), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<ULONG>(decoded, decoded + n), std::vector<ULONG>{one});
  // Lengths 1 to 5, a count of 0 or beyond the length, a cut 6-byte word.
  for (ULONG length = 1; length <= 5; ++length) {
    EXPECT_EQ(decode_defects(packed.data(), length, kWidth, decoded, 8, &n), STATUS_DATA_ERROR);
  }
  const UCHAR cut[] = {1, 0, 0, 0, 0xFF, 0xFF, 1, 0};
  EXPECT_EQ(decode_defects(cut, sizeof(cut), kWidth, decoded, 8, &n), STATUS_DATA_ERROR);
  const UCHAR zero[] = {0, 0, 0, 0, 1, 0, 2, 0};
  EXPECT_EQ(decode_defects(zero, sizeof(zero), kWidth, decoded, 8, &n), STATUS_DATA_ERROR);
  EXPECT_EQ(decode_defects(zero, sizeof(zero), 0, decoded, 8, &n), STATUS_DATA_ERROR);
}

// The correction on a frame: means of the same-colour neighbours, nothing
// within 4 columns of an edge, 255 when marking, and the binned lists'
// look-up that keeps the colour site.
TEST(defect_list, corrects_by_binning_keeping_the_colour_site_and_leaves_the_edges) {
  auto* list = new (NonPagedPoolNx, pool_tag::objects) defect_list(nullptr);
  ASSERT_NE(list, nullptr);
  const ULONG entries[] = {make_defect(2, 1), make_defect(10, 1), make_defect(101, 50)};
  ASSERT_EQ(list->set_entries(entries, 3), STATUS_SUCCESS);
  std::vector<uint8_t> pixels(64 * 64);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i * 37 % 251);
  const std::vector<uint8_t> original = pixels;
  // The mean of the pixels `near` and `far` columns either side.
  auto mean = [&](size_t x, size_t y, size_t near, size_t far) {
    const uint8_t* line = original.data() + y * 64;
    return uint8_t((line[x - far] + line[x - near] + line[x + near] + line[x + far]) / 4);
  };
  img::img_descriptor frame = {};
  frame.type = img::FOURCC_GRBG8;
  frame.dim_x = 64;
  frame.dim_y = 64;
  frame.pitch = 64;
  frame.data = pixels.data();

  list->correct(frame, 0, 0, 1);
  std::vector<uint8_t> expected = original;
  expected[64 + 10] = mean(10, 1, 2, 4);  // (2, 1) stays: too near the edge
  EXPECT_EQ(pixels, expected);
  // Binning 2: (101, 50) is looked up at (51, 24), an odd column as before;
  // (10, 1) at (4, 1); (2, 1) at (0, 1), still too near the edge.
  pixels = original;
  list->correct(frame, 0, 0, 2);
  expected = original;
  expected[24 * 64 + 51] = mean(51, 24, 2, 4);
  expected[64 + 4] = mean(4, 1, 2, 4);
  EXPECT_EQ(pixels, expected);
  // Offsets are divided by the factor: (101, 50) at (51 - 8, 24 - 4).
  pixels = original;
  list->correct(frame, 16, 8, 2);
  EXPECT_EQ(pixels[20 * 64 + 43], mean(43, 20, 2, 4));
  // "Y800": 2 and 1 columns; marking mode writes 255; other formats stay.
  pixels = original;
  frame.type = img::FOURCC_Y800;
  correct_defect_entries(frame, entries, 2, false);
  EXPECT_EQ(pixels[64 + 10], mean(10, 1, 1, 2));
  EXPECT_EQ(pixels[64 + 2], original[64 + 2]);
  correct_defect_entries(frame, entries, 2, true);
  EXPECT_EQ(pixels[64 + 10], 255);
  pixels = original;
  frame.type = img::FOURCC_RGB24;
  correct_defect_entries(frame, entries, 2, false);
  EXPECT_EQ(pixels, original);
  delete list;
}

// ---- 0x83xx: EEPROM, file and property writes ------------------------------------------

TEST_F(defect_device, an_83xx_corrects_its_200_stored_defects_and_saves_them_back_losslessly) {
  sim::sensor_options options;
  options.defects = 200;
  options.defect_seed = 5;
  auto camera = raw_camera("8307-colour", options);
  ASSERT_EQ(plug(camera), STATUS_SUCCESS);
  const std::vector<sim::sensor_defect> defects = camera->sensor().defects();
  ASSERT_EQ(defects.size(), 200u);
  // The list came from the EEPROM whole.
  EXPECT_EQ(list(), sim::defect_entries(defects));

  std::vector<uint8_t> frame = raw_frame(fourcc("BY8 "), 1280);
  ASSERT_EQ(frame.size(), 1280u * 960);
  EXPECT_EQ(standing_out(frame, 1280, defects), 0u);
  // Without the correction they show.
  ASSERT_EQ(set_switch(32, 0), STATUS_SUCCESS);
  frame = raw_frame(fourcc("BY8 "), 1280);
  EXPECT_GT(standing_out(frame, 1280, defects), 150u);
  ASSERT_EQ(set_switch(32, 1), STATUS_SUCCESS);

  // Save, clear, load: the same list comes back; the store holds record 11.
  ASSERT_EQ(set_driver_value(defect_list::key_save, 1), STATUS_SUCCESS);
  const std::vector<uint8_t> window = camera->eeprom()->read(15872, 512);
  EXPECT_EQ(window, sim::eeprom_defect_store(sim::defect_entries(defects), 1280, 15872, 16384, true));
  ASSERT_EQ(set_list({}), STATUS_SUCCESS);
  EXPECT_TRUE(list().empty());
  ASSERT_EQ(set_driver_value(defect_list::key_load, 1), STATUS_SUCCESS);
  EXPECT_EQ(list(), sim::defect_entries(defects));
  // The raw block at the window's start (its first input word must be 0),
  // and the hex dump of the EEPROM up to the window's end.
  std::vector<uint8_t> request(sizeof(KSPROPERTY) + 4, 0);
  const KSPROPERTY raw = kstandin::ks_make_property(driver_property_set, defect_list::key_raw_block, KSPROPERTY_TYPE_SET);
  memcpy(request.data(), &raw, sizeof(raw));
  std::vector<uint8_t> block = {'c', 'a', 'l', '0', '7'};
  ULONG_PTR returned = 0;
  ASSERT_EQ(kstandin::ks_property(filter_, request.data(), ULONG(request.size()), block.data(), 5, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(camera->eeprom()->read(15872, 16),
            (std::vector<uint8_t>{0x10, 0, 0x20, 0, 5, 0, 0, 0, 'c', 'a', 'l', '0', '7', 0, 0, 0}));
  request[sizeof(KSPROPERTY)] = 1;
  EXPECT_EQ(kstandin::ks_property(filter_, request.data(), ULONG(request.size()), block.data(), 5, &returned),
            STATUS_INVALID_PARAMETER);
  kstandin::take_debug_log();
  ASSERT_EQ(set_driver_value(defect_list::key_dump, 1), STATUS_SUCCESS);
  const std::vector<std::string> dump = kstandin::take_debug_log();
  ASSERT_EQ(dump.size(), 16384u / 16);
  EXPECT_EQ(dump[15872 / 16].substr(0, 30), "3E00: 10 00 20 00 05 00 00 00 ");

  // Clear erases the window and the lists.
  ASSERT_EQ(set_driver_value(defect_list::key_clear, 1), STATUS_SUCCESS);
  EXPECT_TRUE(list().empty());
  EXPECT_EQ(camera->eeprom()->read(15872, 512), std::vector<uint8_t>(512, 0xFF));
  EXPECT_EQ(set_driver_value(defect_list::key_load, 1), STATUS_NOT_FOUND);
}

TEST_F(defect_device, an_83xx_takes_its_list_from_property_writes_and_the_raw_record) {
  sim::sensor_options options;
  options.defects = 200;
  options.defect_seed = 9;
  options.store_defects = false;
  auto camera = raw_camera("8307-colour", options);
  ASSERT_EQ(plug(camera), STATUS_SUCCESS);
  EXPECT_TRUE(list().empty());
  const std::vector<sim::sensor_defect> defects = camera->sensor().defects();
  ASSERT_EQ(set_list(sim::defect_entries(defects)), STATUS_SUCCESS);
  EXPECT_EQ(list(), sim::defect_entries(defects));
  EXPECT_EQ(standing_out(raw_frame(fourcc("BY8 "), 1280), 1280, defects), 0u);

  // Key 37: two bytes empty the list; a count the data does not hold, or
  // above 1,000,000, is refused and keeps it.
  std::vector<uint8_t> bytes = {1, 0};
  EXPECT_EQ(feature(37, KSPROPERTY_TYPE_SET, &bytes), STATUS_SUCCESS);
  EXPECT_TRUE(list().empty());
  ASSERT_EQ(set_list({make_defect(10, 10)}), STATUS_SUCCESS);
  bytes = entry_bytes({1, 2});
  bytes[0] = 3;
  EXPECT_EQ(feature(37, KSPROPERTY_TYPE_SET, &bytes), STATUS_BUFFER_OVERFLOW);
  std::vector<uint32_t> huge(1000001, make_defect(10, 10));
  EXPECT_EQ(set_list(huge), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(list(), std::vector<uint32_t>{make_defect(10, 10)});
  // The count alone when the output is too short for the list.
  bytes.assign(4, 0);
  ULONG_PTR returned = 0;
  EXPECT_EQ(feature(37, KSPROPERTY_TYPE_GET, &bytes, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(bytes[0], 1);
  remove();

  // A raw record 10 of an older store loads as it is.
  options.defects = 40;
  options.store_defects = true;
  options.raw_defect_store = true;
  camera = raw_camera("8307-colour", options);
  ASSERT_EQ(plug(camera), STATUS_SUCCESS);
  EXPECT_EQ(list(), sim::defect_entries(camera->sensor().defects()));
}

TEST_F(defect_device, eeprom_writes_are_verified_with_growing_pauses) {
  auto camera = raw_camera("8307-colour", {});
  ASSERT_EQ(plug(camera), STATUS_SUCCESS);
  PDEVICE_OBJECT device = driver_camera()->device_object();
  const UCHAR data[4] = {1, 2, 3, 4};
  kstandin::take_thread_delays();
  camera->eeprom()->corrupt_reads(4);
  EXPECT_EQ(eeprom_write(device, 16000, data, 4), STATUS_UNSUCCESSFUL);
  // Each attempt: its pause, then the read-back's 2 ms pause.
  const std::vector<int64_t> expected = {100000, 20000, 200000, 20000, 300000, 20000, 400000, 20000};
  EXPECT_EQ(kstandin::take_thread_delays(), expected);
  camera->eeprom()->corrupt_reads(1);
  EXPECT_EQ(eeprom_write(device, 16000, data, 4), STATUS_SUCCESS);
  EXPECT_EQ(camera->eeprom()->read(16000, 4), std::vector<uint8_t>(data, data + 4));
  EXPECT_EQ(eeprom_write(device, 0, data, 4), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(eeprom_write(device, 0x10000, data, 4), STATUS_INVALID_PARAMETER);
  UCHAR seventeen[17] = {};
  EXPECT_EQ(eeprom_write(device, 16000, seventeen, 17), STATUS_INVALID_PARAMETER);
}

void write_file(const std::string& path, uint32_t version, const std::vector<std::pair<uint8_t, std::vector<uint32_t>>>& chunks) {
  std::ofstream out(path, std::ios::binary);
  auto put32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  out.write("HTPX", 4);
  put32(version);
  put32(12);
  for (const auto& [first, entries] : chunks) {
    const uint8_t guid[16] = {first, 0x36, 0x4A, 0xC9, 0x1D, 0xEE, 0xC8, 0x44, 0x88, 0x1C, 0x40, 0x50, 0xEB, 0x29, 0x27, 0xC7};
    out.write(reinterpret_cast<const char*>(guid), 16);
    put32(uint32_t(4 * entries.size()));
    for (uint32_t e : entries) put32(e);
  }
}

TEST_F(defect_device, an_htpx_file_replaces_the_list_and_is_loaded_again_at_start) {
  tvtest::temp_dir dir;
  kstandin::set_file_root(dir.path());
  std::filesystem::create_directories(dir.path() + "/C/cal");
  sim::sensor_options options;
  options.defects = 200;
  options.defect_seed = 3;
  options.store_defects = false;
  auto camera = raw_camera("8307-colour", options);
  const std::vector<uint32_t> entries = sim::defect_entries(camera->sensor().defects());
  // An unknown chunk first (skipped), then the binning-1 list.
  write_file(dir.file("C/cal/good.htpx"), 1, {{0x09, {7, 8}}, {0x06, entries}});
  write_file(dir.file("C/cal/v2.htpx"), 2, {{0x06, {make_defect(20, 20)}}});
  const std::string instance = "USB\\VID_199E&PID_8307\\DEFECTS";
  ASSERT_EQ(plug_as(camera, instance), STATUS_SUCCESS);

  const wchar_t good[] = L"C:\\cal\\good.htpx";
  ASSERT_EQ(set_driver_bytes(family_property::onload_filename, good, sizeof(good)), STATUS_SUCCESS);
  EXPECT_EQ(list(), entries);
  const wchar_t v2[] = L"C:\\cal\\v2.htpx";
  EXPECT_EQ(set_driver_bytes(family_property::onload_filename, v2, sizeof(v2)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(list(), entries);
  EXPECT_EQ(standing_out(raw_frame(fourcc("BY8 "), 1280), 1280, camera->sensor().defects()), 0u);

  // The stored name brings the list back with the next start (the same
  // camera plugged again: the same seed).
  remove();
  ASSERT_EQ(plug_as(raw_camera("8307-colour", options), instance), STATUS_SUCCESS);
  EXPECT_EQ(list(), entries);
  kstandin::set_file_root("");
}

// ---- 0x84xx: camera memory --------------------------------------------------------------

TEST_F(defect_device, an_84xx_corrects_from_camera_memory_and_writes_it_back_compressed) {
  sim::sensor_options options;
  options.defects = 200;
  options.defect_seed = 11;
  options.raw_defect_store = true;  // record 1, as a camera may have it
  auto camera = raw_camera("8406-colour", options);
  ASSERT_EQ(plug(camera), STATUS_SUCCESS);
  const std::vector<sim::sensor_defect> defects = camera->sensor().defects();
  const std::vector<uint32_t> entries = sim::defect_entries(defects);
  EXPECT_EQ(list(), entries);
  EXPECT_EQ(standing_out(raw_frame(fourcc("Y800"), 1920), 1920, defects), 0u);
  // With the sensor flipped both ways the copy follows the mirrored cells.
  ASSERT_EQ(set_switch(extension_id::flip_x, 1, camera_extension_set), STATUS_SUCCESS);
  ASSERT_EQ(set_switch(extension_id::flip_y, 1, camera_extension_set), STATUS_SUCCESS);
  std::vector<sim::sensor_defect> mirrored = defects;
  for (sim::sensor_defect& d : mirrored) {
    d.x = 1920 - 2 - (d.x & ~1u) + (d.x & 1);
    d.y = 1200 - 2 - (d.y & ~1u) + (d.y & 1);
  }
  EXPECT_EQ(standing_out(raw_frame(fourcc("Y800"), 1920), 1920, mirrored), 0u);
  ASSERT_EQ(set_switch(extension_id::flip_x, 0, camera_extension_set), STATUS_SUCCESS);
  ASSERT_EQ(set_switch(extension_id::flip_y, 0, camera_extension_set), STATUS_SUCCESS);

  // Save: record 2 in the compressed form, the raw record left out.
  std::vector<uint8_t> one = {1, 0, 0, 0};
  ASSERT_EQ(feature(38, KSPROPERTY_TYPE_SET, &one), STATUS_SUCCESS);
  const std::vector<uint8_t> stored = sim::memory_defect_store(entries, 1920, true);
  EXPECT_EQ(camera->memory(0x60000, uint32_t(stored.size())), stored);
  ASSERT_EQ(set_list({make_defect(50, 50)}), STATUS_SUCCESS);
  ASSERT_EQ(feature(39, KSPROPERTY_TYPE_SET, &one), STATUS_SUCCESS);
  EXPECT_EQ(list(), entries);

  // A header 01 00 FE 00 is refused and keeps the list.
  camera->write_memory(0x60000, {1, 0, 0xFE, 0});
  EXPECT_EQ(feature(39, KSPROPERTY_TYPE_SET, &one), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(list(), entries);
  // Count 0 empties the list and erases the window.
  const unsigned erases = camera->memory_erase_count();
  ASSERT_EQ(set_list({}), STATUS_SUCCESS);
  EXPECT_TRUE(list().empty());
  EXPECT_EQ(camera->memory_erase_count(), erases + 2);
  EXPECT_EQ(camera->memory(0x60000, 8), std::vector<uint8_t>(8, 0xFF));
  std::vector<uint32_t> huge(1000001, make_defect(10, 10));
  EXPECT_EQ(set_list(huge), STATUS_BUFFER_OVERFLOW);
  // Under 4 bytes of output for the list → STATUS_INVALID_PARAMETER.
  std::vector<uint8_t> small(2);
  EXPECT_EQ(feature(37, KSPROPERTY_TYPE_GET, &small), STATUS_INVALID_PARAMETER);
}

// ---- 0x82xx: the EEPROM window of register 71 ----------------------------------------------

TEST_F(defect_device, an_82xx_reads_its_list_from_the_upper_half_of_its_eeprom) {
  sim::sensor_options options;
  options.defects = 120;
  auto camera = plug_model<sim::model_82xx>("8207-colour", options);
  ASSERT_NE(camera, nullptr);
  const std::vector<uint32_t> entries = sim::defect_entries(camera->sensor()->defects());
  EXPECT_EQ(list(), entries);
  ASSERT_EQ(set_driver_value(defect_list::key_save, 1), STATUS_SUCCESS);
  ASSERT_EQ(set_list({}), STATUS_SUCCESS);
  ASSERT_EQ(set_driver_value(defect_list::key_load, 1), STATUS_SUCCESS);
  EXPECT_EQ(list(), entries);
}

}  // namespace
}  // namespace famtest
