#include "kernel/io.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <string>

#include "kernel/clock.h"
#include "kernel/ke.h"
#include "kernel/ex.h"
#include "kernel/mm.h"
#include "kernel/ps.h"
#include "kernel/po.h"
#include "kernel/pool.h"
#include "kernel/rtl.h"
#include "kernel/verifier.h"
#include "support/kernel_fixture.h"

namespace {
class IoDevices : public platform::testing::KernelTest {};
class IoInterfaces : public platform::testing::KernelTest {};
class IoIrps : public platform::testing::KernelTest {};
class IoMdl : public platform::testing::KernelTest {};
class IoMisc : public platform::testing::KernelTest {};
class IoRequests : public platform::testing::ExactTimingTest {};
class IoPower : public platform::testing::KernelTest {};

using platform::verifier::Check;
using platform::verifier::ScopedCapture;

// A two-driver stack: a bus driver's PDO at the bottom and a function driver's FDO on
// top, each with a dispatch routine a test can swap.
struct Stack {
  PDRIVER_OBJECT busDriver = platform::io::CreateDriverObject(u"\\Driver\\TestBus");
  PDRIVER_OBJECT functionDriver = platform::io::CreateDriverObject(u"\\Driver\\TestFunction");
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT lower = nullptr;

  Stack() {
    EXPECT_EQ(IoCreateDevice(busDriver, 16, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(functionDriver, 64, nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo), STATUS_SUCCESS);
    lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  }
  ~Stack() {
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
    IoDeleteDevice(pdo);
    platform::io::DeleteDriverObject(functionDriver);
    platform::io::DeleteDriverObject(busDriver);
  }
};

// The bus driver completes everything at once with the status in Information of the
// IRP's first argument... kept simple: it completes with whatever the test put in
// IoStatus.Status before sending.
NTSTATUS CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS ForwardToLower(PDEVICE_OBJECT device, PIRP irp) {
  auto* lower = *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

struct Trace {
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS seen = 0;
  NTSTATUS result = STATUS_SUCCESS;
  BOOLEAN pendingReturned = FALSE;
};

NTSTATUS TraceRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* t = static_cast<Trace*>(context);
  ++t->calls;
  t->device = device;
  t->seen = irp->IoStatus.Status;
  t->pendingReturned = irp->PendingReturned;
  return t->result;
}

TEST_F(IoDevices, StackAttachmentAndReferences) {
  platform::pool::LeakScope scope;
  {
    Stack s;
    EXPECT_EQ(s.lower, s.pdo);
    EXPECT_EQ(s.fdo->StackSize, 2);
    EXPECT_EQ(s.pdo->AttachedDevice, s.fdo);
    EXPECT_TRUE(s.fdo->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_NE(s.fdo->DeviceExtension, nullptr);
    EXPECT_EQ(s.functionDriver->DeviceObject, s.fdo);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(s.pdo);
    EXPECT_EQ(top, s.fdo);
    EXPECT_EQ(platform::ob::ReferenceCount(top), 2);
    ObDereferenceObject(top);
    PDEVICE_OBJECT below = IoGetLowerDeviceObject(s.fdo);
    EXPECT_EQ(below, s.pdo);
    ObDereferenceObject(below);
  }
  EXPECT_TRUE(scope.Check());
}

TEST_F(IoDevices, NamedDevicesCollide) {
  PDRIVER_OBJECT driver = platform::io::CreateDriverObject(u"\\Driver\\Named");
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\TestAudio0");
  PDEVICE_OBJECT a = nullptr, b = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_SOUND, 0, FALSE, &a), STATUS_SUCCESS);
  EXPECT_TRUE(a->Flags & DO_DEVICE_HAS_NAME);
  EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_SOUND, 0, FALSE, &b), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(b, nullptr);
  IoDeleteDevice(a);
  platform::io::DeleteDriverObject(driver);
}

