// Baseline JPEG encoding: forward DCT, quantisation, zigzag ordering and
// Huffman coding of 4:2:2 minimum coded units (two luminance blocks side by
// side, one Cb and one Cr block: 16 x 8 pixels), with the markers around.
#include "jpeg_encoder.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

// Annex K.1: example quantisation tables, natural (row-major) order.
constexpr uint8_t kLuminanceQuant[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,   //
    12, 12, 14, 19, 26,  58,  60,  55,   //
    14, 13, 16, 24, 40,  57,  69,  56,   //
    14, 17, 22, 29, 51,  87,  80,  62,   //
    18, 22, 37, 56, 68,  109, 103, 77,   //
    24, 35, 55, 64, 81,  104, 113, 92,   //
    49, 64, 78, 87, 103, 121, 120, 101,  //
    72, 92, 95, 98, 112, 100, 103, 99};
constexpr uint8_t kChrominanceQuant[64] = {
    17, 18, 24, 47, 99, 99, 99, 99,  //
    18, 21, 26, 66, 99, 99, 99, 99,  //
    24, 26, 56, 99, 99, 99, 99, 99,  //
    47, 66, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99,  //
    99, 99, 99, 99, 99, 99, 99, 99};

// Natural index of the coefficient at each zigzag position.
constexpr uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                 12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Annex K.3: typical Huffman tables; `bits[i]` codes of length i + 1, then
// the symbols in order of increasing code length.
struct huffman_table {
  uint8_t bits[16];
  uint8_t symbols[162];
  uint8_t count;
};
constexpr huffman_table kDcLuminance = {{0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0},
                                       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
                                       12};
constexpr huffman_table kDcChrominance = {{0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0},
                                         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
                                         12};
constexpr huffman_table kAcLuminance = {
    {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d},
    {0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07,
     0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0,
     0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28,
     0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
     0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
     0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
     0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7,
     0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5,
     0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
     0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
     0xf9, 0xfa},
    162};
constexpr huffman_table kAcChrominance = {
    {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77},
    {0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71,
     0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0,
     0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26,
     0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,
     0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,
     0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
     0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5,
     0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
     0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
     0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
     0xf9, 0xfa},
    162};

constexpr int symbol_total(const huffman_table& h) {
  int n = 0;
  for (int i = 0; i < 16; ++i) n += h.bits[i];
  return n;
}
static_assert(symbol_total(kDcLuminance) == kDcLuminance.count, "K.3 DC luminance");
static_assert(symbol_total(kDcChrominance) == kDcChrominance.count, "K.3 DC chrominance");
static_assert(symbol_total(kAcLuminance) == kAcLuminance.count, "K.3 AC luminance");
static_assert(symbol_total(kAcChrominance) == kAcChrominance.count, "K.3 AC chrominance");

// Markers.
constexpr uint8_t kSoi = 0xD8, kEoi = 0xD9, kSof0 = 0xC0, kDht = 0xC4, kDqt = 0xDB, kSos = 0xDA,
                  kCom = 0xFE;

// Code and length per symbol, generated as Annex C does.
struct huffman_code {
  uint16_t code[256] = {};
  uint8_t length[256] = {};
};

huffman_code make_code(const huffman_table& table_def) {
  huffman_code table;
  uint16_t code = 0;
  int k = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < table_def.bits[length - 1]; ++i, ++k) {
      table.code[table_def.symbols[k]] = code++;
      table.length[table_def.symbols[k]] = (uint8_t)length;
    }
    code = (uint16_t)(code << 1);
  }
  return table;
}

class bit_writer {
 public:
  explicit bit_writer(std::vector<uint8_t>& out) : out_(out) {}
  void put(uint32_t bits, int count) {
    for (int i = count - 1; i >= 0; --i) {
      accumulator_ = (uint8_t)(accumulator_ << 1 | ((bits >> i) & 1));
      if (++filled_ == 8) emit();
    }
  }
  // Pads the last byte with 1 bits.
  void flush() {
    while (filled_ != 0) put(1, 1);
  }

