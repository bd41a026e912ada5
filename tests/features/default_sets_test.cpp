// Named default sets: which sets each product lists from the built-in
// documents and a camera's own, how a camera's sets merge with them, and on
// a camera_84xx with the simulated sensor camera: the document read in
// chunks, selecting and loading a set through its registers, the values it
// gives the controls and sends to the camera, and what is kept across a
// restart.
#include <string>
#include <vector>

#include "bson_builder.h"
#include "cameras/camera_84xx.h"
#include "controls/default_sets.h"
#include "features_support.h"

namespace featuretest {
namespace {

struct listed {
  std::string name;
  ULONG version, seqnum;
  std::vector<std::pair<std::string, LONGLONG>> properties;
};

std::vector<listed> sets_for(ULONG product, const std::vector<uint8_t>& camera_document = {}) {
  nps_set_list list;
  EXPECT_EQ(nps_build_list(camera_document.empty() ? nullptr : camera_document.data(),
                           ULONG(camera_document.size()), product, &list),
            STATUS_SUCCESS);
  std::vector<listed> out;
  for (ULONG i = 0; i < list.count(); ++i) {
    const nps_set& s = list[i];
    listed l{std::string(s.name, s.name_length - 1), s.version, s.seqnum, {}};
    for (ULONG p = 0; p < s.property_count; ++p) {
      l.properties.push_back({std::string(s.properties[p].name, s.properties[p].name_length - 1),
                              s.properties[p].value});
    }
    out.push_back(l);
  }
  return out;
}

std::vector<std::string> names(const std::vector<listed>& sets) {
  std::vector<std::string> n;
  for (const listed& s : sets) n.push_back(s.name);
  return n;
}

using props = std::vector<std::pair<std::string, LONGLONG>>;

TEST(default_sets, builtin_documents_list_each_products_sets_in_seqnum_order) {
  EXPECT_EQ(nps_builtin_documents[0].length, 1019u);
  EXPECT_EQ(nps_builtin_documents[1].length, 348u);

  const std::vector<listed> mt9p031 = sets_for(0x8406);
  ASSERT_EQ(names(mt9p031), (std::vector<std::string>{"Optimized Defaults", "Neutral"}));
  EXPECT_EQ(mt9p031[0].seqnum, 0u);
  EXPECT_EQ(mt9p031[0].properties, (props{{"Gamma", 80}, {"Sharpness", 5}, {"Denoise", 7}, {"Saturation", 78}}));
  EXPECT_EQ(mt9p031[1].seqnum, 100u);
  EXPECT_EQ(mt9p031[1].properties.size(), 7u);

  const std::vector<listed> own_neutral = sets_for(0x8417);
  ASSERT_EQ(names(own_neutral), (std::vector<std::string>{"Neutral"}));
  EXPECT_EQ(own_neutral[0].properties, (props{{"Sharpness", 8}, {"Saturation", 32}}));

  EXPECT_EQ(names(sets_for(0x8401)), (std::vector<std::string>{"Neutral"}));
  EXPECT_EQ(sets_for(0x8401)[0].properties[1], (std::pair<std::string, LONGLONG>{"Gamma", 100}));
  EXPECT_EQ(names(sets_for(0x840A)), (std::vector<std::string>{"Neutral"}));  // "840A"
  EXPECT_TRUE(sets_for(0x8499).empty());
  EXPECT_TRUE(sets_for(0x0236).empty());  // "ReleaseIMX236Mono" is no identifier
}

TEST(default_sets, a_cameras_sets_merge_by_name_and_version) {
  // Version 2 of "Neutral" replaces the built-in one; its identifiers do not
  // matter, a camera's sets are all taken.
  std::vector<uint8_t> doc =
      sets_document({named_set("Neutral", 2, 100, {"FFFF"}, bson_doc().i64("Sharpness", 3))});
  std::vector<listed> sets = sets_for(0x8406, doc);
  ASSERT_EQ(names(sets), (std::vector<std::string>{"Optimized Defaults", "Neutral"}));
  EXPECT_EQ(sets[1].version, 2u);
  EXPECT_EQ(sets[1].properties, (props{{"Sharpness", 3}}));

  // Version 1 stays: the built-in one, parsed after it, is dropped.
  doc = sets_document({named_set("Neutral", 1, 100, {}, bson_doc().i64("Sharpness", 4))});
  sets = sets_for(0x8406, doc);
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[1].properties, (props{{"Sharpness", 4}}));

