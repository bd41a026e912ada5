// The image features: the corrections the pipe makes on every frame that
// the camera does not make itself. Brightness, contrast, hue, saturation,
// sharpness and gamma are the standard video-processing-amplifier
// properties, taken over where the camera has no control of its own (hue
// and saturation on colour cameras only); denoise, highlight reduction and
// tone mapping are the driver's own.
//
// The gamma table (0x20100 bytes) is built when the gamma changes, at
// PASSIVE_LEVEL into a spare table that then takes the place of the
// current one under the group lock; every frame copies the current one
// into its parameters.
#include "features/documents/feature_documents.h"
#include "features/feature_objects.h"
#include "features/value_feature.h"
#include "kernel/pool_tags.h"

namespace {

enum image_value : ULONG {
  brightness,
  contrast,
  hue,
  saturation,
  sharpness,
  gamma,
  denoise,
  highlight,
  tm_enable,
  tm_intensity,
  tm_brightness,
  tm_auto,
  tm_a,
  tm_b,
  tm_c,
  tm_lum_avg,
  image_count
};

constexpr LONG neutral_saturation = 64;
constexpr LONG neutral_gamma = 100;
constexpr LONG contrast_scale = 5;  // the pipe's contrast is in 1/256

const value_def image_defs[image_count] = {
    {L"Brightness", value_type::number, -128, 128, 0, 1, false},  // 1/256 of full scale
    {L"Contrast", value_type::number, -50, 50, 0, 1, false},
    {L"Hue", value_type::number, -180, 180, 0, 1, false},  // degrees
    {L"Saturation", value_type::number, 0, 255, neutral_saturation, 1, false},
    {L"Sharpness", value_type::number, 0, 14, 0, 1, false},
    {L"Gamma", value_type::number, 1, 500, neutral_gamma, 1, false},  // gamma x 100
    {L"Denoise", value_type::number, 0, 25, 0, 1, false},
    {L"HighlightReductionEnable", value_type::flag, 0, 1, 0, 1, false},
    {L"TonemappingEnable", value_type::flag, 0, 1, 0, 1, false},
    // Floats, bounds in hundredths; stored as the bits of the float.
    {L"TonemappingIntensity", value_type::real, -800, 800, 50, 1, false},
    {L"TonemappingGlobalBrightnessFactor", value_type::real, 0, 100, 50, 1, false},
    {L"TonemappingAuto", value_type::flag, 0, 1, 1, 1, false},
    {L"TonemappingMulFactor", value_type::real, -4000, 4000, 100, 1, false},
    {L"TonemappingAddFactor", value_type::real, -2000, 2000, 0, 1, false},
    {L"TonemappingPowFactor", value_type::real, 0, 400, 100, 1, false},
    {L"TonemappingLumAvg", value_type::real, 0, 100, 0, 1, false},
};

// Keys of the standard values, by value.
const ULONG procamp_ids[] = {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, KSPROPERTY_VIDEOPROCAMP_CONTRAST,
                             KSPROPERTY_VIDEOPROCAMP_HUE,        KSPROPERTY_VIDEOPROCAMP_SATURATION,
                             KSPROPERTY_VIDEOPROCAMP_SHARPNESS,  KSPROPERTY_VIDEOPROCAMP_GAMMA};

struct register_binding {
  ULONG number;
  ULONG value;
};
const register_binding registers[] = {
    {feature_register::denoise, denoise},
    {feature_register::highlight_reduction, highlight},
    {feature_register::tone_mapping_enable, tm_enable},
    {feature_register::tone_mapping_intensity, tm_intensity},
    {feature_register::tone_mapping_brightness, tm_brightness},
    {feature_register::tone_mapping_auto, tm_auto},
    {feature_register::tone_mapping_a, tm_a},
    {feature_register::tone_mapping_b, tm_b},
    {feature_register::tone_mapping_c, tm_c},
    {feature_register::tone_mapping_lum_avg, tm_lum_avg},
};

LONG float_bits(float f) {
  LONG bits;
  RtlCopyMemory(&bits, &f, sizeof(bits));
  return bits;
}

img::gamma_table* allocate_table() {
  return static_cast<img::gamma_table*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(img::gamma_table), pool_tag::objects));
}

class image_features : public value_feature {
 public:
  explicit image_features(feature_group* group)
      : value_feature(feature_kind::image, group, image_defs, image_count),
        available_(),
        table_(nullptr),
        spare_(nullptr),
        table_gamma_(neutral_gamma) {}

  ~image_features() override {
    if (table_ != nullptr) ExFreePoolWithTag(table_, pool_tag::objects);
    if (spare_ != nullptr) ExFreePoolWithTag(spare_, pool_tag::objects);
  }

