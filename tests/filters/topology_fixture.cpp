#include "topology_fixture.h"

#include <cstring>

#include "filters/topology_property_sets.h"
#include "stream/usb_stream_engine.h"
#include "uac/function_classes.h"
#include "uac/control_nodes.h"
#include "uac/path_nodes.h"
#include "uac/terminal_nodes.h"

namespace topology_test {

using platform::testing::CProbeHal;

namespace {

constexpr ULONG kDoubleTag = MakePoolTag('T', 'd', 'b', 'l');

// Capture switches (15, 19) and the ranged value (17): one u32.
class CValueNode : public adapter::CUacEntity, public adapter::ICaptureVendorSwitchNode, public filters::IRangedValueNode {
 public:
  CValueNode(PUNKNOWN outer, ULONG id, ULONG type) : CUacEntity(outer, id, type) {}
  DECLARE_STD_UNKNOWN() {
    if (object && m_nType == adapter::NODE_CAPTURE_SWITCH && IsEqualGUID(iid, adapter::IID_ICaptureSwitchNode))
      return adapter::ReturnInterface<adapter::ICaptureSwitchNode>(this, object);
    if (object && m_nType == adapter::NODE_CAPTURE_VENDOR_SWITCH &&
        IsEqualGUID(iid, adapter::IID_ICaptureVendorSwitchNode))
      return adapter::ReturnInterface<adapter::ICaptureSwitchNode>(this, object);
    if (object && m_nType == adapter::NODE_RANGED_VALUE && IsEqualGUID(iid, filters::IID_IRangedValueNode))
      return adapter::ReturnInterface<filters::IRangedValueNode>(this, object);
    return CUacEntity::NonDelegatingQueryInterface(iid, object);
  }
  STDMETHODIMP SetValue(ULONG v) override {
    value_ = v;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP GetValue(PULONG v) override {
    *v = value_;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP Reserved1() override { return STATUS_SUCCESS; }
  STDMETHODIMP Reserved2() override { return STATUS_SUCCESS; }
  STDMETHODIMP Reserved3() override { return STATUS_SUCCESS; }
  STDMETHODIMP Reserved4() override { return STATUS_SUCCESS; }
  STDMETHODIMP SetStreamEngine(adapter::IStreamEngine*) override { return STATUS_SUCCESS; }
  STDMETHODIMP GetRange(PULONG maximum, PULONG minimum) override {
    *maximum = 900;
    *minimum = 100;
    return STATUS_SUCCESS;
  }

 private:
  ULONG value_ = 0;
};

// A table of `entries` u32 values; every range that reaches it is logged and must be in
// bounds (an out-of-bounds one is a test failure).
class CTable {
 public:
  CTable(ULONG entries, TableLog* log) : values_(entries), log_(log) {
    for (ULONG i = 0; i < entries; ++i) values_[i] = 1000 + i;
  }
  NTSTATUS Read(ULONG first, ULONG count, PULONG out) {
    if (log_) log_->reads.emplace_back(first, count);
    EXPECT_LE(static_cast<ULONGLONG>(first) + count, values_.size());
    if (static_cast<ULONGLONG>(first) + count > values_.size()) return STATUS_INVALID_PARAMETER;
    std::memcpy(out, values_.data() + first, count * sizeof(ULONG));
    return STATUS_SUCCESS;
  }
  NTSTATUS Write(ULONG first, ULONG count, const ULONG* in) {
    if (log_) log_->writes.emplace_back(first, count);
    EXPECT_LE(static_cast<ULONGLONG>(first) + count, values_.size());
    if (static_cast<ULONGLONG>(first) + count > values_.size()) return STATUS_INVALID_PARAMETER;
    std::memcpy(values_.data() + first, in, count * sizeof(ULONG));
    return STATUS_SUCCESS;
  }
  NTSTATUS Entry(ULONG index, PULONG out) {
    EXPECT_LT(index, values_.size());
    if (index >= values_.size()) return STATUS_INVALID_PARAMETER;
    out[0] = index;
    out[1] = values_[index];
    out[2] = 0xE0 + index;
    return STATUS_SUCCESS;
  }
  ULONG Count() const { return static_cast<ULONG>(values_.size()); }

 private:
  std::vector<ULONG> values_;
  TableLog* log_;
};

// {4F1A5C2E-8D3B-4E6F-9A7C-1B2D3E4F5A6B}: the GUID a test value table names itself with.
KS_DEFINE_GUID(kTestTableGuid, 0x4F1A5C2E, 0x8D3B, 0x4E6F, 0x9A, 0x7C, 0x1B, 0x2D, 0x3E, 0x4F, 0x5A, 0x6B);

class CValueTableNode : public adapter::CUacEntity, public filters::IValueTableNode {
 public:
  CValueTableNode(PUNKNOWN outer, ULONG id, ULONG entries, TableLog* log)
      : CUacEntity(outer, id, adapter::NODE_VALUE_TABLE), table_(entries, log) {}
  DECLARE_STD_UNKNOWN() {
    if (object && IsEqualGUID(iid, filters::IID_IValueTableNode))
      return adapter::ReturnInterface<filters::IValueTableNode>(this, object);
    return CUacEntity::NonDelegatingQueryInterface(iid, object);
  }
  STDMETHODIMP GetTableGuid(GUID* table) override {
    *table = kTestTableGuid;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP GetEntryCount(PULONG count) override {
    *count = table_.Count();
    return STATUS_SUCCESS;
  }
  STDMETHODIMP GetRange(ULONG first, ULONG count, PULONG values) override { return table_.Read(first, count, values); }
  STDMETHODIMP SetRange(ULONG first, ULONG count, const ULONG* values) override {
    return table_.Write(first, count, values);
  }
  STDMETHODIMP GetEntry(ULONG index, PULONG entry) override { return table_.Entry(index, entry); }

 private:
  CTable table_;
};

// {0C8F4E3A-2B1D-4C5E-8F6A-7B8C9D0E1F2A}: the node type a test effect names itself with.
KS_DEFINE_GUID(kTestEffectType, 0x0C8F4E3A, 0x2B1D, 0x4C5E, 0x8F, 0x6A, 0x7B, 0x8C, 0x9D, 0x0E, 0x1F, 0x2A);

class CTableEffect : public uac::CEffectControl {
 public:
  CTableEffect(PUNKNOWN outer, ULONG id, ULONG entries, TableLog* log) : CEffectControl(outer, id), table_(entries, log) {
    m_NodeType = kTestEffectType;
    m_NodeType.Data4[7] = static_cast<UCHAR>(id);  // each effect node its own type
    m_nEffectParameter = entries;
  }
  STDMETHODIMP SetValue(UCHAR value) override {
    m_bValue = value;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP GetValues(ULONG first, ULONG count, PULONG values) override { return table_.Read(first, count, values); }
  STDMETHODIMP SetValues(ULONG first, ULONG count, const ULONG* values) override {
    return table_.Write(first, count, values);
  }
  STDMETHODIMP GetValueEntry(ULONG index, PULONG entry) override { return table_.Entry(index, entry); }

 private:
  CTable table_;
};

template <class T, class... Args>
adapter::IUacEntity* Make(Args&&... args) {
  adapter::IUacEntity* entity = nullptr;
  T* object = new (NonPagedPool, kDoubleTag) T(nullptr, std::forward<Args>(args)...);
  if (!object) return nullptr;
  entity = static_cast<adapter::IUacEntity*>(object);
  entity->AddRef();
  return entity;
}

}  // namespace

Bytes U32s(std::initializer_list<ULONG> values) {
  Bytes bytes(values.size() * sizeof(ULONG));
  ULONG i = 0;
  for (ULONG v : values) std::memcpy(bytes.data() + sizeof(ULONG) * i++, &v, sizeof(v));
  return bytes;
}

adapter::IUacEntity* NewPrivateNode(ULONG id, ULONG type, ULONG entries, TableLog* log, ULONG sourceId) {
  adapter::IUacEntity* entity = nullptr;
  switch (type) {
    case adapter::NODE_VALUE_TABLE: entity = Make<CValueTableNode>(id, entries, log); break;
    case adapter::NODE_VENDOR_EFFECT: entity = Make<CTableEffect>(id, entries, log); break;
    default: entity = Make<CValueNode>(id, type); break;
  }
  if (entity) entity->SetSources(1, &sourceId);
  return entity;
}

adapter::IUacEntity* NewInputTerminal(ULONG id, ULONG kind, const std::vector<adapter::JackRecord>& jacks) {
  auto* node = new (NonPagedPool, kDoubleTag) uac::CInputTerminalNode(nullptr, id);
  static_cast<adapter::IUacEntity*>(node)->AddRef();
  EXPECT_EQ(node->InitTerminal(1, &kind, static_cast<ULONG>(jacks.size()), jacks.empty() ? nullptr : jacks.data()),
            STATUS_SUCCESS);
  return node;
}

adapter::IUacEntity* NewOutputTerminal(ULONG id, ULONG source, ULONG kind, const std::vector<adapter::JackRecord>& jacks) {
  auto* node = new (NonPagedPool, kDoubleTag) uac::COutputTerminalNode(nullptr, id);
  static_cast<adapter::IUacEntity*>(node)->AddRef();
  EXPECT_EQ(node->InitTerminal(source, 1, &kind, static_cast<ULONG>(jacks.size()), jacks.empty() ? nullptr : jacks.data()),
            STATUS_SUCCESS);
  return node;
}

adapter::IUacEntity* NewLevel(ULONG id, ULONG type, ULONG source, ULONG channels, LONG maximum, LONG minimum,
                              LONG step) {
  auto* node = new (NonPagedPool, kDoubleTag) uac::CLevelControl(nullptr, id, type);
  static_cast<adapter::IUacEntity*>(node)->AddRef();
  EXPECT_EQ(node->InitChannels(source, channels, maximum, minimum, step), STATUS_SUCCESS);
  return node;
}

adapter::IUacEntity* NewSwitch(ULONG id, ULONG type, ULONG source, ULONG channels) {
  auto* node = new (NonPagedPool, kDoubleTag) uac::CBoolControl(nullptr, id, type);
  static_cast<adapter::IUacEntity*>(node)->AddRef();
  EXPECT_EQ(node->InitChannels(source, channels), STATUS_SUCCESS);
  return node;
}

adapter::IUacEntity* NewSelector(ULONG id, const std::vector<ULONG>& sources) {
  auto* node = new (NonPagedPool, kDoubleTag) uac::CSelectorNode(nullptr, id);
  static_cast<adapter::IUacEntity*>(node)->AddRef();
  EXPECT_EQ(node->InitInputs(static_cast<ULONG>(sources.size()), sources.data()), STATUS_SUCCESS);
  return node;
}

adapter::IUacEntity* NewMixer(ULONG id, const std::vector<ULONG>& sources) {
  auto* node = new (NonPagedPool, kDoubleTag) uac::CMixerNode(nullptr, id);
  static_cast<adapter::IUacEntity*>(node)->AddRef();
  EXPECT_EQ(node->InitMixerTerminal(static_cast<ULONG>(sources.size()), sources.data()), STATUS_SUCCESS);
  return static_cast<adapter::IUacEntity*>(node);
}

adapter::IUacEntity* NewTerminalKind(ULONG id, ULONG source, const std::vector<ULONG>& kinds) {
  auto* node = new (NonPagedPool, kDoubleTag) uac::CTerminalKindNode(nullptr, id);
  static_cast<adapter::IUacEntity*>(node)->AddRef();
  EXPECT_EQ(node->InitKinds(source, static_cast<ULONG>(kinds.size()), kinds.data()), STATUS_SUCCESS);
  return node;
}

NTSTATUS AddEntities(CProbeHal* hal, const std::vector<adapter::IUacEntity*>& entities) {
  NTSTATUS status = STATUS_SUCCESS;
  for (adapter::IUacEntity* e : entities) {
    if (!e) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      continue;
    }
    if (NT_SUCCESS(status)) status = hal->AddEntity(e);
    e->Release();
  }
  return status;
}

void TopologyTest::SetUp() {
  UsbDeviceTest::SetUp();
  for (ULONG i = 0; i < static_cast<ULONG>(adapter::FunctionClass::Count); ++i)
    savedFactories_[i] = adapter::SetFunctionFactory(static_cast<adapter::FunctionClass>(i), nullptr);
  uac::RegisterFunctionFactories();
  savedEngines_ = uac::GetStreamEngineFactory();
  stream::RegisterEngineFactories();
}

void TopologyTest::TearDown() {
  ResetModel();
  UsbDeviceTest::TearDown();
  for (ULONG i = 0; i < static_cast<ULONG>(adapter::FunctionClass::Count); ++i)
    adapter::SetFunctionFactory(static_cast<adapter::FunctionClass>(i), savedFactories_[i]);
  uac::SetStreamEngineFactory(savedEngines_);
}

void TopologyTest::ResetModel() {
  client_.reset();
  if (registered_) {
    PVOID itf = nullptr;
    if (NT_SUCCESS(topologyPort_->QueryInterface(IID_IUnregisterSubdevice, &itf))) {
      auto* unregister = static_cast<PUNREGISTERSUBDEVICE>(itf);
      EXPECT_EQ(unregister->UnregisterSubdevice(fdo_, topologyPort_), STATUS_SUCCESS);
      unregister->Release();
    }
    registered_ = false;
  }
  if (miniport_) miniport_->Release();
  if (topologyPort_) topologyPort_->Release();
  miniport_ = nullptr;
  topologyPort_ = nullptr;
  if (probe_) static_cast<adapter::IAudioHal*>(probe_)->Release();
  probe_ = nullptr;
  TearDownDevice();
}

void TopologyTest::StartDevice(const std::string& dump, sim::device::DeviceProfile profile) {
  Plug(dump, std::move(profile));
  ASSERT_EQ(Start(), STATUS_SUCCESS) << dump;
}

void TopologyTest::StartModel(std::function<NTSTATUS(CProbeHal*)> build) {
  Plug(usb_device_test::DeviceDescriptor(0x1234, 0x5678), usb_device_test::Speaker());
  probe_ = platform::testing::NewProbeHal();
  ASSERT_NE(probe_, nullptr);
  probe_->probe = std::move(build);
  ASSERT_EQ(probe_->Init(nullptr, fdo_, lower_, port_->pdo()), STATUS_SUCCESS);
}

adapter::IAudioHal* TopologyTest::Model() const { return probe_ ? static_cast<adapter::IAudioHal*>(probe_) : hal_; }

NTSTATUS TopologyTest::InstallTopology() {
  PPORT port = nullptr;
  NTSTATUS status = PcNewPort(&port, CLSID_PortTopology);
  if (!NT_SUCCESS(status)) return status;
  topologyPort_ = port;
  status = filters::CreateMiniportTopology(&miniport_, CLSID_PortTopology, nullptr, NonPagedPool, 0);
  if (!NT_SUCCESS(status)) return status;
  status = topologyPort_->Init(fdo_, nullptr, miniport_, Model(), nullptr);
  if (!NT_SUCCESS(status)) return status;
  PWSTR name = nullptr;
  PVOID itf = nullptr;
  EXPECT_EQ(miniport_->QueryInterface(adapter::IID_IMiniportPinMap, &itf), STATUS_SUCCESS);
  auto* map = static_cast<adapter::IMiniportPinMap*>(itf);
  EXPECT_EQ(map->GetSubdeviceName(&name), STATUS_SUCCESS);
  status = PcRegisterSubdevice(fdo_, name, topologyPort_);
  map->Release();
  registered_ = NT_SUCCESS(status);
  return status;
}

sim::engine::FilterClient& TopologyTest::Client() {
  if (!client_) {
    for (const auto& info : sim::engine::EnumerateFilters()) {
      if (info.device == fdo_ && info.name == u"RuveruZuze") {
        EXPECT_EQ(sim::engine::FilterClient::Open(info, &client_), STATUS_SUCCESS);
      }
    }
  }
  EXPECT_NE(client_, nullptr);
  return *client_;
}

filters::CMiniportTopology* TopologyTest::Miniport() const {
  return filters::CMiniportTopology::FromTarget(miniport_);
}

const PCFILTER_DESCRIPTOR* TopologyTest::Descriptor() const {
  PPCFILTER_DESCRIPTOR d = nullptr;
  EXPECT_EQ(Miniport()->GetDescription(&d), STATUS_SUCCESS);
  return d;
}

ULONG TopologyTest::NodeOf(ULONG entityId) const {
  for (ULONG i = 0; i < Miniport()->GetNodeCount(); ++i)
    if (Miniport()->GetNodeEntity(i)->GetId() == entityId) return i;
  ADD_FAILURE() << "entity " << entityId << " is no node";
  return 0xFFFFFFFFu;
}

NTSTATUS TopologyTest::NodeProperty(ULONG node, const GUID& set, ULONG id, ULONG verb, const Bytes& instance,
                                    void* value, ULONG valueSize, ULONG* returned) {
  Bytes request(sizeof(KSP_NODE) + instance.size());
  KSP_NODE header{};
  header.Property.Set = set;
  header.Property.Id = id;
  header.Property.Flags = verb | KSPROPERTY_TYPE_TOPOLOGY;
  header.NodeId = node;
  std::memcpy(request.data(), &header, sizeof(header));
  if (!instance.empty()) std::memcpy(request.data() + sizeof(header), instance.data(), instance.size());
  ULONG scratch = 0;
  return Client().Raw().Property(request.data(), static_cast<ULONG>(request.size()), value, valueSize,
                                 returned ? returned : &scratch);
}

NTSTATUS TopologyTest::PinProperty(ULONG pin, const GUID& set, ULONG id, ULONG verb, void* value, ULONG valueSize,
                                   ULONG* returned) {
  KSP_PIN request{};
  request.Property.Set = set;
  request.Property.Id = id;
  request.Property.Flags = verb;
  request.PinId = pin;
  ULONG scratch = 0;
  return Client().Raw().Property(&request, sizeof(request), value, valueSize, returned ? returned : &scratch);
}

NTSTATUS TopologyTest::FilterProperty(const GUID& set, ULONG id, ULONG verb, void* value, ULONG valueSize,
                                      ULONG* returned) {
  KSPROPERTY request{};
  request.Set = set;
  request.Id = id;
  request.Flags = verb;
  ULONG scratch = 0;
  return Client().Raw().Property(&request, sizeof(request), value, valueSize, returned ? returned : &scratch);
}

}  // namespace topology_test
