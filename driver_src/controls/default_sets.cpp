// Named default sets: parsing the documents into the set list, the list's
// merge and sort, the control that selects and loads a set, and the
// provider the controls read a set's values from.
#include "controls/default_sets.h"

#include "controls/control_registry.h"
#include "controls/property_sets.h"
#include "features/documents/feature_documents.h"
#include "kernel/pool_tags.h"
#include "usb/camera_document.h"
#include "usb/control_request.h"

namespace {

constexpr ULONG register_size = 4;      // property 17: a 32-bit index
constexpr USHORT mapped_value_size = 8;  // a mapped property goes to the camera as 64 bits
constexpr ULONG max_entity = 0xFF;       // units and selectors are bytes on the wire

struct nps_mapping {
  char name[nps_name_capacity];
  ULONG name_length;
  ULONG unit;
  ULONG control;
};

bool same_bytes(const char* a, ULONG a_length, const char* b, ULONG b_length) {
  if (a_length != b_length) return false;
  for (ULONG i = 0; i < a_length; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// A product identifier as the documents write it: 1 to 8 hexadecimal
// digits and nothing else. Anything else reads as 0, which matches no
// product.
ULONG read_hex_identifier(const bson_node* node) {
  if (node->kind != bson_kind::string || node->length < 2 || node->length > 9) return 0;
  ULONG value = 0;
  for (ULONG i = 0; i + 1 < node->length; ++i) {
    const char c = char(node->data[i]);
    ULONG digit;
    if (c >= '0' && c <= '9') {
      digit = ULONG(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = ULONG(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = ULONG(c - 'A' + 10);
    } else {
      return 0;
    }
    value = (value << 4) | digit;
  }
  return value;
}

bool lists_product(const bson_node* first_field, ULONG product_id) {
  for (const bson_node* id = bson_find(first_field, "usb_device_identifiers/"); id != nullptr;
       id = bson_next(id)) {
    if (read_hex_identifier(id) == product_id) return true;
  }
  return false;
}

// The mappings of a set: each element of "usb_property_mappings" is a
// container whose first member, a container named after a property, holds
// "unit" and "control"; both must be non-zero, and fit the byte they go
// to on the wire.
NTSTATUS collect_mappings(const bson_node* first_field, pool_array<nps_mapping>* mappings) {
  for (const bson_node* element = bson_find(first_field, "usb_property_mappings/");
       element != nullptr; element = bson_next(element)) {
    const bson_node* member = element->first_child;
    if (member == nullptr || member->kind != bson_kind::container ||
        member->key_length > nps_name_capacity) {
      continue;
    }
    LONGLONG unit = 0;
    LONGLONG control = 0;
    if (!NT_SUCCESS(bson_get_int(member, "/unit", &unit)) ||
        !NT_SUCCESS(bson_get_int(member, "/control", &control)) || unit <= 0 || control <= 0 ||
        unit > max_entity || control > max_entity) {
      continue;
    }
    nps_mapping m = {};
    m.name_length = bson_get_key(member, m.name, sizeof(m.name));
    m.unit = ULONG(unit);
    m.control = ULONG(control);
    const NTSTATUS status = mappings->append(m);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

bool takes_property(const bson_node* node) {
  // Keys of 1 to 99 bytes (with the zero, 2 to 100) with a number.
  return node->key_length >= 2 && node->key_length <= nps_name_capacity &&
         (node->kind == bson_kind::integer || node->kind == bson_kind::boolean);
}

// The properties of a set, with the mappings of the same names.
NTSTATUS collect_properties(const bson_node* first_field, const pool_array<nps_mapping>& mappings,
                            nps_set* set) {
  ULONG count = 0;
  for (const bson_node* p = bson_find(first_field, "properties/"); p != nullptr; p = bson_next(p)) {
    if (takes_property(p)) ++count;
  }
  if (count == 0) return STATUS_SUCCESS;
  auto* properties = static_cast<nps_property*>(
      ExAllocatePoolWithTag(PagedPool, SIZE_T(count) * sizeof(nps_property), pool_tag::objects));
  if (properties == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(properties, SIZE_T(count) * sizeof(nps_property));
  ULONG i = 0;
  for (const bson_node* p = bson_find(first_field, "properties/"); p != nullptr; p = bson_next(p)) {
    if (!takes_property(p)) continue;
    nps_property& out = properties[i++];
    out.name_length = bson_get_key(p, out.name, sizeof(out.name));
    out.value = p->integer;
    for (const nps_mapping& m : mappings) {
      if (same_bytes(m.name, m.name_length, out.name, out.name_length)) {
        out.unit = m.unit;
        out.control = m.control;
        break;
      }
    }
  }
  set->properties = properties;
  set->property_count = count;
  return STATUS_SUCCESS;
}

void free_properties(nps_set* set) {
  if (set->properties != nullptr) ExFreePoolWithTag(set->properties, pool_tag::objects);
  set->properties = nullptr;
  set->property_count = 0;
}

// One set of a document, from its first field. STATUS_NOT_FOUND when it is
// incomplete or not for the product; out of pool is the only other failure.
NTSTATUS read_set(const bson_node* first_field, ULONG product_id, nps_set* set) {
  LONGLONG version = 0;
  if (!NT_SUCCESS(bson_get_int(first_field, "version", &version))) return STATUS_NOT_FOUND;
  if (!NT_SUCCESS(bson_get_string(first_field, "name", set->name, sizeof(set->name),
                                  &set->name_length))) {
    return STATUS_NOT_FOUND;
  }
  if (bson_find(first_field, "properties") == nullptr) return STATUS_NOT_FOUND;
  LONGLONG seqnum = 0;
  bson_get_int(first_field, "seqnum", &seqnum);  // 0 when absent
  if (product_id != 0 && !lists_product(first_field, product_id)) return STATUS_NOT_FOUND;
  set->version = ULONG(version);
  set->seqnum = ULONG(seqnum);

  pool_array<nps_mapping> mappings(PagedPool);
  NTSTATUS status = collect_mappings(first_field, &mappings);
  if (NT_SUCCESS(status)) status = collect_properties(first_field, mappings, set);
  return status;
}

// Ascending by seqnum: the parent of a heap holds the largest.
void sift_down(nps_set* sets, ULONG root, ULONG count) {
  for (;;) {
    ULONG largest = root;
    const ULONG left = 2 * root + 1;
    const ULONG right = left + 1;
    if (left < count && sets[left].seqnum > sets[largest].seqnum) largest = left;
    if (right < count && sets[right].seqnum > sets[largest].seqnum) largest = right;
    if (largest == root) return;
    const nps_set t = sets[root];
    sets[root] = sets[largest];
    sets[largest] = t;
    root = largest;
  }
}

}  // namespace

// ---- the list ----------------------------------------------------------------------------------

const nps_set* nps_set_list::find(const char* name, ULONG length) const {
  for (const nps_set& s : sets_) {
    if (same_bytes(s.name, s.name_length, name, length)) return &s;
  }
  return nullptr;
}

NTSTATUS nps_set_list::merge(nps_set* set) {
  for (nps_set& held : sets_) {
    if (!same_bytes(held.name, held.name_length, set->name, set->name_length)) continue;
    if (held.version < set->version) {
      free_properties(&held);
      held = *set;
    } else {
      free_properties(set);
    }
    return STATUS_SUCCESS;
  }
  const NTSTATUS status = sets_.append(*set);
  if (!NT_SUCCESS(status)) free_properties(set);
  return status;
}

void nps_set_list::sort() {
  nps_set* sets = sets_.data();
  const ULONG count = sets_.count();
  for (ULONG i = count / 2; i-- > 0;) sift_down(sets, i, count);
  for (ULONG end = count; end > 1; --end) {
    const nps_set t = sets[0];
    sets[0] = sets[end - 1];
    sets[end - 1] = t;
    sift_down(sets, 0, end - 1);
  }
}

void nps_set_list::clear() {
  for (nps_set& s : sets_) free_properties(&s);
  sets_.reset();
}

// ---- parsing -----------------------------------------------------------------------------------

NTSTATUS nps_parse(const void* document, ULONG length, ULONG product_id, nps_set_list* list) {
  bson_node* root = bson_parse(document, length);
  if (root == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = STATUS_SUCCESS;
  for (const bson_node* element = bson_find(root, "/property_sets/");
       element != nullptr && NT_SUCCESS(status); element = bson_next(element)) {
    const bson_node* first_field = bson_find(element, "/");
    if (first_field == nullptr) continue;
    nps_set set = {};
    status = read_set(first_field, product_id, &set);
    if (NT_SUCCESS(status)) {
      status = list->merge(&set);
    } else {
      free_properties(&set);
      if (status == STATUS_NOT_FOUND) status = STATUS_SUCCESS;
    }
  }
  bson_free(root);
  return status;
}

// ---- the control -------------------------------------------------------------------------------

nps_control::~nps_control() {
  if (camera_document_ != nullptr) ExFreePoolWithTag(camera_document_, pool_tag::objects);
}

void nps_control::take_camera_document(UCHAR* document, ULONG length) {
  if (camera_document_ != nullptr) ExFreePoolWithTag(camera_document_, pool_tag::objects);
  camera_document_ = document;
  camera_document_length_ = length;
}

NTSTATUS nps_control::get_property(uvc_camera*, control_call* call) {
  if (!same_guid(call->set, named_property_set) || call->id != nps_property_selected ||
      is_range_query(call)) {
    return STATUS_NOT_IMPLEMENTED;
  }
  if (call->output == nullptr || call->output_length < register_size) return STATUS_BUFFER_TOO_SMALL;
  put_field(call->output, 0, selected_);
  call->bytes_returned = register_size;
  return STATUS_SUCCESS;
}

NTSTATUS nps_control::set_property(uvc_camera* camera, control_call* call) {
  if (!same_guid(call->set, named_property_set)) return STATUS_NOT_IMPLEMENTED;
  if (call->id == nps_property_load) return load_selected(camera);
  if (call->id != nps_property_selected) return STATUS_NOT_IMPLEMENTED;
  if (call->output == nullptr || call->output_length < register_size) return STATUS_BUFFER_TOO_SMALL;
  const ULONG index = get_field(call->output, 0);
  if (index >= sets_.count()) return STATUS_INVALID_PARAMETER;
  selected_ = index;
  return STATUS_SUCCESS;
}

// Every control takes its value from the set, then the mapped properties
// go to the camera in the set's order; the first refused request ends it.
NTSTATUS nps_control::load_selected(uvc_camera* camera) {
  if (selected_ >= sets_.count()) return STATUS_INVALID_PARAMETER;
  apply_defaults(camera, control_value_provider{nps_find_default, this});
  const nps_set& set = sets_[selected_];
  for (ULONG i = 0; i < set.property_count; ++i) {
    const nps_property& p = set.properties[i];
    if (p.unit == 0) continue;
    UCHAR bytes[mapped_value_size];
    for (ULONG b = 0; b < mapped_value_size; ++b) bytes[b] = UCHAR(ULONGLONG(p.value) >> (8 * b));
    const NTSTATUS status = uvc_set_cur(camera->device_object(), UCHAR(p.unit), UCHAR(p.control),
                                        mapped_value_size, bytes);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS nps_find_default(PVOID context, PCWSTR name, ULONG* value) {
  const auto* control = static_cast<const nps_control*>(context);
  if (control->selected_ >= control->sets_.count()) return STATUS_INVALID_PARAMETER;
  const nps_set& set = control->sets_[control->selected_];
  for (ULONG i = 0; i < set.property_count; ++i) {
    const nps_property& p = set.properties[i];
    ULONG n = 0;
    while (n < p.name_length && name[n] != 0 && WCHAR(UCHAR(p.name[n])) == name[n]) ++n;
    if (name[n] == 0 && n + 1 == p.name_length) {
      *value = ULONG(p.value);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_NOT_FOUND;
}

NTSTATUS read_camera_default_sets(uvc_camera* camera, nps_control* control) {
  UCHAR* document = nullptr;
  ULONG length = 0;
  const NTSTATUS status =
      read_camera_document(camera->device_object(), nps_document_length_request,
                           nps_document_data_request, pool_tag::objects, &document, &length);
  if (NT_SUCCESS(status)) control->take_camera_document(document, length);
  return status;
}

NTSTATUS nps_build_list(const void* camera_document, ULONG camera_document_length, ULONG product_id,
                        nps_set_list* list) {
  // A document that is not BSON contributes nothing; running out of pool
  // ends the build.
  NTSTATUS status = STATUS_SUCCESS;
  if (camera_document != nullptr) status = nps_parse(camera_document, camera_document_length, 0, list);
  for (ULONG i = 0; i < ARRAYSIZE(nps_builtin_documents) && status != STATUS_INSUFFICIENT_RESOURCES; ++i) {
    status = nps_parse(nps_builtin_documents[i].bytes, nps_builtin_documents[i].length, product_id, list);
  }
  if (status == STATUS_INSUFFICIENT_RESOURCES) return status;
  list->sort();
  return STATUS_SUCCESS;
}

NTSTATUS nps_load(uvc_camera* camera, nps_control* control, ULONG product_id,
                  register_description_sink* documents) {
  nps_set_list list;
  NTSTATUS status = nps_build_list(control->camera_document_, control->camera_document_length_,
                                   product_id, &list);
  if (!NT_SUCCESS(status)) return status;  // the old list is kept
  control->sets_.swap(list);
  const ULONG count = control->sets_.count();
  if (count == 0) return STATUS_NOT_IMPLEMENTED;

  if (documents != nullptr) {
    named_set_name names[16];
    named_set_name* table = count <= ARRAYSIZE(names)
                                ? names
                                : static_cast<named_set_name*>(ExAllocatePoolWithTag(
                                      PagedPool, SIZE_T(count) * sizeof(named_set_name), pool_tag::objects));
    if (table == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < count; ++i) {
      table[i].text = control->sets_[i].name;
      table[i].length = control->sets_[i].name_length;
    }
    status = append_named_sets_document(documents, table, count);
    if (table != names) ExFreePoolWithTag(table, pool_tag::objects);
    if (!NT_SUCCESS(status)) return status;
  }
  const property_key keys[] = {{named_property_set, nps_property_load},
                               {named_property_set, nps_property_selected}};
  return register_control(camera, keys, ARRAYSIZE(keys), control, control_level_override);
}
