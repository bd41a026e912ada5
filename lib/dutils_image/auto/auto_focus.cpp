// The contrast autofocus search (see auto_focus.h): region choice, the
// sharpness measure and the search with its pacing. Runs on the frame
// worker for every frame while a search is active; reads the frame only.
#include "auto/auto_focus.h"

#include <string.h>

#include "img/transform_image.h"

namespace img {
namespace {

constexpr int32_t kDefaultFullTravelMs = 1000;
constexpr int32_t kDefaultSettleMs = 300;
constexpr int32_t kDefaultStepDivisor = 10;
constexpr int32_t kCoarseParts = 10;     // coarse step: a tenth of the range
constexpr int32_t kFramesAfterMove = 3;  // frames skipped after every move
constexpr int32_t kStopWidth = 3;        // refinement ends below this bracket width
constexpr int32_t kRegionCheckFrames[] = {4, 8};

// ---- sharpness ---------------------------------------------------------

enum class px_kind { u8, u16, bgr24, bgr32 };

template <px_kind K>
inline int pixel(const uint8_t* line, int x) {
  if constexpr (K == px_kind::u8) {
    return line[x];
  } else if constexpr (K == px_kind::u16) {
    return line[2 * x] | (line[2 * x + 1] << 8);
  } else {
    constexpr int bytes = K == px_kind::bgr24 ? 3 : 4;
    const uint8_t* p = line + bytes * x;
    return (p[0] + 2 * p[1] + p[2]) >> 2;
  }
}

// Sum of the 4 x 4 block with its top-left corner at (x, y).
template <px_kind K>
int quad_sum(const img_descriptor& f, int x, int y) {
  int sum = 0;
  for (int j = 0; j < 4; ++j) {
    const uint8_t* line = line_ptr(f, y + j);
    sum +=
        pixel<K>(line, x) + pixel<K>(line, x + 1) + pixel<K>(line, x + 2) + pixel<K>(line, x + 3);
  }
  return sum;
}

// One band 4 pixels across, starting at (ox, oy) and running `length`
// pixels along (ax, ay): a 16-pixel window steps by 4 from 16; each half is
// two 4 x 4 blocks, so a ring of four block sums slides along the band.
template <px_kind K>
int band_value(const img_descriptor& f, int ox, int oy, int ax, int ay, int length) {
  // Each half: 32 samples divided by 16; 16-bit samples also by 256.
  constexpr int kShift = K == px_kind::u16 ? 12 : 4;
  if (length < 32) return 0;
  int q[4];
  for (int k = 0; k < 3; ++k) q[k] = quad_sum<K>(f, ox + (16 + 4 * k) * ax, oy + (16 + 4 * k) * ay);
  int best = 0;
  for (int p = 16; p + 16 <= length; p += 4) {
    q[3] = quad_sum<K>(f, ox + (p + 12) * ax, oy + (p + 12) * ay);
    const int d = ((q[0] + q[1]) >> kShift) - ((q[2] + q[3]) >> kShift);
    if (d > best || -d > best) best = d < 0 ? -d : d;
    q[0] = q[1], q[1] = q[2], q[2] = q[3];
  }
  return best;
}

template <px_kind K>
int32_t region_sharpness(const img_descriptor& f, const image_rect& r) {
  int32_t sum = 0;
  for (int y = r.height / 8 + 5; y + 4 <= r.height; y += r.height / 8 + 1)
    sum += band_value<K>(f, r.left, r.top + y, 1, 0, r.width);
  for (int x = r.width / 8 + 5; x + 4 <= r.width; x += r.width / 8 + 1)
    sum += band_value<K>(f, r.left + x, r.top, 0, 1, r.height);
  return sum;
}

bool focus_format(uint32_t fcc) {
  return fcc == FOURCC_Y800 || fcc == FOURCC_Y16 || fcc == FOURCC_RGB24 || fcc == FOURCC_RGB32 ||
         is_by8_fcc(fcc) || is_by16_fcc(fcc);
}

bool frame_usable(const img_descriptor& f) {
  return focus_format(f.type) && f.dim_x >= focus_block && f.dim_y >= focus_block && image_fits(f);
}

bool inside(const image_rect& r, const img_descriptor& f) {
  return r.left >= 0 && r.top >= 0 && int64_t{r.left} + r.width <= f.dim_x &&
         int64_t{r.top} + r.height <= f.dim_y;
}

// ---- search ------------------------------------------------------------

int32_t clamp_to(int64_t v, int32_t lo, int32_t hi) {
  return static_cast<int32_t>(v < lo ? lo : (v > hi ? hi : v));
}

int32_t max1(int64_t v) { return v < 1 ? 1 : static_cast<int32_t>(v); }

void record_region(auto_focus_state& st, const img_descriptor& f, const auto_settings& s,
                   const image_rect& r) {
  st.left = r.left, st.top = r.top, st.width = r.width, st.height = r.height;
  st.dim_x = f.dim_x, st.dim_y = f.dim_y;
  st.offset_x = s.offset_x, st.offset_y = s.offset_y;
  st.scale_x = s.scale_x, st.scale_y = s.scale_y;
}

bool mapping_changed(const auto_focus_state& st, const img_descriptor& f, const auto_settings& s) {
  return st.dim_x != f.dim_x || st.dim_y != f.dim_y || st.offset_x != s.offset_x ||
         st.offset_y != s.offset_y || st.scale_x != s.scale_x || st.scale_y != s.scale_y;
}

// Back to step "start" at the current position (a new search or a new region).
void restart(auto_focus_state& st) {
  st.phase = focus_start;
  st.probe_count = 0;
}

void note_probe(auto_focus_state& st, int32_t position, int32_t sharpness) {
  if (st.probe_count < auto_focus_max_probes) st.probes[st.probe_count++] = {position, sharpness};
  if (sharpness >= st.best) st.best = sharpness, st.best_position = position;
}

// Refinement: a golden-section probe into the larger side of the bracket
// around the best position; the end once the bracket is narrower than 3.
int32_t refine_next(auto_focus_state& st) {
  if (int64_t{st.high} - st.low < kStopWidth) {
    st.phase = focus_idle;
    return st.best_position;
  }
  const int64_t b = st.best_position, up = st.high - b, down = b - st.low;
  return static_cast<int32_t>(up >= down ? b + max1((up * 382 + 500) / 1000)
                                         : b - max1((down * 382 + 500) / 1000));
}

// A refinement measurement: the best moves to it when it is at least as
// sharp, and the bracket loses the side away from the best.
void refine_update(auto_focus_state& st, int32_t x, int32_t sharpness) {
  const int32_t b = st.best_position;
  if (sharpness >= st.best) {
    if (x > b) st.low = b;
    if (x < b) st.high = b;
    st.best = sharpness, st.best_position = x;
  } else {
    if (x > b) st.high = x;
    if (x < b) st.low = x;
  }
}

// From the sweep to the refinement: for a curve with one peak, the peak
// lies between the measured neighbours of the best measured position.
int32_t enter_refine(auto_focus_state& st) {
  st.phase = focus_refine;
  st.low = st.range_min, st.high = st.range_max;
  for (int i = 0; i < st.probe_count; ++i) {
    const int32_t p = st.probes[i].position;
    if (p < st.best_position && p > st.low) st.low = p;
    if (p > st.best_position && p < st.high) st.high = p;
  }
  return refine_next(st);
}

// The position to go to after measuring `sharpness` at st.position; the
// same position when the search has ended there.
int32_t next_position(auto_focus_state& st, int32_t sharpness) {
  const int32_t pos = st.position;
  switch (st.phase) {
    case focus_start: {
      st.origin = pos;
      st.best = -1;
      note_probe(st, pos, sharpness);
      st.low = st.range_min, st.high = st.range_max;
      const int32_t dir = int64_t{st.high} - pos >= int64_t{pos} - st.low ? 1 : -1;
      const int64_t distance = dir > 0 ? int64_t{st.high} - pos : int64_t{pos} - st.low;
      const int64_t first = max1(distance / st.step_divisor);
      if (!st.coarse_sweep || sharpness > focus_sharp_enough) {
        st.phase = focus_refine;
      } else {
        st.phase = focus_coarse;
        st.step = dir * max1((int64_t{st.range_max} - st.range_min) / kCoarseParts);
      }
      return clamp_to(pos + dir * first, st.low, st.high);
    }
    case focus_coarse:
    case focus_coarse_reversed: {
      note_probe(st, pos, sharpness);
      if (sharpness > focus_sharp_enough) return enter_refine(st);
      const int32_t next = clamp_to(int64_t{pos} + st.step, st.low, st.high);
      if (next != pos) return next;
      if (st.phase == focus_coarse) {
        // The side beyond the origin is swept: go on from the origin's
        // other side instead of measuring the same positions again.
        st.phase = focus_coarse_reversed;
        st.step = -st.step;
        const int32_t other = clamp_to(int64_t{st.origin} + st.step, st.low, st.high);
        if (other != st.origin) return other;
      }
      return enter_refine(st);
    }
    case focus_refine:
      refine_update(st, pos, sharpness);
      return refine_next(st);
    default:
      st.phase = focus_idle;
      return pos;
  }
}

// Hands out a move to `to` and starts the wait for it.
void move_to(auto_focus_state& st, int32_t to, uint64_t now_us) {
  const int64_t move = to > st.position ? int64_t{to} - st.position : int64_t{st.position} - to;
  const int64_t span = int64_t{st.range_max} - st.range_min;
  int64_t wait_ms = span > 0 ? int64_t{st.full_travel_ms} * move / span : st.full_travel_ms;
  if (wait_ms < st.settle_ms) wait_ms = st.settle_ms;
  st.wait_us = static_cast<uint64_t>(wait_ms) * 1000;
  st.moved_at_us = now_us;
  st.measure_after_us = now_us + st.wait_us;
  st.countdown = kFramesAfterMove;
  st.position = to;
}

// A start request: takes the range, waits and flags of the settings and
// chooses the region. False when the range holds nothing to search.
bool begin_search(auto_focus_state& st, const img_descriptor& f, const auto_settings& s) {
  const auto_focus_settings& fs = s.focus;
  if (int64_t{fs.range_max} - fs.range_min < kStopWidth) return false;
  st.range_min = fs.range_min, st.range_max = fs.range_max;
  if (fs.full_travel_ms > 0) st.full_travel_ms = fs.full_travel_ms;
  if (fs.settle_ms > 0) st.settle_ms = fs.settle_ms;
  st.step_divisor = fs.step_divisor > 0 ? fs.step_divisor : kDefaultStepDivisor;
  st.coarse_sweep = fs.coarse_sweep;
  st.frames = 0;
  st.countdown = 0;
  st.measure_after_us = 0;
  st.position = fs.position;
  record_region(st, f, s, choose_focus_region(f, s));
  restart(st);
  return true;
}

}  // namespace

void auto_focus_reset(auto_focus_state& st) {
  memset(&st, 0, sizeof st);
  st.phase = focus_idle;
  st.full_travel_ms = kDefaultFullTravelMs;
  st.settle_ms = kDefaultSettleMs;
  st.step_divisor = kDefaultStepDivisor;
}

int32_t focus_sharpness(const img_descriptor& f, const image_rect& r) {
  if (r.width <= 0 || r.height <= 0 || !inside(r, f) || !image_fits(f)) return 0;
  if (f.type == FOURCC_RGB24) return region_sharpness<px_kind::bgr24>(f, r);
  if (f.type == FOURCC_RGB32) return region_sharpness<px_kind::bgr32>(f, r);
  if (f.type == FOURCC_Y16 || is_by16_fcc(f.type)) return region_sharpness<px_kind::u16>(f, r);
  if (f.type == FOURCC_Y800 || is_by8_fcc(f.type)) return region_sharpness<px_kind::u8>(f, r);
  return 0;
}

image_rect choose_focus_region(const img_descriptor& f, const auto_settings& s) {
  if (s.focus.region_enabled && region_is_set(s.focus.region)) {
    const image_rect r = map_region(s.focus.region, s);
    if (r.width >= focus_min_region && r.height >= focus_min_region && inside(r, f)) return r;
  }
  image_rect best = {0, 0, 0, 0};
  if (f.dim_x < focus_block || f.dim_y < focus_block) return best;
  const int32_t ox = (f.dim_x % focus_block) / 2, oy = (f.dim_y % focus_block) / 2;
  int32_t best_value = -1;
  for (int32_t y = oy; y + focus_block <= f.dim_y; y += focus_block) {
    for (int32_t x = ox; x + focus_block <= f.dim_x; x += focus_block) {
      const image_rect r = {x, y, focus_block, focus_block};
      const int32_t v = focus_sharpness(f, r);
      if (v > best_value) best_value = v, best = r;
    }
  }
  return best;
}

bool auto_focus_step(auto_focus_state& st, uint64_t now_us, const img_descriptor& frame,
                     const auto_settings& s, int32_t& position) {
  const auto_focus_settings& fs = s.focus;
  const bool start = fs.start && !st.start_seen;
  st.start_seen = fs.start;
  if (fs.stop) st.phase = focus_idle;
  position = st.phase == focus_idle ? fs.position : st.position;
  const bool usable = frame_usable(frame);
  if (start && !fs.stop && usable && begin_search(st, frame, s)) {
    const int32_t into_range = clamp_to(fs.position, st.range_min, st.range_max);
    if (into_range != st.position) {
      move_to(st, into_range, now_us);
      position = into_range;
      return true;
    }
  }
  if (st.phase == focus_idle || !usable) return false;
  if (mapping_changed(st, frame, s)) {
    st.phase = focus_idle;  // the region would no longer lie in the frame
    return false;
  }
  ++st.frames;
  for (int32_t check : kRegionCheckFrames) {
    if (st.frames != check) continue;
    const image_rect r = choose_focus_region(frame, s);
    if (r.left != st.left || r.top != st.top || r.width != st.width || r.height != st.height) {
      record_region(st, frame, s, r);
      restart(st);
    }
  }
  if (st.countdown > 0) {
    --st.countdown;
    return false;
  }
  if (fs.written_us != 0) {
    // The wait runs from the camera's answer to this move's write.
    if (fs.written_position != st.position || fs.written_us < st.moved_at_us) return false;
    if (fs.written_us + st.wait_us > st.measure_after_us) st.measure_after_us = fs.written_us + st.wait_us;
  }
  // A frame counts only when it was taken after the wait, however late the
  // worker reached it.
  const uint64_t taken_us = s.frame_start_us != 0 && s.frame_start_us < now_us ? s.frame_start_us : now_us;
  if (taken_us < st.measure_after_us) return false;
  st.sharpness = focus_sharpness(frame, {st.left, st.top, st.width, st.height});
  const int32_t next = next_position(st, st.sharpness);
  if (next == st.position) return false;
  move_to(st, next, now_us);
  position = next;
  return true;
}

}  // namespace img
