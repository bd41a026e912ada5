// Black-body light through a lens onto a sensor channel (light.h).
#include "light.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

constexpr double kPlanck = 6.62607015e-34;     // J s
constexpr double kLightSpeed = 2.99792458e8;   // m/s
constexpr double kBoltzmann = 1.380649e-23;    // J/K
constexpr double kLuminousEfficacy = 683.0;    // lm/W at the photopic peak
constexpr double kFirstNm = 380, kLastNm = 780, kStepNm = 5;
constexpr double kGreenFromNm = 490, kRedFromNm = 580;
constexpr double kIrCutNm = 650, kIrCutWidthNm = 8;
constexpr double kDaylightKelvin = 6504;  // the white point of illuminant_rgb

double clamp_kelvin(double kelvin) { return std::min(25000.0, std::max(1000.0, kelvin)); }

// Relative spectral radiance of a black body (Planck's law without its
// constant factor), per metre of wavelength.
double planck(double nm, double kelvin) {
  const double m = nm * 1e-9;
  const double x = kPlanck * kLightSpeed / (m * kBoltzmann * kelvin);
  return 1.0 / (std::pow(m, 5) * std::expm1(x));
}

// Photopic luminous efficiency, a Gaussian fit of the standard curve.
double photopic(double nm) {
  const double um = nm / 1000.0 - 0.559;
  return 1.019 * std::exp(-285.4 * um * um);
}

int band_of(double nm) { return nm < kGreenFromNm ? 2 : (nm < kRedFromNm ? 1 : 0); }

double quantum_efficiency(const channel_response& c, double nm) {
  const double d = (nm - c.peak_nm) / c.sigma_nm;
  double qe = c.peak_qe * std::exp(-0.5 * d * d);
  if (c.ir_cut) qe /= 1.0 + std::exp((nm - kIrCutNm) / kIrCutWidthNm);
  return qe;
}

// Spectral irradiance (W / m^2 / nm) of the illuminant at wavelength nm,
// scaled to the illuminance: a * planck(nm) with 683 * sum(a * planck * V) = lux.
double irradiance_scale(const illuminant& light) {
  const double kelvin = clamp_kelvin(light.kelvin);
  double luminous = 0;
  for (double nm = kFirstNm; nm <= kLastNm; nm += kStepNm) luminous += planck(nm, kelvin) * photopic(nm) * kStepNm;
  return light.lux / (kLuminousEfficacy * luminous);
}

}  // namespace

band_values illuminant_rgb(double kelvin) {
  auto flux = [](double k) {
    band_values photons{0, 0, 0};
    for (double nm = kFirstNm; nm <= kLastNm; nm += kStepNm) photons[band_of(nm)] += planck(nm, k) * nm;
    return photons;
  };
  const band_values light = flux(clamp_kelvin(kelvin)), daylight = flux(kDaylightKelvin);
  band_values rgb{0, 0, 0};
  for (int b = 0; b < 3; ++b) rgb[b] = light[b] / daylight[b] / (light[1] / daylight[1]);
  return rgb;
}

band_values band_electron_rate(const illuminant& light, const lens& optics, const channel_response& channel) {
  const double kelvin = clamp_kelvin(light.kelvin);
  const double scale = irradiance_scale(light);
  const double n = optics.f_number > 0 ? optics.f_number : 1.0;
  const double to_sensor = optics.transmission / (4.0 * n * n);
  band_values rate{0, 0, 0};
  for (double nm = kFirstNm; nm <= kLastNm; nm += kStepNm) {
    const double watts = scale * planck(nm, kelvin) * kStepNm;                      // W / m^2 in this step
    const double photons = watts * (nm * 1e-9) / (kPlanck * kLightSpeed);           // photons / s / m^2
    rate[band_of(nm)] += photons * to_sensor * quantum_efficiency(channel, nm) * 1e-12;  // e- / s / um^2
  }
  return rate;
}

}  // namespace sim
