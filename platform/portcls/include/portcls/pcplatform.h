// Settings and records of the PortCls layer that stand in for the system around it:
// the framework version it reports, and what was forwarded through
// PcForwardContentToDeviceObject.
#pragma once

#include <vector>

#include "portcls/portcls.h"

namespace platform::portcls {

// The version IPortClsVersion::GetVersion reports (kVersionWindowsLonghorn by default).
void SetPortClsVersion(DWORD version);

struct ForwardedContent {
  ULONG contentId;
  DRMFORWARD forward;
};
// Every PcForwardContentToDeviceObject call that succeeded, in order.
std::vector<ForwardedContent> ForwardedContents();
void ClearForwardedContents();

// The adapter's power-management interface registered for a device object (with a
// reference added), or null.
PADAPTERPOWERMANAGEMENT AdapterPowerManagement(PDEVICE_OBJECT device);

// The most subdevices PcAddAdapterDevice was asked to allow for a device object (0 when
// it added none).
ULONG SubdeviceLimit(PDEVICE_OBJECT device);

// The next `count` IUnregisterSubdevice::UnregisterSubdevice calls fail with
// STATUS_UNSUCCESSFUL and leave their subdevice registered (until its device goes).
void FailSubdeviceUnregistrations(ULONG count);

}  // namespace platform::portcls
