// The GenApi document writer and its node kinds (genapi_writer.h).
#include "features/documents/genapi_writer.h"

#include "features/documents/register_descriptions.h"

namespace {

ULONG text_length(const char* text) {
  ULONG n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// Length of the valid UTF-8 sequence at `s` (at most `left` bytes), or 0.
ULONG utf8_sequence(const UCHAR* s, ULONG left) {
  const UCHAR c = s[0];
  ULONG n;
  ULONG minimum;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    minimum = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    minimum = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (left < n) return 0;
  ULONG code = c & (0x7F >> n);
  for (ULONG i = 1; i < n; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    code = code << 6 | (s[i] & 0x3F);
  }
  // Overlong forms, surrogates and code points past Unicode are not text.
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  // XML does not allow U+FFFE and U+FFFF.
  if (code == 0xFFFE || code == 0xFFFF) return 0;
  return n;
}

}  // namespace

// ---- genapi_writer ------------------------------------------------------------------------

void genapi_writer::raw_char(char c) {
  if (NT_SUCCESS(status_)) status_ = text_.append(c);
}

void genapi_writer::raw(const char* text) {
  for (; *text != 0; ++text) raw_char(*text);
}

void genapi_writer::escaped(const char* text, ULONG length) {
  const auto* s = reinterpret_cast<const UCHAR*>(text);
  for (ULONG i = 0; i < length;) {
    const UCHAR c = s[i];
    switch (c) {
      case '&': raw("&amp;"); ++i; continue;
      case '<': raw("&lt;"); ++i; continue;
      case '>': raw("&gt;"); ++i; continue;
      case '"': raw("&quot;"); ++i; continue;
      default: break;
    }
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
      raw_char('?');
      ++i;
      continue;
    }
    const ULONG n = utf8_sequence(s + i, length - i);
    if (n == 0) {
      raw_char('?');
      ++i;
      continue;
    }
    for (ULONG k = 0; k < n; ++k) raw_char(char(s[i + k]));
    i += n;
  }
}

void genapi_writer::newline() {
  raw_char('\n');
  for (ULONG i = 0; i < depth_; ++i) raw("  ");
}

void genapi_writer::begin(const char* model_name, const char* tooltip) {
  raw("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<RegisterDescription ModelName=\"");
  escaped(model_name, text_length(model_name));
  raw("\" VendorName=\"Dravonis\" ToolTip=\"");
  escaped(tooltip, text_length(tooltip));
  raw("\" StandardNameSpace=\"GEV\" SchemaMajorVersion=\"1\" SchemaMinorVersion=\"0\""
      " SchemaSubMinorVersion=\"1\" MajorVersion=\"1\" MinorVersion=\"0\" SubMinorVersion=\"0\""
      " ProductGuid=\"e77de3a5-1c3a-40fc-9e12-8c0edb717849\""
      " VersionGuid=\"763b3ed5-8038-4da0-b14f-e41b7589e4f3\""
      " xmlns=\"http://www.genicam.org/GenApi/Version_1_0\""
      " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
      " xsi:schemaLocation=\"http://www.genicam.org/GenApi/Version_1_0"
      " GenApiSchema_Version_1_0.xsd\">");
  depth_ = 1;
}

NTSTATUS genapi_writer::finish() {
  depth_ = 0;
  raw("\n</RegisterDescription>\n");
  raw_char(0);
  return status_;
}

void genapi_writer::open(const char* tag, const char* name, const char* name_space) {
  newline();
  raw_char('<');
  raw(tag);
  if (name != nullptr) {
    raw(" Name=\"");
    escaped(name, text_length(name));
    raw_char('"');
  }
  if (name_space != nullptr) {
    raw(" NameSpace=\"");
    raw(name_space);
    raw_char('"');
  }
  raw_char('>');
  ++depth_;
}

void genapi_writer::empty(const char* tag, const char* name, const char* name_space) {
  open(tag, name, name_space);
  --depth_;
  // Turn the ">" just written into "/>".
  if (NT_SUCCESS(status_)) {
    text_[text_.count() - 1] = '/';
    raw_char('>');
  }
}

