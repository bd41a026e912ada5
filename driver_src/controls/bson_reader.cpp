// The BSON reader: a validating walk over the reader's own copy of the
// document, done twice. The first walk counts the elements (bounded by the
// whole document only, so it needs no stack); the second fills the nodes of
// one pool block and checks every element against the document that holds
// it, finding its way back to a parent through the nodes.
#include "controls/bson_reader.h"

#include "kernel/pool_tags.h"

namespace {

// BSON type bytes.
namespace bson_type {
constexpr UCHAR end = 0x00;
constexpr UCHAR double_value = 0x01;
constexpr UCHAR string = 0x02;
constexpr UCHAR document = 0x03;
constexpr UCHAR array = 0x04;
constexpr UCHAR binary = 0x05;
constexpr UCHAR undefined = 0x06;
constexpr UCHAR object_id = 0x07;
constexpr UCHAR boolean = 0x08;
constexpr UCHAR date_time = 0x09;
constexpr UCHAR null = 0x0A;
constexpr UCHAR code = 0x0D;
constexpr UCHAR symbol = 0x0E;
constexpr UCHAR int32 = 0x10;
constexpr UCHAR timestamp = 0x11;
constexpr UCHAR int64 = 0x12;
constexpr UCHAR max_key = 0x7F;
constexpr UCHAR min_key = 0xFF;
}  // namespace bson_type

constexpr ULONG min_document_size = 5;  // length field and terminating zero
constexpr ULONG length_field_size = 4;
constexpr ULONG object_id_size = 12;
constexpr UCHAR binary_old = 0x02;  // binary subtype that repeats its length

ULONG le32(const UCHAR* p) {
  return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) |
         (static_cast<ULONG>(p[2]) << 16) | (static_cast<ULONG>(p[3]) << 24);
}

LONGLONG le64(const UCHAR* p) {
  return static_cast<LONGLONG>(static_cast<ULONGLONG>(le32(p)) |
                               (static_cast<ULONGLONG>(le32(p + 4)) << 32));
}

