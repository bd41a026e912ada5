// The simulated 0x8800 HD capture device: it captures a video source (the
// test pattern of frame_source.h stands for the picture on the cable) and
// sends it as "YUY2" over bulk. An interlaced 1080-line source comes as
// alternate fields in a 540-line format, marked in the payload headers.
//
// What the family is asked, and the answers (everything else stalls):
//
//   vendor IN 0x01, 4 bytes      firmware revision (every time)
//   vendor IN 0x19, 4 bytes      the length of the default-set document the
//                                device stores (0: none, the default)
//   vendor IN 0x1A               its bytes from the offset in wValue (bits
//                                31..16) and wIndex (15..0), short at the end
//   sensor extension unit {DE49BA0A-0B5C-D549-8F71-0BE40F94A67A} (3):
//     57 (bmControls bit 56)    video mode (4 bytes, get only): low 4 bits
//                               the source: 1 1080p, 2 1080i, 3 720p
//
// Formats ("YUY2"): 1920 x 1080 at 30 fps, 1920 x 540 (one field) at 60
// fields per second, 1280 x 720 at 60 and 30 fps.
//
// Fields: in the 540-line format every frame is one field; a pair of
// frames makes a picture. The first field of a pair holds the top lines
// (0, 2, 4, ...) of a top-field-first source, the bottom lines (1, 3, ...)
// of a bottom-field-first one; the second field the others. Payload
// header bmHeaderInfo bit 4 (0x10) is the field flag: clear on every
// payload of a pair's first field, set on its second field's. Bit 5 (0x20)
// is the order flag, on every payload of both fields: set when the first
// field holds the bottom lines. (The device sends no still images, so
// bit 5 has no other use here.) An interlaced source's fields are taken
// 1/60 s apart (field f shows the pattern's picture f), a progressive
// source's two fields from one picture (PsF). The first 4 bytes of every
// field, and of every frame, carry its frame number (the stream's
// sequence number).
//
// Lost fields (lose_fields): fields of the 540-line format the device
// never sends, counted as the picture numbers the fields would show (field
// f shows picture f). The frame sent before a gap is followed after the
// lost fields' time as well, so PTS jumps over them; frame numbers in the
// bytes are the fields' own, so they jump too.
//
// Full-line formats: a progressive source's picture as it is; an
// interlaced source's two fields woven into one frame (field flag clear).
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "family_camera.h"

namespace sim {

enum class video_source { p1080, i1080, p720 };
// The video mode register's value for a source: 1, 2, 3.
uint8_t video_mode_of(video_source source);

class model_8800 : public family_camera {
 public:
  static std::shared_ptr<model_8800> create(video_source source = video_source::i1080,
                                            bool bottom_field_first = false);
  model_8800(const uvc_camera_desc& usb, video_source source, bool bottom_field_first);
  ~model_8800() override;

  // The source on the cable from the next frame on (and its mode register).
  void set_video_source(video_source source, bool bottom_field_first = false);
  video_source source() const;
  // Fields the device loses from now on (see above).
  void lose_fields(std::set<uint64_t> fields);
  bool field_lost(uint64_t field) const;

  // The BSON document of named default sets the device stores for the
  // driver (vendor requests 0x19, 0x1A); empty: none. Read at the driver's
  // next initialisation.
  void set_stored_default_sets(std::vector<uint8_t> document);

  // Renders what the device sends as frame `number` of a W x H "YUY2"
  // format, and its header bits, as the stream does.
  void picture(uint32_t width, uint32_t height, uint64_t number, std::vector<uint8_t>* frame,
               uint8_t* header_bits) const;

  void set_stream_options(const stream_options& options) override;

 protected:
  bool answer(const setup_packet& setup, std::vector<uint8_t>& data, USBD_STATUS* status) override;

 private:
  class capture_source;
  struct cable;
  std::shared_ptr<cable> cable_;  // shared with the frame source
  std::shared_ptr<capture_source> source_;
  mutable std::mutex stored_lock_;
  std::vector<uint8_t> stored_default_sets_;  // guarded by stored_lock_
};

}  // namespace sim