TEST_F(IoIrps, UnhandledMajorFunctionsAreInvalidRequests) {
  Stack s;
  PIRP irp = IoAllocateIrp(s.fdo->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  EXPECT_EQ(IoCallDriver(s.fdo, irp), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
  IoFreeIrp(irp);
}

TEST_F(IoIrps, CompletionRoutinesRunUpTheStack) {
  Stack s;
  *static_cast<PDEVICE_OBJECT*>(s.fdo->DeviceExtension) = s.lower;
  s.functionDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ForwardToLower;
  s.busDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CompleteAtOnce;
  // The sender keeps a location of its own, as drivers do for IRPs they allocate.
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(s.fdo->StackSize + 1), FALSE);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->DeviceObject = s.fdo;
  Trace trace;
  trace.result = STATUS_MORE_PROCESSING_REQUIRED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = CTL_CODE(0x1D, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
  IoSetCompletionRoutine(irp, TraceRoutine, &trace, TRUE, TRUE, TRUE);
  irp->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
  EXPECT_EQ(IoCallDriver(s.fdo, irp), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(trace.calls, 1);
  EXPECT_EQ(trace.device, s.fdo);
  EXPECT_EQ(trace.seen, STATUS_DEVICE_DATA_ERROR);
  IoFreeIrp(irp);
}

TEST_F(IoIrps, MoreProcessingRequiredStopsCompletionAndTheIrpIsReused) {
  platform::pool::LeakScope scope;
  {
    Stack s;
    s.busDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = CompleteAtOnce;
    PIRP irp = IoAllocateIrp(s.pdo->StackSize + 1, FALSE);
    // Outer location (the owner's): must not run while the inner routine stops completion.
    Trace outer, inner;
    IoSetCompletionRoutine(irp, TraceRoutine, &outer, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    inner.result = STATUS_MORE_PROCESSING_REQUIRED;
    IoSetCompletionRoutine(irp, TraceRoutine, &inner, TRUE, TRUE, TRUE);
    irp->IoStatus.Status = STATUS_SUCCESS;
    EXPECT_EQ(IoCallDriver(s.pdo, irp), STATUS_SUCCESS);
    EXPECT_EQ(inner.calls, 1);
    EXPECT_EQ(outer.calls, 0);

    for (int round = 0; round < 3; ++round) {
      IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
      EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
      EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
      PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
      EXPECT_EQ(next->CompletionRoutine, nullptr);
      next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
      IoSetCompletionRoutine(irp, TraceRoutine, &inner, TRUE, TRUE, TRUE);
      irp->IoStatus.Status = STATUS_CANCELLED;
      EXPECT_EQ(IoCallDriver(s.pdo, irp), STATUS_CANCELLED);
    }
    EXPECT_EQ(inner.calls, 4);
    EXPECT_EQ(inner.seen, STATUS_CANCELLED);
    IoFreeIrp(irp);
  }
  EXPECT_TRUE(scope.Check());
}

TEST_F(IoIrps, CompletionContinuesWhenTheOwnerCompletesAgainAfterStopping) {
  Stack s;
  s.busDriver->MajorFunction[IRP_MJ_PNP] = CompleteAtOnce;
  PIRP irp = IoAllocateIrp(2, FALSE);
  Trace outer, inner;
  outer.result = STATUS_MORE_PROCESSING_REQUIRED;  // the allocator takes its IRP back
  IoSetCompletionRoutine(irp, TraceRoutine, &outer, TRUE, TRUE, TRUE);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->DeviceObject = s.fdo;
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
  inner.result = STATUS_MORE_PROCESSING_REQUIRED;
  IoSetCompletionRoutine(irp, TraceRoutine, &inner, TRUE, TRUE, TRUE);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCallDriver(s.pdo, irp);
  EXPECT_EQ(inner.calls, 1);
  EXPECT_EQ(inner.device, s.fdo);
  // The routine's owner finishes the request: completion resumes above it.
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(outer.calls, 1);
  EXPECT_EQ(outer.device, nullptr);
  EXPECT_EQ(inner.calls, 1);
  IoFreeIrp(irp);
}

// A lower driver that keeps the IRP pending and completes it later.
struct PendingDriver {
  static inline PIRP held = nullptr;
  static NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  }
};

TEST_F(IoIrps, PendingReturnedReachesTheCompletionRoutine) {
  Stack s;
  s.busDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PendingDriver::Dispatch;
  PIRP irp = IoAllocateIrp(1, FALSE);
  Trace trace;
  trace.result = STATUS_MORE_PROCESSING_REQUIRED;
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, TraceRoutine, &trace, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(s.pdo, irp), STATUS_PENDING);
  EXPECT_EQ(trace.calls, 0);
  {
    ScopedCapture capture;
    IoFreeIrp(irp);  // still owned by the bus driver
    EXPECT_TRUE(capture.Saw(Check::IrpFreedInUse));
  }
  PendingDriver::held->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(PendingDriver::held, IO_NO_INCREMENT);
  EXPECT_EQ(trace.calls, 1);
  EXPECT_TRUE(trace.pendingReturned);
  EXPECT_EQ(trace.device, nullptr);
  IoFreeIrp(irp);
}

// Completion routines may send the next request from inside the completion.
struct Resubmitter {
  PDEVICE_OBJECT target;
  int remaining;
  int completions = 0;
  static NTSTATUS Routine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* r = static_cast<Resubmitter*>(context);
    ++r->completions;
    if (--r->remaining > 0) {
      IoReuseIrp(irp, STATUS_SUCCESS);
      IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
      IoSetCompletionRoutine(irp, Routine, r, TRUE, TRUE, TRUE);
      IoCallDriver(r->target, irp);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

TEST_F(IoIrps, CompletionRoutinesMayResendFromInsideTheCompletion) {
  Stack s;
  s.busDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = CompleteAtOnce;
  // Ten sends nest ten completions on this stack; much deeper nesting is reported.
  Resubmitter r{s.pdo, 10};
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, Resubmitter::Routine, &r, TRUE, TRUE, TRUE);
  IoCallDriver(s.pdo, irp);
  EXPECT_EQ(r.completions, 10);
  IoFreeIrp(irp);  // stopped by the last routine: free to go
}

TEST_F(IoIrps, CompletingTwiceIsReported) {
  // Once with the completion finished, once with the sender's completion routine having
  // taken the IRP back (no driver owns it any more).
  for (bool takenBack : {false, true}) {
    SCOPED_TRACE(takenBack ? "taken back" : "finished");
    Stack s;
    s.busDriver->MajorFunction[IRP_MJ_CREATE] = CompleteAtOnce;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    Trace trace;
    trace.result = STATUS_MORE_PROCESSING_REQUIRED;
    if (takenBack) IoSetCompletionRoutine(irp, TraceRoutine, &trace, TRUE, TRUE, TRUE);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCallDriver(s.pdo, irp);
    ScopedCapture capture;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ASSERT_EQ(capture.violations().size(), 1u);
    EXPECT_EQ(capture.violations()[0].check, Check::IrpCompletedTwice);
    EXPECT_NE(capture.violations()[0].caller.find("io_test.cpp"), std::string::npos);
    EXPECT_EQ(trace.calls, takenBack ? 1 : 0);
    IoFreeIrp(irp);
  }
}

// A completion routine that signals its owner lets the owner complete the IRP before the
// routine itself has returned (the owner runs on another processor): legal when the
// routine returns STATUS_MORE_PROCESSING_REQUIRED, a double completion otherwise.
struct OwnerCompletes {
  NTSTATUS result;
  static NTSTATUS Routine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);  // the owner, woken by the routine's event
    return static_cast<OwnerCompletes*>(context)->result;
  }
};

TEST_F(IoIrps, OwnerMayCompleteWhileItsRoutineReturns) {
  for (NTSTATUS result : {STATUS_MORE_PROCESSING_REQUIRED, STATUS_SUCCESS}) {
    const bool legal = result == STATUS_MORE_PROCESSING_REQUIRED;
    SCOPED_TRACE(legal ? "routine keeps the IRP" : "routine lets the completion go on");
    Stack s;
    s.busDriver->MajorFunction[IRP_MJ_CREATE] = CompleteAtOnce;
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoSetNextIrpStackLocation(irp);  // the owner's own location
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    OwnerCompletes owner{result};
    IoSetCompletionRoutine(irp, OwnerCompletes::Routine, &owner, TRUE, TRUE, TRUE);
    irp->IoStatus.Status = STATUS_SUCCESS;
    ScopedCapture capture;
    IoCallDriver(s.pdo, irp);
    if (legal) {
      EXPECT_TRUE(capture.violations().empty());
    } else {
      ASSERT_EQ(capture.violations().size(), 1u);
      EXPECT_EQ(capture.violations()[0].check, Check::IrpCompletedTwice);
    }
    IoFreeIrp(irp);
  }
}

TEST_F(IoIrps, RunningOutOfStackLocationsIsReported) {
  Stack s;
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetNextIrpStackLocation(irp);  // the only location is the sender's own
  ScopedCapture capture;
  EXPECT_EQ(IoCallDriver(s.pdo, irp), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(capture.Saw(Check::InvalidArgument));
  IoSetNextIrpStackLocation(irp);
  EXPECT_EQ(capture.violations().size(), 2u);
  IoFreeIrp(irp);
}

struct CancelState {
  static inline int runs = 0;
  static void Routine(PDEVICE_OBJECT, PIRP irp) {
    ++runs;
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  static NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, Routine);
    return STATUS_PENDING;
  }
};

TEST_F(IoIrps, CancelRoutineRunsOnce) {
  Stack s;
  s.busDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = CancelState::Dispatch;
  CancelState::runs = 0;
  PIRP irp = IoAllocateIrp(1, FALSE);
  Trace trace;
  trace.result = STATUS_MORE_PROCESSING_REQUIRED;
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, TraceRoutine, &trace, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(s.pdo, irp), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_EQ(CancelState::runs, 1);
  EXPECT_EQ(trace.calls, 1);
  EXPECT_EQ(trace.seen, STATUS_CANCELLED);
  EXPECT_TRUE(irp->Cancel);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  IoFreeIrp(irp);
}

// Cancellation racing the driver's own completion: whichever side clears the cancel
// routine first completes the IRP, never both.
struct RaceDriver {
  static inline std::atomic<int> cancelRuns{0};
  static void Cancel(PDEVICE_OBJECT, PIRP irp) {
    ++cancelRuns;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  static NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, Cancel);
    return STATUS_PENDING;
  }
  static void CompleteIfStillOurs(PIRP irp) {
    if (IoSetCancelRoutine(irp, nullptr)) {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
  }
};

TEST_F(IoIrps, CancelRacingCompletionCompletesOnce) {
  Stack s;
  s.busDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = RaceDriver::Dispatch;
  PIRP irp = IoAllocateIrp(1, FALSE);
  std::atomic<int> completions{0};
  int cancelled = 0;
  for (int round = 0; round < 200; ++round) {
    IoReuseIrp(irp, STATUS_SUCCESS);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
          ++*static_cast<std::atomic<int>*>(context);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &completions, TRUE, TRUE, TRUE);
    RaceDriver::cancelRuns = 0;
    ASSERT_EQ(IoCallDriver(s.pdo, irp), STATUS_PENDING);
    std::thread canceller([&] { IoCancelIrp(irp); });
    std::thread completer([&] { RaceDriver::CompleteIfStillOurs(irp); });
    canceller.join();
    completer.join();
    ASSERT_EQ(completions.load(), round + 1);
    ASSERT_LE(RaceDriver::cancelRuns.load(), 1);
    cancelled += RaceDriver::cancelRuns.load();
    ASSERT_EQ(irp->IoStatus.Status, RaceDriver::cancelRuns.load() ? STATUS_CANCELLED : STATUS_SUCCESS);
  }
  IoFreeIrp(irp);
  (void)cancelled;
}

