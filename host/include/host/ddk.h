// The host platform's stand-in for the Windows DDK headers the driver is built against (wdm.h,
// ndis.h, usb.h, usbdi.h, usbioctl.h, usbdlib.h). Same names, same meaning, implemented by the
// host library for a Linux process.
#pragma once

#include "host/ddk_base.h"
#include "host/ddk_io.h"
#include "host/ddk_usb.h"
#include "host/ddk_ndis.h"
