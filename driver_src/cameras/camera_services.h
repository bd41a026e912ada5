// camera_services: what a raw-sensor family asks of services that keep data
// in the camera or beside it, each behind one call. Until a service is
// built its call answers STATUS_NOT_FOUND ("not present") and the family
// goes on without it:
//
//   load_defect_pixel_file          camera_82xx, driver property 29: the
//                                   defect-pixel file at a path; answers
//                                   as a missing file does
//                                   (STATUS_OBJECT_NAME_NOT_FOUND)
//   load_defect_pixel_list          camera_83xx: the defect-pixel list of
//                                   the file named by "onload filename" and
//                                   its EEPROM store
//   correct_defect_pixels           camera_83xx, per frame: the list applied
//                                   to the raw frame (nothing to correct
//                                   without a list)
//   read_camera_defect_table        camera_84xx: the defect-pixel table the
//                                   camera stores for itself
//
// PASSIVE_LEVEL, at the family's initialisation; correct_defect_pixels on
// the frame worker, where it allocates and waits for nothing.
#pragma once

#include "img/img_type.h"
#include "kernel/kernel_api.h"

class uvc_camera;

NTSTATUS load_defect_pixel_list(uvc_camera* camera, ULONG sensor_width, ULONG sensor_height);
// `path` is a full kernel path ("\DosDevices\...").
NTSTATUS load_defect_pixel_file(uvc_camera* camera, const UNICODE_STRING& path);
// The frame's pixels lie at (offset_x, offset_y) of the sensor, binned by
// `binning`.
void correct_defect_pixels(uvc_camera* camera, const img::img_descriptor& frame, LONG offset_x,
                           LONG offset_y, LONG binning);
NTSTATUS read_camera_defect_table(uvc_camera* camera);
