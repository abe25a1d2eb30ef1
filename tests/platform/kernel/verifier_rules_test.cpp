// Verifier rules: the pending rule, spin locks released at the wrong IRQL. Each fires on
// its fault and stays silent on the correct pattern.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "kernel/clock.h"
#include "kernel/callback.h"
#include "kernel/io.h"
#include "kernel/mm.h"
#include "kernel/sched.h"
#include "kernel/ke.h"
#include "kernel/verifier.h"
#include "support/kernel_fixture.h"

namespace {

using platform::verifier::Check;
using platform::verifier::ScopedCapture;

class VerifierRules : public platform::testing::KernelTest {};

// A function driver's FDO on a bus driver's PDO; the test picks both dispatch routines.
struct TwoDrivers {
  PDRIVER_OBJECT bus = platform::io::CreateDriverObject(u"\\Driver\\RulesBus");
  PDRIVER_OBJECT function = platform::io::CreateDriverObject(u"\\Driver\\RulesFunction");
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT lower = nullptr;

  TwoDrivers(PDRIVER_DISPATCH busDispatch, PDRIVER_DISPATCH functionDispatch) {
    bus->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = busDispatch;
    function->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = functionDispatch;
    EXPECT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(function, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo),
              STATUS_SUCCESS);
    lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = lower;
  }
  ~TwoDrivers() {
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
    IoDeleteDevice(pdo);
    platform::io::DeleteDriverObject(function);
    platform::io::DeleteDriverObject(bus);
  }
};

PIRP held = nullptr;  // an IRP the bus driver keeps for later completion

NTSTATUS Done(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

// Sends an IRP down from the top, completes a held one, and frees it.
void SendAndFinish(TwoDrivers& d) {
  PIRP irp = IoAllocateIrp(d.fdo->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, Done, nullptr, TRUE, TRUE, TRUE);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCallDriver(d.fdo, irp);
  if (held) {
    held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    held = nullptr;
  }
  IoFreeIrp(irp);
}

// Bus dispatch routines.
NTSTATUS PendCorrectly(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  held = irp;
  return STATUS_PENDING;
}
NTSTATUS PendWithoutMarking(PDEVICE_OBJECT, PIRP irp) {
  held = irp;
  return STATUS_PENDING;
}
NTSTATUS CompleteThenReturnPendingUnmarked(PDEVICE_OBJECT, PIRP irp) {
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_PENDING;
}
NTSTATUS MarkCompleteAndReturnSuccess(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}
NTSTATUS CompleteWithOneStatusReturnAnother(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}
NTSTATUS CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Function dispatch routines: forward with a completion routine and return the lower
// driver's status.
NTSTATUS Propagates(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}
NTSTATUS DoesNotPropagate(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }
template <PIO_COMPLETION_ROUTINE Routine>
NTSTATUS ForwardWith(PDEVICE_OBJECT device, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, Routine, nullptr, TRUE, TRUE, TRUE);
  return IoCallDriver(*static_cast<PDEVICE_OBJECT*>(device->DeviceExtension), irp);
}
NTSTATUS Skip(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(*static_cast<PDEVICE_OBJECT*>(device->DeviceExtension), irp);
}

struct PendingCase {
  const char* name;
  PDRIVER_DISPATCH bus;
  PDRIVER_DISPATCH function;
  bool reported;
  const char* words;  // in the report
};

TEST_F(VerifierRules, ThePendingRuleFiresOnEachFaultAndNotOnTheCorrectPatterns) {
  const PendingCase cases[] = {
      {"pends correctly, skipped through", PendCorrectly, Skip, false, ""},
      {"pends correctly, routine propagates", PendCorrectly, ForwardWith<Propagates>, false, ""},
      {"completes at once", CompleteAtOnce, ForwardWith<Propagates>, false, ""},
      {"pends without marking", PendWithoutMarking, Skip, true, "without IoMarkIrpPending"},
      {"completes, returns pending unmarked", CompleteThenReturnPendingUnmarked, Skip, true,
       "without IoMarkIrpPending"},
      {"marks, returns success", MarkCompleteAndReturnSuccess, Skip, true, "marked pending"},
      {"status differs", CompleteWithOneStatusReturnAnother, Skip, true, "completed with 0xC0000001"},
      {"routine does not propagate", PendCorrectly, ForwardWith<DoesNotPropagate>, true, "did not mark it pending"},
  };
  for (const PendingCase& c : cases) {
    SCOPED_TRACE(c.name);
    TwoDrivers d(c.bus, c.function);
    ScopedCapture capture;
    SendAndFinish(d);
    EXPECT_EQ(capture.Saw(Check::PendingRule), c.reported);
    if (c.reported && !capture.violations().empty()) {
      EXPECT_NE(capture.violations()[0].detail.find(c.words), std::string::npos) << capture.violations()[0].detail;
    }
    EXPECT_EQ(capture.violations().size(), c.reported ? 1u : 0u);
  }
}

