#include "adapter/ptr_list.h"

#include <gtest/gtest.h>

#include <list>
#include <random>
#include "support/kernel_fixture.h"

namespace {
class PtrList : public platform::testing::KernelTest {};

using adapter::CPtrList;
using adapter::POSITION;

PVOID P(ULONG_PTR v) { return reinterpret_cast<PVOID>(v); }

std::vector<ULONG_PTR> Contents(const CPtrList& list) {
  std::vector<ULONG_PTR> out;
  POSITION pos = list.GetHeadPosition();
  PVOID data;
  while (list.GetNext(&pos, &data)) out.push_back(reinterpret_cast<ULONG_PTR>(data));
  return out;
}

TEST_F(PtrList, EmptyListAnswersFalseAndNull) {
  platform::pool::LeakScope scope;
  auto* list = new (NonPagedPool, MakePoolTag('T', 'e', 's', 't')) CPtrList;
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(list->IsEmpty());
  EXPECT_EQ(list->GetHeadPosition(), nullptr);
  PVOID data = P(7);
  EXPECT_FALSE(list->GetHead(&data));
  EXPECT_EQ(data, nullptr);
  data = P(7);
  EXPECT_FALSE(list->GetTail(&data));
  EXPECT_EQ(data, nullptr);
  data = P(7);
  EXPECT_FALSE(list->GetAt(0, &data));
  EXPECT_EQ(data, P(7));
  EXPECT_FALSE(list->RemoveHead(&data));
  POSITION pos = nullptr;
  EXPECT_FALSE(list->GetNext(&pos, &data));
  delete list;
  EXPECT_TRUE(scope.Check());
}

TEST_F(PtrList, OperationsKeepOrderAndCount) {
  platform::pool::LeakScope scope;
  {
    CPtrList list;
    POSITION two = list.AddTail(P(2));
    list.AddTail(P(3));
    POSITION one = list.AddHead(P(1));
    EXPECT_EQ(list.GetCount(), 3u);
    EXPECT_EQ(Contents(list), (std::vector<ULONG_PTR>{1, 2, 3}));
    // InsertBefore the head makes a new head; before another node goes in between.
    POSITION zero = list.InsertBefore(one, P(0));
    EXPECT_EQ(list.GetHeadPosition(), zero);
    list.InsertBefore(two, P(15));
    list.InsertBefore(nullptr, P(99));
    EXPECT_EQ(Contents(list), (std::vector<ULONG_PTR>{99, 0, 1, 15, 2, 3}));
    PVOID data = nullptr;
    EXPECT_FALSE(list.GetAt(6, &data));
    EXPECT_EQ(data, nullptr);
    EXPECT_TRUE(list.GetAt(5, &data));
    EXPECT_EQ(data, P(3));
    EXPECT_TRUE(list.GetTail(&data));
    EXPECT_EQ(data, P(3));
    list.RemoveAt(two);
    EXPECT_TRUE(list.RemoveHead(&data));
    EXPECT_EQ(data, P(99));
    EXPECT_FALSE(list.RemoveHead(nullptr));
    EXPECT_EQ(Contents(list), (std::vector<ULONG_PTR>{0, 1, 15, 3}));
    EXPECT_EQ(list.GetCount(), 4u);
    EXPECT_EQ(platform::pool::LiveBlocksWithTag(adapter::kPtrListTag, scope.mark()).size(), 4u);
    EXPECT_EQ(platform::pool::LiveBlocksWithTag(adapter::kPtrListTag, scope.mark())[0].bytes, 24u);
    while (list.RemoveHead(&data)) {
    }
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
  }
  EXPECT_TRUE(scope.Check());
}

TEST_F(PtrList, FailedNodeAllocationLeavesTheListUnchanged) {
  CPtrList list;
  list.AddTail(P(1));
  platform::pool::ScopedFaultInjection faults;
  platform::pool::FailTag(adapter::kPtrListTag);
  EXPECT_EQ(list.AddTail(P(2)), nullptr);
  EXPECT_EQ(list.AddHead(P(3)), nullptr);
  EXPECT_EQ(list.InsertBefore(list.GetHeadPosition(), P(4)), nullptr);
  EXPECT_EQ(Contents(list), (std::vector<ULONG_PTR>{1}));
  EXPECT_EQ(list.GetCount(), 1u);
}

// Random operations against std::list as the oracle.
TEST_F(PtrList, AgreesWithAReferenceList) {
  platform::pool::LeakScope scope;
  {
    std::mt19937 rng(7);
    CPtrList list;
    std::list<ULONG_PTR> oracle;
    for (int step = 0; step < 3000; ++step) {
      ULONG_PTR value = rng() % 1000;
      switch (rng() % 6) {
        case 0:
          list.AddTail(P(value));
          oracle.push_back(value);
          break;
        case 1:
          list.AddHead(P(value));
          oracle.push_front(value);
          break;
        case 2: {  // insert before the k-th node
          if (oracle.empty()) break;
          size_t k = rng() % oracle.size();
          POSITION pos = list.GetHeadPosition();
          for (size_t i = 0; i < k; ++i) pos = pos->next;
          list.InsertBefore(pos, P(value));
          oracle.insert(std::next(oracle.begin(), static_cast<long>(k)), value);
          break;
        }
        case 3: {  // remove the k-th node
          if (oracle.empty()) break;
          size_t k = rng() % oracle.size();
          POSITION pos = list.GetHeadPosition();
          for (size_t i = 0; i < k; ++i) pos = pos->next;
          list.RemoveAt(pos);
          oracle.erase(std::next(oracle.begin(), static_cast<long>(k)));
          break;
        }
        case 4: {
          PVOID data = nullptr;
          bool ok = list.RemoveHead(&data);
          ASSERT_EQ(ok, !oracle.empty());
          if (ok) {
            ASSERT_EQ(reinterpret_cast<ULONG_PTR>(data), oracle.front());
            oracle.pop_front();
          }
          break;
        }
        default: {
          ASSERT_EQ(list.GetCount(), oracle.size());
          if (!oracle.empty()) {
            ULONG index = static_cast<ULONG>(rng() % oracle.size());
            PVOID data = nullptr;
            ASSERT_TRUE(list.GetAt(index, &data));
            ASSERT_EQ(reinterpret_cast<ULONG_PTR>(data), *std::next(oracle.begin(), index));
            ASSERT_TRUE(list.GetTail(&data));
            ASSERT_EQ(reinterpret_cast<ULONG_PTR>(data), oracle.back());
          }
          break;
        }
      }
    }
    EXPECT_EQ(Contents(list), std::vector<ULONG_PTR>(oracle.begin(), oracle.end()));
  }
  EXPECT_TRUE(scope.Check());  // the destructor freed the nodes left
}
}  // namespace
