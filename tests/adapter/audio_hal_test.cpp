// The audio-layer base of the root device and the function objects: its lists, its
// control-change callback object, Init's order and clean-up, the engine links of
// BuildTopology and the power defaults every adapter object shares.
#include "adapter/audio_hal.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/fault_sweep.h"
#include "support/kernel_fixture.h"
#include "support/model_doubles.h"

namespace {

using adapter::CAudioHal;
using adapter::IAudioHal;
using adapter::IStreamEngine;
using adapter::IUacEntity;
using platform::testing::CProbeEntity;
using platform::testing::NewProbeEntity;

using CTestHal = platform::testing::CProbeHal;
constexpr ULONG kHalTag = MakePoolTag('T', 'h', 'a', 'l');

class AudioHal : public platform::testing::KernelTest {
 protected:
  CTestHal* NewHal() { return platform::testing::NewProbeHal(); }
  NTSTATUS Init(CTestHal* hal) { return hal->Init(nullptr, Fdo(), nullptr, nullptr); }
  PDEVICE_OBJECT Fdo() { return reinterpret_cast<PDEVICE_OBJECT>(&fdo_); }
  IStreamEngine* NewEngine(ULONG direction) {
    IStreamEngine* engine = nullptr;
    EXPECT_EQ(adapter::CreateInstance<adapter::CStreamEngine>(&engine, nullptr, NonPagedPool, kHalTag, 1u),
              STATUS_SUCCESS);
    EXPECT_EQ(engine->Init(direction), STATUS_SUCCESS);
    return engine;
  }
  std::vector<std::string> log_;

