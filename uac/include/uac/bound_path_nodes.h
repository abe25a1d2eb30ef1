// Bound path nodes: the device-bound effect switch, selector, clock rate and terminal
// kind. Each keeps one saved value and follows the unit (without a reference) it was
// made from.
#pragma once

#include "adapter/audio_hal.h"
#include "adapter/capability_record.h"
#include "adapter/dsp_node.h"
#include "adapter/stream_engine.h"
#include "uac/bound_node_values.h"
#include "uac/control_nodes.h"
#include "uac/path_nodes.h"
#include "uac/terminal_nodes.h"
#include "uac/unit_interfaces.h"
#include "kernel/ke.h"

namespace uac {

// ---------------------------------------------------------------------------------------
// Effect switch of a UAC 1.0 feature unit (vendor selectors 0x8B, 0x8C)

class CUacEffectControl : public CEffectControl, public adapter::IDspNode {
 public:
  CUacEffectControl(PUNKNOWN outerUnknown, ULONG id);

  DECLARE_STD_UNKNOWN();

  // Reads the switch from the device, then the saved value; the fade state starts steady.
  NTSTATUS InitUacEffectControl(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject);

  // Under the node mutex: the device first. Only a value the device took is stored, saved
  // and then announced to the processing side (pending and change flags raised after the
  // store, so whoever sees a flag reads the new value).
  STDMETHODIMP SetValue(UCHAR Value) override;
  STDMETHODIMP GetValue(PUCHAR Value) override;
  STDMETHODIMP RestoreToDevice() override;
  STDMETHODIMP RefreshFromDevice() override;

  // IDspNode: the plain switch keeps the stream format and passes audio through.
  STDMETHODIMP Reserved1() override { return STATUS_SUCCESS; }
  STDMETHODIMP Reserved2() override { return STATUS_SUCCESS; }
  STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE* Format) override;
  STDMETHODIMP ResetState() override { return STATUS_SUCCESS; }
  STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE*, PVOID, ULONG) override { return STATUS_SUCCESS; }
  STDMETHODIMP Reset() override { return STATUS_SUCCESS; }

  // The enable value as last stored, for the processing side (no lock).
  UCHAR EnableValue() const { return __atomic_load_n(&m_bValue, __ATOMIC_ACQUIRE); }

  // Fade states of the processing side.
  static constexpr LONG kFadeSteady = 1;
  static constexpr LONG kFadeIn = 2;
  static constexpr LONG kFadeOut = 3;
  // m_lChanged[kPendingFlag]: an enable change the processing has not yet copied into the
  // current enable; m_lChanged[kChangeFlag]: a change the processing has not yet faded.
  static constexpr ULONG kPendingFlag = 0;
  static constexpr ULONG kChangeFlag = 1;

  // Set to 1 (from 0) after a new value was stored; the processing side takes them back.
  volatile LONG m_lChanged[2];
  // The enable as the processing sees it (copied from the value on a pending change).
  ULONG m_nCurrentEnable;
  // kFadeSteady, kFadeIn or kFadeOut; written by interlocked exchange only.
  volatile LONG m_lFadeState;
  // Guards the pending flag, the current enable and the effect objects' parameters
  // against the processing. Taken at any IRQL up to DISPATCH_LEVEL.
  KSPIN_LOCK m_EffectLock;
  WAVEFORMATEXTENSIBLE m_StreamFormat;  // as SetFormat last gave it

  // Takes the effect lock in the handle; the form matches the caller's IRQL, and Unlock
  // releases with the matching form.
  void LockEffect(PKLOCK_QUEUE_HANDLE Handle, bool* AtDpcLevel);
  void UnlockEffect(PKLOCK_QUEUE_HANDLE Handle, bool AtDpcLevel);
  // Under the effect lock: a pending enable change becomes the current enable.
  void ApplyPendingEnable();

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
