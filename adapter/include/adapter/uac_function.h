// IUacFunction: what the root USB device object and the nodes ask of the USB Audio Class
// function object it aggregates (renaming subdevices, the callback object, the builders
// of the audio model and the chip-specific step after the probe).
#pragma once

#include "kernel/nt.h"
#include "portcls/portcls.h"
#include "usb/usb.h"

namespace adapter {

// {B00C6788-253F-4638-9460-336A8BE6EE9A}
KS_DEFINE_GUID(IID_IUacFunction, 0xB00C6788, 0x253F, 0x4638, 0x94, 0x60, 0x33, 0x6A, 0x8B, 0xE6, 0xEE, 0x9A);

struct IUacFunction : IUnknown {
  STDMETHOD(RegisterSubdevices)(ULONG EntityId) = 0;
  STDMETHOD(GetCallbackObject)(PCALLBACK_OBJECT* CallbackObject) = 0;
  STDMETHOD(BuildUnits)(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Bytes) = 0;
  STDMETHOD(BuildFilters)(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSB_INTERFACE_DESCRIPTOR FirstStreaming,
                          ULONG Bytes) = 0;
  STDMETHOD(AfterProbe)() = 0;
};
using PUACFUNCTION = IUacFunction*;

}  // namespace adapter