 private:
  ULONG_PTR fdo_ = 0;
};

NTSTATUS OpenCallback(const void* address, PCALLBACK_OBJECT* object) {
  WCHAR name[64];
  RtlStringCbPrintfW(name, sizeof name, u"\\Callback\\AudioHalAddr%p", address);
  UNICODE_STRING us;
  RtlInitUnicodeString(&us, name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  return ExCreateCallback(object, &attributes, FALSE, TRUE);
}

struct Notified {
  int calls = 0;
  PVOID argument = nullptr;
};
void OnNotify(PVOID context, PVOID argument1, PVOID) {
  auto* seen = static_cast<Notified*>(context);
  ++seen->calls;
  seen->argument = argument1;
}

TEST_F(AudioHal, InitProbesBuildsAndRestoresInListOrder) {
  CTestHal* hal = NewHal();
  hal->probe = [this](CTestHal* self) {
    for (ULONG id : {3u, 1u, 2u}) {
      CProbeEntity* entity = NewProbeEntity(id, 2, 0, &log_);
      NTSTATUS status = self->AddEntity(entity);
      entity->Release();
      if (!NT_SUCCESS(status)) return status;
    }
    log_.push_back("probed");
    return STATUS_SUCCESS;
  };
  ASSERT_EQ(Init(hal), STATUS_SUCCESS);
  EXPECT_EQ(log_, (std::vector<std::string>{"probed", "3: restore", "1: restore", "2: restore"}));
  EXPECT_EQ(hal->GetPowerState(), PowerDeviceD0);
  EXPECT_EQ(hal->GetDeviceObject(), Fdo());
  EXPECT_EQ(hal->GetEntityCount(), 3u);
  EXPECT_EQ(hal->GetEngineCount(), 0u);
  // The callback name's scratch buffer is gone again.
  EXPECT_TRUE(platform::pool::LiveBlocksWithTag(adapter::kTempPoolTag).empty());
  EXPECT_EQ(platform::pool::LiveBlocksWithTag(adapter::kAudioHalPoolTag).size(), 2u);
  EXPECT_EQ(Init(hal), STATUS_INVALID_DEVICE_STATE);
  hal->Release();
}

TEST_F(AudioHal, ControlChangesArePublishedOnTheNamedCallbackObject) {
  CTestHal* hal = NewHal();
  hal->probe = [](CTestHal*) { return STATUS_SUCCESS; };
  PVOID registration = nullptr;
  EXPECT_EQ(hal->RegisterCallback(OnNotify, nullptr, &registration), STATUS_UNSUCCESSFUL);  // no object yet
  ASSERT_EQ(Init(hal), STATUS_SUCCESS);

  PCALLBACK_OBJECT opened = nullptr;
  ASSERT_EQ(OpenCallback(static_cast<CAudioHal*>(hal), &opened), STATUS_SUCCESS);
  EXPECT_EQ(opened, hal->GetCallbackObject());
  Notified seen;
  EXPECT_EQ(hal->RegisterCallback(OnNotify, &seen, nullptr), STATUS_UNSUCCESSFUL);
  ASSERT_EQ(hal->RegisterCallback(OnNotify, &seen, &registration), STATUS_SUCCESS);
  int record = 0;
  ExNotifyCallback(opened, &record, nullptr);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.argument, &record);
  EXPECT_EQ(hal->UnregisterCallback(registration), STATUS_SUCCESS);
  ExNotifyCallback(opened, &record, nullptr);
  EXPECT_EQ(seen.calls, 1);
  ObDereferenceObject(opened);

  hal->Release();
  // The object went with the last reference.
  EXPECT_EQ(OpenCallback(static_cast<CAudioHal*>(hal), &opened), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(AudioHal, FailedProbeReleasesEveryEntityAndEngine) {
  CTestHal* hal = NewHal();
  CProbeEntity* entity = NewProbeEntity(1, 2);
  IStreamEngine* engine = NewEngine(adapter::STREAM_DIRECTION_RENDER);
  hal->probe = [&](CTestHal* self) {
    EXPECT_EQ(self->AddEntity(entity), STATUS_SUCCESS);
    EXPECT_EQ(self->AddStreamEngine(engine), STATUS_SUCCESS);
    EXPECT_EQ(entity->References(), 2);
    return STATUS_DEVICE_DATA_ERROR;
  };
  EXPECT_EQ(Init(hal), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(entity->References(), 1);
  EXPECT_EQ(hal->GetEntityCount(), 0u);
  EXPECT_EQ(hal->GetEngineCount(), 0u);
  IUacEntity* found = nullptr;
  EXPECT_EQ(hal->GetEntity(0, &found), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(platform::pool::LiveBlocksWithTag(adapter::kAudioHalPoolTag).empty());
  // Without its own probe the base refuses to start.
  hal->probe = nullptr;
  EXPECT_EQ(Init(hal), STATUS_NOT_IMPLEMENTED);
  hal->Release();
  engine->Release();
  entity->Release();
}

TEST_F(AudioHal, EveryAllocationOfInitFailsCleanly) {
  const auto allocations = platform::testing::ForEachAllocationFailure([&](platform::testing::FaultSweep& sweep) {
    CTestHal* hal = NewHal();
    hal->probe = [](CTestHal* self) {
      CProbeEntity* entity = NewProbeEntity(1, 2);
      if (!entity) return STATUS_INSUFFICIENT_RESOURCES;
      NTSTATUS status = self->AddEntity(entity);
      entity->Release();
      return status;
    };
    sweep.Arm();
    NTSTATUS status = Init(hal);
    if (sweep.Disarm()) {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << sweep.n();
      EXPECT_EQ(hal->GetEntityCount(), 0u);
    } else {
      EXPECT_EQ(status, STATUS_SUCCESS);
    }
    hal->Release();
  });
  // Two lists, the callback name, the entity and its list node.
  EXPECT_EQ(allocations, 5u);
}

TEST_F(AudioHal, ListsHoldOneReferenceAndAnswerByIndexAndId) {
  CTestHal* hal = NewHal();
  CProbeEntity* entity = NewProbeEntity(4, 2);
  EXPECT_EQ(hal->AddEntity(entity), STATUS_UNSUCCESSFUL);  // before Init
  hal->probe = [](CTestHal*) { return STATUS_SUCCESS; };
  ASSERT_EQ(Init(hal), STATUS_SUCCESS);
  EXPECT_EQ(hal->AddEntity(nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(hal->AddStreamEngine(nullptr), STATUS_INVALID_PARAMETER);

  CProbeEntity* twin = NewProbeEntity(4, 3);
  CProbeEntity* other = NewProbeEntity(9, 2);
  for (CProbeEntity* e : {entity, other, twin}) ASSERT_EQ(hal->AddEntity(e), STATUS_SUCCESS);
  EXPECT_EQ(entity->References(), 2);
  IUacEntity* found = nullptr;
  ASSERT_EQ(hal->FindEntityById(4, &found), STATUS_SUCCESS);
  EXPECT_EQ(found, static_cast<IUacEntity*>(twin));  // the last with the identifier
  EXPECT_EQ(hal->FindEntityById(5, &found), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(hal->FindEntityById(4, nullptr), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(hal->GetEntity(1, &found), STATUS_SUCCESS);
  EXPECT_EQ(found, static_cast<IUacEntity*>(other));
  EXPECT_EQ(other->References(), 2);  // no reference added
  EXPECT_EQ(hal->GetEntity(3, &found), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(hal->GetEntity(0, nullptr), STATUS_INVALID_PARAMETER);

  IStreamEngine* engine = NewEngine(adapter::STREAM_DIRECTION_CAPTURE);
  ASSERT_EQ(hal->AddStreamEngine(engine), STATUS_SUCCESS);
  IStreamEngine* got = nullptr;
  ASSERT_EQ(hal->GetEngine(0, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, engine);
  EXPECT_EQ(hal->GetEngine(1, &got), STATUS_INVALID_PARAMETER);

  // Appends without memory drop the reference they took.
  {
    platform::pool::ScopedFaultInjection faults;
    platform::pool::FailTag(adapter::kPtrListTag);
    EXPECT_EQ(hal->AddEntity(entity), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(hal->AddStreamEngine(engine), STATUS_INSUFFICIENT_RESOURCES);
  }
  EXPECT_EQ(entity->References(), 2);
  EXPECT_EQ(hal->GetEntityCount(), 3u);

  hal->Release();
  EXPECT_EQ(entity->References(), 1);
  for (CProbeEntity* e : {entity, other, twin}) e->Release();
  engine->Release();
}

TEST_F(AudioHal, StartAndStopReachEveryEntityWhateverTheyReturn) {
  CTestHal* hal = NewHal();
  hal->probe = [this](CTestHal* self) {
    for (ULONG id : {1u, 2u}) {
      CProbeEntity* entity = NewProbeEntity(id, 2, 0, &log_);
      self->AddEntity(entity);
      entity->Release();
    }
    return STATUS_SUCCESS;
  };
  ASSERT_EQ(Init(hal), STATUS_SUCCESS);
  log_.clear();
  EXPECT_EQ(hal->StartEntities(), STATUS_SUCCESS);
  EXPECT_EQ(hal->StopEntities(), STATUS_SUCCESS);
  EXPECT_EQ(log_, (std::vector<std::string>{"1: start", "2: start", "1: stop", "2: stop"}));
  hal->Release();
}

TEST_F(AudioHal, RestoreStopsAtTheFirstFailureAndFailsInit) {
  CTestHal* hal = NewHal();
  hal->probe = [this](CTestHal* self) {
    for (ULONG id : {1u, 2u, 3u}) {
      CProbeEntity* entity = NewProbeEntity(id, 2, 0, &log_);
      if (id == 2) entity->restoreStatus = STATUS_DEVICE_REMOVED;
      self->AddEntity(entity);
      entity->Release();
    }
    return STATUS_SUCCESS;
  };
  EXPECT_EQ(Init(hal), STATUS_DEVICE_REMOVED);
  EXPECT_EQ(log_, (std::vector<std::string>{"1: restore", "2: restore"}));
  EXPECT_EQ(hal->GetEntityCount(), 0u);
  hal->Release();
}

// The engine links of BuildTopology: a capture engine hands itself to the switch nodes on
// its path, a render engine calls the render link of its nodes with 0.
TEST_F(AudioHal, EnginesAreHandedToTheLinkNodesOnTheirPaths) {
  using namespace platform::testing;
  CTestHal* hal = NewHal();
  IStreamEngine* capture = NewEngine(adapter::STREAM_DIRECTION_CAPTURE);
  IStreamEngine* render = NewEngine(adapter::STREAM_DIRECTION_RENDER);
  CProbeEntity* captureSwitch = NewProbeEntity(1, 2, ANSWER_CAPTURE_SWITCH, &log_);
  CProbeEntity* vendorSwitch = NewProbeEntity(2, 2, ANSWER_CAPTURE_VENDOR_SWITCH, &log_);
  CProbeEntity* renderLink = NewProbeEntity(3, 2, ANSWER_RENDER_LINK | ANSWER_CAPTURE_SWITCH, &log_);
  CProbeEntity* plain = NewProbeEntity(4, 2, 0, &log_);
  auto* captureEngine = static_cast<adapter::CStreamEngine*>(capture);
  auto* renderEngine = static_cast<adapter::CStreamEngine*>(render);
  for (CProbeEntity* e : {captureSwitch, vendorSwitch, plain}) ASSERT_EQ(captureEngine->AddNode(e), STATUS_SUCCESS);
  for (CProbeEntity* e : {renderLink, plain}) ASSERT_EQ(renderEngine->AddNode(e), STATUS_SUCCESS);
  hal->probe = [&](CTestHal* self) {
    self->AddStreamEngine(capture);
    self->AddStreamEngine(render);
    return STATUS_SUCCESS;
  };
  ASSERT_EQ(Init(hal), STATUS_SUCCESS);
  EXPECT_EQ(log_, (std::vector<std::string>{"1: engine", "2: engine", "3: render 0"}));
  EXPECT_EQ(captureSwitch->linkedEngine, capture);
  EXPECT_EQ(vendorSwitch->linkedEngine, capture);
  EXPECT_EQ(renderLink->linkedEngine, nullptr);
  EXPECT_EQ(captureSwitch->References(), 2);  // the engine's path reference only
  hal->Release();
  capture->Release();
  render->Release();
  for (CProbeEntity* e : {captureSwitch, vendorSwitch, renderLink, plain}) e->Release();
}

TEST_F(AudioHal, PowerChangesFollowTheDeviceStateTable) {
  struct Step {
    ULONG next;
    DEVICE_POWER_STATE stored;
    bool restores;
  };
  // Starting in D0 after Init.
  const Step steps[] = {
      {PowerDeviceD0, PowerDeviceD0, false},           // unchanged: nothing
      {PowerDeviceD3, PowerDeviceD3, false},           //
      {PowerDeviceUnspecified, PowerDeviceD3, false},  // not a state: ignored
      {PowerDeviceMaximum, PowerDeviceD3, false},      //
      {77, PowerDeviceD3, false},
      {PowerDeviceD0, PowerDeviceD0, true},  // back to D0: values go back to the device
      {PowerDeviceD0, PowerDeviceD0, false},
      {PowerDeviceD1, PowerDeviceD1, false},
      {PowerDeviceD2, PowerDeviceD2, false},
      {PowerDeviceD0, PowerDeviceD0, true},  // stored even though the restore fails
  };
  CTestHal* hal = NewHal();
  CProbeEntity* entity = NewProbeEntity(1, 2, 0, &log_);
  hal->probe = [&](CTestHal* self) { return self->AddEntity(entity); };
  ASSERT_EQ(Init(hal), STATUS_SUCCESS);
  entity->restoreStatus = STATUS_DEVICE_REMOVED;
  int index = 0;
  for (const Step& step : steps) {
    log_.clear();
    POWER_STATE state;
    std::memcpy(&state, &step.next, sizeof state);  // also values outside the enumeration
    EXPECT_EQ(hal->QueryPowerChangeState(state), STATUS_SUCCESS);
    hal->PowerChangeState(state);
    EXPECT_EQ(hal->GetPowerState(), step.stored) << "step " << index;
    EXPECT_EQ(log_.size(), step.restores ? 1u : 0u) << "step " << index;
    ++index;
  }
  hal->Release();
  entity->Release();
}

TEST_F(AudioHal, DeviceCapabilitiesGainSurpriseRemovalOkOnly) {
  CTestHal* hal = NewHal();
  DEVICE_CAPABILITIES caps;
  std::memset(&caps, 0xA5, sizeof caps);
  caps.SurpriseRemovalOK = 0;
  DEVICE_CAPABILITIES expected = caps;
  expected.SurpriseRemovalOK = 1;
  EXPECT_EQ(hal->QueryDeviceCapabilities(&caps), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(&caps, &expected, sizeof caps), 0);
  EXPECT_EQ(hal->QueryDeviceCapabilities(nullptr), STATUS_INVALID_PARAMETER);
  hal->Release();
}

TEST_F(AudioHal, AnswersItsInterfacesAndCopiesTheCapabilityRecord) {
  CTestHal* hal = NewHal();
  PVOID itf = nullptr;
  ASSERT_EQ(hal->QueryInterface(IID_IAdapterPowerManagement, &itf), STATUS_SUCCESS);
  EXPECT_EQ(itf, static_cast<IAdapterPowerManagement*>(hal));
  static_cast<PUNKNOWN>(itf)->Release();
  ASSERT_EQ(hal->QueryInterface(adapter::IID_IAudioHal, &itf), STATUS_SUCCESS);
  EXPECT_EQ(itf, static_cast<IAudioHal*>(hal));
  static_cast<PUNKNOWN>(itf)->Release();

  adapter::EndpointCapabilityRecord record{};
  record.CapabilityMask = 0x3FE06F;
  record.FeatureFlags = adapter::ENDPOINT_FEATURE_ASIO | 1;
  hal->SetTemplate(record);
  adapter::EndpointCapabilityRecord out;
  std::memset(&out, 0xFF, sizeof out);
  ASSERT_EQ(hal->GetEngineCapabilityRecord(0, &out), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(&out, &record, sizeof out), 0);
  std::memset(&out, 0xFF, sizeof out);
  ASSERT_EQ(hal->GetCapabilityRecord(1, 7, &out), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(&out, &record, sizeof out), 0);
  EXPECT_EQ(hal->GetEngineCapabilityRecord(0, nullptr), STATUS_INVALID_PARAMETER);
  KSCOMPONENTID id{};
  EXPECT_EQ(hal->GetComponentId(&id), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(hal->WakeForRequest(), STATUS_SUCCESS);
  hal->Release();
}

}  // namespace
