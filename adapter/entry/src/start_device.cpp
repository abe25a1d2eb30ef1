// The start routine: the root USB device object, the topology subdevice and the named
// wave subdevices, the status worker and the private interfaces; and the way back down
// that start failures and removal share.
#include <atomic>

#include "adapter/usb_audio_device.h"
#include "adapter_gate.h"
#include "entry/driver_entry.h"
#include "kernel/dbg.h"
#include "kernel/pool.h"
#include "subdevices.h"

namespace entry {
namespace {

std::atomic<adapter::PFNCREATEMINIPORT> g_TopologyFactory{nullptr};
std::atomic<adapter::PFNCREATEMINIPORT> g_WaveFactory{nullptr};

template <class T>
struct Held {
  T* p = nullptr;
  Held() = default;
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    if (p) p->Release();
  }
  PVOID* out() { return reinterpret_cast<PVOID*>(&p); }
  T* take() {
    T* t = p;
    p = nullptr;
    return t;
  }
};

// A temporary WaveCyclic port tells the PortCls version.
NTSTATUS CheckPortClsVersion() {
  Held<IPort> port;
  NTSTATUS status = PcNewPort(&port.p, CLSID_PortWaveCyclic);
  if (!NT_SUCCESS(status)) return status;
  Held<IPortClsVersion> version;
  if (!NT_SUCCESS(port.p->QueryInterface(IID_IPortClsVersion, version.out())) || !version.p)
    return STATUS_UNSUCCESSFUL;
  return version.p->GetVersion() < kMinPortClsVersion ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

// What the start routine has built so far, taken down in reverse order when a later
// step fails.
struct StartState {
  PDEVICE_OBJECT Fdo = nullptr;
  adapter::IAudioHal* Adapter = nullptr;  // one reference
  PUNKNOWN TopologyPort = nullptr;        // registered; one reference
  PUNKNOWN TopologyMiniport = nullptr;    // one reference
  bool EngineSubdevices = false;          // a wave subdevice may have been installed
  bool EntitiesStarted = false;
  PWSTR Name = nullptr;

  void Unwind() {
    if (EntitiesStarted) Adapter->StopEntities();
    if (EngineSubdevices) {
      UnregisterWaveSubdevices(Adapter, Fdo, false);
      ReleaseTopologyPeers(Adapter);
    }
    if (TopologyPort) {
      Held<IUnregisterSubdevice> unregister;
      if (NT_SUCCESS(TopologyPort->QueryInterface(IID_IUnregisterSubdevice, unregister.out())) && unregister.p)
        unregister.p->UnregisterSubdevice(Fdo, TopologyPort);
    }
    Release();
    if (Adapter) Adapter->Release();
    Adapter = nullptr;
  }

  void Release() {
    if (TopologyPort) TopologyPort->Release();
    if (TopologyMiniport) TopologyMiniport->Release();
    TopologyPort = TopologyMiniport = nullptr;
    if (Name) ExFreePoolWithTag(Name, adapter::kTempPoolTag);
    Name = nullptr;
  }
};

// Step 7 of the start for one engine: its name, its wave subdevice's factory and
// topology peer, then the subdevice itself. Sets *Asio when the endpoint is ASIO-capable.
NTSTATUS StartEngine(StartState& State, adapter::DeviceExtension* Extension, PIRP Irp, ULONG Index, bool* Asio) {
  adapter::IStreamEngine* engine = nullptr;
  NTSTATUS status = State.Adapter->GetEngine(Index, &engine);
  if (!NT_SUCCESS(status)) return status;
  if (!engine) return STATUS_UNSUCCESSFUL;
  status = adapter::AssignEndpointName(Extension, engine, State.Adapter, State.Name);
  if (!NT_SUCCESS(status)) return status;
  adapter::PFNCREATEMINIPORT wave = g_WaveFactory.load();
  if (!wave) return STATUS_INVALID_PARAMETER;
  status = engine->SetMiniportFactory(wave, CLSID_PortWaveCyclic);
  if (!NT_SUCCESS(status)) return status;
  status = engine->SetTopologyPeer(State.TopologyPort, State.TopologyMiniport);
  if (!NT_SUCCESS(status)) return status;
  State.EngineSubdevices = true;
  status = engine->UpdateSubdevice(State.Fdo, Irp, State.Adapter);
  if (!NT_SUCCESS(status)) return status;
  adapter::EndpointCapabilityRecord record = {};
  if (NT_SUCCESS(State.Adapter->GetEngineCapabilityRecord(Index, &record)) &&
      (record.FeatureFlags & adapter::ENDPOINT_FEATURE_ASIO))
    *Asio = true;
  return STATUS_SUCCESS;
}

NTSTATUS EnableLink(PUNICODE_STRING Link, UCHAR* Enabled) {
  NTSTATUS status = IoSetDeviceInterfaceState(Link, TRUE);
  if (NT_SUCCESS(status)) *Enabled = 1;
  return status;
}

}  // namespace

MiniportFactories SetMiniportFactories(const MiniportFactories& Factories) {
  return {g_TopologyFactory.exchange(Factories.Topology), g_WaveFactory.exchange(Factories.WaveCyclic)};
}

MiniportFactories GetMiniportFactories() { return {g_TopologyFactory.load(), g_WaveFactory.load()}; }

NTSTATUS InstallSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, REFCLSID PortClassId, REFCLSID MiniportClassId,
                          adapter::PFNCREATEMINIPORT MiniportFactory, PUNKNOWN UnknownAdapter,
                          PUNKNOWN* OutPortUnknown, PUNKNOWN* OutMiniport) {
  if (OutPortUnknown) *OutPortUnknown = nullptr;
  if (OutMiniport) *OutMiniport = nullptr;
  if (!DeviceObject || !UnknownAdapter || !OutMiniport) return STATUS_INVALID_PARAMETER;
  Held<adapter::IAudioHal> hal;
  NTSTATUS status = UnknownAdapter->QueryInterface(adapter::IID_IAudioHal, hal.out());
  if (!NT_SUCCESS(status)) return status;
  Held<IPort> port;
  status = PcNewPort(&port.p, PortClassId);
  if (!NT_SUCCESS(status)) return status;
  if (!MiniportFactory) return STATUS_INVALID_PARAMETER;
  Held<IUnknown> miniport;
  status = MiniportFactory(&miniport.p, MiniportClassId, nullptr, NonPagedPool, 0);
  if (!NT_SUCCESS(status)) return status;
  if (!miniport.p) return STATUS_UNSUCCESSFUL;
  status = port.p->Init(DeviceObject, Irp, miniport.p, UnknownAdapter, nullptr);
  if (!NT_SUCCESS(status)) return status;
  Held<adapter::IMiniportPinMap> pinMap;
  status = miniport.p->QueryInterface(adapter::IID_IMiniportPinMap, pinMap.out());
  if (!NT_SUCCESS(status)) return status;
  PWSTR name = nullptr;
  status = pinMap.p->GetSubdeviceName(&name);
  if (!NT_SUCCESS(status)) return status;
  if (!name) return STATUS_UNSUCCESSFUL;
  status = PcRegisterSubdevice(DeviceObject, name, port.p);
  if (!NT_SUCCESS(status)) return status;
  if (OutPortUnknown) {
    status = port.p->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(OutPortUnknown));
    if (!NT_SUCCESS(status)) {
      // The caller cannot hold what it asked for: take the registration back.
      Held<IUnregisterSubdevice> unregister;
      if (NT_SUCCESS(port.p->QueryInterface(IID_IUnregisterSubdevice, unregister.out())) && unregister.p)
        unregister.p->UnregisterSubdevice(DeviceObject, port.p);
      *OutPortUnknown = nullptr;
      return status;
    }
  }
  *OutMiniport = miniport.take();
  return STATUS_SUCCESS;
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList) {
  adapter::DeviceExtension* extension = adapter::FindDeviceExtension(DeviceObject);
  if (!extension) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = CheckPortClsVersion();
  if (!NT_SUCCESS(status)) return status;

  StartState state;
  state.Fdo = extension->Fdo;
  status = adapter::CreateUsbAudioDevice(&state.Adapter);
  if (NT_SUCCESS(status))
    status = state.Adapter->Init(ResourceList, state.Fdo, extension->LowerDevice, extension->Pdo);
  if (NT_SUCCESS(status)) status = PcRegisterAdapterPowerManagement(state.Adapter, state.Fdo);
  if (NT_SUCCESS(status)) {
    state.Name = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, adapter::kEndpointNameBufferBytes, adapter::kTempPoolTag));
    if (!state.Name) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status))
    status = InstallSubdevice(DeviceObject, Irp, CLSID_PortTopology, CLSID_PortTopology, g_TopologyFactory.load(),
                              state.Adapter, &state.TopologyPort, &state.TopologyMiniport);
  bool asio = false;
  if (NT_SUCCESS(status)) {
    const ULONG engines = state.Adapter->GetEngineCount();
    for (ULONG i = 0; i < engines && NT_SUCCESS(status); ++i) status = StartEngine(state, extension, Irp, i, &asio);
  }
  if (NT_SUCCESS(status)) {
    state.EntitiesStarted = true;
    status = state.Adapter->StartEntities();
  }
  if (NT_SUCCESS(status)) {
    // A link whose registration failed in AddDevice is not there to enable; the ASIO
    // link's failure is no failure of the start.
    if (asio && extension->AsioLinkRegistered) EnableLink(&extension->AsioLink, &extension->AsioLinkEnabled);
    if (extension->EnumLinkRegistered) status = EnableLink(&extension->EnumLink, &extension->EnumLinkEnabled);
  }
  if (!NT_SUCCESS(status)) {
    if (extension->AsioLinkEnabled) {
      IoSetDeviceInterfaceState(&extension->AsioLink, FALSE);
      extension->AsioLinkEnabled = 0;
    }
    state.Unwind();
    return status;
  }
  state.Release();
  // Requests on other threads find the root object from here on.
  PublishAdapter(extension, state.Adapter);
  return STATUS_SUCCESS;
}

