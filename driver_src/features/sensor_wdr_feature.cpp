// The wide-dynamic-range switch of IMX236 sensors: selector 49 of the
// sensor extension unit {DE49BA0A-0B5C-D549-8F71-0BE40F94A67A}, reached as
// register 0x80 and saved as "SensorWDREnable". The camera holds the value;
// it is written again after power-up and when a stored value is applied.
#include "controls/uvc_control_records.h"
#include "controls/vendor_controls.h"
#include "features/documents/feature_documents.h"
#include "features/feature_objects.h"
#include "kernel/pool_tags.h"
#include "usb/control_request.h"

namespace {

constexpr ULONG wdr_selector = 49;
// Sensor codes: the IMX236 is the code whose bits under the mask read 0x800A.
constexpr ULONG sensor_code_mask = 0xF00F;
constexpr ULONG imx236_code = 0x800A;
const WCHAR wdr_name[] = L"SensorWDREnable";

class sensor_wdr_feature : public image_feature {
 public:
  explicit sensor_wdr_feature(uvc_control_record* record)
      : image_feature(feature_kind::other), record_(record) {}

  // A get or set of 4 bytes (else STATUS_INVALID_BUFFER_SIZE); a get reads
  // the selector, a set writes it and saves what it wrote. A failed write
  // is returned and saves nothing.
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override {
    if (!served(call)) return STATUS_NOT_IMPLEMENTED;
    if (is_range_query(call)) return STATUS_NOT_IMPLEMENTED;
    if (call->output == nullptr || call->output_length < sizeof(ULONG)) return STATUS_INVALID_BUFFER_SIZE;
    const NTSTATUS status = control_record_request(camera, record_, uvc_request_code::get_cur);
    if (!NT_SUCCESS(status)) return status;
    put_field(call->output, 0, ULONG(control_value(record_, record_->current)));
    call->bytes_returned = sizeof(ULONG);
    return STATUS_SUCCESS;
  }

  NTSTATUS set_property(uvc_camera* camera, control_call* call) override {
    if (!served(call)) return STATUS_NOT_IMPLEMENTED;
    if (call->output == nullptr || call->output_length < sizeof(ULONG)) return STATUS_INVALID_BUFFER_SIZE;
    const ULONG value = get_field(call->output, 0);
    const NTSTATUS status = write_control_record(camera, record_, value);
    if (NT_SUCCESS(status)) save_control_value(camera, wdr_name, value);
    return status;
  }

  NTSTATUS restore_value(uvc_camera* camera) override { return resend_control_record(camera, record_); }

  NTSTATUS apply_default(uvc_camera* camera, const control_value_provider& provider) override {
    ULONG value = 0;
    if (NT_SUCCESS(provider.lookup(provider.context, wdr_name, &value))) {
      write_control_record(camera, record_, value);
    }
    return STATUS_SUCCESS;
  }

 private:
  static bool served(const control_call* call) {
    return same_key({named_property_set, feature_register::sensor_wdr}, call->set, call->id);
  }

  uvc_control_record* record_;  // selector 49; owned by the camera's record list
};

}  // namespace

NTSTATUS attach_sensor_wdr(uvc_camera* camera, feature_group* group, const feature_setup& setup) {
  if ((setup.sensor_code & sensor_code_mask) != imx236_code ||
      !extension_has_control(camera, sensor_extension_unit, wdr_selector)) {
    return STATUS_SUCCESS;
  }
  uvc_control_record* record = bind_control(camera, on_unit(sensor_extension_unit, wdr_selector));
  if (record == nullptr) return STATUS_SUCCESS;
  auto* feature = new (NonPagedPoolNx, pool_tag::objects) sensor_wdr_feature(record);
  NTSTATUS status = group->attach(camera, feature);
  const property_key key = {named_property_set, feature_register::sensor_wdr};
  if (NT_SUCCESS(status)) status = register_control(camera, &key, 1, feature, control_level_base);
  if (NT_SUCCESS(status) && setup.documents != nullptr) status = append_sensor_wdr_document(setup.documents);
  return status;
}
