// The camera families end to end through the client API: every offered
// format delivers frames; the 0x8209's JPEG pictures come out whole and
// decodable whatever the transfers cut; the 0x8800 weaves its fields; the
// 0x82xx window bins; and a seeded run of each family with the simulator's
// faults on delivers only what the camera sent intact, each once, and
// counts everything else.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <map>
#include <set>

#include "../features/bson_builder.h"
#include "cameras/camera_8209.h"
#include "cameras/camera_8800.h"
#include "controls/default_sets.h"
#include "families_support.h"
#include "sim/families/model_8209.h"
#include "sim/families/model_82xx.h"
#include "sim/families/model_8800.h"
#include "uvc/uvc_camera.h"

// After the kernel headers, which define INT32 as Windows does (as int).
#define _BASETSD_H_
#include <jpeglib.h>

namespace famtest {
namespace {

uint32_t le32_at(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4 && offset + i < bytes.size(); ++i) v |= uint32_t(bytes[offset + i]) << (8 * i);
  return v;
}

struct jpeg_error : jpeg_error_mgr {
  jmp_buf escape;
};

// Decodes a JPEG with libjpeg: false when it does not decode cleanly.
bool decode_jpeg(const std::vector<uint8_t>& data, int* width, int* height) {
  jpeg_decompress_struct info;
  jpeg_error error;
  info.err = jpeg_std_error(&error);
  error.error_exit = [](j_common_ptr c) { longjmp(static_cast<jpeg_error*>(c->err)->escape, 1); };
  error.output_message = [](j_common_ptr) {};
  if (setjmp(error.escape)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
  jpeg_read_header(&info, TRUE);
  jpeg_start_decompress(&info);
  std::vector<uint8_t> row(size_t(info.output_width) * info.output_components);
  while (info.output_scanline < info.output_height) {
    JSAMPROW p = row.data();
    jpeg_read_scanlines(&info, &p, 1);
  }
  jpeg_finish_decompress(&info);
  *width = int(info.output_width);
  *height = int(info.output_height);
  const bool clean = error.num_warnings == 0;
  jpeg_destroy_decompress(&info);
  return clean;
}

uint64_t total_size(const std::vector<sim::sent_picture>& pictures) {
  uint64_t n = 0;
  for (const sim::sent_picture& p : pictures) n += p.size;
  return n;
}

// The offered range of that format and size (code 0 when there is none).
offered find_offered(const std::vector<offered>& formats, const char (&code)[5], LONG width, LONG height) {
  for (const offered& o : formats) {
    if (o.code == fourcc(code) && o.width == width && o.height == height) return o;
  }
  ADD_FAILURE() << "no " << code << " " << width << "x" << height;
  return offered();
}

// ---- every offered format -------------------------------------------------------------------

class every_format : public family_device, public ::testing::WithParamInterface<const char*> {};

// Each range the pin offers, at its own size, delivers a frame of that
// size (an MJPEG frame: a JPEG from its start marker to its end marker).
TEST_P(every_format, each_offered_format_delivers_frames) {
  plug_model(GetParam());
  const std::vector<offered> formats = offered_formats();
  ASSERT_FALSE(formats.empty());
  for (const offered& o : formats) {
    SCOPED_TRACE(fourcc_text(o.code) + " " + std::to_string(o.width) + "x" + std::to_string(o.height));
    start(o, 0, 0, 2);
    // A 2592 x 1944 JPEG takes the simulator tens of seconds in a
    // sanitizer build.
    const std::vector<delivered> frames = take(1, 100000);
    ASSERT_GE(frames.size(), 1u);
    const std::vector<uint8_t>& data = frames[0].data;
    if (o.code == fourcc("MJPG")) {
      ASSERT_GE(data.size(), 4u);
      EXPECT_EQ(data[0], 0xFF);
      EXPECT_EQ(data[1], 0xD8);
      EXPECT_EQ(data[data.size() - 2], 0xFF);
      EXPECT_EQ(data[data.size() - 1], 0xD9);
    } else {
      EXPECT_EQ(data.size(), size_t(o.width) * size_t(o.height < 0 ? -o.height : o.height) * o.bits / 8);
    }
    stop();
  }
}

INSTANTIATE_TEST_SUITE_P(Models, every_format,
                         ::testing::Values("8201-colour", "8202-mono", "8203-colour", "8203-mono", "8204-mono",
                                           "8205-colour", "8206-colour", "8207-colour", "8207-mono",
                                           "8208-colour", "8208-mono", "8101-colour", "8101-mono",
                                           "8102-colour", "8102-mono", "8209-colour", "8800-hd", "0109-webcam"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// ---- the JPEG byte stream -------------------------------------------------------------------

// Pictures in transfers cut at seeded points, cut between the two bytes
// of every marker, and in whole 16 KiB transfers: every delivered frame is
// a picture as the camera sent it, byte for byte, that libjpeg decodes.
// Then pictures without their end marker are counted and never delivered.
TEST_F(family_device, jpeg_pictures_arrive_whole_whatever_the_transfers_cut) {
  auto camera = plug_model<sim::model_8209>("8209-colour");
  const offered vga = find_offered(offered_formats(), "MJPG", 640, 480);
  ASSERT_NE(vga.code, 0u);
  constexpr size_t kPictures = 3;
  const struct {
    bool split, cut_markers;
  } regimes[] = {{true, true}, {true, false}, {false, false}};
  for (const auto& regime : regimes) {
    SCOPED_TRACE(std::string(regime.split ? "split" : "whole") + (regime.cut_markers ? ", markers cut" : ""));
    sim::jpeg_stream_options options;
    options.seed = regime.cut_markers ? 41 : 42;
    options.split = regime.split;
    options.cut_markers = regime.cut_markers;
    options.quality = 20;
    options.frame_limit = kPictures;
    camera->set_jpeg_stream(options);
    camera->clear_sent_pictures();
    camera->clear_requests();
    start(vga, 0, 0, kPictures);
    const std::vector<delivered> frames = take(kPictures);
    stop();
    const std::vector<sim::sent_picture> sent = camera->sent_pictures();
    ASSERT_EQ(sent.size(), kPictures);
    ASSERT_EQ(frames.size(), kPictures);
    for (size_t i = 0; i < kPictures; ++i) {
      EXPECT_EQ(frames[i].data, sent[i].bytes) << "picture " << i;
      int width = 0, height = 0;
      EXPECT_TRUE(decode_jpeg(frames[i].data, &width, &height)) << "picture " << i;
      EXPECT_EQ(width, 640);
      EXPECT_EQ(height, 480);
    }
    // Where the transfers ended in the stream, and how many of them fell
    // between the two bytes of a marker.
    std::set<uint64_t> ends;
    uint64_t offset = 0;
    for (const sim::request_record& r : camera->requests()) {
      if (r.endpoint == camera->streaming_endpoint() && r.completed && r.transferred != 0) {
        offset += r.transferred;
        ends.insert(offset);
      }
    }
    unsigned cut_markers = 0;
    offset = 0;
    for (const sim::sent_picture& p : sent) {
      cut_markers += ends.count(offset + 1) + ends.count(offset + p.size - 1);
      offset += p.size;
    }
    EXPECT_EQ(cut_markers, regime.cut_markers ? 2 * kPictures : cut_markers);
  }

  // Every second picture lacks its end marker: it is closed by the next
  // start marker, counted and dropped.
  sim::jpeg_stream_options faulty;
  faulty.seed = 9;
  faulty.missing_end = 500;
  faulty.quality = 20;
  faulty.frame_limit = 12;
  camera->set_jpeg_stream(faulty);
  camera->clear_sent_pictures();
  const uint64_t bytes_before = camera->jpeg_counters().bytes;
  start(vga, 0, 0, 12);
  auto* driver = static_cast<camera_8209*>(driver_camera());
  std::vector<sim::sent_picture> sent;
  ASSERT_TRUE(eventually([&] {
    sent = camera->sent_pictures();
    return sent.size() == 12 && camera->jpeg_counters().bytes - bytes_before == total_size(sent);
  }));
  size_t whole = 0, without_end = 0;
  for (size_t i = 0; i < sent.size(); ++i) {
    ASSERT_TRUE(sent[i].start_marker);
    whole += sent[i].end_marker ? 1 : 0;
    // The last picture, if it lacks its end, is still waiting for the next start.
    without_end += !sent[i].end_marker && i + 1 < sent.size() ? 1 : 0;
  }
  ASSERT_GT(without_end, 0u);
  ASSERT_GT(whole, 0u);
  const std::vector<delivered> frames = take(whole);
  std::map<std::vector<uint8_t>, bool> by_bytes;
  for (const sim::sent_picture& p : sent) by_bytes[p.bytes] = p.end_marker;
  for (const delivered& d : frames) {
    auto it = by_bytes.find(d.data);
    ASSERT_NE(it, by_bytes.end()) << "a delivered picture was never sent";
    EXPECT_TRUE(it->second);
  }
  const jpeg_counters counters = driver->counters();
  EXPECT_EQ(counters.good, whole);
  EXPECT_EQ(counters.missing_end, without_end);
  EXPECT_EQ(counters.missing_start, 0u);
  EXPECT_EQ(driver->p_drops(), without_end);
  EXPECT_EQ(driver->frames_delivered(), whole);
  stop();

  // 15 fps from a camera that sends 60: pictures that come early (here
  // several small ones in one transfer) are dropped, not counted as lost,
  // and the rest delivered.
  sim::jpeg_stream_options fast;
  fast.quality = 1;
  fast.split = false;
  fast.frame_limit = 8;
  camera->set_jpeg_stream(fast);
  start(vga, 0, 0, 8, 666666);
  EXPECT_EQ(driver->minimum_spacing(), 666666);
  ASSERT_TRUE(eventually([&] { return driver->counters().good == 8; }))
      << "good " << driver->counters().good << ", missing start " << driver->counters().missing_start
      << ", missing end " << driver->counters().missing_end << ", sent " << camera->sent_pictures().size();
  const jpeg_counters limited = driver->counters();
  EXPECT_GT(limited.rate_dropped, 0u);
  EXPECT_EQ(driver->frames_delivered() + driver->q_drops() + limited.rate_dropped, 8u);
  EXPECT_EQ(driver->p_drops(), 0u);
}

// ---- the capture device's fields ------------------------------------------------------------

// The field pair (n, n + 1) woven as the client gets it: the first field's
// lines on the even rows of a top-field-first source, on the odd rows of a
// bottom-field-first one.
std::vector<uint8_t> woven(const std::vector<uint8_t>& first, const std::vector<uint8_t>& second, size_t pitch,
                           bool bottom_first) {
  const size_t lines = first.size() / pitch;
  std::vector<uint8_t> frame(2 * lines * pitch);
  for (size_t r = 0; r < 2 * lines; ++r) {
    const std::vector<uint8_t>& field = (r % 2 == 0) != bottom_first ? first : second;
    std::copy_n(field.begin() + ptrdiff_t(r / 2 * pitch), pitch, frame.begin() + ptrdiff_t(r * pitch));
  }
  return frame;
}

// A bottom-field-first source that loses the second field of one pair and
// the first of the next: each frame is the two fields of one pair, the
// first on the odd rows, exactly as the device sent them; the fields
// around the gap belong to two pictures (their presentation times tell)
// and are dropped, not woven.
TEST_F(family_device, woven_frames_interleave_the_fields_of_one_pair_only) {
  constexpr size_t kPitch = 1920 * 2;
  auto camera = sim::model_8800::create(sim::video_source::i1080, true);
  camera->lose_fields({3, 4});
  ASSERT_EQ(plug(camera), STATUS_SUCCESS);
  const offered full = find_offered(offered_formats(), "YUY2", 1920, 1080);
  ASSERT_NE(full.code, 0u);
  sim::stream_options options = camera->get_stream_options();
  options.frame_limit = 10;  // fields 0 to 11 but the two lost
  camera->set_stream_options(options);
  start(full, 0, 0, 4);
  const std::vector<delivered> frames = take(4);
  stop();
  std::map<uint32_t, std::vector<uint8_t>> fields;  // by the number in their first bytes
  for (const sim::sent_frame& f : camera->sent_frames()) fields[le32_at(f.bytes, 0)] = f.bytes;
  std::vector<uint32_t> pairs;
  for (const delivered& d : frames) {
    const uint32_t first = le32_at(d.data, kPitch);
    ASSERT_TRUE(fields.count(first) && fields.count(first + 1)) << "pair " << first;
    EXPECT_TRUE(d.data == woven(fields[first], fields[first + 1], kPitch, true)) << "pair " << first;
    pairs.push_back(first);
  }
  EXPECT_EQ(pairs, (std::vector<uint32_t>{0, 6, 8, 10}));
  EXPECT_EQ(driver_camera()->p_drops(), 2u);  // fields 2 and 5
}

// ---- the sensor window's binning -------------------------------------------------------------

// Binning 2 set before the stream: a 1296 x 972 format reads the whole
// 2592 x 1944 sensor binned, and the client gets the binned samples the
// camera sent.
TEST_F(family_device, binning_two_delivers_the_whole_sensor_at_half_size) {
  auto camera = plug_model<sim::model_82xx>("8207-mono");
  ASSERT_EQ(set_extension(212, 2), STATUS_SUCCESS);
  const offered half = find_offered(offered_formats(), "Y800", 1296, 972);
  ASSERT_NE(half.code, 0u);
  start(half, 0, 0, 2);
  const std::vector<delivered> frames = take(2);
  const sim::readout r = camera->current_readout();
  stop();
  EXPECT_EQ(r.bin_x, 2u);
  EXPECT_EQ(r.bin_y, 2u);
  EXPECT_EQ(r.width, 1296u);
  EXPECT_EQ(r.height, 972u);
  EXPECT_EQ(r.x, 0u);
  EXPECT_EQ(r.y, 0u);
  std::set<std::vector<uint8_t>> sent;
  for (const sim::sent_frame& f : camera->sent_frames()) {
    if (f.intact) sent.insert(f.bytes);
  }
  ASSERT_EQ(frames.size(), 2u);
  for (const delivered& d : frames) {
    EXPECT_EQ(d.data.size(), 1296u * 972u);
    EXPECT_TRUE(sent.count(d.data)) << "a frame the camera did not send";
  }
}

// ---- the capture device's named default sets -------------------------------------------------

// The request of a register-description list id: the property header, then
// 0 and the document index.
std::vector<uint8_t> access_request(ULONG id, uint32_t index) {
  const KSPROPERTY header = kstandin::ks_make_property(extension_access_set, id, KSPROPERTY_TYPE_GET);
  std::vector<uint8_t> request(sizeof(header) + 8, 0);
  memcpy(request.data(), &header, sizeof(header));
  memcpy(request.data() + sizeof(header) + 4, &index, 4);
  return request;
}

// The sets a device stores for the 0x8800 are listed: the register
// description of the sets names them, and the selection takes their
// indices and no more.
TEST_F(family_device, the_capture_device_lists_the_sets_it_stores) {
  using featuretest::bson_doc;
  auto camera = sim::model_8800::create();
  camera->set_stored_default_sets(featuretest::sets_document(
      {featuretest::named_set("Studio", 1, 20, {"8800"}, bson_doc().i64("Brightness", 40)),
       featuretest::named_set("Broadcast", 1, 10, {"8800"}, bson_doc().i64("Contrast", 30)),
       featuretest::named_set("Other", 1, 5, {"8406"}, bson_doc().i64("Contrast", 30))}));
  ASSERT_EQ(plug(camera), STATUS_SUCCESS);
  std::vector<std::string> documents;
  for (uint32_t index = 0;; ++index) {
    std::vector<uint8_t> request = access_request(1, index);
    uint32_t size = 0;
    ULONG_PTR returned = 0;
    if (!NT_SUCCESS(kstandin::ks_property(filter_, request.data(), ULONG(request.size()), &size, 4, &returned))) {
      break;
    }
    std::string text(size, '\0');
    request = access_request(2, index);
    ASSERT_EQ(kstandin::ks_property(filter_, request.data(), ULONG(request.size()), text.data(), size, &returned),
              STATUS_SUCCESS);
    documents.push_back(text);
  }
  ASSERT_EQ(documents.size(), 1u);
  // Every set of the device's document, whatever products it names (the
  // device speaks for itself), by seqnum; the built-in sets name no 0x8800.
  const std::string& sets = documents[0];
  const size_t other = sets.find("Other"), broadcast = sets.find("Broadcast"), studio = sets.find("Studio");
  ASSERT_NE(other, std::string::npos);
  ASSERT_NE(broadcast, std::string::npos);
  ASSERT_NE(studio, std::string::npos);
  EXPECT_LT(other, broadcast);
  EXPECT_LT(broadcast, studio);
  EXPECT_EQ(sets.find("Neutral"), std::string::npos);

  // The selection, virtual register 0x11, takes the three sets' indices.
  for (const auto& [index, status] : {std::pair<ULONG, NTSTATUS>{2, STATUS_SUCCESS}, {3, STATUS_INVALID_PARAMETER}}) {
    const KSPROPERTY header = kstandin::ks_make_property(extension_access_set, 3, KSPROPERTY_TYPE_SET);
    std::vector<uint8_t> request(sizeof(header) + 8);
    const uint64_t address = 0xCEBB000100000000ull | nps_property_selected;
    memcpy(request.data(), &header, sizeof(header));
    memcpy(request.data() + sizeof(header), &address, 8);
    ULONG value = index;
    ULONG_PTR returned = 0;
    EXPECT_EQ(kstandin::ks_property(filter_, request.data(), ULONG(request.size()), &value, 4, &returned), status);
  }
}

// Bytes lost with a failed transfer (the reader's report: no data) inside
// a picture whose two markers both arrive: the picture is dropped and
// counted, also when the gap falls between the two bytes of its start
// marker; a gap after a closed picture spoils nothing.
TEST_F(family_device, a_jpeg_picture_across_bytes_lost_on_the_bus_is_dropped) {
  plug_model<sim::model_8209>("8209-colour");
  auto* driver = static_cast<camera_8209*>(driver_camera());
  std::vector<uint8_t> picture = {0xFF, 0xD8, 1, 2, 3, 4, 5, 6, 0xFF, 0xD9};
  const auto send = [&](size_t from, size_t to) { driver->process_raw_transfer(&picture[from], ULONG(to - from)); };
  const auto lose = [&] { driver->process_raw_transfer(nullptr, 0); };
  const ULONGLONG drops = driver->p_drops();
  send(0, 5), lose(), send(5, 10);
  send(0, 1), lose(), send(1, 10);
  lose(), send(0, 10);
  const jpeg_counters counters = driver->counters();
  EXPECT_EQ(counters.damaged, 2u);
  EXPECT_EQ(counters.good, 1u);
  EXPECT_EQ(counters.missing_start + counters.missing_end, 0u);
  EXPECT_EQ(driver->p_drops() - drops, 2u);
}

// ---- seeded runs with faults -----------------------------------------------------------------

struct soak_case {
  const char* name;
  const char* model;
  char code[5];
  LONG width, height;
  uint32_t seed;
  uint64_t frames;  // frames (fields, pictures) the camera sends
  bool eof_completes = false;  // a frame is complete at its end-of-frame bit whatever its length
};

// Faults of every kind the family's pipe can meet, a few per cent of the
// frames each: payload faults are per payload, so they shrink with the
// payloads of a frame. No long frames (they count twice).
sim::stream_faults soak_faults(uint64_t frame_bytes) {
  sim::stream_faults f;
  const unsigned per_payload = unsigned(std::max<uint64_t>(1, 30 * 3000 / std::max<uint64_t>(frame_bytes, 3000)));
  f.drop_payload = f.bad_header = f.packet_error = per_payload;
  f.missing_eof = f.short_frame = 30;
  f.empty_packet = 20;
  f.babble = 3;
  f.request_error = 5;
  return f;
}

// A frame the client got, as it came back.
struct returned_frame {
  std::vector<uint8_t> data;
  bool has_info = false;
  KS_FRAME_INFO info{};
};

class family_soak : public family_device, public ::testing::WithParamInterface<soak_case> {
 protected:
  // Takes back every buffer (queueing it again) until the camera has sent
  // everything and nothing more comes back for 1.5 s.
  std::vector<returned_frame> run_until_sent(const std::function<bool()>& all_sent) {
    std::vector<returned_frame> frames;
    bool sent = false;
    for (int quiet = 0; quiet < 2;) {
      std::vector<kstandin::ks_completed_read> reads = kstandin::ks_take_completed(pin_, 1, sent ? 1500 : 500);
      if (!sent) {
        sent = all_sent();
        EXPECT_LT(frames.size(), 100000u);
      } else if (reads.empty()) {
        ++quiet;
      }
      for (auto& read : reads) {
        if (read.status == STATUS_SUCCESS) {
          read.data.resize(read.header.DataUsed);
          frames.push_back({std::move(read.data), read.has_frame_info, read.frame_info});
        } else {
          EXPECT_EQ(read.status, STATUS_CANCELLED);
        }
        requeue();
      }
      if (!sent && ::testing::Test::HasFailure()) break;
    }
    return frames;
  }
};

TEST_P(family_soak, faults_lose_nothing_and_return_nothing_twice) {
  const soak_case& c = GetParam();
  plug_model(c.model);
  const offered range = find_offered(offered_formats(), c.code, c.width, c.height);
  ASSERT_NE(range.code, 0u);
  const bool jpeg_stream = std::string(c.model) == "8209-colour";
  const bool weaving = std::string(c.model) == "8800-hd";
  sim::stream_options options = camera_->get_stream_options();
  options.seed = c.seed;
  options.faults = soak_faults(uint64_t(c.width) * uint64_t(c.height) * range.bits / 8);
  if (c.eof_completes) {
    // Bytes the camera did not send before the end-of-frame bit (a dropped
    // payload, a short frame) make a shorter frame that such a camera takes
    // as it is. A payload whose header cannot be read, a packet that
    // completed with an error or a failed transfer is seen by the host: the
    // frame it tore must not be delivered.
    options.faults.drop_payload = options.faults.short_frame = 0;
  }
  options.frame_limit = options.record_limit = c.frames;
  options.record_bytes = true;
  camera_->set_stream_options(options);
  start(range, 0, 0, 4);
  auto* model_8209 = jpeg_stream ? static_cast<sim::model_8209*>(camera_.get()) : nullptr;
  const std::vector<returned_frame> frames = run_until_sent([&] {
    if (jpeg_stream) {
      const std::vector<sim::sent_picture> sent = model_8209->sent_pictures();
      return sent.size() == c.frames && model_8209->jpeg_counters().bytes == total_size(sent);
    }
    return camera_->sent_counters().frames_sent == c.frames && bus_.settle();
  });
  camera_statistics stats;
  driver_camera()->get_statistics(&stats);
  stop();

  // What the client saw: picture numbers rising, drop counts never falling,
  // and each picture number the count of frames before it.
  ASSERT_FALSE(frames.empty());
  LONGLONG last_picture = -1, last_drops = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (!frames[i].has_info) continue;
    EXPECT_GT(frames[i].info.PictureNumber, last_picture) << "returned twice or out of order";
    EXPECT_GE(frames[i].info.DropCount, last_drops);
    EXPECT_EQ(frames[i].info.PictureNumber, LONGLONG(i) + frames[i].info.DropCount);
    last_picture = frames[i].info.PictureNumber;
    last_drops = frames[i].info.DropCount;
  }
  EXPECT_EQ(stats.frames_delivered, frames.size());
  EXPECT_LE(ULONGLONG(last_drops), stats.p_drops + stats.q_drops);

  if (jpeg_stream) {
    // Every delivered picture is one the camera sent whole, or the start of
    // one without its end joined to the rest of the next without its start
    // (which no marker can tell apart), each once.
    const std::vector<sim::sent_picture> sent = model_8209->sent_pictures();
    std::map<std::vector<uint8_t>, uint64_t> whole;
    uint64_t intact = 0, marker_faults = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
      if (sent[i].start_marker && sent[i].end_marker) {
        whole[sent[i].bytes] = sent[i].sequence;
        ++intact;
      } else {
        ++marker_faults;
        if (!sent[i].end_marker && i + 1 < sent.size() && !sent[i + 1].start_marker && sent[i + 1].end_marker) {
          std::vector<uint8_t> joined = sent[i].bytes;
          joined.insert(joined.end(), sent[i + 1].bytes.begin(), sent[i + 1].bytes.end());
          whole[joined] = sent[i].sequence;
        }
      }
    }
    int64_t previous = -1;
    for (const returned_frame& f : frames) {
      auto it = whole.find(f.data);
      ASSERT_NE(it, whole.end()) << "a picture the camera never sent";
      EXPECT_GT(int64_t(it->second), previous) << "out of order or twice";
      previous = int64_t(it->second);
    }
    const jpeg_counters counters = static_cast<camera_8209*>(driver_camera())->counters();
    EXPECT_GE(counters.good, intact);
    EXPECT_EQ(counters.good, frames.size() + stats.q_drops + counters.rate_dropped);
    EXPECT_GT(marker_faults, 0u);
    EXPECT_GT(stats.p_drops, 0u);
    EXPECT_LE(stats.p_drops, marker_faults);
    return;
  }

  const std::vector<sim::sent_frame> sent = camera_->sent_frames();
  ASSERT_EQ(sent.size(), c.frames);
  std::map<uint64_t, const sim::sent_frame*> by_number;
  uint64_t arrived = 0, partly_lost = 0, intact = 0, packet_errors = 0;
  for (const sim::sent_frame& f : sent) {
    by_number[f.sequence] = &f;
    // A frame of which nothing arrived, or the last one without its end,
    // is never counted; a frame whose rest a failed chunked transfer took
    // may cost the next one too.
    const bool counted = f.payloads_lost != f.payloads && !(&f == &sent.back() && f.last_payload_lost);
    arrived += counted ? 1 : 0;
    partly_lost += f.fault == sim::stream_fault::failed_transfer ? 1 : 0;
    intact += f.intact ? 1 : 0;
    packet_errors += f.fault == sim::stream_fault::packet_error ? 1 : 0;
  }
  EXPECT_GT(intact, c.frames / 2);
  if (c.eof_completes) {
    EXPECT_GT(packet_errors, 0u) << "no frame torn by a packet error";
  }
  EXPECT_LT(intact, c.frames);
  const uint64_t counted = stats.frames_delivered + stats.p_drops + stats.q_drops;
  int64_t previous = -1;
  if (weaving) {
    // Every woven frame is the two intact fields of one pair; a pair counts
    // once, a field that ends in no frame once.
    constexpr size_t kPitch = 1920 * 2;
    for (const returned_frame& f : frames) {
      const uint32_t first = le32_at(f.data, 0);
      ASSERT_TRUE(by_number.count(first) && by_number.count(first + 1)) << "pair " << first;
      const sim::sent_frame& a = *by_number[first];
      const sim::sent_frame& b = *by_number[first + 1];
      EXPECT_EQ(first % 2, 0u);
      ASSERT_TRUE(a.intact && b.intact) << "pair " << first << " woven from a spoiled field";
      EXPECT_TRUE(f.data == woven(a.bytes, b.bytes, kPitch, false)) << "pair " << first;
      EXPECT_GT(int64_t(first), previous) << "out of order or twice";
      previous = first;
    }
    EXPECT_GE(counted, (arrived + 1) / 2);
    EXPECT_LE(counted, arrived + partly_lost);
    return;
  }
  // Every delivered frame is a frame the camera sent intact, in order, once;
  // every frame that arrived is counted once.
  std::map<std::vector<uint8_t>, uint64_t> intact_bytes;
  for (const sim::sent_frame& f : sent) {
    if (f.intact) intact_bytes[f.bytes] = f.sequence;
  }
  for (const returned_frame& f : frames) {
    auto it = intact_bytes.find(f.data);
    ASSERT_NE(it, intact_bytes.end()) << "a frame the camera did not send intact, " << f.data.size() << " bytes";
    EXPECT_GT(int64_t(it->second), previous) << "out of order or twice";
    previous = int64_t(it->second);
  }
  EXPECT_GE(counted, arrived) << "p " << stats.p_drops << ", q " << stats.q_drops;
  EXPECT_LE(counted, arrived + partly_lost) << "p " << stats.p_drops << ", q " << stats.q_drops;
}

INSTANTIATE_TEST_SUITE_P(Families, family_soak,
                         ::testing::Values(soak_case{"camera_82xx", "8207-mono", "Y800", 640, 480, 31, 60},
                                           soak_case{"camera_8101", "8101-colour", "YUY2", 640, 480, 32, 60},
                                           soak_case{"camera_8102", "8102-mono", "Y800", 640, 480, 33, 60},
                                           soak_case{"camera_8209", "8209-colour", "MJPG", 640, 480, 34, 40},
                                           soak_case{"camera_8800", "8800-hd", "YUY2", 1920, 1080, 35, 40},
                                           soak_case{"camera_0109", "0109-webcam", "YUY2", 320, 240, 36, 60, true}),
                         [](const ::testing::TestParamInfo<soak_case>& info) { return info.param.name; });

}  // namespace
}  // namespace famtest
