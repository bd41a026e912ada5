// Named default sets: groups of default values for the camera's controls
// ("Neutral", "Optimized Defaults") that a client picks by index and loads
// on command. The sets come from BSON documents: one the camera may store
// (vendor requests 0x19 and 0x1A) and the driver's two built-in ones. The
// raw-sensor families (camera_84xx, camera_8800) own one nps_control each,
// read the camera's document into it and call nps_load from their
// initialisation.
//
// Document shape: "property_sets" holds the sets; each set has "name"
// (string), "version" (integer), "seqnum" (integer, optional),
// "usb_device_identifiers" (hexadecimal product identifiers as strings),
// "properties" (name -> integer or boolean) and, optionally,
// "usb_property_mappings", whose elements each map a property name to a
// UVC "unit" and "control" that the value is sent to when the set loads.
//
// The control answers property 17 (the selected set's index, 4 bytes, get
// and set) and 18 (load the selected set, set only) of named_property_set,
// which are also the virtual registers 0x11 and 0x12 of the register
// descriptions. Everything here is PASSIVE_LEVEL: documents and sets live
// in paged pool.
#pragma once

#include "controls/bson_reader.h"
#include "controls/camera_control.h"
#include "kernel/pool_array.h"

class register_description_sink;

constexpr ULONG nps_name_capacity = 100;  // bytes of a name, terminating zero included
constexpr ULONG nps_property_selected = 17;
constexpr ULONG nps_property_load = 18;

// Vendor requests of the camera's own document.
constexpr UCHAR nps_document_length_request = 0x19;
constexpr UCHAR nps_document_data_request = 0x1A;

struct nps_property {
  char name[nps_name_capacity];
  ULONG name_length;  // terminating zero included
  LONGLONG value;
  ULONG unit;         // UVC unit or terminal id; 0: not sent to the camera
  ULONG control;      // UVC control selector; 0: not sent
};

struct nps_set {
  ULONG version;
  ULONG seqnum;
  char name[nps_name_capacity];
  ULONG name_length;            // terminating zero included
  nps_property* properties;     // paged pool ("Auvc"), owned by the list
  ULONG property_count;
};

// The sets, each owning its properties. No lock: built at initialisation,
// read by property requests, which the device serialises.
class nps_set_list {
 public:
  nps_set_list() : sets_(PagedPool) {}
  ~nps_set_list() { clear(); }
  nps_set_list(const nps_set_list&) = delete;
  nps_set_list& operator=(const nps_set_list&) = delete;

  ULONG count() const { return sets_.count(); }
  const nps_set& operator[](ULONG index) const { return sets_[index]; }
  // The set named `name` (`length` bytes, zero included), or null.
  const nps_set* find(const char* name, ULONG length) const;

  // Takes `set` (and its properties) by name: a new name is appended; a
  // held set of the same name is replaced when its version is lower, else
  // `set` is dropped. Its properties are freed whenever it is not kept.
  NTSTATUS merge(nps_set* set);
  // Sorts by seqnum, ascending (a heap sort: equal seqnums in no fixed
  // order).
  void sort();
  void clear();
  void swap(nps_set_list& other) { sets_.swap(other.sets_); }

 private:
  pool_array<nps_set> sets_;
};

// Adds the sets of one document to `list`. With `product_id` non-zero only
// sets listing it among "usb_device_identifiers" are taken. A document that
// is not BSON contributes nothing (STATUS_INVALID_PARAMETER); a set missing
// "version", "name" (under 100 bytes) or "properties" is skipped. Out of
// pool → STATUS_INSUFFICIENT_RESOURCES, with the sets merged so far kept.
NTSTATUS nps_parse(const void* document, ULONG length, ULONG product_id, nps_set_list* list);

// The list of a camera: the sets of the camera's document (`camera_document`
// may be null), whatever their identifiers, then those of the built-in
// documents listing `product_id`, sorted by seqnum. Only out of pool fails.
NTSTATUS nps_build_list(const void* camera_document, ULONG camera_document_length, ULONG product_id,
                        nps_set_list* list);

// The built-in documents, searched in this order.
struct nps_document {
  const void* bytes;
  ULONG length;
};
extern const nps_document nps_builtin_documents[2];

class nps_control : public camera_control {
 public:
  nps_control() : selected_(0), camera_document_(nullptr), camera_document_length_(0) {}
  ~nps_control() override;

  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;

  // Takes the camera's document (paged pool, "Auvc"), replacing one held.
  void take_camera_document(UCHAR* document, ULONG length);
  const nps_set_list& sets() const { return sets_; }
  ULONG selected() const { return selected_; }

 private:
  friend NTSTATUS nps_load(uvc_camera*, nps_control*, ULONG, register_description_sink*);
  friend NTSTATUS nps_find_default(PVOID, PCWSTR, ULONG*);
  NTSTATUS load_selected(uvc_camera* camera);

  nps_set_list sets_;
  ULONG selected_;  // survives a rebuild; checked against the list when used
  UCHAR* camera_document_;
  ULONG camera_document_length_;
};

// Reads the camera's document (vendor requests 0x19 and 0x1A, at most
// 1 MiB) into `control`. The statuses of read_camera_document: a camera
// without one answers STATUS_NOT_IMPLEMENTED. A failure keeps what
// `control` held.
NTSTATUS read_camera_default_sets(uvc_camera* camera, nps_control* control);

// Rebuilds the control's set list (nps_build_list with the document the
// control holds) and replaces the old one with it. With sets,
// appends the enumeration's register description to `documents` (when not
// null) and registers `control` at level 2 under properties 18 and 17 of
// named_property_set. No set → STATUS_NOT_IMPLEMENTED, nothing registered.
NTSTATUS nps_load(uvc_camera* camera, nps_control* control, ULONG product_id,
                  register_description_sink* documents);

// The control_value_lookup of a set being loaded (context: the
// nps_control): the value of the selected set's property `name`.
// STATUS_INVALID_PARAMETER when the selected index is out of range,
// STATUS_NOT_FOUND when the set has no such property.
NTSTATUS nps_find_default(PVOID context, PCWSTR name, ULONG* value);
