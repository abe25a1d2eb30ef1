// USB 2.0 chapter 9 definitions: standard descriptors, request codes and the values the
// stack and the devices exchange. Descriptors are byte-packed as they travel on the wire.
#pragma once

#include "kernel/ntdef.h"

// Descriptor types.
constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 0x01;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02;
constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 0x03;
constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 0x04;
constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05;
constexpr UCHAR USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE = 0x06;
constexpr UCHAR USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE = 0x07;
constexpr UCHAR USB_INTERFACE_POWER_DESCRIPTOR_TYPE = 0x08;
constexpr UCHAR USB_OTG_DESCRIPTOR_TYPE = 0x09;
constexpr UCHAR USB_DEBUG_DESCRIPTOR_TYPE = 0x0A;
constexpr UCHAR USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE = 0x0B;
constexpr UCHAR USB_BOS_DESCRIPTOR_TYPE = 0x0F;

// Standard requests (bRequest).
constexpr UCHAR USB_REQUEST_GET_STATUS = 0x00;
constexpr UCHAR USB_REQUEST_CLEAR_FEATURE = 0x01;
constexpr UCHAR USB_REQUEST_SET_FEATURE = 0x03;
constexpr UCHAR USB_REQUEST_SET_ADDRESS = 0x05;
constexpr UCHAR USB_REQUEST_GET_DESCRIPTOR = 0x06;
constexpr UCHAR USB_REQUEST_SET_DESCRIPTOR = 0x07;
constexpr UCHAR USB_REQUEST_GET_CONFIGURATION = 0x08;
constexpr UCHAR USB_REQUEST_SET_CONFIGURATION = 0x09;
constexpr UCHAR USB_REQUEST_GET_INTERFACE = 0x0A;
constexpr UCHAR USB_REQUEST_SET_INTERFACE = 0x0B;
constexpr UCHAR USB_REQUEST_SYNC_FRAME = 0x0C;

// Feature selectors.
constexpr USHORT USB_FEATURE_ENDPOINT_STALL = 0x0000;
constexpr USHORT USB_FEATURE_REMOTE_WAKEUP = 0x0001;

// bmAttributes of an endpoint descriptor.
constexpr UCHAR USB_ENDPOINT_TYPE_MASK = 0x03;
constexpr UCHAR USB_ENDPOINT_TYPE_CONTROL = 0x00;
constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS = 0x01;
constexpr UCHAR USB_ENDPOINT_TYPE_BULK = 0x02;
constexpr UCHAR USB_ENDPOINT_TYPE_INTERRUPT = 0x03;
constexpr UCHAR USB_ENDPOINT_DIRECTION_MASK = 0x80;
constexpr bool USB_ENDPOINT_DIRECTION_IN(UCHAR address) { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
constexpr bool USB_ENDPOINT_DIRECTION_OUT(UCHAR address) { return (address & USB_ENDPOINT_DIRECTION_MASK) == 0; }

// bmAttributes of a configuration descriptor.
constexpr UCHAR USB_CONFIG_BUS_POWERED = 0x80;
constexpr UCHAR USB_CONFIG_SELF_POWERED = 0x40;
constexpr UCHAR USB_CONFIG_REMOTE_WAKEUP = 0x20;

// Device classes used by the stack and the simulator.
constexpr UCHAR USB_DEVICE_CLASS_AUDIO = 0x01;
constexpr UCHAR USB_DEVICE_CLASS_HUMAN_INTERFACE = 0x03;
constexpr UCHAR USB_DEVICE_CLASS_VIDEO = 0x0E;
constexpr UCHAR USB_DEVICE_CLASS_VENDOR_SPECIFIC = 0xFF;

// bmRequestType pieces.
constexpr UCHAR BMREQUEST_HOST_TO_DEVICE = 0;
constexpr UCHAR BMREQUEST_DEVICE_TO_HOST = 1;
constexpr UCHAR BMREQUEST_STANDARD = 0;
constexpr UCHAR BMREQUEST_CLASS = 1;
constexpr UCHAR BMREQUEST_VENDOR = 2;
constexpr UCHAR BMREQUEST_TO_DEVICE = 0;
constexpr UCHAR BMREQUEST_TO_INTERFACE = 1;
constexpr UCHAR BMREQUEST_TO_ENDPOINT = 2;
constexpr UCHAR BMREQUEST_TO_OTHER = 3;

constexpr UCHAR MakeRequestType(UCHAR dir, UCHAR type, UCHAR recipient) {
  return static_cast<UCHAR>((dir << 7) | (type << 5) | recipient);
}

#pragma pack(push, 1)

struct USB_COMMON_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
};
using PUSB_COMMON_DESCRIPTOR = USB_COMMON_DESCRIPTOR*;

