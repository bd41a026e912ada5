// camera_82xx: the common class of the 0x82xx products, never created
// directly: each product has a subclass that says how its sensor is
// configured, whether it takes the image-feature defaults and which frame
// rates it runs at. Three virtual operations follow uvc_camera's 31 slots,
// in this order. The subclasses and the family's formats, controls and
// transform come with the family itself; until then no product row creates
// an 0x82xx camera (camera_factory.cpp).
#pragma once

#include "uvc/uvc_camera.h"

// One frame interval (100 ns) and the camera's index of that rate.
struct frame_rate_entry {
  ULONG interval;
  ULONG rate_index;
};

class camera_82xx : public uvc_camera {
 public:
  static constexpr ULONG model_code = 5;

  // Slot 31: the sensor's colour, Bayer pattern and white-balance flags,
  // from on_init_begin before the controls are created.
  virtual NTSTATUS configure_sensor();
  // Slot 32: whether on_init_end applies the image-feature defaults.
  virtual bool wants_feature_defaults();
  // Slot 33: the (interval, rate index) pairs of a frame width, in the
  // caller's array of `*count` entries; `*count` becomes the number of
  // pairs. A camera without a table answers STATUS_NOT_IMPLEMENTED and
  // an empty table: the intervals then come from the UVC descriptors.
  virtual NTSTATUS get_frame_rate_table(ULONG width, frame_rate_entry* table, ULONG* count);

 protected:
  camera_82xx(PDEVICE_OBJECT device_object, frame_sink* sink);
};
