// Naming the wave subdevices from the extension's counters.
#include "adapter/device_extension.h"

#include "kernel/rtl.h"

namespace adapter {
namespace {

bool SameName(PCWSTR a, PCWSTR b) {
  if (!a || !b) return false;
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

// Whether another engine of the adapter carries the name now.
bool NameTaken(IAudioHal* Adapter, IStreamEngine* Self, PCWSTR Name) {
  const ULONG count = Adapter->GetEngineCount();
  for (ULONG i = 0; i < count; ++i) {
    IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(Adapter->GetEngine(i, &engine)) || !engine || engine == Self) continue;
    if (SameName(engine->GetName(), Name)) return true;
  }
  return false;
}

}  // namespace

NTSTATUS AssignEndpointName(DeviceExtension* Extension, IStreamEngine* Engine, IAudioHal* Adapter, PWSTR Buffer) {
  if (!Extension || !Engine || !Adapter || !Buffer) return STATUS_INVALID_PARAMETER;
  const ULONG direction = Engine->GetDirection();
  if (direction != STREAM_DIRECTION_RENDER && direction != STREAM_DIRECTION_CAPTURE) return STATUS_INVALID_PARAMETER;
  // GetEndpointType answers 0 to 18; anything else is named as a plain stream.
  ULONG type = Engine->GetEndpointType();
  if (!IsValidEndpointType(type)) type = ENDPOINT_STREAM;
  const bool capture = direction == STREAM_DIRECTION_CAPTURE;
  UCHAR& counter = capture ? Extension->InputCounters[type] : Extension->OutputCounters[type];
  PCWSTR format = capture ? u"%sIn%02d" : u"%sOut%02d";
  // One full turn of the byte counter at most: past that every number is in use, which
  // the subdevice limit rules out.
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG tries = 0; tries < 256; ++tries) {
    const int number = counter++;
    status = RtlStringCbPrintfW(Buffer, kEndpointNameBufferBytes, format, EndpointTypePrefix(type), number);
    if (!NT_SUCCESS(status)) return status;
    if (!NameTaken(Adapter, Engine, Buffer)) break;
  }
  return Engine->SetName(Buffer);
}

}  // namespace adapter
