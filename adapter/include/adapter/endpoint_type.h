// Endpoint types: the kind of audio endpoint a stream engine serves, as an index 0 to 18.
// The type names the wave filter ("SPKOut00", "MicIn00"), picks the format list a render
// endpoint offers and limits the channels a control node shows. Types come from terminal
// descriptors, so every value is range-checked before it indexes anything.
#pragma once

#include "kernel/ntdef.h"

namespace adapter {

enum EndpointType : ULONG {
  ENDPOINT_STREAM = 0,
  ENDPOINT_SPK = 1,
  ENDPOINT_HP = 2,
  ENDPOINT_SPDIF = 3,
  ENDPOINT_HDMI = 4,
  ENDPOINT_DISPLAYPORT = 5,
  ENDPOINT_LINE = 6,
  ENDPOINT_MIC = 7,
  ENDPOINT_AUX = 8,
  ENDPOINT_CD = 9,
  ENDPOINT_VIDEO = 10,
  ENDPOINT_FMIC = 11,
  ENDPOINT_TELEPHONE = 12,
  ENDPOINT_HANDSET = 13,
  ENDPOINT_HEADSET = 14,
  ENDPOINT_SPEAKERPHONE = 15,
  ENDPOINT_STEREOMIX = 16,
  ENDPOINT_FHP = 17,
  ENDPOINT_REC = 18,
};

inline constexpr ULONG kEndpointTypeCount = 19;

constexpr bool IsValidEndpointType(ULONG type) { return type < kEndpointTypeCount; }

// Whether `type` is one of the types in `mask` (bit n for type n); false for any value
// outside 0 to 18, so a bad type never shifts past the mask.
constexpr bool EndpointTypeIn(ULONG type, ULONG mask) { return IsValidEndpointType(type) && ((mask >> type) & 1u); }

// Name prefix of the endpoint type ("Stream", "SPK", ... "Rec"); null outside 0 to 18.
PCWSTR EndpointTypePrefix(ULONG type);

}  // namespace adapter
