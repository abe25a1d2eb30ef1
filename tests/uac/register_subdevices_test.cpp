// A terminal-kind switch re-registers the wave subdevices of the engines it changed:
// unregistered, renamed with a fresh number of the engine's own direction and new type,
// registered again; engines that did not change are left alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adapter/device_extension.h"
#include "adapter/node_interfaces.h"
#include "adapter/object_model.h"
#include "kernel/io.h"
#include "support/kernel_fixture.h"
#include "uac/register_subdevices.h"

namespace {

constexpr ULONG kTag = MakePoolTag('T', 'r', 'e', 'g');

std::vector<std::string> g_calls;

// A terminal-kind node whose switches the test makes.
class CKindFlag : public adapter::CUacEntity, public adapter::ITerminalKindNode {
 public:
  CKindFlag(PUNKNOWN outer, ULONG id) : CUacEntity(outer, id, adapter::NODE_TERMINAL_KIND) {}
  DECLARE_STD_UNKNOWN() {
    if (object && IsEqualGUID(iid, adapter::IID_ITerminalKindNode))
      return adapter::ReturnInterface<adapter::ITerminalKindNode>(this, object);
    return CUacEntity::NonDelegatingQueryInterface(iid, object);
  }
  STDMETHODIMP GetKind(PULONG) override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP GetKindCount(PULONG) override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP GetKinds(PULONG) override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP SetKind(ULONG) override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP_(ULONG) IsKindChanged() override { return changed; }
  STDMETHODIMP_(void) ClearKindChanged() override { changed = 0; }
  STDMETHODIMP AddKindListener(adapter::INodeEndpoint*) override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP InitKinds(ULONG, ULONG, const ULONG*) override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP_(ULONG) GetKindSwitchCount() override { return switches; }
  void Switch() {
    changed = 1;
    ++switches;
  }
  ULONG changed = 0;
  ULONG switches = 0;
};

class CRecordingEngine : public adapter::CStreamEngine {
 public:
  CRecordingEngine(PUNKNOWN outer, ULONG id, ULONG type) : CStreamEngine(outer, id), type(type) {}
  STDMETHODIMP_(ULONG) GetEndpointType() override { return type; }
  STDMETHODIMP UnregisterSubdevice(PDEVICE_OBJECT, PIRP, PUNKNOWN) override {
    g_calls.push_back("unregister " + std::to_string(GetEngineId()));
    return unregisterStatus;
  }
  STDMETHODIMP UpdateSubdevice(PDEVICE_OBJECT, PIRP, PUNKNOWN) override {
    g_calls.push_back("update " + std::to_string(GetEngineId()) + " " + std::string(GetName(), GetName() + Length()));
    return STATUS_SUCCESS;
  }
  size_t Length() { return std::char_traits<char16_t>::length(GetName()); }
  ULONG type;
  NTSTATUS unregisterStatus = STATUS_SUCCESS;
  CKindFlag* kind = nullptr;
};

struct Spec {
  ULONG direction;
  ULONG type;
  ULONG kindOf = ULONG(-1);  // another engine whose kind node this one shares; -1: its own
};

class CRegisteringHal : public adapter::CAudioHal {
 public:
  CRegisteringHal(PUNKNOWN outer, std::vector<Spec> specs) : CAudioHal(outer), m_Specs(std::move(specs)) {}
  STDMETHODIMP ProbeDevice() override {
    std::vector<CKindFlag*> kinds;
    for (ULONG i = 0; i < m_Specs.size(); ++i) {
      auto* engine = new (NonPagedPool, kTag) CRecordingEngine(nullptr, i, m_Specs[i].type);
      const bool shared = m_Specs[i].kindOf < i;
      auto* kind = shared ? kinds[m_Specs[i].kindOf] : new (NonPagedPool, kTag) CKindFlag(nullptr, 100 + i);
      if (!engine || !kind) return STATUS_INSUFFICIENT_RESOURCES;
      kinds.push_back(kind);
      engine->AddRef();
      kind->AddRef();
      engine->kind = kind;
      NTSTATUS status = engine->Init(m_Specs[i].direction);
      if (NT_SUCCESS(status)) status = engine->AddNode(kind);
      if (NT_SUCCESS(status)) status = AddStreamEngine(engine);
      kind->Release();
      engine->Release();
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  }

 private:
  std::vector<Spec> m_Specs;
};

class RegisterSubdevices : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    g_calls.clear();
    driver_ = platform::io::CreateDriverObject(u"\\Driver\\rename");
  }
  void TearDown() override {
    if (hal_) hal_->Release();
    if (device_) IoDeleteDevice(device_);
    platform::io::DeleteDriverObject(driver_);
    KernelTest::TearDown();
  }
  // The engines on a device with the driver's extension (or a plain one).
  void Build(std::vector<Spec> specs, bool withExtension = true) {
    ASSERT_EQ(IoCreateDevice(driver_, withExtension ? adapter::kDeviceExtensionSize : 0, nullptr, FILE_DEVICE_KS, 0,
                             FALSE, &device_),
              STATUS_SUCCESS);
    if (withExtension) adapter::GetDeviceExtension(device_)->Fdo = device_;
    ASSERT_EQ(adapter::CreateInstance<CRegisteringHal>(&hal_, nullptr, NonPagedPool, kTag, std::move(specs)),
              STATUS_SUCCESS);
    ASSERT_EQ(hal_->Init(nullptr, device_, nullptr, nullptr), STATUS_SUCCESS);
  }
  CRecordingEngine* Engine(ULONG i) {
    adapter::IStreamEngine* engine = nullptr;
    EXPECT_EQ(hal_->GetEngine(i, &engine), STATUS_SUCCESS);
    return static_cast<CRecordingEngine*>(engine);
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  adapter::IAudioHal* hal_ = nullptr;
};

TEST_F(RegisterSubdevices, AChangedEngineIsRenamedInItsOwnDirectionWithAFreshNumber) {
  Build({{adapter::STREAM_DIRECTION_RENDER, adapter::ENDPOINT_SPK},
         {adapter::STREAM_DIRECTION_CAPTURE, adapter::ENDPOINT_MIC}});
  struct Step {
    bool renderChanged, captureChanged;
    ULONG captureType;
    std::vector<std::string> calls;
  };
  const Step steps[] = {
      {false, true, adapter::ENDPOINT_MIC, {"unregister 1", "update 1 MicIn00"}},
      {false, true, adapter::ENDPOINT_MIC, {"unregister 1", "update 1 MicIn01"}},
      {true, true, adapter::ENDPOINT_LINE, {"unregister 0", "update 0 SPKOut00", "unregister 1", "update 1 LineIn00"}},
      {true, false, adapter::ENDPOINT_LINE, {"unregister 0", "update 0 SPKOut01"}},
      {false, false, adapter::ENDPOINT_LINE, {}},
  };
  for (const Step& step : steps) {
    g_calls.clear();
    if (step.renderChanged) Engine(0)->kind->Switch();
    if (step.captureChanged) Engine(1)->kind->Switch();
    Engine(1)->type = step.captureType;
    EXPECT_EQ(uac::RegisterChangedSubdevices(hal_, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(g_calls, step.calls);
    EXPECT_EQ(Engine(0)->kind->changed, 0u);
    EXPECT_EQ(Engine(1)->kind->changed, 0u);
  }
  // The render counters were never touched by the capture engine.
  EXPECT_EQ(adapter::GetDeviceExtension(device_)->OutputCounters[adapter::ENDPOINT_MIC], 0);
  EXPECT_EQ(adapter::GetDeviceExtension(device_)->InputCounters[adapter::ENDPOINT_MIC], 2);
}

// Engines 0 and 1 end at one switchable terminal (one kind node), engine 2 at another:
// a switch renames every engine behind its terminal once, however many switches came
// before the pass, and a pass with no switch renames none.
TEST_F(RegisterSubdevices, EveryEngineBehindASwitchedTerminalIsRenamedOncePerSwitch) {
  Build({{adapter::STREAM_DIRECTION_RENDER, adapter::ENDPOINT_SPK},
         {adapter::STREAM_DIRECTION_RENDER, adapter::ENDPOINT_SPK, 0},
         {adapter::STREAM_DIRECTION_RENDER, adapter::ENDPOINT_HP}});
  ASSERT_EQ(Engine(0)->kind, Engine(1)->kind);
  struct Step {
    const char* what;
    std::vector<ULONG> switched;  // engines whose kind node switches, once per entry
    ULONG sharedType;             // the type of engines 0 and 1 afterwards
    std::vector<std::string> calls;
  };
  const Step steps[] = {
      {"shared terminal to headphones", {0}, adapter::ENDPOINT_HP,
       {"unregister 0", "update 0 HPOut00", "unregister 1", "update 1 HPOut01"}},
      {"no switch", {}, adapter::ENDPOINT_HP, {}},
      {"two switches before one pass", {0, 1}, adapter::ENDPOINT_SPK,
       {"unregister 0", "update 0 SPKOut00", "unregister 1", "update 1 SPKOut01"}},
      {"both terminals", {1, 2}, adapter::ENDPOINT_HP,
       {"unregister 0", "update 0 HPOut02", "unregister 1", "update 1 HPOut03", "unregister 2", "update 2 HPOut04"}},
      {"no switch again", {}, adapter::ENDPOINT_HP, {}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    g_calls.clear();
    for (ULONG e : step.switched) Engine(e)->kind->Switch();
    Engine(0)->type = Engine(1)->type = step.sharedType;
    EXPECT_EQ(uac::RegisterChangedSubdevices(hal_, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(g_calls, step.calls);
    for (ULONG e = 0; e < 3; ++e) EXPECT_EQ(Engine(e)->kind->changed, 0u);
  }
  EXPECT_EQ(adapter::GetDeviceExtension(device_)->OutputCounters[adapter::ENDPOINT_HP], 5);
  EXPECT_EQ(adapter::GetDeviceExtension(device_)->OutputCounters[adapter::ENDPOINT_SPK], 2);
}

// A pass that fails at the first engine behind a switched terminal leaves the second one
// to the next pass, which renames it (and not the first) once.
TEST_F(RegisterSubdevices, AnEngineAFailedPassDidNotReachIsRenamedByTheNext) {
  Build({{adapter::STREAM_DIRECTION_RENDER, adapter::ENDPOINT_HP},
         {adapter::STREAM_DIRECTION_RENDER, adapter::ENDPOINT_HP, 0}});
  Engine(0)->kind->Switch();
  Engine(0)->unregisterStatus = STATUS_NOT_FOUND;
  EXPECT_EQ(uac::RegisterChangedSubdevices(hal_, nullptr), STATUS_NOT_FOUND);
  EXPECT_EQ(g_calls, std::vector<std::string>{"unregister 0"});
  Engine(0)->unregisterStatus = STATUS_SUCCESS;
  g_calls.clear();
  EXPECT_EQ(uac::RegisterChangedSubdevices(hal_, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"unregister 1", "update 1 HPOut00"}));
  g_calls.clear();
  EXPECT_EQ(uac::RegisterChangedSubdevices(hal_, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(g_calls.empty());
}

TEST_F(RegisterSubdevices, AFailedUnregistrationStopsBeforeTheName) {
  Build({{adapter::STREAM_DIRECTION_RENDER, adapter::ENDPOINT_SPK},
         {adapter::STREAM_DIRECTION_RENDER, adapter::ENDPOINT_HP}});
  Engine(0)->kind->Switch();
  Engine(1)->kind->Switch();
  Engine(0)->unregisterStatus = STATUS_NOT_FOUND;
  EXPECT_EQ(uac::RegisterChangedSubdevices(hal_, nullptr), STATUS_NOT_FOUND);
  EXPECT_EQ(g_calls, std::vector<std::string>{"unregister 0"});
  EXPECT_EQ(adapter::GetDeviceExtension(device_)->OutputCounters[adapter::ENDPOINT_SPK], 0);
  EXPECT_EQ(Engine(1)->kind->changed, 1u);  // the loop ended before it
}

TEST_F(RegisterSubdevices, WithoutTheDriversDeviceOnlyTheFlagsAreTaken) {
  Build({{adapter::STREAM_DIRECTION_RENDER, adapter::ENDPOINT_SPK}}, false);
  Engine(0)->kind->Switch();
  EXPECT_EQ(uac::RegisterChangedSubdevices(hal_, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(g_calls.empty());
  EXPECT_EQ(Engine(0)->kind->changed, 0u);
}

TEST_F(RegisterSubdevices, NoEngineIsAFailure) {
  Build({});
  EXPECT_EQ(uac::RegisterChangedSubdevices(hal_, nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(uac::RegisterChangedSubdevices(nullptr, nullptr), STATUS_INVALID_PARAMETER);
}

}  // namespace
