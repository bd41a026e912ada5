// The simulated camera's video as a host sees it on the bus: payload
// headers, frame boundaries and the committed format in bulk transfers and
// isochronous packets, how payloads meet transfer and packet limits, the
// stream stopping and restarting with alternate settings, seeded faults of
// every kind, real-time pacing, and the same picture in every format.
#include <gtest/gtest.h>
#include <setjmp.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <set>

#include "sim/jpeg_encoder.h"
#include "sim/picture_controls.h"
#include "sim/usb_bus.h"
#include "sim/uvc_profiles.h"
#include "sim_client.h"

// After the kernel headers, which define INT32 as Windows does (as int).
#define _BASETSD_H_
#include <jpeglib.h>

namespace {

using namespace simtest;
namespace uvc = sim::uvc;

constexpr UCHAR kY800 = 1, kYUY2 = 2, kMJPG = 3;  // format indices of the plain cameras
constexpr UCHAR k320x240 = 2, k320x240Mjpeg = 3;  // frame indices
constexpr uint32_t kClock = 48000000;

// One payload as received: the header fields and the data behind it.
struct payload {
  uint8_t header_length = 0;
  uint8_t info = 0;
  uint32_t pts = 0;
  std::vector<uint8_t> data;
  bool fid() const { return info & 1; }
  bool eof() const { return info & 2; }
};

payload parse(const std::vector<uint8_t>& bytes) {
  payload p;
  EXPECT_GE(bytes.size(), 2u);
  if (bytes.size() < 2) return p;
  p.header_length = bytes[0];
  p.info = bytes[1];
  EXPECT_LE(p.header_length, bytes.size());
  if (p.header_length > bytes.size()) return p;
  if (p.header_length >= 6) memcpy(&p.pts, &bytes[2], 4);
  p.data.assign(bytes.begin() + p.header_length, bytes.end());
  return p;
}

std::vector<uint8_t> render(uint32_t fourcc, uint32_t width, uint32_t height, uint64_t number) {
  std::vector<uint8_t> frame;
  sim::make_test_pattern()->render(sim::frame_format{fourcc, width, height, 0, 0}, number, frame);
  return frame;
}

class stream_test : public camera_fixture {
 protected:
  void plug(const sim::uvc_camera_desc& desc) {
    camera_fixture::plug(desc);
    std::vector<UCHAR> configuration = camera->configuration_descriptor();
    NTSTATUS status;
    PURB urb = select_configuration(pdo, &configuration, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    config_handle = urb->UrbSelectConfiguration.ConfigurationHandle;
    ExFreePool(urb);
    if (desc.iso_packet_sizes.empty()) select_alternate(0);  // bulk: the endpoint is on setting 0
  }
  void select_alternate(UCHAR alternate) {
    USBD_INTERFACE_INFORMATION streaming{};
    ASSERT_EQ(select_interface(pdo, config_handle, alternate, &streaming), STATUS_SUCCESS);
    pipe = streaming.Pipes[0];
  }
  void commit(UCHAR format, UCHAR frame, ULONG interval = 333333) {
    sim::uvc_streaming_control c;
    c.bFormatIndex = format;
    c.bFrameIndex = frame;
    c.dwFrameInterval = interval;
    std::vector<uint8_t> bytes = c.to_bytes(34);
    ASSERT_EQ(uvc_request(pdo, uvc::SET_CUR, 0, 1, uvc::VS_COMMIT_CONTROL, bytes.data(), 34).status,
              STATUS_SUCCESS);
  }
  // One bulk IN transfer of `length` bytes.
  std::vector<uint8_t> bulk_in(ULONG length, USBD_STATUS* status = nullptr) {
    URB urb;
    memset(&urb, 0, sizeof urb);
    std::vector<uint8_t> buffer(length);
    UsbBuildInterruptOrBulkTransferRequest(&urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe.PipeHandle, buffer.data(), nullptr, length,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    submit_urb(pdo, &urb);
    if (status != nullptr) *status = urb.UrbHeader.Status;
    buffer.resize(urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    return buffer;
  }
  // One isochronous IN transfer of `packets` packets of the pipe's size;
  // what each packet holds (and, in `statuses`, how it completed).
  std::vector<std::vector<uint8_t>> iso_in(ULONG packets, std::vector<USBD_STATUS>* statuses = nullptr) {
    std::vector<UCHAR> storage;
    std::vector<uint8_t> buffer;
    auto& iso = build_iso_in(&storage, pipe.PipeHandle, packets, pipe.MaximumPacketSize, &buffer)
                    ->UrbIsochronousTransfer;
    EXPECT_EQ(submit_urb(pdo, (PURB)storage.data()), STATUS_SUCCESS);
    std::vector<std::vector<uint8_t>> out;
    for (ULONG i = 0; i < packets; ++i) {
      const uint8_t* p = buffer.data() + iso.IsoPacket[i].Offset;
      out.emplace_back(p, p + iso.IsoPacket[i].Length);
      if (statuses != nullptr) statuses->push_back(iso.IsoPacket[i].Status);
    }
    return out;
  }
  // Bulk transfers of `length` until `frames` frames have ended with EOF.
  std::vector<payload> read_bulk_frames(int frames, ULONG length) {
    std::vector<payload> payloads;
    for (int transfers = 0; frames > 0 && transfers < 5000; ++transfers) {
      payloads.push_back(parse(bulk_in(length)));
      frames -= payloads.back().eof();
    }
    return payloads;
  }

  USBD_CONFIGURATION_HANDLE config_handle = nullptr;
  USBD_PIPE_INFORMATION pipe{};
};

TEST_F(stream_test, bulk_payloads_carry_the_committed_frame_with_fid_eof_and_time_in_each_header_form) {
  plug(sim::plain_bulk_camera_desc());
  EXPECT_FALSE(camera->streaming()) << "video before a commit";
  for (uint8_t header : {2, 6, 12}) {
    sim::stream_options options;
    options.header_length = header;
    options.max_payload = 16384;
    camera->set_stream_options(options);
    camera->clear_sent_frames();
    commit(kYUY2, k320x240);  // restarts: the first payload opens a new frame
    ASSERT_TRUE(camera->streaming());

    const std::vector<payload> payloads = read_bulk_frames(2, 16384);
    const auto sent = camera->sent_frames();
    ASSERT_EQ(sent.size(), 2u);
    size_t at = 0;
    for (const auto& frame : sent) {
      std::vector<uint8_t> data;
      for (; at < payloads.size(); ++at) {
        const payload& p = payloads[at];
        EXPECT_EQ(p.header_length, header);
        EXPECT_EQ(p.info & 0x8C, 0x80 | (header >= 6 ? 0x04 : 0) | (header == 12 ? 0x08 : 0));
        EXPECT_EQ(p.fid(), frame.fid);
        if (header >= 6) {
          EXPECT_EQ(p.pts, frame.pts);
        }
        EXPECT_LE(p.data.size() + header, 16384u);
        data.insert(data.end(), p.data.begin(), p.data.end());
        if (p.eof()) break;
      }
      ++at;
      EXPECT_TRUE(frame.intact);
      EXPECT_EQ(data, frame.bytes);
      EXPECT_EQ(data, render(sim::kFourccYUY2, 320, 240, frame.sequence));
    }
    EXPECT_EQ(at, payloads.size());
    EXPECT_NE(sent[0].fid, sent[1].fid);
    EXPECT_EQ(sent[1].sequence, sent[0].sequence + 1);
    EXPECT_NEAR(double(sent[1].pts - sent[0].pts), 333333.0 * kClock / 1e7, 1.0);
  }

  // Another format: one JPEG per frame, in one payload per transfer
  // (dwMaxPayloadTransferSize is the frame size + 12 on bulk).
  camera->set_stream_options(sim::stream_options{});
  camera->clear_sent_frames();
  commit(kMJPG, k320x240Mjpeg);
  const std::vector<payload> jpeg = read_bulk_frames(1, 320 * 240 * 2 + 12);
  ASSERT_EQ(jpeg.size(), 1u);
  uint32_t number = 0;
  EXPECT_TRUE(sim::pattern_frame_number(jpeg[0].data, sim::kFourccMJPG, &number));
  EXPECT_EQ(number, camera->sent_frames().at(0).sequence);
  EXPECT_EQ(jpeg[0].data[jpeg[0].data.size() - 1], 0xD9);  // EOI
}

TEST_F(stream_test, a_bulk_transfer_shorter_than_the_payload_takes_whole_packets_or_overruns) {
  plug(sim::plain_bulk_camera_desc());
  sim::stream_options options;
  options.max_payload = 3000;
  camera->set_stream_options(options);
  commit(kY800, k320x240);
  // 1024 = 2 packets of 512: the payload continues, without a header, in the next transfers.
  std::vector<uint8_t> whole;
  for (size_t expected : {1024u, 1024u, 952u}) {
    const std::vector<uint8_t> part = bulk_in(1024);
    EXPECT_EQ(part.size(), expected);
    whole.insert(whole.end(), part.begin(), part.end());
  }
  const payload first = parse(whole);
  EXPECT_EQ(first.header_length, 12);
  const std::vector<uint8_t> picture = render(sim::kFourccY800, 320, 240, 0);
  EXPECT_EQ(first.data, std::vector<uint8_t>(picture.begin(), picture.begin() + 2988));
  EXPECT_EQ(parse(bulk_in(4096)).data.size(), 2988u) << "the next payload starts a transfer";

  // 1000 bytes is not a whole number of packets: the third packet overruns.
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  EXPECT_EQ(bulk_in(1000, &status).size(), 0u);
  EXPECT_EQ(status, USBD_STATUS_BABBLE_DETECTED);
  read_bulk_frames(1, 4096);
  const sim::sent_frame frame = camera->sent_frames().at(0);
  EXPECT_EQ(frame.fault, sim::stream_fault::overrun);
  EXPECT_EQ(frame.payloads_lost, 1u);
  EXPECT_FALSE(frame.intact);
  EXPECT_EQ(camera->sent_counters().failed_requests, 1u);
}

TEST_F(stream_test, isochronous_packets_hold_one_payload_each_and_alternate_setting_0_stops_the_stream) {
  plug(sim::plain_camera_desc());
  commit(kY800, k320x240);
  EXPECT_FALSE(camera->streaming()) << "alternate setting 0 has no bandwidth";
  // Each alternate setting's packet size (3 x 1024 for the last) limits the payload.
  for (UCHAR alternate : {1, 4}) {
    select_alternate(alternate);
    ASSERT_TRUE(camera->streaming());
    const ULONG size = alternate == 1 ? 128 : 3072;
    EXPECT_EQ(pipe.MaximumPacketSize, size);
    const auto packets = iso_in(8);
    for (const auto& p : packets) {
      EXPECT_EQ(p.size(), size);  // a full payload in every packet, none spread over two
      EXPECT_EQ(parse(p).header_length, 12);
    }
  }
  const auto before = iso_in(1);
  const bool fid = parse(before[0]).fid();
  select_alternate(0);
  EXPECT_FALSE(camera->streaming());
  const sim::sent_frame stopped = camera->sent_frames().back();
  EXPECT_EQ(stopped.fault, sim::stream_fault::abandoned);
  EXPECT_FALSE(stopped.complete);
  EXPECT_EQ(stopped.fid, fid);

  // Streaming again: a new frame from its first byte, FID toggled.
  select_alternate(2);
  const payload next = parse(iso_in(1).at(0));
  EXPECT_NE(next.fid(), fid);
  const std::vector<uint8_t> picture = render(sim::kFourccY800, 320, 240, stopped.sequence + 1);
  EXPECT_EQ(next.data, std::vector<uint8_t>(picture.begin(), picture.begin() + next.data.size()));
}

// Everything observable on the bus for a seed and a fault mix: transfer
// statuses and bytes, and the faults the record reports.
struct fault_run {
  std::vector<std::vector<uint8_t>> transfers;
  std::vector<USBD_STATUS> statuses;
  std::vector<sim::stream_fault> faults;
  std::set<uint64_t> spoiled;  // frames with a fault
  size_t last_payload_lost = 0;  // frames whose EOF payload did not arrive
  sim::stream_counters counters;
  size_t interrupt_packets = 0;
};

class stream_fault_test : public stream_test {
 protected:
  // 1500 bulk transfers of 320x240 "Y800" in 2048-byte payloads, one per transfer.
  fault_run run(uint32_t seed, const sim::stream_faults& faults) {
    sim::uvc_camera_desc desc = sim::plain_bulk_camera_desc();
    desc.interrupt_endpoint = true;
    plug(desc);
    sim::stream_options options;
    options.seed = seed;
    options.max_payload = 2048;
    options.faults = faults;
    camera->set_stream_options(options);
    commit(kY800, k320x240);
    fault_run r;
    for (int i = 0; i < 1500; ++i) {
      USBD_STATUS status;
      r.transfers.push_back(bulk_in(4096, &status));
      r.statuses.push_back(status);
    }
    for (const auto& frame : camera->sent_frames()) {
      r.faults.push_back(frame.fault);
      if (frame.fault != sim::stream_fault::none) r.spoiled.insert(frame.sequence);
      r.last_payload_lost += frame.last_payload_lost;
      EXPECT_EQ(frame.intact, frame.fault == sim::stream_fault::none);
      EXPECT_EQ(frame.checksum, sim::frame_checksum(frame.bytes.data(), frame.bytes.size()));
      if (frame.fault == sim::stream_fault::none || frame.fault == sim::stream_fault::interrupt) {
        EXPECT_EQ(frame.bytes, render(sim::kFourccY800, 320, 240, frame.sequence));
      }
    }
    r.counters = camera->sent_counters();
    r.interrupt_packets = camera->queued_in_blocks(camera->interrupt_endpoint());
    bus.unplug(pdo);
    return r;
  }
  size_t count(const std::vector<USBD_STATUS>& statuses, USBD_STATUS status) {
    return size_t(std::count(statuses.begin(), statuses.end(), status));
  }
};

// Each kind alone, at the same rate and seed: it spoils frames of its own
// (no two kinds the same set) and leaves its own mark on the wire. The same
// seed gives the same traffic again, another seed other traffic.
TEST_F(stream_fault_test, every_kind_has_its_own_draw_and_its_own_effect_on_the_wire) {
  using sf = sim::stream_faults;
  const struct {
    unsigned sf::*rate;
    sim::stream_fault fault;
  } kinds[] = {{&sf::drop_payload, sim::stream_fault::dropped_payload},
               {&sf::bad_header, sim::stream_fault::bad_header},
               {&sf::missing_eof, sim::stream_fault::missing_eof},
               {&sf::short_frame, sim::stream_fault::short_frame},
               {&sf::long_frame, sim::stream_fault::long_frame},
               {&sf::interrupt, sim::stream_fault::interrupt},
               {&sf::babble, sim::stream_fault::failed_transfer},
               {&sf::request_error, sim::stream_fault::failed_transfer}};
  std::vector<std::set<uint64_t>> seen;
  for (const auto& kind : kinds) {
    sim::stream_faults f;
    const bool per_frame = kind.rate == &sf::missing_eof || kind.rate == &sf::short_frame ||
                           kind.rate == &sf::long_frame || kind.rate == &sf::interrupt;
    f.*kind.rate = per_frame ? 100 : 10;  // a frame is 38 payloads
    const fault_run r = run(7, f);
    SCOPED_TRACE(sim::fault_name(kind.fault));
    ASSERT_FALSE(r.spoiled.empty());
    EXPECT_EQ(r.counters.frames_by_fault[size_t(kind.fault)], r.spoiled.size());
    EXPECT_EQ(r.interrupt_packets, kind.fault == sim::stream_fault::interrupt ? r.spoiled.size() : 0);
    for (sim::stream_fault fault : r.faults) EXPECT_TRUE(fault == sim::stream_fault::none || fault == kind.fault);
    for (const auto& other : seen) EXPECT_NE(other, r.spoiled);
    seen.push_back(r.spoiled);

    // On the wire: payloads with a valid header, EOFs and failed transfers.
    size_t bad_headers = 0, eofs = 0;
    for (const auto& t : r.transfers) {
      if (t.empty()) continue;
      const payload p = parse(t);
      bad_headers += p.header_length != 12;
      eofs += p.header_length == 12 && p.eof();
    }
    const size_t frames = r.faults.size(), spoiled = r.spoiled.size();
    EXPECT_EQ(bad_headers, kind.fault == sim::stream_fault::bad_header ? spoiled : 0);
    EXPECT_EQ(eofs, frames - r.last_payload_lost - (kind.fault == sim::stream_fault::missing_eof ? spoiled : 0));
    const size_t failed = count(r.statuses, USBD_STATUS_BABBLE_DETECTED) + count(r.statuses, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(failed, kind.fault == sim::stream_fault::failed_transfer ? spoiled : 0);
    if (kind.rate == &sf::request_error) {
      EXPECT_EQ(failed, 2u) << "request errors stop at max_request_errors";
    }
  }
  sim::stream_faults mix;
  mix.drop_payload = mix.babble = 10;
  const fault_run a = run(7, mix), b = run(7, mix);
  EXPECT_EQ(a.transfers, b.transfers);
  EXPECT_EQ(a.statuses, b.statuses);
  EXPECT_NE(a.transfers, run(8, mix).transfers);

  // Isochronous kinds: an error status without data for a payload's packet,
  // and zero-length packets that lose nothing.
  plug(sim::plain_camera_desc());
  sim::stream_options options;
  options.seed = 7;
  options.faults.packet_error = 20;
  options.faults.empty_packet = 100;
  camera->set_stream_options(options);
  commit(kY800, k320x240);
  select_alternate(4);
  std::vector<USBD_STATUS> statuses;
  size_t empty = 0;
  for (int i = 0; i < 20; ++i) {
    for (const auto& packet : iso_in(40, &statuses)) empty += packet.empty();
  }
  const size_t errors = statuses.size() - count(statuses, USBD_STATUS_SUCCESS);
  EXPECT_EQ(count(statuses, USBD_STATUS_CRC), errors);
  EXPECT_GT(errors, 0u);
  EXPECT_EQ(empty, camera->sent_counters().empty_packets + errors);
  for (const auto& frame : camera->sent_frames()) {
    EXPECT_TRUE(frame.fault == sim::stream_fault::none || frame.fault == sim::stream_fault::packet_error);
    EXPECT_EQ(frame.payloads_lost, frame.fault == sim::stream_fault::none ? 0u : 1u);
  }
}

TEST_F(stream_test, real_time_pacing_releases_frames_no_sooner_than_the_frame_interval) {
  plug(sim::plain_bulk_camera_desc());
  sim::stream_options options;
  options.real_time = true;
  camera->set_stream_options(options);
  commit(kY800, k320x240, 2000000);  // 5 fps
  const ULONG whole = 320 * 240 + 12;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(bulk_in(whole).size(), whole);
  EXPECT_EQ(bulk_in(whole).size(), whole);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(195));
}

// ---- the picture in every format ---------------------------------------------------------

struct jpeg_error : jpeg_error_mgr {
  jmp_buf escape;
};

// A JPEG decoded to RGB rows by libjpeg; false for one it refuses.
bool decode_jpeg(const std::vector<uint8_t>& data, uint32_t* width, uint32_t* height, std::vector<uint8_t>* rgb) {
  jpeg_decompress_struct info;
  jpeg_error error;
  info.err = jpeg_std_error(&error);
  error.error_exit = [](j_common_ptr c) { longjmp(static_cast<jpeg_error*>(c->err)->escape, 1); };
  if (setjmp(error.escape)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data.data(), data.size());
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  *width = info.output_width;
  *height = info.output_height;
  rgb->resize(size_t(*width) * *height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = rgb->data() + size_t(info.output_scanline) * *width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

// The pattern's RGB levels (from "RGB3") in each format read by its
// convention: "Y800" full-range luminance, "YUY2" BT.601 studio range, an
// "MJPG" frame through a JPEG decoder (JFIF full range).
TEST(test_pattern, every_format_shows_the_same_levels_and_jpegs_carry_the_frame_number) {
  auto pattern = sim::make_test_pattern(90);
  std::set<size_t> sizes;
  for (uint32_t number : {0u, 77u, 1000u}) {
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{320, 240}, {94, 37}}) {
      SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " frame " + std::to_string(number));
      const std::vector<uint8_t> bgr = render(sim::kFourccRGB24, w, h, number);
      const std::vector<uint8_t> y800 = render(sim::kFourccY800, w, h, number);
      const std::vector<uint8_t> yuy2 = render(sim::kFourccYUY2, w, h, number);
      std::vector<uint8_t> jpeg, decoded;
      pattern->render({sim::kFourccMJPG, w, h, 16, 0}, number, jpeg);
      if (w == 320) sizes.insert(jpeg.size());
      uint32_t carried = 0, jw = 0, jh = 0;
      ASSERT_TRUE(sim::pattern_frame_number(jpeg, sim::kFourccMJPG, &carried));
      EXPECT_EQ(carried, number);
      ASSERT_TRUE(decode_jpeg(jpeg, &jw, &jh, &decoded));
      ASSERT_EQ(jw, w);
      ASSERT_EQ(jh, h);
      size_t grey_off = 0, yuv_off = 0;
      double luma_error = 0, level_difference[3] = {};
      for (size_t i = 4; i < size_t(w) * h; ++i) {  // the first 4 bytes hold the frame number
        const double b = bgr[3 * i], g = bgr[3 * i + 1], r = bgr[3 * i + 2];
        grey_off += std::fabs(y800[i] - (0.299 * r + 0.587 * g + 0.114 * b)) > 1;
        if (i % 2 == 0) {  // the left pixel of a pair carries its own chroma
          const double y = 1.164 * (yuy2[2 * i] - 16), u = yuy2[2 * i + 1] - 128, v = yuy2[2 * i + 3] - 128;
          yuv_off += std::fabs(y + 1.596 * v - r) > 3 || std::fabs(y - 0.392 * u - 0.813 * v - g) > 3 ||
                     std::fabs(y + 2.017 * u - b) > 3;
        }
        const uint8_t* d = &decoded[3 * i];
        luma_error += std::pow(0.299 * (d[0] - r) + 0.587 * (d[1] - g) + 0.114 * (d[2] - b), 2);
        for (int c = 0; c < 3; ++c) level_difference[c] += double(d[c]) - bgr[3 * i + 2 - c];
      }
      EXPECT_EQ(grey_off, 0u);
      EXPECT_EQ(yuv_off, 0u);
      EXPECT_GT(10 * std::log10(255.0 * 255.0 * w * h / luma_error), 30.0) << "luma PSNR of the JPEG";
      for (double difference : level_difference) EXPECT_LT(std::fabs(difference) / (w * h), 2.0) << "mean level";
    }
  }
  EXPECT_GT(sizes.size(), 1u);  // JPEG sizes vary from frame to frame
  EXPECT_TRUE(sim::encode_jpeg_yuy2(nullptr, 16, 16, 80).empty());
}

TEST(picture_controls, the_test_pattern_shows_the_settings_and_keeps_its_frame_number) {
  auto controls = std::make_shared<sim::picture_controls>();
  auto pattern = sim::make_test_pattern(80, controls);
  auto plain = sim::make_test_pattern(80);
  auto frame = [](const std::shared_ptr<sim::frame_source>& source, uint32_t fourcc) {
    std::vector<uint8_t> f;
    source->render({fourcc, 64, 32, 0, 0}, 77, f);
    return f;
  };
  auto mean = [](const std::vector<uint8_t>& f, size_t first, size_t step) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = 4 + first; i < f.size(); i += step, ++n) sum += f[i];
    return sum / n;
  };
  const uint32_t formats[] = {sim::kFourccY800, sim::kFourccY16, sim::kFourccYUY2, sim::kFourccUYVY,
                              sim::kFourccRGB24, sim::kFourccRGB32, sim::kFourccMJPG};
  for (uint32_t fourcc : formats) EXPECT_EQ(frame(pattern, fourcc), frame(plain, fourcc));  // neutral

