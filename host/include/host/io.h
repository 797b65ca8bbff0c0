// Host I/O manager helpers for the platform's own drivers (NDIS, the USB bus, the PnP manager).
#pragma once

#include "host/ddk.h"

namespace host {

// A driver object whose major functions all complete with STATUS_INVALID_DEVICE_REQUEST until
// the driver fills them in.
PDRIVER_OBJECT createDriverObject(const wchar_t* name);
// Deletes the driver object and every device object it still owns.
void deleteDriverObject(PDRIVER_OBJECT driver);
// The highest device attached above `device`.
PDEVICE_OBJECT topOfStack(PDEVICE_OBJECT device);

} // namespace host
