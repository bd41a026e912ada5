// The image features' register-description documents (feature_documents.h).
// Each is a RegisterDescription with one port "Device", a "Root" category
// leading to the feature's own category, the feature nodes and the
// registers they read and write.
#include "features/documents/feature_documents.h"

#include "features/documents/genapi_writer.h"

namespace {

const char tooltip[] = "Dravonis generated GenICam";

// Writes Root → `group` → the item category, with the item's features.
void write_categories(genapi_writer& w, const char* group, const char* item,
                      const char* item_display_name, const genapi_extension* item_extension,
                      const char* const* features, ULONG count) {
  write_category(w, "Root", nullptr, nullptr, &group, 1);
  write_category(w, group, nullptr, nullptr, &item, 1);
  write_category(w, item, item_display_name, item_extension, features, count);
}

NTSTATUS hand_over(genapi_writer& w, register_description_sink* sink) {
  write_device_port(w);
  NTSTATUS status = w.finish();
  if (NT_SUCCESS(status)) status = sink->append_register_description(w.text(), w.size());
  return status;
}

// A document of one feature in an item of its own: a boolean ("Enable") or
// an integer ("Value", minimum to maximum in steps of 1) over one
// read-write register.
struct single_feature_document {
  const char* name;
  const char* item_guid;
  const char* group;
  const char* item;
  const char* item_display_name;
  const char* feature;
  const char* value_reg;
  ULONG address;
  bool boolean;
  LONG minimum, maximum;
};

NTSTATUS append_single_feature_document(const single_feature_document& d,
                                        register_description_sink* sink) {
  if (sink == nullptr) return STATUS_INVALID_PARAMETER;
  genapi_writer w;
  w.begin(d.name, tooltip);
  const genapi_extension item = {d.item_guid, nullptr, nullptr, -1, nullptr, nullptr, nullptr, false};
  write_categories(w, d.group, d.item, d.item_display_name, &item, &d.feature, 1);
  const genapi_extension ext = {d.item_guid, "{B57D3000-0AC6-4819-A609-272A33140ACA}", nullptr, -1,
                                nullptr,     nullptr, "0", false};
  if (d.boolean) {
    write_boolean(w, {d.feature, "Enable", nullptr, nullptr, false, &ext}, d.value_reg);
  } else {
    write_integer(w, {d.feature, "Value", nullptr, nullptr, false, &ext}, d.value_reg, d.minimum,
                  d.maximum, 1);
  }
  write_int_reg(w, d.value_reg, d.address, "RW");
  return hand_over(w, sink);
}

// ---- white balance -----------------------------------------------------------------------------

const char wb_item[] = "{284C0E0D-010B-45BF-8291-09D90A459B28}";

// Nodes of the white-balance document and the registers behind them.
const char wb_temperature_reg[] = "WB_Temperature_Reg";
const char wb_auto_reg[] = "WB_Temperature_Auto_Reg";
const char wb_one_push_reg[] = "WB_Temperature_OnePush_Reg";
const char wb_auto_range_reg[] = "WB_Temperature_AutoRange_Reg";
const char wb_red_reg[] = "WB_Temperature_R_Reg";
const char wb_green_reg[] = "WB_Temperature_G_Reg";
const char wb_blue_reg[] = "WB_Temperature_B_Reg";
const char wb_mode_reg[] = "WB_Mode_Reg";
// Locks: the automatic balance is on; the mode is grey world; either.
const char wb_auto_lock[] = "wb_temp_is_auto_enabled";
const char wb_grey_lock[] = "wb_mode_temp_ctrl_locked";
const char wb_temperature_lock[] = "WB_Mode_IsTempControlsAv";
const char wb_preset_converter[] = "wb_preset_converter";

const genapi_enum_entry wb_modes[] = {
    {"WB_Mode_Selector_GrayWorld", "Gray World", 0},
    {"WB_Mode_Selector_Temperature", "Temperature", 1},
};
const genapi_enum_entry wb_auto_ranges[] = {
    {"WB_Temperature_AutoRange_Any", "Any", 0},
    {"WB_Temperature_AutoRange_WarmWhite", "Auto Warm White", 1},
    {"WB_Temperature_AutoRange_CoolWhite", "Auto Cool White", 2},
    {"WB_Temperature_AutoRange_Daylight", "Auto Daylight", 3},
    {"WB_Temperature_AutoRange_DeepShade", "Auto Deep Shade", 4},
};
const genapi_enum_entry wb_presets[] = {
    {"WB_Temperature_Preset_2500", "Sodium-Vapor Lamp", 2500},
    {"WB_Temperature_Preset_2700", "Warm Light", 2700},
    {"WB_Temperature_Preset_3000", "Halogen Light", 3000},
    {"WB_Temperature_Preset_3500", "Neutral White", 3500},
    {"WB_Temperature_Preset_4000", "Cool White Fluorescent Light", 4000},
    {"WB_Temperature_Preset_5000", "Cool White/Daylight (CFL)", 5000},
    {"WB_Temperature_Preset_6000", "Daylight", 6000},
    {"WB_Temperature_Preset_7500", "Cool White LED", 7500},
    {"WB_Temperature_Preset_10000", "Blue Sky", 10000},
};
// A temperature read back shows as the nearest preset; every result is an
// entry of the preset list.
const char wb_preset_from[] =
    "TO < 2550 ? 2500 : TO < 2850 ? 2700 : TO < 3250 ? 3000 : TO < 3750 ? 3500 : "
    "TO < 4500 ? 4000 : TO < 5500 ? 5000 : TO < 6750 ? 6000 : TO < 8750 ? 7500 : 10000";

genapi_extension wb_extension(const char* element_guid, const char* default_value,
                              bool do_not_serialize = false) {
  return genapi_extension{wb_item, element_guid, nullptr, -1, nullptr, nullptr, default_value,
                          do_not_serialize};
}

// ---- tone mapping ---------------------------------------------------------------------------

const char tm_item[] = "{3d505ac4-1a28-428b-83e5-85aa8eb441c1}";
const char tm_enable_reg[] = "ToneMapping_Enable_Reg";
const char tm_auto_reg[] = "ToneMapping_Auto_Reg";
const char tm_locked[] = "ToneMapping_locked_elem";  // locked while tone mapping is off

struct tm_float {
  const char* name;
  const char* register_name;
  ULONG number;
  const char* display_name;
  const char* default_value;
  LONG minimum;  // hundredths
  LONG maximum;
  LONG order;
  bool guru;  // the factors: locked while automatic
};
const tm_float tm_floats[] = {
    {"ToneMapping_Intensity_Value", "ToneMapping_Intensity_Reg", feature_register::tone_mapping_intensity,
     "Intensity", "0.5", -800, 800, 1, false},
    {"ToneMapping_GlobalBrightness_Value", "ToneMapping_GlobalBrightness_Reg",
     feature_register::tone_mapping_brightness, "Global Brightness Factor", "0.5", 0, 100, 2, false},
    {"ToneMapping_MulFactor_Elem", "ToneMapping_MulFactor_Reg", feature_register::tone_mapping_a, "a",
     "1", -4000, 4000, 10, true},
    {"ToneMapping_AddFactor_Elem", "ToneMapping_AddFactor_Reg", feature_register::tone_mapping_b, "b",
     "0", -2000, 2000, 11, true},
    {"ToneMapping_PowFactor_Elem", "ToneMapping_PowFactor_Reg", feature_register::tone_mapping_c, "c",
     "1", 0, 400, 12, true},
    {"ToneMapping_LumAvg_Elem", "ToneMapping_LumAvg_Reg", feature_register::tone_mapping_lum_avg,
     "lum_avg", "0", 0, 100, 13, true},
};

// ---- named property sets ------------------------------------------------------------------------

const char nps_enum_reg[] = "NPS_Item_Enum_Reg";
const char nps_load_reg[] = "NPS_Item_LoadCmd_Reg";
const char nps_item[] = "{A24E5340-BC75-4B5B-B142-0917C2CCFB3D}";

// "NPS_Item_Enum_Entry_<index>" into `out` (at least 32 bytes).
void entry_name(char* out, ULONG index) {
  const char prefix[] = "NPS_Item_Enum_Entry_";
  ULONG at = 0;
  for (; prefix[at] != 0; ++at) out[at] = prefix[at];
  char digits[10];
  ULONG n = 0;
  do {
    digits[n++] = char('0' + index % 10);
    index /= 10;
  } while (index != 0);
  while (n > 0) out[at++] = digits[--n];
  out[at] = 0;
}

}  // namespace