TEST_F(VerifierRules, ASpinLockReleasedAtTheWrongIrqlIsReportedAtTheRelease) {
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  {
    // Correct nesting: each lock back to the IRQL it raised from.
    ScopedCapture capture;
    KIRQL oldA, oldB;
    KeAcquireSpinLock(&a, &oldA);
    KeAcquireSpinLock(&b, &oldB);
    KeReleaseSpinLock(&b, oldB);
    KeReleaseSpinLock(&a, oldA);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeAcquireSpinLockAtDpcLevel(&a);
    KeReleaseSpinLockFromDpcLevel(&a);
    KeLowerIrql(old);
    EXPECT_TRUE(capture.violations().empty());
  }
  {
    // The old IRQLs of two nested locks swapped.
    ScopedCapture capture;
    KIRQL oldA, oldB;
    KeAcquireSpinLock(&a, &oldA);
    KeAcquireSpinLock(&b, &oldB);
    KeReleaseSpinLock(&b, oldA);  // also lowers below DISPATCH_LEVEL holding `a`
    ASSERT_FALSE(capture.violations().empty());
    EXPECT_EQ(capture.violations()[0].check, Check::SpinLockWrongIrql);
    EXPECT_EQ(capture.violations()[0].api, "KeReleaseSpinLock");
    EXPECT_NE(capture.violations()[0].caller.find("verifier_rules_test.cpp"), std::string::npos);
    KeReleaseSpinLock(&a, oldA);
  }
  {
    // Raised above DISPATCH_LEVEL while holding the lock, released there.
    ScopedCapture capture;
    KIRQL old, high;
    KeAcquireSpinLock(&a, &old);
    KeRaiseIrql(HIGH_LEVEL, &high);
    KeReleaseSpinLock(&a, old);
    EXPECT_TRUE(capture.Saw(Check::SpinLockWrongIrql));
  }
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Each PASSIVE_LEVEL-only I/O manager routine, called at DISPATCH_LEVEL (with arguments
// it refuses, so nothing is changed) and at PASSIVE_LEVEL.
TEST_F(VerifierRules, PassiveOnlyIoRoutinesAreReportedAtDispatchLevel) {
  static constexpr GUID kClass = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
  struct Call {
    const char* api;
    void (*call)();
  };
  const Call calls[] = {
      {"IoCreateDevice", [] { IoCreateDevice(nullptr, 0, nullptr, 0, 0, FALSE, nullptr); }},
      {"IoAttachDeviceToDeviceStack", [] { IoAttachDeviceToDeviceStack(nullptr, nullptr); }},
      {"IoDetachDevice", [] { IoDetachDevice(nullptr); }},
      {"IoRegisterDeviceInterface", [] { IoRegisterDeviceInterface(nullptr, &kClass, nullptr, nullptr); }},
      {"IoSetDeviceInterfaceState", [] { IoSetDeviceInterfaceState(nullptr, TRUE); }},
      {"IoBuildDeviceIoControlRequest",
       [] { IoBuildDeviceIoControlRequest(0, nullptr, nullptr, 0, nullptr, 0, TRUE, nullptr, nullptr); }},
  };
  for (const Call& c : calls) {
    SCOPED_TRACE(c.api);
    {
      ScopedCapture capture;
      c.call();
      EXPECT_TRUE(capture.violations().empty());
    }
    ScopedCapture capture;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    c.call();
    KeLowerIrql(old);
    ASSERT_EQ(capture.violations().size(), 1u);
    EXPECT_EQ(capture.violations()[0].check, Check::CallAboveIrql);
    EXPECT_EQ(capture.violations()[0].api, c.api);
    EXPECT_NE(capture.violations()[0].caller.find("verifier_rules_test.cpp"), std::string::npos);
  }
}

// Routines the driver calls only below DISPATCH_LEVEL, called there with arguments they
// refuse: the IRQL is reported first, by its own check.
TEST_F(VerifierRules, CallbackAndUserMappingRoutinesAreReportedAboveTheirIrql) {
  struct Call {
    const char* api;
    void (*call)();
  };
  const Call calls[] = {
      {"ExCreateCallback", [] { ExCreateCallback(nullptr, nullptr, TRUE, TRUE); }},
      {"ExRegisterCallback", [] { ExRegisterCallback(nullptr, nullptr, nullptr); }},
      {"ExUnregisterCallback", [] { ExUnregisterCallback(nullptr); }},
      {"MmMapLockedPagesSpecifyCache",
       [] { MmMapLockedPagesSpecifyCache(nullptr, UserMode, MmCached, nullptr, FALSE, NormalPagePriority); }},
  };
  for (const Call& c : calls) {
    SCOPED_TRACE(c.api);
    ScopedCapture capture;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    c.call();
    KeLowerIrql(old);
    ASSERT_FALSE(capture.violations().empty());
    EXPECT_EQ(capture.violations()[0].check, Check::CallAboveIrql);
    EXPECT_EQ(capture.violations()[0].api, c.api);
  }
}

void PageableRoutine() { PAGED_CODE(); }

TEST_F(VerifierRules, PageableCodeIsReportedAboveApcLevel) {
  ScopedCapture capture;
  PageableRoutine();
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  PageableRoutine();
  EXPECT_TRUE(capture.violations().empty());
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PageableRoutine();
  KeLowerIrql(PASSIVE_LEVEL);
  ASSERT_EQ(capture.violations().size(), 1u);
  EXPECT_EQ(capture.violations()[0].check, Check::CallAboveIrql);
  EXPECT_EQ(capture.violations()[0].api, "PAGED_CODE");
  EXPECT_NE(capture.violations()[0].caller.find("PageableRoutine"), std::string::npos);
}

void Nothing(PKDPC, PVOID, PVOID, PVOID) {}

TEST_F(VerifierRules, ATimerOrDpcInitialisedAgainWhileQueuedIsReportedWhereverItLives) {
  // On the stack, not in pool: the objects are tracked, not only pool blocks.
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, Nothing, nullptr);
  {
    ScopedCapture capture;
    KeSetTimer(&timer, platform::testing::RelativeMs(50), nullptr);
    KeInitializeTimer(&timer);
    ASSERT_EQ(capture.violations().size(), 1u);
    EXPECT_EQ(capture.violations()[0].check, Check::ObjectFreedInUse);
    EXPECT_EQ(capture.violations()[0].api, "KeInitializeTimerEx");
  }
  {
    ScopedCapture capture;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeInitializeDpc(&dpc, Nothing, nullptr);
    KeLowerIrql(old);
    ASSERT_EQ(capture.violations().size(), 1u);
    EXPECT_EQ(capture.violations()[0].api, "KeInitializeDpc");
  }
  // Initialised again once done with: silent.
  ScopedCapture capture;
  KeSetTimer(&timer, platform::testing::RelativeMs(1), nullptr);
  KeCancelTimer(&timer);
  KeInitializeTimer(&timer);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  KeFlushQueuedDpcs();
  KeInitializeDpc(&dpc, Nothing, nullptr);
  EXPECT_TRUE(capture.violations().empty());
}

TEST_F(VerifierRules, AFindingStopsTheTestAtOnceWithTheReplaySeed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeRaiseIrql(PASSIVE_LEVEL, &old);
      },
      "VERIFIER STOP: IRQL misuse in KeRaiseIrql(.|\n)*AFindingStopsTheTestAtOnceWithTheReplaySeed, scheduler seed "
      "[0-9]+; replay with UA_SEED=");
}

