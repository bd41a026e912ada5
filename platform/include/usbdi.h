// Host stand-in for the Windows header usbdi.h: the USB driver interface a
// client driver includes; the records themselves live in usb.h, the internal
// device-control codes in usbioctl.h.
#pragma once

#include "usb.h"
#include "usbioctl.h"
