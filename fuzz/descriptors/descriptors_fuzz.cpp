// Fuzz target for the descriptor parsers: dump text conversion, descriptor-set checking,
// the device model answering enumeration on whatever passed, and the USBD walkers on the
// raw bytes.
#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "sim/device/sim_device.h"
#include "usb/usbdlib.h"

namespace {

// Every request the input's bytes spell, three bytes at a time, against every entity.
void Enumerate(sim::device::SimDevice& d, const uint8_t* data, size_t size) {
  std::vector<std::uint8_t> buf(0xFFFF);
  auto request = [&](std::uint8_t type, std::uint8_t req, std::uint16_t value, std::uint16_t index, std::uint16_t len) {
    USB_DEFAULT_PIPE_SETUP_PACKET s{type, req, value, index, len};
    d.Control(s, buf.data());
  };
  for (std::uint16_t index = 0; index < 4; ++index) request(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0200 | index, 0, 0xFFFF);
  request(0x00, USB_REQUEST_SET_CONFIGURATION, d.descriptors().configuration_value(), 0, 0);
  for (auto& i : d.descriptors().interfaces())
    for (auto& a : i.alternates) request(0x01, USB_REQUEST_SET_INTERFACE, a.alternate, i.number, 0);
  const std::uint16_t ac = d.descriptors().audio_control_interface();
  for (auto& [id, e] : d.descriptors().entities()) {
    const auto index = static_cast<std::uint16_t>(id << 8 | ac);
    for (std::uint16_t sel = 0; sel < 4; ++sel) {
      request(0xA1, 0x81, static_cast<std::uint16_t>(sel << 8), index, 2);
      request(0xA1, 0x02, static_cast<std::uint16_t>(sel << 8), index, 14);
    }
    for (size_t k = 0; k + 3 <= size && k < 96; k += 3) {
      const std::uint8_t type = static_cast<std::uint8_t>(0x21 | (data[k] & 0xC2));
      const std::uint16_t value = static_cast<std::uint16_t>(data[k + 1] << 8 | data[k + 2]);
      request(type, data[k], value, index, static_cast<std::uint16_t>(data[k + 2] % 64));
    }
  }
}

// Selects every alternate setting in turn and streams a few packets on each of its
// isochronous endpoints (OUT packets sized from the input's bytes), so the streaming code
// meets whatever formats the descriptors declare.
void Stream(sim::device::SimDevice& d, const uint8_t* data, size_t size) {
  std::vector<std::uint8_t> buf(0x4000);
  for (size_t k = 0; k < buf.size(); ++k) buf[k] = size ? data[k % size] : 0;
  platform::usb::BusMicroframe now = 0;
  size_t cursor = 0;
  for (auto& i : d.descriptors().interfaces()) {
    for (auto& a : i.alternates) {
      USB_DEFAULT_PIPE_SETUP_PACKET set{0x01, USB_REQUEST_SET_INTERFACE, a.alternate, i.number, 0};
      if (!USBD_SUCCESS(d.Control(set, nullptr).status)) continue;
      for (int packet = 0; packet < 4; ++packet) {
        now += 8;
        d.Tick(now);
        for (auto& e : a.endpoints) {
          if (e.type() != USB_ENDPOINT_TYPE_ISOCHRONOUS) continue;
          const ULONG most = std::min<ULONG>(e.packet_bytes(), 0x1000);
          if (e.in()) {
            ULONG got = 0;
            d.IsoIn(e.address, now, buf.data(), most, &got);
          } else {
            const ULONG length = size ? std::min<ULONG>(most, data[cursor++ % size] * 4u) : most;
            d.IsoOut(e.address, now, buf.data(), length);
          }
        }
      }
      for (auto& e : a.endpoints) {
        d.feedback_value(e.address);
        d.received_samples(e.address);
        d.render_stats(e.address);
        d.SamplingRate(e.address);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<sim::device::SimDevice> device;
  std::string error;
  if (sim::device::SimDevice::FromDumpText(text, {}, device, error)) {
    Enumerate(*device, data, size);
    Stream(*device, data, size);
  }

  // The same bytes as a configuration descriptor set on the wire.
  if (size >= 9 && size <= 0xFFFF) {
    std::vector<std::uint8_t> config(data, data + size);
    config[0] = 9;
    config[1] = 2;
    config[2] = static_cast<std::uint8_t>(size);
    config[3] = static_cast<std::uint8_t>(size >> 8);
    auto* cfg = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    for (PVOID start = cfg;;) {
      auto* intf = USBD_ParseConfigurationDescriptorEx(cfg, start, -1, -1, -1, -1, -1);
      if (intf == nullptr) break;
      USBD_ParseDescriptors(cfg, cfg->wTotalLength, intf, USB_ENDPOINT_DESCRIPTOR_TYPE);
      start = reinterpret_cast<std::uint8_t*>(intf) + 1;
    }
    std::vector<std::uint8_t> device_desc = {18, 1, 0, 2, 0, 0, 0, 64, 0, 0, 0, 0, 0, 1, 1, 2, 0, 1};
    sim::device::DescriptorSet set;
    if (sim::device::DescriptorSet::Build(device_desc, config, set, error)) {
      sim::device::SimDevice d(std::move(set), {});
      Enumerate(d, data, size);
      Stream(d, data, size);
    }
  }
  return 0;
}
