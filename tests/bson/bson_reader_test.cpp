// The driver's BSON reader against libbson: the shared BSON corpus (every
// valid document and every decode error) and seeded random documents, whole
// and damaged. libbson decides whether a document is well-formed and gives
// every element's key, type and value; the reader must accept exactly the
// well-formed documents that hold only the types it takes, and its tree must
// say the same. Also the reader's own look-ups.
#include <bson/bson.h>
#include <gtest/gtest.h>

#include <kstandin/testing.h>

#include <cstring>
#include <dirent.h>
#include <random>
#include <string>
#include <vector>

#include "controls/bson_reader.h"
#include "kernel/pool_tags.h"
#include "testdata.h"

namespace {

using bytes = std::vector<uint8_t>;

// ---- libbson as the reference ---------------------------------------------------------------------
// UTF-8 as libbson's strict check has it; zeros are characters (libbson's
// own allowance for them also takes the two-byte form of zero, which is
// not UTF-8).
bool utf8(const char* s, size_t n) {
  for (size_t start = 0, i = 0; i <= n; ++i) {
    if (i == n || s[i] == 0) {
      if (!bson_utf8_validate(s + start, i - start, false)) return false;
      start = i + 1;
    }
  }
  return true;
}

// Walks what libbson's structural check passed: keys and strings must be
// UTF-8 and embedded documents end in their zero; notes the types the
// reader does not take.
bool check_text(bson_iter_t* it, bool* unsupported) {
  while (bson_iter_next(it)) {
    if (!utf8(bson_iter_key(it), bson_iter_key_len(it))) return false;
    uint32_t n = 0;
    switch (bson_iter_type(it)) {
      case BSON_TYPE_UTF8:
        if (const char* s = bson_iter_utf8(it, &n); !utf8(s, n)) return false;
        break;
      case BSON_TYPE_CODE:
        if (const char* s = bson_iter_code(it, &n); !utf8(s, n)) return false;
        break;
      case BSON_TYPE_SYMBOL:
        if (const char* s = bson_iter_symbol(it, &n); !utf8(s, n)) return false;
        break;
      case BSON_TYPE_DBPOINTER: {
        const char* collection = nullptr;
        const bson_oid_t* oid = nullptr;
        bson_iter_dbpointer(it, &n, &collection, &oid);
        if (!utf8(collection, n)) return false;
        *unsupported = true;
        break;
      }
      case BSON_TYPE_REGEX:
      case BSON_TYPE_CODEWSCOPE:
      case BSON_TYPE_DECIMAL128:
        *unsupported = true;
        break;
      case BSON_TYPE_DOCUMENT:
      case BSON_TYPE_ARRAY: {
        // libbson does not look at an embedded document's last byte: it
        // must be the document's terminating zero.
        const uint8_t* inner = nullptr;
        if (bson_iter_type(it) == BSON_TYPE_DOCUMENT) {
          bson_iter_document(it, &n, &inner);
        } else {
          bson_iter_array(it, &n, &inner);
        }
        if (inner == nullptr || inner[n - 1] != 0) return false;
        bson_iter_t child;
        if (!bson_iter_recurse(it, &child) || !check_text(&child, unsupported)) return false;
        break;
      }
      default:
        break;
    }
  }
  return true;
}

// libbson's verdict, completed: well-formed, with UTF-8 strings and keys.
bool libbson_accepts(const bytes& doc, bool* unsupported) {
  bson_t b;
  *unsupported = false;
  if (doc.size() < 5 || !bson_init_static(&b, doc.data(), doc.size())) return false;
  bson_error_t error;
  if (!bson_validate_with_error(&b, BSON_VALIDATE_NONE, &error)) return false;
  bson_iter_t it;
  return bson_iter_init(&it, &b) && check_text(&it, unsupported);
}

// Compares the reader's children of `container` with libbson's elements;
// the first difference as text, empty when they agree.
std::string compare(const bson_node* container, bson_iter_t* it, const std::string& where) {
  const bson_node* node = container->first_child;
  for (int index = 0; bson_iter_next(it); ++index, node = node->next) {
    const std::string at = where + "/" + bson_iter_key(it);
    if (node == nullptr) return at + ": missing in the reader's tree";
    if (node->parent != container) return at + ": wrong parent";
    const uint32_t key_length = bson_iter_key_len(it);
    if (node->key_length != key_length + 1 || std::memcmp(node->key, bson_iter_key(it), key_length) != 0) {
      return at + ": key differs";
    }
    if (node->type != uint8_t(bson_iter_type(it))) return at + ": type byte differs";
    bool same = false;
    switch (bson_iter_type(it)) {
      case BSON_TYPE_DOUBLE: {
        const double d = bson_iter_double(it);
        same = node->kind == bson_kind::floating && std::memcmp(node->raw, &d, 8) == 0;
        break;
      }
      case BSON_TYPE_UTF8:
      case BSON_TYPE_CODE:
      case BSON_TYPE_SYMBOL: {
        uint32_t n = 0;
        const char* s = bson_iter_type(it) == BSON_TYPE_UTF8   ? bson_iter_utf8(it, &n)
                        : bson_iter_type(it) == BSON_TYPE_CODE ? bson_iter_code(it, &n)
                                                               : bson_iter_symbol(it, &n);
        same = node->kind == bson_kind::string && node->length == n + 1 && std::memcmp(node->data, s, n + 1) == 0;
        break;
      }
      case BSON_TYPE_DOCUMENT:
      case BSON_TYPE_ARRAY: {
        if (node->kind != bson_kind::container) return at + ": not a container";
        bson_iter_t child;
        if (!bson_iter_recurse(it, &child)) return at + ": libbson cannot recurse";
        const std::string inner = compare(node, &child, at);
        if (!inner.empty()) return inner;
        same = true;
        break;
      }
      case BSON_TYPE_BINARY: {
        bson_subtype_t subtype;
        uint32_t n = 0;
        const uint8_t* data = nullptr;
        bson_iter_binary(it, &subtype, &n, &data);
        // libbson hands an old binary's payload without its repeated length.
        const uint32_t skip = subtype == BSON_SUBTYPE_BINARY_DEPRECATED ? 4 : 0;
        same = node->kind == bson_kind::no_value && node->subtype == subtype && node->length == n + skip &&
               (n == 0 || std::memcmp(node->data + skip, data, n) == 0);
        break;
      }
      case BSON_TYPE_BOOL:
        same = node->kind == bson_kind::boolean && node->integer == (bson_iter_bool(it) ? 1 : 0);
        break;
      case BSON_TYPE_DATE_TIME:
        same = node->kind == bson_kind::integer && node->integer == bson_iter_date_time(it);
        break;
      case BSON_TYPE_TIMESTAMP: {
        uint32_t t = 0, i = 0;
        bson_iter_timestamp(it, &t, &i);
        same = node->kind == bson_kind::integer && uint64_t(node->integer) == ((uint64_t(t) << 32) | i);
        break;
      }
      case BSON_TYPE_INT32:
        same = node->kind == bson_kind::integer && node->integer == bson_iter_int32(it);
        break;
      case BSON_TYPE_INT64:
        same = node->kind == bson_kind::integer && node->integer == bson_iter_int64(it);
        break;
      default:  // undefined, ObjectId, null, min key, max key
        same = node->kind == bson_kind::no_value;
        break;
    }
    if (!same) return at + ": value differs";
  }
  if (node != nullptr) return where + ": the reader has more elements";
  return std::string();
}

// The reader and libbson on one document: empty when they agree.
std::string differential(const bytes& doc) {
  bool unsupported = false;
  const bool expected = libbson_accepts(doc, &unsupported) && !unsupported;
  bson_node* root = bson_parse(doc.data(), ULONG(doc.size()));
  std::string difference;
  if ((root != nullptr) != expected) {
    difference = expected ? "the reader refuses a document libbson accepts"
                          : (unsupported ? "the reader accepts a type it does not take"
                                         : "the reader accepts a document libbson refuses");
  } else if (root != nullptr) {
    bson_t b;
    bson_init_static(&b, doc.data(), doc.size());
    bson_iter_t it;
    bson_iter_init(&it, &b);
    if (root->kind != bson_kind::root || root->parent != nullptr) difference = "root";
    if (difference.empty()) difference = compare(root, &it, "");
  }
  bson_free(root);
  return difference;
}

std::string hex(const bytes& b) {
  std::string s;
  char two[3];
  for (uint8_t c : b) snprintf(two, sizeof(two), "%02X", c), s += two;
  return s;
}

bytes from_hex(const std::string& hex) {
  bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// The corpus files are JSON; libbson reads them.
struct corpus_case {
  std::string name;
  bytes doc;
  bool valid;
};

void collect(const bson_t* file, const char* array, const char* field, bool valid, const std::string& name,
             std::vector<corpus_case>* cases) {
  bson_iter_t it, list;
  if (!bson_iter_init_find(&it, file, array) || !bson_iter_recurse(&it, &list)) return;
  while (bson_iter_next(&list)) {
    bson_iter_t entry, value;
    if (!bson_iter_recurse(&list, &entry)) continue;
    bson_iter_t copy = entry;
    std::string what = name;
    if (bson_iter_find(&copy, "description")) what += ": " + std::string(bson_iter_utf8(&copy, nullptr));
    for (const char* f : {field, valid ? "degenerate_bson" : nullptr}) {
      if (f == nullptr) continue;
      value = entry;
      if (bson_iter_find(&value, f)) {
        cases->push_back({what + " (" + f + ")", from_hex(bson_iter_utf8(&value, nullptr)), valid});
      }
    }
  }
}

std::vector<corpus_case> corpus() {
  const std::string dir = tvtest::testdata_dir() + "/bson-corpus";
  std::vector<corpus_case> cases;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return cases;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() < 5 || name.substr(name.size() - 5) != ".json") continue;
    bson_error_t error;
    bson_json_reader_t* reader = bson_json_reader_new_from_file((dir + "/" + name).c_str(), &error);
    if (reader == nullptr) continue;
    bson_t file = BSON_INITIALIZER;
    if (bson_json_reader_read(reader, &file, &error) == 1) {
      collect(&file, "valid", "canonical_bson", true, name, &cases);
      collect(&file, "decodeErrors", "bson", false, name, &cases);
    }
    bson_destroy(&file);
    bson_json_reader_destroy(reader);
  }
  closedir(d);
  return cases;
}

