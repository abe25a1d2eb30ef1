// USBD library helpers: walking a configuration descriptor and building the
// select-configuration request.
#pragma once

#include "kernel/ntdef.h"
#include "usb/usb.h"
#include "usb/usbdi.h"

struct USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface;
};
using PUSBD_INTERFACE_LIST_ENTRY = USBD_INTERFACE_LIST_ENTRY*;

// Finds the first interface descriptor at or after StartPosition that matches every
// argument that is not -1. The walk stays within wTotalLength and stops at a descriptor
// whose bLength is 0 or runs past the end; nothing found gives null.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol);

// Finds the first descriptor of DescriptorType at or after StartPosition within the
// TotalLength bytes from DescriptorBuffer (same bounds rules as above).
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType);

// Allocates (non-paged pool, freed with ExFreePool) and fills a select-configuration URB
// for the interfaces of InterfaceList (terminated by a null InterfaceDescriptor), and
// points each entry's Interface at its block in the URB. Null on a bad argument, a
// descriptor outside the configuration or a failed allocation.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

constexpr ULONG USBD_POOL_TAG = 0x44425355;  // "USBD"
