// The simulated image sensor (sensor_model.h).
#include "sensor_model.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

constexpr size_t kLogLimit = 4096;
constexpr double kSqrt3 = 1.7320508075688772;

uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A standard Gaussian from 32 random bits: four 8-bit uniforms summed
// (Irwin-Hall), centred and scaled to variance 1.
double gaussian(uint32_t bits) {
  const uint32_t sum = (bits & 0xFF) + (bits >> 8 & 0xFF) + (bits >> 16 & 0xFF) + (bits >> 24);
  return ((sum + 2.0) / 256.0 - 2.0) * kSqrt3;
}

double clamp(double v, double lo, double hi) { return std::min(hi, std::max(lo, v)); }

// First sensor coordinate of the bin group that output index `o` reads
// along one axis, and the step between the group's sites.
struct axis_map {
  uint32_t origin, size, bin, skip;
  bool mirror, colour;

  uint32_t first_site(uint32_t o) const {
    if (colour) {
      const uint32_t cells = size / 2;
      uint32_t cell = o >> 1;
      if (mirror && cells > 0) cell = cells - 1 - std::min(cell, cells - 1);
      return origin + cell * skip * bin * 2 + (o & 1);
    }
    const uint32_t m = mirror ? size - 1 - std::min(o, size - 1) : o;
    return origin + m * skip * bin;
  }
  uint32_t site_step() const { return colour ? 2 : 1; }
  // The sensor pixels the output index's bin group covers, for locating:
  // a colour pixel counts as its whole cells.
  void extent(uint32_t o, uint32_t* from, uint32_t* to) const {
    const uint32_t first = first_site(o) - (colour ? (o & 1) : 0);
    *from = first;
    *to = first + bin * site_step();
  }
};

axis_map axis_x(const readout& r, bool colour) { return {r.x, r.width, r.bin_x, r.skip_x, r.mirror_x, colour}; }
axis_map axis_y(const readout& r, bool colour) { return {r.y, r.height, r.bin_y, r.skip_y, r.mirror_y, colour}; }

}  // namespace

const char* cfa_name(cfa_pattern pattern) {
  switch (pattern) {
    case cfa_pattern::bggr: return "BGGR";
    case cfa_pattern::gbrg: return "GBRG";
    case cfa_pattern::grbg: return "GRBG";
    case cfa_pattern::rggb: return "RGGB";
    case cfa_pattern::mono: return "mono";
  }
  return "?";
}

int cfa_channel(cfa_pattern pattern, uint32_t x, uint32_t y) {
  if (pattern == cfa_pattern::mono) return 0;
  // Colours of the 2 x 2 cell in reading order, 0 red, 1 green, 2 blue.
  static const int kCells[4][4] = {{2, 1, 1, 0}, {1, 2, 0, 1}, {1, 0, 2, 1}, {0, 1, 1, 2}};
  return kCells[(int)pattern][(y & 1) * 2 + (x & 1)];
}

uint32_t readout::span_x(bool colour) const {
  if (width == 0) return 0;
  return colour ? ((width / 2 - (width >= 2 ? 1 : 0)) * skip_x + 1) * bin_x * 2 : ((width - 1) * skip_x + 1) * bin_x;
}

uint32_t readout::span_y(bool colour) const {
  if (height == 0) return 0;
  return colour ? ((height / 2 - (height >= 2 ? 1 : 0)) * skip_y + 1) * bin_y * 2
                : ((height - 1) * skip_y + 1) * bin_y;
}

scene_rect readout_area(const sensor_config& config, const readout& r, uint32_t x0, uint32_t y0, uint32_t x1,
                        uint32_t y1) {
  const bool colour = config.cfa != cfa_pattern::mono;
  const axis_map ax = axis_x(r, colour), ay = axis_y(r, colour);
  uint32_t left = UINT32_MAX, right = 0, top = UINT32_MAX, bottom = 0;
  for (uint32_t x : {x0, x1 > x0 ? x1 - 1 : x0}) {
    uint32_t a, b;
    ax.extent(x, &a, &b);
    left = std::min(left, a), right = std::max(right, b);
  }
  for (uint32_t y : {y0, y1 > y0 ? y1 - 1 : y0}) {
    uint32_t a, b;
    ay.extent(y, &a, &b);
    top = std::min(top, a), bottom = std::max(bottom, b);
  }
  return {(double)left / config.width, (double)top / config.height, (double)right / config.width,
          (double)bottom / config.height};
}

