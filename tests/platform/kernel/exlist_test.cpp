#include "kernel/ex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "support/kernel_fixture.h"

namespace {
class ExLists : public platform::testing::KernelTest {};

struct Item {
  SINGLE_LIST_ENTRY link;
  LIST_ENTRY entry;
  int value;
};

TEST_F(ExLists, SinglyLinkedListUnderASpinLockIsLastInFirstOut) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  SINGLE_LIST_ENTRY head{nullptr};
  Item a{{}, {}, 1}, b{{}, {}, 2};
  EXPECT_EQ(ExInterlockedPushEntryList(&head, &a.link, &lock), nullptr);
  EXPECT_EQ(ExInterlockedPushEntryList(&head, &b.link, &lock), &a.link);
  EXPECT_EQ(CONTAINING_RECORD(ExInterlockedPopEntryList(&head, &lock), Item, link)->value, 2);
  EXPECT_EQ(CONTAINING_RECORD(ExInterlockedPopEntryList(&head, &lock), Item, link)->value, 1);
  EXPECT_EQ(ExInterlockedPopEntryList(&head, &lock), nullptr);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(ExLists, DoublyLinkedListReturnsThePreviousEnds) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LIST_ENTRY head;
  InitializeListHead(&head);
  Item a{{}, {}, 1}, b{{}, {}, 2}, c{{}, {}, 3};
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &a.entry, &lock), nullptr);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &b.entry, &lock), &a.entry);
  EXPECT_EQ(ExInterlockedInsertHeadList(&head, &c.entry, &lock), &a.entry);
  int order[3];
  for (int& v : order) v = CONTAINING_RECORD(ExInterlockedRemoveHeadList(&head, &lock), Item, entry)->value;
  EXPECT_EQ(order[0], 3);
  EXPECT_EQ(order[1], 1);
  EXPECT_EQ(order[2], 2);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
}

TEST_F(ExLists, SequencedListLosesNothingUnderConcurrentUse) {
  SLIST_HEADER head;
  InitializeSListHead(&head);
  constexpr int kThreads = 4, kPerThread = 2000;
  std::vector<Item> items(kThreads * kPerThread);
  for (size_t i = 0; i < items.size(); ++i) items[i].value = static_cast<int>(i);
  std::vector<std::thread> threads;
  std::atomic<int> popped{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        InterlockedPushEntrySList(&head, &items[static_cast<size_t>(t * kPerThread + i)].link);
        if (i % 2 && InterlockedPopEntrySList(&head)) ++popped;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(QueryDepthSList(&head), kThreads * kPerThread - popped.load());
  std::set<int> left;
  for (PSLIST_ENTRY e = InterlockedFlushSList(&head); e; e = e->Next) left.insert(CONTAINING_RECORD(e, Item, link)->value);
  EXPECT_EQ(left.size(), static_cast<size_t>(kThreads * kPerThread - popped.load()));
  EXPECT_EQ(QueryDepthSList(&head), 0);
  EXPECT_EQ(InterlockedPopEntrySList(&head), nullptr);
}
}  // namespace
