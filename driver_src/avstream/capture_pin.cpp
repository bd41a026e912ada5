// The capture pin: callbacks, format checks, the state machine and frame
// delivery to the client.
//
// Statuses of the pin callbacks: STATUS_NO_MATCH for a format or range that
// does not fit, STATUS_INVALID_PARAMETER for malformed sizes,
// STATUS_INVALID_DEVICE_STATE for a format change refused while not
// stopped; state changes return the status of the device call they make.
#include "avstream/capture_pin.h"

#include "avstream/device.h"
#include "kernel/pool_tags.h"
#include "uvc/uvc_descriptors.h"

namespace {

// A KS_DATARANGE_VIDEO's video info header starts after the range header,
// the four flag words and the config caps.
constexpr ULONG range_video_info_offset = FIELD_OFFSET(KS_DATARANGE_VIDEO, VideoInfoHeader);  // 208
// A KSDATAFORMAT followed by a KS_VIDEOINFOHEADER with room for a 256-entry
// palette and three colour masks, less the 40-byte bitmap header counted
// by biSize.
constexpr ULONG intersection_extra = sizeof(KSDATAFORMAT) + bitmap_header_offset +
                                     KS_iPALETTE_COLORS * sizeof(KS_RGBQUAD) +
                                     KS_iMASK_COLORS * sizeof(DWORD);  // 1148
// A stream header followed by a KS_FRAME_INFO.
constexpr ULONG stream_header_with_frame_info = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);

static_assert(range_video_info_offset == 208, "KS_DATARANGE_VIDEO layout");
static_assert(intersection_extra == 1148, "intersection size");

bool is_video_info(const GUID& specifier) {
  const GUID video_info = {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};
  return same_guid(specifier, video_info);
}

// |v| of a 32-bit value, as an unsigned 32-bit value (no overflow for the
// most negative one).
ULONG magnitude(LONG v) { return v < 0 ? 0u - static_cast<ULONG>(v) : static_cast<ULONG>(v); }

bool same_rect(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

capture_pin* pin_object(PKSPIN pin) { return static_cast<capture_pin*>(pin->Context); }

KS_VIDEOINFOHEADER* connection_video_info(PKSPIN pin) {
  return reinterpret_cast<KS_VIDEOINFOHEADER*>(reinterpret_cast<PUCHAR>(pin->ConnectionFormat) +
                                               video_info_offset);
}

void free_pin_object(PVOID object) { delete static_cast<capture_pin*>(object); }

void free_format_copy(PVOID copy) { ExFreePoolWithTag(copy, pool_tag::pin_formats); }

}  // namespace

extern const KSPIN_DISPATCH capture_pin_dispatch = {
    pin_create,            // Create
    nullptr,               // Close
    pin_process,           // Process
    nullptr,               // Reset
    pin_set_data_format,   // SetDataFormat
    pin_set_device_state,  // SetDeviceState
    nullptr,               // Connect
    nullptr,               // Disconnect
    nullptr,               // Clock
    nullptr,               // Allocator
};

namespace {

// The pin's own dropped-frames item: get only.
const KSPROPERTY_ITEM pin_dropped_frames_items[] = {{
    KSPROPERTY_DROPPEDFRAMES_CURRENT,
    {pin_get_dropped_frames},
    sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),  // MinProperty
    sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),  // MinData
    {nullptr},                                   // no set
    nullptr,                                     // no values
    0,
    nullptr,  // no relations
    nullptr,  // no support handler
    0,        // SerializedSize
}};

const KSPROPERTY_SET pin_property_sets[] = {
    {&PROPSETID_VIDCAP_DROPPEDFRAMES, ARRAYSIZE(pin_dropped_frames_items), pin_dropped_frames_items,
     0, nullptr},
};

}  // namespace

extern const KSAUTOMATION_TABLE capture_pin_automation_table = {
    ARRAYSIZE(pin_property_sets),
    sizeof(KSPROPERTY_ITEM),
    pin_property_sets,
    0,
    sizeof(KSMETHOD_ITEM),
    nullptr,
    0,
    sizeof(KSEVENT_ITEM),
    nullptr,
};

// ---- format checks ---------------------------------------------------------------

