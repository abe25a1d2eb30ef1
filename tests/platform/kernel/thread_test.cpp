// System threads: creation by handle, the thread object, termination and priorities.

#include "kernel/nt.h"
#include "support/kernel_fixture.h"

namespace {

using platform::clock::kTicksPerMillisecond;
using platform::verifier::Check;

class ThreadTest : public platform::testing::ExactTimingTest {};

// Starts a system thread and returns its object with one reference (the handle closed).
PKTHREAD Start(PKSTART_ROUTINE routine, PVOID context) {
  HANDLE handle = nullptr;
  if (PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context) != STATUS_SUCCESS)
    return nullptr;
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  return static_cast<PKTHREAD>(object);
}

struct Context {
  KEVENT go;
  KIRQL irql = HIGH_LEVEL;
  PKTHREAD self = nullptr;
  bool afterTerminate = false;
  LONGLONG endedAt = -1;
};

TEST_F(ThreadTest, SystemThreadObjectIsSignalledWhenTheThreadEnds) {
  Context context;
  KeInitializeEvent(&context.go, NotificationEvent, FALSE);
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(
                &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                [](PVOID p) {
                  auto* c = static_cast<Context*>(p);
                  c->irql = KeGetCurrentIrql();
                  c->self = KeGetCurrentThread();
                  KeWaitForSingleObject(&c->go, Executive, KernelMode, FALSE, nullptr);
                  LARGE_INTEGER d;
                  d.QuadPart = -25 * kTicksPerMillisecond;
                  KeDelayExecutionThread(KernelMode, FALSE, &d);
                  c->endedAt = platform::clock::Now();
                },
                &context),
            STATUS_SUCCESS);
  PVOID object = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeSetEvent(&context.go, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
  EXPECT_EQ(context.endedAt, 25 * kTicksPerMillisecond);
  EXPECT_EQ(platform::clock::Now(), 25 * kTicksPerMillisecond);
  EXPECT_EQ(context.irql, PASSIVE_LEVEL);
  EXPECT_EQ(context.self, object);
  EXPECT_EQ(static_cast<PKTHREAD>(object)->ExitStatus, STATUS_SUCCESS);
  ObDereferenceObject(object);
}

TEST_F(ThreadTest, PsTerminateSystemThreadEndsTheThreadWithItsStatus) {
  Context context;
  PKTHREAD object = Start(
      [](PVOID p) {
        PsTerminateSystemThread(STATUS_DEVICE_NOT_CONNECTED);
        static_cast<Context*>(p)->afterTerminate = true;
      },
      &context);
  ASSERT_NE(object, nullptr);
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  EXPECT_FALSE(context.afterTerminate);
  EXPECT_EQ(object->ExitStatus, STATUS_DEVICE_NOT_CONNECTED);
  ObDereferenceObject(object);

  // Outside a system thread it is refused.
  platform::verifier::ScopedCapture capture;
  EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(capture.Saw(Check::InvalidArgument));
}

TEST_F(ThreadTest, PrioritiesAreRecordedAndObservable) {
  struct Priorities {
    KPRIORITY initial = -1, afterFirst = -1;
  } seen;
  PKTHREAD object = Start(
      [](PVOID p) {
        auto* s = static_cast<Priorities*>(p);
        s->initial = KeQueryPriorityThread(KeGetCurrentThread());
        s->afterFirst = KeSetPriorityThread(KeGetCurrentThread(), 31);
        KeSetPriorityThread(KeGetCurrentThread(), 24);
      },
      &seen);
  ASSERT_NE(object, nullptr);
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(seen.initial, 8);
  EXPECT_EQ(seen.afterFirst, 8);
  EXPECT_EQ(KeQueryPriorityThread(object), 24);
  ObDereferenceObject(object);
}

TEST_F(ThreadTest, CurrentThreadHandleResolvesInsideASystemThread) {
  struct Result {
    NTSTATUS status = STATUS_PENDING;
    PVOID object = nullptr;
    PKTHREAD self = nullptr;
  } result;
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(
                &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                [](PVOID p) {
                  auto* r = static_cast<Result*>(p);
                  r->self = KeGetCurrentThread();
                  r->status = ObReferenceObjectByHandle(ZwCurrentThread(), THREAD_ALL_ACCESS, *PsThreadType,
                                                        KernelMode, &r->object, nullptr);
                  if (NT_SUCCESS(r->status)) ObDereferenceObject(r->object);
                },
                &result),
            STATUS_SUCCESS);
  ZwClose(handle);
  platform::clock::Settle();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.object, result.self);
}

TEST_F(ThreadTest, ThreadEndingWithALockHeldIsReported) {
  static KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  platform::verifier::ScopedCapture capture;
  HANDLE handle = nullptr;
  PsCreateSystemThread(
      &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
      [](PVOID) { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); }, nullptr);
  ZwClose(handle);
  platform::clock::Settle();
  EXPECT_TRUE(capture.Saw(Check::LockHeldAtExit));
}

TEST_F(ThreadTest, BadArgumentsAreRefused) {
  platform::verifier::ScopedCapture capture;
  EXPECT_EQ(PsCreateSystemThread(nullptr, 0, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr),
            STATUS_INVALID_PARAMETER);
  HANDLE handle;
  EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, nullptr, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(capture.violations().size(), 2u);
}

}  // namespace
