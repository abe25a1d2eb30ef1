// Timers, DPCs and work items freed or reused while still queued, wherever their memory
// lives: the platform tracks them by address with the site that queued them, reports
// memory freed or reused under one (at the pool free, at initialisation, or when its
// turn comes), and never runs what it no longer finds.

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <memory>
#include <string>

#include "kernel/clock.h"
#include "kernel/io.h"
#include "kernel/ke.h"
#include "kernel/ob.h"
#include "kernel/pool.h"
#include "kernel/sched.h"
#include "kernel/verifier.h"
#include "kernel/workitem.h"
#include "support/kernel_fixture.h"

namespace {

using platform::testing::DelayMs;
using platform::testing::RelativeMs;
using platform::verifier::Check;
using platform::verifier::ScopedCapture;

constexpr ULONG kTag = MakePoolTag('Q', 'u', 'O', 'b');

class QueuedObjects : public platform::testing::KernelTest {
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

int runs = 0;  // routines that ran: outside the memory under test
void CountDpc(PKDPC, PVOID, PVOID, PVOID) { ++runs; }
void CountWork(PDEVICE_OBJECT, PVOID) { ++runs; }
void CountAndSignal(PDEVICE_OBJECT, PVOID event) {
  ++runs;
  if (event) KeSetEvent(static_cast<PRKEVENT>(event), IO_NO_INCREMENT, FALSE);
}

// A timer with its DPC, a DPC, and a work item, laid out in memory the test owns.
struct Objects {
  KTIMER timer;
  KDPC timerDpc;
  KDPC dpc;
  alignas(16) unsigned char item[64];
  PIO_WORKITEM Item() { return reinterpret_cast<PIO_WORKITEM>(item); }
};

enum class Kind { Timer, Dpc, WorkItem };
const char* Name(Kind k) { return k == Kind::Timer ? "timer" : k == Kind::Dpc ? "DPC" : "work item"; }

// Arms or queues the object of `kind` in `o`; the line of this call is its queuing site.
int Queue(Kind kind, Objects* o, PDEVICE_OBJECT device) {
  switch (kind) {
    case Kind::Timer:
      KeInitializeTimer(&o->timer);
      KeInitializeDpc(&o->timerDpc, CountDpc, nullptr);
      KeSetTimer(&o->timer, RelativeMs(20), &o->timerDpc);
      return __LINE__ - 1;
    case Kind::Dpc:
      KeInitializeDpc(&o->dpc, CountDpc, nullptr);
      KeInsertQueueDpc(&o->dpc, nullptr, nullptr);
      return __LINE__ - 1;
    case Kind::WorkItem:
      IoInitializeWorkItem(device, o->Item());
      IoQueueWorkItem(o->Item(), CountWork, DelayedWorkQueue, nullptr);
      return __LINE__ - 1;
  }
  return 0;
}

// Lets everything due run: timers expire, DPCs and work items get their turn.
void RunAll() {
  DelayMs(50);
  platform::clock::Settle();
}

enum class Fate { Reused, Unmapped, Done };

TEST_F(QueuedObjects, MemoryReusedOrUnmappedUnderAQueuedObjectIsReportedAndTheObjectNeverRuns) {
  ASSERT_LE(IoSizeofWorkItem(), sizeof(Objects::item));
  platform::sched::Configure({.seed = seed(), .processors = 1});
  for (Kind kind : {Kind::Timer, Kind::Dpc, Kind::WorkItem}) {
    for (Fate fate : {Fate::Reused, Fate::Unmapped, Fate::Done}) {
      SCOPED_TRACE(testing::Message() << Name(kind) << ", fate " << int(fate));
      const LONG_PTR references = platform::ob::ReferenceCount(device_);
      // Page-sized memory of the test's own: it can be written over, or unmapped.
      void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      ASSERT_NE(page, MAP_FAILED);
      auto* o = new (page) Objects{};
      runs = 0;
      ScopedCapture capture;
      // Queued and overwritten at DISPATCH_LEVEL on the one processor: nothing runs in
      // between, under any seed.
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      const int line = Queue(kind, o, device_);
      if (fate == Fate::Reused) std::memset(page, 0x5A, 4096);
      if (fate == Fate::Unmapped) munmap(page, 4096);
      KeLowerIrql(old);
      RunAll();
      if (fate == Fate::Done) {
        EXPECT_EQ(runs, 1);
        EXPECT_TRUE(capture.violations().empty());
        if (kind == Kind::WorkItem) IoUninitializeWorkItem(o->Item());
        munmap(page, 4096);
      } else {
        EXPECT_EQ(runs, 0);
        ASSERT_EQ(capture.violations().size(), 1u);
        const auto& v = capture.violations()[0];
        EXPECT_EQ(v.check, Check::ObjectFreedInUse);
        EXPECT_NE(v.detail.find("queued object overwritten"), std::string::npos) << v.detail;
        EXPECT_NE(v.detail.find(std::string(Name(kind)) + " 0x"), std::string::npos) << v.detail;
        EXPECT_NE(v.detail.find(fate == Fate::Reused ? "no longer holds" : "no longer readable"), std::string::npos)
            << v.detail;
        // The caller is the queuing site.
        EXPECT_NE(v.caller.find("queued_objects_test.cpp:" + std::to_string(line)), std::string::npos) << v.caller;
        if (fate == Fate::Reused) munmap(page, 4096);
      }
      // A dropped work item gives its device reference back.
      EXPECT_EQ(platform::ob::ReferenceCount(device_), references);
    }
  }
}

// Arms a timer in this frame and returns without cancelling it.
__attribute__((noinline)) void ArmOnTheStackAndReturn() {
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, CountDpc, nullptr);
  KeSetTimer(&timer, RelativeMs(20), &dpc);
  asm volatile("" : : "r"(&timer), "r"(&dpc) : "memory");
}

// Covers the frames the previous call used with a pattern.
__attribute__((noinline)) void Scribble() {
  volatile unsigned char area[16384];
  for (unsigned char& b : const_cast<unsigned char(&)[16384]>(area)) b = 0xA5;
  asm volatile("" : : "r"(area) : "memory");
}

TEST_F(QueuedObjects, ATimerLeftArmedInAFrameThatReturnedIsReportedOnceTheStackIsReused) {
  runs = 0;
  ScopedCapture capture;
  ArmOnTheStackAndReturn();
  Scribble();
  RunAll();
  EXPECT_EQ(runs, 0);
  ASSERT_EQ(capture.violations().size(), 1u);
  EXPECT_NE(capture.violations()[0].detail.find("queued object overwritten: timer"), std::string::npos);
  EXPECT_NE(capture.violations()[0].caller.find("ArmOnTheStackAndReturn"), std::string::npos);
}

// A system thread that ends with objects still queued in its frames: reported when it
// ends, naming the queuing site; the correct pattern (cancelled first) is silent.
TEST_F(QueuedObjects, ObjectsLeftQueuedOnTheStackOfAnEndingThreadAreReportedAtItsExit) {
  for (bool cancel : {false, true}) {
    SCOPED_TRACE(cancel ? "cancelled before the end" : "left queued");
    runs = 0;
    int line = 0;
    ScopedCapture capture;
    {
      platform::clock::Thread thread("stack owner", [&] {
        KTIMER timer;
        KDPC dpc;
        KEVENT done;
        unsigned char item[64];
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, CountDpc, nullptr);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        auto* workItem = reinterpret_cast<PIO_WORKITEM>(item);
        IoInitializeWorkItem(device_, workItem);
        KeSetTimer(&timer, RelativeMs(20), &dpc);
        line = __LINE__ - 1;
        if (cancel) KeCancelTimer(&timer);
        // The last call before the end: nothing runs in between, under any seed.
        IoQueueWorkItem(workItem, CountAndSignal, DelayedWorkQueue, cancel ? &done : nullptr);
        if (cancel) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      });
      thread.Join();
    }
    RunAll();
    EXPECT_EQ(runs, cancel ? 1 : 0);
    size_t atExit = 0;
    for (const auto& v : capture.violations()) {
      if (v.api != "thread exit") continue;
      ++atExit;
      EXPECT_NE(v.detail.find("stack of ended thread 'stack owner'"), std::string::npos) << v.detail;
      if (v.detail.find("timer") != std::string::npos) {
        EXPECT_NE(v.detail.find("queued_objects_test.cpp:" + std::to_string(line)), std::string::npos) << v.detail;
      }
    }
    EXPECT_EQ(atExit, cancel ? 0u : 2u);  // the timer and the work item
  }
}

