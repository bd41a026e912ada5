// register_description_list: the control through which clients that
// understand register descriptions reach them. It holds the camera's
// documents (the features', the named sets', one the camera stores) and
// answers three ids of extension_access_set:
//
//   1  get: the size of document n (terminating zero included), 4 bytes
//   2  get: the text of document n, whole or not at all
//   3  get/set: a register. The address is the first 8 bytes of the
//      request's input: 0xCEBB0001 in bits 63..32 names a virtual register
//      (bits 31..0, a property of named_property_set, served at level 2 by
//      whatever control answers it); any other address is a USB Video Class
//      control of the camera, unit in bits 23..16 and selector in bits 7..0,
//      read with GET_CUR and written with SET_CUR of the data's length.
//
// n is the second 32-bit word of the input (0 when the input is shorter).
// A raw-sensor family owns one list: the features and the named sets append
// their documents while the camera initialises, then the family calls
// register_with_camera. The documents stay unchanged until the camera is
// destroyed; requests reach the list at PASSIVE_LEVEL, serialised by the
// device.
#pragma once

#include "controls/camera_control.h"
#include "features/documents/register_descriptions.h"

// Vendor requests of the register description a camera stores.
constexpr UCHAR register_description_length_request = 0x15;
constexpr UCHAR register_description_data_request = 0x16;

namespace extension_access_id {
constexpr ULONG document_size = 1;
constexpr ULONG document_text = 2;
constexpr ULONG register_access = 3;
}  // namespace extension_access_id

class register_description_list : public camera_control, public register_description_sink {
 public:
  NTSTATUS append_register_description(const char* text, ULONG length) override {
    return documents_.append_register_description(text, length);
  }
  // Appends a copy of a document held elsewhere (zero-terminated when it
  // is not already).
  NTSTATUS append_register_description_array(const void* bytes, ULONG length) {
    return documents_.append_bytes(bytes, length);
  }
  ULONG count() const { return documents_.count(); }
  const char* document(ULONG index, ULONG* size) const { return documents_.document(index, size); }

  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;

 private:
  NTSTATUS read_register(uvc_camera* camera, control_call* call, ULONGLONG address);
  NTSTATUS write_register(uvc_camera* camera, control_call* call, ULONGLONG address);

  register_description_store documents_;
};

// Appends the register description the camera stores (vendor requests 0x15
// and 0x16, at most 1 MiB) to `list`. The statuses of read_camera_document:
// a camera without one answers STATUS_NOT_IMPLEMENTED. A failure leaves the
// list as it was.
NTSTATUS read_camera_register_description(uvc_camera* camera, register_description_list* list);

// Registers `list` at level 0 under ids 1, 2 and 3 of extension_access_set,
// after the documents are in. An empty list → STATUS_ALREADY_REGISTERED
// (0xC0000718) and nothing is registered.
NTSTATUS register_with_camera(register_description_list* list, uvc_camera* camera);