// ---- random documents ---------------------------------------------------------------------------------
class document_maker {
 public:
  explicit document_maker(uint32_t seed) : rng_(seed) {}

  bytes make() {
    bytes doc = document(0);
    if (pick(2) == 0) damage(&doc);
    return doc;
  }

 private:
  uint32_t pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }

  static void put32(bytes* b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b->push_back(uint8_t(v >> (8 * i)));
  }
  static void put64(bytes* b, uint64_t v) {
    for (int i = 0; i < 8; ++i) b->push_back(uint8_t(v >> (8 * i)));
  }

  // Mostly ASCII, some multi-byte characters, now and then a zero (strings
  // only) or a byte that breaks UTF-8.
  std::string text(bool zeros) {
    static const char* const pieces[] = {"a", "Z", "9", "_", " ", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                         "Neutral", "name", "0"};
    std::string s;
    const uint32_t n = pick(8);
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t r = pick(100);
      if (r < 2 && zeros) {
        s.push_back('\0');
      } else if (r < 4) {
        static const char* const broken[] = {"\xC3", "\xE9", "\xED\xA0\x80", "\xC0\x80", "\xF5\x80\x80\x80", "\xFF"};
        s += broken[pick(6)];
      } else {
        s += pieces[pick(sizeof(pieces) / sizeof(pieces[0]))];
      }
    }
    return s;
  }

  bytes document(int depth) {
    bytes b(4, 0);
    const uint32_t n = pick(depth == 0 ? 8 : 5);
    for (uint32_t i = 0; i < n; ++i) element(&b, depth, i);
    b.push_back(0);
    const uint32_t size = uint32_t(b.size());
    for (int i = 0; i < 4; ++i) b[i] = uint8_t(size >> (8 * i));
    return b;
  }

  void element(bytes* b, int depth, uint32_t index) {
    static const uint8_t types[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0D,
                                    0x0E, 0x10, 0x11, 0x12, 0x7F, 0xFF, 0x0B, 0x13, 0x03, 0x04, 0x10};
    uint8_t type = types[pick(sizeof(types))];
    if ((type == 0x03 || type == 0x04) && depth >= 5) type = 0x10;
    b->push_back(type);
    const std::string key = pick(4) == 0 ? std::to_string(index) : text(false);
    b->insert(b->end(), key.begin(), key.end());
    b->push_back(0);
    switch (type) {
      case 0x01:
      case 0x09:
      case 0x11:
      case 0x12:
        put64(b, (uint64_t(rng_()) << 32) | rng_());
        break;
      case 0x02:
      case 0x0D:
      case 0x0E: {
        const std::string s = text(true);
        put32(b, uint32_t(s.size() + 1));
        b->insert(b->end(), s.begin(), s.end());
        b->push_back(0);
        break;
      }
      case 0x03:
      case 0x04: {
        const bytes inner = document(depth + 1);
        b->insert(b->end(), inner.begin(), inner.end());
        break;
      }
      case 0x05: {
        const uint8_t subtype = uint8_t(pick(4) == 0 ? 2 : pick(6));
        const uint32_t n = pick(12) + (subtype == 2 ? 4 : 0);
        put32(b, n);
        b->push_back(subtype);
        if (subtype == 2) put32(b, n - 4);
        for (uint32_t i = subtype == 2 ? 4 : 0; i < n; ++i) b->push_back(uint8_t(rng_()));
        break;
      }
      case 0x07:
        for (int i = 0; i < 12; ++i) b->push_back(uint8_t(rng_()));
        break;
      case 0x08:
        b->push_back(uint8_t(pick(2)));
        break;
      case 0x0B: {  // a regular expression: pattern and options
        b->push_back('a');
        b->push_back(0);
        b->push_back('i');
        b->push_back(0);
        break;
      }
      case 0x13:
        for (int i = 0; i < 16; ++i) b->push_back(uint8_t(rng_()));
        break;
      case 0x10:
        put32(b, rng_());
        break;
      default:  // undefined, null, min and max key
        break;
    }
  }

  // One to three changes: a byte replaced, a length field changed, the
  // document cut short or lengthened.
  void damage(bytes* doc) {
    const uint32_t changes = 1 + pick(3);
    for (uint32_t c = 0; c < changes && doc->size() > 1; ++c) {
      const size_t at = pick(uint32_t(doc->size()));
      switch (pick(5)) {
        case 0:
          (*doc)[at] = uint8_t(rng_());
          break;
        case 1:
          (*doc)[at] ^= uint8_t(1u << pick(8));
          break;
        case 2:
          (*doc)[at] = uint8_t((*doc)[at] + (pick(2) != 0 ? 1 : 0xFF));
          break;
        case 3:
          doc->resize(at + 1);
          break;
        default:
          doc->push_back(uint8_t(rng_()));
          break;
      }
    }
  }

  std::mt19937 rng_;
};