pixel_rect pixels_inside(const sensor_config& config, const readout& r, const scene_rect& area) {
  // The readout is separable: columns and lines are found on their own.
  uint32_t left = UINT32_MAX, right = 0, top = UINT32_MAX, bottom = 0;
  for (uint32_t x = 0; x < r.width; ++x) {
    const scene_rect cell = readout_area(config, r, x, 0, x + 1, 1);
    if (cell.left >= area.left && cell.right <= area.right) left = std::min(left, x), right = std::max(right, x + 1);
  }
  for (uint32_t y = 0; y < r.height; ++y) {
    const scene_rect cell = readout_area(config, r, 0, y, 1, y + 1);
    if (cell.top >= area.top && cell.bottom <= area.bottom) top = std::min(top, y), bottom = std::max(bottom, y + 1);
  }
  pixel_rect p;
  if (right > left && bottom > top) p = {left, top, right, bottom};
  return p;
}

// ---- raster ---------------------------------------------------------------------------------------

struct sensor_model::raster {
  uint32_t width = 0, height = 0;
  std::array<std::vector<float>, 3> bands;  // mean reflectance per pixel and band
};

struct sensor_model::rates {
  uint32_t width = 0, height = 0;
  std::vector<float> electrons;  // per second, for the pixel's own colour
};

sensor_model::sensor_model(const sensor_config& config, std::shared_ptr<const scene> view, const illuminant& light)
    : config_(config), view_(std::move(view)), light_(light) {
  current_.exposure_us = clamp(config_.exposure_default_us, config_.exposure_min_us, config_.exposure_max_us);
  current_.gain = clamp(config_.gain_default, config_.gain_min, config_.gain_max);
  rebuild_matrix();
}

void sensor_model::rebuild_matrix() {
  const double area = config_.pixel_um * config_.pixel_um;
  const int channels = colour() ? 3 : 1;
  for (int c = 0; c < 3; ++c) {
    matrix_[c] = {0, 0, 0};
    if (c >= channels) continue;
    const band_values rate = band_electron_rate(light_, config_.optics, config_.channels[c]);
    for (int b = 0; b < 3; ++b) matrix_[c][b] = rate[b] * area;
  }
}

void sensor_model::set_scene(std::shared_ptr<const scene> view) {
  std::lock_guard<std::mutex> guard(lock_);
  view_ = std::move(view);
  raster_.reset();
  rates_.reset();
  rgb_rates_.reset();
}

std::shared_ptr<const scene> sensor_model::view() const {
  std::lock_guard<std::mutex> guard(lock_);
  return view_;
}

void sensor_model::set_illuminant(const illuminant& light) {
  std::lock_guard<std::mutex> guard(lock_);
  light_ = light;
  rebuild_matrix();
  rates_.reset();
  rgb_rates_.reset();
}

illuminant sensor_model::light() const {
  std::lock_guard<std::mutex> guard(lock_);
  return light_;
}

namespace {

// Fills pixels [x0, x1) x [y0, y1) of a raster: a block on one surface
// from that surface's paint (one value when it is solid), else quarters,
// down to single pixels.
void fill_block(const scene& view, uint32_t width, uint32_t height, std::array<std::vector<float>, 3>& bands,
                uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
  const double w = width, h = height;
  auto put = [&](uint32_t x, uint32_t y, const band_values& v) {
    for (int b = 0; b < 3; ++b) bands[b][(size_t)y * width + x] = (float)v[b];
  };
  const scene_node* surface = view.surface_of({x0 / w, y0 / h, x1 / w, y1 / h});
  if (surface != nullptr) {
    const bool solid = surface->paint == scene_paint::solid;
    for (uint32_t y = y0; y < y1; ++y) {
      for (uint32_t x = x0; x < x1; ++x) {
        put(x, y, solid ? surface->value : paint_mean(*surface, {x / w, y / h, (x + 1) / w, (y + 1) / h}));
      }
    }
    return;
  }
  if (x1 - x0 == 1 && y1 - y0 == 1) {
    put(x0, y0, view.mean_reflectance({x0 / w, y0 / h, x1 / w, y1 / h}));
    return;
  }
  const uint32_t xm = x0 + (x1 - x0 + 1) / 2, ym = y0 + (y1 - y0 + 1) / 2;
  fill_block(view, width, height, bands, x0, y0, xm, ym);
  if (x1 > xm) fill_block(view, width, height, bands, xm, y0, x1, ym);
  if (y1 > ym) fill_block(view, width, height, bands, x0, ym, xm, y1);
  if (x1 > xm && y1 > ym) fill_block(view, width, height, bands, xm, ym, x1, y1);
}

}  // namespace

