// Unpacking 12-bit packed Bayer: every variant against a reference packed
// here from the byte layouts, on sizes around the vector thresholds, with
// padded and bottom-up lines; and what happens with input that breaks the
// preconditions.
#include <gtest/gtest.h>

#include <stdint.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "by12pa/by12pa_unpack.h"
#include "reference_transform.h"

using namespace xform_test;

namespace {

constexpr uint8_t kCanary = 0x5A;

// An image in a buffer of exactly the bytes it spans (the address sanitizer
// sees any access beyond its first or last line), filled with the canary.
owned_image canary_image(uint32_t fcc, int dim_x, int dim_y, int pitch) {
  return make_image_with_pitch(fcc, dim_x, dim_y, pitch, kCanary);
}

bool is_layout_d(uint32_t fcc) { return ((fcc >> 16) & 0xFF) == 'D'; }

// Packs 12-bit values two per three bytes, as the cameras send them.
void pack_line(uint32_t fcc, const uint16_t* values, int dim_x, uint8_t* out) {
  for (int x = 0; x + 1 < dim_x; x += 2, out += 3) {
    const uint16_t p0 = values[x], p1 = values[x + 1];
    const uint8_t nibbles = static_cast<uint8_t>((p0 & 0xF) | (p1 & 0xF) << 4);
    out[0] = static_cast<uint8_t>(p0 >> 4);
    out[1] = is_layout_d(fcc) ? static_cast<uint8_t>(p1 >> 4) : nibbles;
    out[2] = is_layout_d(fcc) ? nibbles : static_cast<uint8_t>(p1 >> 4);
  }
}

}  // namespace

// The bytes AB CD EF in both layouts; then each variant, for both layouts,
// on widths on both sides of the vector threshold and of every vector step,
// padded (by odd amounts) and bottom-up lines in both images: every pixel is
// its 12-bit value shifted by 4, nothing outside the lines is written.
TEST(By12paUnpack, EveryVariantGivesTheReferenceOutput) {
  report_capture reports;
  for (uint32_t fcc : {img::FOURCC_GBRG12_PACKED_C, img::FOURCC_GBRG12_PACKED_D}) {
    owned_image src = canary_image(fcc, 2, 1, 3), dst = canary_image(img::FOURCC_GBRG16, 2, 1, 4);
    memcpy(at8(src.desc, 0, 0), "\xAB\xCD\xEF", 3);
    img::transform_by12pa_to_by16(dst.desc, src.desc, kCpu);
    EXPECT_EQ(get16(dst.desc, 0, 0), is_layout_d(fcc) ? 0xABF0 : 0xABD0);
    EXPECT_EQ(get16(dst.desc, 1, 0), is_layout_d(fcc) ? 0xCDE0 : 0xEFC0);
  }
  std::mt19937 rng(20261206);
  std::vector<int> widths{640};
  for (int w = 2; w <= 130; w += 2) widths.push_back(w);
  for (uint32_t fcc : {img::FOURCC_RGGB12_PACKED_C, img::FOURCC_BGGR12_PACKED_D}) {
    for (int dim_x : widths) {
      const int src_exact = dim_x * 3 / 2, dst_exact = dim_x * 2, dim_y = 1 + 2 * (dim_x % 4 == 0);
      const int src_pitches[] = {src_exact, src_exact + 5, -src_exact, -(src_exact + 7)};
      const int dst_pitches[] = {dst_exact, -(dst_exact + 3), dst_exact + 6, -dst_exact};
      for (int p = 0; p < 4; ++p) {
        owned_image src = canary_image(fcc, dim_x, dim_y, src_pitches[p]);
        std::vector<uint16_t> values(static_cast<size_t>(dim_x) * dim_y);
        for (uint16_t& v : values) v = static_cast<uint16_t>(rng() & 0xFFF);
        for (int y = 0; y < dim_y; ++y)
          pack_line(fcc, &values[static_cast<size_t>(y) * dim_x], dim_x, at8(src.desc, 0, y));
        for (uint32_t features : kVariants) {
          if (!has_variant(features)) continue;
          owned_image dst = canary_image(img::transform_by12pa_to_by16_fcc(fcc), dim_x, dim_y, dst_pitches[p]);
          img::transform_by12pa_to_by16(dst.desc, src.desc, features);
          int wrong = 0;
          for (int y = 0; y < dim_y; ++y) {
            for (int x = 0; x < dim_x; ++x)
              wrong += get16(dst.desc, x, y) != values[static_cast<size_t>(y) * dim_x + x] << 4;
            const size_t row = static_cast<size_t>(y) * std::abs(dst.desc.pitch);  // padding after it in memory
            for (size_t b = row + dst_exact; b < row + std::abs(dst.desc.pitch); ++b) wrong += dst.buffer[b] != kCanary;
          }
          ASSERT_EQ(wrong, 0) << std::hex << fcc << std::dec << " " << dim_x << "x" << dim_y << " pitches "
                              << src_pitches[p] << "/" << dst_pitches[p] << " features " << features;
        }
      }
    }
  }
  EXPECT_TRUE(reports.reports.empty());
}

