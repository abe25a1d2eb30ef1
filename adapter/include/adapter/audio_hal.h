// CAudioHal: a device or USB Audio Class function that owns the topology entities and the
// stream engines of the audio model, the "\Callback\AudioHalAddr%p" object on which
// control changes are published, and the capability record of its endpoints. The root
// USB device object and every function class derive from it; the derived class probes
// the device and builds the entities and engines, this base links them and keeps them.
#pragma once

#include "adapter/capability_record.h"
#include "adapter/node_interfaces.h"
#include "adapter/ref_list.h"
#include "adapter/stream_engine.h"
#include "adapter/uac_entity.h"
#include "kernel/nt.h"
#include "portcls/portcls.h"

namespace adapter {

// {7284B608-74F9-4B95-A5BB-EC6DDD0B6F58}
KS_DEFINE_GUID(IID_IAudioHal, 0x7284B608, 0x74F9, 0x4B95, 0xA5, 0xBB, 0xEC, 0x6D, 0xDD, 0x0B, 0x6F, 0x58);

// Pool tags: the two lists, and the callback object's name while it is built.
inline constexpr ULONG kAudioHalPoolTag = MakePoolTag('H', 'A', 'L', 'B');
inline constexpr ULONG kTempPoolTag = MakePoolTag('T', 'e', 'm', 'p');
inline constexpr ULONG kCallbackNameBytes = 102;

// Selector inputs are followed upstream this far at most; model graphs are far shallower.
inline constexpr ULONG kMaxGraphDepth = 64;
// Selectors with more inputs than this are not linked.
inline constexpr ULONG kMaxLinkedSelectorInputs = 10;

struct IAudioHal : IUnknown {
  STDMETHOD(GetEngineCapabilityRecord)(ULONG Index, EndpointCapabilityRecord* Record) = 0;
  STDMETHOD(GetComponentId)(PKSCOMPONENTID ComponentId) = 0;
  STDMETHOD_(ULONG, GetEngineCount)() = 0;
  STDMETHOD(GetEngine)(ULONG Index, IStreamEngine** Engine) = 0;
  STDMETHOD_(ULONG, GetEntityCount)() = 0;
  STDMETHOD(GetEntity)(ULONG Index, IUacEntity** Entity) = 0;
  STDMETHOD_(PDEVICE_OBJECT, GetDeviceObject)() = 0;
  STDMETHOD(Init)(PRESOURCELIST ResourceList, PDEVICE_OBJECT Fdo, PDEVICE_OBJECT LowerDevice,
                  PDEVICE_OBJECT Pdo) = 0;
  STDMETHOD(StartEntities)() = 0;
  STDMETHOD(StopEntities)() = 0;
  STDMETHOD(RegisterCallback)(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) = 0;
  STDMETHOD(UnregisterCallback)(PVOID Registration) = 0;
  STDMETHOD(WakeForRequest)() = 0;
  STDMETHOD(ProbeDevice)() = 0;
  STDMETHOD(BuildTopology)() = 0;
  STDMETHOD(GetCapabilityRecord)(ULONG Direction, ULONG EndpointType, EndpointCapabilityRecord* Record) = 0;
  // Ends what WakeForRequest began: the request's work is done. Each WakeForRequest is
  // followed by exactly one EndRequest.
  STDMETHOD(EndRequest)() = 0;
};
using PAUDIOHAL = IAudioHal*;

class CAudioHal : public IAudioHal, public IAdapterPowerManagement, public CUnknown {
 public:
  ~CAudioHal() override;

  DECLARE_STD_UNKNOWN();

  // IAudioHal
  STDMETHODIMP GetEngineCapabilityRecord(ULONG Index, EndpointCapabilityRecord* Record) override;
  STDMETHODIMP GetComponentId(PKSCOMPONENTID) override { return STATUS_INVALID_DEVICE_REQUEST; }
  STDMETHODIMP_(ULONG) GetEngineCount() override;
  // The engine / entity at the index, without an added reference.
  STDMETHODIMP GetEngine(ULONG Index, IStreamEngine** Engine) override;
  STDMETHODIMP_(ULONG) GetEntityCount() override;
  STDMETHODIMP GetEntity(ULONG Index, IUacEntity** Entity) override;
  STDMETHODIMP_(PDEVICE_OBJECT) GetDeviceObject() override { return m_pFdo; }
  // Creates the lists and the callback object, then probes the device and builds the
  // topology; on failure every entity and engine is released again.
  STDMETHODIMP Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT Fdo, PDEVICE_OBJECT LowerDevice,
                    PDEVICE_OBJECT Pdo) override;
  STDMETHODIMP StartEntities() override;
  STDMETHODIMP StopEntities() override;
  STDMETHODIMP RegisterCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) override;
  STDMETHODIMP UnregisterCallback(PVOID Registration) override;
  STDMETHODIMP WakeForRequest() override { return STATUS_SUCCESS; }
  STDMETHODIMP EndRequest() override { return STATUS_SUCCESS; }
  STDMETHODIMP ProbeDevice() override { return STATUS_NOT_IMPLEMENTED; }
  // Links selector inputs to the nodes upstream of them, hands the engines to their
  // engine-link nodes, then restores every entity's value to the device.
  STDMETHODIMP BuildTopology() override;
  STDMETHODIMP GetCapabilityRecord(ULONG Direction, ULONG EndpointType, EndpointCapabilityRecord* Record) override;

  // IAdapterPowerManagement
  STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;
  STDMETHODIMP QueryPowerChangeState(POWER_STATE) override { return STATUS_SUCCESS; }
  STDMETHODIMP QueryDeviceCapabilities(PDEVICE_CAPABILITIES Capabilities) override;

  // Keep one reference and append.
  NTSTATUS AddEntity(IUacEntity* Entity);
  NTSTATUS AddStreamEngine(IStreamEngine* Engine);
  // The last entity with the identifier, without an added reference.
  NTSTATUS FindEntityById(ULONG Id, IUacEntity** Entity);
  // RestoreToDevice on every entity in list order, up to the first failure.
  NTSTATUS RestoreEntities();

  DEVICE_POWER_STATE GetPowerState() const { return m_PowerState; }
  PCALLBACK_OBJECT GetCallbackObject() const { return m_pCallbackObject; }

 protected:
  explicit CAudioHal(PUNKNOWN outerUnknown);

  PDEVICE_OBJECT m_pFdo;
  PDEVICE_OBJECT m_pLowerDevice;
  PDEVICE_OBJECT m_pPdo;
  DEVICE_POWER_STATE m_PowerState;
  PCALLBACK_OBJECT m_pCallbackObject;  // "\Callback\AudioHalAddr%p"
  CRefList<IUacEntity>* m_pEntityList;     // one reference each
  CRefList<IStreamEngine>* m_pEngineList;  // one reference each
  EndpointCapabilityRecord m_CapabilityRecord;

 private:
  NTSTATUS LinkSelectorInput(ISelectorNode* Selector, ULONG Input, ULONG SourceId);
  void LinkEngines();
  void ReleaseLists();
};
using PCAUDIOHAL = CAudioHal*;

}  // namespace adapter
