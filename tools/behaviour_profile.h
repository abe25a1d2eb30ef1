// A behaviour profile for `uactool describe`: what the device answers beyond its
// descriptors, so that each chip class can be started from a device file. Text, one entry
// per line, '#' starts a comment, numbers in hex (with or without 0x) unless noted:
//
//   model 000B 0005 0050 0041     the model string as UTF-16 code units (at most 51),
//                                 answered at string index 0x50
//   model-index 32                answer it at this string index instead (0x50 or 0x32)
//   vendor C3 81 0000 0009 9F     a vendor register read: bmRequestType, bRequest, wValue,
//                                 wIndex, then the bytes it answers (1 to 64)
//   registers 2004 3002 F800 143F 0000 3000
//                                 six 16-bit chip registers written with HID reports on
//                                 interface 3 (chip class A)
//   setting SupportHPOut 0        a "Settings" DWORD preloaded before the start; the value
//                                 is decimal, or hex with 0x
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/device/sim_device.h"

namespace tools {

struct VendorRead {
  std::uint8_t requestType, request;
  std::uint16_t value, index;
  std::vector<std::uint8_t> bytes;
};

struct BehaviourProfile {
  std::optional<std::u16string> model;
  std::uint8_t modelIndex = 0x50;
  std::vector<VendorRead> vendor;
  std::optional<std::array<std::uint16_t, 6>> registers;
  std::vector<std::pair<std::u16string, std::uint32_t>> settings;
};

// Reads the profile file; false with one line naming the line and the fault in `error`.
bool LoadBehaviourProfile(const std::string& path, BehaviourProfile& profile, std::string& error);

// What the profile sets on the device before and after it is built.
void ApplyStrings(const BehaviourProfile& profile, sim::device::DeviceProfile& device);
void ApplyDevice(const BehaviourProfile& profile, sim::device::SimDevice& device);

}  // namespace tools
