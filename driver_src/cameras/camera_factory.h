// The camera factory: picks the camera class for a USB product identifier
// and constructs it. PASSIVE_LEVEL, called once per device start.
#pragma once

#include "avstream/frame_sink.h"
#include "kernel/kernel_api.h"

class uvc_camera;

// A new camera for the device whose 18-byte USB device descriptor is
// `device_descriptor` (idProduct is its 16-bit field at byte 10), built with
// the camera's construction arguments: the USB device's physical device
// object and the sink its frames go to. Null when out of memory. The caller
// owns the camera and destroys it through its virtual destructor.
uvc_camera* create_camera(const UCHAR* device_descriptor, PDEVICE_OBJECT physical_device_object,
                          frame_sink* sink);
