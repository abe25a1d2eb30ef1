// The engine's wave subdevice: the factory it is made with, the topology peer its bridge
// pin joins, and its registration as the endpoint's connection state changes.
#include "adapter/stream_engine.h"

namespace adapter {

STDMETHODIMP CStreamEngine::SetMiniportFactory(PFNCREATEMINIPORT Factory, REFCLSID ClassId) {
  if (!Factory) return STATUS_INVALID_PARAMETER_2;
  m_pfnMiniportFactory = Factory;
  m_MiniportClassId = ClassId;
  return STATUS_SUCCESS;
}

STDMETHODIMP CStreamEngine::SetTopologyPeer(PUNKNOWN TopologyPort, PUNKNOWN TopologyMiniport) {
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

STDMETHODIMP CStreamEngine::UpdateSubdevice(PDEVICE_OBJECT, PIRP, PUNKNOWN) {
  if (!m_pfnMiniportFactory) return STATUS_UNSUCCESSFUL;
  // Installing the WaveCyclic subdevice comes with the wave miniport.
  return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP CStreamEngine::UnregisterSubdevice(PDEVICE_OBJECT, PIRP, PUNKNOWN) {
  return STATUS_SUCCESS;
}

}  // namespace adapter
