// The one interface the driver is written against: the NDIS 5.0 miniport library, the I/O
// manager and kernel, the HAL and USBD, by their DDK names.
//
// In the Windows build (KT735N_WINDOWS) this is the DDK itself; in the host build it is the
// host platform's declarations of the same names, which run the driver inside a Linux process.
#pragma once

#if defined(KT735N_WINDOWS)
#include "platform/platform_windows.h"
#else
#include <host/ddk.h>
#endif
