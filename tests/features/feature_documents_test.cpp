// The register-description documents: every document a camera publishes,
// for every combination of features a family can attach, and the named
// property sets' document with awkward set names, are valid against the
// GenApi 1.0 schema (checked with xmllint); every register a document
// names is one the camera answers; the white-balance document's preset
// converter only yields preset values.
#include "features_support.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>

namespace featuretest {
namespace {

constexpr uint8_t kWdrSelector = 49;
constexpr uint8_t kSensorUnitId = 4;

// A camera with the sensor unit's wide-dynamic-range switch and no picture
// controls of its own.
sim::uvc_camera_desc wdr_camera_desc() {
  sim::uvc_camera_desc d = sim::default_camera_desc();
  d.processing_controls = 0;
  sim::uvc_extension_unit_desc unit;
  unit.unit_id = kSensorUnitId;
  unit.guid = sim::kSensorExtensionGuid;
  unit.bm_controls = std::vector<uint8_t>(7, 0);
  unit.bm_controls[(kWdrSelector - 1) / 8] |= uint8_t(1u << ((kWdrSelector - 1) % 8));
  unit.num_controls = 1;
  sim::uvc_control wdr;
  wdr.selector = kWdrSelector;
  wdr.length = 4;
  wdr.min = {0, 0, 0, 0};
  wdr.max = {1, 0, 0, 0};
  wdr.res = {1, 0, 0, 0};
  wdr.def = {0, 0, 0, 0};
  wdr.cur = {0, 0, 0, 0};
  unit.controls = {wdr};
  d.extension_units = {unit};
  return d;
}

// A directory of this test's own, removed with its files.
class temp_dir {
 public:
  temp_dir() {
    std::string pattern = "/tmp/tv_features_" + std::to_string(getpid()) + "_XXXXXX";
    path_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
  }
  ~temp_dir() {
    for (const std::string& f : files_) std::remove(f.c_str());
    if (!path_.empty()) rmdir(path_.c_str());
  }
  std::string write(const std::string& name, const std::string& text) {
    const std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << text;
    files_.push_back(file);
    return file;
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

// xmllint's verdict on the files: empty when every one is valid.
std::string schema_errors(const std::vector<std::string>& files) {
  std::string command = "xmllint --noout --schema " TV_TESTDATA_DIR "/genapi/GenApiSchema_Version_1_0.xsd";
  for (const std::string& f : files) command += " '" + f + "'";
  command += " 2>&1";
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "xmllint could not be started";
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  const int status = pclose(pipe);
  return status == 0 ? "" : output;
}

std::vector<std::string> documents_of(const register_description_store& store) {
  std::vector<std::string> out;
  for (ULONG i = 0; i < store.count(); ++i) {
    ULONG size = 0;
    const char* text = store.document(i, &size);
    EXPECT_EQ(text[size - 1], '\0');
    out.emplace_back(text, size - 1);
  }
  return out;
}

std::string model_name(const std::string& document) {
  std::smatch m;
  return std::regex_search(document, m, std::regex("ModelName=\"([^\"]*)\"")) ? m[1].str() : "";
}

using documents = feature_fixture;

TEST_F(documents, every_feature_combination_publishes_valid_documents_whose_registers_the_camera_answers) {
  struct combination {
    bool colour;
    bool table;
    ULONG sensor_code;
    std::vector<std::string> expected;
  };
  const std::string hr = "RIR3Ezarav_Generated_HighlightReduction", dn = "RIR3Ezarav_Generated_Denoise",
                    tm = "RIR3Ezarav_Generated_Tonemapping", wb = "RIR3Ezarav_Generated_Whitebalance",
                    wdr = "RIR3Ezarav_Generated_IMX236_WDR";
  const combination combinations[] = {
      {true, true, 0x800A, {wb, hr, dn, tm, wdr}},
      {true, true, 0x1234, {wb, hr, dn, tm}},
      {true, false, 0x800A, {hr, dn, tm, wdr}},
      {true, false, 0, {hr, dn, tm}},
      {false, true, 0x8A5A, {hr, dn, tm, wdr}},  // other bits outside the mask
      {false, false, 0x900A, {hr, dn, tm}},  // not the IMX236
  };
  plug(wdr_camera_desc());
  temp_dir dir;
  std::vector<std::string> files;
  const std::regex address("<Address>0xCEBB0001([0-9A-F]{8})</Address>");
  for (size_t c = 0; c < ARRAYSIZE(combinations); ++c) {
    const combination& combo = combinations[c];
    SCOPED_TRACE(c);
    feature_setup setup = colour_setup(&sensor, combo.table ? builtin_temperature_table(4) : nullptr);
    setup.colour = combo.colour;
    setup.sensor_code = combo.sensor_code;
    feature_camera* cam = &start(setup, family_controls::none);
    const std::vector<std::string> docs = documents_of(cam->documents);
    std::vector<std::string> names;
    for (size_t i = 0; i < docs.size(); ++i) {
      names.push_back(model_name(docs[i]));
      files.push_back(dir.write("combination" + std::to_string(c) + "_" + std::to_string(i) + ".xml", docs[i]));
      for (auto it = std::sregex_iterator(docs[i].begin(), docs[i].end(), address); it != std::sregex_iterator();
           ++it) {
        const ULONG number = std::stoul((*it)[1].str(), nullptr, 16);
        const reply r = read_register(cam, number);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << names.back() << " register " << number;
        EXPECT_EQ(r.returned, 4u);
      }
    }
    EXPECT_EQ(names, combo.expected);
  }
  EXPECT_EQ(schema_errors(files), "");
}

TEST_F(documents, the_named_sets_document_is_valid_for_any_set_names) {
  const std::string long_name(99, 'n');
  const std::string names[] = {"Optimized Defaults", "Neutral", "A<b>&\"c'", "bad \xff\xfe bytes\x01",
                               "D\xc3\xa9" "faut", long_name};
  std::vector<named_set_name> list;
  for (const std::string& n : names) list.push_back({n.c_str(), ULONG(n.size() + 1)});
  register_description_store store;
  EXPECT_EQ(append_named_sets_document(&store, list.data(), 0), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(append_named_sets_document(&store, list.data(), ULONG(list.size())), STATUS_SUCCESS);
  const std::string doc = documents_of(store).at(0);
  EXPECT_EQ(model_name(doc), "ZEZEzezoz_Generated_GenICam_NPS");
  EXPECT_NE(doc.find("ToolTip=\"ZEZEzezoz generated GenICam for NPS\""), std::string::npos);
  EXPECT_NE(doc.find("<DisplayName>A&lt;b&gt;&amp;&quot;c'</DisplayName>"), std::string::npos);
  EXPECT_NE(doc.find("<DisplayName>bad ?? bytes?</DisplayName>"), std::string::npos);
  EXPECT_NE(doc.find("<DisplayName>D\xc3\xa9" "faut</DisplayName>"), std::string::npos);
  EXPECT_NE(doc.find("<EnumEntry Name=\"NPS_Item_Enum_Entry_5\">"), std::string::npos);
  EXPECT_NE(doc.find("<Address>0xCEBB000100000012</Address>"), std::string::npos);
  temp_dir dir;
  EXPECT_EQ(schema_errors({dir.write("nps.xml", doc)}), "");

  // The store takes terminated texts only.
  EXPECT_EQ(store.append_register_description("ab", 2), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(store.count(), 1u);
  EXPECT_EQ(store.document(1, nullptr), nullptr);
}

TEST_F(documents, a_temperature_read_back_shows_as_one_of_the_presets) {
  register_description_store store;
  ASSERT_EQ(append_white_balance_document(&store), STATUS_SUCCESS);
  const std::string doc = documents_of(store).at(0);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(doc, m, std::regex("<FormulaFrom>([^<]*)</FormulaFrom>")));
  const std::string formula = m[1].str();
  std::set<long> results;
  const std::regex result("(?:\\? |: )(\\d+)(?= :|$)");
  for (auto it = std::sregex_iterator(formula.begin(), formula.end(), result); it != std::sregex_iterator(); ++it) {
    results.insert(std::stol((*it)[1].str()));
  }
  EXPECT_EQ(results, (std::set<long>{2500, 2700, 3000, 3500, 4000, 5000, 6000, 7500, 10000}));
  EXPECT_NE(formula.find("TO &lt; 2550 ? 2500"), std::string::npos);
}

}  // namespace
}  // namespace featuretest
