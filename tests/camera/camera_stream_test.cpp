// Opening, running, pausing and closing a camera's stream on simulated
// devices: the format a client's video info header selects, the pipe and
// the assembly mode chosen for it, the undo of a failed open, a pause
// that restarts the reader afresh, and a JPEG torn by a failed packet.
#include <gtest/gtest.h>

#include "../stream/reader_test_support.h"
#include "camera_support.h"
#include "sim/uvc_profiles.h"

namespace {

using camtest::camera_fixture;
using camtest::video_format;

constexpr UCHAR kStreamingEndpoint = 0x81;

class CameraStream : public camera_fixture {
 protected:
  int alternate() { return sim_camera->current_alternate_setting(1); }
  // An isochronous MJPEG stream whose frames the camera tears with `kind`:
  // only the intact frames are delivered, the torn ones are counted.
  void mjpeg_frames_torn_by(sim::stream_fault kind);
  // Runs the open stream for the camera's next `count` frames (of `source`,
  // else the test pattern) and stops the reader: each came back good, byte
  // for byte as sent, none dropped.
  void expect_next_frames_whole(uint64_t count, std::shared_ptr<sim::frame_source> source = nullptr) {
    sim::stream_options options;
    options.frame_limit = count;
    options.source = source;
    sim_camera->set_stream_options(options);
    sim_camera->clear_sent_frames();
    const size_t returned = sink().frames().size();
    ASSERT_EQ(cam->run_stream(), STATUS_SUCCESS);
    ASSERT_TRUE(sink().wait_for_returns(returned + count, 10000));
    ASSERT_EQ(cam->pause_stream(false), STATUS_SUCCESS);
    const std::vector<sim::sent_frame> sent = sim_camera->sent_frames();
    const std::vector<tvtest::delivered_frame> all = sink().frames();
    ASSERT_EQ(all.size(), returned + sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(all[returned + i].status, STATUS_SUCCESS);
      EXPECT_TRUE(all[returned + i].bytes == sent[i].bytes) << i;
    }
    EXPECT_EQ(cam->p_drops(), 0u);
  }
};

TEST_F(CameraStream, FormatSelectionNegotiationAndTheIsochronousSetting) {
  plug(sim::plain_camera_desc());
  create_and_init();
  EXPECT_EQ(cam->start_interrupt_reader(), STATUS_NOT_SUPPORTED);  // no interrupt pipe

  // A format the camera does not offer opens nothing: RGB3 (compression 0,
  // 24 bits).
  KS_VIDEOINFOHEADER rgb = video_format(0, 640, 480, 24);
  EXPECT_EQ(cam->open_stream(&rgb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(cam->reader(), nullptr);
  EXPECT_EQ(cam->pause_stream(true), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(cam->pause_stream(false), STATUS_SUCCESS);

  // Compression 0 at 16 bits is "Y800" with two bytes per pixel (not
  // "Y16 "): the camera's 8-bit Y800 is negotiated.
  KS_VIDEOINFOHEADER y800 = video_format(0, 640, 480, 16, 666666);
  ASSERT_EQ(cam->open_stream(&y800), STATUS_SUCCESS);
  EXPECT_EQ(cam->output_type().type, img::FOURCC_Y800);
  EXPECT_EQ(cam->output_type().pitch, 1280);
  EXPECT_EQ(cam->raw_type().type, img::FOURCC_Y800);
  EXPECT_EQ(cam->raw_type().pitch, 640);
  EXPECT_EQ(cam->raw_type().buffer_length, 640 * 480);
  EXPECT_EQ(sim_camera->committed().bFormatIndex, 1);
  EXPECT_EQ(sim_camera->committed().bFrameIndex, 1);
  EXPECT_EQ(sim_camera->committed().dwFrameInterval, 666666u);
  // The camera needs 3 x 1024 bytes per microframe: the 0x1400 setting
  // (whose raw wMaxPacketSize is larger than the byte count).
  EXPECT_EQ(alternate(), 4);
  EXPECT_NE(cam->reader(), nullptr);
  EXPECT_FALSE(cam->pooled());
  // Open once: a second open changes nothing.
  EXPECT_EQ(cam->open_stream(&y800), STATUS_INVALID_DEVICE_STATE);
  // A format change while open: an RGB bitmap wider than the image, stored
  // top-down; the pitch follows the bitmap and the buffer every line of it.
  KS_VIDEOINFOHEADER changed = video_format(0, 800, -480, 32);
  changed.rcSource = {0, 0, 640, 480};
  cam->update_output_format(&changed);
  EXPECT_EQ(cam->output_type().type, img::FOURCC_RGB32);
  EXPECT_EQ(cam->output_type().dim_x, 640);
  EXPECT_EQ(cam->output_type().pitch, 3200);
  EXPECT_EQ(cam->output_type().buffer_length, 3200 * 480);
  EXPECT_EQ(cam->flip(), 1);
  ASSERT_EQ(cam->close_stream(), STATUS_SUCCESS);
  EXPECT_EQ(alternate(), 0);  // the bandwidth is given back
  EXPECT_EQ(cam->reader(), nullptr);

  // A family that needs less per microframe gets the smallest setting that
  // carries it, counted in bytes.
  cam->iso_payload = 1000;
  KS_VIDEOINFOHEADER yuy2 = video_format(img::FOURCC_YUY2, 320, 240, 16);
  ASSERT_EQ(cam->open_stream(&yuy2), STATUS_SUCCESS);
  EXPECT_EQ(alternate(), 3);
  cam->close_stream();

  // None carries it: the open fails and leaves setting 0.
  cam->iso_payload = 5000;
  EXPECT_EQ(cam->open_stream(&yuy2), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(alternate(), 0);
  EXPECT_EQ(cam->reader(), nullptr);
}

TEST_F(CameraStream, AFailedOpenUndoesWhatItOpened) {
  plug(sim::plain_bulk_camera_desc());
  create_and_init();
  // Pooled (a bulk transfer size the pipe cannot take), so the pool exists
  // when the family's start fails.
  cam->device()->get_interface_info(1)->Pipes[0].MaximumTransferSize = 16384;
  cam->stream_start_status = STATUS_DEVICE_BUSY;
  KS_VIDEOINFOHEADER y800 = video_format(img::FOURCC_Y800, 640, 480, 8);
  EXPECT_EQ(cam->open_stream(&y800), STATUS_DEVICE_BUSY);
  EXPECT_EQ(cam->reader(), nullptr);
  EXPECT_EQ(cam->pause_stream(true), STATUS_INVALID_DEVICE_STATE);
  // A negotiation the device refuses leaves the committed state alone.
  cam->stream_start_status = STATUS_SUCCESS;
  sim_camera->inject_control_fault(sim::control_fault::stall, 1, sim::uvc::SET_CUR);
  EXPECT_EQ(cam->open_stream(&y800), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(cam->open_stream(&y800), STATUS_SUCCESS);
  EXPECT_TRUE(cam->chunked());
}

TEST_F(CameraStream, BulkStreamsAreChunkedOnlyWhenThePipeIsTooSmall) {
  plug(sim::plain_bulk_camera_desc());
  create_and_init();
  ASSERT_EQ(cam->descriptors()->alternate_count, 1u);
  EXPECT_EQ(cam->descriptors()->alternates[0].is_isochronous, 0u);

  // One bulk alternate setting: bulk, a whole frame per transfer, direct.
  KS_VIDEOINFOHEADER y800 = video_format(img::FOURCC_Y800, 640, 480, 8);
  ASSERT_EQ(cam->open_stream(&y800), STATUS_SUCCESS);
  EXPECT_EQ(alternate(), 0);
  EXPECT_FALSE(cam->chunked());
  EXPECT_FALSE(cam->pooled());
  cam->close_stream();

  // A transfer larger than the pipe's MaximumTransferSize is cut to it, and
  // the frame is collected from chunks in the pool.
  cam->device()->get_interface_info(1)->Pipes[0].MaximumTransferSize = 16384;
  ASSERT_EQ(cam->open_stream(&y800), STATUS_SUCCESS);
  EXPECT_TRUE(cam->chunked());
  EXPECT_TRUE(cam->pooled());
  expect_next_frames_whole(4);  // the chunks of each frame collected in the pool
  EXPECT_EQ(static_cast<bulk_reader*>(cam->reader())->transfer_size(), 16384u);
  // Dark frames: transfers in the middle of a payload that begin with 2, 6
  // or 12 are pixels, not headers.
  expect_next_frames_whole(4, sim::make_header_like_pattern());
  cam->close_stream();

  // A JPEG is as long as its data: each one ends with the short transfer
  // that ends its payload, long before the pool buffer is full.
  KS_VIDEOINFOHEADER mjpg = video_format(img::FOURCC_MJPG, 640, 480, 24);
  ASSERT_EQ(cam->open_stream(&mjpg), STATUS_SUCCESS);
  EXPECT_TRUE(cam->chunked());
  expect_next_frames_whole(4);
}

// A JPEG is complete at EOF whatever its length, so a packet that
// completed with an error, or a payload whose header cannot be read, leaves
// no trace in the frame: the reader reports the one, the assembly sees the
// other, and the frame they tore is dropped and counted. The frames after
// it arrive whole.
TEST_F(CameraStream, AnMjpegFrameThatLostAnIsochronousPacketIsDroppedAndCounted) {
  mjpeg_frames_torn_by(sim::stream_fault::packet_error);
}

TEST_F(CameraStream, AnMjpegFrameWithAnUnreadablePayloadHeaderIsDroppedAndCounted) {
  mjpeg_frames_torn_by(sim::stream_fault::bad_header);
}

void CameraStream::mjpeg_frames_torn_by(sim::stream_fault kind) {
  plug(sim::plain_camera_desc());
  use_sink(640 * 480 * 3, 3);
  create_and_init();
  KS_VIDEOINFOHEADER mjpg = video_format(img::FOURCC_MJPG, 640, 480, 24);
  ASSERT_EQ(cam->open_stream(&mjpg), STATUS_SUCCESS);
  ASSERT_FALSE(cam->pooled());
  constexpr uint64_t kFrames = 30;
  sim::stream_options options;
  options.seed = kind == sim::stream_fault::packet_error ? 5 : 10;
  (kind == sim::stream_fault::packet_error ? options.faults.packet_error : options.faults.bad_header) = 25;
  options.frame_limit = options.record_limit = kFrames;
  sim_camera->set_stream_options(options);
  ASSERT_EQ(cam->run_stream(), STATUS_SUCCESS);
  ASSERT_TRUE(readertest::eventually([&] { return sim_camera->sent_counters().frames_sent == kFrames; }));
  ASSERT_TRUE(bus.settle());
  ASSERT_EQ(cam->pause_stream(false), STATUS_SUCCESS);

  // The seeds tear frames inside (not at their end), each followed by an intact one.
  std::vector<const sim::sent_frame*> intact;
  uint64_t torn = 0;
  const std::vector<sim::sent_frame> sent = sim_camera->sent_frames();
  for (size_t i = 0; i < sent.size(); ++i) {
    if (sent[i].intact) {
      intact.push_back(&sent[i]);
      continue;
    }
    ASSERT_EQ(sent[i].fault, kind);
    ASSERT_FALSE(sent[i].last_payload_lost);
    ASSERT_TRUE(i + 1 < sent.size() && sent[i + 1].intact);
    ++torn;
  }
  ASSERT_GE(torn, 2u);
  const std::vector<tvtest::delivered_frame> good = sink().good_frames();
  ASSERT_EQ(good.size(), intact.size());
  for (size_t i = 0; i < good.size(); ++i) {
    EXPECT_TRUE(good[i].bytes == intact[i]->bytes) << "frame " << intact[i]->sequence;
  }
  EXPECT_EQ(cam->p_drops(), torn);
  EXPECT_EQ(cam->q_drops(), 0u);
  EXPECT_EQ(cam->frames_delivered(), intact.size());
}

TEST_F(CameraStream, PauseThenRunRestartsTheReaderWithFreshRequestsAndCounters) {
  plug(sim::plain_bulk_camera_desc());
  use_sink(640 * 480);
  create_and_init();
  sim::stream_options options;
  options.frame_limit = 1;  // one frame, then the camera sends nothing
  sim_camera->set_stream_options(options);
  KS_VIDEOINFOHEADER y800 = video_format(img::FOURCC_Y800, 640, 480, 8);
  ASSERT_EQ(cam->open_stream(&y800), STATUS_SUCCESS);
  ASSERT_EQ(cam->pause_stream(true), STATUS_SUCCESS);
  ASSERT_TRUE(sink().wait_for_returns(1));
  EXPECT_GT(cam->callback_count(), 0u);

  ASSERT_EQ(cam->pause_stream(false), STATUS_SUCCESS);
  EXPECT_NE(cam->reader(), nullptr);  // kept for the next run
  EXPECT_EQ(sim_camera->pending_in_transfers(kStreamingEndpoint), 0u);
  ASSERT_EQ(cam->pause_stream(true), STATUS_SUCCESS);
  ASSERT_TRUE(bus.settle());
  EXPECT_EQ(sim_camera->pending_in_transfers(kStreamingEndpoint), uvc_camera::stream_request_count);
  EXPECT_EQ(cam->callback_count(), 0u);
  EXPECT_EQ(cam->fid_toggles(), 0u);
  // Counters of the open are kept across the pause.
  EXPECT_EQ(cam->frames_delivered(), 1u);
  ASSERT_EQ(sink().good_frames().size(), 1u);
}

}  // namespace
