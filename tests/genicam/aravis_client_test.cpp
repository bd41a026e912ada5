// A GenICam client that is not ours drives our features: Aravis loads every
// register description the driver lists for a raw-sensor camera, reads
// every feature of every document through the driver's register property,
// and writes each writable one; each value must then be what the driver
// reports through the ordinary property for that setting, and an image
// feature must change the delivered frames.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>

#include "../device/device_support.h"
#include "aravis_device.h"
#include "controls/property_sets.h"
#include "features/feature_objects.h"
#include "sim/raw_sensor_camera.h"

namespace genicamtest {
namespace {

using devtest::kCapturePin;

// Where a feature's value shows in the driver besides its register: a
// property of the filter (40-byte standard records, 48-byte otherwise) and
// whether the value is the record's value or its automatic flag.
struct ordinary {
  const GUID* set;
  ULONG id;
  bool auto_flag;
};
const std::map<std::string, ordinary> kOrdinary = {
    {"WB_Temperature", {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, false}},
    {"WB_Temperature_Preset", {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, false}},
    {"WB_Temperature_Auto", {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, true}},
    {"WB_Temperature_R", {&camera_extension_set, extension_id::whitebalance_red, false}},
    {"WB_Temperature_G", {&camera_extension_set, extension_id::whitebalance_green, false}},
    {"WB_Temperature_B", {&camera_extension_set, extension_id::whitebalance_blue, false}},
    {"WB_Temperature_OnePush", {&camera_extension_set, extension_id::one_push, false}},
    {"Denoise_Item_Amount", {&camera_feature_set, feature_id::denoise, false}},
    {"Highlight_Reduction_Prop", {&camera_feature_set, feature_id::highlight_reduction, false}},
    {"ToneMapping_Enable_Val", {&camera_feature_set, feature_id::tone_mapping_enable, false}},
};

// Features whose change shows in the frames of the chart.
const std::set<std::string> kVisible = {"WB_Temperature_R", "WB_Temperature_B", "Denoise_Item_Amount",
                                        "ToneMapping_Enable_Val", "NPS_Item_LoadCmd_Elem"};

std::string error_text(GError* error) { return error != nullptr ? error->message : ""; }

class aravis_client : public devtest::device_test {
 protected:
  void TearDown() override {
    stop();
    device_test::TearDown();
  }

  void plug_model(const std::string& id) {
    const auto models = sim::raw_camera_models();
    sim::sensor_options options;
    options.noise = false;  // frames change only when a setting does
    sensor_ = sim::raw_sensor_camera::create(*sim::find_raw_camera_model(models, id), options);
    ASSERT_EQ(plug(sensor_), STATUS_SUCCESS);
    filter_ = open_filter();
  }

  // ---- the driver's ordinary properties, as a client reads them ------------------------------
  // The request is the record itself (its header first), as the standard
  // sets' items ask.
  std::pair<LONG, ULONG> property(const ordinary& o) {
    const bool standard = same_guid(*o.set, PROPSETID_VIDCAP_VIDEOPROCAMP) ||
                          same_guid(*o.set, PROPSETID_VIDCAP_CAMERACONTROL);
    std::vector<uint8_t> record(standard ? 40 : 48, 0);
    const KSPROPERTY header = kstandin::ks_make_property(*o.set, o.id, KSPROPERTY_TYPE_GET);
    memcpy(record.data(), &header, sizeof(header));
    std::vector<uint8_t> request = record;
    ULONG_PTR returned = 0;
    EXPECT_EQ(kstandin::ks_property(filter_, request.data(), ULONG(request.size()), record.data(),
                                    ULONG(record.size()), &returned),
              STATUS_SUCCESS);
    LONG value;
    ULONG flags;
    memcpy(&value, record.data() + 24, 4);
    memcpy(&flags, record.data() + 28, 4);
    return {value, flags};
  }
  void set_manual(const GUID& set, ULONG id, LONG value) {
    std::vector<uint8_t> record(40, 0);
    const KSPROPERTY header = kstandin::ks_make_property(set, id, KSPROPERTY_TYPE_SET);
    memcpy(record.data(), &header, sizeof(header));
    const ULONG manual = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    memcpy(record.data() + 24, &value, 4);
    memcpy(record.data() + 28, &manual, 4);
    std::vector<uint8_t> request = record;
    ULONG_PTR returned = 0;
    ASSERT_EQ(kstandin::ks_property(filter_, request.data(), 40, record.data(), 40, &returned), STATUS_SUCCESS);
  }

