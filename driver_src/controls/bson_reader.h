// A small reader of BSON documents (binary JSON, version 1.0, little-endian),
// for the named default property sets: the driver's built-in documents and
// the one a camera may carry. bson_parse checks the whole document and
// builds a tree of nodes; the look-ups below walk it. The tree and the
// reader's own copy of the document are one block of paged pool (tag
// "bson"), freed together by bson_free, so every call is PASSIVE_LEVEL.
//
// What the reader accepts: the document's stated length equals the bytes
// given; every element, string and embedded document lies inside the
// document that holds it and every document ends in its zero byte where its
// length says; strings (also code and symbol) have a length of at least 1,
// end in a zero and are UTF-8 (zeros inside are allowed), keys are UTF-8;
// booleans are 0 or 1; an old binary (subtype 2) repeats its length less 4.
// Regular expressions, DB pointers, code with scope, decimal128 and unknown
// types make the document malformed. Nesting is unbounded: the reader keeps
// its way back in the nodes, not on the stack.
#pragma once

#include "kernel/kernel_api.h"

enum class bson_kind : UCHAR {
  root,
  integer,    // int32 (sign-extended), int64, date-time, timestamp
  floating,   // double: the raw 8 bytes
  boolean,    // 0 or 1
  string,     // string, code, symbol
  container,  // embedded document or array (array keys "0", "1", ...)
  no_value,   // binary (keeps data, length, subtype), undefined, ObjectId,
              // null, min key, max key
};

struct bson_node {
  bson_kind kind;
  UCHAR type;         // the element's BSON type byte (0 for the root)
  UCHAR subtype;      // binary subtype
  ULONG key_length;   // including the terminating zero; 0 for the root
  const char* key;    // element name inside the reader's copy
  LONGLONG integer;   // integer and boolean kinds
  UCHAR raw[8];       // floating kind: the double's bytes as stored
  const UCHAR* data;  // string: its bytes; binary: its payload; container:
                      // the embedded document (from its length field)
  ULONG length;       // of data; strings include their terminating zero
  bson_node* first_child;
  bson_node* next;
  bson_node* parent;  // null for the root
};

// Parses `length` bytes. Returns the root node, or null when the document is
// malformed or the pool has no room (nothing stays allocated then).
bson_node* bson_parse(const void* bytes, ULONG length);

// Frees the tree of a root returned by bson_parse (null is allowed).
void bson_free(bson_node* root);

// Walks `path` from `node`, left to right: "/" moves to the first child (null
// when there is none); a name (the characters up to the next "/" or the end)
// moves to the first node, among the current one and its following siblings,
// whose key equals the name. An empty path returns the node itself. From the
// root, "/property_sets/" reaches the first element of "property_sets".
const bson_node* bson_find(const bson_node* node, const char* path);

// The next sibling, or null.
const bson_node* bson_next(const bson_node* node);

// The value of the integer or boolean node at `path` from `node`.
// STATUS_NOT_FOUND when the path leads nowhere, STATUS_OBJECT_TYPE_MISMATCH
// when the node found has another kind; `*value` is left alone then.
NTSTATUS bson_get_int(const bson_node* node, const char* path, LONGLONG* value);

// Copies the string value at `path` from `node`, with its stored length
// (terminating zero included), into `buffer`. STATUS_INVALID_PARAMETER when
// there is no such node or it is not a string; STATUS_INSUFFICIENT_RESOURCES
// when its length is `size` or more (nothing is copied then).
NTSTATUS bson_get_string(const bson_node* node, const char* path, char* buffer, ULONG size,
                         ULONG* length);

// Copies up to `size` bytes of the node's key (with its terminating zero when
// it fits) and returns the key's length including the zero.
ULONG bson_get_key(const bson_node* node, char* buffer, ULONG size);
