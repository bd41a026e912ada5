// attach_camera_features: the camera's features in the order their frame
// operations must run (camera_features.h). The exposure feature clears
// the highlight protection that the image features then set, so it comes
// first; the work item writes gain, focus, exposure and white balance in
// the group's own order whatever the attach order.
#include "features/camera_features.h"

#include "controls/control_registry.h"
#include "features/feature_objects.h"

bool camera_answers(uvc_camera* camera, const GUID& set, ULONG id) {
  bool get = false;
  return NT_SUCCESS(has_property(camera, set, id, &get, nullptr)) && get;
}

NTSTATUS attach_camera_features(uvc_camera* camera, feature_group* group,
                                const feature_setup& setup) {
  if (camera == nullptr || group == nullptr || setup.sensor == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  typedef NTSTATUS (*attach_function)(uvc_camera*, feature_group*, const feature_setup&);
  static const attach_function order[] = {
      attach_exposure_automation, attach_gain_automation, attach_white_balance,
      attach_colour_enhancement,  attach_image_features,  attach_focus_region,
      attach_sensor_wdr,
  };
  for (attach_function attach : order) {
    const NTSTATUS status = attach(camera, group, setup);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}
