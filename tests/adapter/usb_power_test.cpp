// Power states and selective suspend of the root device on the simulated bus, in virtual
// time: the idle timer, the idle request and its callback's D2, the wake-up every request
// begins with, the timer resolution, the edge cases of the idle request, allocation
// failures, and removal in every phase of a suspend.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel/clock.h"
#include "kernel/po.h"
#include "kernel/workitem.h"
#include "usb_device_fixture.h"

namespace usb_device_test {
namespace {

using platform::clock::kTicksPerMillisecond;
using platform::clock::Now;
using platform::testing::DelayMs;
namespace reg = platform::registry;

constexpr NTSTATUS kDeviceNotReady = static_cast<NTSTATUS>(0xC00000A3u);
constexpr ULONG kIrpTag = MakePoolTag('I', 'r', 'p', ' ');
constexpr ULONG kUntaggedTag = MakePoolTag('N', 'o', 'n', 'e');

// The FDO's power dispatch, as the port class driver does it: powering down tells the
// adapter first and then the bus; powering up lets the bus finish first.
adapter::CUsbAudioDevice* gDevice = nullptr;
PDEVICE_OBJECT gLower = nullptr;

NTSTATUS ForwardDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PowerDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const bool set = stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState;
  const POWER_STATE state = stack->Parameters.Power.State;
  if (set && state.DeviceState == PowerDeviceD0) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ForwardDone, &done, TRUE, TRUE, TRUE);
    PoCallDriver(gLower, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    if (gDevice && NT_SUCCESS(irp->IoStatus.Status)) gDevice->PowerChangeState(state);
    const NTSTATUS status = irp->IoStatus.Status;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  if (set && gDevice) gDevice->PowerChangeState(state);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(gLower, irp);
}

struct PowerWait {
  KEVENT done;
};
VOID PowerRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
  KeSetEvent(&static_cast<PowerWait*>(context)->done, IO_NO_INCREMENT, FALSE);
}

// One step of a scenario. Checks compare the device's state at that moment.
struct Step {
  enum Kind {
    Wait,          // arg: milliseconds of virtual time
    Wake,          // a request with no work of its own: WakeForRequest, EndRequest; arg:
                   // the most milliseconds it may take
    Begin,         // a request begins: WakeForRequest; arg as for Wake
    End,           // the request's work is done: EndRequest
    WakeTakes,     // as Wake; it takes arg milliseconds (and less than 20 more)
    StreamOn,      // a stream takes its streaming alternate setting
    StreamOff,
    HoldPower,     // device power IRPs stay at the port
    ReleasePower,
    PowerTo,       // a device power IRP from the power manager; arg: the state
    Unplug,        // the device leaves the bus
    SendIdle,      // SendIdleRequest directly; arg: the status it must return
    IdleDelay,     // the bus calls the idle callback arg ms after the request
    CancelDelay,   // the bus gives a cancelled idle request back arg ms after the cancel
    CheckD0,       // device in D0, transfers work, no idle request pending
    CheckAsleep,   // device in D2, transfers refused, the idle request pending
    CheckPending,  // in D0 with the idle request pending
    CheckNoWork,   // the timer has queued no work item so far
  } kind;
  LONGLONG arg = 0;
};

struct Row {
  const char* name;
  int enabled;  // "SelectiveSuspendEnabled": -1 absent, else its value
  std::vector<Step> steps;
  LONG idleRequests;  // idle requests sent in all
  LONG d2;            // D2 changes the function saw
};

