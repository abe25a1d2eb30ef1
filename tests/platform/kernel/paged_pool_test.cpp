// Paged pool touched at DISPATCH_LEVEL or above: paged blocks live on protected pages
// while the running context is at DISPATCH_LEVEL, and a touch there is reported with the
// block's tag and allocation site; the access then goes on.

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "kernel/clock.h"
#include "kernel/ke.h"
#include "kernel/pool.h"
#include "kernel/sched.h"
#include "kernel/verifier.h"
#include "support/kernel_fixture.h"

namespace {

using platform::verifier::Check;
using platform::verifier::ScopedCapture;

constexpr ULONG kTag = MakePoolTag('P', 'g', 'T', 's');

class PagedPoolProtection : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    if (!platform::pool::PagedBlocksProtected()) GTEST_SKIP() << "paged blocks are not protected in this build";
  }
};

// Reads and writes through volatile pointers, so each access happens where written.
int ReadAt(const int* p) { return *static_cast<const volatile int*>(p); }
void WriteAt(int* p, int v) { *static_cast<volatile int*>(p) = v; }

struct IrqlCase {
  KIRQL irql;
  POOL_TYPE type;
  bool reported;
};

TEST_F(PagedPoolProtection, ATouchAtDispatchLevelIsReportedWithTheBlocksTagAndAllocationSite) {
  const IrqlCase cases[] = {
      {PASSIVE_LEVEL, PagedPool, false},    {APC_LEVEL, PagedPool, false},
      {DISPATCH_LEVEL, PagedPool, true},    {DISPATCH_LEVEL, NonPagedPool, false},
      {HIGH_LEVEL, PagedPool, true},        {DISPATCH_LEVEL, PagedPoolCacheAligned, true},
  };
  for (const IrqlCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "IRQL " << int(c.irql) << ", pool type " << c.type);
    auto* block = static_cast<int*>(ExAllocatePoolWithTag(c.type, 3 * sizeof(int), kTag));
    ASSERT_NE(block, nullptr);
    block[0] = 11;
    block[2] = 13;
    ScopedCapture capture;
    KIRQL old;
    KeRaiseIrql(c.irql, &old);
    const int read = ReadAt(&block[2]);  // the first touch is the one reported
    WriteAt(&block[1], 12);
    KeLowerIrql(old);
    // Reported or not, the accesses took effect.
    EXPECT_EQ(read, 13);
    EXPECT_EQ(ReadAt(&block[1]), 12);
    ASSERT_EQ(capture.violations().size(), c.reported ? 1u : 0u);
    if (c.reported) {
      const auto& v = capture.violations()[0];
      EXPECT_EQ(v.check, Check::PagedAccessAboveApc);
      EXPECT_NE(v.detail.find("tag 'PgTs'"), std::string::npos) << v.detail;
      EXPECT_NE(v.detail.find("offset 8"), std::string::npos) << v.detail;
      EXPECT_NE(v.detail.find("paged_pool_test.cpp"), std::string::npos) << v.detail;  // allocation site
      EXPECT_NE(v.caller.find("instruction 0x"), std::string::npos) << v.caller;
    }
    ExFreePoolWithTag(block, kTag);
  }
}

struct DpcTouch {
  KDPC dpc;
  int* block;
  int seen;
};

TEST_F(PagedPoolProtection, ADpcTouchingPagedPoolIsReportedAndTheThreadItInterruptedIsNot) {
  auto* block = static_cast<int*>(ExAllocatePoolWithTag(PagedPool, sizeof(int), kTag));
  ASSERT_NE(block, nullptr);
  *block = 7;
  DpcTouch touch{{}, block, 0};
  KeInitializeDpc(
      &touch.dpc,
      [](PKDPC, PVOID context, PVOID, PVOID) {
        auto* t = static_cast<DpcTouch*>(context);
        t->seen = ReadAt(t->block);
      },
      &touch);
  ScopedCapture capture;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeInsertQueueDpc(&touch.dpc, nullptr, nullptr);
  KeLowerIrql(old);  // runs the DPC here, at DISPATCH_LEVEL
  platform::clock::Settle();
  EXPECT_EQ(touch.seen, 7);
  EXPECT_EQ(capture.violations().size(), 1u);
  EXPECT_TRUE(capture.Saw(Check::PagedAccessAboveApc));
  // Back at PASSIVE_LEVEL the thread reads the block freely.
  EXPECT_EQ(ReadAt(block), 7);
  EXPECT_EQ(capture.violations().size(), 1u);
  ExFreePoolWithTag(block, kTag);
}

