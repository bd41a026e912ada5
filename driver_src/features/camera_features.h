// camera_features: the one call by which a raw-sensor camera family sets up
// its image features, and what it tells them about the camera. The family
// calls attach_camera_features from on_init_end, after its controls exist
// (on_init_begin) and its formats are known; the features registered here
// get their saved values when uvc_camera::init runs apply_defaults.
//
// Register descriptions: a feature that publishes one appends it to the
// sink the family passes (features/documents/register_descriptions.h: a
// register_description_store keeps them for the camera's document list);
// with a null sink no document is published.
#pragma once

#include "features/image_feature.h"

class register_description_sink;

// Bits of feature_setup::white_balance_flags (the families' flags word).
namespace white_balance_flag {
// The camera sends raw mosaics that the driver balances itself.
constexpr ULONG raw_balance = 0x10;
}  // namespace white_balance_flag

struct feature_setup {
  bool colour;                 // a Bayer camera; mono cameras get no white balance
  ULONG white_balance_flags;   // white_balance_flag bits
  img::bayer_pattern pattern;  // of the camera's raw frames
  // The sensor's colour-temperature table: from the camera or built in;
  // null when the camera has none (white balance then works by grey world
  // only). Owned by the family, lives as long as the camera.
  const img::wb_temperature_table* temperature_table;
  // The camera answers white-balance components of its own (vendor
  // property 101): the driver then leaves the raw balance to the camera.
  bool camera_has_colour_channels;
  sensor_access* sensor;                 // the camera's exposure, gain and focus; not null
  register_description_sink* documents;  // null: no register descriptions
  // Largest frame the camera delivers (region-of-interest features).
  ULONG max_width;
  ULONG max_height;
  // Microseconds per unit of the sensor's exposure (sensor_access): 1 on
  // the 84xx, 100 on the 83xx. 0 counts as 100.
  ULONG exposure_unit_us;
  // The sensor's code as the camera reports it, 0 when unknown; selects
  // sensor-specific features (the IMX236's wide dynamic range).
  ULONG sensor_code;
};

// Creates and attaches the camera's features to `group`, in this order:
// exposure and gain automation; on colour cameras white balance and colour
// enhancement; the image features (brightness, contrast, gamma, sharpness,
// denoise, tone mapping, highlight reduction, and hue and saturation on
// colour cameras); the focus region when the sensor has a focus motor; the
// sensor's wide dynamic range on IMX236 sensors. Each registers its
// property keys and publishes its documents to `setup.documents`.
// STATUS_INSUFFICIENT_RESOURCES when a feature or a document cannot be
// allocated (the family's init then fails with it); a feature the camera
// cannot have is left out. PASSIVE_LEVEL, from on_init_end (before
// uvc_camera::init applies the saved values).
NTSTATUS attach_camera_features(uvc_camera* camera, feature_group* group,
                                const feature_setup& setup);

// Built-in colour-temperature tables of the camera families, by index
// (0..5); null for an index without a table.
const img::wb_temperature_table* builtin_temperature_table(ULONG index);
