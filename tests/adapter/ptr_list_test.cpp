// CPtrList against std::list as the oracle, with failed node allocations among the steps.
#include "adapter/ptr_list.h"

#include <gtest/gtest.h>

#include <list>
#include <random>
#include <vector>

#include "support/kernel_fixture.h"

namespace {
class PtrList : public platform::testing::KernelTest {};

using adapter::CPtrList;
using adapter::POSITION;

PVOID P(ULONG_PTR v) { return reinterpret_cast<PVOID>(v); }
ULONG_PTR V(PVOID p) { return reinterpret_cast<ULONG_PTR>(p); }

std::vector<ULONG_PTR> Contents(const CPtrList& list) {
  std::vector<ULONG_PTR> out;
  POSITION pos = list.GetHeadPosition();
  PVOID data;
  while (list.GetNext(&pos, &data)) out.push_back(V(data));
  return out;
}

POSITION Nth(const CPtrList& list, size_t k) {
  POSITION pos = list.GetHeadPosition();
  while (k--) pos = pos->next;
  return pos;
}

TEST_F(PtrList, AgreesWithAReferenceList) {
  std::mt19937 rng(7);
  auto* list = new (NonPagedPool, MakePoolTag('T', 'e', 's', 't')) CPtrList;  // zeroed pool, as owners get it
  ASSERT_NE(list, nullptr);
  std::list<ULONG_PTR> oracle;
  platform::pool::ScopedFaultInjection faults;
  for (int step = 0; step < 4000; ++step) {
    const ULONG_PTR value = rng() % 1000;
    const size_t k = oracle.empty() ? 0 : rng() % oracle.size();
    const bool fail = rng() % 8 == 0;  // the node allocation fails: nothing may change
    platform::pool::FailTag(adapter::kPtrListTag, fail);
    auto added = [&](POSITION node) {
      EXPECT_EQ(node == nullptr, fail);
      return node != nullptr;
    };
    switch (rng() % 6) {
      case 0:
        if (added(list->AddTail(P(value)))) oracle.push_back(value);
        break;
      case 1:
        if (added(list->AddHead(P(value)))) oracle.push_front(value);
        break;
      case 2:  // before the k-th node; a null position (or the head) prepends
        if (added(list->InsertBefore(oracle.empty() ? nullptr : Nth(*list, k), P(value))))
          oracle.insert(std::next(oracle.begin(), static_cast<long>(k)), value);
        break;
      case 3:
        if (oracle.empty()) break;
        list->RemoveAt(Nth(*list, k));
        oracle.erase(std::next(oracle.begin(), static_cast<long>(k)));
        break;
      case 4: {
        PVOID data = P(7);
        ASSERT_EQ(list->RemoveHead(&data), !oracle.empty());
        if (!oracle.empty()) {
          ASSERT_EQ(V(data), oracle.front());
          oracle.pop_front();
        }
        break;
      }
      default: {
        PVOID head = P(7), tail = P(7), at = P(7), past = P(7);
        ASSERT_EQ(list->GetHead(&head), !oracle.empty());
        ASSERT_EQ(list->GetTail(&tail), !oracle.empty());
        ASSERT_EQ(V(head), oracle.empty() ? 0 : oracle.front());
        ASSERT_EQ(V(tail), oracle.empty() ? 0 : oracle.back());
        ASSERT_EQ(list->GetAt(static_cast<ULONG>(k), &at), !oracle.empty());
        if (!oracle.empty()) {
          ASSERT_EQ(V(at), *std::next(oracle.begin(), static_cast<long>(k)));
        }
        ASSERT_FALSE(list->GetAt(list->GetCount(), &past));
        ASSERT_EQ(past, P(7)) << "GetAt past the end leaves the out value alone";
        break;
      }
    }
    ASSERT_EQ(list->GetCount(), oracle.size());
    ASSERT_EQ(list->IsEmpty(), oracle.empty());
  }
  platform::pool::FailTag(adapter::kPtrListTag, false);
  EXPECT_EQ(Contents(*list), std::vector<ULONG_PTR>(oracle.begin(), oracle.end()));
  delete list;  // frees the nodes left (the fixture checks for leaks)
}
}  // namespace
