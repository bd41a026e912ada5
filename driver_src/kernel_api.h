// The driver's one view of the kernel API. Every driver source includes this
// header and no kernel header directly. On the host the headers come from the
// platform stand-in; in the Windows build from the real kernel headers, with
// their known gaps closed here.
#pragma once

#include <ntddk.h>
#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <usbbusif.h>
