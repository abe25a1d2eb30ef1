#include "kernel/pool.h"

#include <gtest/gtest.h>

#include <cstring>

#include "kernel/ke.h"
#include "kernel/verifier.h"
#include "support/kernel_fixture.h"

namespace {
class Pool : public platform::testing::KernelTest {};

using platform::verifier::Check;
using platform::verifier::ScopedCapture;

constexpr ULONG kTagA = MakePoolTag('T', 's', 't', 'A');
constexpr ULONG kTagB = MakePoolTag('T', 's', 't', 'B');
constexpr ULONG kListTag = MakePoolTag('L', 'i', 's', '\0');

TEST_F(Pool, BlocksAreTrackedByTagUntilFreed) {
  platform::pool::LeakScope scope;
  PVOID a = ExAllocatePoolWithTag(NonPagedPool, 24, kTagA);
  PVOID b = ExAllocatePoolWithTag(PagedPool, 100, kTagB);
  PVOID c = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
  ASSERT_TRUE(a && b && c);
  auto usage = platform::pool::UsageByTag(scope.mark());
  EXPECT_EQ(usage[kTagA].blocks, 2u);
  EXPECT_EQ(usage[kTagA].bytes, 32u);
  EXPECT_EQ(usage[kTagB].blocks, 1u);
  auto live = platform::pool::LiveBlocksWithTag(kTagB, scope.mark());
  ASSERT_EQ(live.size(), 1u);
  EXPECT_TRUE(live[0].paged);
  EXPECT_NE(live[0].caller.find("pool_test.cpp"), std::string::npos);
  ExFreePoolWithTag(a, kTagA);
  ExFreePool(b);
  ExFreePool(c);
  EXPECT_TRUE(platform::pool::LiveBlocks(scope.mark()).empty());
  EXPECT_TRUE(scope.Check());
}

TEST_F(Pool, LeakCheckNamesTheTagAndTheCaller) {
  platform::pool::LeakScope scope;
  PVOID leaked = ExAllocatePoolWithTag(NonPagedPool, 24, kListTag);
  ScopedCapture capture;
  EXPECT_FALSE(scope.Check());
  ASSERT_EQ(capture.violations().size(), 1u);
  const auto& v = capture.violations()[0];
  EXPECT_EQ(v.check, Check::LeakAtTeardown);
  EXPECT_NE(v.detail.find("tag 'Lis\\0': 1 blocks, 24 bytes"), std::string::npos) << v.detail;
  EXPECT_NE(v.detail.find("pool_test.cpp"), std::string::npos);
  ExFreePool(leaked);
  EXPECT_TRUE(scope.Check());
}

TEST_F(Pool, UnknownAndDoubleFreesAreReported) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, kTagA);
  ExFreePool(block);
  ScopedCapture capture;
  ExFreePool(block);
  int local = 0;
  ExFreePool(&local);
  ASSERT_EQ(capture.violations().size(), 2u);
  EXPECT_EQ(capture.violations()[0].check, Check::UnknownFree);
  EXPECT_EQ(capture.violations()[1].check, Check::UnknownFree);
  EXPECT_NE(capture.violations()[1].caller.find("pool_test.cpp"), std::string::npos);
}

TEST_F(Pool, FreeWithTheWrongTagIsReported) {
  platform::pool::LeakScope scope;
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, kTagA);
  ScopedCapture capture;
  ExFreePoolWithTag(block, kTagB);
  EXPECT_TRUE(capture.Saw(Check::InvalidArgument));
  EXPECT_TRUE(platform::pool::LiveBlocks(scope.mark()).empty());  // freed all the same
}

TEST_F(Pool, FailNthAllocationCountsOnlyTheChosenTag) {
  platform::pool::ScopedFaultInjection faults;
  platform::pool::FailNthAllocation(2, kTagA);
  PVOID other = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);  // not counted
  PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  auto before = platform::pool::InjectedFailures();
  PVOID second = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  PVOID third = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);  // fires once only
  EXPECT_NE(other, nullptr);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(platform::pool::InjectedFailures(), before + 1);
  ExFreePool(other);
  ExFreePool(first);
  ExFreePool(third);
}

TEST_F(Pool, ImpossibleSizesFail) {
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, ~SIZE_T{0}, kTagA), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, (SIZE_T{1} << 32) + 1, kTagA), nullptr);
}

