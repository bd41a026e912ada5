// USB Video Class descriptors as the camera sees them: what the descriptor
// set and the raw format records hold for real cameras, how malformed and
// oversized configurations are cut down (never read past their end), the
// unit look-ups, the frame-interval lists and the subtype GUID mapping.
#include <gtest/gtest.h>

#include <kstandin/testing.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "img/img_type.h"
#include "kernel/kernel_api.h"
#include "sim/families/family_camera.h"
#include "sim/families/family_models.h"
#include "kernel/pool_tags.h"
#include "testdata.h"
#include "uvc/uvc_descriptors.h"
#include "uvc/uvc_format_records.h"

namespace {

using bytes = std::vector<uint8_t>;

// The real cameras' descriptors live beside the project, not in it.
std::string camera_file(const std::string& camera) {
  return tvtest::uvc_descriptor_dir() + "/" + camera + ".config.bin";
}

bytes read_camera(const std::string& camera) {
  std::ifstream in(camera_file(camera), std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool parse(uvc_descriptor_set* set, const bytes& config) {
  return parse_uvc_descriptors(set, config.data(), static_cast<ULONG>(config.size()));
}

// A real camera's configuration and the set parsed from it.
struct parsed_camera {
  explicit parsed_camera(const char* camera) : config(read_camera(camera)) {
    ok = parse(&set, config);
  }
  bytes config;
  uvc_descriptor_set set;
  bool ok;
};

// The listed intervals of a frame, checking the call's status.
std::vector<LONGLONG> listed(const uvc_descriptor_set* set, ULONG format, ULONG frame,
                             NTSTATUS expected = STATUS_SUCCESS) {
  LONGLONG values[uvc_max_listed_intervals];
  ULONG count = uvc_max_listed_intervals;
  EXPECT_EQ(list_frame_intervals(set, format, frame, values, &count), expected);
  return std::vector<LONGLONG>(values, values + (NT_SUCCESS(expected) ? count : 0));
}

const char* const kCameras[] = {"logitech_c270",        "canyon_cne_cwc2", "trust_webcam",
                                "anker_powerconf_c200", "customer",        "dual_tusb"};

std::string fourcc_text(ULONG fourcc) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(fourcc >> (8 * i));
  return s;
}

// "YUY2#1 640x480 160x120; MJPG#2 ..." in record order.
std::string formats_of(const raw_format_list& records) {
  std::string out;
  ULONG format = 0;
  for (const raw_format_record& r : records) {
    if (r.format_index != format) {
      if (!out.empty()) out += "; ";
      out += fourcc_text(fourcc_from_subtype(r.subtype)) + "#" + std::to_string(r.format_index);
      format = r.format_index;
    }
    out += " " + std::to_string(r.width) + "x" + std::to_string(r.height);
  }
  return out;
}

// "1i192 2i384" (alternate setting, iso or bulk, wMaxPacketSize) in table order.
std::string alternates_of(const uvc_descriptor_set& set) {
  std::string out;
  for (ULONG i = 0; i < set.alternate_count; ++i) {
    const uvc_alternate_setting& a = set.alternates[i];
    if (!out.empty()) out += " ";
    out += std::to_string(a.alternate_setting) + (a.is_isochronous ? "i" : "b") +
           std::to_string(a.max_packet_size);
  }
  return out;
}

std::string ids_of(const uvc_unit_list& list) {
  std::string out;
  for (ULONG i = 0; i < list.count; ++i) out += (i ? " " : "") + std::to_string(list.units[i][3]);
  return out;
}

// Every descriptor the set points at lies wholly inside [data, data + size).
void expect_inside(const uvc_descriptor_set& set, const uint8_t* data, size_t size) {
  auto check = [&](const UCHAR* p) {
    if (p == nullptr) return;
    ASSERT_GE(p, data);
    ASSERT_LE(p + 2, data + size);
    ASSERT_GE(p[0], 2);
    ASSERT_LE(p + p[0], data + size);
  };
  for (const UCHAR* p : {set.vc_interface, set.vc_header, set.vs_interface, set.vs_input_header}) {
    check(p);
  }
  for (const uvc_unit_list* list :
       {&set.input_terminals, &set.selector_units, &set.output_terminals, &set.extension_units,
        &set.processing_units}) {
    ASSERT_LE(list->count, uvc_max_units);
    for (ULONG i = 0; i < list->count; ++i) check(list->units[i]);
  }
  ASSERT_LE(set.format_count, uvc_max_formats);
  for (ULONG f = 0; f < set.format_count; ++f) {
    ASSERT_LE(set.formats[f].frame_count, uvc_max_frames);
    check(set.formats[f].format);
    check(set.formats[f].color_matching);
    for (ULONG r = 0; r < set.formats[f].frame_count; ++r) check(set.formats[f].frames[r]);
  }
  ASSERT_LE(set.alternate_count, uvc_max_alternate_settings);
}

// Parses `config` (which must stay alive), checks the pointers, builds the
// records and lists every record's intervals.
void parse_and_use(const bytes& config, uvc_descriptor_set* set, raw_format_list* records) {
  parse_uvc_descriptors(set, config.data(), static_cast<ULONG>(config.size()));
  expect_inside(*set, config.data(), config.size());
  records->clear();
  build_raw_format_records(set, records);
  for (const raw_format_record& r : *records) listed(set, r.format_index, r.frame_index);
}

TEST(UvcRealCameras, EachCameraYieldsItsFormatsAlternateSettingsAndUnits) {
  struct expected {
    const char* camera;
    const char* formats;
    const char* alternates;
    const char* units;  // input terminal | processing | extension | output unit ids
  };
  // The C270 declares 19 frames per format; the first 16 are kept.
  const std::string c270 =
      " 640x480 160x120 176x144 320x176 320x240 352x288 432x240 544x288 640x360 752x416 800x448 "
      "800x600 864x480 960x544 960x720 1024x576";
  const std::string canyon =
      " 640x480 352x288 320x240 176x144 160x120 800x600 1280x720 1280x960 1600x1200";
  const std::string anker = " 2560x1440 1920x1080 1280x720 640x480 640x360 320x240";
  const std::string c270_formats = "YUY2#1" + c270 + "; MJPG#2" + c270;
  const std::string canyon_formats = "YUY2#1" + canyon + "; MJPG#2" + canyon;
  const std::string anker_formats =
      "MJPG#1" + anker + "; YUY2#2 640x480 640x360 320x240; H264#3" + anker;
  const expected cameras[] = {
      {"logitech_c270", c270_formats.c_str(),
       "1i192 2i384 3i512 4i640 5i800 6i944 7i2688 8i2848 9i3040 10i4992 11i5116", "1|2|3 4 6 7|5"},
      {"canyon_cne_cwc2", canyon_formats.c_str(), "1i128 2i256 3i800 4i2848 5i4896 6i5120",
       "1|3|4|2"},
      {"trust_webcam", "YUY2#1 640x480 352x288 320x240 176x144 1280x1024 160x120",
       "1i128 2i256 3i800 4i2848 5i4896 6i5120", "1|3|4|2"},
      {"anker_powerconf_c200", anker_formats.c_str(), "1i3072", "1|2|6|3"},
      // One byte short of wTotalLength: the cut descriptor is an audio one.
      {"customer", "MJPG#1 1280x720 800x480 640x480 480x320", "0b64", "1|2||3"},
      // Two video functions: only the first one's units and formats.
      {"dual_tusb", "MJPG#1 480x270", "0b512", "1|||2"},
  };
  for (const expected& e : cameras) {
    SCOPED_TRACE(e.camera);
    const bytes config = read_camera(e.camera);
    ASSERT_GT(config.size(), 9u) << camera_file(e.camera);
    uvc_descriptor_set set;
    ASSERT_TRUE(parse(&set, config));
    expect_inside(set, config.data(), config.size());
    EXPECT_EQ(set.configuration, config.data());
    EXPECT_NE(set.vc_header, nullptr);
    EXPECT_NE(set.vs_input_header, nullptr);
    raw_format_list records;
    ASSERT_EQ(build_raw_format_records(&set, &records), STATUS_SUCCESS);
    EXPECT_EQ(formats_of(records), e.formats);
    EXPECT_EQ(alternates_of(set), e.alternates);
    EXPECT_EQ(ids_of(set.input_terminals) + "|" + ids_of(set.processing_units) + "|" +
                  ids_of(set.extension_units) + "|" + ids_of(set.output_terminals),
              e.units);
    UCHAR id = 0;
    ASSERT_TRUE(find_unit_id(&set, uvc_kind_camera_terminal, &id));
    EXPECT_EQ(id, 1);
    EXPECT_EQ(find_camera_terminal(&set), set.input_terminals.units[0]);
  }
}

TEST(UvcRealCameras, RecordsCarryTheFrameFieldsOfEachFormatKind) {
  const parsed_camera anker("anker_powerconf_c200");
  ASSERT_TRUE(anker.ok);
  raw_format_list records;
  ASSERT_EQ(build_raw_format_records(&anker.set, &records), STATUS_SUCCESS);
  ASSERT_EQ(records.count(), 15u);
  // MJPEG: the FOURCC GUID of "MJPG" and 24 bits; uncompressed: the
  // descriptor's GUID and bits; frame-based H.264: default interval at 17.
  const raw_format_record& mjpeg = records[0];
  EXPECT_EQ(fourcc_from_subtype(mjpeg.subtype), img::FOURCC_MJPG);
  EXPECT_TRUE(same_guid(mjpeg.subtype, subtype_from_fourcc(img::FOURCC_MJPG)));
  EXPECT_EQ(mjpeg.bits_per_pixel, 24u);
  const raw_format_record& yuy2 = records[6];
  EXPECT_TRUE(same_guid(yuy2.subtype, subtype_from_fourcc(img::FOURCC_YUY2)));
  EXPECT_EQ(yuy2.bits_per_pixel, 16u);
  const raw_format_record& h264 = records[9];
  EXPECT_EQ(h264.format_index, 3u);
  EXPECT_EQ(h264.frame_index, 1u);
  EXPECT_EQ(fourcc_text(fourcc_from_subtype(h264.subtype)), "H264");
  EXPECT_EQ(h264.min_interval, 333333u);
  EXPECT_EQ(h264.max_interval, 333333u);
  EXPECT_EQ(h264.default_interval, 333333u);
  EXPECT_EQ(anker.set.formats[2].color_matching, anker.config.data() + 679);

  // Discrete lists come out ascending; the largest frame has fewer rates.
  const parsed_camera c270("logitech_c270");
  ASSERT_TRUE(c270.ok);
  using v = std::vector<LONGLONG>;
  EXPECT_EQ(listed(&c270.set, 1, 1), (v{333333, 400000, 500000, 666666, 1000000, 2000000}));
  EXPECT_EQ(listed(&c270.set, 1, 15), (v{1000000, 2000000}));
  listed(&c270.set, 1, 17, STATUS_INVALID_PARAMETER);  // not kept
  EXPECT_EQ(uvc_packet_bytes_per_interval(c270.set.alternates[10].max_packet_size), 3060u);
  // A continuous range whose minimum, maximum and step are equal is one value.
  const parsed_camera dual("dual_tusb");
  EXPECT_EQ(listed(&dual.set, 1, 1), v{500000});
}

TEST(UvcRealCameras, UnitLookUpsFindUnitsByKindIndexGuidAndControlBit) {
  parsed_camera camera("logitech_c270");
  ASSERT_TRUE(camera.ok);
  uvc_descriptor_set& set = camera.set;
  const bytes& c270 = camera.config;
  UCHAR id = 0;
  EXPECT_TRUE(find_unit_id(&set, uvc_kind_processing_unit, &id) && id == 2);
  EXPECT_TRUE(find_unit_id(&set, uvc_kind_extension_unit, &id) && id == 3);
  EXPECT_FALSE(find_unit_id(&set, 3, &id));
  EXPECT_EQ(id, 3);  // untouched
  EXPECT_EQ(get_processing_unit(&set, 0), c270.data() + 57);
  EXPECT_EQ(get_processing_unit(&set, 1), nullptr);

  // Unit 6: {1F5D4CA9-DE11-4487-840D-50933C8EC8D1}, bmControls FF FF 03
  // (bits 0 to 17). Unit 4 has bmControls 09 01 with bit 1 clear.
  const GUID unit6 = {0x1F5D4CA9, 0xDE11, 0x4487, {0x84, 0x0D, 0x50, 0x93, 0x3C, 0x8E, 0xC8, 0xD1}};
  EXPECT_EQ(find_extension_unit(&set, unit6, 0), c270.data() + 122);
  EXPECT_EQ(find_extension_unit(&set, unit6, 17), c270.data() + 122);
  EXPECT_EQ(find_extension_unit(&set, unit6, 18), nullptr);
  EXPECT_EQ(find_extension_unit(&set, unit6, 1000), nullptr);
  const UCHAR* unit4 = set.extension_units.units[1];
  EXPECT_TRUE(unit_has_control(unit4, 0));
  EXPECT_FALSE(unit_has_control(unit4, 1));
  EXPECT_TRUE(unit_has_control(unit4, 8));
  // Camera terminal bmControls 0E 00 00, processing unit 5B 17.
  EXPECT_TRUE(unit_has_control(find_camera_terminal(&set), 1));
  EXPECT_FALSE(unit_has_control(find_camera_terminal(&set), 0));
  EXPECT_FALSE(unit_has_control(find_camera_terminal(&set), 24));
  EXPECT_TRUE(unit_has_control(get_processing_unit(&set, 0), 12));
  EXPECT_FALSE(unit_has_control(set.output_terminals.units[0], 0));  // has no bmControls
}

TEST(UvcRealCameras, EveryPrefixAndEveryMutationStaysInsideTheBytes) {
  // Each prefix is its own exactly sized heap block, so the address
  // sanitizer sees any read past the cut; wTotalLength still claims more.
  std::mt19937 random(20261206);
  for (const char* camera : kCameras) {
    SCOPED_TRACE(camera);
    const bytes whole = read_camera(camera);
    ASSERT_FALSE(whole.empty());
    uvc_descriptor_set set;
    raw_format_list records;
    for (size_t size = 0; size <= whole.size(); ++size) {
      const bytes prefix(whole.begin(), whole.begin() + size);
      ASSERT_NO_FATAL_FAILURE(parse_and_use(prefix, &set, &records)) << size << " bytes";
    }
    for (int round = 0; round < 300; ++round) {
      bytes mutated = whole;
      for (int flips = 1 + random() % 4; flips > 0; --flips) {
        mutated[random() % mutated.size()] = static_cast<uint8_t>(random());
      }
      ASSERT_NO_FATAL_FAILURE(parse_and_use(mutated, &set, &records)) << "round " << round;
    }
  }
}

// ---- synthetic configurations ------------------------------------------------------

bytes interface_desc(uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t cls = 14,
                     uint8_t subclass = 1) {
  return {9, 4, number, alternate, endpoints, cls, subclass, 0, 0};
}
bytes endpoint_desc(uint8_t address, uint8_t attributes, uint16_t max_packet) {
  return {7, 5, address, attributes, uint8_t(max_packet), uint8_t(max_packet >> 8), 1};
}
bytes vc_header_desc() { return {13, 0x24, 1, 0x10, 0x01, 0, 0, 0, 0, 0, 0, 1, 1}; }
bytes terminal_desc(uint8_t id) {
  return {18, 0x24, 2, id, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0x0E, 0, 0};
}
bytes input_header_desc() { return {14, 0x24, 1, 1, 0, 0, 0x81, 0, 0, 0, 0, 0, 1, 0}; }
bytes yuy2_format(uint8_t index) {
  return {27, 0x24, 4,    index, 1,    'Y',  'U',  'Y', '2', 0, 0, 0x10, 0, 0x80,
          0,  0,    0xAA, 0,     0x38, 0x9B, 0x71, 16,  1,   0, 0, 0,    0};
}
bytes mjpeg_format(uint8_t index) { return {11, 0x24, 6, index, 1, 0, 1, 0, 0, 0, 0}; }
void put32(bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
// Uncompressed or MJPEG frame; `type` 0 takes intervals as minimum, maximum, step.
bytes frame_desc(uint8_t subtype, uint8_t index, uint16_t width, uint8_t type,
                 std::vector<uint32_t> intervals) {
  bytes b = {0, 0x24, subtype, index, 0, uint8_t(width), uint8_t(width >> 8), 240, 0};
  for (int i = 0; i < 3; ++i) put32(b, 0);  // bit rates, buffer size
  put32(b, intervals.empty() ? 0 : intervals[0]);
  b.push_back(type);
  for (uint32_t v : intervals) put32(b, v);
  b[0] = uint8_t(b.size());
  return b;
}
bytes frame_of(uint8_t index, uint16_t width = 320) {
  return frame_desc(5, index, width, 1, {333333});
}

// A configuration descriptor with wTotalLength set.
bytes configuration(std::initializer_list<bytes> parts) {
  bytes b = {9, 2, 0, 0, 2, 1, 0, 0x80, 50};
  for (const bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
  b[2] = uint8_t(b.size());
  b[3] = uint8_t(b.size() >> 8);
  return b;
}
bytes join(std::initializer_list<bytes> parts) {
  bytes b;
  for (const bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}
bytes video_camera(const bytes& streaming, const bytes& after = {}) {
  return configuration({interface_desc(0, 0, 0), vc_header_desc(), terminal_desc(1),
                        interface_desc(1, 0, 0, 14, 2), input_header_desc(), streaming, after});
}

TEST(UvcSyntheticDescriptors, FramesFollowOnlyTheFormatTheyBelongTo) {
  // An orphan frame, a repeated frame index, a second format with index 1
  // (ignored, with its frames and colour matching), then format 2.
  const bytes config = video_camera(
      join({frame_of(9), yuy2_format(1), frame_of(1, 640), frame_of(2), frame_of(1, 800),
            mjpeg_format(1), frame_desc(7, 3, 1024, 1, {333333}), bytes{6, 0x24, 13, 1, 1, 4},
            mjpeg_format(2), frame_desc(7, 1, 160, 1, {333333})}));
  uvc_descriptor_set set;
  ASSERT_TRUE(parse(&set, config));
  raw_format_list records;
  ASSERT_EQ(build_raw_format_records(&set, &records), STATUS_SUCCESS);
  EXPECT_EQ(formats_of(records), "YUY2#1 640x240 320x240; MJPG#2 160x240");
  EXPECT_EQ(set.formats[0].color_matching, nullptr);
  EXPECT_EQ(set.alternate_count, 0u);  // the streaming interface has no endpoint
}

TEST(UvcSyntheticDescriptors, LimitsHoldAndAlternateSettingsAreSortedBySize) {
  bytes streaming;
  for (uint8_t f = 1; f <= 12; ++f) {
    streaming = join({streaming, yuy2_format(f)});
    for (uint8_t r = 1; r <= 20; ++r) streaming = join({streaming, frame_of(r)});
  }
  bytes alternates;
  const uint16_t sizes[] = {0x1400, 0x80, 0x0B20, 0x3FF, 0x100, 0x1320, 0x200, 0x300, 0x80};
  for (uint8_t a = 1; a <= 18; ++a) {
    alternates =
        join({alternates, interface_desc(1, a, 1, 14, 2), endpoint_desc(0x81, 5, sizes[a % 9])});
  }
  bytes units;
  for (uint8_t u = 2; u <= 8; ++u) units = join({units, terminal_desc(u)});
  const bytes config = configuration({interface_desc(0, 0, 0), vc_header_desc(), units,
                                      interface_desc(1, 0, 1, 14, 2), input_header_desc(),
                                      streaming, endpoint_desc(0x81, 5, 0x40), alternates});
  uvc_descriptor_set set;
  ASSERT_TRUE(parse(&set, config));
  EXPECT_EQ(set.input_terminals.count, 5u);
  EXPECT_EQ(set.format_count, 10u);
  for (ULONG f = 0; f < set.format_count; ++f) EXPECT_EQ(set.formats[f].frame_count, 16u);
  raw_format_list records;
  ASSERT_EQ(build_raw_format_records(&set, &records), STATUS_SUCCESS);
  EXPECT_EQ(records.count(), 160u);
  // The streaming interface itself and alternate settings 1 to 15 fill the
  // table; 16 and 17 are beyond it.
  ASSERT_EQ(set.alternate_count, 16u);
  for (ULONG i = 1; i < set.alternate_count; ++i) {
    EXPECT_LE(set.alternates[i - 1].max_packet_size, set.alternates[i].max_packet_size);
  }
  EXPECT_EQ(set.alternates[15].max_packet_size, 0x1400u);
  EXPECT_EQ(set.alternates[0].max_packet_size, 0x40u);
  EXPECT_EQ(set.alternates[0].alternate_setting, 0u);
  EXPECT_EQ(set.alternates[1].is_isochronous, 1u);
}

TEST(UvcSyntheticDescriptors, MalformedDescriptorsEndTheWalkOrAreIgnored) {
  uvc_descriptor_set set;
  // bLength 0 in the streaming descriptors: what came before is kept.
  bytes config =
      video_camera(join({yuy2_format(1), frame_of(1), bytes{0, 0x24, 5, 2}, frame_of(3)}));
  ASSERT_TRUE(parse(&set, config));
  EXPECT_EQ(set.formats[0].frame_count, 1u);

  // A frame whose bLength runs past the end of the configuration.
  bytes long_frame = frame_of(2);
  long_frame[0] = 200;
  config = video_camera(join({yuy2_format(1), frame_of(1), long_frame}));
  ASSERT_TRUE(parse(&set, config));
  EXPECT_EQ(set.formats[0].frame_count, 1u);

  // Frames announcing more intervals than they hold, or too short for the
  // continuous triple; a format too short for its GUID.
  bytes greedy = frame_of(2);
  greedy[25] = 255;
  bytes short_continuous = frame_desc(5, 3, 320, 0, {333333, 666666});
  bytes short_format = yuy2_format(2);
  short_format.resize(20);
  short_format[0] = 20;
  config = video_camera(
      join({yuy2_format(1), frame_of(1), greedy, short_continuous, short_format, frame_of(1)}));
  ASSERT_TRUE(parse(&set, config));
  EXPECT_EQ(set.format_count, 1u);
  EXPECT_EQ(set.formats[0].frame_count, 1u);

  // Absurd unit fields: bControlSize beyond bLength, bNrInPins beyond bLength.
  bytes unit = {24, 0x24, 6, 5};
  for (int i = 0; i < 16; ++i) unit.push_back(uint8_t(i));
  unit.insert(unit.end(), {4, 1, 2, 255});  // bNumControls, bNrInPins, source, bControlSize
  EXPECT_FALSE(unit_has_control(unit.data(), 0));
  unit[21] = 200;
  EXPECT_FALSE(unit_has_control(unit.data(), 0));

  // Not a configuration descriptor, or a header longer than the data.
  EXPECT_FALSE(parse_uvc_descriptors(&set, config.data() + 9, 100));
  EXPECT_FALSE(parse_uvc_descriptors(&set, config.data(), 8));
  EXPECT_FALSE(parse_uvc_descriptors(&set, nullptr, 0));
}

TEST(UvcSyntheticDescriptors, DevicesWithoutVideoClassCodesAreReadByInterfacePosition) {
  const bytes streaming =
      join({input_header_desc(), mjpeg_format(1), frame_desc(7, 1, 640, 1, {333333})});
  bytes config =
      configuration({interface_desc(0, 0, 0, 0xFF, 0), vc_header_desc(), terminal_desc(1),
                     interface_desc(1, 0, 1, 0xFF, 0), endpoint_desc(0x81, 2, 512), streaming,
                     interface_desc(2, 0, 0, 0xFF, 0), mjpeg_format(2)});
  uvc_descriptor_set set;
  ASSERT_TRUE(parse(&set, config));
  EXPECT_EQ(set.vc_interface, config.data() + 9);
  EXPECT_EQ(set.vs_interface, config.data() + 9 + 9 + 13 + 18);
  EXPECT_EQ(set.input_terminals.count, 1u);
  EXPECT_EQ(set.format_count, 1u);     // the third interface is not read
  EXPECT_EQ(set.alternate_count, 0u);  // the stream uses bulk

  // Without a VS input header the configuration is refused.
  config = configuration({interface_desc(0, 0, 0, 0xFF, 0), vc_header_desc(),
                          interface_desc(1, 0, 0, 0xFF, 0), mjpeg_format(1),
                          frame_desc(7, 1, 640, 1, {333333})});
  EXPECT_FALSE(parse(&set, config));
}

// ---- frame intervals, GUIDs, the record list --------------------------------------

std::vector<LONGLONG> intervals_of(std::vector<uint32_t> values, uint8_t type) {
  const bytes config = video_camera(join({yuy2_format(1), frame_desc(5, 1, 320, type, values)}));
  uvc_descriptor_set set;
  EXPECT_TRUE(parse(&set, config));
  ULONG count = 0;
  EXPECT_EQ(list_frame_intervals(&set, 1, 1, nullptr, &count), STATUS_BUFFER_OVERFLOW);
  std::vector<LONGLONG> out(count);
  if (count > 1) {
    ULONG small = count - 1;  // one short: nothing written, count reported again
    EXPECT_EQ(list_frame_intervals(&set, 1, 1, out.data(), &small), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(small, count);
  }
  EXPECT_EQ(list_frame_intervals(&set, 1, 1, out.data(), &count), STATUS_SUCCESS);
  EXPECT_EQ(count, out.size());
  return out;
}

// The simulated family cameras: the parser finds every format and frame the
// camera itself declares, its streaming settings, and the extension units
// with the selectors their family reads.
TEST(UvcFamilyModels, EachModelYieldsWhatItDeclaresAndTheUnitsItsFamilyReads) {
  struct unit_need {
    const char* family;
    const GUID* guid;
    std::vector<ULONG> selectors;
  };
  const unit_need needs[] = {
      {"camera_8201", &sim::kSensorUnitGuid, {9}},
      {"camera_8101", &sim::kSensorUnitGuid, {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 15}},
      {"camera_8102", &sim::kSensorUnitGuid, {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 15}},
      {"camera_8209", &sim::kVendorUnitGuid, {6, 7, 8, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21}},
      {"camera_8800", &sim::kSensorUnitGuid, {57}},
  };
  for (const sim::camera_model& m : sim::family_camera_models()) {
    SCOPED_TRACE(m.id);
    const std::shared_ptr<sim::uvc_camera> camera = m.create();
    const bytes config = camera->configuration_descriptor();
    uvc_descriptor_set set;
    ASSERT_TRUE(parse(&set, config));
    expect_inside(set, config.data(), config.size());
    raw_format_list records;
    ASSERT_EQ(build_raw_format_records(&set, &records), STATUS_SUCCESS);
    std::string declared;
    for (const sim::uvc_format_info& f : camera->formats()) {
      if (!declared.empty()) declared += "; ";
      declared += (f.subtype == 6 ? std::string("MJPG") : fourcc_text(f.guid.Data1)) + "#" + std::to_string(f.index);
      for (const sim::uvc_frame_info& fr : f.frames) {
        declared += " " + std::to_string(fr.width) + "x" + std::to_string(fr.height);
        listed(&set, f.index, fr.index);
      }
    }
    EXPECT_EQ(formats_of(records), declared);
    const std::string alternates = alternates_of(set);
    EXPECT_EQ(alternates.find('b') == std::string::npos, m.family == "camera_8101" || m.family == "camera_8102" ||
                                                             m.family == "camera_0109")
        << alternates;
    UCHAR id = 0;
    EXPECT_TRUE(find_unit_id(&set, uvc_kind_camera_terminal, &id));
    EXPECT_TRUE(find_unit_id(&set, uvc_kind_processing_unit, &id));
    for (const unit_need& need : needs) {
      if (m.family != need.family) continue;
      for (ULONG selector : need.selectors) {
        EXPECT_NE(find_extension_unit(&set, *need.guid, selector - 1), nullptr) << "selector " << selector;
      }
    }
  }
}

TEST(UvcFrameIntervals, DiscreteListsSortAndContinuousRangesRunFromMinimumToMaximum) {
  using v = std::vector<LONGLONG>;
  EXPECT_EQ(intervals_of({666666, 333333, 1000000}, 3), (v{333333, 666666, 1000000}));
  EXPECT_EQ(intervals_of({333333, 1000000, 333333}, 0), (v{333333, 666666, 999999, 1000000}));
  EXPECT_EQ(intervals_of({400000, 1000000, 200000}, 0), (v{400000, 600000, 800000, 1000000}));
  EXPECT_EQ(intervals_of({333333, 1000000, 0}, 0), (v{333333, 1000000}));
  EXPECT_EQ(intervals_of({500000, 500000, 0}, 0), (v{500000}));
  EXPECT_EQ(intervals_of({900000, 300000, 100}, 0), (v{900000}));  // maximum below minimum

  // A fine-grained range is thinned to every k-th step.
  const v wide = intervals_of({100000, 10000000, 1}, 0);
  ASSERT_LE(wide.size(), uvc_max_listed_intervals);
  ASSERT_GT(wide.size(), uvc_max_listed_intervals / 2);
  EXPECT_EQ(wide.front(), 100000);
  EXPECT_EQ(wide.back(), 10000000);
  const LONGLONG stride = wide[1] - wide[0];
  for (size_t i = 1; i + 1 < wide.size(); ++i) EXPECT_EQ(wide[i], 100000 + LONGLONG(i) * stride);
}

TEST(UvcSubtypes, RgbSubtypesHaveTheirOwnGuidsAndEveryOtherFourccMapsBothWays) {
  EXPECT_EQ(fourcc_from_subtype(MEDIASUBTYPE_RGB24), img::FOURCC_RGB24);
  EXPECT_EQ(fourcc_from_subtype(MEDIASUBTYPE_RGB8), img::FOURCC_RGB8);
  EXPECT_TRUE(same_guid(subtype_from_fourcc(img::FOURCC_RGB32), MEDIASUBTYPE_RGB32));
  const GUID y800 = {img::FOURCC_Y800, 0, 0x10, {0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71}};
  EXPECT_TRUE(same_guid(subtype_from_fourcc(img::FOURCC_Y800), y800));
  EXPECT_EQ(fourcc_from_subtype(y800), img::FOURCC_Y800);
}

TEST(UvcRecordList, AFailedGrowthChangesNothing) {
  const parsed_camera canyon("canyon_cne_cwc2");
  ASSERT_TRUE(canyon.ok);
  const uvc_descriptor_set& set = canyon.set;
  raw_format_list records;
  kstandin::fail_next_allocations(1, pool_tag::objects);
  EXPECT_EQ(build_raw_format_records(&set, &records), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(records.count(), 0u);

  ASSERT_EQ(build_raw_format_records(&set, &records), STATUS_SUCCESS);
  ASSERT_EQ(records.count(), 18u);

  // Full at 32: the next record needs a bigger block, which fails.
  while (records.count() < records.capacity())
    ASSERT_EQ(records.append(records[0]), STATUS_SUCCESS);
  const ULONG full = records.count();
  kstandin::fail_next_allocations(1, pool_tag::objects);
  EXPECT_EQ(records.append(records[1]), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(records.count(), full);
  EXPECT_EQ(records[full - 1].frame_index, 1u);
}

TEST(UvcRecordList, FamiliesCanReadUncompressedFormatsTheirOwnWay) {
  struct counting_makers : default_record_makers {
    NTSTATUS add_uncompressed_format(const UCHAR* format, const UCHAR* frame,
                                     raw_format_list* records) {
      ++calls;
      return default_record_makers::add_uncompressed_format(format, frame, records);
    }
    int calls = 0;
  } makers;
  parsed_camera anker("anker_powerconf_c200");
  ASSERT_TRUE(anker.ok);
  uvc_descriptor_set& set = anker.set;
  raw_format_list records;
  ASSERT_EQ(build_raw_format_records(&set, &records, makers), STATUS_SUCCESS);
  EXPECT_EQ(makers.calls, 3);  // the three YUY2 frames; MJPEG and H.264 are not uncompressed
  EXPECT_EQ(records.count(), 15u);

  set.formats[1].frames[2] = nullptr;
  EXPECT_EQ(build_raw_format_records(&set, &records), STATUS_INVALID_PARAMETER);
}

}  // namespace
