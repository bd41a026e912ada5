// The camera factory: the product table, the fallback rule and the creation
// of the chosen class.
#include "cameras/camera_factory.h"

#include "cameras/camera_0109.h"
#include "cameras/camera_8101.h"
#include "cameras/camera_8102.h"
#include "cameras/camera_8209.h"
#include "cameras/camera_82xx.h"
#include "cameras/camera_8800.h"
#include "cameras/camera_83xx.h"
#include "cameras/camera_84xx.h"
#include "kernel/pool_tags.h"
#include "usb/usb_utils.h"
#include "uvc/uvc_camera.h"

namespace {

// Product identifiers the fallback gives to camera_84xx: high bytes 0x84 to
// 0x89 (the test as the family's table writes it).
bool is_84xx_range(USHORT product_id) {
  const ULONG high = product_id & 0xFF00u;
  return ((high + 0x7C00u) % 0x10000u) <= 0x500u;
}

}  // namespace

// Search order matters: the first row with the product wins.
const camera_model_row camera_model_table[camera_model_count] = {
    {0x8101, create_camera_8101},
    {0x8102, create_camera_8102},
    {0x8201, create_camera_8201},
    {0x8202, create_camera_8201},
    {0x8203, create_camera_8203},
    {0x8204, create_camera_8204},
    {0x8207, create_camera_8207},
    {0x8205, create_camera_8205},
    {0x8206, create_camera_8206},
    {0x8208, create_camera_8208},
    {0x8302, create_camera_83xx},
    {0x8307, create_camera_83xx},
    {0x8308, create_camera_83xx},
    {0x8401, create_camera_84xx},
    {0x8402, create_camera_84xx},
    {0x8403, create_camera_84xx},
    {0x8404, create_camera_84xx},
    {0x8405, create_camera_84xx},
    {0x8406, create_camera_84xx},
    {0x8411, create_camera_84xx},
    {0x8412, create_camera_84xx},
    {0x8413, create_camera_84xx},
    {0x8414, create_camera_84xx},
    {0x8415, create_camera_84xx},
    {0x8416, create_camera_84xx},
    {0x8426, create_camera_84xx},
    {0x8436, create_camera_84xx},
    {0x8209, create_camera_8209},
    {0x8800, create_camera_8800},
    {0x0109, create_camera_0109},
};

uvc_camera* create_uvc_camera(PDEVICE_OBJECT physical_device_object, frame_sink* sink) {
  return new (NonPagedPoolNx, pool_tag::objects, zero_filled)
      uvc_camera(physical_device_object, sink);
}

camera_creation_function find_camera_creation(USHORT product_id) {
  for (const camera_model_row& row : camera_model_table) {
    if (row.product_id == product_id && row.create != nullptr) return row.create;
  }
  return is_84xx_range(product_id) ? create_camera_84xx : create_uvc_camera;
}

uvc_camera* create_camera(const UCHAR* device_descriptor, PDEVICE_OBJECT physical_device_object,
                          frame_sink* sink) {
  if (device_descriptor == nullptr) return nullptr;
  const USHORT product_id = le16(device_descriptor + usb_desc::dev_idProduct);
  return find_camera_creation(product_id)(physical_device_object, sink);
}