TEST_F(VerifierRules, AnEndlessPollIsReportedAsAHangWithItsLastCallSite) {
  if (platform::sched::Current().freeRunning) GTEST_SKIP() << "the watchdog watches turn-taking contexts";
  platform::clock::SetHangLimit(0.5);
  std::atomic<bool> hung{false};
  std::mutex mu;
  std::string detail;
  auto previous = platform::verifier::SetHandler([&](const platform::verifier::Violation& v) {
    std::lock_guard lock(mu);
    if (v.check == Check::Hang) detail = v.detail;
    hung = v.check == Check::Hang;
  });
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  const auto start = std::chrono::steady_clock::now();
  // The planted fault: a poll for an event nobody sets, with no wait in between.
  while (!hung.load() && std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) KeReadStateEvent(&never);
  const auto took = std::chrono::steady_clock::now() - start;
  platform::verifier::SetHandler(std::move(previous));
  ASSERT_TRUE(hung.load());
  EXPECT_LT(took, std::chrono::seconds(3));
  std::lock_guard lock(mu);
  EXPECT_NE(detail.find("'test'"), std::string::npos) << detail;
  EXPECT_NE(detail.find("KeReadStateEvent at "), std::string::npos) << detail;
  EXPECT_NE(detail.find("verifier_rules_test.cpp"), std::string::npos) << detail;
}

TEST_F(VerifierRules, AContextThatWaitsNowAndThenIsNoHang) {
  if (platform::sched::Current().freeRunning) GTEST_SKIP() << "the watchdog watches turn-taking contexts";
  platform::clock::SetHangLimit(0.3);
  platform::verifier::ScopedCapture capture;
  const auto start = std::chrono::steady_clock::now();
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER zero{};
  // Polls too, but each round also waits for a tick: the clock moves on.
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(800)) {
    for (int i = 0; i < 20'000; ++i) KeReadStateEvent(&never);
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &zero);
    platform::testing::DelayMs(1);
  }
  EXPECT_FALSE(capture.Saw(Check::Hang));
}

}  // namespace
