// Colour enhancement: the colour matrix the debayer applies (rows R, G, B
// of output, columns R, G, B of input; 64 = 1.0) and its switch. The
// automatic loops measure through the same matrix, so the balance they
// find is the one the client sees.
//
// Keys: camera_feature_set 0 (enable) and 1 to 9 (the factors, row by row).
#include "features/feature_objects.h"
#include "features/value_feature.h"
#include "kernel/pool_tags.h"

namespace {

constexpr ULONG factor_count = 9;
constexpr ULONG enable = 0;  // then the nine factors

// The stored default matrix: 90 on the diagonal, -13 elsewhere, so every
// row sums to 64 and grey stays grey.
constexpr LONG diagonal = 90;
constexpr LONG off_diagonal = -13;
constexpr LONG factor_min = -256;  // -4.0 .. 4.0
constexpr LONG factor_max = 256;

const value_def colour_defs[1 + factor_count] = {
    {L"ColorEnhancementEnable", value_type::flag, 0, 1, 0, 1, false},
    {L"ColorEnhancement_MatrixFactor_R_R", value_type::number, factor_min, factor_max, diagonal, 1, false},
    {L"ColorEnhancement_MatrixFactor_R_G", value_type::number, factor_min, factor_max, off_diagonal, 1, false},
    {L"ColorEnhancement_MatrixFactor_R_B", value_type::number, factor_min, factor_max, off_diagonal, 1, false},
    {L"ColorEnhancement_MatrixFactor_G_R", value_type::number, factor_min, factor_max, off_diagonal, 1, false},
    {L"ColorEnhancement_MatrixFactor_G_G", value_type::number, factor_min, factor_max, diagonal, 1, false},
    {L"ColorEnhancement_MatrixFactor_G_B", value_type::number, factor_min, factor_max, off_diagonal, 1, false},
    {L"ColorEnhancement_MatrixFactor_B_R", value_type::number, factor_min, factor_max, off_diagonal, 1, false},
    {L"ColorEnhancement_MatrixFactor_B_G", value_type::number, factor_min, factor_max, off_diagonal, 1, false},
    {L"ColorEnhancement_MatrixFactor_B_B", value_type::number, factor_min, factor_max, diagonal, 1, false},
};

class colour_enhancement_feature : public value_feature {
 public:
  explicit colour_enhancement_feature(feature_group* group)
      : value_feature(feature_kind::colour, group, colour_defs, ARRAYSIZE(colour_defs)) {}

  NTSTATUS attach(uvc_camera* camera) {
    for (ULONG i = 0; i <= factor_count; ++i) {
      const NTSTATUS status = serve(camera, camera_feature_set, feature_id::colour_enhancement_enable + i, i,
                                    control_level_override);
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  }

  void fill_auto_settings(img::auto_settings& settings) override {
    for (ULONG i = 0; i < factor_count; ++i) settings.stat_matrix[i] = int16_t(values_[1 + i]);
    settings.stat_matrix_enable = values_[enable] != 0;
  }

  void fill_transform_params(img::transform_params& params) override {
    for (ULONG i = 0; i < factor_count; ++i) params.color_matrix[i] = int16_t(values_[1 + i]);
    params.color_matrix_enable = values_[enable] != 0 ? 1 : 0;
  }
};

}  // namespace

NTSTATUS attach_colour_enhancement(uvc_camera* camera, feature_group* group,
                                   const feature_setup& setup) {
  if (!setup.colour) return STATUS_SUCCESS;
  auto* feature = new (NonPagedPoolNx, pool_tag::objects) colour_enhancement_feature(group);
  const NTSTATUS status = group->attach(camera, feature);
  return NT_SUCCESS(status) ? feature->attach(camera) : status;
}
