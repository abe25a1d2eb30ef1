// Bound path nodes: the device-bound effect switch, selector, clock rate and terminal
// kind. Each keeps one saved value and follows the unit (without a reference) it was
// made from.
#pragma once

#include "adapter/audio_hal.h"
#include "adapter/capability_record.h"
#include "adapter/stream_engine.h"
#include "uac/bound_node_values.h"
#include "uac/control_nodes.h"
#include "uac/path_nodes.h"
#include "uac/terminal_nodes.h"
#include "uac/unit_interfaces.h"

namespace uac {

// ---------------------------------------------------------------------------------------
// Effect switch of a UAC 1.0 feature unit (vendor selectors 0x8B, 0x8C)

class CUacEffectControl : public CEffectControl {
 public:
  CUacEffectControl(PUNKNOWN outerUnknown, ULONG id);

  NTSTATUS InitUacEffectControl(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject);

  // Under the node mutex: the device first; cached and saved only when it took the value.
  STDMETHODIMP SetValue(UCHAR Value) override;
  STDMETHODIMP GetValue(PUCHAR Value) override;
  STDMETHODIMP RestoreToDevice() override;
  STDMETHODIMP RefreshFromDevice() override;

  // Set to 1 whenever the value is written; the processing side reads and clears them.
  volatile LONG m_lChanged[2];

 protected:
  NTSTATUS Source(IUacBoolControlSource** Source);

  PUNKNOWN m_pUnit;
  ULONG m_nSelector;
  PDEVICE_OBJECT m_pDeviceObject;
  ULONG m_nInitialised;
};

// ---------------------------------------------------------------------------------------
// Path nodes

class CUacSelectorNode : public CSelectorNode {
 public:
  CUacSelectorNode(PUNKNOWN outerUnknown, ULONG id);

  // The selection from the device, then the saved one, kept within 1 to the input count.
  NTSTATUS InitUacSelectorNode(PUNKNOWN Unit, PDEVICE_OBJECT DeviceObject);

  STDMETHODIMP SetSelected(ULONG Input) override;
  STDMETHODIMP RestoreToDevice() override;
  STDMETHODIMP RefreshFromDevice() override;

 protected:
  NTSTATUS Source(adapter::ISelectorNode** Source);

  PUNKNOWN m_pUnit;
  PDEVICE_OBJECT m_pDeviceObject;
};

// The sampling rates of a UAC 2.0 clock source; a rate is kept only when the clock took it.
class CUacClockRateControl : public CClockRateControl {
 public:
  CUacClockRateControl(PUNKNOWN outerUnknown, ULONG id) : CClockRateControl(outerUnknown, id), m_pClock(nullptr) {}
  NTSTATUS InitUacClockRateControl(PUNKNOWN Clock);
  STDMETHODIMP SetCurrentRate(ULONG Rate) override;
  STDMETHODIMP IsValid(PUCHAR Valid) override;

 protected:
  PUNKNOWN m_pClock;
};

// The terminal-type switch of an output terminal with several kinds. A switch goes to the
// terminal, re-registers the function's subdevices, and makes every kind listener reload
// and send its values for the new kind and publish a control change.
class CUacTerminalKindNode : public CTerminalKindNode {
 public:
  CUacTerminalKindNode(PUNKNOWN outerUnknown, ULONG id);

  // Kinds from the terminal (1 to 5); a saved kind counts only when the terminal lists it.
  NTSTATUS InitUacTerminalKindNode(PUNKNOWN Terminal, PDEVICE_OBJECT DeviceObject, PUNKNOWN Function);

  STDMETHODIMP GetKind(PULONG Kind) override;
  STDMETHODIMP SetKind(ULONG Kind) override;
  STDMETHODIMP RestoreToDevice() override;
  STDMETHODIMP RefreshFromDevice() override;

 protected:
  NTSTATUS SwitchTo(adapter::ITerminalNode* Terminal, ULONG Kind);

  PUNKNOWN m_pTerminal;
  PDEVICE_OBJECT m_pDeviceObject;
  PUNKNOWN m_pFunction;
};

}  // namespace uac