  // ---- frames ---------------------------------------------------------------------------------
  // Runs the pin at its first format's smallest size with the loops held
  // still: manual exposure and gain (the first set switches the automatic
  // mode off).
  void stream() {
    for (int i = 0; i < 2; ++i) {
      set_manual(PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE, -6);
      set_manual(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAIN, 64);
    }
    std::vector<std::vector<uint8_t>> ranges;
    ASSERT_EQ(kstandin::ks_pin_data_ranges(filter_, kCapturePin, &ranges), STATUS_SUCCESS);
    ASSERT_FALSE(ranges.empty());
    auto header = [](const std::vector<uint8_t>& r) {
      return reinterpret_cast<const KS_DATARANGE_VIDEO*>(r.data())->VideoInfoHeader.bmiHeader;
    };
    const std::vector<uint8_t>* smallest = &ranges.front();
    for (const auto& r : ranges) {
      if (header(r).biCompression == header(ranges.front()).biCompression &&
          header(r).biBitCount == header(ranges.front()).biBitCount &&
          header(r).biWidth * header(r).biHeight < header(*smallest).biWidth * header(*smallest).biHeight) {
        smallest = &r;
      }
    }
    ASSERT_EQ(kstandin::ks_intersect(filter_, kCapturePin, smallest->data(), &format_), STATUS_SUCCESS);
    frame_bytes_ = devtest::video_info_of(format_)->bmiHeader.biSizeImage;
    ASSERT_EQ(kstandin::ks_create_pin(filter_, kCapturePin, format_.data(), nullptr, &pin_), STATUS_SUCCESS);
    ASSERT_EQ(kstandin::ks_set_pin_state(pin_, KSSTATE_PAUSE), STATUS_SUCCESS);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(kstandin::ks_queue_read(pin_, frame_bytes_, true), STATUS_PENDING);
    ASSERT_EQ(kstandin::ks_set_pin_state(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  }
  void stop() {
    if (pin_ != nullptr) {
      EXPECT_EQ(kstandin::ks_set_pin_state(pin_, KSSTATE_STOP), STATUS_SUCCESS);
    }
  }
  // A frame made after everything set so far: the fourth from now.
  std::vector<uint8_t> settled_frame() {
    std::vector<uint8_t> data;
    for (int taken = 0; taken < 4;) {
      std::vector<kstandin::ks_completed_read> reads = kstandin::ks_take_completed(pin_, 1, 10000);
      if (reads.empty()) {
        ADD_FAILURE() << "no frame within 10 s";
        return data;
      }
      for (auto& read : reads) {
        ++taken;
        read.data.resize(read.header.DataUsed);
        data = std::move(read.data);
        EXPECT_EQ(kstandin::ks_queue_read(pin_, frame_bytes_, true), STATUS_PENDING);
      }
    }
    return data;
  }

  // ---- the walk -------------------------------------------------------------------------------
  struct tally {
    std::set<std::string> features, read, written, visible_changed;
  };

  static void collect(ArvGc* gc, const char* category, std::vector<std::string>* features) {
    ArvGcNode* node = arv_gc_get_node(gc, category);
    if (!ARV_IS_GC_CATEGORY(node)) return;
    for (const GSList* f = arv_gc_category_get_features(ARV_GC_CATEGORY(node)); f != nullptr; f = f->next) {
      const char* name = static_cast<const char*>(f->data);
      if (ARV_IS_GC_CATEGORY(arv_gc_get_node(gc, name))) {
        collect(gc, name, features);
      } else {
        features->push_back(name);
      }
    }
  }

  // Reads the feature; writes it when it can be written now. True when it
  // was written.
  bool exercise(ArvGc* gc, const std::string& name, tally* t) {
    ArvGcNode* node = arv_gc_get_node(gc, name.c_str());
    auto* feature = ARV_GC_FEATURE_NODE(node);
    const ArvGcAccessMode access = arv_gc_feature_node_get_actual_access_mode(feature);
    GError* error = nullptr;
    const bool available = arv_gc_feature_node_is_available(feature, &error);
    EXPECT_EQ(error, nullptr) << name << ": " << error_text(error);
    g_clear_error(&error);
    const bool locked = arv_gc_feature_node_is_locked(feature, &error);
    EXPECT_EQ(error, nullptr) << name << ": " << error_text(error);
    g_clear_error(&error);
    const bool writable = available && !locked && access != ARV_GC_ACCESS_MODE_RO;

    if (access != ARV_GC_ACCESS_MODE_WO && !ARV_IS_GC_COMMAND(node)) {
      const char* text = arv_gc_feature_node_get_value_as_string(feature, &error);
      EXPECT_EQ(error, nullptr) << name << ": " << error_text(error);
      EXPECT_NE(text, nullptr) << name;
      g_clear_error(&error);
      t->read.insert(name);
    }
    if (!writable || t->written.count(name) != 0) return false;

    const bool visible = kVisible.count(name) != 0 && pin_ != nullptr;
    const std::vector<uint8_t> before = visible ? settled_frame() : std::vector<uint8_t>();
    gint64 expected = 0;
    if (ARV_IS_GC_COMMAND(node)) {
      if (name == "NPS_Item_LoadCmd_Elem") {
        // "Optimized Defaults" is the first set of these products.
        arv_gc_enumeration_set_int_value(ARV_GC_ENUMERATION(arv_gc_get_node(gc, "NPS_Item_Enum")), 0, &error);
        EXPECT_EQ(error, nullptr) << error_text(error);
        g_clear_error(&error);
      }
      arv_gc_command_execute(ARV_GC_COMMAND(node), &error);
      expected = 1;
    } else if (ARV_IS_GC_ENUMERATION(node)) {
      auto* e = ARV_GC_ENUMERATION(node);
      guint n = 0;
      gint64* values = arv_gc_enumeration_dup_available_int_values(e, &n, &error);
      EXPECT_GT(n, 0u) << name;
      for (guint i = 0; i < n && error == nullptr; ++i) {
        arv_gc_enumeration_set_int_value(e, values[i], &error);
        if (error == nullptr) {
          EXPECT_EQ(arv_gc_enumeration_get_int_value(e, &error), values[i]) << name;
        }
        expected = values[i];
      }
      g_free(values);
    } else if (ARV_IS_GC_BOOLEAN(node)) {
      auto* b = ARV_GC_BOOLEAN(node);
      expected = !arv_gc_boolean_get_value(b, &error);
      if (error == nullptr) arv_gc_boolean_set_value(b, gboolean(expected), &error);
      if (error == nullptr) {
        EXPECT_EQ(arv_gc_boolean_get_value(b, &error), expected) << name;
      }
    } else if (ARV_IS_GC_FLOAT(node)) {
      auto* f = ARV_GC_FLOAT(node);
      const double lo = arv_gc_float_get_min(f, &error), hi = arv_gc_float_get_max(f, &error);
      const double v = arv_gc_float_get_value(f, &error);
      const double target = v == hi ? lo : hi;
      if (error == nullptr) arv_gc_float_set_value(f, target, &error);
      if (error == nullptr) {
        EXPECT_NEAR(arv_gc_float_get_value(f, &error), target, 1e-5) << name;
      }
    } else if (ARV_IS_GC_INTEGER(node)) {
      auto* i = ARV_GC_INTEGER(node);
      const gint64 lo = arv_gc_integer_get_min(i, &error), hi = arv_gc_integer_get_max(i, &error);
      const gint64 v = arv_gc_integer_get_value(i, &error);
      expected = v == hi ? lo : hi;
      if (error == nullptr) arv_gc_integer_set_value(i, expected, &error);
      if (error == nullptr) {
        EXPECT_EQ(arv_gc_integer_get_value(i, &error), expected) << name;
      }
    } else {
      ADD_FAILURE() << name << " is of a kind the walk does not know";
      return false;
    }
    EXPECT_EQ(error, nullptr) << name << ": " << error_text(error);
    g_clear_error(&error);
    t->written.insert(name);

    // The same value through the driver's ordinary property.
    const auto o = kOrdinary.find(name);
    if (o != kOrdinary.end()) {
      const std::pair<LONG, ULONG> answer = property(o->second);
      if (o->second.auto_flag) {
        EXPECT_EQ(gint64(answer.second & 1u), expected) << name;
      } else {
        EXPECT_EQ(gint64(answer.first), expected) << name;
      }
    }
    if (name == "WB_Temperature_OnePush" && pin_ != nullptr) {
      // The one-push balance runs on the next frames and then ends; what is
      // written after it must not be taken back by it.
      for (int i = 0; i < 10 && property(o->second).first != 0; ++i) settled_frame();
      EXPECT_EQ(property(o->second).first, 0) << "the one-push balance never ran";
    }
    if (name == "NPS_Item_LoadCmd_Elem") {
      // "Optimized Defaults": sharpness 5 and denoise 7.
      EXPECT_EQ(property({&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SHARPNESS, false}).first, 5);
      EXPECT_EQ(property({&camera_feature_set, feature_id::denoise, false}).first, 7);
    }
    if (visible && settled_frame() != before) t->visible_changed.insert(name);
    return true;
  }

  // Every node a document names is a node of Aravis's tree (an entry, of
  // its enumeration): the document was taken whole.
  static void expect_every_node(ArvGc* gc, const std::string& xml) {
    static const std::regex named("<([A-Za-z]+) Name=\"([^\"]+)\"");
    std::set<std::string> entries;
    for (auto m = std::sregex_iterator(xml.begin(), xml.end(), named); m != std::sregex_iterator(); ++m) {
      ArvGcNode* node = arv_gc_get_node(gc, (*m)[2].str().c_str());
      if (!ARV_IS_GC_ENUMERATION(node)) continue;
      for (const GSList* e = arv_gc_enumeration_get_entries(ARV_GC_ENUMERATION(node)); e != nullptr; e = e->next) {
        entries.insert(arv_gc_feature_node_get_name(ARV_GC_FEATURE_NODE(e->data)));
      }
    }
    for (auto m = std::sregex_iterator(xml.begin(), xml.end(), named); m != std::sregex_iterator(); ++m) {
      if ((*m)[1] == "pVariable") continue;  // a formula's variable, not a node
      if ((*m)[1] == "EnumEntry") {
        EXPECT_EQ(entries.count((*m)[2]), 1u) << (*m)[2];
      } else {
        EXPECT_NE(arv_gc_get_node(gc, (*m)[2].str().c_str()), nullptr) << (*m)[2];
      }
    }
  }

  // Loads every document and walks it until nothing more can be written.
  void drive_every_document() {
    const std::vector<std::string> documents = listed_documents(filter_);
    // Named sets, highlight reduction, denoise, tone mapping (+ white
    // balance); the feature tests check them against the GenApi schema.
    ASSERT_GE(documents.size(), 4u);
    ArvDevice* device = register_device_new(filter_);
    tally t;
    for (const std::string& xml : documents) {
      SCOPED_TRACE(xml.substr(0, 200));
      GError* error = nullptr;
      ArvDomDocument* dom = arv_dom_document_new_from_memory(xml.data(), int(xml.size() - 1), &error);
      EXPECT_EQ(error, nullptr) << error_text(error);
      g_clear_error(&error);
      if (dom != nullptr) g_object_unref(dom);
      ArvGc* gc = arv_gc_new(device, xml.data(), xml.size() - 1);
      ASSERT_NE(gc, nullptr);
      expect_every_node(gc, xml);
      std::vector<std::string> features;
      collect(gc, "Root", &features);
      EXPECT_FALSE(features.empty());
      t.features.insert(features.begin(), features.end());
      // Writing one feature may unlock another: walk until a pass writes
      // nothing.
      for (bool progress = true; progress;) {
        progress = false;
        for (const std::string& f : features) progress = exercise(gc, f, &t) || progress;
      }
      g_object_unref(gc);
    }
    EXPECT_EQ(register_device_failures(device), 0u);
    g_object_unref(device);

    std::set<std::string> untouched;
    for (const std::string& f : t.features) {
      if (t.written.count(f) == 0 && f != "ToneMapping_Supports_8Bit") untouched.insert(f);
    }
    EXPECT_TRUE(untouched.empty()) << "never writable: " << ::testing::PrintToString(untouched);
    for (const std::string& f : kVisible) {
      if (t.written.count(f) != 0) {
        EXPECT_EQ(t.visible_changed.count(f), 1u) << f << " left the frames as they were";
      }
    }
    written_ = t.written;
  }

  std::shared_ptr<sim::raw_sensor_camera> sensor_;
  ULONG frame_bytes_ = 0;
  std::set<std::string> written_;
};

TEST_F(aravis_client, reads_and_writes_every_feature_of_the_colour_camera) {
  plug_model("8406-colour");
  stream();
  drive_every_document();
  EXPECT_EQ(written_.count("WB_Temperature"), 1u);
  EXPECT_EQ(written_.count("NPS_Item_LoadCmd_Elem"), 1u);
}

TEST_F(aravis_client, reads_and_writes_every_feature_of_the_mono_camera) {
  plug_model("8416-mono");
  stream();
  drive_every_document();
  EXPECT_EQ(written_.count("WB_Temperature"), 0u);  // a mono camera has no white balance
  EXPECT_EQ(written_.count("ToneMapping_Enable_Val"), 1u);
}

}  // namespace
}  // namespace genicamtest
