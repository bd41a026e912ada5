// camera_8102: formats, the white-balance loop and the transform (see the
// header).
#include "cameras/camera_8102.h"

#include "cameras/raw_formats.h"
#include "features/feature_objects.h"
#include "kernel/pool_tags.h"

uvc_camera* create_camera_8102(PDEVICE_OBJECT physical_device_object, frame_sink* sink) {
  return new (NonPagedPoolNx, pool_tag::objects, zero_filled)
      camera_8102(physical_device_object, sink);
}

camera_8102::camera_8102(PDEVICE_OBJECT device_object, frame_sink* sink)
    : camera_8101(device_object, sink), found_bayer_(false), pattern_(img::bayer_gbrg), pipeline_() {
  worker_flag_ = true;
}

camera_8102::~camera_8102() {
  // The stream (the worker and the write queue) goes while the pipeline exists.
  close_stream();
}

NTSTATUS camera_8102::get_device_info(camera_device_info* info) {
  const NTSTATUS status = camera_8101::get_device_info(info);
  if (NT_SUCCESS(status)) info->colour_code = found_bayer_ ? colour_code_colour : colour_code_mono;
  return status;
}

bool camera_8102::is_driver_property_supported(ULONG id) {
  return id == loop_statistics_property || camera_8101::is_driver_property_supported(id);
}

NTSTATUS camera_8102::get_driver_property(ULONG id, PVOID input, ULONG input_size, PVOID output,
                                          ULONG output_size, ULONG* returned) {
  if (id == loop_statistics_property) {
    return pipeline_.statistics().read(output, output_size, returned);
  }
  return camera_8101::get_driver_property(id, input, input_size, output, output_size, returned);
}

NTSTATUS camera_8102::build_format_entries(const raw_format_list& records,
                                           format_entry_list* entries) {
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < records.count() && NT_SUCCESS(status); ++i) {
    const ULONG fourcc = fourcc_from_subtype(records[i].subtype);
    if (is_bayer8_fourcc(fourcc)) {
      if (!found_bayer_) {
        found_bayer_ = true;
        if (fourcc != img::FOURCC_BY8) pattern_ = img::get_bayer_pattern(fourcc);
      }
      status = derive_format(records, i, img::FOURCC_RGB32, 32, entries);
      if (NT_SUCCESS(status)) status = derive_format(records, i, img::FOURCC_RGB24, 24, entries);
      if (NT_SUCCESS(status)) status = derive_format(records, i, img::FOURCC_Y800, 8, entries);
    } else if (fourcc == img::FOURCC_Y800) {
      status = derive_format(records, i, img::FOURCC_RGB24, 24, entries);
      if (NT_SUCCESS(status)) status = keep_format(records, i, entries);
    } else {
      status = keep_format(records, i, entries);
    }
  }
  return status;
}

NTSTATUS camera_8102::on_init_end() {
  pipeline_.sensor().bind(nullptr, nullptr);
  NTSTATUS status = pipeline_.create();
  if (!NT_SUCCESS(status)) return status;
  feature_setup setup = {};
  setup.colour = found_bayer_;
  setup.white_balance_flags = found_bayer_ ? white_balance_flag::raw_balance : 0;
  setup.pattern = pattern_;
  setup.sensor = &pipeline_.sensor();
  setup.exposure_unit_us = 100;
  // The white balance alone runs on the frames; the image features adjust
  // the picture.
  if (found_bayer_) {
    status = attach_white_balance(this, &pipeline_.features(), setup);
    if (!NT_SUCCESS(status)) return status;
  }
  return attach_image_features(this, &pipeline_.features(), setup);
}

ULONG camera_8102::source_label(ULONG source, ULONG destination) const {
  if (!found_bayer_) return source;
  if (destination == img::FOURCC_Y800 || destination == img::FOURCC_BY8) return img::FOURCC_Y800;
  if (source == img::FOURCC_BY8 || source == img::FOURCC_Y800) {
    return img::get_by8_fcc_from_pattern(pattern_);
  }
  return source;
}

NTSTATUS camera_8102::on_stream_start() {
  img::img_type source = raw_type_;
  source.type = source_label(raw_type_.type, output_type_.type);
  NTSTATUS status = pipeline_.start(this, device_object_, output_type_, source);
  if (NT_SUCCESS(status)) status = camera_8101::on_stream_start();
  return status;
}

NTSTATUS camera_8102::on_stream_stop() {
  pipeline_.stop();
  return camera_8101::on_stream_stop();
}

// Frame worker, PASSIVE_LEVEL: the white-balance loop on the raw frame,
// then the pipe.
NTSTATUS camera_8102::transform_frame(img::img_descriptor* dst, const img::img_descriptor* src,
                                      UCHAR flip) {
  img::img_descriptor source = *src;
  source.type = source_label(src->type, dst->type);
  img::auto_result result = {};
  pipeline_.auto_cycle(source, frames_delivered() + 1, &result);
  pipeline_.transform(*dst, source, flip, raw_frame_switches{}, cpu_features_);
  return STATUS_SUCCESS;
}