class Power : public UsbDeviceTest {
 protected:
  void SetUp() override {
    UsbDeviceTest::SetUp();
    driver_->MajorFunction[IRP_MJ_POWER] = PowerDispatch;
  }
  void TearDown() override {
    StopDevice();
    UsbDeviceTest::TearDown();
  }
  NTSTATUS StartWith(int enabled) {
    Plug(DeviceDescriptor(0x1234, 0x5678), Speaker());
    if (enabled >= 0) reg::SetDword(ParametersPath(), u"SelectiveSuspendEnabled", static_cast<ULONG>(enabled));
    gLower = lower_;
    const NTSTATUS status = Start();
    gDevice = device();
    return status;
  }
  void StopDevice() {
    Stop();
    gDevice = nullptr;
  }
  NTSTATUS ReadDeviceDescriptor() {
    URB urb{};
    auto& r = urb.UrbControlDescriptorRequest;
    r.Hdr.Length = sizeof r;
    r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    r.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    r.TransferBuffer = descriptor_;
    r.TransferBufferLength = sizeof descriptor_;
    return device()->SubmitUrbSync(&urb);
  }
  void SetPower(DEVICE_POWER_STATE state) {
    PowerWait wait;
    KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
    POWER_STATE power;
    power.DeviceState = state;
    ASSERT_EQ(PoRequestPowerIrp(port_->pdo(), IRP_MN_SET_POWER, power, PowerRequestDone, &wait, nullptr),
              STATUS_PENDING);
    KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr);
  }
  LONG Count(DEVICE_POWER_STATE state) const {
    LONG n = 0;
    for (DEVICE_POWER_STATE s : Log().power) n += s == state;
    return n;
  }
  void Run(const Step& step, size_t index) {
    SCOPED_TRACE("step " + std::to_string(index) + " at " + std::to_string(Now() / kTicksPerMillisecond) + " ms");
    switch (step.kind) {
      case Step::Wait: DelayMs(step.arg); break;
      case Step::Wake:
      case Step::Begin:
      case Step::WakeTakes: {
        const LONGLONG start = Now();
        EXPECT_EQ(device()->WakeForRequest(), STATUS_SUCCESS);
        if (step.kind == Step::WakeTakes) {
          // The other wait takes what the bus takes to give a cancelled request back.
          EXPECT_GE(Now() - start, step.arg * kTicksPerMillisecond);
          EXPECT_LT(Now() - start, (step.arg + 20) * kTicksPerMillisecond);
        } else {
          EXPECT_LE(Now() - start, step.arg * kTicksPerMillisecond);
        }
        if (step.kind != Step::Begin) {
          EXPECT_EQ(device()->EndRequest(), STATUS_SUCCESS);
        }
        break;
      }
      case Step::End: EXPECT_EQ(device()->EndRequest(), STATUS_SUCCESS); break;
      case Step::StreamOn: device()->AddActivity(); break;
      case Step::StreamOff: device()->ReleaseActivity(); break;
      case Step::HoldPower: port_->HoldPowerIrps(true); break;
      case Step::ReleasePower: port_->HoldPowerIrps(false); break;
      case Step::PowerTo: SetPower(static_cast<DEVICE_POWER_STATE>(step.arg)); break;
      case Step::Unplug: bus().RemoveDevice(); DelayMs(10); break;
      case Step::SendIdle: EXPECT_EQ(device()->SendIdleRequest(), static_cast<NTSTATUS>(step.arg)); break;
      case Step::IdleDelay: port_->SetIdleCallbackDelay(step.arg * kTicksPerMillisecond); break;
      case Step::CancelDelay: port_->SetIdleCancelDelay(step.arg * kTicksPerMillisecond); break;
      case Step::CheckD0:
        EXPECT_EQ(device()->GetPowerState(), PowerDeviceD0);
        EXPECT_FALSE(device()->IdlePending());
        EXPECT_FALSE(bus().idle_pending());
        EXPECT_EQ(ReadDeviceDescriptor(), STATUS_SUCCESS);
        break;
      case Step::CheckAsleep:
        EXPECT_EQ(device()->GetPowerState(), PowerDeviceD2);
        EXPECT_TRUE(device()->IdlePending());
        EXPECT_TRUE(bus().idle_pending());
        EXPECT_FALSE(device()->HoldsTimerResolution());
        EXPECT_EQ(ReadDeviceDescriptor(), kDeviceNotReady);
        break;
      case Step::CheckNoWork: EXPECT_EQ(device()->IdleWorkQueued(), 0); break;
      case Step::CheckPending:
        EXPECT_EQ(device()->GetPowerState(), PowerDeviceD0);
        EXPECT_TRUE(device()->IdlePending());
        EXPECT_TRUE(bus().idle_pending());
        break;
    }
  }
  UCHAR descriptor_[18] = {};
  ScopedFactories factories_;
};

