// The pin's video data ranges as make_data_range builds them, and the
// version banner.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "camera_support.h"
#include "avstream/data_range.h"
#include "uvc/uvc_format_records.h"
#include "uvc/version_banner.h"

namespace {

TEST(DataRange, EveryFieldOfAY800RangeAndItsBitRates) {
  KS_DATARANGE_VIDEO r;
  memset(&r, 0xCC, sizeof(r));  // every field is written
  make_data_range(&r, subtype_from_fourcc(img::FOURCC_Y800), 640, 480, 8, 333333, 333333, 666666);
  const GUID video = {STATIC_KSDATAFORMAT_TYPE_VIDEO};
  const GUID videoinfo = {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};
  const KS_VIDEO_STREAM_CONFIG_CAPS& c = r.ConfigCaps;
  const KS_VIDEOINFOHEADER& v = r.VideoInfoHeader;
  const KS_BITMAPINFOHEADER& b = v.bmiHeader;

  EXPECT_EQ(r.DataRange.FormatSize, 296u);
  EXPECT_EQ(r.DataRange.SampleSize, 307200u);
  EXPECT_TRUE(same_guid(r.DataRange.MajorFormat, video));
  EXPECT_TRUE(same_guid(r.DataRange.SubFormat, subtype_from_fourcc(img::FOURCC_Y800)));
  EXPECT_TRUE(same_guid(r.DataRange.Specifier, videoinfo));
  EXPECT_TRUE(same_guid(c.guid, videoinfo));
  EXPECT_EQ(r.bFixedSizeSamples + r.bTemporalCompression, 2);
  for (const SIZE& s : {c.InputSize, c.MinCroppingSize, c.MaxCroppingSize, c.MinOutputSize, c.MaxOutputSize}) {
    EXPECT_TRUE(s.cx == 640 && s.cy == 480);
  }
  for (int one : {c.CropGranularityX, c.CropGranularityY, c.CropAlignX, c.CropAlignY,
                  c.OutputGranularityX, c.OutputGranularityY, int(b.biPlanes)}) {
    EXPECT_EQ(one, 1);
  }
  for (LONGLONG zero : {LONGLONG(r.DataRange.Flags), LONGLONG(r.DataRange.Reserved),
                        LONGLONG(r.StreamDescriptionFlags), LONGLONG(r.MemoryAllocationFlags),
                        LONGLONG(c.VideoStandard), LONGLONG(c.StretchTapsX), LONGLONG(c.StretchTapsY),
                        LONGLONG(c.ShrinkTapsX), LONGLONG(c.ShrinkTapsY), LONGLONG(v.rcSource.right),
                        LONGLONG(v.rcTarget.bottom), LONGLONG(v.dwBitErrorRate), LONGLONG(b.biXPelsPerMeter),
                        LONGLONG(b.biYPelsPerMeter), LONGLONG(b.biClrUsed), LONGLONG(b.biClrImportant)}) {
    EXPECT_EQ(zero, 0);
  }
  EXPECT_EQ(c.MinFrameInterval, 333333);
  EXPECT_EQ(c.MaxFrameInterval, 666666);
  // 2457600 bits per frame at 15 and 30 frames per second.
  EXPECT_EQ(c.MinBitsPerSecond, 36864000);
  EXPECT_EQ(c.MaxBitsPerSecond, 73728000);
  EXPECT_EQ(v.dwBitRate, 73728000u);
  EXPECT_EQ(v.AvgTimePerFrame, 333333);
  EXPECT_EQ(b.biSize, 40u);
  EXPECT_TRUE(b.biWidth == 640 && b.biHeight == 480 && b.biBitCount == 8);
  EXPECT_EQ(camtest::fourcc_text(b.biCompression), "Y800");
  EXPECT_EQ(b.biSizeImage, 307200u);

  set_output_size_range(&r.ConfigCaps, SIZE{320, 240}, SIZE{640, 480}, 16, 0);
  EXPECT_TRUE(c.MinOutputSize.cx == 320 && c.MaxOutputSize.cy == 480);
  EXPECT_TRUE(c.OutputGranularityX == 16 && c.OutputGranularityY == 0);
}

TEST(DataRange, RgbRangesAreBiRgbAndRatesFollowTheSignedRules) {
  KS_DATARANGE_VIDEO r;
  make_data_range(&r, MEDIASUBTYPE_RGB32, 4, 2, 32, 0, 0, 0);
  EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biCompression, 0u);
  EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biBitCount, 32);
  // An interval of 0 counts as 30 frames per second: 256 bits x 30.
  EXPECT_EQ(r.VideoInfoHeader.dwBitRate, 7680u);
  EXPECT_EQ(r.ConfigCaps.MaxBitsPerSecond, 7680);

  make_data_range(&r, MEDIASUBTYPE_RGB24, 640, -480, 24, -333333, 333333, 1);
  EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biCompression, 0u);
  EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biBitCount, 24);
  // The sample size is the 32-bit unsigned product; the pixel bits the
  // absolute value of the signed one.
  EXPECT_EQ(r.DataRange.SampleSize, 535949312u);  // 640 x (2^32 - 480) x 24 bits mod 2^32, in bytes
  EXPECT_EQ(r.ConfigCaps.MaxBitsPerSecond, 221184000);
  // Negative intervals give negative rates, truncated towards zero; an
  // interval of 1 from a device wraps the 64-bit product instead of trapping.
  EXPECT_EQ(data_range_bit_rate(7372800, -333333), -221184000);
  EXPECT_EQ(data_range_bit_rate(7372800, 1), 73728000000000LL);
}

TEST(VersionBanner, NamesTheVersionAndTheBuildTimeAndAppends) {
  WCHAR buffer[200] = {'x', ':', ' '};
  UNICODE_STRING s = {3 * sizeof(WCHAR), sizeof(buffer), buffer};
  ASSERT_EQ(build_version_banner(&s), STATUS_SUCCESS);
  const std::string text(buffer, buffer + s.Length / sizeof(WCHAR));
  // The host image has no link time stamp: the release time (2024-10-01
  // 00:00 UTC) in local time, the day not zero-padded.
  EXPECT_TRUE(std::regex_match(text, std::regex(
      R"(x: var_aro, ver=2\.9\.8\.2001 build \(fre\) 2024/(09/30|10/1) \d{2}:\d{2}:00)")))
      << text;
  UNICODE_STRING small = {0, 20, buffer};
  EXPECT_EQ(build_version_banner(&small), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(small.Length, 0);
}

}  // namespace