void ReleaseTopologyPeers(adapter::IAudioHal* Adapter) {
  const ULONG engines = Adapter->GetEngineCount();
  for (ULONG i = 0; i < engines; ++i) {
    adapter::IStreamEngine* engine = nullptr;
    if (NT_SUCCESS(Adapter->GetEngine(i, &engine)) && engine) engine->SetTopologyPeer(nullptr, nullptr);
  }
}

void UnregisterWaveSubdevices(adapter::IAudioHal* Adapter, PDEVICE_OBJECT Fdo, bool Report) {
  Held<IUnknown> base;
  if (!NT_SUCCESS(Adapter->QueryInterface(IID_IUnknown, base.out()))) return;
  const ULONG engines = Adapter->GetEngineCount();
  for (ULONG i = 0; i < engines; ++i) {
    adapter::IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(Adapter->GetEngine(i, &engine)) || !engine) return;
    if (!NT_SUCCESS(engine->UnregisterSubdevice(Fdo, nullptr, base.p))) {
      if (Report) DbgPrint("Remove Miniport Failed StreamEngine ulIdx = %d\n", static_cast<int>(i));
      return;
    }
  }
}

void DisableLinks(adapter::DeviceExtension* Extension) {
  if (Extension->AsioLinkEnabled) {
    IoSetDeviceInterfaceState(&Extension->AsioLink, FALSE);
    Extension->AsioLinkEnabled = 0;
  }
  if (Extension->EnumLinkEnabled) {
    IoSetDeviceInterfaceState(&Extension->EnumLink, FALSE);
    Extension->EnumLinkEnabled = 0;
  }
}

void FreeLinks(adapter::DeviceExtension* Extension) {
  if (Extension->AsioLinkRegistered) {
    RtlFreeUnicodeString(&Extension->AsioLink);
    Extension->AsioLinkRegistered = 0;
  }
  if (Extension->EnumLinkRegistered) {
    RtlFreeUnicodeString(&Extension->EnumLink);
    Extension->EnumLinkRegistered = 0;
  }
}

}  // namespace entry
