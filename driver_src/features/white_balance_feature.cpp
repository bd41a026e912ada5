// White balance: the gains the driver applies to raw frames (or the camera
// applies, when it has colour-channel controls of its own), the automatic
// balance and one-push, the grey-world and colour-temperature modes, and
// the range presets of the temperature search.
//
// Keys: video processing amplifier 7 (the temperature with the automatic
// flag), camera_extension_set 102, 206, 101 (red, green, blue gains with
// the automatic flag) and 107 (one-push), registers 2 to 9.
#include "features/documents/feature_documents.h"
#include "features/feature_objects.h"
#include "features/value_feature.h"
#include "kernel/pool_tags.h"

namespace {

enum wb_value : ULONG { red, green, blue, automatic, one_push, preset, temperature, mode, wb_count };

constexpr LONG unity_gain = 64;

const value_def wb_defs[wb_count] = {
    {L"WhitebalanceRed", value_type::number, 0, 255, unity_gain, 1, false},
    {L"WhitebalanceGreen", value_type::number, 0, 255, unity_gain, 1, false},
    {L"WhitebalanceBlue", value_type::number, 0, 255, unity_gain, 1, false},
    {L"WhitebalanceAuto", value_type::flag, 0, 1, 1, 1, false},
    {nullptr, value_type::flag, 0, 1, 0, 1, false},
    // Any index is kept; one outside 0..4 searches the whole range.
    {L"WhitebalanceTemperatureAutoMode", value_type::number, LONG(0x80000000), 0x7FFFFFFF, 0, 1, false},
    {L"WhitebalanceTemperature", value_type::number, img::wb_temperature_min, img::wb_temperature_max, 6500,
     img::wb_temperature_step, false},
    // 0 grey world, 1 temperature.
    {L"WhitebalanceMode", value_type::flag, 0, 1, 0, 1, false},
};

// Kelvin ranges of the automatic presets: "Any", "Auto WarmWhite",
// "Auto CoolWhite", "Auto DayLight", "Auto DeepShade".
struct kelvin_range {
  LONG low;
  LONG high;
};
const kelvin_range presets[] = {{2500, 10000}, {2500, 4000}, {4000, 5800}, {5700, 7500}, {7500, 9300}};

const kelvin_range& preset_range(LONG index) {
  return index >= 0 && index < LONG(ARRAYSIZE(presets)) ? presets[index] : presets[0];
}

// The camera's own colour-channel keys, in value order.
const ULONG channel_ids[3] = {extension_id::whitebalance_red, extension_id::whitebalance_green,
                              extension_id::whitebalance_blue};

LONG table_gain(float multiplier) {
  const float g = multiplier * float(unity_gain);
  // NaN and negatives give 0.
  if (!(g > 0.0f)) return 0;
  return g >= 255.0f ? 255 : LONG(g);
}

class white_balance_feature : public value_feature {
 public:
  white_balance_feature(feature_group* group, const feature_setup& setup)
      : value_feature(feature_kind::white_balance, group, wb_defs, wb_count),
        table_(setup.temperature_table),
        channels_{},
        camera_applies_(false),
        loading_(false) {}

  NTSTATUS attach(uvc_camera* camera, const feature_setup& setup) {
    for (ULONG c = 0; c < 3; ++c) {
      channels_[c] = camera_answers(camera, camera_extension_set, channel_ids[c]);
    }
    camera_applies_ = setup.camera_has_colour_channels || channels_[2];
    static const struct {
      const GUID* set;
      ULONG id;
      ULONG value;
      ULONG level;
    } keys[] = {
        {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, temperature, control_level_override},
        {&camera_extension_set, extension_id::whitebalance_red, red, control_level_override},
        {&camera_extension_set, extension_id::whitebalance_green, green, control_level_override},
        {&camera_extension_set, extension_id::whitebalance_blue, blue, control_level_override},
        {&camera_extension_set, extension_id::one_push, one_push, control_level_override},
        {&named_property_set, feature_register::wb_temperature, temperature, control_level_base},
        {&named_property_set, feature_register::wb_auto, automatic, control_level_base},
        {&named_property_set, feature_register::wb_one_push, one_push, control_level_base},
        {&named_property_set, feature_register::wb_auto_preset, preset, control_level_base},
        {&named_property_set, feature_register::wb_red, red, control_level_base},
        {&named_property_set, feature_register::wb_green, green, control_level_base},
        {&named_property_set, feature_register::wb_blue, blue, control_level_base},
        {&named_property_set, feature_register::wb_mode, mode, control_level_base},
    };
    for (const auto& k : keys) {
      const NTSTATUS status = serve(camera, *k.set, k.id, k.value, k.level);
      if (!NT_SUCCESS(status)) return status;
    }
    // Without a table there is no temperature to balance by.
    if (table_ == nullptr) return STATUS_SUCCESS;
    return setup.documents != nullptr ? append_white_balance_document(setup.documents) : STATUS_SUCCESS;
  }