NTSTATUS append_white_balance_document(register_description_sink* sink) {
  if (sink == nullptr) return STATUS_INVALID_PARAMETER;
  genapi_writer w;
  w.begin("RIR3Ezarav_Generated_Whitebalance", tooltip);
  const char* const features[] = {"WB_Temperature_Auto",      "WB_Temperature_OnePush",
                                  "WB_Mode_Selector",         "WB_Temperature_AutoRange",
                                  "WB_Temperature_Preset",    "WB_Temperature",
                                  "WB_Temperature_R",         "WB_Temperature_G",
                                  "WB_Temperature_B"};
  const genapi_extension item = {wb_item, nullptr, nullptr, -1, nullptr, nullptr, nullptr, false};
  write_categories(w, "Color", "WhiteBalance", "WhiteBalance", &item, features, ARRAYSIZE(features));

  const genapi_extension auto_ext = wb_extension("{B57D3001-0AC6-4819-A609-272A33140ACA}", "1");
  write_boolean(w, {"WB_Temperature_Auto", "Auto", nullptr, nullptr, false, &auto_ext}, wb_auto_reg);
  const genapi_extension one_push_ext = wb_extension("{B57D3002-0AC6-4819-A609-272A33140ACA}", nullptr);
  write_command(w, {"WB_Temperature_OnePush", "OnePush", nullptr, wb_auto_lock, false, &one_push_ext},
                wb_one_push_reg, 1);
  const genapi_extension mode_ext = wb_extension("{AB98F78D-18A6-4EB2-A556-C11010EC9DF7}", "0");
  write_enumeration(w, {"WB_Mode_Selector", "WhiteBalance Mode", nullptr, nullptr, false, &mode_ext},
                    wb_modes, ARRAYSIZE(wb_modes), wb_mode_reg);
  const genapi_extension range_ext = wb_extension("{E5F037C5-A466-4F80-A717-3E506053274A}", "0");
  write_enumeration(w, {"WB_Temperature_AutoRange", "Auto-Preset", nullptr, wb_grey_lock, false, &range_ext},
                    wb_auto_ranges, ARRAYSIZE(wb_auto_ranges), wb_auto_range_reg);
  const genapi_extension preset_ext = wb_extension("{88143B6D-A1C5-45D6-BF7F-95F6447AB1BE}", "6000", true);
  write_enumeration(w, {"WB_Temperature_Preset", "Temperature Preset", nullptr, wb_temperature_lock, false,
                        &preset_ext},
                    wb_presets, ARRAYSIZE(wb_presets), wb_preset_converter);
  const genapi_extension temperature_ext = wb_extension("{B8D65671-94E0-4DBB-9275-0C29D4F6BA87}", "6500");
  write_integer(w, {"WB_Temperature", "Temperature", nullptr, wb_temperature_lock, false, &temperature_ext},
                wb_temperature_reg, 2500, 10000, 100);
  const genapi_extension red_ext = wb_extension("{6519038B-1AD8-4E91-9021-66D64090CC85}", "64");
  write_integer(w, {"WB_Temperature_R", "White Balance Red", nullptr, wb_auto_lock, false, &red_ext},
                wb_red_reg, 0, 255, 1);
  const genapi_extension green_ext = wb_extension("{8407E480-175A-498C-8171-08BD987CC1AC}", "64");
  write_integer(w, {"WB_Temperature_G", "White Balance Green", nullptr, wb_auto_lock, false, &green_ext},
                wb_green_reg, 0, 255, 1);
  const genapi_extension blue_ext = wb_extension("{6519038A-1AD8-4E91-9021-66D64090CC85}", "64");
  write_integer(w, {"WB_Temperature_B", "White Balance Blue", nullptr, wb_auto_lock, false, &blue_ext},
                wb_blue_reg, 0, 255, 1);

  write_int_reg(w, wb_temperature_reg, feature_register::wb_temperature, "RW");
  write_int_reg(w, wb_auto_reg, feature_register::wb_auto, "RW");
  write_int_reg(w, wb_one_push_reg, feature_register::wb_one_push, "RW");
  write_int_reg(w, wb_auto_range_reg, feature_register::wb_auto_preset, "RW");
  write_int_reg(w, wb_red_reg, feature_register::wb_red, "RW");
  write_int_reg(w, wb_green_reg, feature_register::wb_green, "RW");
  write_int_reg(w, wb_blue_reg, feature_register::wb_blue, "RW");
  write_int_reg(w, wb_mode_reg, feature_register::wb_mode, "RW");

  write_int_converter(w, wb_preset_converter, "FROM", wb_preset_from, wb_temperature_reg, "Varying");
  const char* const is_enabled[][2] = {{"is_enabled", wb_auto_reg}};
  write_int_swiss_knife(w, wb_auto_lock, is_enabled, 1, "is_enabled = 1 ? 1 : 0");
  const char* const mode[][2] = {{"mode", wb_mode_reg}};
  write_int_swiss_knife(w, wb_grey_lock, mode, 1, "mode = 0 ? 1 : 0");
  const char* const mode_and_auto[][2] = {{"mode", wb_mode_reg}, {"is_auto_enabled", wb_auto_reg}};
  write_int_swiss_knife(w, wb_temperature_lock, mode_and_auto, 2,
                        "(mode = 0 || is_auto_enabled = 1) ? 1 : 0");
  return hand_over(w, sink);
}