TEST_F(IoIrps, CancelWithoutARoutineOnlyMarksTheIrp) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  IoFreeIrp(irp);
}

TEST_F(IoIrps, CompletionRoutineExKeepsTheDeviceUntilItRuns) {
  platform::pool::LeakScope scope;
  {
    Stack s;
    s.busDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PendingDriver::Dispatch;
    PIRP irp = IoAllocateIrp(1, FALSE);
    Trace trace;
    trace.result = STATUS_MORE_PROCESSING_REQUIRED;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    ASSERT_EQ(IoSetCompletionRoutineEx(s.fdo, irp, TraceRoutine, &trace, TRUE, FALSE, FALSE), STATUS_SUCCESS);
    LONG_PTR before = platform::ob::ReferenceCount(s.fdo);
    IoCallDriver(s.pdo, irp);
    PendingDriver::held->IoStatus.Status = STATUS_UNSUCCESSFUL;  // error: not invoked
    IoCompleteRequest(PendingDriver::held, IO_NO_INCREMENT);
    EXPECT_EQ(trace.calls, 0);
    EXPECT_EQ(platform::ob::ReferenceCount(s.fdo), before - 1);
    IoFreeIrp(irp);

    platform::pool::ScopedFaultInjection faults;
    platform::pool::FailNthAllocation(1);
    PIRP second = IoAllocateIrp(1, FALSE);
    EXPECT_EQ(second, nullptr);
  }
  EXPECT_TRUE(scope.Check());
}