TEST_F(QueuedObjects, PoolFreedUnderAQueuedWorkItemIsReportedAtTheFreeAndTheItemDropped) {
  const LONG_PTR references = platform::ob::ReferenceCount(device_);
  runs = 0;
  auto* item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, IoSizeofWorkItem(), kTag));
  ASSERT_NE(item, nullptr);
  IoInitializeWorkItem(device_, item);
  platform::sched::Configure({.seed = seed(), .processors = 1});
  {
    ScopedCapture capture;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // the worker cannot run the item before the free
    IoQueueWorkItem(item, CountWork, CriticalWorkQueue, nullptr);
    ExFreePoolWithTag(item, kTag);
    KeLowerIrql(old);
    ASSERT_EQ(capture.violations().size(), 1u);
    EXPECT_EQ(capture.violations()[0].check, Check::ObjectFreedInUse);
    EXPECT_NE(capture.violations()[0].detail.find("work item"), std::string::npos);
    EXPECT_NE(capture.violations()[0].detail.find("queued at"), std::string::npos);
    EXPECT_EQ(capture.violations()[0].api, "ExFreePoolWithTag");
    platform::clock::Settle();
    EXPECT_EQ(capture.violations().size(), 1u);
  }
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(platform::ob::ReferenceCount(device_), references);
}

