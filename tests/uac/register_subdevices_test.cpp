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

// A terminal-kind node whose change flag the test sets.
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
  ULONG changed = 0;
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
};

class CRegisteringHal : public adapter::CAudioHal {
 public:
  CRegisteringHal(PUNKNOWN outer, std::vector<Spec> specs) : CAudioHal(outer), m_Specs(std::move(specs)) {}
  STDMETHODIMP ProbeDevice() override {
    for (ULONG i = 0; i < m_Specs.size(); ++i) {
      auto* engine = new (NonPagedPool, kTag) CRecordingEngine(nullptr, i, m_Specs[i].type);
      auto* kind = new (NonPagedPool, kTag) CKindFlag(nullptr, 100 + i);
      if (!engine || !kind) return STATUS_INSUFFICIENT_RESOURCES;
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
    Engine(0)->kind->changed = step.renderChanged;
    Engine(1)->kind->changed = step.captureChanged;
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

TEST_F(RegisterSubdevices, AFailedUnregistrationStopsBeforeTheName) {
  Build({{adapter::STREAM_DIRECTION_RENDER, adapter::ENDPOINT_SPK},
         {adapter::STREAM_DIRECTION_RENDER, adapter::ENDPOINT_HP}});
  Engine(0)->kind->changed = 1;
  Engine(1)->kind->changed = 1;
  Engine(0)->unregisterStatus = STATUS_NOT_FOUND;
  EXPECT_EQ(uac::RegisterChangedSubdevices(hal_, nullptr), STATUS_NOT_FOUND);
  EXPECT_EQ(g_calls, std::vector<std::string>{"unregister 0"});
  EXPECT_EQ(adapter::GetDeviceExtension(device_)->OutputCounters[adapter::ENDPOINT_SPK], 0);
  EXPECT_EQ(Engine(1)->kind->changed, 1u);  // the loop ended before it
}

TEST_F(RegisterSubdevices, WithoutTheDriversDeviceOnlyTheFlagsAreTaken) {
  Build({{adapter::STREAM_DIRECTION_RENDER, adapter::ENDPOINT_SPK}}, false);
  Engine(0)->kind->changed = 1;
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
