// KS requests as a client sends them, against a topology and a wave filter of fake
// miniports and against the driver's own topology filter. Input: one selector byte (bit
// 0: the fake wave filter, bit 1: an event enable instead of a property, bit 2: the
// driver's topology filter), a little-endian u32 value size (capped), then the request.
// The layer and the driver must answer every request without a crash, a leak, a
// verifier report or a value larger than the buffer given. Seeds include node requests
// shorter than a KSP_NODE (or KSE_NODE), the fakes' diagnostic handlers (partial answers,
// over-reported sizes, the IRP) and requests on every node and pin property of the
// driver's filter.
//
// The driver's filter stands on a simulated UAC 1.0 device with every feature-unit
// control (mute, volume, bass, mid, treble, AGC, loudness) on its render path and a
// two-input selector on its capture path, installed as the adapter's start routine
// installs it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "adapter/audio_class.h"
#include "adapter/uac_function.h"
#include "driver_host.h"
#include "filters/miniport_topology.h"
#include "installed.h"
#include "kernel/clock.h"
#include "portcls/ksclient.h"
#include "uac/unit_interfaces.h"

namespace {

std::vector<std::uint8_t> EveryControlConfiguration() {
  const std::vector<std::vector<std::uint8_t>> pieces = {
      {9, 4, 0, 0, 0, 1, 1, 0, 0},                      // Audio Control interface
      {9, 0x24, 1, 0x00, 0x01, 84, 0, 1, 1},             // header, streaming interface 1
      {12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0},    // streaming input 1
      {13, 0x24, 6, 2, 1, 2, 0x5F, 0x02, 0, 0, 0, 0, 0},  // feature unit 2, every control on the master
      {9, 0x24, 3, 3, 0x01, 0x03, 0, 2, 0},              // speaker 3
      {12, 0x24, 2, 4, 0x01, 0x02, 0, 1, 0, 0, 0, 0},    // microphone 4
      {12, 0x24, 2, 5, 0x03, 0x06, 0, 2, 3, 0, 0, 0},    // line 5
      {8, 0x24, 5, 6, 2, 4, 5, 0},                       // selector 6
      {9, 0x24, 3, 7, 0x01, 0x01, 0, 6, 0},              // streaming output 7
      {9, 4, 1, 0, 0, 1, 2, 0, 0},                       // Audio Streaming interface, idle
      {9, 4, 1, 1, 1, 1, 2, 0, 0},                       // and active
      {7, 0x24, 1, 1, 1, 1, 0},
      {11, 0x24, 2, 1, 2, 2, 16, 1, 0x80, 0xBB, 0x00},
      {9, 5, 0x01, 0x09, 192, 0, 1, 0, 0},
      {7, 0x25, 1, 1, 0, 0, 0}};
  std::vector<std::uint8_t> config = {9, 2, 0, 0, 2, 1, 0, 0x80, 50};
  for (const auto& p : pieces) config.insert(config.end(), p.begin(), p.end());
  config[2] = static_cast<std::uint8_t>(config.size());
  config[3] = static_cast<std::uint8_t>(config.size() >> 8);
  return config;
}

// The driver's model on the simulated device, with its topology filter registered.
struct DriverTopology {
  tools::DriverHost host;
  PPORT port = nullptr;
  PUNKNOWN miniport = nullptr;
  std::unique_ptr<platform::ks::Filter> filter;
  PCALLBACK_OBJECT changes = nullptr;
  bool ready = false;