TEST_F(IoIrps, LeakedIrpsAreNamedByTag) {
  platform::pool::LeakScope scope;
  PIRP irp = IoAllocateIrp(3, FALSE);
  ScopedCapture capture;
  EXPECT_FALSE(scope.Check());
  ASSERT_EQ(capture.violations().size(), 1u);
  EXPECT_NE(capture.violations()[0].detail.find("tag 'Irp '"), std::string::npos);
  IoFreeIrp(irp);
}

TEST_F(IoIrps, BuiltDeviceControlRequestsCopyBackAndSignal) {
  Stack s;
  s.busDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(std::string(buffer, stack->Parameters.DeviceIoControl.InputBufferLength), "ping");
    std::memcpy(buffer, "pong!", 5);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 5;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  platform::pool::LeakScope scope;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  char input[4] = {'p', 'i', 'n', 'g'};
  char output[8] = {};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x1D, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS), s.fdo, input,
                                           sizeof input, output, sizeof output, FALSE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoCallDriver(s.pdo, irp), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 5u);
  EXPECT_EQ(std::string(output), "pong!");
  EXPECT_TRUE(scope.Check());
}

TEST_F(IoInterfaces, RegisterEnableAndEnumerate) {
  platform::io::ResetDeviceInterfaces();
  Stack s;
  platform::io::SetDeviceInstancePath(s.pdo, u"USB\\VID_0E7A&PID_0012\\5&1");
  static constexpr GUID kClass = {0xDC156818, 0xB26E, 0x4115, {0xAE, 0xF2, 0x37, 0xB6, 0xE5, 0xDC, 0x6E, 0xD9}};
  UNICODE_STRING reference;
  RtlInitUnicodeString(&reference, u"QVEnumPrivateInterface");
  UNICODE_STRING link{};
  ASSERT_EQ(IoRegisterDeviceInterface(s.pdo, &kClass, &reference, &link), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(link.Buffer, link.Length / 2),
            u"\\??\\USB#VID_0E7A&PID_0012#5&1#{dc156818-b26e-4115-aef2-37b6e5dc6ed9}\\QVEnumPrivateInterface");
  auto all = platform::io::DeviceInterfaces(&kClass);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_FALSE(all[0].enabled);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
  EXPECT_TRUE(platform::io::DeviceInterfaces(&kClass)[0].enabled);
  UNICODE_STRING again{};
  ASSERT_EQ(IoRegisterDeviceInterface(s.pdo, &kClass, &reference, &again), STATUS_SUCCESS);
  EXPECT_TRUE(RtlEqualUnicodeString(&link, &again, FALSE));
  EXPECT_EQ(platform::io::DeviceInterfaces().size(), 1u);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
  RtlFreeUnicodeString(&link);
  RtlFreeUnicodeString(&again);
  UNICODE_STRING unknown;
  RtlInitUnicodeString(&unknown, u"\\??\\nothing");
  EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
  platform::io::ResetDeviceInterfaces();
}