using S = Step;
constexpr LONGLONG kBusy = static_cast<LONGLONG>(STATUS_DEVICE_BUSY);
constexpr LONGLONG kUnsuccessful = static_cast<LONGLONG>(STATUS_UNSUCCESSFUL);
constexpr LONGLONG kPowerInvalid = static_cast<LONGLONG>(static_cast<NTSTATUS>(0xC00002D3u));  // STATUS_POWER_STATE_INVALID

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"absent value: awake for 60 s", -1, {{S::Wait, 60000}, {S::CheckD0}}, 0, 0},
      {"value 0: awake for 60 s", 0, {{S::Wait, 60000}, {S::CheckD0}}, 0, 0},
      {"first idle request 5 s after start, then D2",
       1,
       {{S::Wait, 4990}, {S::CheckD0}, {S::Wait, 60}, {S::CheckAsleep}, {S::Wait, 30000}, {S::CheckAsleep}},
       1,
       1},
      {"a request wakes the device before it goes on",
       1,
       {{S::Wait, 5100}, {S::CheckAsleep}, {S::Wake, 50}, {S::CheckD0}, {S::Wait, 5100}, {S::CheckAsleep}},
       2,
       2},
      // The idle request's cancel comes back at once; the D0 it asks for is held: the wait
      // for it ends after its own 500 ms.
      {"a held D0 delays the request by 500 ms",
       1,
       {{S::Wait, 5100},
        {S::HoldPower},
        {S::WakeTakes, 500},
        {S::ReleasePower},
        {S::Wait, 100},
        {S::CheckD0}},
       1,
       1},
      // The cancelled idle request stays at the bus for 2 s: the wait for it ends after its
      // own 500 ms, and no D0 has been asked for yet. The D0 follows once the bus gives it back.
      {"a late cancel delays the request by 500 ms",
       1,
       {{S::Wait, 5100}, {S::CancelDelay, 2000}, {S::WakeTakes, 500}, {S::CheckAsleep}, {S::Wait, 1600},
        {S::CheckD0}},
       1,
       1},
      // Each wait has 500 ms of its own: the cancel comes back after 300, then the held D0
      // takes the second wait's whole 500.
      {"a late cancel and a held D0 delay the request by 800 ms",
       1,
       {{S::Wait, 5100}, {S::CancelDelay, 300}, {S::HoldPower}, {S::WakeTakes, 800}, {S::ReleasePower},
        {S::Wait, 100}, {S::CheckD0}},
       1,
       1},
      {"a running stream keeps the device awake",
       1,
       {{S::StreamOn}, {S::Wait, 60000}, {S::CheckNoWork}, {S::CheckD0}, {S::StreamOff}, {S::Wait, 5100}, {S::CheckAsleep}},
       1,
       1},
      {"a second idle request is refused and changes nothing",
       1,
       {{S::IdleDelay, 10000},
        {S::Wait, 5100},
        {S::CheckPending},
        {S::SendIdle, kBusy},
        {S::CheckPending},
        {S::Wait, 10000},
        {S::CheckAsleep}},
       1,
       1},
      {"no idle request while a stream holds bandwidth",
       1,
       {{S::StreamOn}, {S::SendIdle, kUnsuccessful}, {S::StreamOff}, {S::CheckD0}},
       0,
       0},
      {"no idle request outside D0", 1, {{S::Wait, 5100}, {S::SendIdle, kPowerInvalid}, {S::CheckAsleep}}, 1, 1},
      {"a wake withdraws a pending request before the callback",
       1,
       {{S::IdleDelay, 10000}, {S::Wait, 5100}, {S::CheckPending}, {S::Wake, 10}, {S::CheckD0}},
       1,
       0},
      // The request stays counted until its work is done: the timer sends no idle request
      // under it, however long the work takes.
      {"a request keeps the device awake until its work is done",
       1,
       {{S::Wait, 5100}, {S::CheckAsleep}, {S::Begin, 50}, {S::Wait, 12000}, {S::CheckD0}, {S::End},
        {S::Wait, 5100}, {S::CheckAsleep}},
       2,
       2},
      {"ten suspend and resume cycles",
       1,
       {{S::Wait, 5100}, {S::Wake, 50}, {S::Wait, 5100}, {S::Wake, 50}, {S::Wait, 5100}, {S::Wake, 50},
        {S::Wait, 5100}, {S::Wake, 50}, {S::Wait, 5100}, {S::Wake, 50}, {S::Wait, 5100}, {S::Wake, 50},
        {S::Wait, 5100}, {S::Wake, 50}, {S::Wait, 5100}, {S::Wake, 50}, {S::Wait, 5100}, {S::Wake, 50},
        {S::Wait, 5100}, {S::Wake, 50}, {S::CheckD0}},
       10,
       10},
  };
  return rows;
}

