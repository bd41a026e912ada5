// camera_services: the services a raw-sensor family asks for that do not
// exist yet; each answers "not present" (see the header).
#include "cameras/camera_services.h"

NTSTATUS load_defect_pixel_list(uvc_camera*, ULONG, ULONG) { return STATUS_NOT_FOUND; }

NTSTATUS load_defect_pixel_file(uvc_camera*, const UNICODE_STRING&) {
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

void correct_defect_pixels(uvc_camera*, const img::img_descriptor&, LONG, LONG, LONG) {}

NTSTATUS read_camera_defect_table(uvc_camera*) { return STATUS_NOT_FOUND; }
