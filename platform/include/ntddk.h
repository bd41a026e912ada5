// Host stand-in for the Windows kernel's ntddk.h.
#pragma once
#include "wdm.h"
