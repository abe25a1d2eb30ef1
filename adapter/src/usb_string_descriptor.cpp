// String descriptors: the one reader of the driver's string requests.
#include "adapter/audio_class.h"
#include "adapter/usb_audio_device.h"

namespace adapter {

NTSTATUS CUsbAudioDevice::ReadStringDescriptor(UCHAR Index, ULONG Bytes, ULONG Tag, char16_t* Text, PULONG Units) {
  if (!Units || !Text || Bytes < 2) return STATUS_INVALID_PARAMETER;
  *Units = 0;
  auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, Bytes, Tag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(buffer, Bytes);
  ULONG got = 0;
  const NTSTATUS status = GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, Index, kLanguageEnglish, buffer, Bytes, &got);
  if (NT_SUCCESS(status) && got >= 2) {
    // The text is what both bLength and the transfer cover, in whole UTF-16 units.
    const ULONG bytes = (buffer[0] < got ? buffer[0] : got) & ~1u;
    *Units = bytes >= 2 ? (bytes - 2) / 2 : 0;
    RtlCopyMemory(Text, buffer + 2, *Units * sizeof(char16_t));
  }
  ExFreePoolWithTag(buffer, Tag);
  return status;
}

}  // namespace adapter
