// The engine's wave subdevice: the factory it is made with, the topology peer its bridge
// pin joins, and its registration as the endpoint's connection state changes.
#include "adapter/audio_hal.h"
#include "adapter/stream_engine.h"
#include "portcls/portcls.h"

namespace adapter {
namespace {

// The wave filter's bridge pin, joined to the topology filter.
constexpr ULONG kWaveBridgePin = 1;
// The topology pin of a wave filter whose bridge pin joins nothing.
constexpr ULONG kNoTopologyPin = ~0u;

}  // namespace

STDMETHODIMP CStreamEngine::SetMiniportFactory(PFNCREATEMINIPORT Factory, REFCLSID ClassId) {
  if (!Factory) return STATUS_INVALID_PARAMETER_2;
  m_pfnMiniportFactory = Factory;
  m_MiniportClassId = ClassId;
  return STATUS_SUCCESS;
}

STDMETHODIMP CStreamEngine::SetTopologyPeer(PUNKNOWN TopologyPort, PUNKNOWN TopologyMiniport) {
  if (!TopologyPort && !TopologyMiniport) {
    // The topology miniport holds the adapter, which holds this engine: the peer is let
    // go when the device goes, or neither would ever be freed.
    if (m_pTopologyPort) m_pTopologyPort->Release();
    if (m_pTopologyPinMap) m_pTopologyPinMap->Release();
    m_pTopologyPort = nullptr;
    m_pTopologyPinMap = nullptr;
    return STATUS_SUCCESS;
  }
  if (!TopologyPort || !TopologyMiniport) return STATUS_NO_SUCH_DEVICE;
  PMINIPORTPINMAP pinMap = nullptr;
  NTSTATUS status = TopologyMiniport->QueryInterface(IID_IMiniportPinMap, reinterpret_cast<PVOID*>(&pinMap));
  if (!NT_SUCCESS(status)) return status;
  TopologyPort->AddRef();
  if (m_pTopologyPort) m_pTopologyPort->Release();
  if (m_pTopologyPinMap) m_pTopologyPinMap->Release();
  m_pTopologyPort = TopologyPort;
  m_pTopologyPinMap = pinMap;
  return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::InstallWaveSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN Adapter) {
  if (!Adapter || !m_pfnMiniportFactory) return STATUS_UNSUCCESSFUL;
  if (!m_pTopologyPinMap) return STATUS_UNSUCCESSFUL;  // nothing to join the bridge pin to

  // This engine's index among the adapter's engines names it to the miniport.
  PVOID hal = nullptr;
  NTSTATUS status = Adapter->QueryInterface(IID_IAudioHal, &hal);
  if (!NT_SUCCESS(status) || !hal) return STATUS_UNSUCCESSFUL;
  auto* audioHal = static_cast<IAudioHal*>(hal);
  ULONG index = 0;
  bool found = false;
  const ULONG engines = audioHal->GetEngineCount();
  for (ULONG i = 0; i < engines && !found; ++i) {
    IStreamEngine* engine = nullptr;
    if (NT_SUCCESS(audioHal->GetEngine(i, &engine)) && engine == static_cast<IStreamEngine*>(this)) {
      index = i;
      found = true;
    }
  }
  audioHal->Release();
  if (!found) return STATUS_UNSUCCESSFUL;

  PPORT port = nullptr;
  status = PcNewPort(&port, m_MiniportClassId);
  if (!NT_SUCCESS(status)) return status;
  PUNKNOWN miniport = nullptr;
  status = m_pfnMiniportFactory(&miniport, m_MiniportClassId, nullptr, NonPagedPool, index);
  if (NT_SUCCESS(status) && !miniport) status = STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status)) status = port->Init(DeviceObject, Irp, miniport, Adapter, nullptr);

  PMINIPORTPINMAP pinMap = nullptr;
  PWSTR name = nullptr;
  ULONG terminal = 0;
  ULONG topologyPin = 0;
  if (NT_SUCCESS(status)) status = miniport->QueryInterface(IID_IMiniportPinMap, reinterpret_cast<PVOID*>(&pinMap));
  if (NT_SUCCESS(status)) status = pinMap->GetSubdeviceName(&name);
  if (NT_SUCCESS(status) && !name) status = STATUS_UNSUCCESSFUL;
  // A bridge pin that joins no streaming terminal (the path has none the miniport finds),
  // or one the topology filter does not know, leaves the filter without a physical
  // connection; it still streams.
  if (NT_SUCCESS(status)) {
    if (!NT_SUCCESS(pinMap->MapPin(0, &terminal)) || !NT_SUCCESS(m_pTopologyPinMap->MapPin(terminal, &topologyPin)))
      topologyPin = kNoTopologyPin;
  }
  if (NT_SUCCESS(status)) status = PcRegisterSubdevice(DeviceObject, name, port);
  if (pinMap) pinMap->Release();
  if (miniport) miniport->Release();  // the port holds it from Init on
  if (!NT_SUCCESS(status)) {
    port->Release();
    return status;
  }
  if (m_pWavePort) m_pWavePort->Release();
  m_pWavePort = port;
  m_nTopologyPin = topologyPin;
  return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::UnregisterWaveSubdevice(PDEVICE_OBJECT DeviceObject) {
  if (!m_pWavePort) return STATUS_SUCCESS;
  const bool render = m_nDirection == STREAM_DIRECTION_RENDER;
  // The connection was registered on its source filter's port.
  PUNKNOWN source = render ? m_pWavePort : m_pTopologyPort;
  if (source && m_nTopologyPin != kNoTopologyPin) {
    PUNREGISTERPHYSICALCONNECTION connection = nullptr;
    if (NT_SUCCESS(source->QueryInterface(IID_IUnregisterPhysicalConnection, reinterpret_cast<PVOID*>(&connection))) &&
        connection) {
      if (render)
        connection->UnregisterPhysicalConnection(DeviceObject, m_pWavePort, kWaveBridgePin, m_pTopologyPort,
                                                 m_nTopologyPin);
      else
        connection->UnregisterPhysicalConnection(DeviceObject, m_pTopologyPort, m_nTopologyPin, m_pWavePort,
                                                 kWaveBridgePin);
      connection->Release();
    }
  }
  PUNREGISTERSUBDEVICE subdevice = nullptr;
  NTSTATUS status = m_pWavePort->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&subdevice));
  if (NT_SUCCESS(status) && subdevice) {
    status = subdevice->UnregisterSubdevice(DeviceObject, m_pWavePort);
    subdevice->Release();
  }
  if (NT_SUCCESS(status)) {
    m_pWavePort->Release();
    m_pWavePort = nullptr;
  }
  return status;
}

STDMETHODIMP CStreamEngine::UpdateSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN Adapter) {
  if (!m_pfnMiniportFactory) return STATUS_UNSUCCESSFUL;
  const bool connected = HasConnectedTerminal();
  if (connected && !m_pWavePort) {
    NTSTATUS status = InstallWaveSubdevice(DeviceObject, Irp, Adapter);
    if (!NT_SUCCESS(status)) return status;
    if (m_nTopologyPin == kNoTopologyPin) return STATUS_SUCCESS;
    if (m_nDirection == STREAM_DIRECTION_RENDER)
      return PcRegisterPhysicalConnection(DeviceObject, m_pWavePort, kWaveBridgePin, m_pTopologyPort, m_nTopologyPin);
    return PcRegisterPhysicalConnection(DeviceObject, m_pTopologyPort, m_nTopologyPin, m_pWavePort, kWaveBridgePin);
  }
  if (!connected && m_pWavePort) return UnregisterWaveSubdevice(DeviceObject);
  return STATUS_SUCCESS;
}

STDMETHODIMP CStreamEngine::UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PIRP, PUNKNOWN) {
  return UnregisterWaveSubdevice(DeviceObject);
}

}  // namespace adapter