std::shared_ptr<const sensor_model::raster> sensor_model::raster_for_render() {
  if (raster_ || !view_) return raster_;
  auto r = std::make_shared<raster>();
  r->width = config_.width;
  r->height = config_.height;
  for (auto& plane : r->bands) plane.resize((size_t)r->width * r->height);
  constexpr uint32_t kTile = 64;
  for (uint32_t y = 0; y < r->height; y += kTile) {
    for (uint32_t x = 0; x < r->width; x += kTile) {
      fill_block(*view_, r->width, r->height, r->bands, x, y, std::min(r->width, x + kTile),
                 std::min(r->height, y + kTile));
    }
  }
  raster_ = r;
  return raster_;
}

std::shared_ptr<const sensor_model::rates> sensor_model::rates_for_render() {
  if (rates_) return rates_;
  const std::shared_ptr<const raster> image = raster_for_render();
  if (!image) return nullptr;
  auto r = std::make_shared<rates>();
  r->width = image->width;
  r->height = image->height;
  r->electrons.resize((size_t)r->width * r->height);
  for (uint32_t y = 0; y < r->height; ++y) {
    for (uint32_t x = 0; x < r->width; ++x) {
      const band_values& m = matrix_[cfa_channel(config_.cfa, x, y)];
      const size_t i = (size_t)y * r->width + x;
      r->electrons[i] = (float)(m[0] * image->bands[0][i] + m[1] * image->bands[1][i] + m[2] * image->bands[2][i]);
    }
  }
  rates_ = r;
  return rates_;
}

// ---- controls -------------------------------------------------------------------------------------

void sensor_model::write_exposure_us(double us, bool streaming) { write(control::exposure, us, streaming); }
void sensor_model::write_gain(double gain, bool streaming) { write(control::gain, gain, streaming); }

void sensor_model::write(control which, double value, bool streaming) {
  value = which == control::exposure ? clamp(value, config_.exposure_min_us, config_.exposure_max_us)
                                     : clamp(value, config_.gain_min, config_.gain_max);
  std::lock_guard<std::mutex> guard(lock_);
  if (!streaming || !last_frame_) {
    // Nothing is being read out: every earlier write has landed, this one too.
    apply_due(UINT64_MAX);
    (which == control::exposure ? current_.exposure_us : current_.gain) = value;
    return;
  }
  const uint64_t frame = *last_frame_ + std::max(1u, config_.control_latency);
  auto at = std::upper_bound(pending_.begin(), pending_.end(), frame,
                             [](uint64_t f, const pending_write& p) { return f < p.frame; });
  pending_.insert(at, {frame, which, value});
}

void sensor_model::apply_due(uint64_t frame) {
  size_t n = 0;
  for (; n < pending_.size() && pending_[n].frame <= frame; ++n) {
    (pending_[n].which == control::exposure ? current_.exposure_us : current_.gain) = pending_[n].value;
  }
  pending_.erase(pending_.begin(), pending_.begin() + (ptrdiff_t)n);
}

sensor_settings sensor_model::settings_for(uint64_t frame) const {
  std::lock_guard<std::mutex> guard(lock_);
  sensor_settings s = current_;
  for (const pending_write& p : pending_) {
    if (p.frame > frame) break;
    (p.which == control::exposure ? s.exposure_us : s.gain) = p.value;
  }
  return s;
}

std::vector<frame_exposure> sensor_model::exposure_log() const {
  std::lock_guard<std::mutex> guard(lock_);
  return std::vector<frame_exposure>(log_.begin(), log_.end());
}