bool check_bitmap_size(const KS_BITMAPINFOHEADER& header) {
  const ULONG width = static_cast<ULONG>(header.biWidth);
  const ULONG height = magnitude(header.biHeight);
  const ULONG pixels = width * height;
  if (width != 0 && pixels / width != height) return false;
  const ULONG bits = pixels * header.biBitCount;
  if (header.biBitCount != 0 && bits / header.biBitCount != pixels) return false;
  return header.biSizeImage >= bits / 8;
}

void get_video_size(const KS_VIDEOINFOHEADER& video, LONGLONG* width, LONGLONG* height) {
  const RECT& r = video.rcSource;
  LONGLONG w = LONGLONG(r.right) - r.left;
  LONGLONG h = LONGLONG(r.bottom) - r.top;
  if (w < 0) w = -w;
  if (h < 0) h = -h;
  if (w != 0 && h != 0) {
    *width = w;
    *height = h;
  } else {
    *width = magnitude(video.bmiHeader.biWidth);
    *height = magnitude(video.bmiHeader.biHeight);
  }
}

bool format_matches_range(const KS_VIDEOINFOHEADER& video, const KS_DATARANGE_VIDEO& range) {
  const KS_BITMAPINFOHEADER& v = video.bmiHeader;
  const KS_BITMAPINFOHEADER& r = range.VideoInfoHeader.bmiHeader;
  if (v.biBitCount != r.biBitCount || v.biCompression != r.biCompression ||
      v.biPlanes != r.biPlanes || v.biClrUsed != r.biClrUsed) {
    return false;
  }
  if (!same_rect(video.rcSource, video.rcTarget)) return false;
  if (video.rcSource.left != 0 || video.rcSource.top != 0) return false;
  LONGLONG width = 0;
  LONGLONG height = 0;
  get_video_size(video, &width, &height);
  return size_fits_caps(width, height, range.ConfigCaps);
}

NTSTATUS check_format_change(const KS_VIDEOINFOHEADER& next, const KS_VIDEOINFOHEADER& current) {
  const KS_BITMAPINFOHEADER& n = next.bmiHeader;
  const KS_BITMAPINFOHEADER& c = current.bmiHeader;
  const bool same_fields = n.biBitCount == c.biBitCount && n.biCompression == c.biCompression &&
                           n.biPlanes == c.biPlanes && n.biClrUsed == c.biClrUsed &&
                           next.AvgTimePerFrame == current.AvgTimePerFrame;
  const bool rect_ok =
      same_rect(next.rcSource, next.rcTarget) && next.rcSource.left == 0 && next.rcSource.top == 0;
  const bool rows_ok = magnitude(n.biHeight) == magnitude(c.biHeight) &&
                       (next.rcSource.bottom == 0 ||
                        LONGLONG(next.rcSource.bottom) == LONGLONG(magnitude(n.biHeight)));
  if (!same_fields || !rect_ok || !rows_ok) return STATUS_NOT_SUPPORTED;

  LONGLONG next_width = 0, next_height = 0, width = 0, height = 0;
  get_video_size(next, &next_width, &next_height);
  get_video_size(current, &width, &height);
  if (next_width != width || next_height != height) return STATUS_NO_MATCH;
  return STATUS_SUCCESS;
}

// ---- pin callbacks -----------------------------------------------------------------

capture_pin::capture_pin(PKSPIN ks_pin, device_context* device_context)
    : pin(ks_pin),
      device(device_context),
      run_state(pin_not_started),
      clock(nullptr),
      format(nullptr),
      acquired(FALSE),
      last_drop_count(0),
      picture_number(0) {}

