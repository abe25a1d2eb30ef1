// Nodes that describe the signal path rather than a level: the selector with the links
// that follow its selection, the terminal-kind node that switches an output terminal
// between terminal types, the sample-rate clock of a clock source, and the vendor effect
// switch.
#pragma once

#include "adapter/kernel_mutex.h"
#include "adapter/node_interfaces.h"
#include "adapter/ref_list.h"
#include "adapter/uac_entity.h"
#include "uac/control_interfaces.h"

namespace uac {

inline constexpr ULONG kSelectorPoolTag = MakePoolTag('S', 'e', 'l', 'T');
inline constexpr ULONG kClockPoolTag = MakePoolTag('c', 'l', 'o', 'c');
// A clock lists fewer rates than this.
inline constexpr ULONG kMaxClockRates = 31;

class CSelectorNode : public adapter::ISelectorNode, public adapter::CUacEntity {
 public:
  CSelectorNode(PUNKNOWN outerUnknown, ULONG id);
  ~CSelectorNode() override;  // releases every listener

  DECLARE_STD_UNKNOWN();

  STDMETHODIMP GetSelected(PULONG Input) override;
  // Inputs up to the source count; each listener hears SelectionChanging (new, old)
  // before the selection moves and SetDirection (new) after it.
  STDMETHODIMP SetSelected(ULONG Input) override;
  STDMETHODIMP GetInputCount(PULONG Count) override;
  STDMETHODIMP AddInput(adapter::IStreamLink* Listener) override;
  // Creates the listener list (STATUS_UNSUCCESSFUL without memory), then sets the sources.
  NTSTATUS InitInputs(ULONG Count, const ULONG* Sources);

 protected:
  ULONG m_nSelected;  // 1-based
  adapter::CRefList<adapter::IStreamLink>* m_pListeners;
};

class CTerminalKindNode : public adapter::ITerminalKindNode, public adapter::CUacEntity {
 public:
  CTerminalKindNode(PUNKNOWN outerUnknown, ULONG id);
  ~CTerminalKindNode() override;

  DECLARE_STD_UNKNOWN();

  STDMETHODIMP GetKind(PULONG Kind) override;
  STDMETHODIMP GetKindCount(PULONG Count) override;
  STDMETHODIMP GetKinds(PULONG Kinds) override;
  // A listed kind other than the current one becomes current, marks the node changed and
  // reaches every listener through SetEndpointType (kind, no callback object).
  STDMETHODIMP SetKind(ULONG Kind) override;
  STDMETHODIMP_(ULONG) IsKindChanged() override { return m_nKindChanged; }
  STDMETHODIMP_(void) ClearKindChanged() override { m_nKindChanged = 0; }
  STDMETHODIMP AddKindListener(adapter::INodeEndpoint* Listener) override;
  STDMETHODIMP InitKinds(ULONG SourceId, ULONG KindCount, const ULONG* Kinds) override;
  STDMETHODIMP_(ULONG) GetKindSwitchCount() override { return m_nKindSwitches; }

 protected:
  // A switch: the changed flag set and the switch counted, so that every engine behind
  // the terminal sees it.
  void MarkKindChanged() {
    m_nKindChanged = 1;
    ++m_nKindSwitches;
  }

  ULONG m_nKindCount;
  PULONG m_pKinds;  // paged
  ULONG m_nCurrentKind;
  ULONG m_nKindChanged;
  ULONG m_nKindSwitches;
  adapter::CRefList<adapter::INodeEndpoint>* m_pListeners;
};

class CClockRateControl : public IUacClockSource, public adapter::CUacEntity {
 public:
  CClockRateControl(PUNKNOWN outerUnknown, ULONG id);
  ~CClockRateControl() override;

  DECLARE_STD_UNKNOWN();

  STDMETHODIMP GetRates(PULONG Count, PULONG Rates) override;
  STDMETHODIMP GetRateCount(PULONG Count) override;
  STDMETHODIMP SetCurrentRate(ULONG Rate) override;
  STDMETHODIMP GetCurrentRate(PULONG Rate) override;
  STDMETHODIMP IsValid(PUCHAR Valid) override;
  // Fewer than kMaxClockRates rates, else STATUS_INSUFFICIENT_RESOURCES.
  STDMETHODIMP SetRates(ULONG Count, const ULONG* Rates) override;

 protected:
  ULONG m_nRateCount;
  PULONG m_pRates;  // non-paged
  ULONG m_nCurrentRate;
};

class CEffectControl : public IEffectControl, public adapter::CUacEntity {
 public:
  CEffectControl(PUNKNOWN outerUnknown, ULONG id);

  DECLARE_STD_UNKNOWN();

  STDMETHODIMP GetEffectNodeType(GUID* NodeType) override;
  // The plain node keeps the value and reports that no device took it.
  STDMETHODIMP SetValue(UCHAR Value) override;
  STDMETHODIMP GetValue(PUCHAR Value) override;
  STDMETHODIMP GetEffectParameter(PULONG Parameter) override;
  STDMETHODIMP GetValues(ULONG, ULONG, PULONG) override { return STATUS_INVALID_PARAMETER; }
  STDMETHODIMP SetValues(ULONG, ULONG, const ULONG*) override { return STATUS_INVALID_PARAMETER; }
  STDMETHODIMP GetValueEntry(ULONG, PULONG) override { return STATUS_INVALID_PARAMETER; }
  STDMETHODIMP InitEffectSource(ULONG SourceId) override { return SetSources(1, &SourceId); }

 protected:
  GUID m_NodeType;  // set by the chip-specific effects
  ULONG m_nEffectParameter;
  UCHAR m_bValue;
  adapter::CKernelMutex m_Mutex;  // taken by the device-bound form
};

}  // namespace uac
