// Where the shared test data lives: real cameras' descriptors and other
// material the project did not write. It sits beside the checkout
// (<checkout>/../shared/testdata); the build passes its absolute path.
#pragma once

#include <string>

namespace tvtest {

inline std::string testdata_dir() { return TV_TESTDATA_DIR; }
inline std::string uvc_descriptor_dir() { return testdata_dir() + "/uvc-descriptors"; }

}  // namespace tvtest
