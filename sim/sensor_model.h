// An image sensor for the simulated raw-sensor cameras: a pixel array with
// a colour filter pattern (or none), looking through a lens at a scene
// (scene.h) lit by an illuminant (light.h), exposed for the exposure time
// and analog gain that its controls hold at each frame, and read out as
// 8- or 16-bit samples through a window with binning, skipping and
// mirroring.
//
// Physics and units, per pixel and frame:
//   rate   = sum over bands of R[b] * M[c][b]            electrons / s
//            R: mean reflectance of the scene over the pixel (box filter);
//            M[c][b] = band_electron_rate(light, lens, channel c) * pixel area
//   e      = rate * exposure + shot noise (Gaussian, variance = e)
//            clipped to [0, full well]
//          + read noise (Gaussian, read_noise_e)                electrons
//   counts = e * gain * (2^adc_bits - 1) / full_well + black_level
//            rounded and clipped to [0, 2^adc_bits - 1]          ADC counts
//   sample = counts >> (adc_bits - 8)              8-bit output
//            counts << (16 - adc_bits)             16-bit output, left-aligned
// At gain 1 the ADC's full scale is the full well. No dark current, no
// vignetting, no fixed-pattern noise; defective pixels as set_defects
// places them (sensor_defects.h).
// Binning averages bin_x * bin_y pixels of the same colour (digital
// binning: the shot and read noise of the mean shrink by sqrt(n)).
//
// Noise is drawn from a counter-based hash of (seed, frame number, sensor
// pixel): the same seed, frame number and settings give the same frame,
// whatever the threads do, and rendering needs no generator state. Each
// Gaussian is the sum of four 8-bit uniforms (variance matched); one hash
// gives a pixel both.
//
// Processed output (render_rgb): what a camera's own image processor
// makes of the same exposure, for cameras that send pictures rather than
// raw samples: every output pixel gets all three channels (as after an
// ideal demosaic), each exposed and noisy like a raw sample, scaled so that
// the full well at gain 1 is full scale, then white balance, clipping and
// gamma, 8 bits per channel.
//
// Controls: a value written while the camera streams takes effect with the
// frame `control_latency` frames after the one being read out at that
// moment (as a sensor latches register writes at a frame boundary and the
// next frame's exposure has already begun); written while it does not
// stream, at once. The settings each rendered frame got are logged.
//
// Threads: every member may be called from any thread; render() runs on
// the bus thread. One mutex guards the state; rendering itself runs on a
// snapshot without it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "light.h"
#include "scene.h"
#include "sensor_defects.h"

namespace sim {

// Colour filter array by the colours of the first two pixels of the first
// two lines ("bggr": B G / G R). Indices match the Bayer pattern indices
// of the driver (0 BGGR, 1 GBRG, 2 GRBG, 3 RGGB).
enum class cfa_pattern { bggr = 0, gbrg = 1, grbg = 2, rggb = 3, mono = 4 };
const char* cfa_name(cfa_pattern pattern);
// Channel of pixel (x, y): 0 red, 1 green, 2 blue; 0 for a mono sensor.
int cfa_channel(cfa_pattern pattern, uint32_t x, uint32_t y);

struct sensor_config {
  uint32_t width = 1280;  // pixel array
  uint32_t height = 960;
  double pixel_um = 3.75;      // pitch
  double full_well_e = 10000;  // electrons
  double read_noise_e = 8;     // electrons rms
  unsigned adc_bits = 12;      // 8..16
  double black_level = 16;     // ADC counts added to every sample
  cfa_pattern cfa = cfa_pattern::grbg;
  // Spectral response: red, green, blue for a colour sensor; [0] for mono.
  std::array<channel_response, 3> channels{};
  lens optics;
  double exposure_min_us = 100, exposure_max_us = 33300, exposure_default_us = 10000;
  double gain_min = 1, gain_max = 4, gain_default = 1;  // linear factor
  unsigned control_latency = 2;  // frames
  uint32_t seed = 1;             // of the noise
  bool noise = true;             // false: every sample is its mean, rounded
};

struct sensor_settings {
  double exposure_us = 0;
  double gain = 1;
};

// Which pixels one frame reads. Output pixel (x, y) averages bin_x * bin_y
// sensor pixels; groups of bins are taken every skip_x, skip_y groups. A
// colour sensor bins and skips whole 2 x 2 cells, so the output keeps the
// sensor's pattern (x and y must then be even). Mirroring reverses the
// order in which the scene is read and keeps the pattern (the sensor
// shifts its readout by a pixel, as real ones do).
struct readout {
  uint32_t x = 0, y = 0;           // first sensor pixel
  uint32_t width = 0, height = 0;  // output pixels
  uint32_t bin_x = 1, bin_y = 1;
  uint32_t skip_x = 1, skip_y = 1;
  bool mirror_x = false, mirror_y = false;

