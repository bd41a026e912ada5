// The family models on the wire: what each answers to the requests of its
// camera family; the 0x82xx window, timing, binning and skipping registers
// with their ranges and the frames they shape; the 0x82xx EEPROM; the
// 0x8209's JPEG byte stream cut at arbitrary transfer lengths, with and
// without markers; the 0x8800's alternate fields; the 0x0109's MJPEG over
// isochronous packets and the controls it does not read back.
#include <gtest/gtest.h>
#include <setjmp.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "sim/families/family_models.h"
#include "sim/families/model_0109.h"
#include "sim/families/model_810x.h"
#include "sim/families/model_8209.h"
#include "sim/families/model_82xx.h"
#include "sim/families/model_8800.h"
#include "sim/usb_bus.h"
#include "sim_client.h"

// After the kernel headers, which define INT32 as Windows does (as int).
#define _BASETSD_H_
#include <jpeglib.h>

namespace {

using namespace simtest;
namespace uvc = sim::uvc;

constexpr UCHAR kCameraTerminal = 1;
constexpr UCHAR kFid = 0x01, kEof = 0x02, kFieldFlag = 0x10, kOrderFlag = 0x20;

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

// A camera plugged into a bus, configured, with the streaming pipe of an
// alternate setting, and the requests a host sends.
class family_camera_test : public ::testing::Test {
 protected:
  void plug(std::shared_ptr<sim::uvc_camera> c, UCHAR alternate = 0) {
    camera = std::move(c);
    ASSERT_NE(camera, nullptr);
    pdo = bus.plug(camera);
    ASSERT_NE(pdo, nullptr);
    std::vector<UCHAR> configuration = camera->configuration_descriptor();
    NTSTATUS status;
    PURB urb = select_configuration(pdo, &configuration, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    config_handle = urb->UrbSelectConfiguration.ConfigurationHandle;
    ExFreePool(urb);
    select_alternate(alternate);
  }
  void select_alternate(UCHAR alternate) {
    USBD_INTERFACE_INFORMATION streaming{};
    ASSERT_EQ(select_interface(pdo, config_handle, alternate, &streaming), STATUS_SUCCESS);
    pipe = streaming.Pipes[0];
  }
  NTSTATUS commit(UCHAR format, UCHAR frame, ULONG interval = 333333) {
    sim::uvc_streaming_control c;
    c.bmHint = 1;
    c.bFormatIndex = format;
    c.bFrameIndex = frame;
    c.dwFrameInterval = interval;
    std::vector<uint8_t> bytes = c.to_bytes(34);
    return uvc_request(pdo, uvc::SET_CUR, 0, 1, uvc::VS_COMMIT_CONTROL, bytes.data(), 34).status;
  }
  control_result get(UCHAR request, UCHAR entity, UCHAR selector, ULONG length = 4) {
    memset(bytes, 0xEE, sizeof bytes);
    return uvc_request(pdo, request, entity, 0, selector, bytes, length);
  }
  uint32_t get32(UCHAR request, UCHAR entity, UCHAR selector) {
    EXPECT_EQ(get(request, entity, selector).transferred, 4u) << "request " << (int)request << " selector "
                                                                << (int)selector;
    return le32(bytes);
  }
  USBD_STATUS set32(UCHAR entity, UCHAR selector, uint32_t value) {
    return uvc_request(pdo, uvc::SET_CUR, entity, 0, selector, &value, 4).usbd_status;
  }
  control_result vendor(bool in, UCHAR request, USHORT value, USHORT index, void* data, ULONG length) {
    return control(pdo, URB_FUNCTION_VENDOR_DEVICE, in, request, value, index, data, length);
  }
  std::vector<uint8_t> bulk_in(ULONG length) {
    URB urb;
    memset(&urb, 0, sizeof urb);
    std::vector<uint8_t> buffer(length);
    UsbBuildInterruptOrBulkTransferRequest(&urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe.PipeHandle, buffer.data(), nullptr, length,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_EQ(submit_urb(pdo, &urb), STATUS_SUCCESS);
    buffer.resize(urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    return buffer;
  }
  // The next whole frame over bulk (one payload of frame + header per
  // transfer at most), with its header's bmHeaderInfo.
  std::vector<uint8_t> bulk_frame(ULONG frame_bytes, uint8_t* info) {
    std::vector<uint8_t> frame;
    for (int i = 0; i < 64; ++i) {
      const std::vector<uint8_t> p = bulk_in(frame_bytes + 12);
      if (p.size() < 2 || p[0] > p.size()) break;
      *info = p[1];
      frame.insert(frame.end(), p.begin() + p[0], p.end());
      if (p[1] & kEof) break;
    }
    return frame;
  }

  sim::usb_bus bus;
  std::shared_ptr<sim::uvc_camera> camera;
  PDEVICE_OBJECT pdo = nullptr;
  USBD_CONFIGURATION_HANDLE config_handle = nullptr;
  USBD_PIPE_INFORMATION pipe{};
  uint8_t bytes[1024] = {};
};

sim::sensor_options noiseless() {
  sim::sensor_options o;
  o.noise = false;
  return o;
}

// ---- identity: what each family reads first ------------------------------------------------------

TEST_F(family_camera_test, every_family_model_is_listed_and_answers_its_identity_requests) {
  std::set<std::string> families;
  for (const sim::camera_model& m : sim::family_camera_models()) {
    SCOPED_TRACE(m.id);
    ASSERT_NE(sim::find_camera_model(sim::camera_models(), m.id), nullptr) << "not in the model list";
    families.insert(m.family);
    auto made = m.create();
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->product_id(), m.product_id);
    EXPECT_EQ(made->vendor_id(), m.vendor_id);
    EXPECT_EQ(std::dynamic_pointer_cast<sim::family_camera>(made)->family(), m.family);
    plug(made);
    uint8_t data[8] = {};
    const uint16_t product = m.product_id;
    const bool is_82xx = product >= 0x8201 && product <= 0x8208;
    if (is_82xx) {
      ASSERT_EQ(vendor(true, 0x00, 0, 26, data, 1).transferred, 1u);
      EXPECT_EQ(data[0], m.colour ? 0x02 : 0x00);
      EXPECT_EQ(vendor(true, 0x00, 0, 25, data, 1).usbd_status, USBD_STATUS_STALL_PID);
    }
    if (is_82xx || product == 0x8209) {
      EXPECT_NE(get32(uvc::GET_CUR, kCameraTerminal, 45), 0u) << "firmware revision";
      EXPECT_EQ(get(uvc::GET_INFO, kCameraTerminal, 45, 1).transferred, 1u);
      EXPECT_EQ(bytes[0], uvc::INFO_GET);
    }
    if (product == 0x8101 || product == 0x8102) {
      auto model = std::dynamic_pointer_cast<sim::model_810x>(made);
      ASSERT_EQ(vendor(true, 0x16, 0, 0, data, 2).transferred, 2u);
      EXPECT_EQ(data[0] | data[1] << 8, model->desc().firmware_revision);
      ASSERT_EQ(vendor(true, 0x17, 0, 0, data, 2).transferred, 2u);
      EXPECT_EQ(data[0] | data[1] << 8, model->desc().hardware_revision);
      uint32_t value = 0x12345678;
      EXPECT_EQ(vendor(false, 0x19, 0, 0, &value, 4).status, STATUS_SUCCESS);
      EXPECT_EQ(model->device_value(), 0x12345678u);
      EXPECT_EQ(vendor(false, 0x42, 0x5A17, 0x71C3, nullptr, 0).status, STATUS_SUCCESS);
      EXPECT_EQ(vendor(false, 0x42, 0x5A18, 0x71C3, nullptr, 0).usbd_status, USBD_STATUS_STALL_PID);
      EXPECT_EQ(model->vendor_commands(), 1u);
      // The option register keeps bit 0 only; one-push reads 0 after it acted.
      uint8_t option = 3;
      EXPECT_EQ(uvc_request(pdo, uvc::SET_CUR, 3, 0, 8, &option, 1).status, STATUS_SUCCESS);
      EXPECT_EQ(get(uvc::GET_CUR, 3, 8, 1).transferred, 1u);
      EXPECT_EQ(bytes[0], 1);
      EXPECT_EQ(get(uvc::GET_MAX, 3, 5, 1).transferred, 1u);
      EXPECT_EQ(bytes[0], 3) << "trigger: mode and polarity";
    }
    if (product == 0x8800) {
      ASSERT_EQ(vendor(true, 0x01, 0, 0, data, 4).transferred, 4u);
      EXPECT_NE(le32(data), 0u);
      EXPECT_EQ(get32(uvc::GET_CUR, 3, 57) & 0xF, 2u) << "1080i";
    }
    bus.unplug(pdo);
  }
  EXPECT_EQ(families.size(), 12u) << "seven 0x82xx classes, 8101, 8102, 8209, 8800, 0109";
}

// ---- 0x82xx ------------------------------------------------------------------------------------------

TEST_F(family_camera_test, the_82xx_window_registers_answer_their_ranges_and_shape_the_frames) {
  const sim::model_82xx_desc desc = sim::model_82xx_descs()[7];
  ASSERT_EQ(desc.id, "8207-colour");
  auto model = sim::model_82xx::create(desc, noiseless());
  plug(model);

  // Registers: capability bits, ranges with the sensor's steps, the mask.
  EXPECT_EQ(get32(uvc::GET_CUR, kCameraTerminal, 32), 0x501F0u);
  struct range {
    UCHAR selector;
    uint32_t min, max, res, def;
  };
  for (const range& r : {range{36, 12000000, 96000000, 1, 96000000}, range{37, 64, 2592, 8, 2592},
                         range{38, 48, 1944, 4, 1944}, range{40, 0, 2528, 8, 0}, range{41, 0, 1896, 8, 0},
                         range{42, 1, 4, 1, 1}, range{54, 1, 4, 1, 1}, range{71, 16384, 32768, 0, 32768}}) {
    SCOPED_TRACE(r.selector);
    EXPECT_EQ(get32(uvc::GET_MIN, kCameraTerminal, r.selector), r.min);
    EXPECT_EQ(get32(uvc::GET_MAX, kCameraTerminal, r.selector), r.max);
    EXPECT_EQ(get32(uvc::GET_RES, kCameraTerminal, r.selector), r.res);
    EXPECT_EQ(get32(uvc::GET_DEF, kCameraTerminal, r.selector), r.def);
  }
  EXPECT_EQ(get32(uvc::GET_CUR, 2, 33), 2u);
  EXPECT_EQ(get32(uvc::GET_MAX, 2, 33), 1u << 4) << "GRBG";
  EXPECT_EQ(get32(uvc::GET_CUR, kCameraTerminal, 39), 180u | 40u << 16);
  // Offsets keep their step; binning and skipping by 3 are refused.
  EXPECT_EQ(set32(kCameraTerminal, 40, 13), USBD_STATUS_SUCCESS);
  EXPECT_EQ(get32(uvc::GET_CUR, kCameraTerminal, 40), 8u);
  for (UCHAR factor_register : {42, 54}) {
    EXPECT_EQ(set32(kCameraTerminal, factor_register, 3), USBD_STATUS_STALL_PID);
    EXPECT_EQ(camera->request_error_code(), uvc::ERROR_OUT_OF_RANGE);
    EXPECT_EQ(get32(uvc::GET_CUR, kCameraTerminal, factor_register), 1u);
  }
  // Extended timing: the blanking for the window asked about.
  EXPECT_EQ(set32(kCameraTerminal, 58, 2), USBD_STATUS_SUCCESS);
  EXPECT_EQ(get32(uvc::GET_CUR, kCameraTerminal, 59), (180u + 120u) | 40u << 16);

  // A commit of the 640 x 960 container: the firmware's window for 1280 x
  // 960, binned 2 and centred, clocked for 30 fps.
  ASSERT_EQ(commit(1, 2), STATUS_SUCCESS);
  EXPECT_EQ(get32(uvc::GET_CUR, kCameraTerminal, 37), 1280u);
  EXPECT_EQ(get32(uvc::GET_CUR, kCameraTerminal, 38), 960u);
  EXPECT_EQ(get32(uvc::GET_CUR, kCameraTerminal, 42), 2u);
  EXPECT_EQ(get32(uvc::GET_CUR, kCameraTerminal, 40), 16u);
  EXPECT_EQ(get32(uvc::GET_CUR, kCameraTerminal, 41), 8u);
  const uint32_t clock = get32(uvc::GET_CUR, kCameraTerminal, 36);
  EXPECT_EQ(clock, (uint64_t)(180 + 120 + 1280) * (40 + 960) * 10000000 / 333333);
  EXPECT_NEAR(model->current_period(), 333333, 1);

  // Each window the host programs is what the next frame reads: the
  // sensor's own rendering of that readout, byte for byte.
  struct window {
    uint32_t width, height, x, y, binning, skipping, clock;
  };
  for (const window& w : {window{1280, 960, 16, 8, 2, 1, clock}, window{648, 484, 648, 488, 2, 1, 48000000},
                          window{640, 480, 0, 0, 1, 4, 96000000}, window{2592, 1944, 0, 0, 1, 1, 96000000}}) {
    SCOPED_TRACE(std::to_string(w.width) + "x" + std::to_string(w.height) + " binning " + std::to_string(w.binning) +
                 " skipping " + std::to_string(w.skipping));
    // In the order a host keeps the window inside the sensor at every step.
    ASSERT_EQ(set32(kCameraTerminal, 42, 1), USBD_STATUS_SUCCESS);
    ASSERT_EQ(set32(kCameraTerminal, 54, 1), USBD_STATUS_SUCCESS);
    ASSERT_EQ(set32(kCameraTerminal, 40, 0), USBD_STATUS_SUCCESS);
    ASSERT_EQ(set32(kCameraTerminal, 41, 0), USBD_STATUS_SUCCESS);
    ASSERT_EQ(set32(kCameraTerminal, 36, w.clock), USBD_STATUS_SUCCESS);
    ASSERT_EQ(set32(kCameraTerminal, 37, w.width), USBD_STATUS_SUCCESS);
    ASSERT_EQ(set32(kCameraTerminal, 38, w.height), USBD_STATUS_SUCCESS);
    ASSERT_EQ(set32(kCameraTerminal, 40, w.x), USBD_STATUS_SUCCESS);
    ASSERT_EQ(set32(kCameraTerminal, 41, w.y), USBD_STATUS_SUCCESS);
    ASSERT_EQ(set32(kCameraTerminal, 42, w.binning), USBD_STATUS_SUCCESS);
    ASSERT_EQ(set32(kCameraTerminal, 54, w.skipping), USBD_STATUS_SUCCESS);
    const sim::readout r = model->current_readout();
    EXPECT_EQ(r.x, w.x);
    EXPECT_EQ(r.y, w.y);
    EXPECT_EQ(r.bin_x, w.binning);
    EXPECT_EQ(r.skip_y, w.skipping);
    EXPECT_EQ(model->current_period(),
              (uint64_t)(180 + 120 * (w.binning - 1) + w.width) * (40 + w.height) * 10000000 / w.clock);
    camera->clear_sent_frames();
    uint8_t info = 0;
    const std::vector<uint8_t> frame = bulk_frame(w.width * w.height, &info);
    ASSERT_EQ(frame.size(), w.width * w.height);
    std::vector<uint8_t> expected;
    model->sensor()->render(r, 8, camera->sent_frames().front().sequence, expected);
    EXPECT_TRUE(frame == expected) << "the frame is not the window's readout";
  }
  // A binned pixel is the mean of the four same-coloured pixels it covers
  // (16-bit samples: no truncation to speak of).
  sim::readout binned = model->current_readout();
  binned.width = binned.height = 4, binned.x = 1280, binned.y = 960, binned.bin_x = binned.bin_y = 2;
  binned.skip_x = binned.skip_y = 1;
  sim::readout full = binned;
  full.width = full.height = 8, full.bin_x = full.bin_y = 1;
  std::vector<uint8_t> b, f;
  model->sensor()->render(binned, 16, 0, b);
  model->sensor()->render(full, 16, 0, f);
  auto at = [](const std::vector<uint8_t>& v, uint32_t width, uint32_t x, uint32_t y) {
    return v[2 * (y * width + x)] | v[2 * (y * width + x) + 1] << 8;
  };
  EXPECT_NEAR(at(b, 4, 0, 0), (at(f, 8, 0, 0) + at(f, 8, 2, 0) + at(f, 8, 0, 2) + at(f, 8, 2, 2)) / 4.0, 16.0);
}

TEST_F(family_camera_test, an_82xx_without_window_registers_sends_its_format_binned_to_fit_and_keeps_an_eeprom) {
  auto model = sim::model_82xx::create(sim::model_82xx_descs()[0], noiseless());  // 8201, 640 x 480 sensor
  plug(model);
  EXPECT_EQ(get32(uvc::GET_CUR, kCameraTerminal, 32), 0u);
  EXPECT_EQ(get(uvc::GET_CUR, kCameraTerminal, 37).usbd_status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(get32(uvc::GET_CUR, 4, 9), model->desc().control_block) << "the sensor's control block";
  ASSERT_EQ(commit(1, 2), STATUS_SUCCESS);  // 160 x 240: 320 x 240 raw
  const sim::readout r = model->current_readout();
  EXPECT_EQ(r.width, 320u);
  EXPECT_EQ(r.bin_x, 2u);
  EXPECT_EQ(model->current_period(), 0u) << "no timing: the committed interval";
  uint8_t info = 0;
  const std::vector<uint8_t> frame = bulk_frame(320 * 240, &info);
  std::vector<uint8_t> expected;
  model->sensor()->render(r, 8, camera->sent_frames().front().sequence, expected);
  EXPECT_TRUE(frame == expected);

  // The EEPROM: 16-byte writes with the address first, reads from an
  // address set before, 64 bytes at most, nothing past the end.
  sim::serial_eeprom& eeprom = model->eeprom();
  uint8_t write[18] = {0x3F, 0xF0};
  for (int i = 0; i < 16; ++i) write[2 + i] = (uint8_t)(0xA0 + i);
  EXPECT_EQ(vendor(false, 0x02, 0, 0xA1, write, 18).status, STATUS_SUCCESS);
  EXPECT_EQ(eeprom.read(0x3FF0, 2), (std::vector<uint8_t>{0xA0, 0xA1}));
  EXPECT_EQ(vendor(false, 0x02, 0, 0xA1, write, 1 + 1).usbd_status, USBD_STATUS_STALL_PID) << "no data";
  uint8_t address[2] = {0x3F, 0xF8};
  EXPECT_EQ(vendor(false, 0x03, 0, 0xA1, address, 2).status, STATUS_SUCCESS);
  uint8_t read[64] = {};
  EXPECT_EQ(vendor(true, 0x02, 0, 0xA0, read, 4).transferred, 4u);
  EXPECT_EQ(read[0], 0xA8);
  EXPECT_EQ(vendor(true, 0x02, 0, 0xA0, read, 64).transferred, 4u) << "up to the end of 16 KiB";
  EXPECT_EQ(read[0], 0xAC);
  EXPECT_EQ(vendor(true, 0x02, 0, 0xA0, read, 64).transferred, 0u);
  EXPECT_EQ(vendor(true, 0x02, 0, 0xA0, read, 65).usbd_status, USBD_STATUS_STALL_PID);
  eeprom.corrupt_reads(1);
  EXPECT_EQ(vendor(false, 0x03, 0, 0xA1, address, 2).status, STATUS_SUCCESS);
  EXPECT_EQ(vendor(true, 0x02, 0, 0xA0, read, 4).transferred, 4u);
  EXPECT_NE(std::vector<uint8_t>(read, read + 4), eeprom.read(0x3FF8, 4));
  EXPECT_EQ(eeprom.host_writes(), 1u);
}

// ---- 0x8209 ------------------------------------------------------------------------------------------

struct jpeg_error : jpeg_error_mgr {
  jmp_buf escape;
};

// Decodes a JPEG with libjpeg: false for one it refuses.
bool decode_jpeg(const std::vector<uint8_t>& data, uint32_t* width, uint32_t* height) {
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
  jpeg_start_decompress(&info);
  *width = info.output_width;
  *height = info.output_height;
  std::vector<uint8_t> row(size_t(*width) * info.output_components);
  while (info.output_scanline < info.output_height) {
    JSAMPROW p = row.data();
    jpeg_read_scanlines(&info, &p, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

TEST_F(family_camera_test, the_8209_byte_stream_splits_anywhere_and_its_pictures_decode_with_or_without_markers) {
  auto model = sim::model_8209::create(sim::model_8209_default());
  plug(model);
  for (unsigned fault_rate : {0u, 300u}) {
    SCOPED_TRACE(fault_rate);
    sim::jpeg_stream_options options;
    options.seed = 7 + fault_rate;
    options.missing_start = options.missing_end = fault_rate;
    options.frame_limit = 12;
    model->set_jpeg_stream(options);
    model->clear_sent_pictures();
    ASSERT_EQ(commit(1, 4, 166666), STATUS_SUCCESS);  // 640 x 480; a commit starts a new picture

    // What 16 KiB transfers receive, in order, is the stream the camera
    // sent, cut at many lengths, pictures running on inside transfers.
    const sim::jpeg_stream_counters before = model->jpeg_counters();
    std::vector<uint8_t> stream;
    std::vector<size_t> ends;  // stream offset after each transfer
    std::set<size_t> lengths;
    auto sent_bytes = [&] {
      size_t n = 0;
      for (const sim::sent_picture& p : model->sent_pictures()) n += p.size;
      return n;
    };
    while (model->sent_pictures().size() < options.frame_limit || stream.size() < sent_bytes()) {
      const std::vector<uint8_t> t = bulk_in(16384);
      ASSERT_FALSE(t.empty());
      lengths.insert(t.size());
      stream.insert(stream.end(), t.begin(), t.end());
      ends.push_back(stream.size());
    }
    const std::vector<sim::sent_picture> sent = model->sent_pictures();
    ASSERT_EQ(sent.size(), options.frame_limit);
    std::vector<uint8_t> expected;
    size_t inside = 0;  // picture boundaries that fall inside a transfer
    for (const sim::sent_picture& p : sent) {
      expected.insert(expected.end(), p.bytes.begin(), p.bytes.end());
      inside += std::find(ends.begin(), ends.end(), expected.size()) == ends.end();
    }
    EXPECT_TRUE(stream == expected);
    EXPECT_GT(lengths.size(), 10u);
    EXPECT_GT(inside, 5u);

    // Found by their markers as a host finds them: each whole picture
    // decodes to 640 x 480 and carries its number; the others lack a marker.
    size_t whole = 0, missing_start = 0, missing_end = 0;
    for (const sim::sent_picture& p : sent) {
      missing_start += !p.start_marker;
      missing_end += !p.end_marker;
      if (!p.start_marker || !p.end_marker) continue;
      ++whole;
      uint32_t w = 0, h = 0, number = 0;
      EXPECT_TRUE(decode_jpeg(p.bytes, &w, &h));
      EXPECT_EQ(w * 10000 + h, 640u * 10000 + 480u);
      ASSERT_TRUE(sim::pattern_frame_number(p.bytes, sim::kFourccMJPG, &number));
      EXPECT_EQ(number, p.sequence);
    }
    const sim::jpeg_stream_counters counters = model->jpeg_counters();
    EXPECT_EQ(counters.missing_start - before.missing_start, missing_start);
    EXPECT_EQ(counters.missing_end - before.missing_end, missing_end);
    EXPECT_EQ(counters.pictures - before.pictures, sent.size());
    if (fault_rate == 0) {
      EXPECT_EQ(whole, sent.size());
    } else {
      EXPECT_GT(missing_start, 0u);
      EXPECT_GT(missing_end, 0u);
    }
    for (const sim::sent_picture& p : sent) {
      EXPECT_EQ(p.start_marker, p.bytes[0] == 0xFF && p.bytes[1] == 0xD8);
      EXPECT_EQ(p.end_marker, p.bytes[p.bytes.size() - 2] == 0xFF && p.bytes.back() == 0xD9);
    }
  }
}

// ---- 0x8800 ------------------------------------------------------------------------------------------

TEST_F(family_camera_test, the_8800_sends_alternate_fields_marked_in_the_header_that_weave_into_its_frames) {
  auto model = sim::model_8800::create();
  plug(model);
  constexpr uint32_t kField = 1920 * 540 * 2;
  for (bool bottom_first : {false, true}) {
    SCOPED_TRACE(bottom_first);
    model->set_video_source(sim::video_source::i1080, bottom_first);
    ASSERT_EQ(commit(1, 2, 166666), STATUS_SUCCESS);
    camera->clear_sent_frames();
    std::vector<std::vector<uint8_t>> fields;
    std::vector<uint8_t> infos;
    for (int i = 0; i < 4; ++i) {
      uint8_t info = 0;
      fields.push_back(bulk_frame(kField, &info));
      ASSERT_EQ(fields.back().size(), kField);
      infos.push_back(info);
    }
    const std::vector<sim::sent_frame> sent = camera->sent_frames();
    ASSERT_GE(sent.size(), 4u);
    const uint64_t first = sent.front().sequence;
    for (size_t i = 0; i < 4; ++i) {
      const bool second = (first + i) & 1;
      EXPECT_EQ(infos[i] & kFieldFlag, second ? kFieldFlag : 0) << "field " << i;
      EXPECT_EQ(infos[i] & kOrderFlag, bottom_first ? kOrderFlag : 0);
      EXPECT_EQ(sent[i].header_bits, infos[i] & (kFieldFlag | kOrderFlag));
      if (i > 0) {
        EXPECT_NE(infos[i] & kFid, infos[i - 1] & kFid) << "FID toggles per field";
      }
      EXPECT_EQ(le32(fields[i].data()), first + i);
    }
    // A pair woven by its flags is the device's own woven frame (the frame
    // numbers at the start of each field and frame aside).
    const size_t pair = (first & 1) ? 1 : 0;
    std::vector<uint8_t> woven(kField * 2), expected;
    const size_t pitch = 1920 * 2;
    for (uint32_t line = 0; line < 1080; ++line) {
      const bool from_first = (line & 1) == (bottom_first ? 1u : 0u);
      const std::vector<uint8_t>& field = fields[pair + (from_first ? 0 : 1)];
      std::copy_n(field.begin() + (long)(line / 2 * pitch), pitch, woven.begin() + (long)(line * pitch));
    }
    uint8_t bits = 0xFF;
    model->picture(1920, 1080, (first + pair) / 2, &expected, &bits);
    EXPECT_EQ(bits, 0);
    for (size_t line : {0, 1}) {
      std::fill_n(woven.begin() + (long)(line * pitch), 4, 0);
      std::fill_n(expected.begin() + (long)(line * pitch), 4, 0);
    }
    EXPECT_TRUE(woven == expected);
  }
  // A progressive source: mode 1, and both fields from one picture.
  model->set_video_source(sim::video_source::p1080);
  EXPECT_EQ(get32(uvc::GET_CUR, 3, 57), 1u);
  std::vector<uint8_t> a, b;
  uint8_t bits = 0;
  model->picture(1920, 540, 10, &a, &bits);
  model->picture(1920, 540, 11, &b, &bits);
  std::vector<uint8_t> full;
  model->picture(1920, 1080, 5, &full, &bits);
  const size_t pitch = 1920 * 2;
  EXPECT_TRUE(std::equal(b.begin() + 4, b.begin() + (long)pitch, full.begin() + (long)pitch + 4)) << "line 1 of picture 5";
}

// ---- 0x0109 ------------------------------------------------------------------------------------------

TEST_F(family_camera_test, the_0109_sends_mjpeg_in_1020_byte_packets_and_reads_back_defaults) {
  auto model = sim::model_0109::create();
  plug(model, 4);  // the 1020-byte setting
  EXPECT_EQ(pipe.MaximumPacketSize, 1020u);
  ASSERT_EQ(commit(1, 2), STATUS_SUCCESS);  // MJPG 640 x 480
  std::vector<uint8_t> picture;
  bool started = false;
  uint8_t fid = 0;
  for (int transfer = 0; transfer < 200; ++transfer) {
    std::vector<UCHAR> storage;
    std::vector<uint8_t> buffer;
    auto& iso = build_iso_in(&storage, pipe.PipeHandle, 32, pipe.MaximumPacketSize, &buffer)->UrbIsochronousTransfer;
    ASSERT_EQ(submit_urb(pdo, (PURB)storage.data()), STATUS_SUCCESS);
    bool done = false;
    for (ULONG i = 0; i < 32 && !done; ++i) {
      const uint8_t* p = buffer.data() + iso.IsoPacket[i].Offset;
      const ULONG n = iso.IsoPacket[i].Length;
      if (n == 0) continue;
      ASSERT_LE(n, 1020u);
      ASSERT_GE(n, (ULONG)p[0]);
      if (!started) {
        started = p[1] & kEof;  // begin with the next frame
        fid = p[1] & kFid;
        continue;
      }
      EXPECT_NE(p[1] & kFid, fid) << "one frame throughout";
      picture.insert(picture.end(), p + p[0], p + n);
      done = p[1] & kEof;
    }
    if (done) break;
  }
  uint32_t w = 0, h = 0, number = 0;
  ASSERT_TRUE(decode_jpeg(picture, &w, &h));
  EXPECT_EQ(w * 10000 + h, 640u * 10000 + 480u);
  EXPECT_TRUE(sim::pattern_frame_number(picture, sim::kFourccMJPG, &number));

  // Brightness: the camera takes the value but reads back its default.
  int16_t brightness = 20;
  EXPECT_EQ(uvc_request(pdo, uvc::SET_CUR, 2, 0, 2, &brightness, 2).status, STATUS_SUCCESS);
  EXPECT_EQ(get(uvc::GET_CUR, 2, 2, 2).transferred, 2u);
  EXPECT_EQ(bytes[0] | bytes[1] << 8, 0);
  EXPECT_EQ(model->applied(2, 2), (std::vector<uint8_t>{20, 0}));
  EXPECT_EQ(get(uvc::GET_MAX, 2, 2, 2).transferred, 2u);
  EXPECT_EQ(bytes[0], 64);
}

}  // namespace
