// data_range: make_data_range, set_output_size_range and size_fits_caps
// (see the header).
#include "avstream/data_range.h"

#include "uvc/uvc_format_records.h"

namespace {

// KSDATAFORMAT_TYPE_VIDEO and KSDATAFORMAT_SPECIFIER_VIDEOINFO as values, so
// that building a range needs no GUID data exported by ks.sys.
constexpr GUID video_major_format = {STATIC_KSDATAFORMAT_TYPE_VIDEO};
constexpr GUID video_info_specifier = {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};

// Frame rate in frames per second x 1000 for an interval in 100 ns units.
// An interval of 0 (a descriptor that names no rate) counts as 30 frames
// per second, in the same unit as every other rate.
constexpr LONGLONG rate_units_per_second = 10000000000LL;
constexpr LONGLONG unknown_interval_rate = 30000;

LONGLONG rate_factor(LONGLONG interval) {
  return interval != 0 ? rate_units_per_second / interval : unknown_interval_rate;
}

}  // namespace

LONGLONG data_range_bit_rate(ULONG frame_bits, LONGLONG interval) {
  // The product is formed in unsigned arithmetic and read back as signed:
  // the two's-complement wrap of a signed 64-bit product, without the
  // undefined behaviour of a signed overflow (an interval of 1 from a
  // device's descriptor gets there).
  const ULONGLONG product = ULONGLONG(frame_bits) * ULONGLONG(rate_factor(interval));
  return LONGLONG(product) / 1000;
}

void make_data_range(KS_DATARANGE_VIDEO* range, const GUID& subtype, LONG width, LONG height,
                     ULONG bit_count, LONGLONG avg_time_per_frame, LONGLONG min_frame_interval,
                     LONGLONG max_frame_interval) {
  RtlZeroMemory(range, sizeof(*range));
  // 32-bit products: the sample size as unsigned, the pixel bits as the
  // absolute value of the signed product.
  const ULONG product = ULONG(width) * ULONG(height) * bit_count;
  const ULONG sample_size = product >> 3;
  const ULONG pixel_bits = LONG(product) < 0 ? 0u - product : product;
  const ULONG fourcc = fourcc_from_subtype(subtype);
  const bool bi_rgb = same_guid(subtype, MEDIASUBTYPE_RGB24) || same_guid(subtype, MEDIASUBTYPE_RGB32);

  KSDATARANGE& data_range = range->DataRange;
  data_range.FormatSize = sizeof(KS_DATARANGE_VIDEO);
  data_range.Flags = 0;
  data_range.SampleSize = sample_size;
  data_range.Reserved = 0;
  data_range.MajorFormat = video_major_format;
  data_range.SubFormat = subtype;
  data_range.Specifier = video_info_specifier;

  range->bFixedSizeSamples = TRUE;
  range->bTemporalCompression = TRUE;
  range->StreamDescriptionFlags = 0;
  range->MemoryAllocationFlags = 0;

  KS_VIDEO_STREAM_CONFIG_CAPS& caps = range->ConfigCaps;
  caps.guid = video_info_specifier;
  caps.VideoStandard = 0;
  const SIZE size = {width, height};
  caps.InputSize = size;
  caps.MinCroppingSize = size;
  caps.MaxCroppingSize = size;
  caps.CropGranularityX = 1;
  caps.CropGranularityY = 1;
  caps.CropAlignX = 1;
  caps.CropAlignY = 1;
  set_output_size_range(&caps, size, size, 1, 1);
  caps.StretchTapsX = 0;
  caps.StretchTapsY = 0;
  caps.ShrinkTapsX = 0;
  caps.ShrinkTapsY = 0;
  caps.MinFrameInterval = min_frame_interval;
  caps.MaxFrameInterval = max_frame_interval;
  // The slowest rate gives the fewest bits per second.
  caps.MinBitsPerSecond = LONG(data_range_bit_rate(pixel_bits, max_frame_interval));
  caps.MaxBitsPerSecond = LONG(data_range_bit_rate(pixel_bits, min_frame_interval));

  KS_VIDEOINFOHEADER& info = range->VideoInfoHeader;
  info.dwBitRate = DWORD(data_range_bit_rate(sample_size * 8, avg_time_per_frame));
  info.dwBitErrorRate = 0;
  info.AvgTimePerFrame = avg_time_per_frame;
  KS_BITMAPINFOHEADER& bitmap = info.bmiHeader;
  bitmap.biSize = sizeof(KS_BITMAPINFOHEADER);
  bitmap.biWidth = width;
  bitmap.biHeight = height;
  bitmap.biPlanes = 1;
  bitmap.biBitCount = WORD(bit_count);
  bitmap.biCompression = bi_rgb ? DWORD(KS_BI_RGB) : fourcc;
  bitmap.biSizeImage = sample_size;
}

namespace {

bool fits_axis(LONGLONG size, LONG minimum, LONG maximum, LONG granularity) {
  if (size < minimum || size > maximum) return false;
  if (granularity <= 0) return size == minimum;
  return (size - minimum) % granularity == 0;
}

}  // namespace

bool size_fits_caps(LONGLONG width, LONGLONG height, const KS_VIDEO_STREAM_CONFIG_CAPS& caps) {
  return fits_axis(width, caps.MinOutputSize.cx, caps.MaxOutputSize.cx, caps.OutputGranularityX) &&
         fits_axis(height, caps.MinOutputSize.cy, caps.MaxOutputSize.cy, caps.OutputGranularityY);
}

void set_output_size_range(KS_VIDEO_STREAM_CONFIG_CAPS* caps, SIZE min_size, SIZE max_size,
                           int granularity_x, int granularity_y) {
  caps->MinOutputSize = min_size;
  caps->MaxOutputSize = max_size;
  caps->OutputGranularityX = granularity_x;
  caps->OutputGranularityY = granularity_y;
}
