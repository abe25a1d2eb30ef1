#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kernel/pool.h"
#include "usb/usbdlib.h"
#include "usb/usbioctl.h"

namespace {

// A microphone's configuration: Audio Control interface 0, streaming interface 1 with
// alternate settings 0 (no endpoint) and 1 (one isochronous IN endpoint).
const std::vector<UCHAR> kMicrophone = {
    0x09, 0x02, 0x64, 0x00, 0x02, 0x01, 0x00, 0x80, 0x0a, 0x09, 0x04, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00,
    0x09, 0x24, 0x01, 0x00, 0x01, 0x1e, 0x00, 0x01, 0x01, 0x0c, 0x24, 0x02, 0x01, 0x01, 0x02, 0x00, 0x01, 0x00,
    0x00, 0x00, 0x00, 0x09, 0x24, 0x03, 0x02, 0x01, 0x01, 0x00, 0x01, 0x00, 0x09, 0x04, 0x01, 0x00, 0x00, 0x01,
    0x02, 0x00, 0x00, 0x09, 0x04, 0x01, 0x01, 0x01, 0x01, 0x02, 0x00, 0x00, 0x07, 0x24, 0x01, 0x02, 0x01, 0x01,
    0x00, 0x0b, 0x24, 0x02, 0x01, 0x01, 0x02, 0x10, 0x01, 0x40, 0x1f, 0x00, 0x09, 0x05, 0x81, 0x01, 0x10, 0x00,
    0x01, 0x00, 0x00, 0x07, 0x25, 0x01, 0x00, 0x00, 0x00, 0x00};

PUSB_CONFIGURATION_DESCRIPTOR Config(std::vector<UCHAR>& bytes) {
  return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

TEST(UsbLayouts, PublishedSizesAndCodes) {
  EXPECT_EQ(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 136u);
  EXPECT_EQ(sizeof(_URB_ISOCH_TRANSFER), 152u);
  EXPECT_EQ(GET_ISO_URB_SIZE(10), 152u + 120u);
  EXPECT_EQ(GET_SELECT_INTERFACE_REQUEST_SIZE(0), 56u);
  EXPECT_EQ(GET_SELECT_INTERFACE_REQUEST_SIZE(2), 104u);
  EXPECT_EQ(GET_USBD_INTERFACE_SIZE(0), 24u);
  EXPECT_EQ(IOCTL_INTERNAL_USB_SUBMIT_URB, 0x220003u);
  EXPECT_EQ(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, 0x220027u);
  EXPECT_EQ(sizeof(USB_BUS_INTERFACE_USBDI_V1), 72u);
}

TEST(UsbdStatus, MapsToNtStatus) {
  EXPECT_EQ(UsbdStatusToNtStatus(USBD_STATUS_SUCCESS), STATUS_SUCCESS);
  EXPECT_EQ(UsbdStatusToNtStatus(USBD_STATUS_CANCELED), STATUS_CANCELLED);
  EXPECT_EQ(UsbdStatusToNtStatus(USBD_STATUS_DEVICE_GONE), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(UsbdStatusToNtStatus(USBD_STATUS_STALL_PID), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(UsbdStatusToNtStatus(USBD_STATUS_BAD_START_FRAME), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(USBD_ERROR(USBD_STATUS_STALL_PID));
  EXPECT_FALSE(USBD_SUCCESS(USBD_STATUS_INVALID_PARAMETER));
  EXPECT_FALSE(USBD_ERROR(USBD_STATUS_INVALID_PARAMETER));
  EXPECT_TRUE(USBD_PENDING(USBD_STATUS_PENDING));
}

TEST(UsbdParse, FindsInterfacesByEveryCriterion) {
  auto bytes = kMicrophone;
  auto* cfg = Config(bytes);
  auto* ac = USBD_ParseConfigurationDescriptorEx(cfg, cfg, -1, -1, 1, 1, -1);
  ASSERT_NE(ac, nullptr);
  EXPECT_EQ(ac->bInterfaceNumber, 0);
  auto* as1 = USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 1, 1, 2, -1);
  ASSERT_NE(as1, nullptr);
  EXPECT_EQ(as1->bNumEndpoints, 1);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 2, -1, -1, -1), nullptr);
  // Starting after the first match finds the next one.
  auto* as0 = USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, -1, -1, -1, -1);
  ASSERT_NE(as0, nullptr);
  EXPECT_EQ(as0->bAlternateSetting, 0);
  auto* next = USBD_ParseConfigurationDescriptorEx(cfg, reinterpret_cast<UCHAR*>(as0) + 9, 1, -1, -1, -1, -1);
  EXPECT_EQ(next, as1);
  auto* ep = USBD_ParseDescriptors(cfg, cfg->wTotalLength, as1, USB_ENDPOINT_DESCRIPTOR_TYPE);
  ASSERT_NE(ep, nullptr);
  EXPECT_EQ(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(ep)->bEndpointAddress, 0x81);
  EXPECT_EQ(USBD_ParseDescriptors(cfg, cfg->wTotalLength, cfg, 0x30), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, nullptr, -1, -1, -1, -1, -1), nullptr);
}

