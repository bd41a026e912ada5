// The register-description list of a camera_84xx on the simulated sensor
// camera: document sizes and texts by index, registers read and written by
// address (virtual registers through the features, any other address
// straight to the camera's UVC control), the register description the
// camera stores, and a list with nothing to offer.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cameras/camera_84xx.h"
#include "features/documents/register_description_list.h"
#include "features_support.h"

namespace featuretest {
namespace {

constexpr uint8_t kProcessingUnit = 3, kPuGamma = 9;

struct access_reply {
  NTSTATUS status;
  std::vector<uint8_t> data;
  ULONG returned;
};

class register_list_camera : public camtest::camera_fixture {
 protected:
  void TearDown() override {
    destroy_camera();
    camera_fixture::TearDown();
  }
  void plug_model(const char* id, std::vector<uint8_t> stored_description = {}) {
    const auto models = sim::raw_camera_models();
    sim::sensor_options options;
    options.stored_register_description = std::move(stored_description);
    sensor = sim::raw_sensor_camera::create(*sim::find_raw_camera_model(models, id), options);
    plug(sensor);
  }
  void start() {
    destroy_camera();
    camera = create_camera_84xx(pdo, sink_.get());
    ASSERT_EQ(camera->init(), STATUS_SUCCESS);
  }
  void destroy_camera() {
    delete camera;
    camera = nullptr;
  }

  // A request of extension_access_set: `input` is the bytes after the
  // property header, the data buffer is `size` bytes of 0xEE (or `data`).
  access_reply request(ULONG id, ULONG flags, std::vector<uint8_t> input, size_t size,
                       const std::vector<uint8_t>& data = {}) {
    access_reply r{STATUS_SUCCESS, data.empty() ? std::vector<uint8_t>(size, 0xEE) : data, 0};
    r.status = property_request(camera, extension_access_set, id, flags, input.empty() ? nullptr : input.data(),
                                ULONG(input.size()), r.data.empty() ? nullptr : r.data.data(), ULONG(r.data.size()),
                                &r.returned);
    return r;
  }
  static std::vector<uint8_t> words(uint32_t a, uint32_t b) {
    std::vector<uint8_t> v(8);
    memcpy(v.data(), &a, 4);
    memcpy(v.data() + 4, &b, 4);
    return v;
  }
  static std::vector<uint8_t> address(uint64_t a) { return words(uint32_t(a), uint32_t(a >> 32)); }
  uint32_t document_size(uint32_t index) {
    const access_reply r = request(1, KSPROPERTY_TYPE_GET, words(0, index), 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    uint32_t size = 0;
    memcpy(&size, r.data.data(), 4);
    return size;
  }
  std::string document(uint32_t index) {
    const access_reply r = request(2, KSPROPERTY_TYPE_GET, words(0, index), document_size(index));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.returned, r.data.size());
    return std::string(reinterpret_cast<const char*>(r.data.data()), r.data.size());
  }

