// The register-description list and the named default sets of a raw-sensor
// family, set up in the order the family's initialisation needs them.
#include "cameras/camera_documents.h"

#include "controls/default_sets.h"
#include "features/documents/register_description_list.h"
#include "kernel/kernel_new.h"

NTSTATUS begin_camera_documents(uvc_camera* camera, bool stored_description,
                                camera_documents* documents) {
  documents->list = nullptr;
  documents->default_sets = nullptr;
  auto* list = new (NonPagedPoolNx, pool_tag::objects) register_description_list();
  if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = camera->add_owned_object(list);
  if (!NT_SUCCESS(status)) {
    delete list;
    return status;
  }
  documents->list = list;
  auto* sets = new (NonPagedPoolNx, pool_tag::objects) nps_control();
  if (sets == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  status = camera->add_owned_object(sets);
  if (!NT_SUCCESS(status)) {
    delete sets;
    return status;
  }
  documents->default_sets = sets;

  // What the camera stores is optional: a camera without it, or one that
  // cannot be read, runs on the driver's own documents and sets.
  if (stored_description) {
    status = read_camera_register_description(camera, list);
    if (status == STATUS_INSUFFICIENT_RESOURCES) return status;
  }
  status = read_camera_default_sets(camera, sets);
  if (status == STATUS_INSUFFICIENT_RESOURCES) return status;
  status = nps_load(camera, sets, camera->id_product(), list);
  return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_SUCCESS;
}

NTSTATUS finish_camera_documents(uvc_camera* camera, const camera_documents* documents) {
  if (documents->list == nullptr) return STATUS_SUCCESS;
  const NTSTATUS status = register_with_camera(documents->list, camera);
  return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_SUCCESS;
}