std::optional<uint64_t> sensor_model::last_frame() const {
  std::lock_guard<std::mutex> guard(lock_);
  return last_frame_;
}

// ---- rendering ------------------------------------------------------------------------------------

void sensor_model::prepare() {
  std::lock_guard<std::mutex> guard(lock_);
  rates_for_render();
}

struct sensor_model::rgb_rates {
  readout key;  // the readout they are for (mirroring included)
  uint32_t channels = 0;
  std::vector<float> electrons;  // per output pixel, `channels` values: mean electrons / s of a site
};

struct sensor_model::frame_setup {
  sensor_settings settings;
  std::shared_ptr<const sensor_model::rates> own_rates;  // raw rendering
  std::shared_ptr<const rgb_rates> channel_rates;        // processed rendering
};

sensor_model::frame_setup sensor_model::begin_frame(uint64_t frame, const readout* processed) {
  std::lock_guard<std::mutex> guard(lock_);
  apply_due(frame);
  frame_setup f;
  f.settings = current_;
  last_frame_ = frame;
  log_.push_back({frame, current_});
  if (log_.size() > kLogLimit) log_.pop_front();
  if (processed != nullptr) {
    f.channel_rates = rgb_rates_for_render(*processed);
  } else {
    f.own_rates = rates_for_render();
  }
  return f;
}

namespace {
bool same_readout(const readout& a, const readout& b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height && a.bin_x == b.bin_x &&
         a.bin_y == b.bin_y && a.skip_x == b.skip_x && a.skip_y == b.skip_y && a.mirror_x == b.mirror_x &&
         a.mirror_y == b.mirror_y;
}
}  // namespace

// The scene under the current light as each output pixel of `r` sees it:
// built once per readout, light and scene (the bins are averaged here, so
// a frame only adds noise and processing).
std::shared_ptr<const sensor_model::rgb_rates> sensor_model::rgb_rates_for_render(const readout& r) {
  if (rgb_rates_ && same_readout(rgb_rates_->key, r)) return rgb_rates_;
  const std::shared_ptr<const raster> image = raster_for_render();
  if (!image) return nullptr;
  auto out = std::make_shared<rgb_rates>();
  out->key = r;
  out->channels = colour() ? 3 : 1;
  out->electrons.resize((size_t)r.width * r.height * out->channels);
  // Pixel by pixel: the mono axis mapping, whatever the pattern.
  const axis_map ax = axis_x(r, false), ay = axis_y(r, false);
  const uint32_t bin_x = std::max(1u, r.bin_x), bin_y = std::max(1u, r.bin_y);
  const double n = (double)bin_x * bin_y;
  const uint32_t last_x = image->width - 1, last_y = image->height - 1;
  float* o = out->electrons.data();
  for (uint32_t y = 0; y < r.height; ++y) {
    const uint32_t row0 = std::min(ay.first_site(y), last_y);
    for (uint32_t x = 0; x < r.width; ++x) {
      const uint32_t col0 = std::min(ax.first_site(x), last_x);
      band_values mean{0, 0, 0};
      for (uint32_t j = 0; j < bin_y; ++j) {
        const size_t line = (size_t)std::min(row0 + j, last_y) * image->width;
        for (uint32_t i = 0; i < bin_x; ++i) {
          const size_t at = line + std::min(col0 + i, last_x);
          for (int b = 0; b < 3; ++b) mean[b] += image->bands[b][at];
        }
      }
      for (uint32_t c = 0; c < out->channels; ++c) {
        const band_values& m = matrix_[c];
        *o++ = (float)((m[0] * mean[0] + m[1] * mean[1] + m[2] * mean[2]) / n);
      }
    }
  }
  rgb_rates_ = out;
  return rgb_rates_;
}

