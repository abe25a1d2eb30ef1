// Status-message sequences into a built model: the driver starts on a device built from a
// real descriptor dump (a UAC 1.0 headset given a status endpoint, or a UAC 2.0 dongle with
// its own), its status worker runs, and the input becomes the messages the device sends on
// its status endpoint, each 0 to 8 bytes of anything. One event may interrupt the
// sequence half-way: a power cycle, a stop and restart of the worker, or the device
// leaving the bus. Besides memory errors, any verifier report (leaked pool, IRQL, lock
// misuse) and any hang are findings.
//
// Input: byte 0 chooses the device (bit 0) and the event (bits 1-2); then each message is
// a length byte (taken modulo 9) followed by that many bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "adapter/audio_class.h"
#include "driver_host.h"
#include "kernel/ke.h"
#include "sim/device/descriptor_dump.h"
#include "sim/device/descriptor_set.h"

namespace {

constexpr std::size_t kMaxMessages = 64;
constexpr std::size_t kMaxMessageBytes = 8;
// Bus time each message may take: a 1.0 word refreshes a whole unit (a request per node
// channel), each request a frame or more.
constexpr LONGLONG kMsPerMessage = 12;

struct Descriptors {
  std::vector<std::uint8_t> device, configuration;
};

Descriptors Load(const char* file, bool addStatusEndpoint) {
  std::ifstream in(std::filesystem::path(UA_DEVICE_DUMPS_DIR) / file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  sim::device::DescriptorDump dump;
  std::string error;
  if (!sim::device::ConvertDescriptorDump(text.str(), dump, error) ||
      (addStatusEndpoint && !sim::device::AddStatusEndpoint(dump.configuration, 0x8E, 2, 8, error))) {
    std::fprintf(stderr, "%s: %s\n", file, error.c_str());
    std::abort();
  }
  return {dump.device, dump.configuration};
}

const Descriptors& Device(bool uac2) {
  static const Descriptors headset = Load("uac1-headset-A.txt", true);
  static const Descriptors dongle = Load("uac2-uac3-dongle-J.txt", false);
  return uac2 ? dongle : headset;
}

void Delay(LONGLONG ms) {
  LARGE_INTEGER due;
  due.QuadPart = -ms * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &due);
}

void SetPower(adapter::IAudioHal* hal, DEVICE_POWER_STATE state) {
  PVOID itf = nullptr;
  if (!NT_SUCCESS(hal->QueryInterface(IID_IAdapterPowerManagement, &itf))) std::abort();
  POWER_STATE s{};
  s.DeviceState = state;
  static_cast<IAdapterPowerManagement*>(itf)->PowerChangeState(s);
  static_cast<PUNKNOWN>(itf)->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool uac2 = data[0] & 1;
  const unsigned event = (data[0] >> 1) & 3;
  std::vector<std::vector<std::uint8_t>> messages;
  for (std::size_t at = 1; at < size && messages.size() < kMaxMessages;) {
    const std::size_t length = data[at++] % (kMaxMessageBytes + 1);
    const std::size_t take = length < size - at ? length : size - at;
    messages.emplace_back(data + at, data + at + take);
    at += take;
  }

  const Descriptors& d = Device(uac2);
  sim::device::DescriptorSet set;
  std::string error;
  if (!sim::device::DescriptorSet::Build(d.device, d.configuration, set, error)) std::abort();
  sim::device::DeviceProfile profile;
  profile.strings[adapter::kModelStringIndex] = u"Neutral";
  auto sim = std::make_unique<sim::device::SimDevice>(std::move(set), std::move(profile));
  sim::device::SimDevice* device = sim.get();
  const std::uint8_t endpoint = device->status_endpoint().value_or(0);

  tools::DriverHost host;
  if (host.Start(std::move(sim)) != STATUS_SUCCESS) std::abort();  // both devices build
  adapter::IAudioHal* hal = host.hal();
  if (!NT_SUCCESS(hal->StartEntities())) std::abort();
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (i == messages.size() / 2) {
      if (event == 1) {
        SetPower(hal, PowerDeviceD3);
        SetPower(hal, PowerDeviceD0);
      } else if (event == 2) {
        hal->StopEntities();
        hal->StartEntities();
      } else if (event == 3) {
        host.port()->controller().RemoveDevice();
      }
    }
    device->PushInterruptData(endpoint, messages[i]);
    Delay(kMsPerMessage);
  }
  if (hal->StopEntities() != STATUS_SUCCESS) std::abort();
  host.Stop();
  if (!host.reports().empty()) {
    for (const auto& report : host.reports()) std::fprintf(stderr, "%s\n", report.c_str());
    std::abort();
  }
  return 0;
}
