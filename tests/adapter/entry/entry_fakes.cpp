#include "entry_fakes.h"

#include <cstring>

#include "adapter/device_extension.h"
#include "adapter/object_model.h"

namespace entry_test {
namespace {

constexpr ULONG kFakeTag = MakePoolTag('T', 'm', 'p', 'f');

const PCPIN_DESCRIPTOR kPins[2] = {
    {1, 1, 0, nullptr, {0, nullptr, 0, nullptr, 0, nullptr, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, nullptr, nullptr, {}}},
    {1, 1, 0, nullptr, {0, nullptr, 0, nullptr, 0, nullptr, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, nullptr, nullptr, {}}},
};
const GUID kCategories[1] = {adapter::GUID_ENUM_PRIVATE_INTERFACE};
PCFILTER_DESCRIPTOR kFilter = {0, nullptr, sizeof(PCPIN_DESCRIPTOR), 2, kPins, sizeof(PCNODE_DESCRIPTOR), 0, nullptr,
                               0, nullptr, 1, kCategories};

// Both fakes: a miniport interface, the pin map, the adapter held from Init.
template <class Miniport, class Port>
class CFakeMiniport : public CUnknown, public Miniport, public adapter::IMiniportPinMap {
 public:
  CFakeMiniport(PUNKNOWN outer, FakeMiniportControl* control, std::u16string name)
      : CUnknown(outer), m_Control(control), m_Name(std::move(name)) {
    ++m_Control->live;
  }
  ~CFakeMiniport() override {
    if (m_Adapter) m_Adapter->Release();
    --m_Control->live;
  }
  DECLARE_STD_UNKNOWN();
  STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* Description) override {
    *Description = &kFilter;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP Init(PUNKNOWN UnknownAdapter, PRESOURCELIST, Port) override {
    if (!NT_SUCCESS(m_Control->initStatus)) return m_Control->initStatus;
    if (UnknownAdapter) {
      UnknownAdapter->AddRef();
      m_Adapter = UnknownAdapter;
    }
    return STATUS_SUCCESS;
  }
  STDMETHODIMP MapPin(ULONG, PULONG Result) override {
    *Result = 0;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP GetSubdeviceName(PWSTR* Name) override {
    *Name = m_Name.data();
    return STATUS_SUCCESS;
  }

 private:
  FakeMiniportControl* m_Control;
  std::u16string m_Name;
  PUNKNOWN m_Adapter = nullptr;
};

template <class Miniport, class Port>
STDMETHODIMP CFakeMiniport<Miniport, Port>::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IMiniport)) return adapter::ReturnInterface<IMiniport>(static_cast<Miniport*>(this), object);
  if (IsEqualGUID(iid, adapter::IID_IMiniportPinMap) && m_Control->answerPinMap)
    return adapter::ReturnInterface<adapter::IMiniportPinMap>(this, object);
  if (IsEqualGUID(iid, IID_IMiniportTopology) && std::is_same_v<Miniport, IMiniportTopology>)
    return adapter::ReturnInterface<Miniport>(this, object);
  if (IsEqualGUID(iid, IID_IMiniportWaveCyclic) && std::is_same_v<Miniport, IMiniportWaveCyclic>)
    return adapter::ReturnInterface<Miniport>(this, object);
  if (IsEqualGUID(iid, IID_IUnknown)) return adapter::ReturnInterface<IUnknown>(NonDelegatingUnknown(), object);
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

class CFakeWave : public CFakeMiniport<IMiniportWaveCyclic, PPORTWAVECYCLIC> {
 public:
  using CFakeMiniport::CFakeMiniport;
  STDMETHODIMP NewStream(PMINIPORTWAVECYCLICSTREAM*, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN, PKSDATAFORMAT, PDMACHANNEL*,
                         PSERVICEGROUP*) override {
    return STATUS_NOT_SUPPORTED;
  }
};
using CFakeTopology = CFakeMiniport<IMiniportTopology, PPORTTOPOLOGY>;

template <class T>
NTSTATUS Create(FakeMiniportControl& control, std::u16string name, PUNKNOWN* Unknown, PUNKNOWN OuterUnknown,
                POOL_TYPE PoolType) {
  *Unknown = nullptr;
  if (!NT_SUCCESS(control.createStatus)) return control.createStatus;
  ++control.created;
  if (!control.name.empty()) name = control.name;
  auto* object = new (PoolType, kFakeTag) T(OuterUnknown, &control, std::move(name));
  if (!object) return STATUS_INSUFFICIENT_RESOURCES;
  *Unknown = object->NonDelegatingUnknown();
  (*Unknown)->AddRef();
  return STATUS_SUCCESS;
}

}  // namespace

FakeMiniportControl& TopologyControl() {
  static FakeMiniportControl control;
  return control;
}

FakeMiniportControl& WaveControl() {
  static FakeMiniportControl control;
  return control;
}

void ResetFakeMiniports() {
  TopologyControl() = FakeMiniportControl{};
  WaveControl() = FakeMiniportControl{};
}

NTSTATUS CreateFakeTopology(PUNKNOWN* Unknown, REFCLSID, PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG) {
  return Create<CFakeTopology>(TopologyControl(), u"Topology", Unknown, OuterUnknown, PoolType);
}

NTSTATUS CreateFakeWave(PUNKNOWN* Unknown, REFCLSID, PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG Index) {
  return Create<CFakeWave>(WaveControl(), u"Wave" + std::u16string(1, static_cast<char16_t>(u'0' + Index % 10)),
                           Unknown, OuterUnknown, PoolType);
}

}  // namespace entry_test