void sensor_model::render(const readout& r, unsigned bits, uint64_t frame, std::vector<uint8_t>& out) {
  const frame_setup setup = begin_frame(frame, nullptr);
  const std::shared_ptr<const rates>& image = setup.own_rates;
  const sensor_settings& s = setup.settings;
  const size_t bytes_per_sample = bits > 8 ? 2 : 1;
  out.assign((size_t)r.width * r.height * bytes_per_sample, 0);
  if (!image || r.width == 0 || r.height == 0) return;

  // A colour readout starts on an even pixel and keeps the phase of the
  // pattern, so each output pixel reads sites of its own colour.
  const bool colour = this->colour();
  const axis_map ax = axis_x(r, colour), ay = axis_y(r, colour);
  const uint32_t bin_x = std::max(1u, r.bin_x), bin_y = std::max(1u, r.bin_y);
  const double n = (double)bin_x * bin_y;
  const double seconds = s.exposure_us * 1e-6 / n;  // per site, of the bin's mean
  const double full_well = config_.full_well_e;
  const double max_count = this->max_count();
  const double per_electron = s.gain * max_count / full_well;
  const double shot_scale = 1.0 / std::sqrt(n);
  const double read_sigma = config_.read_noise_e / std::sqrt(n);
  const unsigned down = config_.adc_bits > 8 ? config_.adc_bits - 8 : 0;
  const unsigned up = 16 > config_.adc_bits ? 16 - config_.adc_bits : 0;
  const uint64_t frame_key = mix(mix(config_.seed) ^ frame);
  const uint32_t last_x = image->width - 1, last_y = image->height - 1;
  std::vector<uint32_t> columns(r.width);
  for (uint32_t x = 0; x < r.width; ++x) columns[x] = std::min(ax.first_site(x), last_x);
  const uint32_t step_x = ax.site_step(), step_y = ay.site_step();
  const float* electrons = image->electrons.data();
  std::shared_ptr<const std::vector<uint8_t>> defect_map;
  {
    std::lock_guard<std::mutex> guard(lock_);
    defect_map = defect_map_;
  }
  if (defect_map && defect_map->size() != (size_t)image->width * image->height) defect_map.reset();
  const double exposure_s = std::max(1e-9, s.exposure_us * 1e-6);

  uint8_t* p = out.data();
  for (uint32_t y = 0; y < r.height; ++y) {
    const uint32_t row0 = std::min(ay.first_site(y), last_y);
    for (uint32_t x = 0; x < r.width; ++x) {
      double sum = 0;
      for (uint32_t j = 0; j < bin_y; ++j) {
        const float* line = electrons + (size_t)std::min(row0 + j * step_y, last_y) * image->width;
        if (defect_map) {
          const uint32_t row = std::min(row0 + j * step_y, last_y);
          for (uint32_t i = 0; i < bin_x; ++i) {
            const uint32_t site = std::min(columns[x] + i * step_x, last_x);
            sum += defect_rate(line[site], (*defect_map)[(size_t)row * image->width + site], full_well, exposure_s);
          }
          continue;
        }
        for (uint32_t i = 0; i < bin_x; ++i) sum += line[std::min(columns[x] + i * step_x, last_x)];
      }
      double e = sum * seconds;
      if (config_.noise) {
        const uint64_t h = mix(frame_key ^ ((uint64_t)row0 << 32 | columns[x]));
        e = clamp(e + std::sqrt(e) * shot_scale * gaussian((uint32_t)h), 0, full_well);
        e += read_sigma * gaussian((uint32_t)(h >> 32));
      } else {
        e = clamp(e, 0, full_well);
      }
      // Rounded to the nearest count: truncation of a value made non-negative.
      const double counts = clamp(e * per_electron + config_.black_level + 0.5, 0, max_count);
      const uint32_t q = (uint32_t)counts;
      if (bytes_per_sample == 1) {
        *p++ = (uint8_t)(q >> down);
      } else {
        const uint32_t v = q << up;
        *p++ = (uint8_t)v;
        *p++ = (uint8_t)(v >> 8);
      }
    }
  }
}