NTSTATUS append_highlight_reduction_document(register_description_sink* sink) {
  return append_single_feature_document(
      {"RIR3Ezarav_Generated_HighlightReduction", "{546541AD-C815-4D82-AFA9-9D59AF9F399E}", "Exposure",
       "Highlight_Reduction_Feature", "Highlight reduction", "Highlight_Reduction_Prop",
       "Highlight_Reduction_Reg", feature_register::highlight_reduction, true, 0, 0},
      sink);
}

NTSTATUS append_denoise_document(register_description_sink* sink) {
  return append_single_feature_document(
      {"RIR3Ezarav_Generated_Denoise", "{C3C9944A-E6F6-4E25-A0BE-53C066AB65D8}", "Image", "Denoise_Item",
       "Denoise", "Denoise_Item_Amount", "Denoise_Item_Amount_Reg", feature_register::denoise, false, 0,
       25},
      sink);
}

NTSTATUS append_tone_mapping_document(register_description_sink* sink) {
  if (sink == nullptr) return STATUS_INVALID_PARAMETER;
  genapi_writer w;
  w.begin("RIR3Ezarav_Generated_Tonemapping", tooltip);
  const char* const features[] = {"ToneMapping_Supports_8Bit",   "ToneMapping_Enable_Val",
                                  "ToneMapping_Intensity_Value", "ToneMapping_GlobalBrightness_Value",
                                  "ToneMapping_Auto_Elem",       "ToneMapping_MulFactor_Elem",
                                  "ToneMapping_AddFactor_Elem",  "ToneMapping_PowFactor_Elem",
                                  "ToneMapping_LumAvg_Elem"};
  const genapi_extension item = {tm_item, nullptr, nullptr, -1, nullptr, nullptr, nullptr, false};
  write_categories(w, "WDR", "ToneMapping_Item", "Tone Mapping", &item, features, ARRAYSIZE(features));

  write_boolean_constant(w, {"ToneMapping_Supports_8Bit", nullptr, nullptr, nullptr, true, nullptr}, true);
  const genapi_extension enable_ext = {tm_item, nullptr, nullptr, 0, nullptr, nullptr, "0", false};
  write_boolean(w, {"ToneMapping_Enable_Val", "Enable", nullptr, nullptr, false, &enable_ext}, tm_enable_reg);
  // Automatic factors make sense only while tone mapping is on.
  const genapi_extension auto_ext = {tm_item, nullptr, nullptr, 8, nullptr, nullptr, "1", false};
  write_boolean(w, {"ToneMapping_Auto_Elem", "Auto", nullptr, tm_locked, false, &auto_ext}, tm_auto_reg);
  for (const tm_float& f : tm_floats) {
    const genapi_extension ext = {tm_item, nullptr, nullptr, f.order, nullptr, nullptr, f.default_value, false};
    write_float(w, {f.name, f.display_name, f.guru ? "Guru" : nullptr, f.guru ? tm_auto_reg : tm_locked, false,
                    &ext},
                f.register_name, f.minimum, f.maximum);
  }
  write_int_reg(w, tm_enable_reg, feature_register::tone_mapping_enable, "RW");
  write_int_reg(w, tm_auto_reg, feature_register::tone_mapping_auto, "RW");
  for (const tm_float& f : tm_floats) write_float_reg(w, f.register_name, f.number, "RW");
  const char* const enabled[][2] = {{"enabled", tm_enable_reg}};
  write_int_swiss_knife(w, tm_locked, enabled, 1, "enabled = 0 ? 1 : 0");
  return hand_over(w, sink);
}

