// placeholder, filled by the platform implementation
#pragma once
#include "kstandin/base.h"