bytes document_of(std::initializer_list<std::pair<const char*, bytes>> elements) {
  bytes b(4, 0);
  for (const auto& e : elements) {
    b.insert(b.end(), e.second.begin(), e.second.begin() + 1);
    b.insert(b.end(), e.first, e.first + std::strlen(e.first) + 1);
    b.insert(b.end(), e.second.begin() + 1, e.second.end());
  }
  b.push_back(0);
  for (int i = 0; i < 4; ++i) b[i] = uint8_t(b.size() >> (8 * i));
  return b;
}

// Element bodies for document_of: the type byte, then the value.
bytes int64_value(int64_t v) {
  bytes b{0x12};
  for (int i = 0; i < 8; ++i) b.push_back(uint8_t(uint64_t(v) >> (8 * i)));
  return b;
}
bytes string_value(const std::string& s) {
  bytes b{0x02};
  const uint32_t n = uint32_t(s.size() + 1);
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(n >> (8 * i)));
  b.insert(b.end(), s.begin(), s.end());
  b.push_back(0);
  return b;
}
bytes nested(uint8_t type, const bytes& doc) {
  bytes b{type};
  b.insert(b.end(), doc.begin(), doc.end());
  return b;
}

}  // namespace

TEST(BsonReader, AgreesWithLibbsonOnTheCorpus) {
  const std::vector<corpus_case> cases = corpus();
  ASSERT_GT(cases.size(), 700u) << "the BSON corpus is missing from " << tvtest::testdata_dir();
  size_t accepted = 0;
  for (const corpus_case& c : cases) {
    const std::string difference = differential(c.doc);
    EXPECT_TRUE(difference.empty()) << c.name << ": " << difference;
    bool unsupported = false;
    if (!c.valid) {
      EXPECT_FALSE(libbson_accepts(c.doc, &unsupported)) << c.name << ": the reference takes a decode error";
    }
    bson_node* root = bson_parse(c.doc.data(), ULONG(c.doc.size()));
    if (root != nullptr) ++accepted;
    EXPECT_TRUE(root == nullptr || c.valid) << c.name << ": a decode error was accepted";
    bson_free(root);
  }
  // Everything but regular expressions, DB pointers, code with scope and
  // decimal128.
  EXPECT_GT(accepted, 80u);
}