TEST_F(Pool, FailNthAllocationOfAnyTag) {
  platform::pool::ScopedFaultInjection faults;
  platform::pool::FailNthAllocation(1);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagB), nullptr);
  PVOID ok = ExAllocatePool(NonPagedPool, 8);
  EXPECT_NE(ok, nullptr);
  ExFreePool(ok);
}

TEST_F(Pool, FailTagFailsEveryAllocationUntilCleared) {
  {
    platform::pool::ScopedFaultInjection faults;
    platform::pool::FailTag(kTagA);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTagA), nullptr);
    EXPECT_EQ(new (NonPagedPool, kTagA) int[4], nullptr);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
    EXPECT_NE(b, nullptr);
    ExFreePool(b);
  }
  PVOID a = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  EXPECT_NE(a, nullptr);
  ExFreePool(a);
}

TEST_F(Pool, PoolNewZeroesAndPoolAllocatedClassesGiveTheirBlockBack) {
  struct Record : platform::PoolAllocated {
    int values[16];
  };
  platform::pool::LeakScope scope;
  auto* r = new (NonPagedPool, kTagA) Record;
  ASSERT_NE(r, nullptr);
  for (int v : r->values) EXPECT_EQ(v, 0);
  EXPECT_EQ(platform::pool::LiveBlocksWithTag(kTagA, scope.mark()).size(), 1u);
  delete r;
  EXPECT_TRUE(scope.Check());
}

TEST_F(Pool, LookasideEntriesComeFromTheTrackedPool) {
  platform::pool::LeakScope scope;
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 152, MakePoolTag('U', 'R', 'B', ' '), 0);
  PVOID a = ExAllocateFromNPagedLookasideList(&list);
  PVOID b = ExAllocateFromNPagedLookasideList(&list);
  ASSERT_TRUE(a && b);
  std::memset(a, 0xAB, 152);
  EXPECT_EQ(platform::pool::LiveBlocksWithTag(MakePoolTag('U', 'R', 'B', ' '), scope.mark()).size(), 2u);
  {
    platform::pool::ScopedFaultInjection faults;
    platform::pool::FailTag(MakePoolTag('U', 'R', 'B', ' '));
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
  }
  ExFreeToNPagedLookasideList(&list, a);
  ExFreeToNPagedLookasideList(&list, b);
  ExDeleteNPagedLookasideList(&list);
  EXPECT_TRUE(scope.Check());

  ScopedCapture capture;
  EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);  // deleted
  EXPECT_TRUE(capture.Saw(Check::InvalidArgument));
}

TEST_F(Pool, LookasideListsUseTheirOwnRoutines) {
  static int allocations = 0, frees = 0;
  static char storage[64];
  allocations = frees = 0;
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(
      &list, [](POOL_TYPE, SIZE_T, ULONG) -> PVOID { ++allocations; return storage; },
      [](PVOID) { ++frees; }, 0, sizeof storage, kTagA, 0);
  PVOID e = ExAllocateFromNPagedLookasideList(&list);
  EXPECT_EQ(e, storage);
  ExFreeToNPagedLookasideList(&list, e);
  ExDeleteNPagedLookasideList(&list);
  EXPECT_EQ(allocations, 1);
  EXPECT_EQ(frees, 1);
}

TEST_F(Pool, PagedAllocationAboveApcLevelIsReported) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PVOID nonPaged = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  PVOID paged;
  {
    ScopedCapture capture;
    paged = ExAllocatePoolWithTag(PagedPool, 8, kTagB);
    ASSERT_EQ(capture.violations().size(), 1u);
    EXPECT_EQ(capture.violations()[0].check, Check::PagedAllocAboveApc);
    EXPECT_NE(capture.violations()[0].caller.find("pool_test.cpp"), std::string::npos);
  }
  KeLowerIrql(old);
  ExFreePool(nonPaged);
  ExFreePool(paged);
}

TEST_F(Pool, TagNamesShowZeroBytesAndUnprintables) {
  EXPECT_EQ(platform::pool::TagName(kListTag), "Lis\\0");
  EXPECT_EQ(platform::pool::TagName(MakePoolTag('U', 'R', 'B', ' ')), "URB ");
  EXPECT_EQ(platform::pool::TagName(MakePoolTag('a', '\x01', 'b', 'c')), "a\\x01bc");
}
}  // namespace
