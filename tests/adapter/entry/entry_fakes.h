// Stand-ins the start routine can install in place of the driver's miniports: a topology
// and a wave miniport that answer the pin-map interface, hold the adapter as real ones
// do, and fail on request, so the start and its way back down can be driven through
// every step.
#pragma once

#include <string>

#include "adapter/miniport_pin_map.h"
#include "portcls/portcls.h"

namespace entry_test {

struct FakeMiniportControl {
  NTSTATUS createStatus = STATUS_SUCCESS;  // what the factory returns
  NTSTATUS initStatus = STATUS_SUCCESS;    // what Init returns
  bool answerPinMap = true;
  std::u16string name;                     // the subdevice name; empty: "Topology" / "Wave<index>"
  ULONG created = 0;
  ULONG live = 0;                          // objects not yet destroyed
};
FakeMiniportControl& TopologyControl();
FakeMiniportControl& WaveControl();
void ResetFakeMiniports();

// PFNCREATEMINIPORT factories of the two fakes.
NTSTATUS CreateFakeTopology(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                            ULONG Index);
NTSTATUS CreateFakeWave(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG Index);

}  // namespace entry_test
