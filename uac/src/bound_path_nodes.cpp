#include "uac/bound_path_nodes.h"

#include "adapter/object_model.h"
#include "adapter/settings.h"
#include "adapter/uac_function.h"
#include "kernel/callback.h"
#include "kernel/rtl.h"

#include "bound_query.h"

namespace uac {

using bound::Query;
using bound::Ref;

// ---------------------------------------------------------------------------------------
// Effect switch

CUacEffectControl::CUacEffectControl(PUNKNOWN outerUnknown, ULONG id)
    : CEffectControl(outerUnknown, id),
      m_lChanged{0, 0},
      m_nCurrentEnable(0),
      m_lFadeState(kFadeSteady),
      m_EffectLock(0),
      m_StreamFormat{},
      m_pUnit(nullptr),
      m_nSelector(0),
      m_pDeviceObject(nullptr),
      m_nInitialised(0) {
  KeInitializeSpinLock(&m_EffectLock);
}

STDMETHODIMP CUacEffectControl::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_IDspNode)) return adapter::ReturnInterface<adapter::IDspNode>(this, object);
  return CEffectControl::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CUacEffectControl::Source(IUacBoolControlSource** source) {
  return Query(m_pUnit, IID_IUacBoolControlSource, source);
}

NTSTATUS CUacEffectControl::InitUacEffectControl(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject) {
  m_pUnit = Unit;
  m_nSelector = Selector;
  Ref<IUacBoolControlSource> source;
  NTSTATUS status = Source(&source.p);
  if (!NT_SUCCESS(status)) return status;
  m_lChanged[kPendingFlag] = 0;
  m_lChanged[kChangeFlag] = 0;
  InterlockedExchange(&m_lFadeState, kFadeSteady);
  m_pDeviceObject = DeviceObject;
  m_nInitialised = 1;
  UCHAR value = m_bValue;
  if (!NT_SUCCESS(source->GetCur(Selector, 0, &value))) value = m_bValue;
  NodeSavedValue(DeviceObject, SETTINGS_READ, m_nId, 0, kSingleValue, &value, 1);
  m_bValue = value;
  m_nCurrentEnable = value;
  return InitEffectSource(0);
}

STDMETHODIMP CUacEffectControl::SetValue(UCHAR Value) {
  m_Mutex.Lock();
  Ref<IUacBoolControlSource> source;
  NTSTATUS status = Source(&source.p);
  if (NT_SUCCESS(status)) status = source->SetCur(m_nSelector, 0, Value);
  if (NT_SUCCESS(status)) {
    m_bValue = Value;
    // The interlocked operations order the store before the flags.
    InterlockedCompareExchange(&m_lChanged[kPendingFlag], 1, 0);
    InterlockedCompareExchange(&m_lChanged[kChangeFlag], 1, 0);
    NodeSavedValue(m_pDeviceObject, SETTINGS_WRITE, m_nId, 0, kSingleValue, &m_bValue, 1);
  }
  m_Mutex.Unlock();
  return status;
}

STDMETHODIMP CUacEffectControl::SetFormat(const WAVEFORMATEXTENSIBLE* Format) {
  if (!Format) return STATUS_INVALID_PARAMETER;
  m_StreamFormat = *Format;
  return STATUS_SUCCESS;
}

void CUacEffectControl::LockEffect(PKLOCK_QUEUE_HANDLE Handle, bool* AtDpcLevel) {
  *AtDpcLevel = KeGetCurrentIrql() >= DISPATCH_LEVEL;
  if (*AtDpcLevel)
    KeAcquireInStackQueuedSpinLockAtDpcLevel(&m_EffectLock, Handle);
  else
    KeAcquireInStackQueuedSpinLock(&m_EffectLock, Handle);
}

void CUacEffectControl::UnlockEffect(PKLOCK_QUEUE_HANDLE Handle, bool AtDpcLevel) {
  if (AtDpcLevel)
    KeReleaseInStackQueuedSpinLockFromDpcLevel(Handle);
  else
    KeReleaseInStackQueuedSpinLock(Handle);
}

