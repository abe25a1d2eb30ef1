// CChipDFunction: the audio layer of a chip class D device ("QVK712" with "ModelVariant"
// 5 or 6). A UAC 1.0 function whose capability template comes from the variant, whose
// feature units carry the reverb and headphone-virtualiser switches, and whose render
// engines take eight-channel formats of which the device plays channels 0 and 1. It
// answers IAudioHal and IAdapterPowerManagement, not IUacFunction.
#pragma once

#include "uac/uac1_function.h"

namespace uac {

inline constexpr ULONG kChipDFunctionTag = MakePoolTag('4', '1', '8', '0');
// Render formats are announced with eight channels in this layout.
inline constexpr ULONG kChipDRenderChannels = 8;
inline constexpr ULONG kChipDRenderChannelMask = 0x63F;

class CChipDFunction : public CUac1Function {
 public:
  CChipDFunction(PUNKNOWN outerUnknown, const adapter::FunctionContext& Context);

  DECLARE_STD_UNKNOWN();

  STDMETHODIMP_(const char*) GetClassName() override { return "chip class D"; }
  // The variant's capability template (a variant without a row: STATUS_UNSUCCESSFUL,
  // nothing built), then the units, the engines and AfterProbe.
  STDMETHODIMP ProbeDevice() override;
  // As the UAC 1.0 builder, with every feature unit a CChipDFeatureUnit and no product
  // quirks.
  STDMETHODIMP BuildUnits(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Bytes) override;
  // As the UAC 1.0 builder, with chip D render engines and eight-channel render formats.
  STDMETHODIMP BuildFilters(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSB_INTERFACE_DESCRIPTOR FirstInterface,
                            ULONG Bytes) override;

  ULONG Variant() const { return m_nVariant; }

 protected:
  NTSTATUS CreateUnitAt(ULONG Offset, PUCHAR Descriptor, CUacUnit** Unit) override;

  ULONG m_nVariant;  // "ModelVariant"; 0 when absent
};

// The factory: zeroed non-paged pool under "4180", aggregated under `OuterUnknown`.
NTSTATUS CreateChipDFunction(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, const adapter::FunctionContext& Context);

}  // namespace uac
