// camera_services: what a raw-sensor family asks of services that keep data
// in the camera or beside it, each behind one call. Until a service is
// built its call answers STATUS_NOT_FOUND ("not present") and the family
// goes on without it:
//
//   load_defect_pixel_list          camera_83xx: the defect-pixel list of
//                                   the file named by "onload filename" and
//                                   its EEPROM store
//   read_camera_defect_table        camera_84xx: the defect-pixel table the
//                                   camera stores for itself
//
// PASSIVE_LEVEL, at the family's initialisation.
#pragma once

#include "kernel/kernel_api.h"

class uvc_camera;

NTSTATUS load_defect_pixel_list(uvc_camera* camera, ULONG sensor_width, ULONG sensor_height);
NTSTATUS read_camera_defect_table(uvc_camera* camera);