// A worker at PASSIVE_LEVEL on the other processor touches a paged block over and over
// while the test thread holds DISPATCH_LEVEL and passes preemption points: whenever the
// scheduler switches to the worker its touches are silent, and the test thread's own
// touch after each switch back is reported, under every seed.
TEST_F(PagedPoolProtection, ProtectionFollowsTheRunningContextAcrossSwitches) {
  auto* block = static_cast<int*>(ExAllocatePoolWithTag(PagedPool, sizeof(int), kTag));
  ASSERT_NE(block, nullptr);
  *block = 0;
  unsigned seedsWithSwitches = 0;
  const auto failing = platform::testing::SeedsWhere(1, 24, [&] {
    std::atomic<bool> stop{false};
    int workerTouches = 0;
    bool workerReported = false;
    unsigned ownTouches = 0;
    ScopedCapture capture;
    {
      platform::clock::Thread worker("paged toucher", [&] {
        while (!stop.load()) {
          WriteAt(block, ReadAt(block) + 1);
          ++workerTouches;
          platform::sched::PreemptionPoint("worker");
          LARGE_INTEGER none{};
          KeDelayExecutionThread(KernelMode, FALSE, &none);
        }
      });
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      for (int i = 0; i < 40; ++i) {
        const int before = workerTouches;
        platform::sched::PreemptionPoint("test thread");
        if (workerTouches != before) {
          workerReported |= capture.violations().size() != ownTouches;
          (void)ReadAt(block);  // back at DISPATCH_LEVEL: reported
          ++ownTouches;
        }
      }
      KeLowerIrql(old);
      stop = true;
      worker.Join();
    }
    seedsWithSwitches += ownTouches != 0;
    return workerReported || capture.violations().size() != ownTouches;
  });
  EXPECT_TRUE(failing.empty()) << "first failing seed " << failing.front();
  EXPECT_GT(seedsWithSwitches, 0u);
  ExFreePoolWithTag(block, kTag);
}

// A thread outside the turns, at PASSIVE_LEVEL, reads paged pool while the test thread
// holds DISPATCH_LEVEL: nothing to report, and the read succeeds.
TEST_F(PagedPoolProtection, AForeignThreadAtPassiveLevelIsNotReported) {
  auto* block = static_cast<int*>(ExAllocatePoolWithTag(PagedPool, sizeof(int), kTag));
  ASSERT_NE(block, nullptr);
  *block = 5;
  ScopedCapture capture;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  int seen = 0;
  std::thread([&] { seen = ReadAt(block); }).join();
  KeLowerIrql(old);
  EXPECT_EQ(seen, 5);
  EXPECT_TRUE(capture.violations().empty());
  ExFreePoolWithTag(block, kTag);
}

TEST_F(PagedPoolProtection, FreedPagesAreReusedAndReadAsFreshBlocks) {
  // Blocks of several sizes, freed out of order and allocated again: each new block has
  // the fresh fill and never overlaps a live one.
  const SIZE_T sizes[] = {1, 24, 4095, 4096, 4097, 3 * 4096 + 5, 100};
  void* blocks[std::size(sizes)];
  for (size_t i = 0; i < std::size(sizes); ++i) {
    blocks[i] = ExAllocatePoolWithTag(PagedPool, sizes[i], kTag);
    ASSERT_NE(blocks[i], nullptr);
    std::memset(blocks[i], static_cast<int>(i), sizes[i]);
  }
  for (size_t i : {1u, 3u, 5u, 2u}) ExFreePoolWithTag(blocks[i], kTag);
  for (size_t i : {5u, 1u, 2u, 3u}) {
    blocks[i] = ExAllocatePoolWithTag(PagedPool, sizes[i], kTag);
    ASSERT_NE(blocks[i], nullptr);
    const auto* bytes = static_cast<const unsigned char*>(blocks[i]);
    for (SIZE_T b = 0; b < sizes[i]; ++b) ASSERT_EQ(bytes[b], 0xCD) << "block " << i << " byte " << b;
    std::memset(blocks[i], static_cast<int>(i), sizes[i]);
  }
  for (size_t i = 0; i < std::size(sizes); ++i) {
    const auto* bytes = static_cast<const unsigned char*>(blocks[i]);
    for (SIZE_T b = 0; b < sizes[i]; ++b) ASSERT_EQ(bytes[b], i) << "block " << i << " byte " << b;
    ExFreePoolWithTag(blocks[i], kTag);
  }
}

using PagedPoolProtectionDeathTest = PagedPoolProtection;

TEST_F(PagedPoolProtectionDeathTest, AFaultOutsideThePoolStaysFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  EXPECT_DEATH(WriteAt(static_cast<int*>(page), 1), "");
  munmap(page, 4096);
}

}  // namespace
