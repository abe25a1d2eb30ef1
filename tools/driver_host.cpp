#include "driver_host.h"

#include <cstdio>

#include "kernel/device_registry.h"
#include "kernel/io.h"
#include "kernel/pool.h"
#include "kernel/registry.h"
#include "kernel/verifier.h"
#include "entry/driver_layers.h"
#include "adapter/endpoint_type.h"
#include "adapter/miniport_pin_map.h"
#include "adapter/object_model.h"
#include "filters/miniport_topology.h"
#include "filters/miniport_wave_cyclic.h"
#include "kernel/rtl.h"

namespace tools {
namespace {

constexpr ULONG kHostPoolTag = MakePoolTag('H', 'o', 's', 't');

// What an engine is left joined to once the device's filters are gone: a pin map that
// maps nothing. The engines hold their topology peer, and the topology miniport holds
// the adapter, so the real peer must be let go before the adapter can go.
class CDetachedPeer : public adapter::IMiniportPinMap, public CUnknown {
 public:
  explicit CDetachedPeer(PUNKNOWN outer) : CUnknown(outer) {}
  DECLARE_STD_UNKNOWN() {
    if (object && IsEqualGUID(iid, adapter::IID_IMiniportPinMap))
      return adapter::ReturnInterface<adapter::IMiniportPinMap>(this, object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
  }
  STDMETHODIMP MapPin(ULONG, PULONG) override { return STATUS_NOT_FOUND; }
  STDMETHODIMP GetSubdeviceName(PWSTR*) override { return STATUS_NOT_FOUND; }
};

std::u16string HardwareId(const sim::device::SimDevice& sim) {
  const auto& d = sim.descriptors().device();
  char text[32];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", (d[8] | d[9] << 8) & 0xFFFF, (d[10] | d[11] << 8) & 0xFFFF);
  std::string ascii = text;
  return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace

DriverHost::DriverHost() {
  platform::verifier::SetHandler([this](const platform::verifier::Violation& v) {
    reports_.push_back("verifier: " + std::string(platform::verifier::CheckName(v.check)) + " in " + v.api + ": " +
                       v.detail);
  });
  platform::clock::Reset();
  thread_ = std::make_unique<platform::clock::ScopedPlatformThread>("main");
  platform::registry::Clear();
  leaks_.emplace();
  entry::RegisterDriverLayers();
  driver_ = platform::io::CreateDriverObject(u"\\Driver\\usbaudio");
}

DriverHost::~DriverHost() {
  Stop();
  thread_.reset();
  platform::clock::Reset();
  platform::verifier::SetHandler(nullptr);
}

NTSTATUS DriverHost::Start(std::unique_ptr<sim::device::SimDevice> device) {
  sim_ = std::move(device);
  port_ = std::make_unique<platform::usb::UsbPort>(sim_.get());
  if (IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo_) != STATUS_SUCCESS)
    return STATUS_INSUFFICIENT_RESOURCES;
  lower_ = IoAttachDeviceToDeviceStack(fdo_, port_->pdo());
  if (!lower_) return STATUS_UNSUCCESSFUL;
  fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  platform::pnp::DeviceConfig config;
  config.deviceId = HardwareId(*sim_);
  config.hardwareIds = {config.deviceId + u"&REV_0100", config.deviceId};
  if (!platform::pnp::RegisterDevice(port_->pdo(), config) || !platform::pnp::RegisterDevice(fdo_, config))
    return STATUS_UNSUCCESSFUL;
  NTSTATUS status = adapter::CreateUsbAudioDevice(&hal_);
  if (!NT_SUCCESS(status)) return status;
  return hal_->Init(nullptr, fdo_, lower_, port_->pdo());
}

std::u16string DriverHost::DriverKeyPath() const {
  return port_ ? platform::pnp::DriverKeyPath(port_->pdo()) : std::u16string();
}

NTSTATUS DriverHost::InstallFilters() {
  if (!hal_ || topologyPort_) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = PcNewPort(&topologyPort_, CLSID_PortTopology);
  if (NT_SUCCESS(status))
    status = filters::CreateMiniportTopology(&topologyMiniport_, CLSID_PortTopology, nullptr, NonPagedPool, 0);
  if (NT_SUCCESS(status)) status = topologyPort_->Init(fdo_, nullptr, topologyMiniport_, hal_, nullptr);
  PVOID itf = nullptr;
  PWSTR name = nullptr;
  if (NT_SUCCESS(status)) status = topologyMiniport_->QueryInterface(adapter::IID_IMiniportPinMap, &itf);
  if (NT_SUCCESS(status)) {
    status = static_cast<adapter::IMiniportPinMap*>(itf)->GetSubdeviceName(&name);
    static_cast<PUNKNOWN>(itf)->Release();
  }
  if (NT_SUCCESS(status) && !name) status = STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo_, name, topologyPort_);
  if (!NT_SUCCESS(status)) {
    if (topologyMiniport_) topologyMiniport_->Release();
    if (topologyPort_) topologyPort_->Release();
    topologyMiniport_ = nullptr;
    topologyPort_ = nullptr;
    return status;
  }
  // Wave filters are named by endpoint type and direction, numbered per type.
  ULONG outputs[adapter::kEndpointTypeCount] = {}, inputs[adapter::kEndpointTypeCount] = {};
  for (ULONG i = 0; i < hal_->GetEngineCount() && NT_SUCCESS(status); ++i) {
    adapter::IStreamEngine* engine = nullptr;
    status = hal_->GetEngine(i, &engine);
    if (!NT_SUCCESS(status)) break;
    const ULONG type = engine->GetEndpointType();
    const bool capture = engine->GetDirection() != adapter::STREAM_DIRECTION_RENDER;
    PCWSTR prefix = adapter::EndpointTypePrefix(type);
    ULONG* counter = adapter::IsValidEndpointType(type) ? &(capture ? inputs : outputs)[type] : nullptr;
    WCHAR engineName[64];
    RtlStringCbPrintfW(engineName, sizeof engineName, capture ? u"%sIn%02d" : u"%sOut%02d", prefix ? prefix : u"Stream",
                       counter ? (*counter)++ : 0u);
    status = engine->SetName(engineName);
    if (NT_SUCCESS(status)) status = engine->SetMiniportFactory(filters::CreateMiniportWaveCyclic, CLSID_PortWaveCyclic);
    if (NT_SUCCESS(status)) status = engine->SetTopologyPeer(topologyPort_, topologyMiniport_);
    if (NT_SUCCESS(status)) waveEngines_.push_back(engine);  // holds the peer from here on
    if (NT_SUCCESS(status)) status = engine->UpdateSubdevice(fdo_, nullptr, hal_);
  }
  return status;
}

void DriverHost::Stop() {
  if (stopped_) return;
  stopped_ = true;
  // As at removal: the wave subdevices go before the topology subdevice, and the engines
  // let their topology peer go.
  adapter::IMiniportPinMap* detached = nullptr;
  if (!waveEngines_.empty())
    adapter::CreateInstance<CDetachedPeer>(&detached, nullptr, NonPagedPool, kHostPoolTag);
  for (adapter::IStreamEngine* engine : waveEngines_) {
    engine->UnregisterSubdevice(fdo_, nullptr, hal_);
    if (detached) engine->SetTopologyPeer(detached, detached);
  }
  if (detached) detached->Release();
  waveEngines_.clear();
  if (topologyPort_) {
    PVOID itf = nullptr;
    if (NT_SUCCESS(topologyPort_->QueryInterface(IID_IUnregisterSubdevice, &itf)) && itf) {
      static_cast<PUNREGISTERSUBDEVICE>(itf)->UnregisterSubdevice(fdo_, topologyPort_);
      static_cast<PUNREGISTERSUBDEVICE>(itf)->Release();
    }
    topologyPort_->Release();
    topologyPort_ = nullptr;
  }
  if (topologyMiniport_) topologyMiniport_->Release();
  topologyMiniport_ = nullptr;
  if (hal_) hal_->Release();
  hal_ = nullptr;
  platform::clock::Settle();
  if (fdo_) {
    if (lower_) IoDetachDevice(lower_);
    IoDeleteDevice(fdo_);
  }
  fdo_ = lower_ = nullptr;
  port_.reset();
  sim_.reset();
  platform::pnp::UnregisterAllDevices();
  if (driver_) platform::io::DeleteDriverObject(driver_);
  driver_ = nullptr;
  platform::registry::Clear();
  if (leaks_) leaks_->Check();  // a leak is a verifier report
  leaks_.reset();
}

}  // namespace tools