NTSTATUS pin_create(PKSPIN pin, PIRP irp) {
  PKSDEVICE ks_device = KsGetDevice(pin);
  auto* device = ks_device != nullptr ? static_cast<device_context*>(ks_device->Context) : nullptr;
  if (device == nullptr) return STATUS_INVALID_DEVICE_STATE;

  auto* object = new (NonPagedPoolNx, pool_tag::objects) capture_pin(pin, device);
  if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = KsAddItemToObjectBag(pin->Bag, object, free_pin_object);
  if (!NT_SUCCESS(status)) {
    delete object;
    return status;
  }
  pin->Context = object;

  status = object->copy_connection_format();
  if (!NT_SUCCESS(status)) return status;

  // Private copies of the descriptor and its framing, in the pin's bag.
  status = _KsEdit(pin->Bag,
                   reinterpret_cast<PVOID*>(const_cast<KSPIN_DESCRIPTOR_EX**>(&pin->Descriptor)),
                   sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), pool_tag::pin_formats);
  if (!NT_SUCCESS(status)) return status;
  auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
  status = _KsEdit(
      pin->Bag,
      reinterpret_cast<PVOID*>(const_cast<KSALLOCATOR_FRAMING_EX**>(&descriptor->AllocatorFraming)),
      sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), pool_tag::pin_formats);
  if (!NT_SUCCESS(status)) return status;

  // Three client frames of exactly the format's image size.
  const ULONG image_size = object->format->bmiHeader.biSizeImage;
  KS_FRAMING_ITEM& framing =
      const_cast<KSALLOCATOR_FRAMING_EX*>(descriptor->AllocatorFraming)->FramingItem[0];
  framing.Frames = 3;
  framing.PhysicalRange.MinFrameSize = image_size;
  framing.PhysicalRange.MaxFrameSize = image_size;
  framing.PhysicalRange.Stepping = 0;
  framing.FramingRange.Range.MinFrameSize = image_size;
  framing.FramingRange.Range.MaxFrameSize = image_size;
  framing.FramingRange.Range.Stepping = 0;
  return STATUS_SUCCESS;
}

NTSTATUS pin_process(PKSPIN pin) { return STATUS_PENDING; }

NTSTATUS capture_pin::copy_connection_format() {
  // The format is checked here as well as in pin_set_data_format, so that a
  // copy never reads past the connection format, whichever callback ks.sys
  // makes first at pin creation.
  const KSDATAFORMAT* f = pin->ConnectionFormat;
  if (f == nullptr || f->FormatSize < minimum_video_format_size) return STATUS_INVALID_PARAMETER;
  const KS_VIDEOINFOHEADER* source = connection_video_info(pin);
  ULONG header_size = source->bmiHeader.biSize;
  const ULONG with_format = header_size + video_info_offset + bitmap_header_offset;
  if (with_format < header_size || with_format > f->FormatSize) return STATUS_INVALID_PARAMETER;
  // The whole bitmap header of biSize bytes, and never less than the 40
  // bytes the driver reads.
  if (header_size < sizeof(KS_BITMAPINFOHEADER)) header_size = sizeof(KS_BITMAPINFOHEADER);
  const ULONG size = bitmap_header_offset + header_size;
  auto* copy = static_cast<KS_VIDEOINFOHEADER*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, size, pool_tag::pin_formats));
  if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (!NT_SUCCESS(KsAddItemToObjectBag(pin->Bag, copy, free_format_copy))) {
    free_format_copy(copy);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(copy, source, size);
  // The older copy stays in the bag: the frame path may still be reading it.
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&format), copy);
  return STATUS_SUCCESS;
}

const KS_VIDEOINFOHEADER* capture_pin::current_format() const {
  return static_cast<const KS_VIDEOINFOHEADER*>(InterlockedCompareExchangePointer(
      reinterpret_cast<PVOID volatile*>(const_cast<KS_VIDEOINFOHEADER**>(&format)), nullptr,
      nullptr));
}

NTSTATUS pin_set_data_format(PKSPIN pin, PKSDATAFORMAT old_format,
                             PKSMULTIPLE_ITEM old_attribute_list, const KSDATARANGE* data_range,
                             const KSATTRIBUTE_LIST* attribute_range) {
  if (old_format != nullptr && pin->Context == nullptr) return STATUS_INVALID_PARAMETER;

  const KSDATAFORMAT* f = pin->ConnectionFormat;
  if (f == nullptr || !is_video_info(f->Specifier) || f->FormatSize < minimum_video_format_size) {
    return STATUS_NO_MATCH;
  }
  const KS_VIDEOINFOHEADER* video = connection_video_info(pin);
  const ULONG header_size = video->bmiHeader.biSize;
  // The bitmap header must lie within the format: biSize + 112 bytes.
  const ULONG with_prefix = header_size + bitmap_header_offset;
  const ULONG with_format = header_size + video_info_offset + bitmap_header_offset;
  if (with_prefix < header_size || with_format < header_size || with_format > f->FormatSize) {
    return STATUS_INVALID_PARAMETER;
  }

  if (data_range == nullptr) return STATUS_NO_MATCH;
  const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(data_range);
  if (video->bmiHeader.biCompression != range->VideoInfoHeader.bmiHeader.biCompression) {
    return STATUS_NO_MATCH;
  }
  if (!check_bitmap_size(video->bmiHeader)) return STATUS_INVALID_PARAMETER;
  if (!format_matches_range(*video, *range)) return STATUS_NO_MATCH;

  if (old_format == nullptr) return STATUS_SUCCESS;  // the pin's first format, at creation
  return pin_object(pin)->change_format();
}