  // An ObjectId before "property_sets"; a set without "version" and one
  // whose name is 100 bytes are skipped, the others taken; equal seqnums
  // both appear; properties that are no numbers are left out.
  bson_doc no_version = bson_doc().str("name", "No version").doc("properties", bson_doc().i64("Hue", 1));
  std::vector<uint8_t> with_id = bson_doc()
                                     .object_id("_id")
                                     .array("property_sets",
                                            {named_set("Bench", 1, 0, {},
                                                       bson_doc().i64("Hue", -3).str("Gamma", "high").boolean("Flag", true)),
                                             no_version, named_set(std::string(99, 'L'), 1, 5, {}, bson_doc()),
                                             named_set(std::string(98, 'S'), 1, 7, {}, bson_doc())})
                                     .bytes();
  sets = sets_for(0x8406, with_id);
  ASSERT_EQ(sets.size(), 4u);
  const std::vector<std::string> n = names(sets);
  EXPECT_TRUE((n[0] == "Bench" && n[1] == "Optimized Defaults") || (n[1] == "Bench" && n[0] == "Optimized Defaults"));
  EXPECT_EQ(n[2], std::string(98, 'S'));
  EXPECT_EQ(n[3], "Neutral");
  EXPECT_EQ(sets[n[0] == "Bench" ? 0 : 1].properties, (props{{"Hue", -3}, {"Flag", 1}}));

  // A document that is not BSON contributes nothing.
  with_id.back() = 1;
  EXPECT_EQ(names(sets_for(0x8406, with_id)), (std::vector<std::string>{"Optimized Defaults", "Neutral"}));
}

TEST(default_sets, mappings_name_the_unit_and_control_a_value_is_sent_to) {
  bson_doc mappings = bson_doc()
      .doc("0", bson_doc().doc("Sharpness", bson_doc().i64("unit", 2).i64("control", 60)))
      .doc("1", bson_doc().doc("Gamma", bson_doc().i64("unit", 2).i64("control", 0)))
      .doc("2", bson_doc().doc("Hue", bson_doc().i64("unit", 2).str("control", "61")))
      .doc("3", bson_doc().doc("Denoise", bson_doc().i64("unit", 300).i64("control", 61)))
      .doc("4", bson_doc().i64("unit", 2).doc("Saturation", bson_doc().i64("unit", 2).i64("control", 62)));
  bson_doc set = named_set("Mapped", 1, 0, {}, bson_doc().i64("Sharpness", 9).i64("Gamma", 90).i64("Hue", 5)
                                                     .i64("Denoise", 1).i64("Saturation", 70));
  set.doc("usb_property_mappings", mappings);
  nps_set_list list;
  ASSERT_EQ(nps_parse(sets_document({set}).data(), ULONG(sets_document({set}).size()), 0, &list), STATUS_SUCCESS);
  ASSERT_EQ(list.count(), 1u);
  const nps_set& s = list[0];
  ASSERT_EQ(s.property_count, 5u);
  // Only the first: a zero, a text or a unit past a byte maps nothing, and
  // a mapping's first member must be the property.
  EXPECT_EQ(s.properties[0].unit, 2u);
  EXPECT_EQ(s.properties[0].control, 60u);
  for (ULONG i = 1; i < 5; ++i) EXPECT_EQ(s.properties[i].unit, 0u) << s.properties[i].name;
}

// ---- on the camera --------------------------------------------------------------------------------------

constexpr uint8_t kUnit2 = 2;
constexpr uint8_t kMappedSelector = 60;

class default_sets_camera : public camtest::camera_fixture {
 protected:
  void TearDown() override {
    destroy_camera();
    camera_fixture::TearDown();
  }

  void plug_model(uint16_t product, std::vector<uint8_t> stored_sets) {
    const auto models = sim::raw_camera_models();
    sim::raw_camera_model model = *sim::find_raw_camera_model(models, "8406-colour");
    model.product_id = product;
    sim::sensor_options options;
    options.stored_default_sets = std::move(stored_sets);
    sensor = sim::raw_sensor_camera::create(model, options);
    // A vendor register the camera's mappings send 8-byte values to.
    sim::uvc_control c;
    c.entity = kUnit2;
    c.selector = kMappedSelector;
    c.length = 8;
    c.range_checked = false;
    sensor->define_control(c);
    plug(sensor);
  }
  uvc_camera* start() {
    destroy_camera();
    camera = create_camera_84xx(pdo, sink_.get());
    EXPECT_EQ(camera->init(), STATUS_SUCCESS);
    return camera;
  }
  void destroy_camera() {
    if (camera != nullptr) delete camera;
    camera = nullptr;
  }
  std::vector<sim::request_context> requests(uint8_t request) {
    std::vector<sim::request_context> r;
    for (const auto& c : sensor->request_contexts()) {
      if (c.setup.request == request) r.push_back(c);
    }
    return r;
  }