  NTSTATUS get_property(uvc_camera* camera, control_call* call) override {
    if (same_key({PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE}, call->set,
                 call->id)) {
      control_answer a = {};
      a.step = img::wb_temperature_step;
      answer_flags(temperature, &a.flags, &a.capabilities);
      if (table_ != nullptr) {
        a.value = read(temperature);
        a.minimum = img::wb_temperature_min;
        a.maximum = img::wb_temperature_max;
        a.default_value = wb_defs[temperature].default_value;
      }
      return write_control_answer(call, a);
    }
    return value_feature::get_property(camera, call);
  }

  NTSTATUS set_property(uvc_camera* camera, control_call* call) override {
    ULONG index = 0;
    if (!served_value(call, &index)) return STATUS_NOT_IMPLEMENTED;
    if (is_register_call(call)) return set_register(camera, call, index);
    LONG v = 0;
    ULONG flags = 0;
    const NTSTATUS status = read_control_value(call, &v, &flags);
    if (!NT_SUCCESS(status)) return status;
    if (index == one_push) {
      if (v != 0) write(one_push, 1);
      return STATUS_SUCCESS;
    }
    // The temperature and the gains carry the automatic flag: a set that
    // changes it changes only the mode.
    const LONG wants_auto = (flags & control_flag_auto) != 0 ? 1 : 0;
    const bool mode_change = wants_auto != read(automatic);
    if (index == temperature) {
      const bool apply = table_ != nullptr && wants_auto == 0 && !mode_change;
      if (apply && !accept(temperature, &v)) return STATUS_INVALID_PARAMETER;
      // The automatic flag is taken (and saved) from every set.
      store(camera, automatic, wants_auto);
      if (apply) {
        store(camera, temperature, v);
        store(camera, mode, 1);
      }
      return STATUS_SUCCESS;
    }
    if (mode_change) {
      store(camera, automatic, wants_auto);
      return STATUS_SUCCESS;
    }
    return set_gain(camera, index, v);
  }

  NTSTATUS apply_default(uvc_camera* camera, const control_value_provider& provider) override {
    loading_ = true;
    value_feature::apply_default(camera, provider);
    loading_ = false;
    // The gains of the temperature mode follow the stored temperature.
    if (read(mode) != 0 && table_ != nullptr) take_table_gains(camera, false);
    return STATUS_SUCCESS;
  }

  void fill_auto_settings(img::auto_settings& settings) override {
    img::auto_white_balance_settings& wb = settings.wb;
    wb.r = values_[red];
    wb.g = values_[green];
    wb.b = values_[blue];
    wb.auto_enabled = values_[automatic] != 0;
    wb.one_push = values_[one_push] != 0;
    wb.grey_search = !camera_applies_;
    wb.temperature_mode = values_[mode] != 0 && table_ != nullptr;
    wb.temperature = values_[temperature];
    const kelvin_range& range = preset_range(values_[preset]);
    wb.temperature_low = range.low;
    wb.temperature_high = range.high;
    wb.table = table_;
  }

  void take_auto_result(const img::auto_result& result, const img::auto_settings& settings,
                        auto_changes& changes) override {
    if (!result.valid || !(settings.wb.auto_enabled || settings.wb.one_push)) return;
    // A client may have switched the balance off since the frame began.
    if (values_[automatic] == 0 && values_[one_push] == 0) return;
    values_[red] = result.wb_r;
    values_[green] = result.wb_g;
    values_[blue] = result.wb_b;
    values_[temperature] = result.temperature;
    if (settings.wb.one_push && !result.wb_one_push_active) values_[one_push] = 0;
    if (camera_applies_ && (result.wb_r != settings.wb.r || result.wb_g != settings.wb.g ||
                            result.wb_b != settings.wb.b)) {
      changes.white_balance_changed = true;
      changes.wb_red = result.wb_r;
      changes.wb_green = result.wb_g;
      changes.wb_blue = result.wb_b;
    }
  }

  void fill_transform_params(img::transform_params& params) override {
    params.wb_enable = camera_applies_ ? 0 : 1;
    params.wb_gain_r = ULONG(values_[red]);
    params.wb_gain_g = ULONG(values_[green]);
    params.wb_gain_b = ULONG(values_[blue]);
    params.wb_gain_g2 = ULONG(values_[green]);
  }

