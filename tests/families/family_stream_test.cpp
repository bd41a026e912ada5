#include "families_support.h"
#include "uvc/uvc_camera.h"

namespace famtest {
namespace {


}  // namespace
}  // namespace famtest
