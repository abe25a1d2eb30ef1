// The root USB device object's start on arbitrary configuration descriptors: the input is
// a device file (dump text) or, failing that, the configuration descriptor's bytes (the
// first byte choosing the model string: bit 4 clear picks one of four by bits 0-1, bits 4,
// 1 and 0 set pick chip class A's, whose chip register model then answers on interface 3;
// bits 4 and 0, or 4 and 1, chip class B's or C's).
// Whatever the simulated device accepts goes
// through CUsbAudioDevice::Init: configuration, function choice, probe, descriptor
// validation and the builders. Besides memory errors, any verifier report (leaked pool,
// IRQL, lock misuse) is a finding, and a refusal must be a failure status, never a hang.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "driver_host.h"
#include "sim/device/chip_registers.h"
#include "adapter/audio_class.h"

namespace {

const char16_t* const kModels[] = {u"SIMULATED-UAC", u"7426", u"QVK710", u"QVK7"};
// Chip class A's model string starts with these code units rather than text.
const char16_t kChipAModel[] = {0x000B, 0x0005, 0x0050, u'F', 0};

void Run(std::unique_ptr<sim::device::SimDevice> device) {
  tools::DriverHost host;
  const NTSTATUS status = host.Start(std::move(device));
  if (status == STATUS_PENDING) std::abort();
  host.Stop();
  if (!host.reports().empty()) {
    for (const auto& report : host.reports()) std::fprintf(stderr, "%s\n", report.c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  std::unique_ptr<sim::device::SimDevice> device;
  sim::device::DeviceProfile profile;
  profile.strings[adapter::kModelStringIndex] = kModels[0];
  if (sim::device::SimDevice::FromDumpText(text, profile, device, error)) {
    Run(std::move(device));
    return 0;
  }

  if (size < 10 || size > 0xFFFF + 1) return 0;
  const std::uint8_t choice = data[0];
  std::vector<std::uint8_t> config(data + 1, data + size);
  config[0] = 9;
  config[1] = 2;
  config[2] = static_cast<std::uint8_t>(config.size());
  config[3] = static_cast<std::uint8_t>(config.size() >> 8);
  // Vendor and product from the choice byte, so the product quirks are reached too.
  const std::uint8_t vendors[][4] = {{0x34, 0x12, 0x01, 0x00}, {0x1C, 0x1B, 0x04, 0x0A},
                                     {0x7F, 0x04, 0x57, 0xD9}, {0x7A, 0x0E, 0x58, 0x00}};
  const auto& v = vendors[(choice >> 2) & 3];
  std::vector<std::uint8_t> device_desc = {18, 1, 0, 2, 0, 0, 0, 64, v[0], v[1], v[2], v[3], 0, 1, 1, 2, 0, 1};
  sim::device::DeviceProfile raw;
  const bool chipA = (choice & 0x13) == 0x13;
  if ((choice & 0x10) == 0) raw.strings[adapter::kModelStringIndex] = kModels[choice & 3];
  if (chipA) raw.strings[adapter::kModelStringIndex] = kChipAModel;
  // Bits 4 and 0, or 4 and 1, set: chip class B's or C's model string.
  if ((choice & 0x13) == 0x11) raw.strings[adapter::kModelStringIndex] = u"7403";
  if ((choice & 0x13) == 0x12) raw.strings[adapter::kModelStringIndex] = u"7415";
  sim::device::DescriptorSet set;
  if (!sim::device::DescriptorSet::Build(device_desc, config, set, error)) return 0;
  auto sim = std::make_unique<sim::device::SimDevice>(std::move(set), std::move(raw));
  sim->SetVendorData(0xC3, 0x02, 0x0051, 0, {static_cast<std::uint8_t>(choice & 0x20 ? 0x1F : 0x1E)});
  sim->SetVendorData(0xC3, 0x00, 0x001A, 0, {static_cast<std::uint8_t>(choice)});
  sim->SetVendorData(0xC3, 0x00, 0x0020, 0, {static_cast<std::uint8_t>(choice >> 6)});
  if (chipA) {
    sim->SetVendorData(0xC3, 0x81, 0, 9, {0x9F});
    sim->SetVendorData(0xC3, 0x81, 0, 8, {static_cast<std::uint8_t>(choice & 0x20 ? 3 : 2)});
    sim::device::ChipRegisters(3).Install(*sim);
  }
  Run(std::move(sim));
  return 0;
}
