#include "status_worker_fixture.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "adapter/audio_class.h"
#include "adapter/object_model.h"
#include "kernel/pool.h"
#include "sim/device/descriptor_dump.h"
#include "uac/function_classes.h"
#include "uac/uac_unit.h"
#include "uac/unit_interfaces.h"

namespace status_worker_test {
namespace {

constexpr UCHAR kAddedStatusEndpoint = 0x8E;

// A stream engine that only records what it is asked.
class CRecordingEngine : public adapter::CStreamEngine {
 public:
  using CStreamEngine::CStreamEngine;
  STDMETHODIMP UpdateSubdevice(PDEVICE_OBJECT, PIRP, PUNKNOWN Adapter) override {
    std::lock_guard hold(Engines().lock);
    Engines().calls.push_back({m_nEngineId, EngineCall::Update, 0, Adapter});
    for (const auto& [engine, status] : Engines().updateStatus)
      if (engine == m_nEngineId) return status;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP SetPowerState(DEVICE_POWER_STATE State) override {
    std::lock_guard hold(Engines().lock);
    Engines().calls.push_back({m_nEngineId, EngineCall::Power, static_cast<ULONG>(State), nullptr});
    return STATUS_SUCCESS;
  }
};

NTSTATUS Make(ULONG direction, ULONG tag, UCHAR number, adapter::CStreamEngine** out) {
  *out = nullptr;
  auto* engine = new (NonPagedPool, tag) CRecordingEngine(nullptr, number);
  if (!engine) return STATUS_INSUFFICIENT_RESOURCES;
  static_cast<adapter::IStreamEngine*>(engine)->AddRef();
  const NTSTATUS status = engine->Init(direction);
  if (!NT_SUCCESS(status)) {
    static_cast<adapter::IStreamEngine*>(engine)->Release();
    return status;
  }
  *out = engine;
  return STATUS_SUCCESS;
}

bool Render(uac::StreamEngineClass cls) {
  return cls == uac::StreamEngineClass::Uac1Render || cls == uac::StreamEngineClass::Uac2Render;
}

NTSTATUS Create(uac::StreamEngineClass cls, ULONG tag, UCHAR number, ULONG, adapter::IAudioHal*,
                adapter::CStreamEngine** out) {
  return Make(Render(cls) ? adapter::STREAM_DIRECTION_RENDER : adapter::STREAM_DIRECTION_CAPTURE, tag, number, out);
}

NTSTATUS CreateClocked(uac::StreamEngineClass cls, ULONG tag, UCHAR number, ULONG, ULONG, adapter::IAudioHal*,
                       adapter::CStreamEngine** out) {
  return Make(Render(cls) ? adapter::STREAM_DIRECTION_RENDER : adapter::STREAM_DIRECTION_CAPTURE, tag, number, out);
}

NTSTATUS AddFormat(adapter::CStreamEngine* engine, const WAVEFORMATEXTENSIBLE* format, UCHAR) {
  return engine->AddFormat(format);
}

const uac::StreamEngineFactory kRecordingFactory = {Create, AddFormat, CreateClocked, nullptr};

}  // namespace

EngineLog& Engines() {
  static EngineLog log;
  return log;
}

const uac::StreamEngineFactory* RecordingEngineFactory() { return &kRecordingFactory; }

void StatusWorkerTest::SetUp() {
  UsbDeviceTest::SetUp();
  savedUac1_ = adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, nullptr);
  savedUac2_ = adapter::SetFunctionFactory(adapter::FunctionClass::Uac2, nullptr);
  uac::RegisterFunctionFactories();
  savedEngines_ = uac::SetStreamEngineFactory(&kRecordingFactory);
  std::lock_guard hold(Engines().lock);
  Engines().calls.clear();
  Engines().updateStatus.clear();
}

void StatusWorkerTest::EndDevice() {
  if (hal_ && registration_) hal_->UnregisterCallback(registration_);
  registration_ = nullptr;
  TearDownDevice();
  TakeChanges();
}

void StatusWorkerTest::TearDown() {
  EndDevice();
  platform::pool::ClearFaultInjection();
  UsbDeviceTest::TearDown();
  adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, savedUac1_);
  adapter::SetFunctionFactory(adapter::FunctionClass::Uac2, savedUac2_);
  uac::SetStreamEngineFactory(savedEngines_);
}

sim::device::DeviceProfile StatusWorkerTest::Neutral() {
  sim::device::DeviceProfile profile;
  profile.strings[uac::kModelStringIndex] = u"Neutral";
  return profile;
}

void StatusWorkerTest::PlugDump(const std::string& dump, USHORT statusPacket, sim::device::DeviceProfile profile) {
  if (!statusPacket) {
    Plug(dump, std::move(profile));
    return;
  }
  PlugEdited(
      dump,
      [&](std::vector<std::uint8_t>& configuration) {
        std::string error;
        ASSERT_TRUE(sim::device::AddStatusEndpoint(configuration, kAddedStatusEndpoint, statusPacket, 8, error))
            << error;
      },
      std::move(profile));
}

