#include "uac/chip_d_feature_unit.h"

#include "uac/bound_nodes.h"
#include "uac/chip_d_effect_controls.h"

namespace uac {

namespace {

// The chip D unit's controls, in node order.
constexpr FeatureControlRow kChipDControls[] = {
    {FU_MUTE, &CreateFeatureControl<CUacMuteControl, &CUacBoolControl::InitUacBoolControl>,
     "could not set up one of its switch controls"},
    {FU_VOLUME, &CreateFeatureControl<CUacVolumeControl, &CUacLevelControl::InitUacLevelControl>,
     "did not answer for its volume control (channels or range)"},
    {FU_BASS, &CreateFeatureControl<CUacBassControl, &CUacLevelControl::InitUacLevelControl>,
     "did not answer for its tone control (channels or range)"},
    {FU_MID, &CreateFeatureControl<CUacMidControl, &CUacLevelControl::InitUacLevelControl>,
     "did not answer for its tone control (channels or range)"},
    {FU_TREBLE, &CreateFeatureControl<CUacTrebleControl, &CUacLevelControl::InitUacLevelControl>,
     "did not answer for its tone control (channels or range)"},
    {FU_AGC, &CreateFeatureControl<CUacAgcControl, &CUacBoolControl::InitUacBoolControl>,
     "could not set up one of its switch controls"},
    {FU_LOUDNESS, &CreateFeatureControl<CUacLoudnessControl, &CUacBoolControl::InitUacBoolControl>,
     "could not set up one of its switch controls"},
    {FU_VENDOR_EFFECT_1, &CreateFeatureControl<CChipDReverbEffectControl, &CChipDReverbEffectControl::Init>,
     "could not set up its reverb switch"},
    {FU_VENDOR_EFFECT_2, &CreateFeatureControl<CChipDLpvEffectControl, &CChipDLpvEffectControl::Init>,
     "could not set up its virtualiser switch"},
};

}  // namespace

STDMETHODIMP CChipDFeatureUnit::CreateControls(adapter::CAudioHal* Function) {
  return CreateControlNodes(Function, kChipDControls, sizeof kChipDControls / sizeof kChipDControls[0],
                            kChipDPoolTag);
}

}  // namespace uac
