// Helpers shared by the simulated-device tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/device/sim_device.h"
#include "usb/usbdlib.h"

namespace sim::device::test {

inline std::string ReadDump(const std::string& name) {
  std::ifstream in(std::filesystem::path(UA_DEVICE_DUMPS_DIR) / name, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline std::unique_ptr<SimDevice> Load(const std::string& name, DeviceProfile profile = {}) {
  std::unique_ptr<SimDevice> d;
  std::string error;
  if (!SimDevice::FromDumpText(ReadDump(name), std::move(profile), d, error)) return nullptr;
  return d;
}

struct Reply {
  USBD_STATUS status;
  std::vector<std::uint8_t> data;
  bool stalled() const { return status == USBD_STATUS_STALL_PID; }
};

inline Reply Request(SimDevice& d, std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                     std::uint16_t length, std::vector<std::uint8_t> out = {}) {
  USB_DEFAULT_PIPE_SETUP_PACKET s{type, request, value, index, length};
  std::vector<std::uint8_t> buf(length);
  if (!(type & 0x80)) std::copy(out.begin(), out.end(), buf.begin());
  auto r = d.Control(s, buf.empty() ? nullptr : buf.data());
  buf.resize(r.length);
  return {r.status, buf};
}

inline Reply Get(SimDevice& d, std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                 std::uint16_t length) {
  return Request(d, static_cast<std::uint8_t>(type | 0x80), request, value, index, length);
}

inline Reply Set(SimDevice& d, std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                 std::vector<std::uint8_t> data) {
  return Request(d, type, request, value, index, static_cast<std::uint16_t>(data.size()), data);
}

inline void Configure(SimDevice& d, std::uint8_t interface_number = 0xFF, std::uint8_t alternate = 0) {
  Set(d, 0x00, USB_REQUEST_SET_CONFIGURATION, d.descriptors().configuration_value(), 0, {});
  if (interface_number != 0xFF) Set(d, 0x01, USB_REQUEST_SET_INTERFACE, alternate, interface_number, {});
}

// Copies the device's configuration descriptor into `config` and builds the request selecting
// it with alternate setting 0 of every interface (nullptr on failure; free with ExFreePool).
inline PURB SelectDefaultsRequest(const SimDevice& d, std::vector<std::uint8_t>& config) {
  auto cfg = d.Configuration();
  config.assign(cfg.begin(), cfg.end());
  auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  for (auto& i : d.descriptors().interfaces())
    list.push_back({USBD_ParseConfigurationDescriptorEx(c, c, i.number, 0, -1, -1, -1), nullptr});
  list.push_back({nullptr, nullptr});
  return USBD_CreateConfigurationRequestEx(c, list.data());
}

inline std::vector<std::uint8_t> Le16(int v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
}

}  // namespace sim::device::test
