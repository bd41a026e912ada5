// What a simulated sensor looks at: a flat scene of surfaces with known
// reflectances (light.h: one value per waveband), filling the sensor's
// whole field of view. Coordinates are normalised to the sensor: u from the
// left edge (0) to the right edge (1), v from the top (0) to the bottom (1).
//
// A scene is a tree of rectangles. Each rectangle has a paint (a solid
// reflectance, a horizontal ramp between two reflectances, or bars across
// or down it) and children that lie inside it and do not overlap each
// other; a child covers its parent. The mean reflectance over any rectangle
// (a pixel, a bin) is computed exactly from the paints, so pixels are
// box-filtered without sampling and edges are anti-aliased.
//
// The scenes by name:
//   "chart"  a light-grey wall (reflectance 0.3) with, from the top: a strip
//            of fine detail (bar groups from 40 down to 640 periods per
//            sensor width, vertical and horizontal), a colour chart of 24
//            patches (6 x 4 on a dark card: 18 colours, then a neutral row
//            from white to black), and a neutral ramp from 0 to 0.9.
//            Everything lies within u 0.2..0.8 and v 0.12..0.86, so the
//            central windows the camera models read keep all of it.
//   "flat"   a uniform neutral surface of reflectance 0.18 (a grey card),
//            for linearity and noise measurements.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "light.h"

namespace sim {

struct scene_rect {
  double left = 0, top = 0, right = 0, bottom = 0;  // normalised; right and bottom exclusive

  double width() const { return right - left; }
  double height() const { return bottom - top; }
  double area() const { return width() > 0 && height() > 0 ? width() * height() : 0; }
  // The rectangle shrunk by `fraction` of its size on every side.
  scene_rect inset(double fraction) const;
  scene_rect intersect(const scene_rect& other) const;
};

enum class scene_paint { solid, ramp, bars_across, bars_down };

struct scene_node {
  scene_rect rect;
  scene_paint paint = scene_paint::solid;
  band_values value{0, 0, 0};   // solid; the ramp's left end; the bars' dark part
  band_values value2{0, 0, 0};  // the ramp's right end; the bars' light part
  double period = 0;            // bars: normalised period (dark half, then light half)
  std::vector<scene_node> children;
};

class scene {
 public:
  scene(std::string name, scene_node root);
  const std::string& name() const { return name_; }
  // Area-weighted mean reflectance over `r` (clipped to the scene).
  band_values mean_reflectance(const scene_rect& r) const;
  // The surface `r` lies on when it lies on one (inside a node and clear of
  // its children), else null; paint_mean() then gives its means quickly.
  const scene_node* surface_of(const scene_rect& r) const;

 private:
  std::string name_;
  scene_node root_;
};

// Mean reflectance of a node's own paint over `r` (inside the node).
band_values paint_mean(const scene_node& node, const scene_rect& r);

// A colour chart patch: its name and linear reflectance per band.
struct chart_patch {
  const char* name;
  band_values reflectance;
};
// The chart's 24 patches in reading order: rows of six, the last row the
// neutrals "white", "neutral 8", "neutral 6.5", "neutral 5", "neutral 3.5",
// "black" (indices 18..23). Reflectances are the linear values of the
// chart's published colours.
const std::array<chart_patch, 24>& colour_chart();
constexpr int kFirstNeutralPatch = 18;

// Where things are in the "chart" scene.
struct chart_layout {
  scene_rect detail;
  scene_rect card;                       // the dark card the patches sit on
  std::array<scene_rect, 24> patches;    // in colour_chart() order
  scene_rect ramp;                       // reflectance 0 at the left, 0.9 at the right
  double wall = 0.3;                     // reflectance of the background
};
const chart_layout& chart_scene_layout();

// The scene with this name ("chart", "flat"), or null.
std::shared_ptr<const scene> make_scene(const std::string& name);
std::vector<std::string> scene_names();

}  // namespace sim
