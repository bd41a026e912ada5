// The camera factory: picks the camera class for a USB product identifier
// and constructs it. PASSIVE_LEVEL, called once per device start.
//
// camera_model_table holds every product row of the driver in search
// order. A row with a null creation function never matches (every row of
// the table has one).
#pragma once

#include "avstream/frame_sink.h"
#include "kernel/kernel_api.h"

class uvc_camera;

// Allocates a camera of one class from non-paged pool ("Auvc"), zero-filled,
// and constructs it; null when out of memory.
typedef uvc_camera* (*camera_creation_function)(PDEVICE_OBJECT physical_device_object,
                                                frame_sink* sink);

struct camera_model_row {
  ULONG product_id;                 // idProduct
  camera_creation_function create;  // null: never matches
};

constexpr ULONG camera_model_count = 30;
extern const camera_model_row camera_model_table[camera_model_count];

// The creation function for `product_id`: the first row with that product
// and a creation function; without one, camera_84xx when the high byte is
// 0x84 to 0x89, else the plain uvc_camera.
camera_creation_function find_camera_creation(USHORT product_id);

// The plain USB Video Class camera.
uvc_camera* create_uvc_camera(PDEVICE_OBJECT physical_device_object, frame_sink* sink);

// A new camera for the device whose 18-byte USB device descriptor is
// `device_descriptor` (idProduct is its 16-bit field at byte 10), built with
// the camera's construction arguments: the USB device's physical device
// object and the sink its frames go to. Null when out of memory. The caller
// owns the camera and destroys it through its virtual destructor.
uvc_camera* create_camera(const UCHAR* device_descriptor, PDEVICE_OBJECT physical_device_object,
                          frame_sink* sink);
