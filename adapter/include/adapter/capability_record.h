// The 32-byte record the audio layer returns for each endpoint. User mode reads the same
// bytes through the wave filter's device-extension property, so the layout is fixed:
// capability mask at byte 0, a second value at byte 16, feature flags at byte 24, every
// other byte zero.
#pragma once

#include <cstddef>

#include "kernel/ntdef.h"

namespace adapter {

struct EndpointCapabilityRecord {
  ULONG CapabilityMask;
  ULONG Reserved1[3];
  ULONG SecondValue;
  ULONG Reserved2;
  ULONG FeatureFlags;
  ULONG Reserved3;
};
static_assert(sizeof(EndpointCapabilityRecord) == 32);
static_assert(offsetof(EndpointCapabilityRecord, CapabilityMask) == 0);
static_assert(offsetof(EndpointCapabilityRecord, SecondValue) == 16);
static_assert(offsetof(EndpointCapabilityRecord, FeatureFlags) == 24);
using PENDPOINTCAPABILITYRECORD = EndpointCapabilityRecord*;

// Feature flag: the endpoint is offered to the ASIO client.
inline constexpr ULONG ENDPOINT_FEATURE_ASIO = 0x2;

}  // namespace adapter
