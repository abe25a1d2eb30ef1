// CPtrList against std::list as the oracle, with failed node allocations among the steps.
#include "adapter/ptr_list.h"

#include <gtest/gtest.h>

#include <list>
#include <random>

#include "support/kernel_fixture.h"

namespace {
class PtrList : public platform::testing::KernelTest {};

PVOID P(ULONG_PTR v) { return reinterpret_cast<PVOID>(v); }
ULONG_PTR V(PVOID p) { return reinterpret_cast<ULONG_PTR>(p); }

TEST_F(PtrList, AgreesWithAReferenceList) {
  std::mt19937 rng(7);
  auto* list = new (NonPagedPool, MakePoolTag('T', 'e', 's', 't')) adapter::CPtrList;
  ASSERT_NE(list, nullptr);
  std::list<ULONG_PTR> oracle;
  platform::pool::ScopedFaultInjection faults;
  for (int step = 0; step < 4000; ++step) {
    const ULONG_PTR value = rng() % 1000;
    const size_t k = oracle.empty() ? 0 : rng() % oracle.size();
    const auto kth = std::next(oracle.begin(), static_cast<long>(k));
    adapter::POSITION node = list->GetHeadPosition();
    for (size_t i = 0; i < k && node; ++i) node = node->next;
    const bool fail = rng() % 8 == 0;  // the node allocation fails: nothing may change
    platform::pool::FailTag(adapter::kPtrListTag, fail);
    auto added = [&](adapter::POSITION created) {
      EXPECT_EQ(created == nullptr, fail);
      return created != nullptr;
    };
    PVOID data = P(7), tail = P(7);
    switch (rng() % 6) {
      case 0:
        if (added(list->AddTail(P(value)))) oracle.push_back(value);
        break;
      case 1:
        if (added(list->AddHead(P(value)))) oracle.push_front(value);
        break;
      case 2:  // before the k-th node; a null position (or the head) prepends
        if (added(list->InsertBefore(node, P(value)))) oracle.insert(kth, value);
        break;
      case 3:
        if (oracle.empty()) break;
        list->RemoveAt(node);
        oracle.erase(kth);
        break;
      case 4:
        ASSERT_EQ(list->RemoveHead(&data), !oracle.empty());
        if (oracle.empty()) break;
        ASSERT_EQ(V(data), oracle.front());
        oracle.pop_front();
        break;
      default:
        ASSERT_EQ(list->GetHead(&data), !oracle.empty());
        ASSERT_EQ(list->GetTail(&tail), !oracle.empty());
        ASSERT_EQ(V(data), oracle.empty() ? 0 : oracle.front());
        ASSERT_EQ(V(tail), oracle.empty() ? 0 : oracle.back());
        ASSERT_EQ(list->GetAt(static_cast<ULONG>(k), &data), !oracle.empty());
        if (!oracle.empty()) {
          ASSERT_EQ(V(data), *kth);
        }
        data = P(7);
        ASSERT_FALSE(list->GetAt(list->GetCount(), &data));
        ASSERT_EQ(data, P(7)) << "GetAt past the end leaves the out value alone";
    }
    ASSERT_EQ(list->GetCount(), oracle.size());
    ASSERT_EQ(list->IsEmpty(), oracle.empty());
  }
  // The whole list by position.
  adapter::POSITION pos = list->GetHeadPosition();
  PVOID data;
  for (ULONG_PTR expected : oracle) {
    ASSERT_TRUE(list->GetNext(&pos, &data));
    EXPECT_EQ(V(data), expected);
  }
  EXPECT_FALSE(list->GetNext(&pos, &data));
  platform::pool::FailTag(adapter::kPtrListTag, false);
  delete list;  // frees the nodes left (the fixture checks for leaks)
}
}  // namespace