struct PowerResult {
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  UCHAR minor = 0;
  POWER_STATE state{};
  NTSTATUS status = 0;
};

TEST_F(IoPower, RequestedPowerIrpsReachTheStackAndCallBack) {
  platform::pool::LeakScope scope;
  {
    Stack s;
    *static_cast<PDEVICE_OBJECT*>(s.fdo->DeviceExtension) = s.lower;
    s.functionDriver->MajorFunction[IRP_MJ_POWER] = [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      EXPECT_EQ(stack->MinorFunction, IRP_MN_SET_POWER);
      EXPECT_EQ(stack->Parameters.Power.Type, DevicePowerState);
      PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
      PoStartNextPowerIrp(irp);
      return ForwardToLower(device, irp);
    };
    s.busDriver->MajorFunction[IRP_MJ_POWER] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    };
    PowerResult result;
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    NTSTATUS status = PoRequestPowerIrp(
        s.pdo, IRP_MN_SET_POWER, d2,
        [](PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK io) {
          auto* r = static_cast<PowerResult*>(context);
          ++r->calls;
          r->device = device;
          r->minor = minor;
          r->state = state;
          r->status = io->Status;
        },
        &result, nullptr);
    EXPECT_EQ(status, STATUS_PENDING);
    EXPECT_EQ(result.calls, 1);
    EXPECT_EQ(result.device, s.pdo);
    EXPECT_EQ(result.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(result.state.DeviceState, PowerDeviceD2);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(platform::po::DevicePowerState(s.fdo), PowerDeviceD2);
    EXPECT_EQ(PoRequestPowerIrp(s.pdo, IRP_MN_POWER_SEQUENCE, d2, nullptr, nullptr, nullptr), STATUS_INVALID_PARAMETER);
  }
  EXPECT_TRUE(scope.Check());
}