NTSTATUS append_sensor_wdr_document(register_description_sink* sink) {
  if (sink == nullptr) return STATUS_INVALID_PARAMETER;
  genapi_writer w;
  w.begin("RIR3Ezarav_Generated_IMX236_WDR", tooltip);
  const char item_guid[] = "{AA5A18E6-B052-4DCD-BBF0-4A16F435EA9A}";
  const genapi_extension item = {item_guid, nullptr, nullptr, -1, "WDR", "IMX236 WDR Mode", nullptr, false};
  const char* const feature = "WDR_IMX236_Item_Value";
  write_categories(w, "WDR", "WDR_IMX236_Item", "IMX236 WDR Mode", &item, &feature, 1);
  const genapi_extension ext = {item_guid, nullptr, nullptr, -1, "WDR", "IMX236 WDR Mode", "0", false};
  write_boolean(w, {feature, "Enable", nullptr, nullptr, false, &ext}, "WDR_IMX236_Item_Reg");
  write_int_reg(w, "WDR_IMX236_Item_Reg", feature_register::sensor_wdr, "RW");
  return hand_over(w, sink);
}

NTSTATUS append_named_sets_document(register_description_sink* sink, const named_set_name* names,
                                    ULONG count) {
  if (sink == nullptr || names == nullptr || count == 0) return STATUS_INVALID_PARAMETER;
  genapi_writer w;
  w.begin("ZEZEzezoz_Generated_GenICam_NPS", "ZEZEzezoz generated GenICam for NPS");
  const char* const features[] = {"NPS_Item_Enum", "NPS_Item_LoadCmd_Elem"};
  const genapi_extension item = {nps_item, nullptr, nullptr, -1, nullptr, nullptr, nullptr, false};
  write_categories(w, "Device_Items", "NPS_Item", "Named Property Sets", &item, features, ARRAYSIZE(features));
  write_int_reg(w, nps_enum_reg, feature_register::named_set_selected, "RW");
  write_int_reg(w, nps_load_reg, feature_register::named_set_load, "WO");
  const genapi_extension load_ext = {nps_item, "{5EB42E01-C231-458D-9724-430095088D18}", nullptr, -1,
                                     nullptr,  nullptr, nullptr, false};
  write_command(w, {"NPS_Item_LoadCmd_Elem", "Load set", nullptr, nullptr, false, &load_ext}, nps_load_reg, 1);

  // The enumeration, an entry per set: written here rather than through
  // write_enumeration, since the display names are the sets' byte strings.
  const genapi_extension enum_ext = {nps_item, "{54F4C7E5-B045-4D63-A277-9B239E8D3129}", nullptr, -1,
                                     nullptr,  nullptr, "0", false};
  w.open("Enumeration", "NPS_Item_Enum");
  w.open("Extension");
  w.element("VCDItemGUID", enum_ext.item_guid);
  w.element("VCDElementGUID", enum_ext.element_guid);
  w.element("Default", enum_ext.default_value);
  w.close("Extension");
  w.element("DisplayName", "Available sets");
  for (ULONG i = 0; i < count; ++i) {
    char name[32];
    entry_name(name, i);
    // A name ends at its terminating zero or its length, whichever comes first.
    char display[101];
    ULONG n = 0;
    for (; n < names[i].length && n + 1 < sizeof(display) && names[i].text[n] != 0; ++n) {
      display[n] = names[i].text[n];
    }
    display[n] = 0;
    w.open("EnumEntry", name);
    w.element("DisplayName", display);
    w.element("Value", LONG(i));
    w.close("EnumEntry");
  }
  w.element("pValue", nps_enum_reg);
  w.close("Enumeration");
  return hand_over(w, sink);
}