  // Sensor pixels the readout spans, from (x, y).
  uint32_t span_x(bool colour) const;
  uint32_t span_y(bool colour) const;
};

// The rectangle of the sensor (normalised, scene coordinates) that output
// pixels [x0, x1) x [y0, y1) of a readout show, mirroring undone. For
// locating scene areas in frames.
scene_rect readout_area(const sensor_config& config, const readout& r, uint32_t x0, uint32_t y0, uint32_t x1,
                        uint32_t y1);
// The output pixels whose whole area lies inside `area` (empty when none):
// left, top, right, bottom (exclusive).
struct pixel_rect {
  uint32_t left = 0, top = 0, right = 0, bottom = 0;
  bool empty() const { return right <= left || bottom <= top; }
};
pixel_rect pixels_inside(const sensor_config& config, const readout& r, const scene_rect& area);

// How a camera's image processor turns the signal into 8-bit RGB.
struct colour_processing {
  band_values white_balance{1, 1, 1};  // gains on the linear red, green and blue signal
  double gamma = 2.2;                   // encoding exponent: out = in^(1 / gamma); 1 is linear
};

struct frame_exposure {
  uint64_t frame = 0;
  sensor_settings settings;
};

class sensor_model {
 public:
  sensor_model(const sensor_config& config, std::shared_ptr<const scene> view, const illuminant& light);
  sensor_model(const sensor_model&) = delete;
  sensor_model& operator=(const sensor_model&) = delete;

  const sensor_config& config() const { return config_; }
  bool colour() const { return config_.cfa != cfa_pattern::mono; }
  uint32_t max_count() const { return (1u << config_.adc_bits) - 1; }

  // ---- what the sensor looks at (from the next frame on)
  void set_scene(std::shared_ptr<const scene> view);
  std::shared_ptr<const scene> view() const;
  void set_illuminant(const illuminant& light);
  illuminant light() const;

  // ---- controls (clamped to the configured ranges)
  // A control write as the camera receives it (see the timing above).
  void write_exposure_us(double us, bool streaming);
  void write_gain(double gain, bool streaming);
  // What frame `frame` is (or will be) exposed with, writes so far included.
  sensor_settings settings_for(uint64_t frame) const;
  // The settings of the frames rendered so far (the last 4096), oldest first.
  std::vector<frame_exposure> exposure_log() const;
  // Frame number of the last frame rendered; none before the first.
  std::optional<uint64_t> last_frame() const;

  // ---- defective pixels (from the next frame on; sensor_defects.cpp)
  void set_defects(std::vector<sensor_defect> defects);
  std::vector<sensor_defect> defects() const;

  // ---- rendering
  // Builds now what the first frame would otherwise build (the scene as the
  // pixels see it under the current light), so that frame is not late.
  void prepare();
  // Writes `r.width * r.height` samples of 1 (8-bit) or 2 (16-bit,
  // little-endian) bytes each, lines top to bottom, into `out` (resized).
  void render(const readout& r, unsigned bits, uint64_t frame, std::vector<uint8_t>& out);
  // Writes `r.width * r.height` pixels of 3 bytes (R, G, B), lines top to
  // bottom, into `out` (resized): the processed picture of frame `frame`
  // (see the top). The readout is taken pixel by pixel, also on a colour
  // sensor (no 2 x 2 cells); a mono sensor gives grey.
  void render_rgb(const readout& r, uint64_t frame, const colour_processing& p, std::vector<uint8_t>& out);
  // The white-balance gains under which a neutral surface gives equal red,
  // green and blue under the current light (green 1); 1, 1, 1 on a mono
  // sensor.
  band_values neutral_gains() const;

  // ---- the model's numbers, for checking frames against it
  // Electrons per second in a pixel of channel `c` per unit reflectance in
  // each band, under the current light.
  band_values channel_rate(int c) const;
  // Mean ADC counts (before rounding; clipped) of a channel-c pixel of
  // reflectance `reflectance` under `s`.
  double mean_counts(int c, const band_values& reflectance, const sensor_settings& s) const;
  // The mean of the output samples of such pixels at `bits` (8 or 16),
  // including the truncation of the low ADC bits.
  double mean_sample(int c, const band_values& reflectance, const sensor_settings& s, unsigned bits) const;
  // Standard deviation of such a pixel's counts from shot and read noise
  // (before clipping and rounding), for a bin of n pixels.
  double noise_counts(int c, const band_values& reflectance, const sensor_settings& s, unsigned n = 1) const;

 private:
  struct raster;     // band reflectances per sensor pixel
  struct rates;      // electrons per second per sensor pixel under the current light
  struct rgb_rates;  // electrons per second in each channel per output pixel of one readout
  enum class control { exposure, gain };
  struct pending_write {
    uint64_t frame;
    control which;
    double value;
  };
  void write(control which, double value, bool streaming);
  // Settles the controls for frame `frame`, logs it and returns its
  // settings with the electron rates of the pixels' own colours (raw) or,
  // for `processed` (a readout), those of every channel per output pixel.
  struct frame_setup;
  frame_setup begin_frame(uint64_t frame, const readout* processed);
  std::shared_ptr<const rgb_rates> rgb_rates_for_render(const readout& r);  // lock_ held
  void apply_due(uint64_t frame);  // lock_ held
  void rebuild_matrix();           // lock_ held
  std::shared_ptr<const raster> raster_for_render();  // lock_ held
  std::shared_ptr<const rates> rates_for_render();    // lock_ held

  const sensor_config config_;
  mutable std::mutex lock_;
  std::shared_ptr<const scene> view_;
  illuminant light_;
  std::array<band_values, 3> matrix_{};  // electrons / s per unit band reflectance, per channel
  std::shared_ptr<const raster> raster_;
  std::shared_ptr<const rates> rates_;
  std::shared_ptr<const rgb_rates> rgb_rates_;  // of the last processed readout
  sensor_settings current_;
  std::vector<pending_write> pending_;  // in frame order
  std::optional<uint64_t> last_frame_;
  std::deque<frame_exposure> log_;
  // Defects: the list and a map of the sensor (defect_kind per pixel).
  std::vector<sensor_defect> defects_;
  std::shared_ptr<const std::vector<uint8_t>> defect_map_;
};

}  // namespace sim