// A wrong destination type, a size mismatch and an odd width are reported;
// the area both images hold is still converted. Inputs the conversion cannot
// handle safely are reported and leave the destination untouched.
TEST(By12paUnpack, WrongInputIsReportedAndUnsafeInputWritesNothing) {
  report_capture reports;
  owned_image src = canary_image(img::FOURCC_GBRG12_PACKED_D, 7, 3, 10), dst = canary_image(img::FOURCC_Y16, 5, 2, 12);
  for (int y = 0; y < 3; ++y)
    for (int b = 0; b < 10; ++b) at8(src.desc, 0, y)[b] = static_cast<uint8_t>(0x10 * y + b);
  img::transform_by12pa_to_by16(dst.desc, src.desc, kCpu);
  EXPECT_EQ(reports.reports, (std::vector<std::string>{"transform_by12pa_to_by16_fcc( src.type ) == dst.type",
                                                       "dst.dim_x == src.dim_x && dst.dim_y == src.dim_y",
                                                       "dst.dim_x % 2 == 0"}));
  // Line 1, pair 1 is bytes 0x13 0x14 0x15 (layout D); pixel 4 has only its
  // high byte 0x16 in the line.
  EXPECT_EQ(get16(dst.desc, 2, 1), 0x1350);
  EXPECT_EQ(get16(dst.desc, 3, 1), 0x1410);
  EXPECT_EQ(get16(dst.desc, 4, 1), 0x1600);
  EXPECT_EQ(at8(dst.desc, 0, 1)[10], kCanary);  // destination padding untouched

  struct {
    const char* expected;
    uint32_t src_fcc;
    int src_pitch, dst_pitch, src_shrink, dst_shrink;  // bytes taken off the buffer lengths
    bool null_data;
  } const cases[] = {
      {"is_by12pa_fcc( src.type )", img::FOURCC_Y800, 64, 128, 0, 0, false},
      {"abs( src.pitch ) >= src.dim_x * 12 / 8", img::FOURCC_BGGR12_PACKED_C, -95, 128, 0, 0, false},
      {"abs( dst.pitch ) >= dst.dim_x * 2", img::FOURCC_BGGR12_PACKED_C, 96, 127, 0, 0, false},
      {"src.buffer_length >= abs( src.pitch ) * ( src.dim_y - 1 ) + src.dim_x * 12 / 8",
       img::FOURCC_BGGR12_PACKED_C, 96, 128, 1, 0, false},
      {"dst.buffer_length >= abs( dst.pitch ) * ( dst.dim_y - 1 ) + dst.dim_x * 2", img::FOURCC_BGGR12_PACKED_C,
       96, -128, 0, 1, false},
      {"src.data != 0", img::FOURCC_BGGR12_PACKED_C, 96, 128, 0, 0, true},
  };
  for (const auto& c : cases) {
    reports.reports.clear();
    owned_image s = canary_image(c.src_fcc, 64, 4, c.src_pitch);
    owned_image d = canary_image(img::FOURCC_BGGR16, 64, 4, c.dst_pitch);
    s.desc.buffer_length -= c.src_shrink;
    d.desc.buffer_length -= c.dst_shrink;
    if (c.null_data) s.desc.data = nullptr;
    img::transform_by12pa_to_by16(d.desc, s.desc, img::cpu_ssse3);
    EXPECT_TRUE(reports.has(c.expected)) << c.expected;
    EXPECT_EQ(d.buffer, std::vector<uint8_t>(d.buffer.size(), kCanary)) << c.expected;
  }
}
