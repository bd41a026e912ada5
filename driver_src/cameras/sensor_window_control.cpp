// sensor_window_control: discovery, formats, frame intervals, the window
// selection with its timing, and the five properties (see the header).
#include "cameras/sensor_window_control.h"

#include "avstream/data_range.h"
#include "controls/control_registry.h"
#include "usb/control_request.h"

namespace {

constexpr ULONG register_length = 4;

namespace capability {
constexpr ULONG window = 0x20 | 0x40;
constexpr ULONG timing = 0x10 | 0x80;
constexpr ULONG binning = 0x100;
constexpr ULONG skipping = 0x10000;
}  // namespace capability
constexpr ULONG format_mask_present = 0x2;  // bit 1 of processing unit 33's value

// Rates are frames per 1000 seconds; intervals are 10^10 / rate (100 ns).
constexpr ULONGLONG interval_per_rate = 10000000000ull;
constexpr ULONG minimum_size = 96;
constexpr ULONG minimum_width_step = 8;
constexpr ULONG minimum_height_step = 4;

constexpr window_format window_formats[window_format_count] = {
    {img::FOURCC_Y800, 8},     {img::make_fourcc('U', 'Y', 'V', 'Y'), 16},
    {img::FOURCC_YUY2, 16},    {img::FOURCC_RGGB8, 8},
    {img::FOURCC_GRBG8, 8},    {img::FOURCC_BGGR8, 8},
    {img::FOURCC_GBRG8, 8},    {img::FOURCC_RGGB16, 16},
    {img::FOURCC_GRBG16, 16},  {img::FOURCC_BGGR16, 16},
    {img::FOURCC_GBRG16, 16},
};

// The pattern index of a mask bit's format; -1 for those without one.
constexpr LONG window_patterns[window_format_count] = {-1, -1, -1, 3, 2, 0, 1, 3, 2, 0, 1};

LONG round_down(LONG value, LONG multiple) { return value - value % multiple; }

control_answer range_answer(LONG value, LONG minimum, LONG maximum, LONG default_value) {
  control_answer answer = {};
  answer.value = value;
  answer.flags = control_flag_manual;
  answer.capabilities = control_flag_manual;
  answer.minimum = minimum;
  answer.maximum = maximum;
  answer.default_value = default_value;
  answer.step = 1;
  return answer;
}

ULONG clamp_ulong(ULONG value, ULONG low, ULONG high) {
  return value < low ? low : value > high ? high : value;
}

}  // namespace

window_format window_format_of_bit(ULONG bit) {
  return bit < window_format_count ? window_formats[bit] : window_format{0, 0};
}

sensor_window_control::sensor_window_control(uvc_camera* camera)
    : camera_(camera),
      window_(false),
      offsets_(false),
      timing_(false),
      formats_(false),
      binning_present_(false),
      skipping_present_(false),
      extended_timing_(false),
      format_mask_(0),
      auto_centre_(true),
      manual_x_(0),
      manual_y_(0),
      binning_(1),
      skipping_(1),
      requested_width_(0),
      requested_height_(0),
      requested_interval_(0),
      window_interval_(0),
      written_x_(0),
      written_y_(0),
      sensor_width_(0),
      sensor_height_(0),
      capabilities_(nullptr),
      mask_(nullptr),
      width_(nullptr),
      height_(nullptr),
      x_(nullptr),
      y_(nullptr),
      clock_(nullptr),
      blanking_(nullptr),
      binning_record_(nullptr),
      skipping_record_(nullptr),
      timing_width_(nullptr),
      timing_height_(nullptr),
      timing_binning_(nullptr),
      timing_result_(nullptr) {}

// ---- registers -------------------------------------------------------------------

uvc_control_record* sensor_window_control::bind(ULONG selector) {
  UCHAR terminal = 0;
  if (!camera_->camera_terminal_id(&terminal)) return nullptr;
  uvc_control_record* record = bind_control_record(camera_, control_entity_camera_terminal,
                                                   terminal, selector, register_length);
  return record != nullptr && record->length == register_length ? record : nullptr;
}

// The register's current value from the camera (the last known one when the
// read fails).
LONG sensor_window_control::read(uvc_control_record* record) {
  control_record_request(camera_, record, uvc_request_code::get_cur);
  return control_value(record, record->current);
}