  sim::picture_settings brighter;
  brighter.brightness = 60;
  brighter.exposure = 1.5;
  controls->set(brighter);
  for (uint32_t fourcc : formats) {
    const std::vector<uint8_t> changed = frame(pattern, fourcc), before = frame(plain, fourcc);
    uint32_t number = 0;
    EXPECT_TRUE(sim::pattern_frame_number(changed, fourcc, &number));
    EXPECT_EQ(number, 77u);
    if (fourcc == sim::kFourccMJPG) {
      EXPECT_NE(changed, before);
      continue;
    }
    const size_t luma = fourcc == sim::kFourccUYVY || fourcc == sim::kFourccY16 ? 1 : 0;
    const size_t step = fourcc == sim::kFourccY800 ? 1 : fourcc == sim::kFourccRGB32 ? 4 : fourcc == sim::kFourccRGB24 ? 3 : 2;
    EXPECT_GT(mean(changed, luma, step), mean(before, luma, step) + 40) << std::string(reinterpret_cast<const char*>(&fourcc), 4);
  }

  // No contrast and no colour: one flat grey.
  sim::picture_settings flat;
  flat.contrast = 0;
  flat.saturation = 0;
  controls->set(flat);
  const std::vector<uint8_t> yuy2 = frame(pattern, sim::kFourccYUY2);
  EXPECT_EQ(std::set<uint8_t>(yuy2.begin() + 4, yuy2.end()), std::set<uint8_t>{128});
}

}  // namespace
