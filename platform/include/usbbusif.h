// Host stand-in for the Windows header usbbusif.h; its declarations arrive with
// the kernel-streaming and USB layers.
#pragma once
#include "wdm.h"