  std::shared_ptr<sim::raw_sensor_camera> sensor;
  uvc_camera* camera = nullptr;
};

TEST_F(register_list_camera, documents_by_index_whole_or_not_at_all) {
  plug_model("8406-colour");
  start();
  // Index 0 with a 4-byte input; every document is text with its zero.
  const access_reply first = request(1, KSPROPERTY_TYPE_GET, {0, 0, 0, 0}, 4);
  ASSERT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(first.returned, 4u);
  uint32_t count = 0;
  std::vector<std::string> models;
  for (;; ++count) {
    const access_reply r = request(1, KSPROPERTY_TYPE_GET, words(0, count), 4);
    if (r.status != STATUS_SUCCESS) {
      EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
      break;
    }
    const std::string text = document(count);
    EXPECT_EQ(text.back(), '\0');
    EXPECT_EQ(text.find('\0'), text.size() - 1);
    const size_t at = text.find("ModelName=\"");
    models.push_back(text.substr(at + 11, text.find('"', at + 11) - at - 11));
  }
  EXPECT_EQ(models.front(), "ZEZEzezoz_Generated_GenICam_NPS");
  EXPECT_NE(std::find(models.begin(), models.end(), "RIR3Ezarav_Generated_Whitebalance"), models.end());
  uint32_t first_size = 0;
  memcpy(&first_size, first.data.data(), 4);
  EXPECT_EQ(first_size, document_size(0));

  // One byte short: the overflow status and not a byte copied.
  const uint32_t size = document_size(1);
  const access_reply short_one = request(2, KSPROPERTY_TYPE_GET, words(0, 1), size - 1);
  EXPECT_EQ(short_one.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(short_one.returned, 0u);
  EXPECT_EQ(short_one.data, std::vector<uint8_t>(size - 1, 0xEE));
  EXPECT_EQ(request(2, KSPROPERTY_TYPE_GET, words(0, count), 1 << 20).status, STATUS_INVALID_PARAMETER);

  // Short inputs and buffers, range queries, other ids, sets of ids 1 and 2.
  EXPECT_EQ(request(1, KSPROPERTY_TYPE_GET, {0, 0}, 4).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(request(1, KSPROPERTY_TYPE_GET, words(0, 0), 3).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(request(1, property_request_range, words(0, 0), 20).status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(request(16, KSPROPERTY_TYPE_GET, words(0, 0), 4).status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(request(1, KSPROPERTY_TYPE_SET, words(0, 0), 4).status, STATUS_NOT_IMPLEMENTED);
}

TEST_F(register_list_camera, registers_by_address_reach_the_features_or_the_camera) {
  plug_model("8406-colour");
  sim::uvc_control gamma;
  gamma.entity = kProcessingUnit;
  gamma.selector = kPuGamma;
  gamma.length = 2;
  gamma.min = {1, 0};
  gamma.max = {0xF4, 0x01};
  gamma.cur = {0x96, 0};  // 150
  sensor->define_control(gamma);
  start();

  // Virtual register 0x20: tone mapping's enable, as the feature holds it.
  access_reply r = request(3, KSPROPERTY_TYPE_GET, address(0xCEBB000100000020ull), 4);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.returned, 4u);
  EXPECT_EQ(r.data, (std::vector<uint8_t>{0, 0, 0, 0}));
  ASSERT_EQ(request(3, KSPROPERTY_TYPE_SET, address(0xCEBB000100000020ull), 0, {1, 0, 0, 0}).status, STATUS_SUCCESS);
  EXPECT_EQ(register_value(camera, 0x20), 1u);
  EXPECT_EQ(request(3, KSPROPERTY_TYPE_GET, address(0xCEBB000100000020ull), 4).data[0], 1);
  // The register's own refusals come back as they are.
  EXPECT_EQ(request(3, KSPROPERTY_TYPE_GET, address(0xCEBB0001000000FFull), 4).status, STATUS_NOT_IMPLEMENTED);

  // Unit 3, selector 9: the camera's control, read and written directly.
  sensor->clear_request_contexts();
  r = request(3, KSPROPERTY_TYPE_GET, address(0x0000000000030009ull), 4);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.returned, 2u);  // the control's two bytes
  EXPECT_EQ(r.data, (std::vector<uint8_t>{0x96, 0, 0xEE, 0xEE}));
  EXPECT_EQ(request(3, KSPROPERTY_TYPE_GET, address(0x0000000000030009ull), 2).status, STATUS_INVALID_PARAMETER);
  ASSERT_EQ(request(3, KSPROPERTY_TYPE_SET, address(0x0000000000030009ull), 0, {0xC8, 0}).status, STATUS_SUCCESS);
  EXPECT_EQ(sensor->control(kProcessingUnit, kPuGamma)->cur, (std::vector<uint8_t>{0xC8, 0}));
  const auto sent = sensor->request_contexts();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].setup.request, 0x81);
  EXPECT_EQ(sent[0].setup.value, kPuGamma << 8);
  EXPECT_EQ(sent[0].setup.index, kProcessingUnit << 8);
  EXPECT_EQ(sent[1].setup.request, 0x01);
  // A control the camera lacks stalls.
  EXPECT_FALSE(NT_SUCCESS(request(3, KSPROPERTY_TYPE_GET, address(0x0000000000030008ull), 4).status));

  // An address needs 8 bytes.
  EXPECT_EQ(request(3, KSPROPERTY_TYPE_GET, {0x20, 0, 0, 0}, 4).status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(request(3, KSPROPERTY_TYPE_SET, {0x20, 0, 0, 0}, 0, {1, 0, 0, 0}).status, STATUS_BUFFER_OVERFLOW);
}

TEST_F(register_list_camera, the_cameras_own_description_is_read_in_chunks_up_to_one_mebibyte) {
  std::string xml = "<?xml version=\"1.0\"?><RegisterDescription ModelName=\"Stored\"/>";
  std::vector<uint8_t> stored(xml.begin(), xml.end());
  stored.resize(0x100000, ' ');
  plug_model("8416-mono", stored);
  start();
  uint32_t chunks = 0;
  for (const auto& c : sensor->request_contexts()) chunks += c.setup.request == 0x16;
  EXPECT_EQ(chunks, 256u);
  // The first document, with a zero added.
  EXPECT_EQ(document_size(0), 0x100001u);
  EXPECT_EQ(document(0).substr(0, xml.size()), xml);

  // One byte more: refused after the length, and the list goes on without.
  destroy_camera();
  stored.push_back(' ');
  sensor->set_stored_register_description(stored);
  sensor->clear_request_contexts();
  start();
  chunks = 0;
  for (const auto& c : sensor->request_contexts()) chunks += c.setup.request == 0x16;
  EXPECT_EQ(chunks, 0u);
  EXPECT_EQ(document(0).find("Stored"), std::string::npos);

  // A list with no document registers nothing.
  register_description_list empty;
  EXPECT_EQ(register_with_camera(&empty, camera), STATUS_ALREADY_REGISTERED);
}

}  // namespace
}  // namespace featuretest
