// The UAC 1.0 mixer and selector units: one node each, the selector answering its node's
// selection with class requests.
#pragma once

#include "adapter/node_interfaces.h"
#include "uac/uac_unit.h"

namespace uac {

class CUac1MixerUnit : public CUacUnit {
 public:
  CUac1MixerUnit(PUNKNOWN outerUnknown, ULONG id) : CUacUnit(outerUnknown, id, AC_MIXER_UNIT) {}
  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
  STDMETHODIMP HandleStatusChange(ULONG Reserved1, ULONG Reserved2, PULONG NodeId) override;
  NTSTATUS CreateControls(adapter::CAudioHal* Function);
};

class CUac1SelectorUnit : public adapter::ISelectorNode, public CUacUnit {
 public:
  CUac1SelectorUnit(PUNKNOWN outerUnknown, ULONG id) : CUacUnit(outerUnknown, id, AC_SELECTOR_UNIT) {}

  DECLARE_STD_UNKNOWN();

  NTSTATUS Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) override;
  STDMETHODIMP HandleStatusChange(ULONG Reserved1, ULONG Reserved2, PULONG NodeId) override;

  // ISelectorNode: inputs 1 to bNrInPins.
  STDMETHODIMP GetSelected(PULONG Input) override;
  STDMETHODIMP SetSelected(ULONG Input) override;
  STDMETHODIMP GetInputCount(PULONG Count) override;
  STDMETHODIMP AddInput(adapter::IStreamLink*) override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS CreateControls(adapter::CAudioHal* Function);
};

}  // namespace uac
