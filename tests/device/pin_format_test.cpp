// The capture pin's format rules: which connection formats fit a range,
// which changes a pin that is not stopped accepts, and what the data
// intersection makes of a caller's range.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "avstream/capture_pin.h"
#include "avstream/data_range.h"

namespace {

const GUID kY800 = {0x30303859, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const GUID kRgb24 = {0xe436eb7d, 0x524f, 0x11ce, {0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70}};

KS_DATARANGE_VIDEO range_of(const GUID& subtype, LONG width, LONG height, ULONG bits) {
  KS_DATARANGE_VIDEO range = {};
  make_data_range(&range, subtype, width, height, bits, 333333, 333333, 2000000);
  return range;
}

TEST(pin_format_checks, connection_formats_must_hold_their_image_and_fit_the_range) {
  KS_DATARANGE_VIDEO range = range_of(kY800, 640, 480, 8);
  KS_VIDEOINFOHEADER v = range.VideoInfoHeader;
  EXPECT_TRUE(check_bitmap_size(v.bmiHeader));
  EXPECT_TRUE(format_matches_range(v, range));
  v.bmiHeader.biHeight = -480;  // top-down rows count the same
  EXPECT_TRUE(check_bitmap_size(v.bmiHeader));
  v.bmiHeader.biSizeImage = 640 * 480 - 1;
  EXPECT_FALSE(check_bitmap_size(v.bmiHeader));
  KS_BITMAPINFOHEADER h = v.bmiHeader;  // products that overflow 32 bits fail
  h.biWidth = 0x10000;
  h.biHeight = 0x10000;
  h.biSizeImage = 0xFFFFFFFF;
  EXPECT_FALSE(check_bitmap_size(h));
  h.biHeight = 0x1000;
  h.biBitCount = 32;
  EXPECT_FALSE(check_bitmap_size(h));

  // A stride wider than the picture: the visible size is in rcSource,
  // which must equal rcTarget and start at the origin.
  v = range.VideoInfoHeader;
  v.bmiHeader.biWidth = 704;
  v.rcSource = v.rcTarget = RECT{0, 0, 640, 480};
  EXPECT_TRUE(format_matches_range(v, range));
  v.rcTarget.right = 641;
  EXPECT_FALSE(format_matches_range(v, range));
  v.rcSource = v.rcTarget = RECT{8, 0, 648, 480};
  EXPECT_FALSE(format_matches_range(v, range));
  v.rcSource = RECT{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX};  // no overflow
  LONGLONG w = 0, ht = 0;
  get_video_size(v, &w, &ht);
  EXPECT_EQ(w, 0xFFFFFFFFLL);
  v = range.VideoInfoHeader;
  v.bmiHeader.biBitCount = 16;
  EXPECT_FALSE(format_matches_range(v, range));

  set_output_size_range(&range.ConfigCaps, SIZE{320, 240}, SIZE{640, 480}, 16, 0);
  EXPECT_TRUE(size_fits_caps(336, 240, range.ConfigCaps));
  EXPECT_FALSE(size_fits_caps(330, 240, range.ConfigCaps));  // off the 16-pixel grid
  EXPECT_FALSE(size_fits_caps(320, 241, range.ConfigCaps));  // granularity 0: the minimum only
  EXPECT_FALSE(size_fits_caps(656, 240, range.ConfigCaps));
}

TEST(pin_format_checks, a_pin_that_is_not_stopped_accepts_only_stride_and_row_order) {
  const KS_VIDEOINFOHEADER current = range_of(kY800, 640, 480, 8).VideoInfoHeader;
  KS_VIDEOINFOHEADER next = current;
  next.bmiHeader.biHeight = -480;
  EXPECT_EQ(check_format_change(next, current), STATUS_SUCCESS);
  next = current;  // wider stride, same picture
  next.bmiHeader.biWidth = 768;
  next.rcSource = next.rcTarget = RECT{0, 0, 640, 480};
  EXPECT_EQ(check_format_change(next, current), STATUS_SUCCESS);
  next.rcSource.bottom = next.rcTarget.bottom = -480;  // bottom must be |biHeight|
  EXPECT_EQ(check_format_change(next, current), STATUS_NOT_SUPPORTED);

  next = current;
  next.AvgTimePerFrame = 666666;
  EXPECT_EQ(check_format_change(next, current), STATUS_NOT_SUPPORTED);
  next = current;
  next.bmiHeader.biHeight = 240;
  EXPECT_EQ(check_format_change(next, current), STATUS_NOT_SUPPORTED);
  next = current;  // another visible width
  next.bmiHeader.biWidth = 320;
  EXPECT_EQ(check_format_change(next, current), STATUS_NO_MATCH);
}

NTSTATUS intersect(KS_DATARANGE_VIDEO caller, const KS_DATARANGE_VIDEO& pin_range,
                   std::vector<uint8_t>* out, ULONG* size) {
  return pin_intersect(nullptr, nullptr, nullptr, &caller.DataRange,
                       const_cast<PKSDATARANGE>(&pin_range.DataRange), ULONG(out->size()),
                       out->empty() ? nullptr : out->data(), size);
}

TEST(pin_intersection, size_protocol_then_the_callers_frame_with_the_pins_header) {
  KS_DATARANGE_VIDEO pin_range = range_of(kRgb24, 641, 480, 24);
  pin_range.DataRange.FormatSize = 1332;  // as the pin offers it
  KS_DATARANGE_VIDEO caller = pin_range;
  caller.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
  caller.VideoInfoHeader.bmiHeader.biHeight = -480;
  caller.VideoInfoHeader.bmiHeader.biSizeImage = 1;
  caller.VideoInfoHeader.AvgTimePerFrame = 666666;
  caller.VideoInfoHeader.rcSource = RECT{0, 0, 641, 480};

  const ULONG needed = 40 + 1148;
  std::vector<uint8_t> out;
  ULONG size = 0;
  EXPECT_EQ(intersect(caller, pin_range, &out, &size), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, needed);
  out.assign(needed - 1, 0xEE);
  EXPECT_EQ(intersect(caller, pin_range, &out, &size), STATUS_BUFFER_TOO_SMALL);

  out.assign(needed + 8, 0xEE);
  ASSERT_EQ(intersect(caller, pin_range, &out, &size), STATUS_SUCCESS);
  EXPECT_EQ(size, needed);
  const auto* format = reinterpret_cast<const KSDATAFORMAT*>(out.data());
  const auto* video = reinterpret_cast<const KS_VIDEOINFOHEADER*>(out.data() + 64);
  EXPECT_EQ(format->FormatSize, needed);
  EXPECT_EQ(0, memcmp(&format->SubFormat, &kRgb24, sizeof(GUID)));
  // Rows of 641 × 3 bytes padded to 1924; a top-down height still counts.
  EXPECT_EQ(format->SampleSize, 1924u * 480u);
  EXPECT_EQ(video->bmiHeader.biSizeImage, 1924u * 480u);
  EXPECT_EQ(video->bmiHeader.biHeight, -480);
  EXPECT_EQ(video->AvgTimePerFrame, 666666);
  EXPECT_EQ(video->rcSource.right, 0);
  EXPECT_EQ(out[needed - 1], 0);  // zero-filled to the end, and not beyond
  EXPECT_EQ(out[needed], 0xEE);
}

TEST(pin_intersection, ranges_that_do_not_fit_are_refused) {
  const KS_DATARANGE_VIDEO pin_range = range_of(kY800, 640, 480, 8);
  std::vector<uint8_t> out;
  ULONG size = 0;
  KS_DATARANGE_VIDEO caller = pin_range;
  reinterpret_cast<uint8_t*>(&caller.ConfigCaps)[127] ^= 1;  // one byte of the caps differs
  EXPECT_EQ(intersect(caller, pin_range, &out, &size), STATUS_NO_MATCH);
  caller = pin_range;
  caller.bTemporalCompression = 0;
  EXPECT_EQ(intersect(caller, pin_range, &out, &size), STATUS_NO_MATCH);
  caller = pin_range;
  caller.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO) - 1;
  EXPECT_EQ(intersect(caller, pin_range, &out, &size), STATUS_NO_MATCH);
  // A bitmap header that would run past the caller's range, or wrap.
  caller = pin_range;
  caller.VideoInfoHeader.bmiHeader.biSize = 41;
  EXPECT_EQ(intersect(caller, pin_range, &out, &size), STATUS_INVALID_PARAMETER);
  caller.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFF0u;
  EXPECT_EQ(intersect(caller, pin_range, &out, &size), STATUS_INVALID_PARAMETER);
}

}  // namespace
