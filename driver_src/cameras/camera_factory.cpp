// The camera factory. Every product is driven by the plain USB Video Class
// camera for now; the camera families get their product rows when they
// exist, and the product identifier (device descriptor byte 10) is looked
// up then.
#include "cameras/camera_factory.h"

#include "kernel/pool_tags.h"
#include "uvc/uvc_camera.h"

uvc_camera* create_camera(const UCHAR* device_descriptor, PDEVICE_OBJECT physical_device_object,
                          frame_sink* sink) {
  if (device_descriptor == nullptr) return nullptr;
  return new (NonPagedPoolNx, pool_tag::objects) uvc_camera(physical_device_object, sink);
}
