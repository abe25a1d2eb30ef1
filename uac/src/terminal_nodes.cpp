#include "uac/terminal_nodes.h"

#include "adapter/endpoint_type.h"
#include "adapter/object_model.h"

namespace uac {

using adapter::JackRecord;

CTerminalNode::CTerminalNode(PUNKNOWN outerUnknown, ULONG id, ULONG type)
    : CUacEntity(outerUnknown, id, type),
      m_nKindCount(0),
      m_pKinds(nullptr),
      m_nCurrentKind(0),
      m_nJackCount(0),
      m_CapabilityRecord{},
      m_pJacks(nullptr) {}

CTerminalNode::~CTerminalNode() {
  if (m_pKinds) ExFreePoolWithTag(m_pKinds, kTerminalPoolTag);
  if (m_pJacks) ExFreePoolWithTag(m_pJacks, kTerminalPoolTag);
}

STDMETHODIMP CTerminalNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_ITerminalNode))
    return adapter::ReturnInterface<adapter::ITerminalNode>(this, object);
  return CUacEntity::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CTerminalNode::GetKind(PULONG Kind) {
  if (!Kind) return STATUS_INVALID_PARAMETER;
  *Kind = m_nCurrentKind;
  return STATUS_SUCCESS;
}

STDMETHODIMP CTerminalNode::GetKindCount(PULONG Count) {
  if (!Count) return STATUS_INVALID_PARAMETER;
  *Count = m_nKindCount;
  return STATUS_SUCCESS;
}

STDMETHODIMP CTerminalNode::GetKinds(PULONG Kinds) {
  if (!Kinds) return STATUS_INVALID_PARAMETER;
  if (m_nKindCount) RtlCopyMemory(Kinds, m_pKinds, m_nKindCount * sizeof(ULONG));
  return STATUS_SUCCESS;
}

STDMETHODIMP CTerminalNode::SetKind(ULONG Kind) {
  for (ULONG i = 0; i < m_nKindCount; ++i) {
    if (m_pKinds[i] == Kind) {
      m_nCurrentKind = Kind;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP CTerminalNode::GetState(PULONG JackCount, ULONG) {
  if (!JackCount) return STATUS_INVALID_PARAMETER;
  *JackCount = m_nJackCount;
  return STATUS_SUCCESS;
}

STDMETHODIMP CTerminalNode::GetJackDescriptions(ULONG Size, PVOID Buffer, ULONG) {
  if (!Size || !Buffer || !m_pJacks || !m_nJackCount) return STATUS_INVALID_PARAMETER;
  const SIZE_T all = SIZE_T{m_nJackCount} * sizeof(JackRecord);
  RtlCopyMemory(Buffer, m_pJacks, Size < all ? Size : all);
  return STATUS_SUCCESS;
}

STDMETHODIMP CTerminalNode::GetJackInfo(adapter::EndpointCapabilityRecord* Record) {
  if (!Record) return STATUS_INVALID_PARAMETER;
  *Record = m_CapabilityRecord;
  return STATUS_SUCCESS;
}

NTSTATUS CTerminalNode::InitLists(ULONG KindCount, const ULONG* Kinds, ULONG JackCount, const JackRecord* Jacks) {
  if (KindCount < 1 || KindCount > kMaxTerminalKinds || !Kinds) return STATUS_INVALID_PARAMETER;
  if (JackCount && !Jacks) return STATUS_INVALID_PARAMETER;
  auto* kinds = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, KindCount * sizeof(ULONG), kTerminalPoolTag));
  if (!kinds) return STATUS_INSUFFICIENT_RESOURCES;
  adapter::PJACKRECORD jacks = nullptr;
  if (JackCount) {
    jacks = static_cast<adapter::PJACKRECORD>(
        ExAllocatePoolWithTag(PagedPool, SIZE_T{JackCount} * sizeof(JackRecord), kTerminalPoolTag));
    if (!jacks) {
      ExFreePoolWithTag(kinds, kTerminalPoolTag);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(jacks, Jacks, SIZE_T{JackCount} * sizeof(JackRecord));
  }
  RtlCopyMemory(kinds, Kinds, KindCount * sizeof(ULONG));
  if (m_pKinds) ExFreePoolWithTag(m_pKinds, kTerminalPoolTag);
  if (m_pJacks) ExFreePoolWithTag(m_pJacks, kTerminalPoolTag);
  m_pKinds = kinds;
  m_nKindCount = KindCount;
  m_nCurrentKind = kinds[0];
  m_pJacks = jacks;
  m_nJackCount = JackCount;
  return STATUS_SUCCESS;
}

NTSTATUS CInputTerminalNode::InitTerminal(ULONG KindCount, const ULONG* Kinds, ULONG JackCount,
                                          const JackRecord* Jacks) {
  NTSTATUS status = InitLists(KindCount, Kinds, JackCount, Jacks);
  if (NT_SUCCESS(status)) SetSources(0, nullptr);
  return status;
}

NTSTATUS COutputTerminalNode::InitTerminal(ULONG SourceId, ULONG KindCount, const ULONG* Kinds, ULONG JackCount,
                                           const JackRecord* Jacks) {
  if (KindCount < 1 || KindCount > kMaxTerminalKinds || !Kinds || (JackCount && !Jacks))
    return STATUS_INVALID_PARAMETER;
  NTSTATUS status = SetSources(1, &SourceId);
  if (NT_SUCCESS(status)) status = InitLists(KindCount, Kinds, JackCount, Jacks);
  return status;
}

// ---------------------------------------------------------------------------------------
// Mixer

CMixerNode::CMixerNode(PUNKNOWN outerUnknown, ULONG id)
    : CTerminalNode(outerUnknown, id, adapter::NODE_MIXER), m_bTerminalMode(0), m_nSavedSourceCount(0) {}

STDMETHODIMP CMixerNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_IMixerNode)) return adapter::ReturnInterface<IMixerNode>(this, object);
  if (object && !m_bTerminalMode && IsEqualGUID(iid, adapter::IID_ITerminalNode)) {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  return CTerminalNode::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CMixerNode::SetTerminalMode(UCHAR On) {
  m_bTerminalMode = On;
  if (On) {
    m_nType = adapter::NODE_INPUT_TERMINAL;
    m_nSourceCount = 0;  // the identifiers stay stored
  } else {
    m_nType = adapter::NODE_MIXER;
    m_nSourceCount = m_pSources ? m_nSavedSourceCount : 0;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CMixerNode::InitMixerTerminal(ULONG Count, const ULONG* Sources) {
  static constexpr ULONG kStereoMix[] = {adapter::ENDPOINT_STEREOMIX};
  // Front left and right, an internal line connector at the front, always in use.
  static constexpr JackRecord kJack = {3, 0, 7, 14, 1, 1, 0, 1, 0};
  if (Count && !Sources) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = SetSources(Count, Sources);
  if (!NT_SUCCESS(status)) return status;
  status = InitLists(1, kStereoMix, 1, &kJack);
  if (!NT_SUCCESS(status)) {
    SetSources(0, nullptr);
    m_nSavedSourceCount = 0;
    return status;
  }
  m_nSavedSourceCount = Count;
  if (m_bTerminalMode) m_nSourceCount = 0;
  return STATUS_SUCCESS;
}

}  // namespace uac
