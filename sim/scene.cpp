// Scenes of surfaces with known reflectances and their exact box filter
// (scene.h).
#include "scene.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

// sRGB-encoded 8-bit value to linear reflectance.
double linear(int encoded) {
  const double c = encoded / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

chart_patch patch(const char* name, int r, int g, int b) { return {name, {linear(r), linear(g), linear(b)}}; }

std::array<chart_patch, 24> make_chart() {
  return {patch("dark skin", 115, 82, 68),      patch("light skin", 194, 150, 130),
          patch("blue sky", 98, 122, 157),      patch("foliage", 87, 108, 67),
          patch("blue flower", 133, 128, 177),  patch("bluish green", 103, 189, 170),
          patch("orange", 214, 126, 44),        patch("purplish blue", 80, 91, 166),
          patch("moderate red", 193, 90, 99),   patch("purple", 94, 60, 108),
          patch("yellow green", 157, 188, 64),  patch("orange yellow", 224, 163, 46),
          patch("blue", 56, 61, 150),           patch("green", 70, 148, 73),
          patch("red", 175, 54, 60),            patch("yellow", 231, 199, 31),
          patch("magenta", 187, 86, 149),       patch("cyan", 8, 133, 161),
          patch("white", 243, 243, 243),        patch("neutral 8", 200, 200, 200),
          patch("neutral 6.5", 160, 160, 160),  patch("neutral 5", 122, 122, 122),
          patch("neutral 3.5", 85, 85, 85),     patch("black", 52, 52, 52)};
}

band_values grey(double r) { return {r, r, r}; }

constexpr double kCardReflectance = 0.03;
constexpr double kDetailBackground = 0.45;
constexpr double kBarDark = 0.05, kBarLight = 0.6;
constexpr double kRampEnd = 0.9;
constexpr double kFlatReflectance = 0.18;

chart_layout make_layout() {
  chart_layout l;
  l.detail = {0.2, 0.12, 0.8, 0.22};
  l.card = {0.2, 0.26, 0.8, 0.70};
  const double cell_w = l.card.width() / 6, cell_h = l.card.height() / 4;
  for (int i = 0; i < 24; ++i) {
    const scene_rect cell{l.card.left + cell_w * (i % 6), l.card.top + cell_h * (i / 6),
                          l.card.left + cell_w * (i % 6 + 1), l.card.top + cell_h * (i / 6 + 1)};
    l.patches[i] = cell.inset(0.1);
  }
  l.ramp = {0.2, 0.74, 0.8, 0.86};
  return l;
}

// Bar groups: five of vertical bars (periods of 1/40 down to 1/640 of the
// width) on the left half of the strip, five of horizontal bars (1/30 down
// to 1/480 of the height) on the right half.
scene_node detail_strip(const scene_rect& strip) {
  scene_node n;
  n.rect = strip;
  n.value = grey(kDetailBackground);
  const double half = strip.width() / 2, group = half / 5;
  for (int i = 0; i < 10; ++i) {
    const bool across = i < 5;
    scene_node g;
    const double left = strip.left + group * i;
    g.rect = scene_rect{left, strip.top, left + group, strip.bottom}.inset(0.1);
    g.paint = across ? scene_paint::bars_across : scene_paint::bars_down;
    g.value = grey(kBarDark);
    g.value2 = grey(kBarLight);
    g.period = across ? 1.0 / (40 << i) : 1.0 / (30 << (i - 5));
    n.children.push_back(g);
  }
  return n;
}

scene_node chart_root() {
  const chart_layout& l = chart_scene_layout();
  scene_node root;
  root.rect = {0, 0, 1, 1};
  root.value = grey(l.wall);
  root.children.push_back(detail_strip(l.detail));
  scene_node card;
  card.rect = l.card;
  card.value = grey(kCardReflectance);
  for (int i = 0; i < 24; ++i) {
    scene_node p;
    p.rect = l.patches[i];
    p.value = colour_chart()[i].reflectance;
    card.children.push_back(p);
  }
  root.children.push_back(card);
  scene_node ramp;
  ramp.rect = l.ramp;
  ramp.paint = scene_paint::ramp;
  ramp.value = grey(0);
  ramp.value2 = grey(kRampEnd);
  root.children.push_back(ramp);
  return root;
}

// Length of [a, b] covered by the light halves of bars that start at
// `origin` with period p (dark half first).
double light_length(double origin, double p, double a, double b) {
  auto covered = [&](double u) {
    const double s = (u - origin) / p;
    const double whole = std::floor(s);
    return p * (whole * 0.5 + std::max(0.0, (s - whole) - 0.5));
  };
  return covered(b) - covered(a);
}

// Integral of the node's own paint over r (r inside the node).
band_values own_integral(const scene_node& n, const scene_rect& r) {
  const double area = r.area();
  band_values out{0, 0, 0};
  if (area <= 0) return out;
  switch (n.paint) {
    case scene_paint::solid:
      for (int b = 0; b < 3; ++b) out[b] = n.value[b] * area;
      break;
    case scene_paint::ramp: {
      const double w = n.rect.width();
      const double x0 = r.left - n.rect.left, x1 = r.right - n.rect.left;
      const double moment = (x1 * x1 - x0 * x0) / 2 * r.height();  // integral of (u - left)
      for (int b = 0; b < 3; ++b) out[b] = n.value[b] * area + (n.value2[b] - n.value[b]) / w * moment;
      break;
    }
    case scene_paint::bars_across:
    case scene_paint::bars_down: {
      const bool across = n.paint == scene_paint::bars_across;
      const double length = across ? r.width() : r.height();
      const double light = across ? light_length(n.rect.left, n.period, r.left, r.right)
                                  : light_length(n.rect.top, n.period, r.top, r.bottom);
      const double other = across ? r.height() : r.width();
      for (int b = 0; b < 3; ++b) out[b] = (n.value[b] * (length - light) + n.value2[b] * light) * other;
      break;
    }
  }
  return out;
}

band_values integral(const scene_node& n, const scene_rect& box) {
  const scene_rect r = n.rect.intersect(box);
  band_values total = own_integral(n, r);
  if (r.area() <= 0) return total;
  for (const scene_node& child : n.children) {
    const scene_rect rc = child.rect.intersect(box);
    if (rc.area() <= 0) continue;
    const band_values inner = integral(child, box);
    const band_values covered = own_integral(n, rc);
    for (int b = 0; b < 3; ++b) total[b] += inner[b] - covered[b];
  }
  return total;
}

}  // namespace