  std::shared_ptr<sim::raw_sensor_camera> sensor;
  uvc_camera* camera = nullptr;
};

TEST_F(default_sets_camera, loading_a_set_sets_the_controls_and_sends_the_mapped_values) {
  bson_doc camera_set = named_set("Bench", 3, 50, {}, bson_doc().i64("Sharpness", 11).i64("Saturation", 90)
                                                          .i64("Gamma", 150).i64("Vendor", -2));
  camera_set.doc("usb_property_mappings",
                 bson_doc().doc("0", bson_doc().doc("Vendor", bson_doc().i64("unit", kUnit2).i64("control", kMappedSelector))));
  plug_model(0x8406, sets_document({camera_set}));
  start();
  // "Optimized Defaults" (0), "Bench" (50), "Neutral" (100).
  EXPECT_EQ(register_value(camera, nps_property_selected), 0u);
  EXPECT_EQ(write_register(camera, nps_property_selected, 3), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(read_register(camera, nps_property_selected, 2).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(write_register(camera, nps_property_selected, 1, 2), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(read_register(camera, nps_property_load).status, STATUS_NOT_IMPLEMENTED);
  ASSERT_EQ(write_register(camera, nps_property_selected, 1), STATUS_SUCCESS);
  EXPECT_EQ(register_value(camera, nps_property_selected), 1u);

  sensor->clear_request_contexts();
  ASSERT_EQ(write_register(camera, nps_property_load, 0), STATUS_SUCCESS);
  EXPECT_EQ(get(camera, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SHARPNESS).value(), 11);
  EXPECT_EQ(get(camera, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SATURATION).value(), 90);
  EXPECT_EQ(get(camera, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAMMA).value(), 150);
  // The one mapped property, as the camera received it: SET_CUR to unit 2,
  // selector 60, interface 0, its 8 bytes.
  const std::vector<sim::request_context> sent = requests(0x01);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].setup.value, kMappedSelector << 8);
  EXPECT_EQ(sent[0].setup.index, kUnit2 << 8);
  EXPECT_EQ(sent[0].out_data, (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));

  // A loaded set is this session's: nothing is saved. A value a client sets
  // is, and comes back after a restart, while the selection starts at 0.
  EXPECT_FALSE(kstandin::registry_get_dword(device_values(), "Sharpness").has_value());
  ASSERT_EQ(set(camera, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SATURATION, 40), STATUS_SUCCESS);
  start();
  EXPECT_EQ(get(camera, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SATURATION).value(), 40);
  EXPECT_NE(get(camera, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SHARPNESS).value(), 11);
  EXPECT_EQ(register_value(camera, nps_property_selected), 0u);

  // A camera that refuses the mapped value ends the load with its status.
  sensor->remove_control(kUnit2, kMappedSelector);
  ASSERT_EQ(write_register(camera, nps_property_selected, 1), STATUS_SUCCESS);
  EXPECT_FALSE(NT_SUCCESS(write_register(camera, nps_property_load, 1)));
  EXPECT_EQ(get(camera, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SHARPNESS).value(), 11);
}

TEST_F(default_sets_camera, a_camera_document_of_one_mebibyte_is_read_in_256_chunks) {
  // A set padded with a binary element to exactly 0x100000 bytes.
  const bson_doc set = named_set("Stored", 1, 1, {}, bson_doc().i64("Hue", 7));
  const size_t unpadded = bson_doc().array("property_sets", {set}).binary("pad", 0).size();
  std::vector<uint8_t> doc =
      bson_doc().array("property_sets", {set}).binary("pad", 0x100000 - unpadded).bytes();
  ASSERT_EQ(doc.size(), 0x100000u);
  plug_model(0x8417, doc);
  start();
  const std::vector<sim::request_context> chunks = requests(0x1A);
  ASSERT_EQ(chunks.size(), 256u);
  EXPECT_EQ(chunks.back().setup.value, 0x000F);
  EXPECT_EQ(chunks.back().setup.index, 0xF000);
  EXPECT_EQ(chunks.back().setup.length, 4096);
  EXPECT_EQ(register_value(camera, nps_property_selected), 0u);
  ASSERT_EQ(write_register(camera, nps_property_selected, 1), STATUS_SUCCESS);  // "Stored", "Neutral"

  // One byte more is refused after the length.
  destroy_camera();
  doc.push_back(0);
  sensor->set_stored_default_sets(doc);
  sensor->clear_request_contexts();
  start();
  EXPECT_TRUE(requests(0x1A).empty());
  EXPECT_EQ(write_register(camera, nps_property_selected, 1), STATUS_INVALID_PARAMETER);  // "Neutral" only
}

TEST_F(default_sets_camera, a_product_without_sets_registers_nothing) {
  plug_model(0x8499, {});
  start();
  EXPECT_EQ(read_register(camera, nps_property_selected).status, STATUS_NOT_IMPLEMENTED);
}

}  // namespace
}  // namespace featuretest