TEST(BsonReader, AgreesWithLibbsonOnSeededRandomDocuments) {
  document_maker maker(20240517);
  int accepted = 0;
  for (int i = 0; i < 10000; ++i) {
    const bytes doc = maker.make();
    const std::string difference = differential(doc);
    ASSERT_TRUE(difference.empty()) << "document " << i << ": " << difference << "\n" << hex(doc);
    bson_node* root = bson_parse(doc.data(), ULONG(doc.size()));
    accepted += root != nullptr;
    bson_free(root);
  }
  // Both outcomes are well represented.
  EXPECT_GT(accepted, 2000);
  EXPECT_LT(accepted, 8000);
}

TEST(BsonReader, LooksUpPathsKeysAndValuesInOnePagedBlock) {
  const bytes set = document_of({{"name", string_value("Neutral")},
                                 {"version", int64_value(-2)},
                                 {"flag", {0x08, 1}},
                                 {"ids", nested(0x04, document_of({{"0", string_value("840A")}, {"1", string_value("8401")}}))}});
  const bytes doc = document_of({{"_id", {0x07, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
                                 {"property_sets", nested(0x04, document_of({{"0", nested(0x03, set)}}))},
                                 {"empty", nested(0x03, document_of({}))}});
  const kstandin::pool_snapshot before = kstandin::take_pool_snapshot();
  bson_node* root = bson_parse(doc.data(), ULONG(doc.size()));
  ASSERT_NE(root, nullptr);
  const auto live = kstandin::leaks_since(before);
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].tag, pool_tag::bson);
  EXPECT_EQ(live[0].live_count, 1u);

  EXPECT_EQ(bson_find(root, ""), root);
  const bson_node* first_set = bson_find(root, "/property_sets/");
  ASSERT_NE(first_set, nullptr);
  EXPECT_EQ(first_set->key_length, 2u);  // "0"
  const bson_node* field = bson_find(first_set, "/");
  LONGLONG value = 7;
  EXPECT_EQ(bson_get_int(field, "version", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, -2);  // a value, never mistaken for a failure
  EXPECT_EQ(bson_get_int(field, "flag", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(bson_get_int(field, "name", &value), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(bson_get_int(field, "seqnum", &value), STATUS_NOT_FOUND);
  EXPECT_EQ(value, 1);
  // A name matches the current node and the siblings after it, never before.
  EXPECT_EQ(bson_find(bson_find(field, "flag"), "name"), nullptr);
  EXPECT_EQ(bson_find(root, "/empty/"), nullptr);
  EXPECT_EQ(bson_find(root, "/prop"), nullptr);

  const bson_node* id = bson_find(field, "ids/");
  ASSERT_NE(id, nullptr);
  char text[100];
  ULONG length = 0;
  EXPECT_EQ(bson_get_string(id, "", text, sizeof(text), &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 5u);
  EXPECT_STREQ(text, "840A");
  EXPECT_EQ(bson_get_string(bson_next(id), "", text, 5, &length), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(bson_get_string(field, "version", text, sizeof(text), &length), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bson_next(bson_next(id)), nullptr);

  char key[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(bson_get_key(field, key, 3), 5u);  // "name" and its zero
  EXPECT_EQ(std::string(key, 4), "namx");
  bson_free(root);
  EXPECT_TRUE(kstandin::leaks_since(before).empty());

  // Out of pool: nothing is left behind.
  kstandin::fail_next_allocations(1, pool_tag::bson);
  EXPECT_EQ(bson_parse(doc.data(), ULONG(doc.size())), nullptr);
  EXPECT_TRUE(kstandin::leaks_since(before).empty());
}

TEST(BsonReader, TakesNestingDeeperThanAnyStack) {
  // 100 000 documents, each the only element of the one around it.
  const int depth = 100000;
  bytes doc;
  std::vector<size_t> starts;
  for (int i = 0; i < depth; ++i) {
    starts.push_back(doc.size());
    doc.insert(doc.end(), {0, 0, 0, 0, 0x03, 'd', 0});
  }
  doc.insert(doc.end(), {5, 0, 0, 0, 0});
  for (int i = depth - 1; i >= 0; --i) {
    doc.push_back(0);
    const uint32_t size = uint32_t(doc.size() - starts[i]);
    for (int k = 0; k < 4; ++k) doc[starts[i] + k] = uint8_t(size >> (8 * k));
  }
  bson_node* root = bson_parse(doc.data(), ULONG(doc.size()));
  ASSERT_NE(root, nullptr);
  const bson_node* n = root;
  int levels = 0;
  while (n->first_child != nullptr) n = n->first_child, ++levels;
  EXPECT_EQ(levels, depth);
  bson_free(root);
  doc[doc.size() - 2] = 1;  // one terminator short
  EXPECT_EQ(bson_parse(doc.data(), ULONG(doc.size())), nullptr);
}
