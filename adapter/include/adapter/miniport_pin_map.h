// The pin-map interface the driver's two miniports answer, and the miniport factory form
// the adapter and the stream engines install subdevices with.
#pragma once

#include "kernel/ntdef.h"
#include "kernel/pool.h"
#include "kernel/unknown.h"
#include "portcls/ksmedia.h"

namespace adapter {

// {1C704CEB-6111-4878-A9AF-0575E1C79F76}
KS_DEFINE_GUID(IID_IMiniportPinMap, 0x1C704CEB, 0x6111, 0x4878, 0xA9, 0xAF, 0x05, 0x75, 0xE1, 0xC7, 0x9F, 0x76);

// A wave miniport's MapPin writes the entity id of the streaming terminal its bridge pin
// joins (the input is unused); the topology miniport's MapPin turns an entity id into
// its pin index. GetSubdeviceName gives the name the subdevice is registered under.
struct IMiniportPinMap : IUnknown {
  STDMETHOD(MapPin)(ULONG EntityId, PULONG Result) = 0;
  STDMETHOD(GetSubdeviceName)(PWSTR* Name) = 0;
};
using PMINIPORTPINMAP = IMiniportPinMap*;

// Creates a miniport: (out unknown, class ID, outer unknown, pool type, index). The
// index is the engine's position among the adapter's engines for a wave miniport and
// unused for the topology miniport.
using PFNCREATEMINIPORT = NTSTATUS (*)(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                                       POOL_TYPE PoolType, ULONG Index);

}  // namespace adapter
