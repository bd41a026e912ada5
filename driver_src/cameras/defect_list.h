// defect_list: the defect-pixel list of the 0x82xx and 0x83xx cameras, and
// the EEPROM record store it is kept in (eeprom_store).
//
// The list: a master list of sensor pixels (x low, y high 16 bits; full
// resolution) and three derived lists for the binning factors 1, 2 and 4,
// from the camera's EEPROM, from an "HTPX" file ("onload filename") or from
// property writes. The derived list of binning b keeps each defect's colour
// site: x' = (x / 2b) x 2 + (x AND 1), likewise y; binning 1 is the master
// list. The frame worker corrects every raw frame with the list of its
// binning factor before the automatic loops (correct): a defect becomes the
// mean of its same-colour neighbours on its line (4 and 2 columns either
// side on 8-bit Bayer frames, 2 and 1 on "Y800"), or 255 in marking mode;
// defects within 4 columns of the frame's left or right edge stay.
//
// Keys, at level 1:
//   camera_feature_set 32  correction on (48-byte value record; starts on)
//                      36  marking mode (starts off; its record, like 32's,
//                          names 1 as the default)
//                      37  the master list: a 32-bit count, then the entries
//   driver_property_set 20 save the master list to the EEPROM (record 11,
//                          compressed)
//                      21  load the list from the EEPROM
//                      23  clear the lists and erase the store's window
//                      22  hex dump of the EEPROM up to the window's end to the
//                          debug output
//                      34  a 32-byte raw block at the window's start (only when
//                          the window has room for it)
//
// The EEPROM store: a window [start, end) of the camera's serial EEPROM
// (vendor requests 0x02 and 0x03), a 4-byte header in its last 4 bytes
// (version 1, 0, 0xFF, 0x00) and tagged records below it, each a 4-byte
// header (16-bit id, 16-bit length) with its data directly below. Records:
// 11 the compressed master list, 10 the master list as raw entries, 1 to 12
// the older cameras' raw lists per binning factor (1-4, 5-8, 9-12).
//
// PASSIVE_LEVEL, except correct (frame worker). The lists are replaced
// whole under a spin lock, which correct holds while it reads them.
#pragma once

#include "controls/camera_control.h"
#include "img/img_type.h"
#include "kernel/kernel_api.h"
#include "kernel/pool_array.h"

// ---- EEPROM access (vendor requests to the device, value 0) ------------------------
// Reads `length` bytes at `address`: OUT 0x03 (index 0x00A1) with the address,
// most significant byte first, then IN 0x02 (index 0x00A0) of at most 64
// bytes each, each after a 2 ms pause. A request that returns no bytes →
// STATUS_UNSUCCESSFUL; an address past 65535 → STATUS_INVALID_PARAMETER.
NTSTATUS eeprom_read(PDEVICE_OBJECT device, ULONG address, PVOID buffer, ULONG length);
// Writes 1 to 16 bytes at `address`: OUT 0x02 (index 0x00A1) with the address
// and the bytes, then after attempt x 10 ms reads them back; up to 4
// attempts, then STATUS_UNSUCCESSFUL. Address 0 → STATUS_INVALID_DEVICE_STATE;
// an address past 65535 or more than 16 bytes → STATUS_INVALID_PARAMETER.
NTSTATUS eeprom_write(PDEVICE_OBJECT device, ULONG address, const void* data, ULONG length);

class eeprom_store {
 public:
  static constexpr ULONG default_start = 15872;
  static constexpr ULONG default_end = 16384;
  static constexpr ULONG raw_block_size = 32;
  static constexpr ULONG raw_block_data = 24;

  eeprom_store();
  ~eeprom_store();
  eeprom_store(const eeprom_store&) = delete;
  eeprom_store& operator=(const eeprom_store&) = delete;

  // The start is rounded up to a multiple of 64; an end at or below it
  // leaves an empty window.
  void set_window(ULONG start, ULONG end);
  ULONG start() const { return start_; }
  ULONG end() const { return end_; }
  ULONG size() const { return end_ - start_; }

  // Reads the window's records in place of the ones held (held ones are
  // kept on a failure; see walk_eeprom_records for the statuses).
  NTSTATUS load(PDEVICE_OBJECT device);
  // Writes the header, every record (in the order held) and an end mark
  // below the last one (when there is room), 16 bytes at a time.
  NTSTATUS save(PDEVICE_OBJECT device);
  // 0xFF over the whole window; 16-byte blocks that read back erased
  // already are not written again.
  NTSTATUS erase(PDEVICE_OBJECT device);

  // The record's data and length; false when the store has none.
  bool find(USHORT id, const UCHAR** data, ULONG* length) const;
  NTSTATUS set_record(USHORT id, const UCHAR* data, ULONG length);
  void remove_record(USHORT id);
  void clear();
  // The bytes the records take with their headers.
  ULONG records_bytes() const;
  // The raw block of key 34 has room: 32 bytes after 8 bytes of
  // bookkeeping and the records.
  bool has_raw_block_room() const;