 private:
  void emit() {
    out_.push_back(accumulator_);
    if (accumulator_ == 0xFF) out_.push_back(0x00);  // byte stuffing
    accumulator_ = 0;
    filled_ = 0;
  }
  std::vector<uint8_t>& out_;
  uint8_t accumulator_ = 0;
  int filled_ = 0;
};

// Number of bits of |value| (the "size" category of F.1.2).
int category(int value) {
  int magnitude = value < 0 ? -value : value;
  int bits = 0;
  while (magnitude != 0) {
    ++bits;
    magnitude >>= 1;
  }
  return bits;
}

// c[u][x] = C(u) / 2 * cos((2x + 1) u pi / 16): applied to rows and then
// columns it gives the FDCT of A.3.3.
struct dct_basis {
  double c[8][8];
  dct_basis() {
    const double pi = 3.14159265358979323846;
    for (int u = 0; u < 8; ++u) {
      for (int x = 0; x < 8; ++x) {
        c[u][x] = (u == 0 ? std::sqrt(0.5) : 1.0) / 2 * std::cos((2 * x + 1) * u * pi / 16);
      }
    }
  }
};

class encoder {
 public:
  encoder(std::vector<uint8_t>& out, int quality)
      : out_(out), bits_(out), dc_codes_{make_code(kDcLuminance), make_code(kDcChrominance)},
        ac_codes_{make_code(kAcLuminance), make_code(kAcChrominance)} {
    quality = std::max(1, std::min(100, quality));
    const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
    for (int i = 0; i < 64; ++i) {
      quant_[0][i] = (uint8_t)std::max(1, std::min(255, (kLuminanceQuant[i] * scale + 50) / 100));
      quant_[1][i] = (uint8_t)std::max(1, std::min(255, (kChrominanceQuant[i] * scale + 50) / 100));
    }
  }

  void headers(uint32_t width, uint32_t height, const std::vector<uint8_t>& comment) {
    marker(kSoi);
    if (!comment.empty()) {
      const size_t n = std::min<size_t>(comment.size(), 65533);
      segment(kCom, n + 2);
      out_.insert(out_.end(), comment.begin(), comment.begin() + (long)n);
    }
    segment(kDqt, 2 + 2 * 65);
    for (int t = 0; t < 2; ++t) {
      out_.push_back((uint8_t)t);  // 8-bit precision, table t
      for (int k = 0; k < 64; ++k) out_.push_back(quant_[t][kZigzag[k]]);
    }
    segment(kSof0, 2 + 6 + 3 * 3);
    out_.push_back(8);  // sample precision
    put16((uint16_t)height);
    put16((uint16_t)width);
    out_.push_back(3);
    out_.insert(out_.end(), {1, 0x21, 0});  // Y: 2 x 1 sampling, table 0
    out_.insert(out_.end(), {2, 0x11, 1});  // Cb
    out_.insert(out_.end(), {3, 0x11, 1});  // Cr
    huffman_segment(0x00, kDcLuminance);
    huffman_segment(0x10, kAcLuminance);
    huffman_segment(0x01, kDcChrominance);
    huffman_segment(0x11, kAcChrominance);
    segment(kSos, 2 + 1 + 3 * 2 + 3);
    out_.push_back(3);
    out_.insert(out_.end(), {1, 0x00, 2, 0x11, 3, 0x11});
    out_.insert(out_.end(), {0, 63, 0});  // Ss, Se, Ah/Al: sequential
  }

  // One block of level-shifted samples, natural order; `table` 0 luminance, 1 chrominance.
  void block(const double samples[64], int table, int* previous_dc) {
    double rows[64];
    for (int y = 0; y < 8; ++y) {
      for (int u = 0; u < 8; ++u) {
        double sum = 0;
        for (int x = 0; x < 8; ++x) sum += basis_.c[u][x] * samples[y * 8 + x];
        rows[y * 8 + u] = sum;
      }
    }
    int coefficients[64];
    for (int v = 0; v < 8; ++v) {
      for (int u = 0; u < 8; ++u) {
        double sum = 0;
        for (int y = 0; y < 8; ++y) sum += basis_.c[v][y] * rows[y * 8 + u];
        coefficients[v * 8 + u] = (int)std::lround(sum / quant_[table][v * 8 + u]);
      }
    }
    const huffman_code& dc = dc_codes_[table];
    const huffman_code& ac = ac_codes_[table];
    const int diff = coefficients[0] - *previous_dc;
    *previous_dc = coefficients[0];
    put_value(dc, 0, diff);
    int run = 0;
    for (int k = 1; k < 64; ++k) {
      const int value = coefficients[kZigzag[k]];
      if (value == 0) {
        ++run;
        continue;
      }
      for (; run >= 16; run -= 16) bits_.put(ac.code[0xF0], ac.length[0xF0]);  // ZRL
      put_value(ac, run << 4, value);
      run = 0;
    }
    if (run > 0) bits_.put(ac.code[0x00], ac.length[0x00]);  // EOB
  }