void StatusWorkerTest::PlugEdited(const std::string& dump,
                                  const std::function<void(std::vector<std::uint8_t>&)>& edit,
                                  sim::device::DeviceProfile profile) {
  std::ifstream in(std::filesystem::path(UA_DEVICE_DUMPS_DIR) / dump, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  sim::device::DescriptorDump parsed;
  std::string error;
  ASSERT_TRUE(sim::device::ConvertDescriptorDump(text.str(), parsed, error)) << error;
  edit(parsed.configuration);
  Plug(parsed.device, parsed.configuration, std::move(profile));
}

void StatusWorkerTest::StartDevice() {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_EQ(hal_->RegisterCallback(&StatusWorkerTest::OnChange, this, &registration_), STATUS_SUCCESS);
}

void StatusWorkerTest::OnChange(PVOID Context, PVOID Argument1, PVOID Argument2) {
  auto* self = static_cast<StatusWorkerTest*>(Context);
  const auto* record = static_cast<const uac::ControlChangeRecord*>(Argument1);
  EXPECT_EQ(Argument2, nullptr);
  EXPECT_EQ(record->Kind, 1u);
  EXPECT_EQ(record->Count, 1u);
  EXPECT_EQ(record->Reserved, 0u);
  std::lock_guard hold(self->lock_);
  self->changes_.push_back(record->NodeId);
}

void StatusWorkerTest::SetPower(DEVICE_POWER_STATE state) {
  adapter::ScopedRelease<IAdapterPowerManagement> power;
  ASSERT_EQ(hal_->QueryInterface(IID_IAdapterPowerManagement, power.out()), STATUS_SUCCESS);
  POWER_STATE s{};
  s.DeviceState = state;
  power.p->PowerChangeState(s);
}

uac::CUac1Function* StatusWorkerTest::function() {
  PVOID itf = nullptr;
  if (!hal_ || !NT_SUCCESS(hal_->QueryInterface(adapter::IID_IUacFunction, &itf))) return nullptr;
  auto* f = static_cast<uac::CUac1Function*>(static_cast<adapter::IUacFunction*>(itf));
  f->Release();
  return f;
}

std::vector<ULONGLONG> StatusWorkerTest::NodesOf(ULONG unitId) {
  std::vector<ULONGLONG> nodes;
  adapter::IUacEntity* entity = nullptr;
  if (!function() || !NT_SUCCESS(function()->FindEntityById(unitId, &entity))) return nodes;
  adapter::ScopedRelease<uac::IUacUnit> unit;
  if (!NT_SUCCESS(entity->QueryInterface(uac::IID_IUacUnit, unit.out()))) return nodes;
  for (ULONG i = 0; i < unit.p->GetNodeCount(); ++i) nodes.push_back(unit.p->GetNode(i)->GetId());
  return nodes;
}

adapter::IUacEntity* StatusWorkerTest::Node(ULONGLONG id) {
  for (ULONG i = 0; i < hal_->GetEntityCount(); ++i) {
    adapter::IUacEntity* e = nullptr;
    if (NT_SUCCESS(hal_->GetEntity(i, &e)) && e->GetId() == id) return e;
  }
  return nullptr;
}

std::vector<ULONGLONG> StatusWorkerTest::TakeChanges() {
  std::lock_guard hold(lock_);
  return std::exchange(changes_, {});
}

std::vector<EngineCall> StatusWorkerTest::TakeEngineCalls() {
  std::lock_guard hold(Engines().lock);
  return std::exchange(Engines().calls, {});
}

bool StatusWorkerTest::RunUntil(const std::function<bool()>& done, LONGLONG limitMs) {
  for (LONGLONG ms = 0; ms < limitMs; ++ms) {
    if (done()) return true;
    platform::testing::DelayMs(1);
  }
  return done();
}

void StatusWorkerTest::PushChangeOf(UCHAR unitId, UCHAR selector, UCHAR channel) {
  if (sim_->audio_class_version() == 2)
    sim_->PushStatusUac2(unitId, selector, channel);
  else
    sim_->PushStatusUac1(unitId);
}

std::vector<ULONGLONG> StatusWorkerTest::ChangesBeforeMarker(UCHAR markerId, const std::vector<ULONGLONG>& before) {
  std::vector<ULONGLONG> marker = NodesOf(markerId);
  // A 2.0 message names one control: the marker is the unit's first.
  if (sim_->audio_class_version() == 2 && !marker.empty()) marker.resize(1);
  EXPECT_FALSE(marker.empty());
  PushChangeOf(markerId);
  std::vector<ULONGLONG> seen;
  const bool arrived = RunUntil([&] {
    std::lock_guard hold(lock_);
    seen = changes_;
    return seen.size() >= before.size() + marker.size() &&
           std::equal(marker.begin(), marker.end(), seen.end() - marker.size());
  });
  EXPECT_TRUE(arrived) << "the marker's changes never came";
  if (!arrived) return seen;
  TakeChanges();
  seen.resize(seen.size() - marker.size());
  return seen;
}

std::vector<ULONGLONG> StatusWorkerTest::FirstRefreshChanges() {
  std::vector<ULONGLONG> changes;
  uac::CUac1Function* f = function();
  if (!f || sim_->audio_class_version() == 2) return changes;
  for (ULONG i = 0; i < f->GetUnitCount(); ++i) {
    adapter::IUacEntity* unit = nullptr;
    if (!NT_SUCCESS(f->GetUnit(i, &unit))) continue;
    const ULONG type = unit->GetType();
    if (type == adapter::AC_INPUT_TERMINAL || type == adapter::AC_OUTPUT_TERMINAL) continue;
    for (ULONGLONG n : NodesOf(unit->GetId())) changes.push_back(n);
  }
  return changes;
}

void StatusWorkerTest::SettleFirstRefresh(UCHAR markerId) {
  const std::vector<ULONGLONG> first = FirstRefreshChanges();
  EXPECT_EQ(ChangesBeforeMarker(markerId, first), first);
  TakeEngineCalls();
}

}  // namespace status_worker_test
