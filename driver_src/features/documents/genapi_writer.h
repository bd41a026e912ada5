// genapi_writer: writes one GenICam GenApi 1.0 register description (XML)
// into a growing paged-pool buffer ("Auvc"), and the node kinds the
// feature documents are made of. Kernel code: no C runtime formatting, no
// standard library. PASSIVE_LEVEL (paged pool), at camera initialisation.
//
// Every text written as element content or attribute value is escaped;
// bytes that are not valid UTF-8, and control characters XML does not
// allow, are written as '?'. The first failure (out of memory) is kept and
// returned by finish(); later calls then do nothing.
#pragma once

#include "kernel/kernel_api.h"
#include "kernel/pool_array.h"

class genapi_writer {
 public:
  genapi_writer() : text_(PagedPool), depth_(0), status_(STATUS_SUCCESS) {}
  genapi_writer(const genapi_writer&) = delete;
  genapi_writer& operator=(const genapi_writer&) = delete;

  // The XML declaration and the RegisterDescription root with the
  // attributes every document of the driver carries.
  void begin(const char* model_name, const char* tooltip);
  // Closes the root and terminates the text; the status of the whole
  // writing.
  NTSTATUS finish();
  // After a successful finish(): the text and its size, terminating zero
  // included.
  const char* text() const { return text_.data(); }
  ULONG size() const { return text_.count(); }

  // <tag Name="name" NameSpace="name_space"> on a new line; null
  // attributes are left out.
  void open(const char* tag, const char* name = nullptr, const char* name_space = nullptr);
  // <tag Name="name"/>
  void empty(const char* tag, const char* name, const char* name_space = nullptr);
  void close(const char* tag);
  // <tag>text</tag>, <tag>decimal</tag>, <tag>0x...</tag>
  void element(const char* tag, const char* text);
  void element(const char* tag, LONG value);
  void element_hex(const char* tag, ULONGLONG value);
  // A decimal fraction given in hundredths ("-8", "0.5", "0.01").
  void element_hundredths(const char* tag, LONG hundredths);
  // <pVariable Name="variable">node</pVariable>
  void variable(const char* variable, const char* node);

 private:
  void raw(const char* text);
  void raw_char(char c);
  void escaped(const char* text, ULONG length);
  void newline();

  pool_array<char> text_;
  ULONG depth_;
  NTSTATUS status_;
};

// ---- node kinds -----------------------------------------------------------------------
// The driver's own extension of a feature node: its item and element
// GUIDs and what else a client shows. Null texts and a negative order are
// left out.
struct genapi_extension {
  const char* item_guid;          // VCDItemGUID
  const char* element_guid;       // VCDElementGUID
  const char* element_name;       // VCDElementName
  LONG element_order;             // VCDElementOrder; < 0: none
  const char* category_name;      // VCDCategoryName
  const char* item_name;          // VCDItemName
  const char* default_value;      // Default
  bool do_not_serialize;          // DoNotSerialize
};

// What every feature node has: its name and display name, visibility (null:
// Beginner), the node that locks it (null: none), read-only, and the
// extension (null: none).
struct genapi_feature {
  const char* name;
  const char* display_name;
  const char* visibility;
  const char* locked_by;
  bool read_only;
  const genapi_extension* extension;
};

struct genapi_enum_entry {
  const char* name;
  const char* display_name;
  LONG value;
};

// A category with its features; `extension` may be null.
void write_category(genapi_writer& w, const char* name, const char* display_name,
                    const genapi_extension* extension, const char* const* features, ULONG count);
// A 4-byte register of the virtual register space on port "Device",
// little-endian, never cached (the driver's loops change values): IntReg
// unsigned, or FloatReg (IEEE single). `access` "RW", "RO" or "WO".
void write_int_reg(genapi_writer& w, const char* name, ULONG number, const char* access);
void write_float_reg(genapi_writer& w, const char* name, ULONG number, const char* access);
void write_boolean(genapi_writer& w, const genapi_feature& f, const char* value_node);
void write_boolean_constant(genapi_writer& w, const genapi_feature& f, bool value);
void write_integer(genapi_writer& w, const genapi_feature& f, const char* value_node, LONG minimum,
                   LONG maximum, LONG increment);
// Bounds in hundredths.
void write_float(genapi_writer& w, const genapi_feature& f, const char* value_node,
                 LONG minimum_hundredths, LONG maximum_hundredths);
void write_command(genapi_writer& w, const genapi_feature& f, const char* value_node,
                   LONG command_value);
void write_enumeration(genapi_writer& w, const genapi_feature& f, const genapi_enum_entry* entries,
                       ULONG count, const char* value_node);
// An IntSwissKnife; variables as pairs (variable name, node).
void write_int_swiss_knife(genapi_writer& w, const char* name, const char* const (*variables)[2],
                           ULONG count, const char* formula);
// An IntConverter over `value_node`: FormulaTo from the feature's value
// (FROM) to the node's, FormulaFrom back (from TO).
void write_int_converter(genapi_writer& w, const char* name, const char* formula_to,
                         const char* formula_from, const char* value_node, const char* slope);
// The one port of every document.
void write_device_port(genapi_writer& w);