  DriverTopology() {
    const std::vector<std::uint8_t> device = {18, 1, 0, 2, 0, 0, 0, 64, 0x34, 0x12, 0x01, 0x00, 0, 1, 1, 2, 0, 1};
    sim::device::DescriptorSet set;
    std::string error;
    if (!sim::device::DescriptorSet::Build(device, EveryControlConfiguration(), set, error)) return;
    sim::device::DeviceProfile profile;
    profile.strings[adapter::kModelStringIndex] = u"SIMULATED-UAC";
    if (!NT_SUCCESS(host.Start(std::make_unique<sim::device::SimDevice>(std::move(set), std::move(profile))))) return;
    PDEVICE_OBJECT fdo = host.hal()->GetDeviceObject();
    if (!NT_SUCCESS(PcNewPort(&port, CLSID_PortTopology)) ||
        !NT_SUCCESS(filters::CreateMiniportTopology(&miniport, CLSID_PortTopology, nullptr, NonPagedPool, 0)) ||
        !NT_SUCCESS(port->Init(fdo, nullptr, miniport, host.hal(), nullptr)))
      return;
    std::vector<WCHAR> name(std::begin(filters::kTopologySubdeviceName), std::end(filters::kTopologySubdeviceName));
    if (!NT_SUCCESS(PcRegisterSubdevice(fdo, name.data(), port)) ||
        !NT_SUCCESS(platform::ks::OpenFilter(fdo, filters::kTopologySubdeviceName, &filter)))
      return;
    PVOID itf = nullptr;
    if (NT_SUCCESS(host.hal()->QueryInterface(adapter::IID_IUacFunction, &itf))) {
      static_cast<adapter::IUacFunction*>(itf)->GetCallbackObject(&changes);
      static_cast<adapter::IUacFunction*>(itf)->Release();
    }
    ready = filter != nullptr;
  }
};

struct Target {
  DriverTopology driver;  // first: it sets up the clock and the platform thread
  fakes::InstalledDevice device{15};
  std::unique_ptr<platform::ks::Filter> topology;
  std::unique_ptr<platform::ks::Filter> wave;
  Target() {
    // The setup is fixed: a driver filter that does not come up is a finding itself.
    if (!driver.ready) {
      for (const auto& report : driver.host.reports()) std::fprintf(stderr, "%s\n", report.c_str());
      std::fprintf(stderr, "the driver's topology filter did not come up\n");
      std::abort();
    }
    platform::ks::OpenFilter(device.device, device.topologyName, &topology);
    platform::ks::OpenFilter(device.device, device.waveName, &wave);
  }
};

// Verifier reports of the driver's side (pool, IRQL, locks, buffer overruns) are
// findings.
void CheckReports(const tools::DriverHost& host) {
  if (host.reports().empty()) return;
  for (const auto& report : host.reports()) std::fprintf(stderr, "%s\n", report.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Target* target = new Target;  // lives for the process, as a loaded driver would
  if (size < 5 || !target->topology || !target->wave) return 0;
  uint8_t selector = data[0];
  uint32_t valueSize;
  std::memcpy(&valueSize, data + 1, sizeof(valueSize));
  valueSize %= 4097;
  std::vector<uint8_t> request(data + 5, data + size);
  const bool driver = (selector & 4) != 0;
  platform::ks::Filter& filter =
      driver ? *target->driver.filter : (selector & 1) ? *target->wave : *target->topology;

  if (selector & 2) {
    platform::ks::EventHandle handle = 0;
    NTSTATUS status = filter.EnableEvent(request.data(), static_cast<ULONG>(request.size()), [] {}, &handle);
    if (NT_SUCCESS(status) && handle) {
      if (driver) {
        // A change on every entity the model has, as the status workers publish them.
        for (ULONG id = 0; id < target->driver.host.hal()->GetEntityCount() + 1; ++id)
          uac::PublishControlChange(target->driver.changes, id);
        platform::clock::Settle();
      } else {
        target->device.topology->RaiseControlChange(0);
      }
      if (!NT_SUCCESS(filter.DisableEvent(handle))) std::abort();
    }
    if (driver) CheckReports(target->driver.host);
    return 0;
  }
  // The fake's deliberately overrunning handler is the verifier's own test case, not a
  // finding: it is left out here.
  if (!driver && request.size() >= sizeof(KSPROPERTY)) {
    KSPROPERTY property;
    std::memcpy(&property, request.data(), sizeof property);
    if (IsEqualGUID(property.Set, fakes::KSPROPSETID_FakeDiagnostics) && property.Id == fakes::kDiagnosticOverrun) return 0;
  }
  std::vector<uint8_t> value(valueSize);
  // A SET takes its value from the input after the request, when there is one.
  for (size_t i = 0; i < value.size() && i < request.size(); ++i) value[i] = request[request.size() - 1 - i];
  ULONG returned = 0;
  NTSTATUS status = filter.Property(request.data(), static_cast<ULONG>(request.size()), value.empty() ? nullptr : value.data(),
                                    valueSize, &returned);
  // Whatever the status (a warning carries data too), never more than the buffer holds;
  // only a size query (no buffer) answers with the size needed.
  if (valueSize && returned > valueSize) std::abort();
  if (!valueSize && returned && status != STATUS_BUFFER_OVERFLOW) std::abort();
  if (driver) CheckReports(target->driver.host);
  return 0;
}