void sensor_model::render_rgb(const readout& r, uint64_t frame, const colour_processing& p,
                              std::vector<uint8_t>& out) {
  const frame_setup setup = begin_frame(frame, &r);
  out.assign((size_t)r.width * r.height * 3, 0);
  const std::shared_ptr<const rgb_rates>& image = setup.channel_rates;
  if (!image || r.width == 0 || r.height == 0) return;

  const axis_map ax = axis_x(r, false), ay = axis_y(r, false);
  const double n = (double)std::max(1u, r.bin_x) * std::max(1u, r.bin_y);
  const uint32_t channels = image->channels;
  const double seconds = setup.settings.exposure_us * 1e-6;
  const double full_well = config_.full_well_e;
  const double to_signal = setup.settings.gain / full_well;  // full well at gain 1 is full scale
  const double read_variance = config_.read_noise_e * config_.read_noise_e;
  const double encode = 1.0 / std::max(0.1, p.gamma);
  const uint64_t frame_key = mix(mix(config_.seed ^ 0x5247u) ^ frame);  // apart from the raw draws
  // 8-bit code of a linear signal 0..1, by a table of 4096 steps.
  std::vector<uint8_t> code(4097);
  for (size_t i = 0; i < code.size(); ++i) code[i] = (uint8_t)std::lround(255.0 * std::pow(i / 4096.0, encode));
  double wb[3] = {1, 1, 1};
  if (channels == 3) wb[0] = p.white_balance[0], wb[1] = p.white_balance[1], wb[2] = p.white_balance[2];

  const float* e_rate = image->electrons.data();
  uint8_t* o = out.data();
  for (uint32_t y = 0; y < r.height; ++y) {
    const uint32_t row0 = ay.first_site(y);
    for (uint32_t x = 0; x < r.width; ++x, e_rate += channels) {
      const uint64_t h = mix(frame_key ^ ((uint64_t)row0 << 32 | ax.first_site(x)));
      const uint32_t draws[3] = {(uint32_t)h, (uint32_t)(h >> 32), (uint32_t)mix(h)};
      double level[3];
      for (uint32_t c = 0; c < channels; ++c) {
        double e = e_rate[c] * seconds;
        if (config_.noise) e += std::sqrt((std::max(0.0, e) + read_variance) / n) * gaussian(draws[c]);
        level[c] = clamp(clamp(e, 0, full_well) * to_signal * wb[c], 0, 1);
      }
      for (int c = 0; c < 3; ++c) *o++ = code[(size_t)(level[channels == 3 ? c : 0] * 4096 + 0.5)];
    }
  }
}

band_values sensor_model::neutral_gains() const {
  if (!colour()) return {1, 1, 1};
  std::lock_guard<std::mutex> guard(lock_);
  band_values signal{};
  for (int c = 0; c < 3; ++c) signal[c] = matrix_[c][0] + matrix_[c][1] + matrix_[c][2];
  return {signal[1] / signal[0], 1.0, signal[1] / signal[2]};
}

// ---- the model's numbers --------------------------------------------------------------------------

band_values sensor_model::channel_rate(int c) const {
  std::lock_guard<std::mutex> guard(lock_);
  return matrix_[std::min(2, std::max(0, c))];
}

double sensor_model::mean_counts(int c, const band_values& reflectance, const sensor_settings& s) const {
  const band_values m = channel_rate(c);
  const double e = clamp((m[0] * reflectance[0] + m[1] * reflectance[1] + m[2] * reflectance[2]) *
                             s.exposure_us * 1e-6, 0, config_.full_well_e);
  return clamp(e * s.gain * max_count() / config_.full_well_e + config_.black_level, 0, max_count());
}

double sensor_model::mean_sample(int c, const band_values& reflectance, const sensor_settings& s,
                                 unsigned bits) const {
  const double counts = mean_counts(c, reflectance, s);
  if (bits > 8) return counts * (1u << (16 - std::min(16u, config_.adc_bits)));
  const unsigned down = config_.adc_bits > 8 ? config_.adc_bits - 8 : 0;
  // Dropping `down` low bits of a noisy value loses half a step less half
  // a count on average.
  const double step = (double)(1u << down);
  return std::max(0.0, (counts - (step - 1) / 2) / step);
}

double sensor_model::noise_counts(int c, const band_values& reflectance, const sensor_settings& s,
                                  unsigned n) const {
  const band_values m = channel_rate(c);
  const double e = (m[0] * reflectance[0] + m[1] * reflectance[1] + m[2] * reflectance[2]) * s.exposure_us * 1e-6;
  const double variance = (e + config_.read_noise_e * config_.read_noise_e) / std::max(1u, n);
  return std::sqrt(variance) * s.gain * max_count() / config_.full_well_e;
}

}  // namespace sim