  NTSTATUS write_to_camera(uvc_camera* camera, const auto_changes& changes) override {
    if (!changes.white_balance_changed) return STATUS_SUCCESS;
    const LONG gains[3] = {changes.wb_red, changes.wb_green, changes.wb_blue};
    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG c = 0; c < 3; ++c) {
      const NTSTATUS status = send_gain(camera, c, gains[c]);
      if (NT_SUCCESS(result) && !NT_SUCCESS(status)) result = status;
    }
    return result;
  }

 protected:
  void answer_flags(ULONG index, ULONG* flags, ULONG* capabilities) override {
    if (index == temperature || index == red || index == green || index == blue) {
      *flags = read(automatic) != 0 ? control_flag_auto : control_flag_manual;
      *capabilities = control_flag_auto | control_flag_manual;
      return;
    }
    value_feature::answer_flags(index, flags, capabilities);
  }

  void changed(uvc_camera* camera, ULONG index) override {
    if (index == mode && table_ == nullptr) write(mode, 0);
    if (index == temperature && table_ != nullptr && !loading_) take_table_gains(camera, true);
  }

 private:
  NTSTATUS set_register(uvc_camera* camera, control_call* call, ULONG index) {
    ULONG raw = 0;
    const NTSTATUS status = read_register(call, &raw);
    if (!NT_SUCCESS(status)) return status;
    LONG v = LONG(raw);
    if (index == one_push) {
      if (v != 0) write(one_push, 1);
      return STATUS_SUCCESS;
    }
    if (index == mode && v != 0 && table_ == nullptr) return STATUS_INVALID_PARAMETER;
    if (index == red || index == green || index == blue) {
      return accept(index, &v) ? set_gain(camera, index, v) : STATUS_INVALID_PARAMETER;
    }
    if (!accept(index, &v)) return STATUS_INVALID_PARAMETER;
    store(camera, index, v);
    return STATUS_SUCCESS;
  }

  // A manual gain: kept, saved and, on a camera that applies the gains
  // itself, sent to it.
  NTSTATUS set_gain(uvc_camera* camera, ULONG index, LONG v) {
    if (!accept(index, &v)) return STATUS_INVALID_PARAMETER;
    if (camera_applies_) {
      const NTSTATUS status = send_gain(camera, index, v);
      if (!NT_SUCCESS(status)) return status;
    }
    store(camera, index, v);
    return STATUS_SUCCESS;
  }

  // The camera's own control of channel `c` (level 1 and below).
  NTSTATUS send_gain(uvc_camera* camera, ULONG c, LONG v) {
    if (!channels_[c]) return STATUS_SUCCESS;
    UCHAR record[control_record::scalar_size] = {};
    KSPROPERTY header = {};
    header.Set = camera_extension_set;
    header.Id = channel_ids[c];
    header.Flags = control_request_set;
    RtlCopyMemory(record, &header, sizeof(header));
    put_field(record, control_record::value, ULONG(v));
    put_field(record, control_record::flags, control_flag_manual);
    control_call call = {};
    call.set = camera_extension_set;
    call.id = channel_ids[c];
    call.flags = control_request_set;
    call.output = record;
    call.output_length = sizeof(record);
    return forward_set(camera, &call, control_level_family);
  }

  // Gains from the table for the current temperature.
  void take_table_gains(uvc_camera* camera, bool save) {
    const LONG t = read(temperature);
    const LONG clamped = t < img::wb_temperature_min ? img::wb_temperature_min
                         : t > img::wb_temperature_max ? img::wb_temperature_max
                                                       : t;
    const float* m = table_->entries[(clamped - img::wb_temperature_min) / img::wb_temperature_step];
    for (ULONG c = 0; c < 3; ++c) {
      const LONG gain = table_gain(m[c]);
      if (save) {
        store(camera, red + c, gain);
      } else {
        write(red + c, gain);
      }
    }
  }

  const img::wb_temperature_table* table_;
  bool channels_[3];      // the camera answers keys 102, 206, 101 itself
  bool camera_applies_;   // the camera applies the gains (it has colour channels)
  bool loading_;          // apply_default is running
};

}  // namespace

NTSTATUS attach_white_balance(uvc_camera* camera, feature_group* group, const feature_setup& setup) {
  if (!setup.colour) return STATUS_SUCCESS;
  auto* feature = new (NonPagedPoolNx, pool_tag::objects) white_balance_feature(group, setup);
  const NTSTATUS status = group->attach(camera, feature);
  return NT_SUCCESS(status) ? feature->attach(camera, setup) : status;
}
