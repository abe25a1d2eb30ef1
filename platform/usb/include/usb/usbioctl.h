// Internal I/O controls of the USB bus driver, the idle-notification callback, port status
// bits and the USBDI bus interface a client driver obtains with IRP_MN_QUERY_INTERFACE.
#pragma once

#include "kernel/ntdef.h"
#include "usb/usbdi.h"

// CTL_CODE(FILE_DEVICE_USB (0x22), function, METHOD_NEITHER, FILE_ANY_ACCESS).
constexpr ULONG UsbInternalIoctl(ULONG function) { return (0x22u << 16) | (function << 2) | 3u; }
constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB = 0x220003;
constexpr ULONG IOCTL_INTERNAL_USB_RESET_PORT = 0x220007;
constexpr ULONG IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO = 0x22000F;
constexpr ULONG IOCTL_INTERNAL_USB_GET_PORT_STATUS = 0x220013;
constexpr ULONG IOCTL_INTERNAL_USB_ENABLE_PORT = 0x220017;
constexpr ULONG IOCTL_INTERNAL_USB_GET_HUB_COUNT = 0x22001B;
constexpr ULONG IOCTL_INTERNAL_USB_CYCLE_PORT = 0x22001F;
constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION = 0x220027;
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == UsbInternalIoctl(0));
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == UsbInternalIoctl(1));
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == UsbInternalIoctl(4));
static_assert(IOCTL_INTERNAL_USB_CYCLE_PORT == UsbInternalIoctl(7));
static_assert(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION == UsbInternalIoctl(9));

// GET_PORT_STATUS result bits (a ULONG at Parameters.Others.Argument1).
constexpr ULONG USBD_PORT_ENABLED = 0x00000001;
constexpr ULONG USBD_PORT_CONNECTED = 0x00000002;

// SUBMIT_IDLE_NOTIFICATION: Parameters.DeviceIoControl.Type3InputBuffer points at this.
using USB_IDLE_CALLBACK = void (*)(PVOID Context);
struct USB_IDLE_CALLBACK_INFO {
  USB_IDLE_CALLBACK IdleCallback;
  PVOID IdleContext;
};
using PUSB_IDLE_CALLBACK_INFO = USB_IDLE_CALLBACK_INFO*;
static_assert(sizeof(USB_IDLE_CALLBACK_INFO) == 16);

// {B1A96A13-3DE0-4574-9B01-C08FEAB318D6}
constexpr GUID USB_BUS_INTERFACE_USBDI_GUID = {0xB1A96A13, 0x3DE0, 0x4574, {0x9B, 0x01, 0xC0, 0x8F, 0xEA, 0xB3, 0x18, 0xD6}};
constexpr USHORT USB_BUSIF_USBDI_VERSION_0 = 0;
constexpr USHORT USB_BUSIF_USBDI_VERSION_1 = 1;

using PINTERFACE_REFERENCE = void (*)(PVOID Context);
using PINTERFACE_DEREFERENCE = void (*)(PVOID Context);

using PUSB_BUSIFFN_GETUSBDI_VERSION = void (*)(PVOID BusContext, PUSBD_VERSION_INFORMATION VersionInformation,
                                               PULONG HcdCapabilities);
using PUSB_BUSIFFN_QUERY_BUS_TIME = NTSTATUS (*)(PVOID BusContext, PULONG CurrentUsbFrame);
using PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB = NTSTATUS (*)(PVOID BusContext, PURB Urb);
using PUSB_BUSIFFN_QUERY_BUS_INFORMATION = NTSTATUS (*)(PVOID BusContext, ULONG Level, PVOID BusInformationBuffer,
                                                        PULONG BusInformationBufferLength,
                                                        PULONG BusInformationActualLength);
using PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED = BOOLEAN (*)(PVOID BusContext);

// The interface header (Size, Version, Context, InterfaceReference, InterfaceDereference)
// followed by the USBDI functions; version 1 adds IsDeviceHighSpeed.
struct USB_BUS_INTERFACE_USBDI_V0 {
  USHORT Size;
  USHORT Version;
  PVOID BusContext;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
  PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
  PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
  PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
};
struct USB_BUS_INTERFACE_USBDI_V1 {
  USHORT Size;
  USHORT Version;
  PVOID BusContext;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
  PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
  PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
  PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
  PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
};
using PUSB_BUS_INTERFACE_USBDI_V1 = USB_BUS_INTERFACE_USBDI_V1*;
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V0) == 64);
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72);