NTSTATUS capture_pin::change_format() {
  if (pin->DeviceState == KSSTATE_STOP) return copy_connection_format();

  // Acquired, paused or running: only the row stride and order may change.
  if (!NT_SUCCESS(check_format_change(*connection_video_info(pin), *current_format()))) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  const NTSTATUS status = copy_connection_format();
  if (!NT_SUCCESS(status)) return status;
  // The pin owns the camera stream from ACQUIRE on, so the camera hears of
  // the change in every one of these states: a stride or row order changed
  // while paused must not be written in the old layout once the pin runs.
  device->update_stream_format(current_format());
  return STATUS_SUCCESS;
}

NTSTATUS pin_set_device_state(PKSPIN pin, KSSTATE to_state, KSSTATE from_state) {
  capture_pin* object = pin_object(pin);
  if (object == nullptr) return STATUS_INVALID_PARAMETER;
  return object->set_device_state(to_state, from_state);
}

// ks.sys moves one step at a time: STOP ⇄ ACQUIRE ⇄ PAUSE ⇄ RUN. A failed
// step leaves run_state and acquired as they were.
NTSTATUS capture_pin::set_device_state(KSSTATE to_state, KSSTATE from_state) {
  NTSTATUS status = STATUS_SUCCESS;
  switch (to_state) {
    case KSSTATE_STOP:
      if (run_state != pin_not_started) {
        device->stop_streaming();
        run_state = pin_not_started;
      }
      if (acquired) {
        if (clock != nullptr) {
          clock->Release();
          clock = nullptr;
        }
        device->detach_pin();
        acquired = FALSE;
      }
      break;

    case KSSTATE_ACQUIRE:
      if (from_state == KSSTATE_STOP) {
        // Set before attach_pin makes the pin visible to the filter's
        // dropped-frames property, which reads it under the device's state
        // mutex; cleared again when the attach fails.
        acquired = TRUE;
        InterlockedExchange64(&last_drop_count, 0);
        InterlockedExchange64(&picture_number, 0);
        status = device->attach_pin(this, current_format());
        if (!NT_SUCCESS(status)) {
          acquired = FALSE;
          break;
        }
        // Without a clock frames carry no presentation time.
        if (!NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &clock))) clock = nullptr;
      } else if (run_state != pin_not_started) {
        device->stop_streaming();
        run_state = pin_not_started;
      }
      break;

    case KSSTATE_PAUSE:
      if (from_state == KSSTATE_RUN) {
        status = device->set_paused(true);
        if (NT_SUCCESS(status)) run_state = pin_paused;
      }
      break;

    case KSSTATE_RUN:
      status = run_state == pin_paused ? device->set_paused(false)
                                       : device->start_streaming(current_format());
      if (NT_SUCCESS(status)) run_state = pin_running;
      break;
  }
  return status;
}

// ---- data intersection -------------------------------------------------------------