// Strict UTF-8 (shortest forms, no surrogates, nothing above U+10FFFF);
// zero bytes are characters like any other.
bool is_utf8(const UCHAR* p, ULONG length) {
  ULONG i = 0;
  while (i < length) {
    const UCHAR c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    ULONG extra;
    ULONG code;
    ULONG least;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, code = c & 0x1F, least = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, code = c & 0x0F, least = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, code = c & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (length - i <= extra) return false;
    for (ULONG k = 1; k <= extra; ++k) {
      const UCHAR t = p[i + k];
      if ((t & 0xC0) != 0x80) return false;
      code = (code << 6) | (t & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

// The key of the element whose type byte is at `pos`: a zero-terminated
// UTF-8 name ending before `limit`. Gives the offset of the value.
bool read_key(const UCHAR* doc, ULONG pos, ULONG limit, ULONG* value_pos) {
  ULONG k = pos + 1;
  while (k < limit && doc[k] != 0) ++k;
  if (k >= limit) return false;
  if (!is_utf8(doc + pos + 1, k - pos - 1)) return false;
  *value_pos = k + 1;
  return true;
}

bool is_container(UCHAR type) { return type == bson_type::document || type == bson_type::array; }

// Size of the value of an element of `type` at `p`, with `room` bytes before
// the terminating zero of the document that holds it. For a container it is
// the embedded document's stated length (at least 5). False when the value
// is malformed or its type is not one the reader takes.
bool value_size(UCHAR type, const UCHAR* p, ULONG room, ULONG* size) {
  ULONG n = 0;
  switch (type) {
    case bson_type::double_value:
    case bson_type::date_time:
    case bson_type::timestamp:
    case bson_type::int64:
      n = 8;
      break;
    case bson_type::int32:
      n = 4;
      break;
    case bson_type::object_id:
      n = object_id_size;
      break;
    case bson_type::boolean:
      if (room < 1 || p[0] > 1) return false;
      n = 1;
      break;
    case bson_type::undefined:
    case bson_type::null:
    case bson_type::max_key:
    case bson_type::min_key:
      n = 0;
      break;
    case bson_type::string:
    case bson_type::code:
    case bson_type::symbol: {
      if (room < length_field_size) return false;
      const ULONG length = le32(p);
      if (length < 1 || length > room - length_field_size) return false;
      const UCHAR* text = p + length_field_size;
      if (text[length - 1] != 0 || !is_utf8(text, length - 1)) return false;
      n = length_field_size + length;
      break;
    }
    case bson_type::document:
    case bson_type::array: {
      if (room < length_field_size) return false;
      const ULONG length = le32(p);
      if (length < min_document_size || length > room) return false;
      n = length;
      break;
    }
    case bson_type::binary: {
      if (room < length_field_size + 1) return false;
      const ULONG length = le32(p);
      if (length > room - length_field_size - 1) return false;
      if (p[length_field_size] == binary_old &&
          (length < length_field_size || le32(p + length_field_size + 1) != length - 4)) {
        return false;
      }
      n = length_field_size + 1 + length;
      break;
    }
    default:
      return false;
  }
  if (n > room) return false;
  *size = n;
  return true;
}

// First walk: the number of elements, or false when the document is
// malformed as far as this walk can tell (every read stays inside `length`).
bool count_elements(const UCHAR* doc, ULONG length, ULONG* count) {
  ULONG depth = 1;
  ULONG pos = length_field_size;
  ULONG elements = 0;
  while (pos < length) {
    const UCHAR type = doc[pos];
    if (type == bson_type::end) {
      ++pos;
      if (--depth == 0) break;
      continue;
    }
    ULONG value_pos;
    if (!read_key(doc, pos, length - 1, &value_pos)) return false;
    ULONG size;
    if (!value_size(type, doc + value_pos, length - 1 - value_pos, &size)) return false;
    ++elements;
    if (is_container(type)) {
      ++depth;
      pos = value_pos + length_field_size;
    } else {
      pos = value_pos + size;
    }
  }
  if (depth != 0 || pos != length) return false;
  *count = elements;
  return true;
}

void fill_value(bson_node* node, const UCHAR* p, ULONG size) {
  switch (node->type) {
    case bson_type::double_value:
      node->kind = bson_kind::floating;
      RtlCopyMemory(node->raw, p, 8);
      break;
    case bson_type::string:
    case bson_type::code:
    case bson_type::symbol:
      node->kind = bson_kind::string;
      node->data = p + length_field_size;
      node->length = size - length_field_size;
      break;
    case bson_type::document:
    case bson_type::array:
      node->kind = bson_kind::container;
      node->data = p;
      node->length = size;
      break;
    case bson_type::binary:
      node->kind = bson_kind::no_value;
      node->subtype = p[length_field_size];
      node->data = p + length_field_size + 1;
      node->length = size - length_field_size - 1;
      break;
    case bson_type::boolean:
      node->kind = bson_kind::boolean;
      node->integer = p[0];
      break;
    case bson_type::int32:
      node->kind = bson_kind::integer;
      node->integer = static_cast<LONG>(le32(p));
      break;
    case bson_type::date_time:
    case bson_type::timestamp:
    case bson_type::int64:
      node->kind = bson_kind::integer;
      node->integer = le64(p);
      break;
    default:  // undefined, ObjectId, null, min and max key
      node->kind = bson_kind::no_value;
      break;
  }
}

// End (exclusive offset) of the document a container node or the root holds.
ULONG document_end(const bson_node* container, const UCHAR* doc) {
  return static_cast<ULONG>(container->data - doc) + container->length;
}

// Second walk: fills nodes[0..count) and checks that every element lies in
// the document holding it and every document ends where its length says.
bool build_tree(const UCHAR* doc, ULONG length, bson_node* nodes, ULONG count) {
  bson_node* root = &nodes[0];
  root->kind = bson_kind::root;
  root->data = doc;
  root->length = length;
  bson_node* container = root;
  bson_node* last = nullptr;  // last child of `container` so far
  ULONG used = 1;
  ULONG pos = length_field_size;
  for (;;) {
    const ULONG end = document_end(container, doc);
    const UCHAR type = doc[pos];
    if (pos == end - 1) {
      if (type != bson_type::end) return false;
      ++pos;
      if (container == root) break;
      last = container;
      container = container->parent;
      continue;
    }
    if (type == bson_type::end) return false;
    ULONG value_pos;
    if (!read_key(doc, pos, end - 1, &value_pos)) return false;
    ULONG size;
    if (!value_size(type, doc + value_pos, end - 1 - value_pos, &size)) return false;
    if (used == count) return false;
    bson_node* node = &nodes[used++];
    node->type = type;
    node->key = reinterpret_cast<const char*>(doc + pos + 1);
    node->key_length = value_pos - pos - 1;
    node->parent = container;
    fill_value(node, doc + value_pos, size);
    if (last == nullptr) {
      container->first_child = node;
    } else {
      last->next = node;
    }
    if (is_container(type)) {
      container = node;
      last = nullptr;
      pos = value_pos + length_field_size;
    } else {
      last = node;
      pos = value_pos + size;
    }
  }
  return pos == length && used == count;
}

bool key_equals(const bson_node* node, const char* name, ULONG name_length) {
  if (node->key_length != name_length + 1) return false;
  for (ULONG i = 0; i < name_length; ++i) {
    if (node->key[i] != name[i]) return false;
  }
  return true;
}

}  // namespace

bson_node* bson_parse(const void* bytes, ULONG length) {
  if (bytes == nullptr || length < min_document_size) return nullptr;
  const auto* source = static_cast<const UCHAR*>(bytes);
  if (le32(source) != length || source[length - 1] != 0) return nullptr;
  // Counted on the caller's bytes; the nodes are built on the copy, whose
  // bytes no one else can change in between.
  ULONG elements;
  if (!count_elements(source, length, &elements)) return nullptr;
  const SIZE_T node_bytes = static_cast<SIZE_T>(elements + 1) * sizeof(bson_node);
  auto* block = static_cast<UCHAR*>(
      ExAllocatePoolWithTag(PagedPool, node_bytes + length, pool_tag::bson));
  if (block == nullptr) return nullptr;
  RtlZeroMemory(block, node_bytes);
  UCHAR* doc = block + node_bytes;
  RtlCopyMemory(doc, source, length);
  auto* nodes = reinterpret_cast<bson_node*>(block);
  if (!build_tree(doc, length, nodes, elements + 1)) {
    ExFreePoolWithTag(block, pool_tag::bson);
    return nullptr;
  }
  return nodes;
}

void bson_free(bson_node* root) {
  if (root != nullptr) ExFreePoolWithTag(root, pool_tag::bson);
}

const bson_node* bson_find(const bson_node* node, const char* path) {
  while (node != nullptr && *path != 0) {
    if (*path == '/') {
      node = node->first_child;
      ++path;
      continue;
    }
    const char* name = path;
    while (*path != 0 && *path != '/') ++path;
    const auto name_length = static_cast<ULONG>(path - name);
    while (node != nullptr && !key_equals(node, name, name_length)) node = node->next;
  }
  return node;
}

const bson_node* bson_next(const bson_node* node) {
  return node != nullptr ? node->next : nullptr;
}

NTSTATUS bson_get_int(const bson_node* node, const char* path, LONGLONG* value) {
  const bson_node* found = bson_find(node, path);
  if (found == nullptr) return STATUS_NOT_FOUND;
  if (found->kind != bson_kind::integer && found->kind != bson_kind::boolean) {
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  *value = found->integer;
  return STATUS_SUCCESS;
}

NTSTATUS bson_get_string(const bson_node* node, const char* path, char* buffer, ULONG size,
                         ULONG* length) {
  const bson_node* found = bson_find(node, path);
  if (found == nullptr || found->kind != bson_kind::string) return STATUS_INVALID_PARAMETER;
  if (found->length >= size) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(buffer, found->data, found->length);
  *length = found->length;
  return STATUS_SUCCESS;
}

ULONG bson_get_key(const bson_node* node, char* buffer, ULONG size) {
  const ULONG copied = node->key_length < size ? node->key_length : size;
  if (copied > 0) RtlCopyMemory(buffer, node->key, copied);
  return node->key_length;
}
