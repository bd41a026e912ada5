// defect_pixel_store: the defect-pixel table a camera keeps in its own
// memory (camera_84xx), exposed as properties, loaded from and saved to the
// camera, and applied to every raw frame.
//
// In camera memory the table is a tagged record store in the window
// [0x60000, 0x80000) reached with vendor request 0x10: a 4-byte header
// (version 1, 0, 0xFF, 0x00), records (16-bit id, 16-bit length, data) one
// after the other, and the end mark 0xFFFFFFFF. Record 1 holds the list as
// raw entries, record 2 compressed (defect_codec.h); the driver writes
// record 2.
//
// Keys of camera_feature_set, at level 0, in this order:
//   32  correction on (48-byte value record, default 1)
//   36  marking mode (default 0)
//   38  set a non-zero 32-bit value: save the list to the camera
//   39  set a non-zero 32-bit value: load the list from the camera
//   37  the list: a 32-bit count, then the entries; a set with a count of 0
//       (or under 4 bytes) empties the list and erases the window
//
// The frame worker corrects each raw frame with a per-frame copy of the
// list: the entries moved into the frame's coordinates (offsets, binning,
// flips), rebuilt only when those change or the list does. The copy is
// sized when the list is replaced, so the frame path allocates nothing;
// its spin lock is held while the list is swapped and while a frame is
// corrected. Everything else runs at PASSIVE_LEVEL.
#pragma once

#include "controls/camera_control.h"
#include "img/img_type.h"
#include "kernel/kernel_api.h"
#include "kernel/pool_array.h"

// A stream over a window of camera memory, built on the stack for one load
// or save.
struct camera_memory_stream {
  ULONG start;
  ULONG end;
  ULONG position;
  PDEVICE_OBJECT device;

  void rewind() { position = start; }
  // Moves on by `n` increased to the next multiple of 4; beyond the end →
  // the end and STATUS_INSUFFICIENT_RESOURCES.
  NTSTATUS skip(ULONG n);
  NTSTATUS read(PVOID buffer, ULONG n);
  // With read-back verification (write_camera_memory).
  NTSTATUS write(const void* buffer, ULONG n);
  ULONG remaining() const { return end - position; }
};

// Where a frame's pixels lie on the sensor.
struct defect_frame_params {
  LONG offset_x;
  LONG offset_y;
  LONG binning;  // 1, 2 or 4; others count as 1
  bool flip_x;
  bool flip_y;
};

class defect_pixel_store : public camera_control {
 public:
  static constexpr ULONG window_start = 0x60000;
  static constexpr ULONG window_size = 0x20000;
  static constexpr ULONG key_enabled = 32;
  static constexpr ULONG key_marking = 36;
  static constexpr ULONG key_save = 38;
  static constexpr ULONG key_load = 39;
  static constexpr ULONG key_entries = 37;
  static constexpr USHORT record_raw = 1;
  static constexpr USHORT record_compressed = 2;

  explicit defect_pixel_store(uvc_camera* camera);
  ~defect_pixel_store() override;

  NTSTATUS set_property(uvc_camera* camera, control_call* call) override;
  NTSTATUS get_property(uvc_camera* camera, control_call* call) override;

  // Sensor size (the compressed form needs the width) and the keys.
  NTSTATUS register_keys(ULONG sensor_width, ULONG sensor_height);
  NTSTATUS load();
  NTSTATUS save();
  NTSTATUS reset();
  NTSTATUS set_entries(const ULONG* entries, ULONG count);

  // The in-memory record store. get_record: id outside 1..65534 →
  // STATUS_INVALID_PARAMETER, a size above 65535 → STATUS_BUFFER_OVERFLOW,
  // an absent id → STATUS_NOT_FOUND; copies min(size, length) bytes, sets
  // `*size` to the record's length and answers STATUS_MORE_ENTRIES when the
  // record is longer than the buffer (or only the size was asked for).
  NTSTATUS get_record(ULONG id, PVOID buffer, ULONG* size) const;
  NTSTATUS set_record(ULONG id, const void* data, ULONG length);
  void clear_records();

  // Frame worker.
  void apply(const img::img_descriptor& frame, const defect_frame_params& params);

 private:
  struct record {
    USHORT id;
    USHORT present;
    ULONG length;
    UCHAR* data;  // "sfep"
  };
  static NTSTATUS visit(PVOID context, USHORT id, ULONG offset, ULONG length);
  static void free_records(pool_array<record>* records);
  NTSTATUS replace_list(const ULONG* entries, ULONG count);
  void rebuild_copy(const img::img_descriptor& frame, const defect_frame_params& params);

  uvc_camera* camera_;
  ULONG width_;
  ULONG height_;
  ULONG compressed_capacity_;
  LONG volatile enabled_;
  LONG volatile marking_;
  pool_array<record> records_;
  KSPIN_LOCK lock_;
  ULONG* list_;   // "haat", non-paged
  ULONG count_;
  ULONG* copy_;   // room for count_ entries
  ULONG copy_count_;
  defect_frame_params copy_params_;
  LONG copy_width_;
  LONG copy_height_;
  bool rebuild_;
  // While loading.
  camera_memory_stream* loading_stream_;
  pool_array<record>* loading_;
};

// Creates the camera's store, registers it for a sensor of width x height
// and loads the list from the camera (a missing or corrupt table leaves it
// empty). Only a lack of memory fails.
NTSTATUS create_defect_pixel_store(uvc_camera* camera, ULONG sensor_width, ULONG sensor_height,
                                   defect_pixel_store** store);
