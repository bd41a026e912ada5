// Automatic white balance on the grid samples of a colour frame: the
// colour-temperature estimate over a sensor's temperature table, and the
// grey-world gain search. Called by auto_process_frame once per loop run,
// before the brightness is measured.
#pragma once

#include "auto/auto_types.h"

namespace img {

struct rgb_sample {
  int r;
  int g;
  int b;
};

// A sample as the loops measure it: multiplied by the gains (64 = 1.0,
// clamped to 255) when `gains` is given, then through the statistics matrix
// when it is enabled (clamped to [0, 255]).
rgb_sample measured_sample(const grid_sample& s, const auto_settings& settings,
                           const int32_t* gains);

// Luma the exposure and the grey search use: (76 R + 150 G + 29 B) >> 8.
inline int sample_luma(const rgb_sample& s) { return (76 * s.r + 150 * s.g + 29 * s.b) >> 8; }

// Does nothing unless automatic or one-push white balance is set. Starts
// from the gains, temperature and one-push flag already in `result` (the
// current settings) and leaves the new ones there.
void auto_white_balance(const auto_settings& settings, auto_state& state, auto_result& result);

}  // namespace img
