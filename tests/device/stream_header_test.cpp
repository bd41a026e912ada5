// What the client finds in a returned buffer's stream header, stamped by
// the capture pin from the camera's totals.
#include <gtest/gtest.h>

#include <vector>

#include "avstream/capture_pin.h"

namespace {

// A reference clock held at 5550000.
class fixed_clock : public IKsReferenceClock {
 public:
  NTSTATUS QueryInterface(REFIID, PVOID*) override { return STATUS_NOT_IMPLEMENTED; }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  LONGLONG GetTime() override { return 5550000; }
  LONGLONG GetPhysicalTime() override { return 5550000; }
  LONGLONG GetCorrelatedTime(PLONGLONG system_time) override {
    *system_time = 1;
    return 5550000;
  }
  LONGLONG GetCorrelatedPhysicalTime(PLONGLONG system_time) override { return 5550000; }
  NTSTATUS GetResolution(PKSRESOLUTION) override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS GetState(PKSSTATE) override { return STATUS_NOT_IMPLEMENTED; }
};

// A capture pin detached from ks.sys stamping headers of 56 bytes, or 128
// with a KS_FRAME_INFO, over 4096-byte buffers.
class stamped_frame : public ::testing::Test {
 protected:
  stamped_frame() : object_(&ks_pin_, nullptr) {
    format_.AvgTimePerFrame = 333333;
    object_.format = &format_;
  }

  // One good frame returned by the camera, as frame_done stamps it.
  void stamp(ULONGLONG drops, ULONGLONG delivered, ULONG bytes_used, ULONG size = 128) {
    header_bytes_.assign(size, 0);
    header()->Size = size;
    header()->FrameExtent = 4096;
    clone_.StreamHeader = header();
    clone_.OffsetOut.Count = 4096;
    const bool discontinuity = object_.count_frame(drops, delivered);
    object_.fill_stream_header(&clone_, discontinuity,
                               capture_pin::used_bytes(&clone_, bytes_used));
  }
  PKSSTREAM_HEADER header() { return reinterpret_cast<PKSSTREAM_HEADER>(header_bytes_.data()); }
  PKS_FRAME_INFO info() { return reinterpret_cast<PKS_FRAME_INFO>(header() + 1); }
  bool flag(ULONG f) { return (header()->OptionsFlags & f) != 0; }

  KSPIN ks_pin_ = {};
  KS_VIDEOINFOHEADER format_ = {};
  capture_pin object_;
  std::vector<uint8_t> header_bytes_;
  KSSTREAM_POINTER clone_ = {};
};

TEST_F(stamped_frame, without_clock_no_time_no_discontinuity_and_short_headers_no_frame_info) {
  stamp(3, 10, 1000, sizeof(KSSTREAM_HEADER));  // nothing is written past the 56 bytes (ASan)
  EXPECT_EQ(header()->DataUsed, 1000u);
  EXPECT_EQ(header()->Duration, 333333);
  EXPECT_EQ(header()->OptionsFlags, ULONG(KSSTREAM_HEADER_OPTIONSF_DURATIONVALID));
  EXPECT_EQ(header()->PresentationTime.Time, 0);
  EXPECT_EQ(header()->PresentationTime.Numerator, 1u);
  EXPECT_EQ(header()->PresentationTime.Denominator, 1u);

  stamp(4, 11, 0);  // the drop count changed, but no clock shows it
  EXPECT_EQ(header()->OptionsFlags, ULONG(KSSTREAM_HEADER_OPTIONSF_DURATIONVALID));
  EXPECT_EQ(header()->DataUsed, 4096u);  // 0: the whole buffer
  EXPECT_EQ(info()->PictureNumber, 14);
  EXPECT_EQ(info()->DropCount, 4);
  EXPECT_EQ(capture_pin::used_bytes(&clone_, 4097), 4096u);  // never more than the buffer
}

TEST_F(stamped_frame, with_clock_time_valid_and_discontinuity_only_after_a_change) {
  fixed_clock clock;
  object_.clock = &clock;
  struct step {
    ULONGLONG drops, delivered;
    bool discontinuity;
  } const steps[] = {{0, 1, false}, {0, 2, false}, {5, 3, true},  {5, 4, false},
                     {5, 5, false}, {7, 6, true},  {7, 7, false}, {0, 8, false}};
  for (const step& s : steps) {
    SCOPED_TRACE(s.delivered);
    stamp(s.drops, s.delivered, 100);
    EXPECT_EQ(header()->PresentationTime.Time, 5550000);
    EXPECT_TRUE(flag(KSSTREAM_HEADER_OPTIONSF_TIMEVALID));
    EXPECT_EQ(flag(KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY), s.discontinuity);
    EXPECT_EQ(info()->PictureNumber, LONGLONG(s.delivered - 1 + s.drops));
    EXPECT_EQ(info()->DropCount, LONGLONG(s.drops));
  }
  // A buffer returned before any frame keeps picture number 0.
  EXPECT_FALSE(object_.count_frame(0, 0));
  EXPECT_EQ(object_.get_picture_number(), 0);
}

}  // namespace