 private:
  struct record {
    USHORT id;
    USHORT changed;
    ULONG length;
    UCHAR* data;  // paged pool, "haat"; null for an empty record
  };
  static NTSTATUS visit(PVOID context, USHORT id, ULONG offset, ULONG length);
  void free_records(pool_array<record>* records);

  ULONG start_;
  ULONG end_;
  pool_array<record> records_;
  // While loading: the device and the records being read.
  PDEVICE_OBJECT loading_device_;
  pool_array<record>* loading_;
};

// ---- what both defect stores share ------------------------------------------------
// Corrects `count` defects in frame coordinates (x low, y high 16 bits) of an
// 8-bit Bayer or "Y800" frame; other formats are left.
void correct_defect_entries(const img::img_descriptor& frame, const ULONG* entries, ULONG count,
                            bool marking);
// Key 37's get: the count, and the entries when the output holds them all;
// an output under 4 bytes → `short_status`.
NTSTATUS answer_defect_entries(control_call* call, const ULONG* entries, ULONG count,
                               NTSTATUS short_status);

class defect_list : public camera_control {
 public:
  static constexpr ULONG key_enabled = 32;
  static constexpr ULONG key_marking = 36;
  static constexpr ULONG key_entries = 37;
  static constexpr ULONG key_save = 20;
  static constexpr ULONG key_load = 21;
  static constexpr ULONG key_dump = 22;
  static constexpr ULONG key_clear = 23;
  static constexpr ULONG key_raw_block = 34;

  explicit defect_list(uvc_camera* camera);
  ~defect_list() override;

  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;

  eeprom_store& store() { return store_; }
  void set_sensor(ULONG width, ULONG height) {
    width_ = width;
    height_ = height;
  }
  // The store's window as the camera reports it (see create_defect_list).
  void window_from_camera();
  // Registers the keys for a sensor of width x height (key 34 when the
  // store, as loaded, leaves room for it).
  NTSTATUS register_keys(ULONG sensor_width, ULONG sensor_height);
  // Key 21: the store from the EEPROM, then the list from record 10, else
  // record 11, else the older records 1 to 12 (derived lists only). The
  // lists are unchanged on a failure.
  NTSTATUS load_from_eeprom();
  // Key 20: the master list as record 11 (records 10 and 1 to 12 are
  // dropped, so that what is loaded back is this list), then the store.
  NTSTATUS save_to_eeprom();
  // Key 23.
  NTSTATUS clear_eeprom();
  // An "HTPX" file at a kernel path ("\DosDevices\..."): the lists of its
  // known chunks replace the derived lists, a non-empty binning-1 list also
  // the master list. A missing or unreadable file, or one of another
  // version → STATUS_INVALID_PARAMETER (the lists are unchanged).
  NTSTATUS load_file(const UNICODE_STRING& path);
  // The master list := `count` entries (more than 1,000,000 →
  // STATUS_BUFFER_OVERFLOW); the derived lists rebuilt.
  NTSTATUS set_entries(const ULONG* entries, ULONG count);

  // Frame worker: the frame's pixels lie at (offset_x, offset_y) of the
  // sensor, binned by `binning` (1, 2 or 4; others count as 1).
  void correct(const img::img_descriptor& frame, LONG offset_x, LONG offset_y, LONG binning);

 private:
  struct list {
    ULONG* entries;  // non-paged, "haat"; null when empty
    ULONG count;
  };
  static NTSTATUS copy_list(const ULONG* entries, ULONG count, ULONG binning, list* out);
  static void free_list(list* l);
  // Installs the given lists (null: keep) under the lock and frees the old.
  void install(list* master, list* binned);
  NTSTATUS take_store_list();
  NTSTATUS dump_eeprom();
  NTSTATUS raw_block_set(const control_call* call);
  NTSTATUS raw_block_get(control_call* call);

  uvc_camera* camera_;
  ULONG width_;
  ULONG height_;
  KSPIN_LOCK lock_;
  list master_;
  list binned_[3];  // binning 1, 2, 4
  LONG volatile enabled_;
  LONG volatile marking_;
  eeprom_store store_;
};

// Creates the camera's defect list, sets its store's window (the vendor
// extension unit's selector 23 range, else the range of selector 71 of unit
// 2 or the camera terminal when its end is at least 16384, else 15872 to
// 16384), loads the list from the EEPROM, registers its keys and loads the
// file the stored "onload filename" names. Only a lack of memory fails.
NTSTATUS create_defect_list(uvc_camera* camera, ULONG sensor_width, ULONG sensor_height,
                            defect_list** list);

// Driver property 29 ("onload filename"): a wide string (not necessarily
// terminated) of more than 2 bytes names the file below \DosDevices\; it is
// loaded and on success stored as "onload filename". 2 bytes or fewer store
// an empty name. An odd length → STATUS_INVALID_PARAMETER, more than 65520
// bytes → STATUS_BUFFER_OVERFLOW; without a list → STATUS_INVALID_PARAMETER.
NTSTATUS set_onload_filename(uvc_camera* camera, defect_list* list, PVOID buffer, ULONG size);