STDMETHODIMP CUacEffectControl::GetValue(PUCHAR Value) {
  if (!Value) return STATUS_INVALID_PARAMETER;
  m_Mutex.Lock();
  *Value = m_bValue;
  m_Mutex.Unlock();
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacEffectControl::RestoreToDevice() { return SetValue(m_bValue); }

STDMETHODIMP CUacEffectControl::RefreshFromDevice() {
  m_Mutex.Lock();
  Ref<IUacBoolControlSource> source;
  NTSTATUS status = Source(&source.p);
  UCHAR value = 0;
  if (NT_SUCCESS(status)) status = source->GetCur(m_nSelector, 0, &value);
  if (NT_SUCCESS(status)) {
    m_bValue = value;
    NodeSavedValue(m_pDeviceObject, SETTINGS_WRITE, m_nId, 0, kSingleValue, &m_bValue, 1);
  }
  m_Mutex.Unlock();
  return status;
}

// ---------------------------------------------------------------------------------------
// Selector

CUacSelectorNode::CUacSelectorNode(PUNKNOWN outerUnknown, ULONG id)
    : CSelectorNode(outerUnknown, id), m_pUnit(nullptr), m_pDeviceObject(nullptr) {}

NTSTATUS CUacSelectorNode::Source(adapter::ISelectorNode** source) {
  return Query(m_pUnit, adapter::IID_ISelectorNode, source);
}

NTSTATUS CUacSelectorNode::InitUacSelectorNode(PUNKNOWN Unit, PDEVICE_OBJECT DeviceObject) {
  Ref<adapter::ISelectorNode> source;
  NTSTATUS status = Query(Unit, adapter::IID_ISelectorNode, &source.p);
  if (!NT_SUCCESS(status)) return status;
  ULONG count = 0;
  status = source->GetInputCount(&count);
  if (!NT_SUCCESS(status)) return status;
  if (count > kMaxNodeChannels) return STATUS_INVALID_PARAMETER;
  ULONG zeros[kMaxNodeChannels] = {};
  status = InitInputs(count, zeros);
  if (!NT_SUCCESS(status)) return status;
  m_pUnit = Unit;
  m_pDeviceObject = DeviceObject;
  ULONG selected = m_nSelected;
  if (!NT_SUCCESS(source->GetSelected(&selected))) selected = m_nSelected;
  NodeSavedValue(DeviceObject, SETTINGS_READ, m_nId, 0, kSingleValue, &selected, sizeof selected);
  if (selected > count) selected = count;
  if (selected == 0) selected = 1;
  m_nSelected = selected;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacSelectorNode::SetSelected(ULONG Input) {
  if (Input == 0 || Input > m_nSourceCount) return STATUS_INVALID_PARAMETER;
  Ref<adapter::ISelectorNode> source;
  NTSTATUS status = Source(&source.p);
  if (NT_SUCCESS(status)) status = source->SetSelected(Input);
  if (NT_SUCCESS(status)) {
    CSelectorNode::SetSelected(Input);
    NodeSavedValue(m_pDeviceObject, SETTINGS_WRITE, m_nId, 0, kSingleValue, &m_nSelected, sizeof m_nSelected);
  }
  return status;
}

STDMETHODIMP CUacSelectorNode::RestoreToDevice() { return SetSelected(m_nSelected); }

STDMETHODIMP CUacSelectorNode::RefreshFromDevice() {
  Ref<adapter::ISelectorNode> source;
  NTSTATUS status = Source(&source.p);
  ULONG selected = 0;
  if (NT_SUCCESS(status)) status = source->GetSelected(&selected);
  // A selection the device cannot have leaves the node as it was.
  if (NT_SUCCESS(status) && selected >= 1 && selected <= m_nSourceCount) m_nSelected = selected;
  return status;
}

// ---------------------------------------------------------------------------------------
// Terminal kind

CUacTerminalKindNode::CUacTerminalKindNode(PUNKNOWN outerUnknown, ULONG id)
    : CTerminalKindNode(outerUnknown, id), m_pTerminal(nullptr), m_pDeviceObject(nullptr), m_pFunction(nullptr) {}

NTSTATUS CUacTerminalKindNode::InitUacTerminalKindNode(PUNKNOWN Terminal, PDEVICE_OBJECT DeviceObject,
                                                       PUNKNOWN Function) {
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(Terminal, adapter::IID_ITerminalNode, &terminal.p);
  if (!NT_SUCCESS(status)) return status;
  ULONG count = 0;
  status = terminal->GetKindCount(&count);
  if (!NT_SUCCESS(status)) return status;
  if (count < 1 || count > kMaxTerminalKinds) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG kinds[kMaxTerminalKinds] = {};
  status = terminal->GetKinds(kinds);
  if (!NT_SUCCESS(status)) return status;
  status = InitKinds(0, count, kinds);
  if (!NT_SUCCESS(status)) return status;
  ULONG current = kinds[0];
  if (NT_SUCCESS(terminal->GetKind(&current))) m_nCurrentKind = current;
  m_pTerminal = Terminal;
  m_pDeviceObject = DeviceObject;
  m_pFunction = Function;
  // A saved kind counts only when the terminal offers it.
  ULONG saved = 0;
  if (NT_SUCCESS(NodeSavedValue(DeviceObject, SETTINGS_READ, m_nId, 0, kSingleValue, &saved, sizeof saved))) {
    for (ULONG i = 0; i < count; ++i)
      if (kinds[i] == saved) m_nCurrentKind = saved;
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacTerminalKindNode::GetKind(PULONG Kind) {
  if (!Kind) return STATUS_INVALID_PARAMETER;
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(m_pTerminal, adapter::IID_ITerminalNode, &terminal.p);
  if (NT_SUCCESS(status)) status = terminal->GetKind(Kind);
  if (NT_SUCCESS(status)) m_nCurrentKind = *Kind;
  return status;
}

NTSTATUS CUacTerminalKindNode::SwitchTo(adapter::ITerminalNode* Terminal, ULONG Kind) {
  NTSTATUS status = Terminal->SetKind(Kind);
  if (!NT_SUCCESS(status)) return status;
  m_nCurrentKind = Kind;
  Ref<adapter::IUacEntity> entity;
  status = Query(m_pTerminal, adapter::IID_IUacEntity, &entity.p);
  if (!NT_SUCCESS(status)) return status;
  Ref<adapter::IUacFunction> function;
  status = Query(m_pFunction, adapter::IID_IUacFunction, &function.p);
  if (!NT_SUCCESS(status)) return status;
  MarkKindChanged();
  status = function->RegisterSubdevices(entity->GetId());
  if (!NT_SUCCESS(status)) return status;
  PCALLBACK_OBJECT callback = nullptr;
  status = function->GetCallbackObject(&callback);
  if (!NT_SUCCESS(status)) return status;
  if (m_pListeners) {
    for (adapter::INodeEndpoint* listener : *m_pListeners) {
      status = listener->SetEndpointType(Kind, callback);
      if (!NT_SUCCESS(status)) return status;
    }
  }
  NodeSavedValue(m_pDeviceObject, SETTINGS_WRITE, m_nId, 0, kSingleValue, &Kind, sizeof Kind);
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacTerminalKindNode::SetKind(ULONG Kind) {
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(m_pTerminal, adapter::IID_ITerminalNode, &terminal.p);
  if (!NT_SUCCESS(status)) return status;
  if (Kind == m_nCurrentKind) return STATUS_SUCCESS;
  const ULONG previous = m_nCurrentKind;
  status = SwitchTo(terminal.p, Kind);
  if (!NT_SUCCESS(status)) {
    m_nCurrentKind = previous;
    terminal->SetKind(previous);
  }
  return status;
}

STDMETHODIMP CUacTerminalKindNode::RestoreToDevice() {
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(m_pTerminal, adapter::IID_ITerminalNode, &terminal.p);
  if (!NT_SUCCESS(status)) return status;
  return terminal->SetKind(m_nCurrentKind);
}

STDMETHODIMP CUacTerminalKindNode::RefreshFromDevice() {
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(m_pTerminal, adapter::IID_ITerminalNode, &terminal.p);
  ULONG kind = 0;
  if (NT_SUCCESS(status)) status = terminal->GetKind(&kind);
  if (!NT_SUCCESS(status)) return status;
  if (kind != m_nCurrentKind) {
    NodeSavedValue(m_pDeviceObject, SETTINGS_WRITE, m_nId, 0, kSingleValue, &kind, sizeof kind);
    status = SetKind(kind);
    m_nCurrentKind = kind;
  }
  return status;
}

}  // namespace uac
