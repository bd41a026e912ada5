// Arbitrary property requests: as a client sends them to the filter of a
// plain camera (through ks.sys's routing and size checks), and straight to
// the property routes of a camera with the vendor and sensor extension
// units and the camera terminal's vendor registers, whose vendor controls
// are registered as a family would. Every request must end with a status,
// never report more bytes than its data buffer holds, never write past a
// buffer (the sanitizer) and never make the verifier report anything.
//
// Input: a target byte (bit 0: filter or routes), a set byte (one of the
// filter's sets, or a GUID from the input), an id (an item of the set, or
// any 32-bit value), a request type, the request and data lengths (16-bit
// each), then the bytes of the request after its header and of the data.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <kstandin/testing.h>
#include <kstandin/testing_ks.h>

#include <memory>
#include <vector>

#include "avstream/device.h"
#include "avstream/filter_descriptor.h"
#include "controls/property_handler.h"
#include "controls/region_controls.h"
#include "controls/sensor_controls.h"
#include "kernel/pool_tags.h"
#include "sim/usb_bus.h"
#include "sim/uvc_camera.h"
#include "sim/uvc_profiles.h"
#include "uvc/uvc_camera.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path);

namespace {

// A camera that registers the vendor controls of every table.
class family_camera : public uvc_camera {
 public:
  using uvc_camera::uvc_camera;
  NTSTATUS on_init_begin() override {
    register_vendor_unit_controls(this, vendor_unit_registers::extension_unit_then_terminal);
    register_region_of_interest(this, nullptr);
    register_focus_region(this);
    register_sensor_unit_controls(this, sensor_unit_family::sensor_cameras);
    register_sensor_unit_controls(this, sensor_unit_family::trigger_strobe_cameras);
    return STATUS_SUCCESS;
  }
};

class null_sink : public frame_sink {
 public:
  void frame_done(PVOID, NTSTATUS, ULONGLONG, ULONGLONG, ULONG) override {}
  PVOID acquire_frame_buffer(PUCHAR*, ULONG*) override { return nullptr; }
};

sim::uvc_camera_desc vendor_desc() {
  sim::uvc_camera_desc desc = sim::plain_camera_desc();
  desc.camera_controls = 0x2FFFF;
  desc.processing_controls = 0x3FFFF;
  sim::uvc_extension_unit_desc vendor;
  vendor.guid = vendor_extension_unit;
  vendor.bm_controls = {0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  desc.extension_units.push_back(vendor);
  sim::uvc_extension_unit_desc sensor;
  sensor.guid = sensor_extension_unit;
  sensor.bm_controls = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  desc.extension_units.push_back(sensor);
  return desc;
}

struct world {
  sim::usb_bus bus;
  std::shared_ptr<sim::uvc_camera> plain = sim::uvc_camera::create(sim::plain_camera_desc());
  std::shared_ptr<sim::uvc_camera> vendor = sim::uvc_camera::create(vendor_desc());
  kstandin::ks_driver* driver = nullptr;
  kstandin::ks_device* device = nullptr;
  kstandin::ks_filter* filter = nullptr;
  null_sink sink;
  device_context* routes = nullptr;  // the vendor camera behind the property routes

  world() {
    kstandin::registry_reset();
    kstandin::ks_load_driver(DriverEntry, &driver);
    kstandin::ks_plug_device(driver, bus.plug(plain), &device);
    kstandin::ks_open_filter(device, 0, &filter);
    // Camera-terminal vendor registers: what exists, the focus and the strobe.
    sim::uvc_control reg;
    reg.entity = 1;
    reg.length = 4;
    reg.range_checked = false;
    reg.max = {0xFF, 0xFF, 0xFF, 0xFF};
    reg.cur = {0x00, 0x40, 0x04, 0x00};
    for (uint8_t s : {32, 17, 43, 46, 55, 65}) {
      reg.selector = s;
      vendor->define_control(reg);
    }
    PDEVICE_OBJECT pdo = bus.plug(vendor);
    auto* camera = new (NonPagedPoolNx, pool_tag::objects) family_camera(pdo, &sink);
    camera->init();
    routes = new (NonPagedPoolNx, pool_tag::objects) device_context(nullptr);
    routes->camera = camera;
    kstandin::take_violations();
  }
};

world& the_world() {
  static world* w = new world();
  return *w;
}

const KSPROPERTY_SET& filter_set(size_t index) {
  const KSAUTOMATION_TABLE* table = filter_descriptor_template.AutomationTable;
  return table->PropertySets[index % table->PropertySetsCount];
}

uint16_t le16_at(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t head = 11;
  if (size < head) return 0;
  world& w = the_world();

  const bool to_routes = (data[0] & 1) != 0;
  const KSAUTOMATION_TABLE* table = filter_descriptor_template.AutomationTable;
  GUID set;
  ULONG id;
  const size_t set_index = data[1] % (table->PropertySetsCount + 1);
  const uint8_t* rest = data + head;
  size_t rest_size = size - head;
  if (set_index == table->PropertySetsCount && rest_size >= sizeof(GUID)) {
    memcpy(&set, rest, sizeof(GUID));
    rest += sizeof(GUID);
    rest_size -= sizeof(GUID);
  } else {
    set = *filter_set(set_index).Set;
  }
  if ((data[2] & 0x80) != 0 || set_index == table->PropertySetsCount) {
    memcpy(&id, data + 2, sizeof(id));
  } else {
    const KSPROPERTY_SET& items = filter_set(set_index);
    id = items.PropertyItem[data[3] % items.PropertiesCount].PropertyId;
  }
  const ULONG types[] = {KSPROPERTY_TYPE_GET,          KSPROPERTY_TYPE_SET,
                         KSPROPERTY_TYPE_BASICSUPPORT, KSPROPERTY_TYPE_SETSUPPORT,
                         KSPROPERTY_TYPE_RELATIONS,    ULONG(data[6]) << 4};
  const ULONG type = types[data[6] % 6];
  const ULONG request_length = le16_at(data + 7) % 1024;
  const ULONG data_length = le16_at(data + 9) % 4096;

  // Exactly sized buffers: the sanitizer sees a byte past either.
  std::vector<uint8_t> request(request_length > sizeof(KSPROPERTY) ? request_length : sizeof(KSPROPERTY));
  KSPROPERTY header = {};
  header.Set = set;
  header.Id = id;
  header.Flags = type;
  memcpy(request.data(), &header, sizeof(header));
  for (size_t i = sizeof(KSPROPERTY); i < request.size() && rest_size != 0; ++i) {
    request[i] = rest[(i - sizeof(KSPROPERTY)) % rest_size];
  }
  std::unique_ptr<uint8_t[]> buffer(data_length != 0 ? new uint8_t[data_length] : nullptr);
  for (size_t i = 0; i < data_length; ++i) {
    buffer[i] = rest_size != 0 ? rest[(i + request_length) % rest_size] : 0;
  }

  ULONG_PTR returned = 0;
  NTSTATUS status;
  if (!to_routes) {
    status = kstandin::ks_property(w.filter, request.data(), request_length, buffer.get(), data_length,
                                   &returned);
  } else {
    property_call call = {};
    call.property = reinterpret_cast<const KSPROPERTY*>(request.data());
    if (request_length > sizeof(KSPROPERTY)) {
      call.extra_input = request.data() + sizeof(KSPROPERTY);
      call.extra_input_length = request_length - sizeof(KSPROPERTY);
    }
    call.data = buffer.get();
    call.data_length = data_length;
    status = w.routes->serve_property(&call);
    returned = call.bytes_returned;
    // A size query (no data) may report the size it needs.
    if (data_length != 0 && !NT_ERROR(status) && returned > data_length) __builtin_trap();
  }
  if (status == STATUS_PENDING) __builtin_trap();
  const std::vector<kstandin::violation> violations = kstandin::take_violations();
  for (const kstandin::violation& v : violations) {
    fprintf(stderr, "verifier: %s: %s\n", v.check.c_str(), v.message.c_str());
  }
  if (!violations.empty()) __builtin_trap();
  // Logs the runs would otherwise pile up (the driver logs failed requests).
  kstandin::take_debug_log();
  w.plain->clear_requests();
  w.vendor->clear_requests();
  return 0;
}