TEST_F(IoMdl, UserMappingsAreRecordedAndChecked) {
  platform::pool::LeakScope scope;
  auto* buffer = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 3 * PAGE_SIZE, MakePoolTag('R', 'i', 'n', 'g')));
  EXPECT_EQ(BYTE_OFFSET(buffer), 0u);  // a block of whole pages starts on a page
  PMDL mdl = IoAllocateMdl(buffer + 100, 9000, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(MmGetMdlByteCount(mdl), 9000u);
  EXPECT_EQ(MmGetMdlVirtualAddress(mdl), buffer + 100);
  MmBuildMdlForNonPagedPool(mdl);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer + 100);
  PVOID user = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
  EXPECT_EQ(user, buffer + 100);
  ASSERT_EQ(platform::mm::UserMappings().size(), 1u);
  // The process sees the three whole pages, all of them the block's.
  EXPECT_EQ(platform::mm::UserMappings()[0].pages, buffer);
  EXPECT_EQ(platform::mm::UserMappings()[0].pageBytes, 3 * PAGE_SIZE);
  {
    ScopedCapture capture;
    MmUnmapLockedPages(buffer, mdl);  // not a mapping
    EXPECT_TRUE(capture.Saw(Check::InvalidArgument));
  }
  MmUnmapLockedPages(user, mdl);
  EXPECT_TRUE(platform::mm::UserMappings().empty());
  // A user mapping that fails raises its status.
  platform::mm::FailNextUserMappings(1);
  NTSTATUS raised = STATUS_SUCCESS;
  try {
    MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
  } catch (const RaisedStatus& e) {
    raised = e.Status;
  }
  EXPECT_EQ(raised, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(platform::mm::UserMappings().empty());
  user = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
  {
    ScopedCapture capture;
    IoFreeMdl(mdl);  // still mapped
    EXPECT_TRUE(capture.Saw(Check::InvalidArgument));
  }
  {
    // Only the process the mapping was made in can unmap it.
    PEPROCESS other = platform::ps::CreateUserProcess("other.exe");
    {
      platform::ps::ScopedProcess in(other);
      ScopedCapture capture;
      MmUnmapLockedPages(user, mdl);
      EXPECT_TRUE(capture.Saw(Check::InvalidArgument));
      EXPECT_EQ(platform::mm::UserMappings().size(), 1u);
      KAPC_STATE state;
      KeStackAttachProcess(PsInitialSystemProcess, &state);
      EXPECT_EQ(PsGetCurrentProcess(), PsInitialSystemProcess);
      MmUnmapLockedPages(user, mdl);  // the record goes with the unmap
      KeUnstackDetachProcess(&state);
      EXPECT_EQ(PsGetCurrentProcess(), other);
    }
    ObDereferenceObject(other);
  }
  ExFreePool(buffer);
  EXPECT_TRUE(scope.Check());
}

