// The simulated camera's video as a host sees it on the bus: payload
// headers, frame boundaries and the committed format in bulk transfers and
// isochronous packets, how payloads meet transfer and packet limits, the
// stream stopping and restarting with alternate settings, seeded faults,
// real-time pacing, and the JPEG frames of "MJPG".
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <set>

#include "sim/jpeg_encoder.h"
#include "sim/picture_controls.h"
#include "sim/usb_bus.h"
#include "sim/uvc_profiles.h"
#include "sim_client.h"

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
  // what each packet holds.
  std::vector<std::vector<uint8_t>> iso_in(ULONG packets) {
    std::vector<UCHAR> storage;
    std::vector<uint8_t> buffer;
    auto& iso = build_iso_in(&storage, pipe.PipeHandle, packets, pipe.MaximumPacketSize, &buffer)
                    ->UrbIsochronousTransfer;
    EXPECT_EQ(submit_urb(pdo, (PURB)storage.data()), STATUS_SUCCESS);
    std::vector<std::vector<uint8_t>> out;
    for (ULONG i = 0; i < packets; ++i) {
      const uint8_t* p = buffer.data() + iso.IsoPacket[i].Offset;
      out.emplace_back(p, p + iso.IsoPacket[i].Length);
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

// Everything observable on the bus for a seed: transfer statuses and bytes,
// and the faults the record reports.
struct fault_run {
  std::vector<std::vector<uint8_t>> transfers;
  std::vector<USBD_STATUS> statuses;
  std::vector<sim::stream_fault> faults;
  sim::stream_counters counters;
  size_t interrupt_packets = 0;
};

class stream_fault_test : public stream_test {
 protected:
  fault_run run(uint32_t seed) {
    sim::uvc_camera_desc desc = sim::plain_bulk_camera_desc();
    desc.interrupt_endpoint = true;
    plug(desc);
    sim::stream_options options;
    options.seed = seed;
    options.max_payload = 2048;
    sim::stream_faults& f = options.faults;
    f.drop_payload = f.bad_header = 10;
    f.missing_eof = f.short_frame = f.long_frame = f.interrupt = 100;
    f.babble = f.request_error = 20;
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
};

TEST_F(stream_fault_test, the_same_seed_gives_the_same_faults_and_every_kind_occurs) {
  const fault_run a = run(7), b = run(7), c = run(8);
  EXPECT_EQ(a.transfers, b.transfers);
  EXPECT_EQ(a.statuses, b.statuses);
  EXPECT_EQ(a.faults, b.faults);
  EXPECT_NE(a.transfers, c.transfers);
  for (auto kind : {sim::stream_fault::none, sim::stream_fault::dropped_payload, sim::stream_fault::bad_header,
                    sim::stream_fault::missing_eof, sim::stream_fault::short_frame, sim::stream_fault::long_frame,
                    sim::stream_fault::interrupt}) {
    EXPECT_NE(std::count(a.faults.begin(), a.faults.end(), kind), 0) << sim::fault_name(kind);
  }
  EXPECT_EQ(a.interrupt_packets, a.counters.interrupts);
  EXPECT_EQ(size_t(std::count(a.statuses.begin(), a.statuses.end(), USBD_STATUS_XACT_ERROR)), 2u)
      << "request errors stop at max_request_errors";
  EXPECT_GT(std::count(a.statuses.begin(), a.statuses.end(), USBD_STATUS_BABBLE_DETECTED), 0);
  EXPECT_EQ(a.counters.intact_frames, size_t(std::count(a.faults.begin(), a.faults.end(), sim::stream_fault::none)));
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

// ---- JPEG ------------------------------------------------------------------------------------

// A baseline decoder for what the encoder writes (4:2:2, 8-bit, Huffman):
// the planes it reconstructs, full-width Y and half-width Cb and Cr.
struct decoded {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> plane[3];
};

bool decode_jpeg(const std::vector<uint8_t>& f, decoded* out) {
  static const uint8_t zigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                     12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                     35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                     58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
  struct table {  // canonical codes (C.2): per length the first code, the count and where its symbols start
    uint32_t first[17] = {}, count[17] = {}, offset[17] = {};
    std::vector<uint8_t> symbols;
  };
  uint8_t quant[4][64] = {};
  table huffman[2][4];
  size_t at = 2;
  if (f.size() < 4 || f[0] != 0xFF || f[1] != 0xD8) return false;
  while (at + 4 <= f.size() && f[at] == 0xFF && f[at + 1] != 0xDA) {
    const uint8_t marker = f[at + 1];
    const size_t length = size_t(f[at + 2]) << 8 | f[at + 3];
    const uint8_t* s = &f[at + 4];
    if (marker == 0xDB) {
      for (size_t i = 0; i + 65 <= length - 2; i += 65) memcpy(quant[s[i] & 3], s + i + 1, 64);
    } else if (marker == 0xC0) {
      out->height = uint32_t(s[1]) << 8 | s[2];
      out->width = uint32_t(s[3]) << 8 | s[4];
      if (s[5] != 3 || s[7] != 0x21 || s[10] != 0x11 || s[13] != 0x11) return false;
    } else if (marker == 0xC4) {
      table& t = huffman[s[0] >> 4][s[0] & 3];
      uint32_t code = 0, k = 0;
      for (int len = 1; len <= 16; ++len, code <<= 1) {
        t.first[len] = code, t.count[len] = s[len], t.offset[len] = k;
        code += s[len], k += s[len];
      }
      t.symbols.assign(s + 17, s + 17 + k);
    }
    at += 2 + length;
  }
  if (at + 4 > f.size()) return false;
  at += 2 + (size_t(f[at + 2]) << 8 | f[at + 3]);
  uint32_t bits = 0;
  int count = 0;
  auto bit = [&]() -> int {
    if (count == 0) {
      if (at >= f.size()) return 0;
      bits = f[at++];
      if (bits == 0xFF) ++at;  // stuffed zero
      count = 8;
    }
    return (bits >> --count) & 1;
  };
  auto symbol = [&](const table& t) -> int {
    uint32_t code = 0;
    for (int len = 1; len <= 16; ++len) {
      code = code << 1 | bit();
      if (code - t.first[len] < t.count[len]) return t.symbols[t.offset[len] + code - t.first[len]];
    }
    return -1;
  };
  auto receive = [&](int size) {
    int v = 0;
    for (int i = 0; i < size; ++i) v = v << 1 | bit();
    return size != 0 && v < (1 << (size - 1)) ? v - (1 << size) + 1 : v;
  };
  double basis[8][8];  // C(u) / 2 * cos((2x + 1) u pi / 16)
  for (int x = 0; x < 8; ++x)
    for (int u = 0; u < 8; ++u) basis[x][u] = (u ? 0.5 : std::sqrt(0.125)) * std::cos((2 * x + 1) * u * M_PI / 16);
  const uint32_t cw = (out->width + 1) / 2;
  for (int c = 0; c < 3; ++c) out->plane[c].assign(size_t(c == 0 ? out->width : cw) * out->height, 0);
  int dc[3] = {};
  for (uint32_t my = 0; my < out->height; my += 8) {
    for (uint32_t mx = 0; mx < out->width; mx += 16) {
      for (int b = 0; b < 4; ++b) {
        const int c = b < 2 ? 0 : b - 1;
        const int t = c == 0 ? 0 : 1;
        double coef[64] = {};
        const int s = symbol(huffman[0][t]);
        if (s < 0) return false;
        dc[c] += receive(s);
        coef[0] = dc[c] * quant[t][0];
        for (int k = 1; k < 64; ++k) {
          const int rs = symbol(huffman[1][t]);
          if (rs < 0) return false;
          if ((rs & 15) == 0) {
            if (rs != 0xF0) break;
            k += 15;
            continue;
          }
          k += rs >> 4;
          if (k > 63) return false;
          coef[zigzag[k]] = receive(rs & 15) * quant[t][k];
        }
        // Inverse DCT (A.3.3), columns then rows.
        double rows[64];
        for (int y = 0; y < 8; ++y)
          for (int u = 0; u < 8; ++u) {
            rows[y * 8 + u] = 0;
            for (int v = 0; v < 8; ++v) rows[y * 8 + u] += basis[y][v] * coef[v * 8 + u];
          }
        const uint32_t x0 = c == 0 ? mx + b * 8 : mx / 2, width = c == 0 ? out->width : cw;
        for (uint32_t y = 0; y < 8 && my + y < out->height; ++y) {
          for (uint32_t x = 0; x < 8 && x0 + x < width; ++x) {
            double sum = 0;
            for (int u = 0; u < 8; ++u) sum += basis[x][u] * rows[y * 8 + u];
            out->plane[c][(my + y) * width + x0 + x] = uint8_t(std::clamp(std::lround(sum + 128), 0L, 255L));
          }
        }
      }
    }
  }
  return at + 2 <= f.size() && f[f.size() - 2] == 0xFF && f[f.size() - 1] == 0xD9;
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}

TEST(jpeg_frames, decode_back_to_the_pattern_carry_the_frame_number_and_vary_in_size) {
  auto pattern = sim::make_test_pattern(90);
  std::vector<size_t> sizes;
  for (uint32_t number : {0u, 1u, 77u, 1000u}) {
    for (auto [width, height] : {std::pair<uint32_t, uint32_t>{320, 240}, {94, 37}}) {
      std::vector<uint8_t> jpeg;
      pattern->render({sim::kFourccMJPG, width, height, 16, 0}, number, jpeg);
      if (width == 320) sizes.push_back(jpeg.size());
      uint32_t carried = 0;
      ASSERT_TRUE(sim::pattern_frame_number(jpeg, sim::kFourccMJPG, &carried));
      EXPECT_EQ(carried, number);
      decoded image;
      ASSERT_TRUE(decode_jpeg(jpeg, &image)) << width << "x" << height;
      ASSERT_EQ(image.width, width);
      ASSERT_EQ(image.height, height);
      const std::vector<uint8_t> yuy2 = render(sim::kFourccYUY2, width, height, number);
      std::vector<uint8_t> plane[3];
      for (size_t i = 0; i < yuy2.size(); i += 4) {
        plane[0].insert(plane[0].end(), {yuy2[i], yuy2[i + 2]});
        plane[1].push_back(yuy2[i + 1]);
        plane[2].push_back(yuy2[i + 3]);
      }
      // The first 4 bytes of the YUY2 rendering hold the number, not the picture.
      for (int c = 0; c < 3; ++c) {
        plane[c].erase(plane[c].begin(), plane[c].begin() + 2);
        image.plane[c].erase(image.plane[c].begin(), image.plane[c].begin() + 2);
        EXPECT_GT(psnr(plane[c], image.plane[c]), 30.0) << "component " << c;
      }
    }
  }
  EXPECT_GT(std::set<size_t>(sizes.begin(), sizes.end()).size(), 1u);
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
