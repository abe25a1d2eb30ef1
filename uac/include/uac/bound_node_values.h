// What every bound node shares: the pool tags of the bound forms and the saved values.
//
// Saved values are REG_BINARY in "Settings", per node, per endpoint type and per channel:
// "Unit" + node id (two digits) + "_" + endpoint type (right-aligned in two characters) +
// "_" + channel ("Unit05_ 3_1"); selector, terminal-kind and effect nodes keep one value
// under "Unit" + node id + "_".
#pragma once

#include "adapter/settings.h"
#include "kernel/nt.h"

namespace uac {

// Pool tags: the gain table of the vendor volume, terminal-node lists.
inline constexpr ULONG kGainTablePoolTag = MakePoolTag('V', 'T', 'a', 'g');
inline constexpr ULONG kTermPoolTag = MakePoolTag('T', 'e', 'r', 'm');
inline constexpr ULONG kMixerSourcePoolTag = MakePoolTag('T', 'M', 'i', 'x');

// Reads (SETTINGS_READ) or writes one saved value of a node: per channel for the endpoint
// type, or the node's single value when Channel is kSingleValue. A read leaves *Data as
// it was unless a value of at most Size bytes is stored.
inline constexpr ULONG kSingleValue = 0xFFFFFFFF;
NTSTATUS NodeSavedValue(PDEVICE_OBJECT DeviceObject, ULONG Operation, ULONG NodeId, ULONG EndpointType, ULONG Channel,
                        PVOID Data, ULONG Size);

// Starts each of a node's channels at the device's current value for the selector (a
// channel keeps its default when the device reports none), then at the value saved for
// the default endpoint type. Source is the unit's control-source interface, Value the
// node's channel value type.
template <class Source, class Value>
void LoadNodeChannels(Source* source, ULONG selector, PDEVICE_OBJECT deviceObject, ULONG nodeId, ULONG count,
                      Value* values) {
  for (ULONG c = 0; c < count; ++c) {
    Value value = values[c];
    if (!NT_SUCCESS(source->GetCur(selector, c, &value))) value = values[c];
    NodeSavedValue(deviceObject, SETTINGS_READ, nodeId, 0, c, &value, sizeof value);
    values[c] = value;
  }
}

}  // namespace uac