NTSTATUS pin_intersect(PVOID context, PIRP irp, PKSP_PIN pin_request, PKSDATARANGE caller_range,
                       PKSDATARANGE pin_range, ULONG buffer_size, PVOID data, PULONG data_size) {
  if (!is_video_info(caller_range->Specifier) ||
      caller_range->FormatSize < sizeof(KS_DATARANGE_VIDEO)) {
    return STATUS_NO_MATCH;
  }
  const auto* d = reinterpret_cast<const KS_DATARANGE_VIDEO*>(caller_range);
  const auto* m = reinterpret_cast<const KS_DATARANGE_VIDEO*>(pin_range);
  if (d->bFixedSizeSamples != m->bFixedSizeSamples ||
      d->bTemporalCompression != m->bTemporalCompression ||
      d->StreamDescriptionFlags != m->StreamDescriptionFlags ||
      d->MemoryAllocationFlags != m->MemoryAllocationFlags ||
      !RtlEqualMemory(&d->ConfigCaps, &m->ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS))) {
    return STATUS_NO_MATCH;
  }

  // The caller's video info header with its whole bitmap header must lie
  // within the caller's range.
  const ULONG header_size = d->VideoInfoHeader.bmiHeader.biSize;
  const ULONG video_size = header_size + bitmap_header_offset;
  const ULONG range_end = header_size + range_video_info_offset + bitmap_header_offset;
  if (video_size < header_size || range_end < header_size || range_end > caller_range->FormatSize) {
    return STATUS_INVALID_PARAMETER;
  }

  const ULONG needed = header_size + intersection_extra;
  if (needed < header_size) return STATUS_INVALID_PARAMETER;
  if (buffer_size == 0) {
    *data_size = needed;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (buffer_size < needed) return STATUS_BUFFER_TOO_SMALL;

  *data_size = needed;
  auto* out = static_cast<PUCHAR>(data);
  RtlZeroMemory(out, needed);
  auto* format = reinterpret_cast<KSDATAFORMAT*>(out);
  RtlCopyMemory(format, &m->DataRange, sizeof(KSDATAFORMAT));
  format->FormatSize = needed;
  auto* video = reinterpret_cast<KS_VIDEOINFOHEADER*>(out + video_info_offset);
  RtlCopyMemory(video, &d->VideoInfoHeader, video_size);

  // The image size of the caller's frame, rows padded to 32 bits.
  KS_BITMAPINFOHEADER& bitmap = video->bmiHeader;
  const ULONG stride =
      ((static_cast<ULONG>(bitmap.biBitCount) * static_cast<ULONG>(bitmap.biWidth) + 31) / 8) & ~3u;
  const ULONG image_size = stride * magnitude(bitmap.biHeight);
  format->SampleSize = image_size;
  bitmap.biSizeImage = image_size;
  RtlZeroMemory(&video->rcSource, sizeof(RECT));
  RtlZeroMemory(&video->rcTarget, sizeof(RECT));
  return STATUS_SUCCESS;
}

// ---- frame delivery ----------------------------------------------------------------
// Both run on the camera's frame path: stream pointer routines only, no
// waits, no allocation (the clone carries no context bytes).

PVOID capture_pin::acquire_frame_buffer(PUCHAR* data, ULONG* capacity) {
  PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (leading == nullptr) return nullptr;

  // Frames without a data buffer cannot take an image: skip them.
  while (leading->StreamHeader == nullptr || leading->StreamHeader->Data == nullptr) {
    if (!NT_SUCCESS(KsStreamPointerAdvance(leading))) {
      KsStreamPointerUnlock(leading, FALSE);
      return nullptr;
    }
  }

  PKSSTREAM_POINTER clone = nullptr;
  if (!NT_SUCCESS(KsStreamPointerClone(leading, nullptr, 0, &clone)) || clone == nullptr) {
    KsStreamPointerUnlock(leading, FALSE);
    return nullptr;
  }
  // The leading edge moves on at once; it never waits for the camera.
  if (NT_SUCCESS(KsStreamPointerAdvance(leading))) KsStreamPointerUnlock(leading, FALSE);

  *data = static_cast<PUCHAR>(clone->StreamHeader->Data);
  *capacity = clone->StreamHeader->FrameExtent;
  return clone;
}

bool capture_pin::count_frame(ULONGLONG drop_count, ULONGLONG delivered_count) {
  const LONGLONG drops = static_cast<LONGLONG>(drop_count);
  const bool discontinuity = drops != last_drop_count && drops != 0;
  InterlockedExchange64(&last_drop_count, drops);
  // Zero-based index of this frame among all frames delivered or dropped;
  // a buffer returned before any frame keeps index 0.
  const ULONGLONG frames = delivered_count + drop_count;
  InterlockedExchange64(&picture_number, frames != 0 ? static_cast<LONGLONG>(frames - 1) : 0);
  return discontinuity;
}

