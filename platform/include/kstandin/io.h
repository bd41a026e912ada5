// placeholder, filled by the platform implementation
#pragma once
#include "kstandin/base.h"
struct _DRIVER_OBJECT;
typedef struct _DRIVER_OBJECT* PDRIVER_OBJECT;
