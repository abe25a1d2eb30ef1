#include "uac/bound_terminal_nodes.h"

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
// Mixer

NTSTATUS CUacMixerNode::InitUacMixerNode(PUNKNOWN Unit) {
  Ref<adapter::IUacEntity> entity;
  NTSTATUS status = Query(Unit, adapter::IID_IUacEntity, &entity.p);
  if (!NT_SUCCESS(status)) return status;
  const ULONG count = entity->GetSourceCount();
  if (count > kMaxNodeChannels) return STATUS_INVALID_PARAMETER;
  ULONG zeros[kMaxNodeChannels] = {};
  return InitMixerTerminal(count, zeros);
}

// ---------------------------------------------------------------------------------------
// Terminal nodes

namespace {

// The jacks of one kind of a terminal, in pool the caller frees (null when none).
NTSTATUS ReadJacks(adapter::ITerminalNode* terminal, ULONG kindIndex, ULONG count, adapter::PJACKRECORD* jacks) {
  *jacks = nullptr;
  if (!count) return STATUS_SUCCESS;
  if (count > kMaxNodeChannels) return STATUS_INVALID_PARAMETER;
  const SIZE_T bytes = SIZE_T{count} * sizeof(adapter::JackRecord);
  auto* records = static_cast<adapter::PJACKRECORD>(ExAllocatePoolWithTag(PagedPool, bytes, kTerminalPoolTag));
  if (!records) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(records, bytes);
  // The records are copied whatever the presence read gave.
  terminal->GetJackDescriptions(static_cast<ULONG>(bytes), records, kindIndex);
  *jacks = records;
  return STATUS_SUCCESS;
}

// Re-reads the jack records of a terminal node after a device-side change.
NTSTATUS RefreshJacks(adapter::ITerminalNode* terminal, ULONG kindIndex, ULONG& jackCount,
                      adapter::PJACKRECORD& jacks) {
  ULONG count = 0;
  NTSTATUS status = terminal->GetState(&count, kindIndex);
  if (!NT_SUCCESS(status)) return status;
  if (count > kMaxNodeChannels) return STATUS_INVALID_PARAMETER;
  if (count != jackCount) {
    if (jacks) ExFreePoolWithTag(jacks, kTerminalPoolTag);
    jacks = nullptr;
    jackCount = 0;
    if (count) {
      jacks = static_cast<adapter::PJACKRECORD>(
          ExAllocatePoolWithTag(PagedPool, SIZE_T{count} * sizeof(adapter::JackRecord), kTerminalPoolTag));
      if (!jacks) return STATUS_INSUFFICIENT_RESOURCES;
      RtlZeroMemory(jacks, SIZE_T{count} * sizeof(adapter::JackRecord));
      jackCount = count;
    }
  }
  if (jackCount) terminal->GetJackDescriptions(jackCount * sizeof(adapter::JackRecord), jacks, kindIndex);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CUacInputTerminalNode::InitUacInputTerminalNode(PUNKNOWN Terminal,
                                                         const adapter::EndpointCapabilityRecord& Record) {
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
  ULONG jackCount = 0;
  if (!NT_SUCCESS(terminal->GetState(&jackCount, 0))) jackCount = 0;
  adapter::PJACKRECORD jacks = nullptr;
  status = ReadJacks(terminal.p, 0, jackCount, &jacks);
  if (!NT_SUCCESS(status)) return status;
  status = InitTerminal(count, kinds, jackCount, jacks);
  if (jacks) ExFreePoolWithTag(jacks, kTerminalPoolTag);
  if (!NT_SUCCESS(status)) return status;
  ULONG current = kinds[0];
  if (NT_SUCCESS(terminal->GetKind(&current))) m_nCurrentKind = current;
  SetCapabilityRecord(Record);
  m_pTerminal = Terminal;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacInputTerminalNode::RefreshFromDevice() {
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(m_pTerminal, adapter::IID_ITerminalNode, &terminal.p);
  if (!NT_SUCCESS(status)) return status;
  ULONG kind = 0;
  if (NT_SUCCESS(terminal->GetKind(&kind))) m_nCurrentKind = kind;
  return RefreshJacks(terminal.p, 0, m_nJackCount, m_pJacks);
}

NTSTATUS CUacOutputTerminalNode::InitUacOutputTerminalNode(PUNKNOWN Terminal,
                                                           const adapter::EndpointCapabilityRecord& Record) {
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(Terminal, adapter::IID_ITerminalNode, &terminal.p);
  if (!NT_SUCCESS(status)) return status;
  ULONG count = 0;
  status = terminal->GetKindCount(&count);
  if (!NT_SUCCESS(status)) return status;
  if (count < 1 || count > kMaxTerminalKinds || m_nKindIndex >= count) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG jackCount = 0;
  if (!NT_SUCCESS(terminal->GetState(&jackCount, m_nKindIndex))) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG kinds[kMaxTerminalKinds] = {};
  status = terminal->GetKinds(kinds);
  if (!NT_SUCCESS(status)) return status;
  adapter::PJACKRECORD jacks = nullptr;
  status = ReadJacks(terminal.p, m_nKindIndex, jackCount, &jacks);
  if (!NT_SUCCESS(status)) return status;
  SetCapabilityRecord(Record);
  status = InitTerminal(0, 1, &kinds[m_nKindIndex], jackCount, jacks);
  if (jacks) ExFreePoolWithTag(jacks, kTerminalPoolTag);
  if (!NT_SUCCESS(status)) return status;
  m_pTerminal = Terminal;
  return STATUS_SUCCESS;
}

// The node stands for one kind, so only its jacks follow the device.
STDMETHODIMP CUacOutputTerminalNode::RefreshFromDevice() {
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(m_pTerminal, adapter::IID_ITerminalNode, &terminal.p);
  if (!NT_SUCCESS(status)) return status;
  return RefreshJacks(terminal.p, m_nKindIndex, m_nJackCount, m_pJacks);
}

}  // namespace uac
