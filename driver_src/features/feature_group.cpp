// feature_group: the features of one camera and the order their frame and
// work-item operations run in (image_feature.h).
#include "features/image_feature.h"

#include "uvc/uvc_camera.h"

feature_group::feature_group() : features_(), count_(0) { KeInitializeSpinLock(&lock_); }

NTSTATUS feature_group::attach(uvc_camera* camera, image_feature* feature) {
  if (feature == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // The camera owns the object from here on, whatever happens next.
  NTSTATUS status = camera->add_owned_object(feature);
  if (!NT_SUCCESS(status)) {
    delete feature;
    return status;
  }
  if (count_ == capacity) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  features_[count_++] = feature;
  return STATUS_SUCCESS;
}

image_feature* feature_group::find(feature_kind kind) const {
  for (ULONG i = 0; i < count_; ++i) {
    if (features_[i]->kind() == kind) return features_[i];
  }
  return nullptr;
}

void feature_group::fill_auto_settings(img::auto_settings& settings) {
  for (ULONG i = 0; i < count_; ++i) features_[i]->fill_auto_settings(settings);
}

bool feature_group::take_auto_result(const img::auto_result& result,
                                     const img::auto_settings& settings, auto_changes& changes) {
  for (ULONG i = 0; i < count_; ++i) features_[i]->take_auto_result(result, settings, changes);
  return changes.exposure_changed || changes.gain_changed || changes.focus_changed ||
         changes.white_balance_changed;
}

void feature_group::fill_transform_params(img::transform_params& params) {
  for (ULONG i = 0; i < count_; ++i) features_[i]->fill_transform_params(params);
}

void feature_group::after_transform(const img::transform_params& params) {
  for (ULONG i = 0; i < count_; ++i) features_[i]->after_transform(params);
}

NTSTATUS feature_group::write_to_camera(uvc_camera* camera, const auto_changes& changes) {
  // The order the camera receives them in: gain, focus position, exposure,
  // then the white-balance gains of a camera that applies them itself.
  static const feature_kind order[] = {feature_kind::gain, feature_kind::focus,
                                       feature_kind::exposure, feature_kind::white_balance};
  const bool changed[] = {changes.gain_changed, changes.focus_changed, changes.exposure_changed,
                          changes.white_balance_changed};
  NTSTATUS result = STATUS_SUCCESS;
  for (ULONG k = 0; k < ARRAYSIZE(order); ++k) {
    if (!changed[k]) continue;
    for (ULONG i = 0; i < count_; ++i) {
      if (features_[i]->kind() != order[k]) continue;
      const NTSTATUS status = features_[i]->write_to_camera(camera, changes);
      if (NT_SUCCESS(result) && !NT_SUCCESS(status)) result = status;
    }
  }
  return result;
}
