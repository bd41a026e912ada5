// Light for the simulated sensors: a black-body illuminant of a chosen
// colour temperature and illuminance, reflectances in three wavebands, and
// the spectral response of a sensor channel. Everything a sensor model
// needs to turn "a surface of reflectance R under this light" into
// photo-electrons per second in one pixel.
//
// Wavebands: blue 380-490 nm, green 490-580 nm, red 580-780 nm. A surface
// reflects a constant fraction of the light in each band (band_values,
// index 0 red, 1 green, 2 blue). Spectra are integrated numerically on a
// 5 nm grid from 380 to 780 nm.
//
// Illuminant: Planck's law for the colour temperature, scaled so that the
// light falling on the scene has the given illuminance in lux (683 lm/W at
// the peak of the photopic curve, which is taken as a Gaussian at 559 nm
// with a width of 41.9 nm).
//
// Lens: a Lambertian surface of reflectance R under illuminance E gives the
// sensor plane an illuminance of E * R * T / (4 N^2) (T transmission, N
// f-number, on the axis; no vignetting).
//
// Channel: quantum efficiency as a Gaussian over wavelength (peak, width,
// peak efficiency), optionally times an infrared-cut filter at 650 nm
// (a logistic edge 8 nm wide), as colour sensors carry one.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

// One value per waveband: [0] red (580-780 nm), [1] green (490-580 nm),
// [2] blue (380-490 nm).
using band_values = std::array<double, 3>;

struct illuminant {
  double kelvin = 5000;  // colour temperature, 1000..25000
  double lux = 1000;     // illuminance on the scene
};

struct lens {
  double f_number = 4.0;
  double transmission = 0.9;
};

struct channel_response {
  double peak_nm = 550;
  double sigma_nm = 40;
  double peak_qe = 0.5;  // electrons per photon at the peak
  bool ir_cut = true;
};

// The colour of the light before any sensor sees it: the black body's
// photon flux in each band relative to that of a 6504 K black body (the
// daylight white point), normalised to green = 1. 6504 K gives 1, 1, 1;
// warmer light has more red and less blue.
band_values illuminant_rgb(double kelvin);

// Photo-electrons per second per square micrometre of pixel that a surface
// of reflectance 1.0 in a single band gives in a channel, per band, for
// light, lens and channel as given. A surface of reflectance R (per band)
// yields sum over bands of R[b] * result[b].
band_values band_electron_rate(const illuminant& light, const lens& optics, const channel_response& channel);

}  // namespace sim
