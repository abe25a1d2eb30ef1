#include <cstring>

#include "usb/usbdi.h"
#include "usb/usbdlib.h"

namespace {

// Offset of p within [base, base + total), or -1 when outside.
long OffsetIn(const void* base, ULONG total, const void* p) {
  const auto b = reinterpret_cast<std::uintptr_t>(base);
  const auto q = reinterpret_cast<std::uintptr_t>(p);
  if (q < b || q - b >= total) return -1;
  return static_cast<long>(q - b);
}

}  // namespace

NTSTATUS UsbdStatusToNtStatus(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) return USBD_PENDING(status) ? STATUS_PENDING : STATUS_SUCCESS;
  switch (status) {
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INAVLID_PIPE_FLAGS:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
      return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
    case USBD_STATUS_NO_BANDWIDTH:
      return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_NOT_SUPPORTED:
      return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_BUFFER_TOO_SMALL:
      return STATUS_BUFFER_TOO_SMALL;
    case USBD_STATUS_TIMEOUT:
      return STATUS_IO_TIMEOUT;
    case USBD_STATUS_ERROR_BUSY:
      return STATUS_DEVICE_BUSY;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType) {
  if (DescriptorBuffer == nullptr || StartPosition == nullptr) return nullptr;
  long pos = OffsetIn(DescriptorBuffer, TotalLength, StartPosition);
  if (pos < 0) return nullptr;
  auto* bytes = static_cast<UCHAR*>(DescriptorBuffer);
  while (static_cast<ULONG>(pos) + 2 <= TotalLength) {
    const UCHAR length = bytes[pos];
    if (length < 2 || static_cast<ULONG>(pos) + length > TotalLength) return nullptr;
    if (bytes[pos + 1] == static_cast<UCHAR>(DescriptorType)) {
      return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(bytes + pos);
    }
    pos += length;
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == nullptr) return nullptr;
  const ULONG total = ConfigurationDescriptor->wTotalLength;
  auto* bytes = reinterpret_cast<UCHAR*>(ConfigurationDescriptor);
  PVOID start = StartPosition;
  for (;;) {
    auto* d = USBD_ParseDescriptors(ConfigurationDescriptor, total, start, USB_INTERFACE_DESCRIPTOR_TYPE);
    if (d == nullptr) return nullptr;
    auto* at = reinterpret_cast<UCHAR*>(d);
    // The walk already checked that bLength bytes are inside; a short interface
    // descriptor is skipped rather than read past its end.
    if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto* intf = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
      const bool match = (InterfaceNumber == -1 || intf->bInterfaceNumber == InterfaceNumber) &&
                         (AlternateSetting == -1 || intf->bAlternateSetting == AlternateSetting) &&
                         (InterfaceClass == -1 || intf->bInterfaceClass == InterfaceClass) &&
                         (InterfaceSubClass == -1 || intf->bInterfaceSubClass == InterfaceSubClass) &&
                         (InterfaceProtocol == -1 || intf->bInterfaceProtocol == InterfaceProtocol);
      if (match) return intf;
    }
    if (at + d->bLength >= bytes + total) return nullptr;
    start = at + d->bLength;
  }
}