struct EndCase {
  const char* name;
  void (*end)(PIO_WORKITEM item, PDEVICE_OBJECT device);
  const char* api;
};

TEST_F(QueuedObjects, AWorkItemInitialisedFreedOrUninitialisedWhileQueuedIsReportedWithItsQueuingSite) {
  const EndCase cases[] = {
      {"initialised again", [](PIO_WORKITEM i, PDEVICE_OBJECT d) { IoInitializeWorkItem(d, i); },
       "IoInitializeWorkItem"},
      {"uninitialised", [](PIO_WORKITEM i, PDEVICE_OBJECT) { IoUninitializeWorkItem(i); }, "IoUninitializeWorkItem"},
      {"freed", [](PIO_WORKITEM i, PDEVICE_OBJECT) { IoFreeWorkItem(i); }, "IoFreeWorkItem"},
  };
  for (const EndCase& c : cases) {
    SCOPED_TRACE(c.name);
    runs = 0;
    PIO_WORKITEM item = IoAllocateWorkItem(device_);
    ASSERT_NE(item, nullptr);
    {
      ScopedCapture capture;
      IoQueueWorkItem(item, CountWork, DelayedWorkQueue, nullptr);
      const int line = __LINE__ - 1;
      c.end(item, device_);
      ASSERT_EQ(capture.violations().size(), 1u);
      EXPECT_EQ(capture.violations()[0].check, Check::ObjectFreedInUse);
      EXPECT_EQ(capture.violations()[0].api, c.api);
      EXPECT_NE(capture.violations()[0].detail.find("queued_objects_test.cpp:" + std::to_string(line)),
                std::string::npos)
          << capture.violations()[0].detail;
    }
    platform::clock::Settle();
    // Initialised again, it was taken off its queue; otherwise it is kept and runs.
    EXPECT_EQ(runs, std::string(c.name) == "initialised again" ? 0 : 1);
    ScopedCapture silent;
    IoFreeWorkItem(item);
    EXPECT_TRUE(silent.violations().empty());
  }
}

TEST_F(QueuedObjects, ObjectsReusedAfterTheyRanOrWereCancelledAreSilent) {
  // The correct pattern of each kind, in memory reused at once afterwards.
  auto storage = std::make_unique<Objects>();
  ScopedCapture capture;
  runs = 0;
  for (int round = 0; round < 3; ++round) {
    Queue(Kind::Timer, storage.get(), device_);
    KeCancelTimer(&storage->timer);
    Queue(Kind::Dpc, storage.get(), device_);
    KeFlushQueuedDpcs();  // the DPC runs
    Queue(Kind::WorkItem, storage.get(), device_);
    platform::clock::Settle();  // the item runs
    IoUninitializeWorkItem(storage->Item());
    std::memset(static_cast<void*>(storage.get()), 0x5A, sizeof(Objects));
    RunAll();
  }
  EXPECT_EQ(runs, 6);
  EXPECT_TRUE(capture.violations().empty());
}

}  // namespace