NTSTATUS sensor_window_control::write(uvc_control_record* record, ULONG value) {
  return record != nullptr ? write_control_record(camera_, record, value) : STATUS_NOT_IMPLEMENTED;
}

NTSTATUS sensor_window_control::write_if_different(uvc_control_record* record, ULONG value) {
  if (record == nullptr) return STATUS_NOT_IMPLEMENTED;
  if (ULONG(control_value(record, record->current)) == value) return STATUS_SUCCESS;
  return write(record, value);
}

// ---- init ----------------------------------------------------------------------------

NTSTATUS sensor_window_control::register_keys(const ULONG* ids, ULONG count) {
  for (ULONG i = 0; i < count; ++i) {
    const property_key key = {camera_extension_set, ids[i]};
    const NTSTATUS status = register_control(camera_, &key, 1, this, control_level_base);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS sensor_window_control::init() {
  window_ = offsets_ = timing_ = formats_ = false;
  binning_present_ = skipping_present_ = extended_timing_ = false;
  binning_ = skipping_ = 1;

  capabilities_ = bind(window_selector::capabilities);
  const ULONG caps = capabilities_ != nullptr ? ULONG(read(capabilities_)) : 0;
  if (caps == 0) return STATUS_SUCCESS;

  if ((caps & capability::window) == capability::window) {
    width_ = bind(window_selector::width);
    height_ = bind(window_selector::height);
    if (width_ != nullptr && height_ != nullptr) {
      window_ = true;
      sensor_width_ = ULONG(control_value(width_, width_->maximum));
      sensor_height_ = ULONG(control_value(height_, height_->maximum));
      write(width_, sensor_width_);
      write(height_, sensor_height_);
    }
    x_ = bind(window_selector::offset_x);
    y_ = bind(window_selector::offset_y);
    if (x_ != nullptr && y_ != nullptr) {
      offsets_ = true;
      write(x_, 0);
      write(y_, 0);
      const ULONG ids[] = {window_property::offset_x, window_property::offset_y,
                           window_property::auto_centre};
      const NTSTATUS status = register_keys(ids, ARRAYSIZE(ids));
      if (!NT_SUCCESS(status)) return status;
    }
  }

  if ((caps & capability::timing) == capability::timing) {
    clock_ = bind(window_selector::pixel_clock);
    blanking_ = bind(window_selector::blanking);
    timing_ = clock_ != nullptr && blanking_ != nullptr &&
              control_value(clock_, clock_->minimum) > 0 &&
              control_value(clock_, clock_->maximum) > 0 && read(blanking_) != 0;
  }

  UCHAR unit = 0;
  if (camera_->processing_unit_id(&unit)) {
    mask_ = bind_control_record(camera_, control_entity_processing_unit, unit,
                                window_selector::format_mask, register_length);
  }
  if (mask_ != nullptr && (ULONG(read(mask_)) & format_mask_present) != 0) {
    format_mask_ = ULONG(control_value(mask_, mask_->maximum)) & ((1u << window_format_count) - 1);
    formats_ = format_mask_ != 0;
  }

  if ((caps & capability::binning) != 0) {
    binning_record_ = bind(window_selector::binning);
    if (binning_record_ != nullptr && control_value(binning_record_, binning_record_->maximum) != 0) {
      write(binning_record_, 1);
      binning_present_ = true;
      const ULONG id = window_property::binning;
      const NTSTATUS status = register_keys(&id, 1);
      if (!NT_SUCCESS(status)) return status;
    }
  }
  if ((caps & capability::skipping) != 0) {
    skipping_record_ = bind(window_selector::skipping);
    if (skipping_record_ != nullptr &&
        control_value(skipping_record_, skipping_record_->maximum) != 0) {
      write(skipping_record_, 1);
      skipping_present_ = true;
      const ULONG id = window_property::skipping;
      const NTSTATUS status = register_keys(&id, 1);
      if (!NT_SUCCESS(status)) return status;
    }
  }

  if (timing_ && window_) {
    timing_width_ = bind(window_selector::timing_width);
    if (timing_width_ != nullptr && control_value(timing_width_, timing_width_->maximum) >= 1) {
      timing_height_ = bind(window_selector::timing_height);
      timing_result_ = bind(window_selector::timing_result);
      if (binning_present_) timing_binning_ = bind(window_selector::timing_binning);
      extended_timing_ = timing_height_ != nullptr && timing_result_ != nullptr &&
                         (!binning_present_ || timing_binning_ != nullptr);
    }
  }
  return STATUS_SUCCESS;
}

// ---- timing ----------------------------------------------------------------------------

ULONGLONG sensor_window_control::total_pixels(ULONG width, ULONG height, ULONG binning) {
  if (extended_timing_) {
    bool changed = false;
    if (ULONG(control_value(timing_width_, timing_width_->current)) != width) {
      changed = NT_SUCCESS(write(timing_width_, width)) || changed;
    }
    if (ULONG(control_value(timing_height_, timing_height_->current)) != height) {
      changed = NT_SUCCESS(write(timing_height_, height)) || changed;
    }
    if (timing_binning_ != nullptr &&
        ULONG(control_value(timing_binning_, timing_binning_->current)) != binning) {
      changed = NT_SUCCESS(write(timing_binning_, binning)) || changed;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (changed) status = control_record_request(camera_, timing_result_, uvc_request_code::get_cur);
    const ULONG result = ULONG(control_value(timing_result_, timing_result_->current));
    if (NT_SUCCESS(status) && (result & 0xFFFF) != 0) {
      return ULONGLONG((result & 0xFFFF) + width) * ((result >> 16) + height);
    }
  }
  const ULONG blanking = ULONG(control_value(blanking_, blanking_->current));
  return ULONGLONG((blanking & 0xFFFF) + width) * ((blanking >> 16) + height);
}

ULONGLONG sensor_window_control::rate(ULONG width, ULONG height, ULONG clock) {
  const ULONGLONG pixels = total_pixels(width, height, 1);
  return pixels != 0 ? ULONGLONG(clock) * 1000 / pixels : 0;
}

NTSTATUS sensor_window_control::get_frame_intervals(ULONG width, ULONG height,
                                                    LONGLONG* intervals, ULONG* count) {
  if (count == nullptr) return STATUS_INVALID_PARAMETER;
  if (!timing_) return STATUS_NOT_IMPLEMENTED;
  const ULONGLONG slow =
      rate(width, height, ULONG(control_value(clock_, clock_->minimum)));
  const ULONGLONG fast =
      rate(width, height, ULONG(control_value(clock_, clock_->maximum)));
  const ULONGLONG step = fast <= 10000 ? 1000 : fast <= 20000 ? 2500 : 5000;
  const ULONG capacity = intervals != nullptr ? *count : 0;
  ULONG n = 0;
  auto put = [&](ULONGLONG r) {
    if (n < capacity) intervals[n] = r != 0 ? LONGLONG(interval_per_rate / r) : 0;
    ++n;
  };
  put(slow);
  for (ULONGLONG r = slow < step ? step : (slow / step + 1) * step; r < fast; r += step) put(r);
  put(fast);
  *count = n;
  return n > capacity ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS sensor_window_control::set_timing(LONGLONG interval, ULONG factor) {
  const ULONG width = requested_width_;
  const ULONG height = requested_height_;
  const ULONG clock_min = ULONG(control_value(clock_, clock_->minimum));
  const ULONG clock_max = ULONG(control_value(clock_, clock_->maximum));
  const ULONGLONG slow = rate(width, height, clock_min);
  const ULONGLONG fast = rate(width, height, clock_max);
  ULONGLONG wanted = interval > 0 ? interval_per_rate / ULONGLONG(interval) : fast;
  if (wanted < slow) wanted = slow;
  if (wanted > fast) wanted = fast;
  ULONGLONG clock = total_pixels(width, height, factor) * wanted / 1000;
  window_interval_ = wanted != 0 ? LONGLONG(interval_per_rate / wanted) : 0;
  // The rate bounds are rounded down, so the clock for the slowest rate may
  // come out a little below the register's minimum, which the camera
  // refuses (the clock would stay at whatever it was).
  if (clock < clock_min) clock = clock_min;
  if (clock > clock_max) clock = clock_max;
  const ULONG value = ULONG(clock);
  read(clock_);
  return write_if_different(clock_, value);
}

// ---- factors and offsets -------------------------------------------------------------------

ULONG sensor_window_control::valid_factor(ULONG factor) const {
  if (factor <= 1) return factor;
  return requested_width_ <= sensor_width_ / factor && requested_height_ <= sensor_height_ / factor
             ? factor
             : 1;
}

void sensor_window_control::offsets_for(ULONG factor, LONG* x, LONG* y) const {
  const LONG f = factor >= 2 ? LONG(factor) : 1;
  const LONG sensor_w = LONG(sensor_width_) / f;
  const LONG sensor_h = LONG(sensor_height_) / f;
  const LONG spare_x = sensor_w - LONG(requested_width_);
  const LONG spare_y = sensor_h - LONG(requested_height_);
  if (auto_centre_) {
    *x = spare_x / 2 * f;
    *y = spare_y / 2 * f;
  } else {
    *x = manual_x_ < 0 ? 0 : manual_x_ < spare_x * f ? manual_x_ : spare_x * f;
    *y = manual_y_ < 0 ? 0 : manual_y_ < spare_y * f ? manual_y_ : spare_y * f;
  }
  // A window larger than the sensor (a request the limits would refuse)
  // starts at the sensor's corner.
  if (*x < 0) *x = 0;
  if (*y < 0) *y = 0;
  *x = round_down(*x, offset_multiple);
  *y = round_down(*y, offset_multiple);
}

NTSTATUS sensor_window_control::write_offsets(ULONG factor) {
  if (!offsets_) return STATUS_NOT_IMPLEMENTED;
  LONG x = 0, y = 0;
  offsets_for(factor, &x, &y);
  NTSTATUS status = write(x_, ULONG(x));
  const NTSTATUS status_y = write(y_, ULONG(y));
  if (NT_SUCCESS(status)) status = status_y;
  written_x_ = control_value(x_, x_->current);
  written_y_ = control_value(y_, y_->current);
  return status;
}

ULONG sensor_window_control::factor_in_use() {
  if (binning_present_) return ULONG(control_value(binning_record_, binning_record_->current));
  if (skipping_present_) return ULONG(control_value(skipping_record_, skipping_record_->current));
  return 1;
}

LONG sensor_window_control::factor() const {
  if (binning_present_) return control_value(binning_record_, binning_record_->current);
  if (skipping_present_) return control_value(skipping_record_, skipping_record_->current);
  return 1;
}

NTSTATUS sensor_window_control::apply_factors() {
  const ULONG b = valid_factor(binning_);
  ULONG s = valid_factor(skipping_);
  if (b > 1 && s > 1) s = 1;
  NTSTATUS status = STATUS_SUCCESS;
  if (binning_present_ && b != ULONG(control_value(binning_record_, binning_record_->current))) {
    // The window moves for the new factor before the sensor bins with it.
    if (offsets_) status = write_offsets(b);
    const NTSTATUS written = write(binning_record_, b);
    if (NT_SUCCESS(status)) status = written;
  }
  if (skipping_present_ && s != ULONG(control_value(skipping_record_, skipping_record_->current))) {
    if (offsets_) {
      const NTSTATUS moved = write_offsets(s);
      if (NT_SUCCESS(status)) status = moved;
    }
    const NTSTATUS written = write(skipping_record_, s);
    if (NT_SUCCESS(status)) status = written;
  }
  return status;
}

// ---- selection -----------------------------------------------------------------------------------

NTSTATUS sensor_window_control::select_window(ULONG width, ULONG height, LONGLONG interval) {
  requested_width_ = width;
  requested_height_ = height;
  requested_interval_ = interval;
  NTSTATUS first_failure = STATUS_SUCCESS;
  auto note = [&first_failure](NTSTATUS status) {
    if (NT_SUCCESS(first_failure) && !NT_SUCCESS(status) && status != STATUS_NOT_IMPLEMENTED) {
      first_failure = status;
    }
  };

  if (!window_) {
    NTSTATUS written = STATUS_INTERNAL_ERROR;
    if (binning_present_ || skipping_present_) {
      if (binning_present_ && binning_ > 1) {
        written = write_if_different(binning_record_, valid_factor(binning_));
      } else if (skipping_present_ && skipping_ >= 2) {
        written = write_if_different(skipping_record_, valid_factor(skipping_));
      }
    }
    if (timing_) return set_timing(interval, factor_in_use());
    return written;
  }

  ULONG f = 1;
  if (binning_present_) {
    if (binning_ > 1) f = valid_factor(binning_);
    note(write(binning_record_, 1));
  }
  if (skipping_present_) {
    if (skipping_ > 1 && f == 1) f = valid_factor(skipping_);
    note(write(skipping_record_, 1));
  }
  LONG x = 0, y = 0;
  offsets_for(f, &x, &y);
  const bool move = offsets_ && (control_value(x_, x_->current) != x ||
                                 control_value(y_, y_->current) != y);
  if (move) {
    // Offsets first to 0, so that the new size fits whatever the old window was.
    note(write(x_, 0));
    note(write(y_, 0));
  }
  if (timing_) note(set_timing(interval, f));
  note(write(width_, width));
  note(write(height_, height));
  if (move) {
    note(write(x_, ULONG(x)));
    note(write(y_, ULONG(y)));
  }
  if (offsets_) {
    written_x_ = control_value(x_, x_->current);
    written_y_ = control_value(y_, y_->current);
  }
  if (binning_present_ && binning_ > 1 && f > 1) {
    note(write_if_different(binning_record_, f));
  } else if (skipping_present_ && skipping_ > 1 && f > 1) {
    note(write_if_different(skipping_record_, f));
  }
  return first_failure;
}

// ---- formats ---------------------------------------------------------------------------------------

LONG sensor_window_control::first_bayer_pattern() const {
  for (ULONG bit = 0; bit < window_format_count; ++bit) {
    if ((format_mask_ & (1u << bit)) != 0 && window_patterns[bit] >= 0) {
      return window_patterns[bit];
    }
  }
  return -1;
}

NTSTATUS sensor_window_control::append_records(const raw_format_record& container,
                                               raw_format_list* records, ULONG* first) {
  if (!offers_formats()) return STATUS_NOT_IMPLEMENTED;
  // The longest interval (the minimum clock) and the shortest (the maximum).
  const ULONGLONG slow =
      rate(sensor_width_, sensor_height_, ULONG(control_value(clock_, clock_->minimum)));
  const ULONGLONG fast =
      rate(sensor_width_, sensor_height_, ULONG(control_value(clock_, clock_->maximum)));
  if (slow == 0 || fast == 0) return STATUS_NOT_IMPLEMENTED;
  const ULONGLONG longest = interval_per_rate / slow;
  const ULONGLONG shortest = interval_per_rate / fast;
  if (longest > MAXULONG) return STATUS_NOT_IMPLEMENTED;
  *first = records->count();
  for (ULONG bit = 0; bit < window_format_count; ++bit) {
    if ((format_mask_ & (1u << bit)) == 0) continue;
    raw_format_record record = container;
    record.subtype = subtype_from_fourcc(window_formats[bit].fourcc);
    record.bits_per_pixel = window_formats[bit].bits_per_pixel;
    record.width = sensor_width_;
    record.height = sensor_height_;
    record.min_interval = ULONG(shortest);
    record.max_interval = ULONG(longest);
    record.default_interval = ULONG(shortest);
    const NTSTATUS status = records->append(record);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS sensor_window_control::build_formats(const raw_format_list& records, ULONG first,
                                              format_entry_list* entries) {
  if (!offers_formats()) return STATUS_NOT_IMPLEMENTED;
  const ULONG max_w = sensor_width_;
  const ULONG max_h = sensor_height_;
  const ULONG min_w = clamp_ulong(ULONG(control_value(width_, width_->minimum)), minimum_size, max_w);
  const ULONG min_h =
      clamp_ulong(ULONG(control_value(height_, height_->minimum)), minimum_size, max_h);
  ULONG step_w = width_->has_resolution ? ULONG(control_value(width_, width_->resolution)) : 0;
  ULONG step_h = height_->has_resolution ? ULONG(control_value(height_, height_->resolution)) : 0;
  step_w = clamp_ulong(step_w, minimum_width_step, min_w);
  step_h = clamp_ulong(step_h, minimum_height_step, min_h);

  const ULONG standard[standard_size_count][2] = {
      {max_w, max_h},   {2048, 1536},       {1920, 1080},       {1600, 1200},
      {max_w / 2, max_h / 2}, {1280, 960}, {max_w / 4, max_h / 4}, {640, 480},
  };
  for (ULONG index = first; index < records.count(); ++index) {
    const raw_format_record& record = records[index];
    format_entry entry;
    entry.raw_index = index;
    make_data_range(&entry.range, record.subtype, LONG(max_w), LONG(max_h), record.bits_per_pixel,
                    record.default_interval, record.min_interval, record.max_interval);
    set_output_size_range(&entry.range.ConfigCaps, SIZE{LONG(min_w), LONG(min_h)},
                          SIZE{LONG(max_w), LONG(max_h)}, int(step_w), int(step_h));
    NTSTATUS status = entries->append(entry);
    if (!NT_SUCCESS(status)) return status;

    ULONG taken[standard_size_count][2] = {};
    ULONG taken_count = 0;
    for (const auto& size : standard) {
      if (size[0] < min_w || size[0] > max_w || size[1] < min_h || size[1] > max_h) continue;
      const ULONG w = size[0] & ~3u;
      const ULONG h = size[1] & ~3u;
      bool seen = false;
      for (ULONG t = 0; t < taken_count; ++t) seen = seen || (taken[t][0] == w && taken[t][1] == h);
      if (seen) continue;
      taken[taken_count][0] = w;
      taken[taken_count][1] = h;
      ++taken_count;
      format_entry fixed;
      fixed.raw_index = index;
      make_data_range(&fixed.range, record.subtype, LONG(w), LONG(h), record.bits_per_pixel,
                      record.default_interval, record.min_interval, record.max_interval);
      status = entries->append(fixed);
      if (!NT_SUCCESS(status)) return status;
    }
  }
  return STATUS_SUCCESS;
}

// ---- properties ------------------------------------------------------------------------------------

NTSTATUS sensor_window_control::get_property(uvc_camera*, control_call* call) {
  control_answer answer = {};
  switch (call->id) {
    case window_property::auto_centre:
      answer = range_answer(auto_centre_ ? 1 : 0, 0, 1, 1);
      break;
    case window_property::offset_x:
      answer = range_answer(auto_centre_ ? control_value(x_, x_->current) : manual_x_, 0,
                            LONG(sensor_width_), 0);
      break;
    case window_property::offset_y:
      answer = range_answer(auto_centre_ ? control_value(y_, y_->current) : manual_y_, 0,
                            LONG(sensor_height_), 0);
      break;
    case window_property::binning:
      if (!binning_present_) return STATUS_NOT_IMPLEMENTED;
      answer = range_answer(LONG(binning_), 1, LONG(max_binning), 1);
      break;
    case window_property::skipping:
      if (!skipping_present_) return STATUS_NOT_IMPLEMENTED;
      answer = range_answer(LONG(skipping_), 1,
                            control_value(skipping_record_, skipping_record_->maximum), 1);
      break;
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
  return write_control_answer(call, answer);
}

NTSTATUS sensor_window_control::set_property(uvc_camera*, control_call* call) {
  LONG value = 0;
  ULONG flags = 0;
  NTSTATUS status = read_control_value(call, &value, &flags);
  if (!NT_SUCCESS(status)) return status;
  switch (call->id) {
    case window_property::auto_centre:
      auto_centre_ = value != 0;
      if (!auto_centre_ || !offsets_) return STATUS_SUCCESS;
      manual_x_ = control_value(x_, x_->current);
      manual_y_ = control_value(y_, y_->current);
      return write_offsets(factor_in_use());
    case window_property::offset_x:
    case window_property::offset_y:
      if (auto_centre_ || !offsets_) return STATUS_INVALID_PARAMETER;
      (call->id == window_property::offset_x ? manual_x_ : manual_y_) =
          round_down(value, offset_multiple);
      return write_offsets(factor_in_use());
    case window_property::binning:
    case window_property::skipping: {
      const bool is_binning = call->id == window_property::binning;
      uvc_control_record* record = is_binning ? binning_record_ : skipping_record_;
      if (record == nullptr) return STATUS_NOT_IMPLEMENTED;
      if ((flags & control_flag_manual) == 0) return STATUS_NOT_IMPLEMENTED;
      const ULONG other = is_binning ? skipping_ : binning_;
      if ((is_binning ? other >= 2 : other > 1) || ULONG(value) == refused_factor ||
          value < control_value(record, record->minimum) ||
          value > control_value(record, record->maximum)) {
        return STATUS_INVALID_PARAMETER;
      }
      (is_binning ? binning_ : skipping_) = ULONG(value);
      return apply_factors();
    }
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
}