TEST_F(Power, ScenarioTable) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.name);
    Log() = FunctionLog{};
    ASSERT_EQ(StartWith(row.enabled), STATUS_SUCCESS);
    for (size_t i = 0; i < row.steps.size(); ++i) Run(row.steps[i], i);
    EXPECT_EQ(device()->IdleRequestsSent(), row.idleRequests);
    EXPECT_EQ(Count(PowerDeviceD2), row.d2);
    // Every D2 was followed by a D0, except a device still asleep at the end.
    const bool asleep = device()->GetPowerState() != PowerDeviceD0;
    EXPECT_EQ(Count(PowerDeviceD0), row.d2 - (asleep ? 1 : 0));
    StopDevice();
    TearDownDevice();
    // The device's timer-resolution requests and releases pair up.
    const auto calls = platform::clock::TimerResolutionCalls();
    LONG held = 0;
    for (const auto& c : calls) {
      held += c.set ? 1 : -1;
      EXPECT_GE(held, 0);
    }
    EXPECT_EQ(held, 0);
  }
}

// Leaving D0 while the device is unplugged does not call the function but still gives the
// timer resolution back; a removal from D3 releases nothing twice.
TEST_F(Power, LeavingD0WhenUnpluggedSkipsTheFunction) {
  ASSERT_EQ(StartWith(0), STATUS_SUCCESS);
  Run({S::Unplug}, 0);
  SetPower(PowerDeviceD3);
  EXPECT_EQ(device()->GetPowerState(), PowerDeviceD3);
  EXPECT_EQ(Count(PowerDeviceD3), 0);
  EXPECT_FALSE(device()->HoldsTimerResolution());
  StopDevice();
  LONG held = 0;
  for (const auto& c : platform::clock::TimerResolutionCalls()) held += c.set ? 1 : -1;
  EXPECT_EQ(held, 0);
}

