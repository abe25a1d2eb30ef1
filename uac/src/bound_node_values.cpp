#include "uac/bound_node_values.h"

#include "adapter/settings.h"
#include "adapter/stream_engine.h"
#include "kernel/callback.h"
#include "kernel/rtl.h"
#include "uac/unit_interfaces.h"

namespace uac {

void PublishControlChange(PVOID CallbackObject, ULONG NodeId) {
  if (!CallbackObject) return;
  ControlChangeRecord record = {1, 1, NodeId, 0};
  ExNotifyCallback(CallbackObject, &record, nullptr);
}

NTSTATUS NodeSavedValue(PDEVICE_OBJECT DeviceObject, ULONG Operation, ULONG NodeId, ULONG EndpointType, ULONG Channel,
                        PVOID Data, ULONG Size) {
  if (!DeviceObject) return STATUS_INVALID_PARAMETER;  // a node made without a device saves nothing
  WCHAR prefix[SETTINGS_MAX_INDEXED_NAME + 1];
  if (Channel == kSingleValue) {
    if (RtlStringCchPrintfW(prefix, 19, u"%s%02d_", u"Unit", static_cast<INT>(NodeId)) != STATUS_SUCCESS)
      return STATUS_INVALID_PARAMETER;
    return SettingsBinaryValue(DeviceObject, Operation, Data, Size, prefix);
  }
  if (RtlStringCchPrintfW(prefix, 19, u"%s%02d_%2d_", u"Unit", static_cast<INT>(NodeId),
                          static_cast<INT>(EndpointType)) != STATUS_SUCCESS)
    return STATUS_INVALID_PARAMETER;
  return SettingsIndexedValue(DeviceObject, Operation, Data, Size, prefix, Channel);
}

}  // namespace uac
