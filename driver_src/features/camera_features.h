// camera_features: the one call by which a raw-sensor camera family sets up
// its image features, and what it tells them about the camera. The family
// calls attach_camera_features from on_init_end, after its controls exist
// (on_init_begin) and its formats are known; the features registered here
// get their saved values when uvc_camera::init runs apply_defaults.
//
// Register descriptions: a feature that publishes one appends it with
// append_register_description to the camera's list of documents (the list
// and its control are their own subsystem; until it exists the family
// passes a null sink and no document is published).
#pragma once

#include "features/image_feature.h"

class register_description_sink;

// Bits of feature_setup::white_balance_flags (the families' flags word).
namespace white_balance_flag {
// The camera sends raw mosaics that the driver balances itself.
constexpr ULONG raw_balance = 0x10;
}  // namespace white_balance_flag

struct feature_setup {
  bool colour;                  // a Bayer camera; mono cameras get no white balance
  ULONG white_balance_flags;    // white_balance_flag bits
  img::bayer_pattern pattern;   // of the camera's raw frames
  // The sensor's colour-temperature table: from the camera or built in;
  // null when the camera has none (white balance then works by grey world
  // only). Owned by the family, lives as long as the camera.
  const img::wb_temperature_table* temperature_table;
  // The camera answers white-balance components of its own (vendor
  // property 101): the driver then leaves the raw balance to the camera.
  bool camera_has_colour_channels;
  sensor_access* sensor;        // the camera's exposure, gain and focus; not null
  register_description_sink* documents;  // null: no register descriptions
  // Largest frame the camera delivers (region-of-interest features).
  ULONG max_width;
  ULONG max_height;
};

// Creates and attaches the camera's features to `group`: exposure and gain
// automation, and on colour cameras white balance and colour enhancement,
// plus the image features. STATUS_INSUFFICIENT_RESOURCES when a feature
// cannot be allocated (the family's init then fails with it); a feature the
// camera cannot have is left out. PASSIVE_LEVEL.
NTSTATUS attach_camera_features(uvc_camera* camera, feature_group* group,
                                const feature_setup& setup);

// Built-in colour-temperature tables of the camera families, by index
// (0..5); null for an index without a table.
const img::wb_temperature_table* builtin_temperature_table(ULONG index);
