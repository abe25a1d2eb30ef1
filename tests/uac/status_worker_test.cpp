// The status workers through the simulated device's status endpoint, on devices built
// from real descriptor dumps: a control turned on the device reaches the node's cached
// value and publishes the records its class version calls for; messages that name no
// control change nothing; a jack change reaches every engine's subdevice update; the
// worker starts, stops and restarts with the power state, ends on a failing transfer
// without hanging its stop, and refreshes every unit when it starts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adapter/audio_class.h"
#include "adapter/object_model.h"
#include "kernel/pool.h"
#include "kernel/ps.h"
#include "status_worker_fixture.h"
#include "uac/control_interfaces.h"
#include "uac/unit_interfaces.h"
#include "usb/usbdi.h"

namespace {

using status_worker_test::EngineCall;
using status_worker_test::Engines;
using Bytes = std::vector<UCHAR>;

// uac1-headset-A: input terminals 2 and 1, output terminals 3 and 4, feature units 5
// (mute, two-channel volume) and 6 (mute, volume), selector unit 10; a render engine on
// interface 1 and a capture engine on interface 2.
constexpr char kHeadset[] = "uac1-headset-A.txt";
// uac1-dac-dongle-A: nine units, three of them (10, 11, 12) with identifiers at or above
// the unit count.
constexpr char kDongle[] = "uac1-dac-dongle-A.txt";
// uac2-uac3-dongle-J: a 2.0 function with its own status endpoint (6-byte packets):
// terminals 1, 3, 4, 6, feature units 2, 5, 7, mixer 8, clock sources 9 and 10.
constexpr char kUac2Dongle[] = "uac2-uac3-dongle-J.txt";

constexpr UCHAR kMute = 1, kVolume = 2;

class StatusWorker : public status_worker_test::StatusWorkerTest {
 protected:
  void TearDown() override {
    platform::ps::FailThreadCreation(0);
    StatusWorkerTest::TearDown();
  }
  void StartHeadset() {
    PlugDump(kHeadset, 2);
    StartDevice();
    ASSERT_EQ(StartWorker(), STATUS_SUCCESS);
    SettleFirstRefresh(10);
  }
  void StartUac2Dongle() {
    PlugDump(kUac2Dongle, 0);
    StartDevice();
    ASSERT_EQ(StartWorker(), STATUS_SUCCESS);
    ASSERT_TRUE(function()->WorkerRunning());
  }
  LONG Level(ULONGLONG node, ULONG channel) {
    PVOID itf = nullptr;
    EXPECT_EQ(Node(node)->QueryInterface(uac::IID_ILevelControl, &itf), STATUS_SUCCESS);
    if (!itf) return 0;
    LONG level = 0;
    EXPECT_EQ(static_cast<uac::ILevelControl*>(itf)->GetLevel(channel, &level), STATUS_SUCCESS);
    static_cast<PUNKNOWN>(itf)->Release();
    return level;
  }
  UCHAR Switch(ULONGLONG node, ULONG channel) {
    PVOID itf = nullptr;
    EXPECT_EQ(Node(node)->QueryInterface(uac::IID_IBoolControl, &itf), STATUS_SUCCESS);
    if (!itf) return 0xFF;
    UCHAR value = 0;
    EXPECT_EQ(static_cast<uac::IBoolControl*>(itf)->GetValue(channel, &value), STATUS_SUCCESS);
    static_cast<PUNKNOWN>(itf)->Release();
    return value;
  }
  // The cached value of a node as a number: a level in 1/65536 dB or a switch.
  LONG Cached(ULONGLONG node, ULONG channel, UCHAR selector) {
    return selector == kVolume ? Level(node, channel) : Switch(node, channel);
  }
  std::vector<EngineCall> Updates(std::initializer_list<ULONG> engines) {
    std::vector<EngineCall> calls;
    for (ULONG e : engines)
      calls.push_back({e, EngineCall::Update, 0, static_cast<adapter::IAudioHal*>(function())});
    return calls;
  }
};

// One control turned on the device and what the node caches afterwards. Volumes travel
// in 1/256 dB and are cached in 1/65536 dB.
struct TurnedControl {
  const char* name;
  UCHAR unit, selector, deviceChannel;
  LONG deviceValue;
  ULONG nodeIndex, nodeChannel;
  LONG cached;
};

TEST_F(StatusWorker, Uac1ControlTurnedOnTheDeviceRefreshesAndPublishesEveryNodeOfItsUnit) {
  StartHeadset();
  const TurnedControl rows[] = {
      {"left volume of unit 5", 5, kVolume, 1, -10 * 256, 1, 0, -10 * 65536},
      {"right volume of unit 5", 5, kVolume, 2, -3 * 256 - 128, 1, 1, -3 * 65536 - 32768},
      {"mute of unit 5", 5, kMute, 0, 1, 0, 0, 1},
      {"mute of unit 6", 6, kMute, 0, 1, 0, 0, 1},
      {"volume of unit 6", 6, kVolume, 0, -60 * 256, 1, 0, -60 * 65536},
  };
  for (const TurnedControl& row : rows) {
    SCOPED_TRACE(row.name);
    const std::vector<ULONGLONG> nodes = NodesOf(row.unit);
    ASSERT_GT(nodes.size(), row.nodeIndex);
    ASSERT_NE(Cached(nodes[row.nodeIndex], row.nodeChannel, row.selector), row.cached);
    ASSERT_TRUE(sim_->ChangeControl({.id = row.unit, .selector = row.selector, .channel = row.deviceChannel},
                                    row.deviceValue));
    // One status word for the unit: every node of the unit is read again and published.
    EXPECT_EQ(ChangesBeforeMarker(10), nodes);
    EXPECT_EQ(Cached(nodes[row.nodeIndex], row.nodeChannel, row.selector), row.cached);
    EXPECT_TRUE(TakeEngineCalls().empty());
  }
}

TEST_F(StatusWorker, Uac2ControlTurnedOnTheDevicePublishesExactlyTheOneNodeOfTheControl) {
  StartUac2Dongle();
  SettleFirstRefresh(7);
  const TurnedControl rows[] = {
      {"left volume of unit 2", 2, kVolume, 1, -12 * 256, 1, 0, -12 * 65536},
      {"right volume of unit 2", 2, kVolume, 2, -1 * 256, 1, 1, -65536},
      {"mute of unit 2", 2, kMute, 0, 1, 0, 0, 1},
      {"mute of unit 5", 5, kMute, 0, 1, 0, 0, 1},
      {"volume of unit 5", 5, kVolume, 1, -30 * 256, 1, 0, -30 * 65536},
  };
  for (const TurnedControl& row : rows) {
    SCOPED_TRACE(row.name);
    const std::vector<ULONGLONG> nodes = NodesOf(row.unit);
    ASSERT_GT(nodes.size(), row.nodeIndex);
    ASSERT_NE(Cached(nodes[row.nodeIndex], row.nodeChannel, row.selector), row.cached);
    ASSERT_TRUE(sim_->ChangeControl({.id = row.unit, .selector = row.selector, .channel = row.deviceChannel},
                                    row.deviceValue));
    EXPECT_EQ(ChangesBeforeMarker(7), std::vector<ULONGLONG>{nodes[row.nodeIndex]});
    EXPECT_EQ(Cached(nodes[row.nodeIndex], row.nodeChannel, row.selector), row.cached);
  }
}

// Status words that name no control of the function: nothing is refreshed, published or
// updated. Before each, a word for unit 5 leaves its bytes in the transfer buffer, so a
// short word that were read whole would name unit 5 again.
TEST_F(StatusWorker, Uac1StatusWordsThatNameNoControlChangeNothing) {
  StartHeadset();
  const struct {
    const char* name;
    Bytes word;
  } rows[] = {
      {"memory changed, originator a streaming interface (0x41)", {0x41, 5}},
      {"originator a streaming endpoint", {0x82, 5}},
      {"originator type 15", {0x8F, 5}},
      {"one byte", {0x80}},
      {"no bytes", {}},
      {"an entity the function does not have", {0x80, 99}},
      {"entity 0", {0x80, 0}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    PushChangeOf(5);
    EXPECT_EQ(ChangesBeforeMarker(10), NodesOf(5));
    sim_->PushInterruptData(StatusEndpoint(), row.word);
    EXPECT_EQ(ChangesBeforeMarker(10), std::vector<ULONGLONG>{});
    EXPECT_TRUE(TakeEngineCalls().empty());
  }
  EXPECT_TRUE(function()->WorkerRunning());
}

TEST_F(StatusWorker, Uac2MessagesThatNameNoCurrentValueChangeNothing) {
  StartUac2Dongle();
  SettleFirstRefresh(7);
  const UCHAR control = function()->GetControlInterfaceNumber();
  const struct {
    const char* name;
    Bytes message;
  } rows[] = {
      {"RANGE changed", {0, 2, 0, kMute, control, 5}},
      {"MEM changed", {0, 3, 0, kMute, control, 5}},
      {"from an endpoint (bInfo 1)", {1, 1, 0, kMute, control, 5}},
      {"vendor-specific (bInfo 2)", {2, 1, 0, kMute, control, 5}},
      {"another interface", {0, 1, 0, kMute, static_cast<UCHAR>(control + 1), 5}},
      {"five bytes", {0, 1, 0, kMute, control}},
      {"one byte", {0}},
      {"no bytes", {}},
      {"an entity the function does not have", {0, 1, 0, kMute, control, 99}},
      {"a control the unit does not have", {0, 1, 0, 9, control, 5}},
      {"a terminal's control other than its connectors", {0, 1, 0, 1, control, 1}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    PushChangeOf(5);
    EXPECT_EQ(ChangesBeforeMarker(7), std::vector<ULONGLONG>{NodesOf(5)[0]});
    sim_->PushInterruptData(StatusEndpoint(), row.message);
    EXPECT_EQ(ChangesBeforeMarker(7), std::vector<ULONGLONG>{});
    EXPECT_TRUE(TakeEngineCalls().empty());
  }
}

// A jack plugged or pulled reaches every engine's subdevice update, in engine order, with
// the function as the adapter; terminals publish no control change.
TEST_F(StatusWorker, JackChangesUpdateEveryEngineSubdevice) {
  const struct {
    const char* name;
    const char* dump;
    UCHAR terminal;
    UCHAR marker;
  } rows[] = {
      {"1.0 input terminal", kHeadset, 1, 10},
      {"1.0 output terminal", kHeadset, 3, 10},
      {"2.0 input terminal", kUac2Dongle, 4, 7},
      {"2.0 output terminal", kUac2Dongle, 3, 7},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    PlugDump(row.dump, std::string(row.dump) == kHeadset ? 2 : 0);
    StartDevice();
    ASSERT_EQ(StartWorker(), STATUS_SUCCESS);
    SettleFirstRefresh(row.marker);
    ASSERT_EQ(hal_->GetEngineCount(), 2u);
    sim_->SetJackState(row.terminal, 0);
    EXPECT_EQ(ChangesBeforeMarker(row.marker), std::vector<ULONGLONG>{});
    EXPECT_EQ(TakeEngineCalls(), Updates({1, 2}));
    sim_->SetJackState(row.terminal, 0x3);
    EXPECT_EQ(ChangesBeforeMarker(row.marker), std::vector<ULONGLONG>{});
    EXPECT_EQ(TakeEngineCalls(), Updates({1, 2}));
    EndDevice();
  }
}

TEST_F(StatusWorker, AFailedSubdeviceUpdateEndsTheRoundAtThatEngine) {
  StartHeadset();
  {
    std::lock_guard hold(Engines().lock);
    Engines().updateStatus = {{1, STATUS_UNSUCCESSFUL}};
  }
  PushChangeOf(1);
  EXPECT_EQ(ChangesBeforeMarker(10), std::vector<ULONGLONG>{});
  EXPECT_EQ(TakeEngineCalls(), Updates({1}));
  // The worker goes on with the next word.
  EXPECT_TRUE(function()->WorkerRunning());
}

// The worker's first refresh reads every unit of the function, whatever its identifier:
// the dongle's units 10, 11 and 12 lie at or above its unit count of nine.
TEST_F(StatusWorker, FirstRefreshReadsEveryUnitWhateverItsIdentifier) {
  PlugDump(kDongle, 2);
  StartDevice();
  uac::CUac1Function* f = function();
  ASSERT_EQ(f->GetUnitCount(), 9u);
  const std::vector<ULONGLONG> unit11 = NodesOf(11);
  ASSERT_EQ(unit11.size(), 2u);
  // Turned while no worker listened.
  ASSERT_TRUE(sim_->SetControl({.id = 11, .selector = kMute, .channel = 0}, 1));
  ASSERT_EQ(Switch(unit11[0], 0), 0);

  std::vector<ULONGLONG> expected;
  std::vector<EngineCall> updates;
  for (ULONG i = 0; i < f->GetUnitCount(); ++i) {
    adapter::IUacEntity* unit = nullptr;
    ASSERT_EQ(f->GetUnit(i, &unit), STATUS_SUCCESS);
    const ULONG type = unit->GetType();
    if (type == adapter::AC_INPUT_TERMINAL || type == adapter::AC_OUTPUT_TERMINAL) {
      for (const EngineCall& c : Updates({1, 2})) updates.push_back(c);
    } else {
      for (ULONGLONG n : NodesOf(unit->GetId())) expected.push_back(n);
    }
  }
  ASSERT_EQ(StartWorker(), STATUS_SUCCESS);
  EXPECT_EQ(ChangesBeforeMarker(2, expected), expected);
  EXPECT_EQ(TakeEngineCalls(), updates);
  EXPECT_EQ(Switch(unit11[0], 0), 1);
}

// A bulk IN pipe beside a 2.0 function's status pipe is kept read: what arrives on it is
// dropped and the status messages go on; a failure on either pipe ends the worker with
// both transfers back.
class Uac2BulkPipe : public StatusWorker {
 protected:
  static constexpr UCHAR kBulk = 0x8D;
  void SetUp() override {
    StatusWorker::SetUp();
    PlugEdited(kUac2Dongle, [](std::vector<std::uint8_t>& configuration) {
      std::string error;
      ASSERT_TRUE(sim::device::AddControlEndpoint(configuration, kBulk, 2, 64, 0, error)) << error;
    });
    StartDevice();
    ASSERT_EQ(StartWorker(), STATUS_SUCCESS);
    ASSERT_TRUE(function()->WorkerRunning());
    ASSERT_NE(static_cast<uac::CUac2Function*>(function())->BulkPipeIndex(), uac::kNoPipe);
    SettleFirstRefresh(7);
  }
};

TEST_F(Uac2BulkPipe, WhatArrivesOnTheBulkPipeIsDroppedAndStatusMessagesGoOn) {
  for (size_t bytes : {0u, 1u, 6u, 64u, 512u}) {
    SCOPED_TRACE(bytes);
    // Bulk bytes shaped like a status message name nothing.
    Bytes data(bytes, 0x01);
    if (bytes >= 6) data = {0, 1, 0, kMute, 0, 5};
    data.resize(bytes, 0);
    sim_->PushInterruptData(kBulk, data);
    PushChangeOf(5);
    EXPECT_EQ(ChangesBeforeMarker(7), std::vector<ULONGLONG>{NodesOf(5)[0]});
  }
  EXPECT_TRUE(function()->WorkerRunning());
}

TEST_F(Uac2BulkPipe, AFailureOnEitherPipeEndsTheWorker) {
  for (UCHAR endpoint : {kBulk, StatusEndpoint()}) {
    SCOPED_TRACE(endpoint);
    sim_->HaltEndpoint(endpoint);
    EXPECT_TRUE(RunUntil([&] { return !function()->WorkerRunning(); }));
    EXPECT_EQ(StopWorker(), STATUS_SUCCESS);
    EXPECT_FALSE(function()->WorkerStarted());
    // A halted endpoint is cleared by the reset of the next selection of the interface.
    EXPECT_EQ(StartWorker(), STATUS_SUCCESS);
    SettleFirstRefresh(7);
  }
}

// Where a function has no status pipe it starts without a thread.
TEST_F(StatusWorker, NoStatusPipeNoThread) {
  const struct {
    const char* name;
    const char* dump;
    USHORT packet;
  } rows[] = {
      {"1.0 without an endpoint on its control interface", kHeadset, 0},
      {"1.0 with an interrupt endpoint of 8-byte packets", kHeadset, 8},
      {"1.0 with an interrupt endpoint of 6-byte packets", kHeadset, 6},
      {"2.0 without an endpoint on its control interface", "uac2-linux-gadget-K.txt", 0},
      {"2.0 with an interrupt endpoint of 2-byte packets", "uac2-linux-gadget-K.txt", 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    PlugDump(row.dump, row.packet);
    StartDevice();
    EXPECT_EQ(StartWorker(), STATUS_SUCCESS);
    EXPECT_FALSE(function()->WorkerStarted());
    EXPECT_EQ(function()->StatusPipeIndex(), uac::kNoPipe);
    EXPECT_EQ(StopWorker(), STATUS_SUCCESS);
    EndDevice();
  }
}

// The worker threads run at 24 in the 1.0 family and at 16 for a 2.0 function.
TEST_F(StatusWorker, WorkersRunAtTheirClassPriority) {
  StartHeadset();
  EXPECT_EQ(function()->WorkerPriority(), 24);
  EXPECT_EQ(StopWorker(), STATUS_SUCCESS);
  EndDevice();
  StartUac2Dongle();
  EXPECT_EQ(function()->WorkerPriority(), 16);
  EXPECT_EQ(StopWorker(), STATUS_SUCCESS);
}

TEST_F(StatusWorker, StartingTwiceKeepsOneWorker) {
  StartHeadset();
  EXPECT_EQ(StartWorker(), STATUS_SUCCESS);
  PushChangeOf(5);
  EXPECT_EQ(ChangesBeforeMarker(10), NodesOf(5));
  EXPECT_EQ(StopWorker(), STATUS_SUCCESS);
  EXPECT_FALSE(function()->WorkerStarted());
  EXPECT_EQ(StopWorker(), STATUS_SUCCESS);
}

// A transfer that fails ends the worker; the stop still returns, and a new start serves
// the endpoint again once it works.
TEST_F(StatusWorker, AFailingTransferEndsTheWorkerAndItsStopStillReturns) {
  const struct {
    const char* name;
    std::function<void()> fail;
  } rows[] = {
      {"endpoint halted", [this] { sim_->HaltEndpoint(StatusEndpoint()); }},
      {"transfer completes with an error",
       [this] {
         // The pending transfer completes with the word below; the next one fails.
         bus().FailNthUrb(1, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL,
                            URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
         PushChangeOf(6);
       }},
      {"data overrun", [this] { sim_->PushInterruptData(StatusEndpoint(), {0x80, 5, 0}); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    StartHeadset();
    row.fail();
    EXPECT_TRUE(RunUntil([&] { return !function()->WorkerRunning(); }));
    EXPECT_TRUE(function()->WorkerStarted());
    EXPECT_EQ(StopWorker(), STATUS_SUCCESS);
    EXPECT_FALSE(function()->WorkerStarted());
    TakeChanges();
    EndDevice();
  }
}

// The mended start: a worker that cannot start holds no pipe, and its stop waits for
// nothing; the next start works.
TEST_F(StatusWorker, AWorkerThatCannotStartHoldsNothing) {
  const struct {
    const char* name;
    NTSTATUS expected;
    std::function<void()> fail;
  } rows[] = {
      {"no thread", STATUS_INSUFFICIENT_RESOURCES, [] { platform::ps::FailThreadCreation(1); }},
      {"no memory for the interface information", STATUS_INSUFFICIENT_RESOURCES,
       [] { platform::pool::FailNthAllocation(2, uac::kInterfaceInfoTag); }},
      {"no memory for the select request", STATUS_INSUFFICIENT_RESOURCES,
       [] { platform::pool::FailNthAllocation(1, uac::kInterfaceInfoTag); }},
      {"the interface cannot be selected", STATUS_UNSUCCESSFUL,
       [this] {
         bus().FailNthUrb(1, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, URB_FUNCTION_SELECT_INTERFACE);
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    PlugDump(kHeadset, 2);
    StartDevice();
    row.fail();
    EXPECT_EQ(StartWorker(), row.expected);
    EXPECT_FALSE(function()->WorkerStarted());
    EXPECT_EQ(function()->StatusPipeIndex(), uac::kNoPipe);
    EXPECT_EQ(StopWorker(), STATUS_SUCCESS);
    ASSERT_EQ(StartWorker(), STATUS_SUCCESS);
    SettleFirstRefresh(10);
    PushChangeOf(6);
    EXPECT_EQ(ChangesBeforeMarker(10), NodesOf(6));
    EndDevice();
  }
}

TEST_F(StatusWorker, AWorkerWithoutMemoryForItsTransferEndsAtOnce) {
  PlugDump(kHeadset, 2);
  StartDevice();
  platform::pool::FailTag(uac::kUac1FunctionTag);
  EXPECT_EQ(StartWorker(), STATUS_SUCCESS);
  EXPECT_TRUE(RunUntil([&] { return !function()->WorkerRunning(); }));
  platform::pool::FailTag(uac::kUac1FunctionTag, false);
  EXPECT_EQ(StopWorker(), STATUS_SUCCESS);
  EXPECT_TRUE(TakeChanges().empty());
}

// Leaving D0 stops the worker and returning starts it again, with the engines told the
// state and (in D0) their subdevices updated; a change made while the device slept is
// read at the return.
TEST_F(StatusWorker, PowerStatesStopAndRestartTheWorker) {
  const struct {
    const char* name;
    const char* dump;
    USHORT packet;
    UCHAR marker;
  } rows[] = {
      {"1.0", kHeadset, 2, 10},
      {"2.0", kUac2Dongle, 0, 7},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    PlugDump(row.dump, row.packet);
    StartDevice();
    ASSERT_EQ(StartWorker(), STATUS_SUCCESS);
    SettleFirstRefresh(row.marker);
    for (int cycle = 0; cycle < 2; ++cycle) {
      SCOPED_TRACE(cycle);
      SetPower(PowerDeviceD3);
      EXPECT_FALSE(function()->WorkerStarted());
      EXPECT_EQ(TakeEngineCalls(), (std::vector<EngineCall>{{1, EngineCall::Power, PowerDeviceD3, nullptr},
                                                            {2, EngineCall::Power, PowerDeviceD3, nullptr}}));
      SetPower(PowerDeviceD2);  // another sleeping state: the worker stays stopped
      EXPECT_FALSE(function()->WorkerStarted());
      TakeEngineCalls();
      // Turned while asleep: nobody hears it now.
      const sim::device::SimDevice::ControlKey mute{.id = 5, .selector = kMute, .channel = 0};
      const auto kept = sim_->GetControl(mute);
      ASSERT_TRUE(kept);
      ASSERT_TRUE(sim_->ChangeControl(mute, *kept ? 0 : 1));
      platform::testing::DelayMs(100);
      EXPECT_TRUE(TakeChanges().empty());

      SetPower(PowerDeviceD0);
      EXPECT_TRUE(function()->WorkerRunning());
      const PUNKNOWN self = static_cast<adapter::IAudioHal*>(function());
      // The power change's own calls come first; the restarted worker's first refresh may
      // already have told the engines of its terminals, which adds updates only.
      std::vector<EngineCall> calls = TakeEngineCalls();
      ASSERT_GE(calls.size(), 4u);
      EXPECT_EQ(std::vector<EngineCall>(calls.begin(), calls.begin() + 4),
                (std::vector<EngineCall>{{1, EngineCall::Power, PowerDeviceD0, nullptr},
                                         {1, EngineCall::Update, 0, self},
                                         {2, EngineCall::Power, PowerDeviceD0, nullptr},
                                         {2, EngineCall::Update, 0, self}}));
      for (size_t i = 4; i < calls.size(); ++i) EXPECT_EQ(calls[i].What, EngineCall::Update) << "call " << i;
      // Back in D0 the driver's values go back to the device, and the word sent while it
      // slept is served once the worker listens again.
      const std::vector<ULONGLONG> before = ChangesBeforeMarker(row.marker, FirstRefreshChanges());
      const ULONGLONG node = NodesOf(5)[0];
      EXPECT_NE(std::find(before.begin(), before.end(), node), before.end());
      EXPECT_EQ(sim_->GetControl(mute), kept);
      EXPECT_EQ(Switch(node, 0), *kept);
      TakeEngineCalls();
    }
    // A state outside D0 to D3, given to the function, changes nothing.
    POWER_STATE odd{};
    for (ULONG value : {0u, 5u, 0x80000001u}) {
      RtlCopyMemory(&odd, &value, sizeof value);
      static_cast<IAdapterPowerManagement*>(function())->PowerChangeState(odd);
      EXPECT_TRUE(function()->WorkerRunning());
      EXPECT_EQ(function()->GetPowerState(), PowerDeviceD0);
    }
    EXPECT_TRUE(TakeEngineCalls().empty());
    EndDevice();
  }
}

// Every return to D0 runs the probe's last step again in the 1.0 family, never in 2.0.
template <class Function>
class CCountingFunction : public Function {
 public:
  using Function::Function;
  STDMETHODIMP AfterProbe() override {
    ++calls;
    return Function::AfterProbe();
  }
  static inline int calls = 0;
};

template <class Function>
NTSTATUS CreateCounting(PUNKNOWN* unknown, PUNKNOWN outer, const adapter::FunctionContext& context) {
  return adapter::CreateNonDelegatingInstance<CCountingFunction<Function>>(unknown, outer, NonPagedPool,
                                                                           uac::kUac1FunctionTag, context);
}

TEST_F(StatusWorker, ReturningToD0RunsAfterProbeInThe10FamilyOnly) {
  const struct {
    const char* name;
    const char* dump;
    adapter::FunctionClass cls;
    adapter::FunctionFactory factory;
    int* calls;
    int perReturn;
  } rows[] = {
      {"1.0", kHeadset, adapter::FunctionClass::Uac1, &CreateCounting<uac::CUac1Function>,
       &CCountingFunction<uac::CUac1Function>::calls, 1},
      {"2.0", kUac2Dongle, adapter::FunctionClass::Uac2, &CreateCounting<uac::CUac2Function>,
       &CCountingFunction<uac::CUac2Function>::calls, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const adapter::FunctionFactory saved = adapter::SetFunctionFactory(row.cls, row.factory);
    *row.calls = 0;
    PlugDump(row.dump, 0);
    StartDevice();
    for (int cycle = 1; cycle <= 2; ++cycle) {
      SetPower(PowerDeviceD3);
      SetPower(PowerDeviceD0);
      EXPECT_EQ(*row.calls, cycle * row.perReturn);
    }
    EndDevice();
    adapter::SetFunctionFactory(row.cls, saved);
  }
}

TEST_F(StatusWorker, ReleasingTheDeviceEndsARunningWorker) {
  StartHeadset();
  PushChangeOf(5);
  PushChangeOf(6);
  platform::testing::DelayMs(2);
  EndDevice();  // the function's destructor ends the worker, mid-change or waiting
  EXPECT_EQ(hal_, nullptr);
}

}  // namespace
