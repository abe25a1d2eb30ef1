#include "uac/path_nodes.h"

#include "adapter/object_model.h"
#include "adapter/ref_list.h"
#include "uac/terminal_nodes.h"

namespace uac {
namespace {

template <class Interface>
void DeleteListeners(adapter::CRefList<Interface>*& list) {
  delete list;  // dropping every listener's reference
  list = nullptr;
}

template <class Interface>
NTSTATUS AddListener(adapter::CRefList<Interface>*& list, ULONG listTag, Interface* listener) {
  if (!listener) return STATUS_INVALID_PARAMETER;
  if (!list) {
    list = new (NonPagedPool, listTag) adapter::CRefList<Interface>;
    if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  }
  return list->Add(listener) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Selector

CSelectorNode::CSelectorNode(PUNKNOWN outerUnknown, ULONG id)
    : CUacEntity(outerUnknown, id, adapter::NODE_SELECTOR), m_nSelected(1), m_pListeners(nullptr) {}

CSelectorNode::~CSelectorNode() { DeleteListeners(m_pListeners); }

STDMETHODIMP CSelectorNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_ISelectorNode))
    return adapter::ReturnInterface<adapter::ISelectorNode>(this, object);
  return CUacEntity::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CSelectorNode::GetSelected(PULONG Input) {
  if (!Input) return STATUS_INVALID_PARAMETER;
  *Input = m_nSelected;
  return STATUS_SUCCESS;
}

STDMETHODIMP CSelectorNode::SetSelected(ULONG Input) {
  if (Input > m_nSourceCount) return STATUS_INVALID_PARAMETER;
  const ULONG old = m_nSelected;
  if (m_pListeners) {
    for (adapter::IStreamLink* listener : *m_pListeners)
      if (!NT_SUCCESS(listener->SelectionChanging(Input, old))) break;
  }
  m_nSelected = Input;
  if (m_pListeners) {
    for (adapter::IStreamLink* listener : *m_pListeners)
      if (!NT_SUCCESS(listener->SetDirection(Input))) break;
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP CSelectorNode::GetInputCount(PULONG Count) {
  if (!Count) return STATUS_INVALID_PARAMETER;
  *Count = m_nSourceCount;
  return STATUS_SUCCESS;
}

// A selector made with its sources alone gets its listener list with the first listener.
STDMETHODIMP CSelectorNode::AddInput(adapter::IStreamLink* Listener) {
  return AddListener(m_pListeners, kSelectorPoolTag, Listener);
}

NTSTATUS CSelectorNode::InitInputs(ULONG Count, const ULONG* Sources) {
  if (!m_pListeners) {
    m_pListeners = new (NonPagedPool, kSelectorPoolTag) adapter::CRefList<adapter::IStreamLink>;
    if (!m_pListeners) return STATUS_UNSUCCESSFUL;
  }
  return SetSources(Count, Sources);
}

// ---------------------------------------------------------------------------------------
// Terminal kind

CTerminalKindNode::CTerminalKindNode(PUNKNOWN outerUnknown, ULONG id)
    : CUacEntity(outerUnknown, id, adapter::NODE_TERMINAL_KIND),
      m_nKindCount(0),
      m_pKinds(nullptr),
      m_nCurrentKind(0),
      m_nKindChanged(0),
      m_nKindSwitches(0),
      m_pListeners(nullptr) {}

CTerminalKindNode::~CTerminalKindNode() {
  DeleteListeners(m_pListeners);
  if (m_pKinds) ExFreePoolWithTag(m_pKinds, kTerminalPoolTag);
}

STDMETHODIMP CTerminalKindNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_ITerminalKindNode))
    return adapter::ReturnInterface<adapter::ITerminalKindNode>(this, object);
  return CUacEntity::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CTerminalKindNode::GetKind(PULONG Kind) {
  if (!Kind) return STATUS_INVALID_PARAMETER;
  *Kind = m_nCurrentKind;
  return STATUS_SUCCESS;
}

STDMETHODIMP CTerminalKindNode::GetKindCount(PULONG Count) {
  if (!Count) return STATUS_INVALID_PARAMETER;
  *Count = m_nKindCount;
  return STATUS_SUCCESS;
}

STDMETHODIMP CTerminalKindNode::GetKinds(PULONG Kinds) {
  if (!Kinds) return STATUS_INVALID_PARAMETER;
  if (m_nKindCount) RtlCopyMemory(Kinds, m_pKinds, m_nKindCount * sizeof(ULONG));
  return STATUS_SUCCESS;
}

STDMETHODIMP CTerminalKindNode::SetKind(ULONG Kind) {
  bool listed = false;
  for (ULONG i = 0; i < m_nKindCount && !listed; ++i) listed = m_pKinds[i] == Kind;
  if (!listed) return STATUS_INVALID_PARAMETER;
  if (Kind == m_nCurrentKind) return STATUS_SUCCESS;
  m_nCurrentKind = Kind;
  MarkKindChanged();
  if (m_pListeners) {
    for (adapter::INodeEndpoint* listener : *m_pListeners)
      if (!NT_SUCCESS(listener->SetEndpointType(Kind, nullptr))) break;
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP CTerminalKindNode::AddKindListener(adapter::INodeEndpoint* Listener) {
  return AddListener(m_pListeners, kTerminalPoolTag, Listener);
}

STDMETHODIMP CTerminalKindNode::InitKinds(ULONG SourceId, ULONG KindCount, const ULONG* Kinds) {
  if (KindCount < 1 || KindCount > kMaxTerminalKinds || !Kinds) return STATUS_INVALID_PARAMETER;
  auto* kinds = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, KindCount * sizeof(ULONG), kTerminalPoolTag));
  if (!kinds) return STATUS_INSUFFICIENT_RESOURCES;
  bool newList = false;
  if (!m_pListeners) {
    m_pListeners = new (NonPagedPool, kTerminalPoolTag) adapter::CRefList<adapter::INodeEndpoint>;
    newList = m_pListeners != nullptr;
  }
  NTSTATUS status = m_pListeners ? SetSources(1, &SourceId) : STATUS_INSUFFICIENT_RESOURCES;
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(kinds, kTerminalPoolTag);
    if (newList) {
      delete m_pListeners;
      m_pListeners = nullptr;
    }
    return status;
  }
  RtlCopyMemory(kinds, Kinds, KindCount * sizeof(ULONG));
  if (m_pKinds) ExFreePoolWithTag(m_pKinds, kTerminalPoolTag);
  m_pKinds = kinds;
  m_nKindCount = KindCount;
  m_nCurrentKind = kinds[0];
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Sample-rate clock

CClockRateControl::CClockRateControl(PUNKNOWN outerUnknown, ULONG id)
    : CUacEntity(outerUnknown, id, adapter::NODE_CLOCK_RATE), m_nRateCount(0), m_pRates(nullptr), m_nCurrentRate(0) {}

CClockRateControl::~CClockRateControl() {
  if (m_pRates) ExFreePoolWithTag(m_pRates, kClockPoolTag);
}

STDMETHODIMP CClockRateControl::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_IUacClockSource)) return adapter::ReturnInterface<IUacClockSource>(this, object);
  return CUacEntity::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CClockRateControl::GetRates(PULONG Count, PULONG Rates) {
  if (!Count || !Rates || m_nRateCount > *Count) return STATUS_INVALID_PARAMETER;
  *Count = m_nRateCount;
  if (m_nRateCount) RtlCopyMemory(Rates, m_pRates, m_nRateCount * sizeof(ULONG));
  return STATUS_SUCCESS;
}