ULONG capture_pin::used_bytes(const KSSTREAM_POINTER* clone, ULONG bytes_used) {
  const ULONG whole = clone->OffsetOut.Count;
  return bytes_used == 0 || bytes_used > whole ? whole : bytes_used;
}

void capture_pin::frame_done(PVOID buffer, NTSTATUS status, ULONGLONG drop_count,
                             ULONGLONG delivered_count, ULONG bytes_used) {
  auto* clone = static_cast<PKSSTREAM_POINTER>(buffer);
  if (clone == nullptr) return;
  const bool discontinuity = count_frame(drop_count, delivered_count);
  if (NT_SUCCESS(status)) {
    fill_stream_header(clone, discontinuity, used_bytes(clone, bytes_used));
  } else {
    // STATUS_CANCELLED: a buffer the camera gives back without a frame.
    KsStreamPointerSetStatusCode(clone, status);
  }
  // The frame goes back to the client once no other reference holds it.
  KsStreamPointerDelete(clone);
}

void capture_pin::fill_stream_header(PKSSTREAM_POINTER clone, bool discontinuity, ULONG used) {
  PKSSTREAM_HEADER header = clone->StreamHeader;
  if (header->Size >= stream_header_with_frame_info) {
    auto* info = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
    info->dwFrameFlags = 0;
    info->PictureNumber = picture_number;
    info->DropCount = last_drop_count;
  }
  header->DataUsed = used;
  header->Duration = current_format()->AvgTimePerFrame;
  header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
  header->PresentationTime.Numerator = 1;
  header->PresentationTime.Denominator = 1;
  if (clock != nullptr) {
    // The clock time at completion, not at capture.
    LONGLONG system_time = 0;
    header->PresentationTime.Time = clock->GetCorrelatedTime(&system_time);
    header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
    if (discontinuity) header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
  } else {
    header->PresentationTime.Time = 0;
  }
}

// ---- dropped frames ----------------------------------------------------------------

LONGLONG capture_pin::get_picture_number() const {
  return InterlockedCompareExchange64(const_cast<LONGLONG volatile*>(&picture_number), 0, 0);
}

LONGLONG capture_pin::get_drop_count() const {
  return InterlockedCompareExchange64(const_cast<LONGLONG volatile*>(&last_drop_count), 0, 0);
}

NTSTATUS capture_pin::handle_dropped_frames(property_call* call) {
  const KSPROPERTY* property = call->property;
  if (!same_guid(property->Set, PROPSETID_VIDCAP_DROPPEDFRAMES) ||
      property->Id != KSPROPERTY_DROPPEDFRAMES_CURRENT || property->Flags != KSPROPERTY_TYPE_GET ||
      call->data == nullptr || call->data_length < sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S)) {
    return STATUS_NOT_IMPLEMENTED;
  }
  auto* out = static_cast<PKSPROPERTY_DROPPEDFRAMES_CURRENT_S>(call->data);
  out->PictureNumber = get_picture_number();
  // The camera's own count while the stream is open: frames it lost after
  // the last delivered one (or with none delivered) count as well.
  ULONGLONG camera_drops = 0;
  out->DropCount = device != nullptr && device->stream_drop_count(this, &camera_drops)
                       ? static_cast<LONGLONG>(camera_drops)
                       : get_drop_count();
  out->AverageFrameSize = acquired ? current_format()->bmiHeader.biSizeImage : 0;
  call->bytes_returned = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S);
  return STATUS_SUCCESS;
}

NTSTATUS pin_get_dropped_frames(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PKSPIN pin = KsGetPinFromIrp(irp);
  if (pin == nullptr || pin->Context == nullptr) return STATUS_INVALID_PARAMETER;
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);

  KsAcquireControl(pin);
  property_call call = {};
  call.irp = irp;
  call.property = request;
  call.extra_input = nullptr;
  call.extra_input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
  call.data = data;
  call.data_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  const NTSTATUS status = pin_object(pin)->handle_dropped_frames(&call);
  irp->IoStatus.Information = call.bytes_returned;
  KsReleaseControl(pin);
  return status;
}
