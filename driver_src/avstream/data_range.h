// data_range: the one builder of the video data ranges the capture pin
// offers (KS_DATARANGE_VIDEO), used by the camera's format entry builders,
// the edit that gives a derived range its own output size range, and the
// test of a frame size against that range (the camera's format choice and
// the pin's format checks). Pure functions over the caller's record; any
// IRQL.
#pragma once

#include "kernel/kernel_api.h"

// Fills every field of `range` (296 bytes) for frames of `width` x `height`
// pixels at `bit_count` bits with sub-format `subtype`:
//   - sample size and biSizeImage: width x height x bit_count / 8 (32-bit
//     unsigned product);
//   - input, cropping and output sizes all (width, height), granularity 1;
//   - minimum and maximum frame interval as given (100 ns units), the video
//     info header's average time per frame `avg_time_per_frame`;
//   - bit rates from the intervals (see data_range.cpp);
//   - biCompression: the subtype's FOURCC (its first 32 bits), except 0
//     (BI_RGB) for the RGB24 and RGB32 subtypes.
void make_data_range(KS_DATARANGE_VIDEO* range, const GUID& subtype, LONG width, LONG height,
                     ULONG bit_count, LONGLONG avg_time_per_frame, LONGLONG min_frame_interval,
                     LONGLONG max_frame_interval);

// Overwrites the output size range of `caps`: MinOutputSize, MaxOutputSize,
// OutputGranularityX and OutputGranularityY. A granularity of 0 admits only
// the minimum size in that direction.
void set_output_size_range(KS_VIDEO_STREAM_CONFIG_CAPS* caps, SIZE min_size, SIZE max_size,
                           int granularity_x, int granularity_y);

// Whether frames of `width` x `height` pixels lie within the output size
// range of `caps` and on its granularity: minimum, minimum + granularity,
// ... up to the maximum, in each direction. A granularity of 0 (or a
// negative one) admits the minimum alone. 64-bit sizes, so that no
// rectangle a client sends can overflow them.
bool size_fits_caps(LONGLONG width, LONGLONG height, const KS_VIDEO_STREAM_CONFIG_CAPS& caps);

// Bit rate of frames of `frame_bits` bits (a 32-bit count) sent every
// `interval` 100 ns: frame_bits x (10^10 / interval) / 1000, with a signed
// 64-bit product (wrapping as two's complement) and a division truncating
// towards zero. An interval of 0 counts as 30 frames per second.
LONGLONG data_range_bit_rate(ULONG frame_bits, LONGLONG interval);
