// Arbitrary bytes as what a client sends the capture pin: a data range to
// intersect with the pin's range, and video info headers to check as a
// connection format or a format change. The range comes in a buffer exactly
// as long as its FormatSize says (ks.sys guarantees that much); nothing may
// be read past it, and an intersection result must fit the size it reports.
//
// The first input byte chooses the shape: raw bytes, or the pin's own range
// with the rest of the input laid over its video info header (so that the
// configuration capabilities match and the intersection gets past them).
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "avstream/capture_pin.h"
#include "avstream/data_range.h"
#include "kernel/kernel_api.h"
#include "uvc/uvc_format_records.h"

namespace {

KS_DATARANGE_VIDEO pin_range() {
  KS_DATARANGE_VIDEO range;
  make_data_range(&range, subtype_from_fourcc(0x30303859 /* "Y800" */), 640, 480, 8, 333333,
                  333333, 10000000);
  return range;
}

void intersect(std::vector<uint8_t>& caller) {
  auto* d = reinterpret_cast<KSDATARANGE*>(caller.data());
  d->FormatSize = ULONG(caller.size());
  KS_DATARANGE_VIDEO m = pin_range();
  ULONG needed = 0;
  NTSTATUS status = pin_intersect(nullptr, nullptr, nullptr, d, &m.DataRange, 0, nullptr, &needed);
  if (status != STATUS_BUFFER_OVERFLOW) return;
  if (needed < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) || needed > (1u << 20)) {
    if (needed < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) __builtin_trap();
    return;
  }
  std::vector<uint8_t> out(needed);
  ULONG written = 0;
  status = pin_intersect(nullptr, nullptr, nullptr, d, &m.DataRange, needed, out.data(), &written);
  if (status != STATUS_SUCCESS || written != needed) __builtin_trap();
  const auto* format = reinterpret_cast<const KSDATAFORMAT*>(out.data());
  if (format->FormatSize != needed) __builtin_trap();
  // The result is a connection format: the pin's own checks read it.
  const auto* video = reinterpret_cast<const KS_VIDEOINFOHEADER*>(out.data() + sizeof(KSDATAFORMAT));
  check_bitmap_size(video->bmiHeader);
  format_matches_range(*video, m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t shape = data[0];
  ++data;
  --size;

  std::vector<uint8_t> caller;
  if (shape & 1) {
    const KS_DATARANGE_VIDEO m = pin_range();
    caller.assign(reinterpret_cast<const uint8_t*>(&m), reinterpret_cast<const uint8_t*>(&m) + sizeof m);
    const size_t at = offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader);
    caller.resize(at);
    caller.insert(caller.end(), data, data + size);
  } else {
    if (size < sizeof(KSDATARANGE)) return 0;
    caller.assign(data, data + size);
  }
  intersect(caller);

  // Two video info headers from the input: the checks of a new connection
  // format and of a format change.
  if (size >= 2 * sizeof(KS_VIDEOINFOHEADER)) {
    KS_VIDEOINFOHEADER next, current;
    memcpy(&next, data, sizeof next);
    memcpy(&current, data + sizeof next, sizeof current);
    check_bitmap_size(next.bmiHeader);
    LONGLONG width = 0, height = 0;
    get_video_size(next, &width, &height);
    format_matches_range(next, pin_range());
    check_format_change(next, current);
  }
  return 0;
}
