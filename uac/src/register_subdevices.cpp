// Re-registering the wave subdevices of engines whose terminal kind changed.
#include "uac/register_subdevices.h"

#include "adapter/device_extension.h"
#include "adapter/node_interfaces.h"
#include "adapter/ref_list.h"
#include "kernel/ke.h"
#include "kernel/pool.h"

namespace uac {
namespace {

void Wait(SubdeviceUpdateDelay Delay, PDEVICE_OBJECT DeviceObject) {
  const ULONG ms = Delay ? Delay(DeviceObject) : 0;
  if (!ms) return;
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Unregister, rename, wait, register again: one changed engine.
NTSTATUS ReRegister(adapter::IAudioHal* Function, adapter::DeviceExtension* Extension, adapter::IStreamEngine* Engine,
                    SubdeviceUpdateDelay Delay, SubdeviceRegistration Register, PVOID Context) {
  PDEVICE_OBJECT fdo = Function->GetDeviceObject();
  auto* name = static_cast<PWSTR>(
      ExAllocatePoolWithTag(PagedPool, adapter::kEndpointNameBufferBytes, adapter::kTempPoolTag));
  if (!name) {
    Wait(Delay, fdo);
    return STATUS_UNSUCCESSFUL;
  }
  NTSTATUS status = Engine->UnregisterSubdevice(fdo, nullptr, Function);
  if (NT_SUCCESS(status)) status = adapter::AssignEndpointName(Extension, Engine, Function, name);
  ExFreePoolWithTag(name, adapter::kTempPoolTag);
  if (!NT_SUCCESS(status)) return status;
  Wait(Delay, fdo);
  if (Register) return Register(Function, Engine, Context);
  return Engine->UpdateSubdevice(fdo, nullptr, Function);
}

}  // namespace

bool IsEngineKindChanged(adapter::IStreamEngine* Engine) {
  const ULONG count = Engine->GetNodeCount();
  for (ULONG i = 0; i < count; ++i) {
    adapter::IUacEntity* node = nullptr;
    if (!NT_SUCCESS(Engine->GetNode(i, &node)) || !node || node->GetType() != adapter::NODE_TERMINAL_KIND) continue;
    adapter::ScopedRelease<adapter::ITerminalKindNode> kind;
    if (!NT_SUCCESS(node->QueryInterface(adapter::IID_ITerminalKindNode, kind.out()))) return false;
    // The node's flag is shared by every engine behind its terminal: the first engine to
    // look clears it, and the engine's own mark decides whether it is renamed.
    if (kind.p->IsKindChanged()) kind.p->ClearKindChanged();
    return Engine->TakeKindSwitch(kind.p->GetKindSwitchCount()) != FALSE;
  }
  return false;
}

NTSTATUS RegisterChangedSubdevices(adapter::IAudioHal* Function, SubdeviceUpdateDelay Delay,
                                   SubdeviceRegistration Register, PVOID Context) {
  if (!Function) return STATUS_INVALID_PARAMETER;
  const ULONG count = Function->GetEngineCount();
  if (!count) return STATUS_UNSUCCESSFUL;
  PDEVICE_OBJECT fdo = Function->GetDeviceObject();
  adapter::DeviceExtension* extension = adapter::FindDeviceExtension(fdo);
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < count; ++i) {
    adapter::IStreamEngine* engine = nullptr;
    status = Function->GetEngine(i, &engine);
    if (!NT_SUCCESS(status)) return status;
    if (!engine || !IsEngineKindChanged(engine)) continue;
    if (!extension) {
      Wait(Delay, fdo);
      continue;
    }
    status = ReRegister(Function, extension, engine, Delay, Register, Context);
    if (!NT_SUCCESS(status)) return status;
  }
  return status;
}

}  // namespace uac
