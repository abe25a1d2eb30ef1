// USBD_CreateConfigurationRequestEx lives apart from the parsers: it is the only helper that
// allocates, so code that only parses does not pull in the pool.
#include <cstring>

#include "kernel/pool.h"
#include "usb/usbdlib.h"

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
  const auto base = reinterpret_cast<std::uintptr_t>(ConfigurationDescriptor);
  const ULONG total = ConfigurationDescriptor->wTotalLength;

  ULONG size = static_cast<ULONG>(offsetof(_URB_SELECT_CONFIGURATION, Interface));
  ULONG count = 0;
  for (auto* e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e, ++count) {
    const auto at = reinterpret_cast<std::uintptr_t>(e->InterfaceDescriptor);
    if (at < base || at - base + sizeof(USB_INTERFACE_DESCRIPTOR) > total) return nullptr;
    size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
  }
  if (count == 0) {
    size = sizeof(_URB_SELECT_CONFIGURATION);
  }
  if (size > 0xFFFF) return nullptr;

  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, USBD_POOL_TAG));
  if (urb == nullptr) return nullptr;
  std::memset(urb, 0, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  auto* cursor = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
  for (auto* e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    const ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
    info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
    info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
    info->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) {
      info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[i].PipeFlags = 0;
    }
    e->Interface = info;
    cursor += info->Length;
  }
  return urb;
}