// Pool whose pages hold other allocations too is reported when mapped into user mode,
// with the block and the line that allocated it: a block not of whole pages, at the
// start of a page or inside one.
TEST_F(IoMdl, MappingPoolThatSharesAPageIntoUserModeIsReported) {
  struct Row {
    const char* what;
    SIZE_T bytes;
  };
  const Row rows[] = {{"10000 bytes (a page and a half past two pages)", 10000}, {"40 bytes inside a page", 40},
                      {"two whole pages", 2 * PAGE_SIZE}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const int allocatedAt = __LINE__ + 1;
    auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, row.bytes, MakePoolTag('R', 'i', 'n', 'g')));
    PMDL mdl = IoAllocateMdl(block, static_cast<ULONG>(row.bytes), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    ScopedCapture capture;
    PVOID user = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
    const bool whole = row.bytes % PAGE_SIZE == 0;
    EXPECT_EQ(capture.Saw(Check::UserMappingSharesPage), !whole);
    if (!whole) {
      ASSERT_FALSE(capture.violations().empty());
      const std::string& detail = capture.violations()[0].detail;
      char address[32];
      std::snprintf(address, sizeof address, "%p", static_cast<void*>(block));
      EXPECT_NE(detail.find(address), std::string::npos) << detail;
      EXPECT_NE(detail.find("io_test.cpp:" + std::to_string(allocatedAt)), std::string::npos) << detail;
    }
    MmUnmapLockedPages(user, mdl);
    IoFreeMdl(mdl);
    ExFreePool(block);
  }
}

TEST_F(IoRequests, SynchronousRequestsWaitForLateCompletion) {
  Stack s;
  *static_cast<PDEVICE_OBJECT*>(s.fdo->DeviceExtension) = s.lower;
  s.functionDriver->MajorFunction[IRP_MJ_PNP] = ForwardToLower;
  // The bus driver keeps the request pending; a thread completes it 10 ms of virtual time later.
  s.busDriver->MajorFunction[IRP_MJ_PNP] = PendingDriver::Dispatch;
  PendingDriver::held = nullptr;
  platform::clock::Thread completer("completer", [] {
    LARGE_INTEGER delay;
    delay.QuadPart = -10 * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    PendingDriver::held->IoStatus.Information = 7;
    PendingDriver::held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(PendingDriver::held, IO_NO_INCREMENT);
  });
  IO_STATUS_BLOCK result = platform::io::SendSynchronousRequest(s.pdo, nullptr, [](PIRP irp, PIO_STACK_LOCATION stack) {
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_START_DEVICE;
    EXPECT_EQ(irp->RequestorMode, KernelMode);
  });
  completer.Join();
  EXPECT_EQ(result.Status, STATUS_SUCCESS);
  EXPECT_EQ(result.Information, 7u);
  EXPECT_EQ(KeQueryInterruptTime(), 10u * 10000u);  // the wait took the virtual 10 ms
}

TEST_F(IoRequests, UserDeviceControlCopiesTheReportedBytes) {
  Stack s;
  *static_cast<PDEVICE_OBJECT*>(s.fdo->DeviceExtension) = s.lower;
  s.functionDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ForwardToLower;
  s.busDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(irp->RequestorMode, UserMode);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, 4u);
    auto* buffer = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
    buffer[0] *= 2;
    buffer[1] = 0xABCD;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 8;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  PFILE_OBJECT file = platform::io::CreateFileObject(s.pdo, u"\\QVASIOPrivateInterface");
  ASSERT_NE(file, nullptr);
  ULONG in = 21, out[4] = {};
  ULONG_PTR returned = 0;
  EXPECT_EQ(platform::io::DeviceIoControl(s.pdo, file, CTL_CODE(0x1D, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), &in,
                                          sizeof in, out, sizeof out, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, 8u);
  EXPECT_EQ(out[0], 42u);
  EXPECT_EQ(out[1], 0xABCDu);
  EXPECT_EQ(out[2], 0u);
  ObDereferenceObject(file);
}

TEST_F(IoMisc, Is32BitProcessIsConfigurable) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_FALSE(IoIs32bitProcess(irp));
  platform::io::SetCallerIs32Bit(true);
  EXPECT_TRUE(IoIs32bitProcess(irp));
  platform::io::SetCallerIs32Bit(false);
  IoFreeIrp(irp);
}
}  // namespace
