// I/O work items.

#include <vector>

#include "kernel/nt.h"
#include "support/kernel_fixture.h"

namespace {

using platform::clock::kTicksPerMillisecond;
using platform::verifier::Check;

class WorkItemTest : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::ob::CreateParams params;
    params.type = *IoDeviceObjectType;
    params.bodySize = 64;
    PVOID body = nullptr;
    ASSERT_EQ(platform::ob::CreateObject(params, &body), STATUS_SUCCESS);
    device_ = static_cast<PDEVICE_OBJECT>(body);
  }
  void TearDown() override {
    ObDereferenceObject(device_);
    KernelTest::TearDown();
  }
  PDEVICE_OBJECT device_ = nullptr;
};

struct ItemRun {
  int id;
  KIRQL irql;
  PKTHREAD thread;
  LONG_PTR deviceReferences;
  bool operator==(const ItemRun&) const = default;
};

struct Log {
  std::vector<ItemRun> runs;
  int next = 0;
};

TEST_F(WorkItemTest, ItemsRunInOrderAtPassiveLevelOnAWorkerWithTheDeviceReferenced) {
  Log log;
  PIO_WORKITEM first = IoAllocateWorkItem(device_);
  PIO_WORKITEM second = IoAllocateWorkItem(device_);
  ASSERT_TRUE(first && second);
  auto routine = [](PDEVICE_OBJECT device, PVOID context) {
    auto* l = static_cast<Log*>(context);
    l->runs.push_back({++l->next, KeGetCurrentIrql(), KeGetCurrentThread(), platform::ob::ReferenceCount(device)});
  };
  IoQueueWorkItem(first, routine, DelayedWorkQueue, &log);
  IoQueueWorkItem(second, routine, DelayedWorkQueue, &log);
  EXPECT_EQ(platform::ob::ReferenceCount(device_), 3);  // one per queued item
  EXPECT_TRUE(log.runs.empty());                        // they run once the test blocks
  platform::clock::Settle();
  ASSERT_EQ(log.runs.size(), 2u);
  EXPECT_EQ(log.runs[0].id, 1);
  EXPECT_EQ(log.runs[1].id, 2);
  for (const ItemRun& r : log.runs) {
    EXPECT_EQ(r.irql, PASSIVE_LEVEL);
    EXPECT_NE(r.thread, KeGetCurrentThread());
    EXPECT_GE(r.deviceReferences, 2);
  }
  EXPECT_EQ(platform::ob::ReferenceCount(device_), 1);
  // An item can be queued again once it has run.
  IoQueueWorkItem(first, routine, CriticalWorkQueue, &log);
  platform::clock::Settle();
  EXPECT_EQ(log.runs.size(), 3u);
  IoFreeWorkItem(first);
  IoFreeWorkItem(second);
}

// The pattern of a periodic timer whose DPC queues a work item that frees itself.
struct IdleContext {
  PDEVICE_OBJECT device;
  KTIMER timer;
  KDPC dpc;
  std::vector<std::pair<LONGLONG, KIRQL>> workRuns;
};

TEST_F(WorkItemTest, TimerDpcQueuesAnItemThatFreesItself) {
  IdleContext context{};
  context.device = device_;
  KeInitializeTimerEx(&context.timer, NotificationTimer);
  KeInitializeDpc(
      &context.dpc,
      [](PKDPC, PVOID p, PVOID, PVOID) {
        auto* c = static_cast<IdleContext*>(p);
        PIO_WORKITEM item = IoAllocateWorkItem(c->device);
        if (!item) return;
        struct Work {
          IdleContext* context;
          PIO_WORKITEM item;
        };
        auto* work = static_cast<Work*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Work), MakePoolTag('U', 'S', 'B', 'd')));
        *work = {c, item};
        IoQueueWorkItem(
            item,
            [](PDEVICE_OBJECT, PVOID w) {
              auto* work = static_cast<Work*>(w);
              work->context->workRuns.emplace_back(platform::clock::Now() / kTicksPerMillisecond, KeGetCurrentIrql());
              IoFreeWorkItem(work->item);
              ExFreePoolWithTag(work, MakePoolTag('U', 'S', 'B', 'd'));
            },
            DelayedWorkQueue, work);
      },
      &context);
  LARGE_INTEGER due;
  due.QuadPart = -50'000'000;  // 5 s, then every 5,000 ms
  KeSetTimerEx(&context.timer, due, 5000, &context.dpc);
  LARGE_INTEGER wait;
  wait.QuadPart = -16 * platform::clock::kTicksPerSecond;
  KeDelayExecutionThread(KernelMode, FALSE, &wait);
  KeCancelTimer(&context.timer);
  KeFlushQueuedDpcs();
  platform::clock::Settle();
  EXPECT_EQ(context.workRuns, (std::vector<std::pair<LONGLONG, KIRQL>>{
                                  {5000, PASSIVE_LEVEL}, {10000, PASSIVE_LEVEL}, {15000, PASSIVE_LEVEL}}));
}

TEST_F(WorkItemTest, VerifierReportsMisuse) {
  PIO_WORKITEM item = IoAllocateWorkItem(device_);
  ASSERT_NE(item, nullptr);
  auto routine = [](PDEVICE_OBJECT, PVOID) {};
  {
    platform::verifier::ScopedCapture capture;
    IoQueueWorkItem(item, routine, DelayedWorkQueue, nullptr);
    IoQueueWorkItem(item, routine, DelayedWorkQueue, nullptr);  // already queued
    IoFreeWorkItem(item);                                       // still queued
    EXPECT_EQ(capture.violations().size(), 2u);
    EXPECT_TRUE(capture.Saw(Check::InvalidArgument));
    EXPECT_EQ(platform::ob::ReferenceCount(device_), 2);
  }
  platform::clock::Settle();
  {
    platform::verifier::ScopedCapture capture;
    IoQueueWorkItem(
        item, [](PDEVICE_OBJECT, PVOID) { KeRaiseIrqlToDpcLevel(); }, DelayedWorkQueue, nullptr);
    platform::clock::Settle();
    EXPECT_TRUE(capture.Saw(Check::LockHeldAtExit));
  }
  IoFreeWorkItem(item);
  platform::verifier::ScopedCapture capture;
  EXPECT_EQ(IoAllocateWorkItem(nullptr), nullptr);
  EXPECT_TRUE(capture.Saw(Check::InvalidArgument));
}

TEST_F(WorkItemTest, ItemNeverFreedIsNamedByTheLeakCheck) {
  platform::pool::LeakScope scope;
  PIO_WORKITEM item = IoAllocateWorkItem(device_);
  {
    platform::verifier::ScopedCapture capture;
    EXPECT_FALSE(scope.Check());
    ASSERT_EQ(capture.violations().size(), 1u);
    EXPECT_NE(capture.violations()[0].detail.find("IoWk"), std::string::npos) << capture.violations()[0].detail;
  }
  IoFreeWorkItem(item);
}

}  // namespace