  NTSTATUS attach(uvc_camera* camera, const feature_setup& setup) {
    for (ULONG i = 0; i < image_count; ++i) available_[i] = true;
    for (ULONG i = brightness; i <= gamma; ++i) {
      const bool colour_only = i == hue || i == saturation;
      available_[i] = (setup.colour || !colour_only) &&
                      !camera_answers(camera, PROPSETID_VIDCAP_VIDEOPROCAMP, procamp_ids[i]);
    }
    if (available_[gamma]) {
      table_ = allocate_table();
      spare_ = allocate_table();
      if (table_ == nullptr || spare_ == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = brightness; i <= gamma && NT_SUCCESS(status); ++i) {
      if (available_[i]) {
        status = serve(camera, PROPSETID_VIDCAP_VIDEOPROCAMP, procamp_ids[i], i, control_level_override);
      }
    }
    if (NT_SUCCESS(status)) status = serve(camera, camera_feature_set, feature_id::denoise, denoise, control_level_override);
    if (NT_SUCCESS(status)) {
      status = serve(camera, camera_feature_set, feature_id::highlight_reduction, highlight, control_level_override);
    }
    if (NT_SUCCESS(status)) {
      status = serve(camera, camera_feature_set, feature_id::tone_mapping_enable, tm_enable, control_level_override);
    }
    for (const register_binding& r : registers) {
      if (NT_SUCCESS(status)) status = serve(camera, named_property_set, r.number, r.value, control_level_base);
    }
    register_description_sink* sink = setup.documents;
    if (NT_SUCCESS(status) && sink != nullptr) status = append_highlight_reduction_document(sink);
    if (NT_SUCCESS(status) && sink != nullptr) status = append_denoise_document(sink);
    if (NT_SUCCESS(status) && sink != nullptr) status = append_tone_mapping_document(sink);
    return status;
  }

  void fill_auto_settings(img::auto_settings& settings) override {
    settings.highlight_protection = values_[highlight] != 0;
  }

  void fill_transform_params(img::transform_params& params) override {
    params.brightness = available_[brightness] ? values_[brightness] : 0;
    params.contrast = available_[contrast] ? values_[contrast] * contrast_scale : 0;
    params.hue = available_[hue] ? values_[hue] : 0;
    params.saturation = available_[saturation] ? values_[saturation] - neutral_saturation : 0;
    params.sharpness = available_[sharpness] ? values_[sharpness] : 0;
    params.denoise = values_[denoise];
    // The gamma the current table was built for.
    params.gamma = table_gamma_;
    params.gamma_enable = table_gamma_ != neutral_gamma ? 1 : 0;
    if (params.gamma_enable != 0) RtlCopyMemory(&params.gamma_lut, table_, sizeof(img::gamma_table));
    params.tonemapping_enable = values_[tm_enable] != 0 ? 1 : 0;
    params.tonemapping_manual = values_[tm_auto] == 0 ? 1 : 0;
    params.tonemapping_intensity = real(tm_intensity);
    params.tonemapping_global_brightness_factor = real(tm_brightness);
    for (ULONG i = 0; i < 4; ++i) params.tonemapping_factors[i] = real(tm_a + i);
  }

  void after_transform(const img::transform_params& params) override {
    // Automatic tone mapping: the factors the pipe computed become the
    // values clients read.
    if (values_[tm_enable] == 0 || values_[tm_auto] == 0) return;
    for (ULONG i = 0; i < 4; ++i) values_[tm_a + i] = float_bits(params.tonemapping_factors[i]);
  }

 protected:
  void changed(uvc_camera*, ULONG index) override {
    if (index != gamma || !available_[gamma]) return;
    const LONG g = read(gamma);
    img::build_gamma_lut(*spare_, g);
    feature_lock lock(group_);
    img::gamma_table* built = spare_;
    spare_ = table_;
    table_ = built;
    table_gamma_ = g;
  }

 private:
  bool available_[image_count];  // the driver makes this correction
  img::gamma_table* table_;      // for table_gamma_; non-paged (read under the spin lock)
  img::gamma_table* spare_;      // the next one is built here
  LONG table_gamma_;
};

}  // namespace

NTSTATUS attach_image_features(uvc_camera* camera, feature_group* group, const feature_setup& setup) {
  auto* feature = new (NonPagedPoolNx, pool_tag::objects) image_features(group);
  const NTSTATUS status = group->attach(camera, feature);
  return NT_SUCCESS(status) ? feature->attach(camera, setup) : status;
}