STDMETHODIMP CClockRateControl::GetRateCount(PULONG Count) {
  if (!Count) return STATUS_INVALID_PARAMETER;
  *Count = m_nRateCount;
  return STATUS_SUCCESS;
}

STDMETHODIMP CClockRateControl::SetCurrentRate(ULONG Rate) {
  m_nCurrentRate = Rate;
  return STATUS_SUCCESS;
}

STDMETHODIMP CClockRateControl::GetCurrentRate(PULONG Rate) {
  if (!Rate) return STATUS_INVALID_PARAMETER;
  *Rate = m_nCurrentRate;
  return STATUS_SUCCESS;
}

STDMETHODIMP CClockRateControl::IsValid(PUCHAR Valid) {
  if (!Valid) return STATUS_INVALID_PARAMETER;
  *Valid = 1;
  return STATUS_SUCCESS;
}

STDMETHODIMP CClockRateControl::SetRates(ULONG Count, const ULONG* Rates) {
  if (Count >= kMaxClockRates || !Rates) return STATUS_INSUFFICIENT_RESOURCES;
  PULONG rates = nullptr;
  if (Count) {
    rates = static_cast<PULONG>(ExAllocatePoolWithTag(NonPagedPool, Count * sizeof(ULONG), kClockPoolTag));
    if (!rates) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(rates, Rates, Count * sizeof(ULONG));
  }
  SetSources(0, nullptr);
  if (m_pRates) ExFreePoolWithTag(m_pRates, kClockPoolTag);
  m_pRates = rates;
  m_nRateCount = Count;
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Vendor effect

CEffectControl::CEffectControl(PUNKNOWN outerUnknown, ULONG id)
    : CUacEntity(outerUnknown, id, adapter::NODE_VENDOR_EFFECT), m_NodeType{}, m_nEffectParameter(0), m_bValue(0) {}

STDMETHODIMP CEffectControl::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_IEffectControl)) return adapter::ReturnInterface<IEffectControl>(this, object);
  return CUacEntity::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CEffectControl::GetEffectNodeType(GUID* NodeType) {
  if (!NodeType) return STATUS_INVALID_PARAMETER;
  *NodeType = m_NodeType;
  return STATUS_SUCCESS;
}

STDMETHODIMP CEffectControl::SetValue(UCHAR Value) {
  m_bValue = Value;
  return STATUS_UNSUCCESSFUL;
}

STDMETHODIMP CEffectControl::GetValue(PUCHAR Value) {
  if (!Value) return STATUS_UNSUCCESSFUL;
  *Value = m_bValue;
  return STATUS_SUCCESS;
}

STDMETHODIMP CEffectControl::GetEffectParameter(PULONG Parameter) {
  if (!Parameter) return STATUS_INVALID_PARAMETER;
  *Parameter = m_nEffectParameter;
  return STATUS_SUCCESS;
}

}  // namespace uac
