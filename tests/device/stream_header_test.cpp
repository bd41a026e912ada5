// What the capture pin stamps into a returned buffer beyond what the
// capture stream tests check through ks.sys for every frame (time,
// discontinuity, picture number and drop count, with and without a clock):
// the bytes used of a frame that reports none or too many, the time's unit,
// the flags of a header without a clock, and the picture number of a buffer
// returned before any frame.
#include <gtest/gtest.h>

#include "avstream/capture_pin.h"

namespace {

TEST(stamped_frame, bytes_used_time_unit_and_the_picture_number_before_any_frame) {
  KSPIN ks_pin = {};
  KS_VIDEOINFOHEADER format = {};
  format.AvgTimePerFrame = 333333;
  capture_pin pin(&ks_pin, nullptr);
  pin.format = &format;
  EXPECT_FALSE(pin.count_frame(0, 0));
  EXPECT_EQ(pin.get_picture_number(), 0);

  KSSTREAM_HEADER header = {};  // 56 bytes: nothing is written past it (ASan)
  header.Size = sizeof(header);
  header.FrameExtent = 4096;
  KSSTREAM_POINTER clone = {};
  clone.StreamHeader = &header;
  clone.OffsetOut.Count = 4096;
  EXPECT_EQ(capture_pin::used_bytes(&clone, 0), 4096u);  // 0: the whole buffer
  EXPECT_EQ(capture_pin::used_bytes(&clone, 4097), 4096u);
  pin.fill_stream_header(&clone, true, 1000);  // no clock: no discontinuity either
  EXPECT_EQ(header.DataUsed, 1000u);
  EXPECT_EQ(header.Duration, 333333);
  EXPECT_EQ(header.OptionsFlags, ULONG(KSSTREAM_HEADER_OPTIONSF_DURATIONVALID));
  EXPECT_TRUE(header.PresentationTime.Numerator == 1 && header.PresentationTime.Denominator == 1);
}

}  // namespace