TEST(UsbdParse, StaysInsideMalformedSets) {
  // bLength 0, a descriptor running past wTotalLength, a wTotalLength beyond the bytes the
  // caller vouches for: the walk stops instead of looping or reading past the end.
  auto zero = kMicrophone;
  zero[18] = 0;
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(Config(zero), Config(zero), 1, -1, -1, -1, -1), nullptr);
  auto overrun = kMicrophone;
  overrun[overrun.size() - 7] = 0x40;  // the last descriptor claims 64 bytes
  EXPECT_EQ(USBD_ParseDescriptors(Config(overrun), Config(overrun)->wTotalLength, Config(overrun), 0x25), nullptr);
  auto cut = kMicrophone;
  EXPECT_EQ(USBD_ParseDescriptors(Config(cut), 60, Config(cut), USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(Config(cut), 60, cut.data() + 80, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
  // An interface descriptor shorter than 9 bytes is not taken for one.
  auto shortif = kMicrophone;
  const UCHAR replaced[9] = {0x02, 0x04, 0x07, 0x30, 0, 0, 0, 0, 0};  // 2-byte "interface", 7-byte other
  std::memcpy(shortif.data() + 9, replaced, 9);
  auto* found = USBD_ParseConfigurationDescriptorEx(Config(shortif), Config(shortif), -1, -1, -1, -1, -1);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->bInterfaceNumber, 1);
}

TEST(UsbdCreateConfigurationRequest, BuildsOneBlockPerInterface) {
  platform::pool::LeakScope leaks;
  auto bytes = kMicrophone;
  auto* cfg = Config(bytes);
  USBD_INTERFACE_LIST_ENTRY list[3] = {
      {USBD_ParseConfigurationDescriptorEx(cfg, cfg, 0, 0, -1, -1, -1), nullptr},
      {USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 1, -1, -1, -1), nullptr},
      {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(cfg, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbHeader.Length, 24u + 8 + 8 + 24 + 48);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cfg);
  ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(list[0].Interface->Length, 24u);
  EXPECT_EQ(list[0].Interface->NumberOfPipes, 0u);
  ASSERT_EQ(reinterpret_cast<UCHAR*>(list[1].Interface), reinterpret_cast<UCHAR*>(list[0].Interface) + 24);
  EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
  EXPECT_EQ(list[1].Interface->AlternateSetting, 1);
  EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
  EXPECT_EQ(list[1].Interface->Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  ExFreePool(urb);

  // An entry outside the configuration, or no memory: no URB.
  UCHAR stray[9] = {9, 4, 0, 0, 0, 1, 1, 0, 0};
  USBD_INTERFACE_LIST_ENTRY bad[2] = {{reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(stray), nullptr}, {nullptr, nullptr}};
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(cfg, bad), nullptr);
  platform::pool::FailNthAllocation(1);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(cfg, list), nullptr);
  platform::pool::ClearFaultInjection();
  EXPECT_TRUE(leaks.Check());
}

}  // namespace
