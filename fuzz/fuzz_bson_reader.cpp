// Arbitrary bytes as a BSON document: the reader must refuse or accept
// without reading outside the bytes; an accepted tree's every pointer lies
// in the reader's own copy, its links form a tree, and the look-ups stay
// inside it. Paths for the look-ups are taken from the document's own keys.
// Seeds: fuzz/corpus/bson (the built-in property-set documents).
#include <stddef.h>
#include <stdint.h>

#include <kstandin/testing.h>

#include "controls/bson_reader.h"
#include "kernel/kernel_api.h"

namespace {

const UCHAR* g_begin = nullptr;  // the reader's copy of the document
const UCHAR* g_end = nullptr;

void check_range(const void* p, ULONG length) {
  const auto* b = static_cast<const UCHAR*>(p);
  if (b < g_begin || b > g_end || ULONG(g_end - b) < length) __builtin_trap();
}

// Walks the tree without recursion; returns the number of nodes.
ULONG check_tree(const bson_node* root) {
  ULONG nodes = 0;
  const bson_node* n = root;
  while (n != nullptr) {
    ++nodes;
    if (n != root) {
      check_range(n->key, n->key_length);
      if (n->key_length == 0 || n->key[n->key_length - 1] != 0) __builtin_trap();
    }
    if (n->kind == bson_kind::string) {
      check_range(n->data, n->length);
      if (n->length == 0 || n->data[n->length - 1] != 0) __builtin_trap();
    } else if (n->kind == bson_kind::container || n->kind == bson_kind::no_value) {
      if (n->data != nullptr) check_range(n->data, n->length);
    } else if (n->kind == bson_kind::boolean && n->integer != 0 && n->integer != 1) {
      __builtin_trap();
    }
    if (n->first_child != nullptr) {
      if (n->first_child->parent != n) __builtin_trap();
      n = n->first_child;
      continue;
    }
    while (n != nullptr && n->next == nullptr) n = n->parent;
    if (n != nullptr) {
      if (n->next->parent != n->parent) __builtin_trap();
      n = n->next;
    }
  }
  return nodes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x100000) return 0;
  struct take_at_exit {
    ~take_at_exit() {
      kstandin::take_debug_log();
      kstandin::take_violations();
    }
  } take;
  bson_node* root = bson_parse(data, ULONG(size));
  if (root == nullptr) return 0;
  g_begin = root->data;
  g_end = root->data + root->length;
  if (root->length != size || root->kind != bson_kind::root) __builtin_trap();
  check_tree(root);

  // Paths made of the first keys on the way down, with and without a
  // trailing "/", and every look-up on the nodes they reach.
  char path[256];
  ULONG used = 0;
  const bson_node* n = root->first_child;
  while (n != nullptr && used + n->key_length + 2 < sizeof(path)) {
    bool slash = false;
    for (ULONG i = 0; i < n->key_length; ++i) slash |= n->key[i] == '/';
    if (slash) break;  // a path cannot name such a key
    path[used++] = '/';
    used += bson_get_key(n, path + used, n->key_length) - 1;
    path[used] = 0;
    const bson_node* found = bson_find(root, path);
    if (found != n) __builtin_trap();
    LONGLONG value = 0;
    char text[100];
    ULONG length = 0;
    bson_get_int(root, path, &value);
    if (NT_SUCCESS(bson_get_string(root, path, text, sizeof(text), &length)) &&
        (length == 0 || length >= sizeof(text) || text[length - 1] != 0)) {
      __builtin_trap();
    }
    bson_next(found);
    n = n->first_child;
  }
  bson_free(root);
  return 0;
}