void genapi_writer::close(const char* tag) {
  if (depth_ > 0) --depth_;
  newline();
  raw("</");
  raw(tag);
  raw_char('>');
}

void genapi_writer::element(const char* tag, const char* text) {
  newline();
  raw_char('<');
  raw(tag);
  raw_char('>');
  escaped(text, text_length(text));
  raw("</");
  raw(tag);
  raw_char('>');
}

void genapi_writer::element(const char* tag, LONG value) {
  char digits[12];
  ULONG n = 0;
  ULONG magnitude = value < 0 ? 0u - ULONG(value) : ULONG(value);
  do {
    digits[n++] = char('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  char text[13];
  ULONG at = 0;
  if (value < 0) text[at++] = '-';
  while (n > 0) text[at++] = digits[--n];
  text[at] = 0;
  element(tag, text);
}

void genapi_writer::element_hex(const char* tag, ULONGLONG value) {
  char text[19] = {'0', 'x'};
  for (ULONG i = 0; i < 16; ++i) {
    const ULONG nibble = ULONG(value >> (60 - 4 * i)) & 0xF;
    text[2 + i] = "0123456789ABCDEF"[nibble];
  }
  text[18] = 0;
  element(tag, text);
}

void genapi_writer::element_hundredths(const char* tag, LONG hundredths) {
  const ULONG magnitude = hundredths < 0 ? 0u - ULONG(hundredths) : ULONG(hundredths);
  const ULONG whole = magnitude / 100;
  const ULONG fraction = magnitude % 100;
  char text[16];
  ULONG at = 0;
  if (hundredths < 0) text[at++] = '-';
  char digits[10];
  ULONG n = 0;
  ULONG w = whole;
  do {
    digits[n++] = char('0' + w % 10);
    w /= 10;
  } while (w != 0);
  while (n > 0) text[at++] = digits[--n];
  if (fraction != 0) {
    text[at++] = '.';
    text[at++] = char('0' + fraction / 10);
    if (fraction % 10 != 0) text[at++] = char('0' + fraction % 10);
  }
  text[at] = 0;
  element(tag, text);
}

void genapi_writer::variable(const char* variable, const char* node) {
  newline();
  raw("<pVariable Name=\"");
  escaped(variable, text_length(variable));
  raw("\">");
  escaped(node, text_length(node));
  raw("</pVariable>");
}

// ---- node kinds -------------------------------------------------------------------------------

namespace {

void write_extension(genapi_writer& w, const genapi_extension* e) {
  if (e == nullptr) return;
  w.open("Extension");
  if (e->item_guid != nullptr) w.element("VCDItemGUID", e->item_guid);
  if (e->element_guid != nullptr) w.element("VCDElementGUID", e->element_guid);
  if (e->element_name != nullptr) w.element("VCDElementName", e->element_name);
  if (e->element_order >= 0) w.element("VCDElementOrder", e->element_order);
  if (e->category_name != nullptr) w.element("VCDCategoryName", e->category_name);
  if (e->item_name != nullptr) w.element("VCDItemName", e->item_name);
  if (e->default_value != nullptr) w.element("Default", e->default_value);
  if (e->do_not_serialize) w.element("DoNotSerialize", "1");
  w.close("Extension");
}

// The elements every node starts with, in the schema's order.
void write_node_elements(genapi_writer& w, const genapi_feature& f) {
  write_extension(w, f.extension);
  if (f.display_name != nullptr) w.element("DisplayName", f.display_name);
  if (f.visibility != nullptr) w.element("Visibility", f.visibility);
  if (f.locked_by != nullptr) w.element("pIsLocked", f.locked_by);
  if (f.read_only) w.element("ImposedAccessMode", "RO");
}

void write_register(genapi_writer& w, const char* kind, const char* name, ULONG number,
                    const char* access) {
  w.open(kind, name);
  w.element_hex("Address", register_address(number));
  w.element("Length", LONG(4));
  w.element("AccessMode", access);
  w.element("pPort", "Device");
  w.element("Cachable", "NoCache");
}

}  // namespace

void write_category(genapi_writer& w, const char* name, const char* display_name,
                    const genapi_extension* extension, const char* const* features, ULONG count) {
  w.open("Category", name);
  write_extension(w, extension);
  if (display_name != nullptr) w.element("DisplayName", display_name);
  for (ULONG i = 0; i < count; ++i) w.element("pFeature", features[i]);
  w.close("Category");
}

void write_int_reg(genapi_writer& w, const char* name, ULONG number, const char* access) {
  write_register(w, "IntReg", name, number, access);
  w.element("Sign", "Unsigned");
  w.element("Endianess", "LittleEndian");
  w.close("IntReg");
}

void write_float_reg(genapi_writer& w, const char* name, ULONG number, const char* access) {
  write_register(w, "FloatReg", name, number, access);
  w.element("Endianess", "LittleEndian");
  w.close("FloatReg");
}

void write_boolean(genapi_writer& w, const genapi_feature& f, const char* value_node) {
  w.open("Boolean", f.name);
  write_node_elements(w, f);
  w.element("pValue", value_node);
  w.element("OnValue", LONG(1));
  w.element("OffValue", LONG(0));
  w.close("Boolean");
}

void write_boolean_constant(genapi_writer& w, const genapi_feature& f, bool value) {
  w.open("Boolean", f.name);
  write_node_elements(w, f);
  w.element("Value", value ? "true" : "false");
  w.close("Boolean");
}

void write_integer(genapi_writer& w, const genapi_feature& f, const char* value_node, LONG minimum,
                   LONG maximum, LONG increment) {
  w.open("Integer", f.name);
  write_node_elements(w, f);
  w.element("pValue", value_node);
  w.element("Min", minimum);
  w.element("Max", maximum);
  w.element("Inc", increment);
  w.close("Integer");
}

void write_float(genapi_writer& w, const genapi_feature& f, const char* value_node,
                 LONG minimum_hundredths, LONG maximum_hundredths) {
  w.open("Float", f.name);
  write_node_elements(w, f);
  w.element("pValue", value_node);
  w.element_hundredths("Min", minimum_hundredths);
  w.element_hundredths("Max", maximum_hundredths);
  w.close("Float");
}

void write_command(genapi_writer& w, const genapi_feature& f, const char* value_node,
                   LONG command_value) {
  w.open("Command", f.name);
  write_node_elements(w, f);
  w.element("pValue", value_node);
  w.element("CommandValue", command_value);
  w.close("Command");
}

void write_enumeration(genapi_writer& w, const genapi_feature& f, const genapi_enum_entry* entries,
                       ULONG count, const char* value_node) {
  w.open("Enumeration", f.name);
  write_node_elements(w, f);
  for (ULONG i = 0; i < count; ++i) {
    w.open("EnumEntry", entries[i].name);
    w.element("DisplayName", entries[i].display_name);
    w.element("Value", entries[i].value);
    w.close("EnumEntry");
  }
  w.element("pValue", value_node);
  w.close("Enumeration");
}

void write_int_swiss_knife(genapi_writer& w, const char* name, const char* const (*variables)[2],
                           ULONG count, const char* formula) {
  w.open("IntSwissKnife", name);
  for (ULONG i = 0; i < count; ++i) w.variable(variables[i][0], variables[i][1]);
  w.element("Formula", formula);
  w.close("IntSwissKnife");
}

void write_int_converter(genapi_writer& w, const char* name, const char* formula_to,
                         const char* formula_from, const char* value_node, const char* slope) {
  w.open("IntConverter", name);
  w.element("FormulaTo", formula_to);
  w.element("FormulaFrom", formula_from);
  w.element("pValue", value_node);
  w.element("Slope", slope);
  w.close("IntConverter");
}

void write_device_port(genapi_writer& w) { w.empty("Port", "Device"); }
