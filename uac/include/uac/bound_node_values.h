// What every bound node shares: the pool tags of the bound forms and the saved values.
//
// Saved values are REG_BINARY in "Settings", per node, per endpoint type and per channel:
// "Unit" + node id (two digits) + "_" + endpoint type (right-aligned in two characters) +
// "_" + channel ("Unit05_ 3_1"); selector, terminal-kind and effect nodes keep one value
// under "Unit" + node id + "_".
#pragma once

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

}  // namespace uac
