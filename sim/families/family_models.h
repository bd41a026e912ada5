// The simulated cameras of the driver's camera families, as entries of the
// model registry (uvc_profiles.h): one camera of each family and of each
// 0x82xx product, colour and mono where the family has both. Models with a
// sensor take the user's sensor options (create_with).
#pragma once

#include <vector>

#include "sim/uvc_profiles.h"

namespace sim {

// 0x82xx (model_82xx.h), 0x8101 and 0x8102 (model_810x.h), 0x8209
// (model_8209.h), 0x8800 (model_8800.h), 0x0109 (model_0109.h), in that
// order.
std::vector<camera_model> family_camera_models();

}  // namespace sim