TEST_F(Power, InvalidStatesAreIgnored) {
  ASSERT_EQ(StartWith(0), STATUS_SUCCESS);
  for (ULONG raw : {0u, 5u, 6u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    POWER_STATE state;
    static_assert(sizeof state == sizeof raw);
    std::memcpy(&state, &raw, sizeof raw);
    device()->PowerChangeState(state);
    EXPECT_EQ(device()->GetPowerState(), PowerDeviceD0) << raw;
  }
  EXPECT_TRUE(Log().power.empty());
}

// D3 and back with the ASIO hooks: streaming stops with the power and comes back with it.
// A Stop outside D0 from a client that owns no streaming buffers is refused at once: it
// neither takes the parked-Stop slot nor waits for the return to D0.
TEST_F(Power, AsioStreamingFollowsThePowerState) {
  ASSERT_EQ(StartWith(0), STATUS_SUCCESS);
  device()->SetAsioStreaming(true);
  // Leaving D0 tells the function before ASIO stops; entering D0 tells it before ASIO
  // starts again.
  std::vector<bool> streamingAtFunction;
  Log().onPower = [&](DEVICE_POWER_STATE) { streamingAtFunction.push_back(device()->AsioStreaming()); };
  SetPower(PowerDeviceD3);
  EXPECT_FALSE(device()->AsioStreaming());
  EXPECT_TRUE(device()->AsioSuspendedByPower());
  PFILE_OBJECT file = platform::io::CreateFileObject(fdo_, u"\\QVASIOPrivateInterface");
  ASSERT_NE(file, nullptr);
  adapter::IAsioPrivate* asio = device();
  PIRP stop = IoAllocateIrp(1, FALSE);
  ASSERT_NE(stop, nullptr);
  IoSetNextIrpStackLocation(stop);
  IoGetCurrentIrpStackLocation(stop)->DeviceObject = fdo_;
  IoGetCurrentIrpStackLocation(stop)->FileObject = file;
  stop->IoStatus.Status = STATUS_PENDING;
  // No client for the file yet, then a client that owns nothing.
  EXPECT_EQ(asio->Stop(file, stop), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(asio->OpenClient(file), STATUS_SUCCESS);
  EXPECT_EQ(asio->Stop(file, stop), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(device()->AsioStopParked());
  SetPower(PowerDeviceD0);
  EXPECT_TRUE(device()->AsioStreaming());
  EXPECT_FALSE(device()->AsioSuspendedByPower());
  EXPECT_EQ(stop->IoStatus.Status, STATUS_PENDING);  // never completed
  EXPECT_EQ(streamingAtFunction, (std::vector<bool>{true, false}));
  Log().onPower = nullptr;
  IoFreeIrp(stop);
  EXPECT_EQ(asio->CloseClient(file), STATUS_SUCCESS);
  ObDereferenceObject(file);
}

// Leaving D0 the function hears of the new state while ASIO still streams (streaming stops
// after it); entering D0 it hears of D0 before ASIO streams again.
TEST_F(Power, TheFunctionHearsOfThePowerChangeOnEitherSideOfAsio) {
  ASSERT_EQ(StartWith(0), STATUS_SUCCESS);
  device()->SetAsioStreaming(true);
  std::vector<std::pair<DEVICE_POWER_STATE, bool>> seen;
  Log().onPower = [&](DEVICE_POWER_STATE state) { seen.emplace_back(state, device()->AsioStreaming()); };
  SetPower(PowerDeviceD3);
  EXPECT_FALSE(device()->AsioStreaming());
  SetPower(PowerDeviceD0);
  Log().onPower = nullptr;
  const std::vector<std::pair<DEVICE_POWER_STATE, bool>> expected = {{PowerDeviceD3, true}, {PowerDeviceD0, false}};
  EXPECT_EQ(seen, expected);
  device()->SetAsioStreaming(false);
}

// The idle request is built for the bus driver below: one stack location more than the
// lower device's.
TEST_F(Power, TheIdleRequestHasOneStackLocationMoreThanTheLowerDevice) {
  ASSERT_EQ(StartWith(1), STATUS_SUCCESS);
  DelayMs(5100);
  ASSERT_NE(port_->idle_irp_stack_size(), 0);
  EXPECT_EQ(port_->idle_irp_stack_size(), lower_->StackSize + 1);
}

// Allocation failures of the idle path (work context, work item, callback info, idle IRP)
// leave the device awake and working; the next tick after the failure suspends it.
TEST_F(Power, AllocationFailuresLeaveTheDeviceAwake) {
  const ULONG tags[] = {adapter::kUsbDeviceBufferTag, kWorkItemPoolTag, kUntaggedTag, kIrpTag};
  for (ULONG tag : tags) {
    SCOPED_TRACE(tag);
    Log() = FunctionLog{};
    ASSERT_EQ(StartWith(1), STATUS_SUCCESS);
    {
      platform::pool::ScopedFaultInjection faults;
      DelayMs(4990);
      platform::pool::FailTag(tag);
      DelayMs(100);
    }
    Run({S::CheckD0}, 0);
    EXPECT_EQ(device()->IdleRequestsSent(), 0);
    DelayMs(5000);
    Run({S::CheckAsleep}, 1);
    StopDevice();
    TearDownDevice();
  }
}

// Removal in each phase of a suspend, and surprise removal before it: the destructor
// waits for everything in flight, nothing is freed while queued and nothing leaks (the
// fixture's teardown checks the pool and the verifier).
struct RemovalRow {
  const char* name;
  LONGLONG callbackDelayMs;
  LONGLONG runMs;  // virtual time before the removal
  bool surprise;
};

class Removal : public Power, public ::testing::WithParamInterface<RemovalRow> {};

TEST_P(Removal, CompletesAndLeavesNothing) {
  const RemovalRow& row = GetParam();
  ASSERT_EQ(StartWith(1), STATUS_SUCCESS);
  port_->SetIdleCallbackDelay(row.callbackDelayMs * kTicksPerMillisecond);
  DelayMs(row.runMs);
  if (row.surprise) bus().RemoveDevice();
  const LONGLONG start = Now();
  StopDevice();
  // At most one D0 request went down, and the removal waited only for it.
  EXPECT_LE(Count(PowerDeviceD0), 1);
  EXPECT_LE(Now() - start, 100 * kTicksPerMillisecond);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, Removal,
    ::testing::Values(RemovalRow{"awake", 0, 1000, false}, RemovalRow{"timer_due", 0, 5000, false},
                      RemovalRow{"dpc_or_work_item", 0, 5001, false},
                      RemovalRow{"idle_request_pending", 10000, 5100, false},
                      RemovalRow{"suspended", 0, 5100, false}, RemovalRow{"surprise_awake", 0, 1000, true},
                      RemovalRow{"surprise_pending", 10000, 5100, true},
                      RemovalRow{"surprise_suspended", 0, 5100, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A request arriving at any moment around the idle request (the timer, the work item
// sending it, the callback asking for D2, the D2 under way) never leaves the device asleep
// without an idle request: the next request, with nothing racing it, finds it in D0.
TEST_F(Power, WakeAroundTheIdleRequestNeverStrandsTheDevice) {
  for (LONGLONG at = 4995; at <= 5010; ++at) {
    SCOPED_TRACE("wake at " + std::to_string(at) + " ms");
    Log() = FunctionLog{};
    ASSERT_EQ(StartWith(1), STATUS_SUCCESS);
    DelayMs(at);
    const LONGLONG start = Now();
    EXPECT_EQ(device()->WakeForRequest(), STATUS_SUCCESS);
    EXPECT_EQ(device()->EndRequest(), STATUS_SUCCESS);
    EXPECT_LE(Now() - start, 1000 * kTicksPerMillisecond);
    DelayMs(200);
    // Asleep only with its idle request pending (the timer may have fired after the wake).
    if (device()->GetPowerState() != PowerDeviceD0) {
      EXPECT_TRUE(device()->IdlePending());
    }
    EXPECT_EQ(device()->WakeForRequest(), STATUS_SUCCESS);
    EXPECT_EQ(device()->EndRequest(), STATUS_SUCCESS);
    DelayMs(100);
    Run({S::CheckD0}, 0);
    EXPECT_EQ(Count(PowerDeviceD2), Count(PowerDeviceD0));
    StopDevice();
    TearDownDevice();
  }
}

// The idle IRP's completion racing its cancel, at the same virtual instant, under the
// scheduler's seeds: the IRP is freed once and idle-IRP-done set once, whoever wins.
TEST_F(Power, CompletionRacingTheCancel) {
  ASSERT_EQ(StartWith(1), STATUS_SUCCESS);
  port_->SetIdleCallbackDelay(60000 * kTicksPerMillisecond);
  for (int round = 0; round < 5; ++round) {
    DelayMs(5100);
    ASSERT_TRUE(bus().idle_pending());
    platform::clock::Thread completer("idle-complete", [this] { bus().CompleteIdle(STATUS_SUCCESS); });
    EXPECT_EQ(device()->WakeForRequest(), STATUS_SUCCESS);
    EXPECT_EQ(device()->EndRequest(), STATUS_SUCCESS);
    completer.Join();
    DelayMs(10);
    EXPECT_FALSE(device()->IdlePending());
    EXPECT_EQ(device()->GetPowerState(), PowerDeviceD0);
  }
}

}  // namespace
}  // namespace usb_device_test
