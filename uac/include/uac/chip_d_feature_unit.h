// CChipDFeatureUnit: the feature unit of a chip class D function. A UAC 1.0 feature unit
// in every respect but its nodes: these are allocated under the chip's tag, and the two
// vendor selectors become the reverb (0x8B) and headphone-virtualiser (0x8C) controls,
// which the render stream runs as processing nodes.
#pragma once

#include "uac/uac1_feature_unit.h"

namespace uac {

class CChipDFeatureUnit : public CUac1FeatureUnit {
 public:
  CChipDFeatureUnit(PUNKNOWN outerUnknown, ULONG id) : CUac1FeatureUnit(outerUnknown, id) {}

  // Mute is required; then mute, volume, bass, mid, treble, AGC, loudness, reverb and
  // virtualiser, each where the unit has the control.
  STDMETHODIMP CreateControls(adapter::CAudioHal* Function) override;
};

}  // namespace uac