scene_rect scene_rect::inset(double fraction) const {
  const double dx = width() * fraction, dy = height() * fraction;
  return {left + dx, top + dy, right - dx, bottom - dy};
}

scene_rect scene_rect::intersect(const scene_rect& o) const {
  return {std::max(left, o.left), std::max(top, o.top), std::min(right, o.right), std::min(bottom, o.bottom)};
}

scene::scene(std::string name, scene_node root) : name_(std::move(name)), root_(std::move(root)) {}

band_values scene::mean_reflectance(const scene_rect& r) const {
  const scene_rect box = r.intersect(root_.rect);
  const double area = box.area();
  if (area <= 0) return {0, 0, 0};
  band_values sum = integral(root_, box);
  for (double& v : sum) v /= area;
  return sum;
}

const scene_node* scene::surface_of(const scene_rect& r) const {
  auto inside = [](const scene_rect& box, const scene_rect& outer) {
    return box.left >= outer.left && box.right <= outer.right && box.top >= outer.top && box.bottom <= outer.bottom;
  };
  const scene_node* n = &root_;
  if (!inside(r, n->rect)) return nullptr;
  for (;;) {
    const scene_node* next = nullptr;
    for (const scene_node& child : n->children) {
      if (child.rect.intersect(r).area() <= 0) continue;
      if (!inside(r, child.rect)) return nullptr;  // straddles an edge
      next = &child;
      break;
    }
    if (next == nullptr) return n;
    n = next;
  }
}

band_values paint_mean(const scene_node& node, const scene_rect& r) {
  band_values v = own_integral(node, r);
  const double area = r.area();
  for (double& b : v) b = area > 0 ? b / area : 0;
  return v;
}

const std::array<chart_patch, 24>& colour_chart() {
  static const std::array<chart_patch, 24> chart = make_chart();
  return chart;
}

const chart_layout& chart_scene_layout() {
  static const chart_layout layout = make_layout();
  return layout;
}

std::shared_ptr<const scene> make_scene(const std::string& name) {
  if (name == "chart") return std::make_shared<scene>(name, chart_root());
  if (name == "flat") {
    scene_node root;
    root.rect = {0, 0, 1, 1};
    root.value = grey(kFlatReflectance);
    return std::make_shared<scene>(name, root);
  }
  return nullptr;
}

std::vector<std::string> scene_names() { return {"chart", "flat"}; }

}  // namespace sim