  void finish() {
    bits_.flush();
    marker(kEoi);
  }

 private:
  // The code of (run << 4 | size), then `size` bits of the value (negative
  // values as value - 1, F.1.2.1).
  void put_value(const huffman_code& table, int run_bits, int value) {
    const int size = category(value);
    const int symbol = run_bits | size;
    bits_.put(table.code[symbol], table.length[symbol]);
    if (size != 0) bits_.put((uint32_t)(value < 0 ? value - 1 : value) & ((1u << size) - 1), size);
  }
  void marker(uint8_t code) { out_.insert(out_.end(), {0xFF, code}); }
  void put16(uint16_t v) { out_.insert(out_.end(), {(uint8_t)(v >> 8), (uint8_t)v}); }
  void segment(uint8_t code, size_t length) {
    marker(code);
    put16((uint16_t)length);
  }
  void huffman_segment(uint8_t class_and_id, const huffman_table& table_def) {
    segment(kDht, 2 + 1 + 16 + table_def.count);
    out_.push_back(class_and_id);
    out_.insert(out_.end(), table_def.bits, table_def.bits + 16);
    out_.insert(out_.end(), table_def.symbols, table_def.symbols + table_def.count);
  }

  std::vector<uint8_t>& out_;
  bit_writer bits_;
  dct_basis basis_;
  huffman_code dc_codes_[2];
  huffman_code ac_codes_[2];
  uint8_t quant_[2][64];
};

}  // namespace

std::vector<uint8_t> encode_jpeg_yuy2(const uint8_t* yuy2, uint32_t width, uint32_t height, int quality,
                                      const std::vector<uint8_t>& comment) {
  std::vector<uint8_t> out;
  if (yuy2 == nullptr || width == 0 || height == 0 || width % 2 != 0 || width > 0xFFFF || height > 0xFFFF) {
    return out;
  }
  out.reserve((size_t)width * height / 4 + 1024);
  encoder enc(out, quality);
  enc.headers(width, height, comment);

  const size_t pitch = (size_t)width * 2;
  // Samples outside the image repeat the last column or line.
  auto at = [&](uint32_t x, uint32_t y, int component) -> double {
    x = std::min(x, width - 1);
    y = std::min(y, height - 1);
    const uint8_t* pair = yuy2 + y * pitch + (x & ~1u) * 2;  // Y0 U Y1 V
    const uint8_t value = component == 0 ? pair[(x & 1) * 2] : component == 1 ? pair[1] : pair[3];
    return value - 128.0;
  };
  int dc[3] = {0, 0, 0};
  double samples[64];
  for (uint32_t my = 0; my < height; my += 8) {
    for (uint32_t mx = 0; mx < width; mx += 16) {
      for (uint32_t half = 0; half < 2; ++half) {
        for (uint32_t y = 0; y < 8; ++y) {
          for (uint32_t x = 0; x < 8; ++x) samples[y * 8 + x] = at(mx + half * 8 + x, my + y, 0);
        }
        enc.block(samples, 0, &dc[0]);
      }
      for (int component = 1; component <= 2; ++component) {
        // One chroma sample per pixel pair: 8 samples cover the MCU's 16 pixels.
        for (uint32_t y = 0; y < 8; ++y) {
          for (uint32_t x = 0; x < 8; ++x) samples[y * 8 + x] = at(mx + 2 * x, my + y, component);
        }
        enc.block(samples, 1, &dc[component]);
      }
    }
  }
  enc.finish();
  return out;
}

}  // namespace sim
