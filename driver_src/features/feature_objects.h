// The feature objects behind attach_camera_features (camera_features.h).
// Each attach_* function creates its feature, hands it to the group (and
// so to the camera), registers its property keys and appends its
// documents to setup.documents. A feature the camera cannot have is left
// out with success; STATUS_INSUFFICIENT_RESOURCES when the pool has no
// room. PASSIVE_LEVEL, while the camera initialises.
//
// Keys of the standard sets and of the driver's own sets are registered at
// level 2 (over what the camera or its family answers); the virtual
// registers (named_property_set) at level 0.
#pragma once

#include "features/camera_features.h"

// Ids of camera_feature_set the features answer (48-byte value records).
namespace feature_id {
constexpr ULONG colour_enhancement_enable = 0;
constexpr ULONG colour_matrix_first = 1;  // 1 to 9: R_R, R_G, R_B, G_R, G_G, G_B, B_R, B_G, B_B
constexpr ULONG denoise = 10;
constexpr ULONG highlight_reduction = 11;
constexpr ULONG tone_mapping_enable = 12;
}  // namespace feature_id

// Exposure automation (camera control 4 and key 109 over the family's
// exposure, keys 106, 201, 202) and gain automation (video processing
// amplifier 9 and key 241 over the family's gain).
NTSTATUS attach_exposure_automation(uvc_camera* camera, feature_group* group,
                                    const feature_setup& setup);
NTSTATUS attach_gain_automation(uvc_camera* camera, feature_group* group,
                                const feature_setup& setup);
// White balance: video processing amplifier 7, keys 102, 206, 101, 107 and
// registers 2 to 9; its document when the camera has a temperature table.
NTSTATUS attach_white_balance(uvc_camera* camera, feature_group* group, const feature_setup& setup);
// Colour enhancement: camera_feature_set 0 to 9.
NTSTATUS attach_colour_enhancement(uvc_camera* camera, feature_group* group,
                                   const feature_setup& setup);
// Brightness, contrast, hue, saturation, sharpness and gamma (video
// processing amplifier 0 to 5, where the camera has none of its own),
// denoise, highlight reduction and tone mapping (camera_feature_set 10 to
// 12, registers 0x01, 0x0A, 0x20 to 0x3C) with their documents.
NTSTATUS attach_image_features(uvc_camera* camera, feature_group* group, const feature_setup& setup);
// Focus region and one-push focus (keys 247 to 251, 124) when the sensor
// has a focus motor.
NTSTATUS attach_focus_region(uvc_camera* camera, feature_group* group, const feature_setup& setup);
// The IMX236's wide dynamic range (register 0x80) with its document.
NTSTATUS attach_sensor_wdr(uvc_camera* camera, feature_group* group, const feature_setup& setup);

// True when the camera itself answers the key (at any level), before a
// feature registers over it.
bool camera_answers(uvc_camera* camera, const GUID& set, ULONG id);
