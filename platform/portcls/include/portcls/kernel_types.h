// Kernel types the PortCls interfaces name beyond the I/O manager's, power and registry
// definitions of the kernel library.
#pragma once

#include "kernel/device_registry.h"
#include "kernel/io.h"
#include "kernel/ntdef.h"
#include "kernel/ob.h"
#include "kernel/registry.h"

struct CM_PARTIAL_RESOURCE_DESCRIPTOR;
struct ADAPTER_OBJECT;
using PCM_PARTIAL_RESOURCE_DESCRIPTOR = CM_PARTIAL_RESOURCE_DESCRIPTOR*;
using PADAPTER_OBJECT = ADAPTER_OBJECT*;
using CM_RESOURCE_TYPE = UCHAR;
using PHYSICAL_ADDRESS = LARGE_INTEGER;
using PPHYSICAL_ADDRESS = PHYSICAL_ADDRESS*;
using PLONGLONG = LONGLONG*;
