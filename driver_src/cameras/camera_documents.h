// camera_documents: what a raw-sensor family offers GenICam clients and the
// named default sets, behind two calls: the family's register-description
// list (features/documents/register_description_list.h) and its named
// default sets (controls/default_sets.h). camera_84xx calls both; a family
// that has the same (camera_8800) calls them from the same two places.
//
//   on_init_begin   begin_camera_documents: the list and the sets' control
//                   (owned by the camera), the register description the
//                   camera stores (camera_84xx), the camera's default-set
//                   document, the set list and its enumeration document
//   on_init_end     the features append their documents to `list`, then
//                   finish_camera_documents registers the list
//
// PASSIVE_LEVEL, at the family's initialisation.
#pragma once

#include "kernel/kernel_api.h"

class nps_control;
class register_description_list;
class uvc_camera;

struct camera_documents {
  register_description_list* list;  // owned by the camera; null before begin
  nps_control* default_sets;        // owned by the camera; null before begin
};

// Only a lack of pool fails (STATUS_INSUFFICIENT_RESOURCES); a camera that
// stores nothing and a product without sets are normal.
NTSTATUS begin_camera_documents(uvc_camera* camera, bool stored_description,
                                camera_documents* documents);
NTSTATUS finish_camera_documents(uvc_camera* camera, const camera_documents* documents);