struct USB_DEVICE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT bcdUSB;
  UCHAR bDeviceClass;
  UCHAR bDeviceSubClass;
  UCHAR bDeviceProtocol;
  UCHAR bMaxPacketSize0;
  USHORT idVendor;
  USHORT idProduct;
  USHORT bcdDevice;
  UCHAR iManufacturer;
  UCHAR iProduct;
  UCHAR iSerialNumber;
  UCHAR bNumConfigurations;
};
using PUSB_DEVICE_DESCRIPTOR = USB_DEVICE_DESCRIPTOR*;

struct USB_CONFIGURATION_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT wTotalLength;
  UCHAR bNumInterfaces;
  UCHAR bConfigurationValue;
  UCHAR iConfiguration;
  UCHAR bmAttributes;
  UCHAR MaxPower;
};
using PUSB_CONFIGURATION_DESCRIPTOR = USB_CONFIGURATION_DESCRIPTOR*;

struct USB_INTERFACE_ASSOCIATION_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bFirstInterface;
  UCHAR bInterfaceCount;
  UCHAR bFunctionClass;
  UCHAR bFunctionSubClass;
  UCHAR bFunctionProtocol;
  UCHAR iFunction;
};
using PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR = USB_INTERFACE_ASSOCIATION_DESCRIPTOR*;

struct USB_INTERFACE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bInterfaceNumber;
  UCHAR bAlternateSetting;
  UCHAR bNumEndpoints;
  UCHAR bInterfaceClass;
  UCHAR bInterfaceSubClass;
  UCHAR bInterfaceProtocol;
  UCHAR iInterface;
};
using PUSB_INTERFACE_DESCRIPTOR = USB_INTERFACE_DESCRIPTOR*;

struct USB_ENDPOINT_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bEndpointAddress;
  UCHAR bmAttributes;
  USHORT wMaxPacketSize;
  UCHAR bInterval;
};
using PUSB_ENDPOINT_DESCRIPTOR = USB_ENDPOINT_DESCRIPTOR*;

struct USB_STRING_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  WCHAR bString[1];
};
using PUSB_STRING_DESCRIPTOR = USB_STRING_DESCRIPTOR*;

// The eight bytes of a control transfer's setup stage.
struct USB_DEFAULT_PIPE_SETUP_PACKET {
  UCHAR bmRequestType;
  UCHAR bRequest;
  USHORT wValue;
  USHORT wIndex;
  USHORT wLength;
};
using PUSB_DEFAULT_PIPE_SETUP_PACKET = USB_DEFAULT_PIPE_SETUP_PACKET*;

#pragma pack(pop)

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR) == 8);
static_assert(sizeof(USB_DEFAULT_PIPE_SETUP_PACKET) == 8);

// wMaxPacketSize: bits 0-10 the size, bits 11-12 additional transactions per microframe.
constexpr USHORT USB_ENDPOINT_MAX_PACKET_SIZE(USHORT w) { return static_cast<USHORT>(w & 0x07FF); }
constexpr UINT USB_ENDPOINT_TRANSACTIONS(USHORT w) { return ((w >> 11) & 3u) + 1u; }
