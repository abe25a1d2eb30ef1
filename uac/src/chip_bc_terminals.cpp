#include "uac/chip_bc_terminals.h"

#include "adapter/audio_hal.h"

namespace uac {
namespace {

constexpr ULONG kOutputSourceId = 7;  // bSourceID of a 1.0 output terminal

}  // namespace

NTSTATUS CChipInputTerminal::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                  adapter::CAudioHal* Function) {
  if (!Function) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac1, AC_INPUT_TERMINAL);
  if (!NT_SUCCESS(status)) return status;
  status = CreateSingleNode(Function);
  if (NT_SUCCESS(status)) LinkNodeChain();
  return status;
}

NTSTATUS CChipInputTerminal::CreateSingleNode(adapter::CAudioHal* Function) {
  NTSTATUS status = SetSources(0, nullptr);
  if (!NT_SUCCESS(status)) return status;
  return CreateTerminalNode(Function);
}

NTSTATUS CChipOutputTerminal::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                   adapter::CAudioHal* Function) {
  if (!Function) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac1, AC_OUTPUT_TERMINAL);
  if (!NT_SUCCESS(status)) return status;
  status = CreateSingleNode(Function);
  if (NT_SUCCESS(status)) LinkNodeChain();
  return status;
}

NTSTATUS CChipOutputTerminal::CreateSingleNode(adapter::CAudioHal* Function) {
  const ULONG source = m_pDescriptor[kOutputSourceId];
  NTSTATUS status = SetSources(1, &source);
  if (!NT_SUCCESS(status)) return status;
  m_pDeviceObject = Function->GetDeviceObject();
  status = AllocateKindArrays(1);
  if (!NT_SUCCESS(status)) return status;
  m_pKinds[0] = OutputTerminalStatusKind(TerminalType());
  m_pTerminalTypes[0] = TerminalType();
  m_nCurrentKind = m_pKinds[0];
  return CreateKindNodes(Function, Function->GetEntityCount());
}

}  // namespace uac
