// IUacFunction: what the root USB device object and the nodes ask of the USB Audio Class
// function object it aggregates (renaming subdevices, the callback object, the builders
// of the audio model and the chip-specific step after the probe).
#pragma once

#include "adapter/capability_record.h"
#include "adapter/uac_entity.h"
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

// {5C8D0A4E-3B61-4F2A-9E07-A2D4C61B7F35}
KS_DEFINE_GUID(IID_IUacFunctionDescription, 0x5C8D0A4E, 0x3B61, 0x4F2A, 0x9E, 0x07, 0xA2, 0xD4, 0xC6, 0x1B, 0x7F,
               0x35);

// What a function class built, for tools and tests to print without knowing the class:
// every function class answers it, and the root device object passes the query on.
struct IUacFunctionDescription : IUnknown {
  // The class's name, e.g. "USB Audio Class 1.0".
  STDMETHOD_(const char*, GetClassName)() = 0;
  STDMETHOD_(USHORT, GetVendorId)() = 0;
  STDMETHOD_(USHORT, GetProductId)() = 0;
  STDMETHOD_(UCHAR, GetControlInterfaceNumber)() = 0;
  // The function's units, terminals and clock sources in descriptor order; the entity at
  // the index without a reference, and its descriptor subtype.
  STDMETHOD_(ULONG, GetUnitCount)() = 0;
  STDMETHOD(GetUnit)(ULONG Index, IUacEntity** Entity, PUCHAR Subtype) = 0;
  // The capability template the probe filled.
  STDMETHOD(GetCapabilityTemplate)(EndpointCapabilityRecord* Record) = 0;
  // Why the function was refused and where: the offset from the Audio Control interface
  // descriptor and the subtype of the descriptor at fault (both 0 when no one descriptor
  // caused it, as with the probe); null when nothing was refused.
  STDMETHOD_(const char*, GetDescriptorFault)(PULONG Offset, PUCHAR Subtype) = 0;
};

}  // namespace adapter
