// CRefList: one reference per element while it is listed, none left after a failed add or
// the release, typed walks that survive the walker unlinking the element it stands on;
// ScopedRelease drops its reference at the end of the scope.
#include "adapter/ref_list.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/kernel_fixture.h"

namespace {

class RefList : public platform::testing::KernelTest {};

struct Counted {
  LONG references = 1;
  int id = 0;
  ULONG AddRef() { return static_cast<ULONG>(++references); }
  ULONG Release() { return static_cast<ULONG>(--references); }
};

constexpr ULONG kTag = MakePoolTag('T', 'e', 's', 't');

TEST_F(RefList, HoldsOneReferencePerListedElement) {
  Counted a{1, 1}, b{1, 2}, c{1, 3};
  auto* list = new (NonPagedPool, kTag) adapter::CRefList<Counted>;
  ASSERT_NE(list, nullptr);
  EXPECT_FALSE(list->Add(nullptr));
  EXPECT_TRUE(list->Add(&a));
  EXPECT_TRUE(list->Add(&b));
  {
    platform::pool::ScopedFaultInjection faults;
    platform::pool::FailTag(adapter::kPtrListTag);
    EXPECT_FALSE(list->Add(&c));  // no node: the reference goes back
  }
  EXPECT_TRUE(list->Add(&a));  // twice: two references
  EXPECT_EQ(a.references, 3);
  EXPECT_EQ(b.references, 2);
  EXPECT_EQ(c.references, 1);
  EXPECT_EQ(list->GetCount(), 3u);
  EXPECT_EQ(list->GetAt(1), &b);
  EXPECT_EQ(list->GetAt(3), nullptr);
  EXPECT_EQ(list->GetTail(), &a);

  std::vector<int> walked;
  for (Counted* element : *list) walked.push_back(element->id);
  EXPECT_EQ(walked, (std::vector<int>{1, 2, 1}));

  list->ReleaseAll();
  EXPECT_EQ(list->GetCount(), 0u);
  EXPECT_EQ(list->GetTail(), nullptr);
  EXPECT_EQ(a.references, 1);
  EXPECT_EQ(b.references, 1);
  EXPECT_TRUE(list->Add(&c));
  delete list;  // the destructor releases what is still listed
  EXPECT_EQ(c.references, 1);
}

TEST_F(RefList, WalkSurvivesUnlinkingTheCurrentElement) {
  Counted e[4] = {{1, 0}, {1, 1}, {1, 2}, {1, 3}};
  adapter::CRefList<Counted> list;
  for (Counted& x : e) ASSERT_TRUE(list.Add(&x));
  std::vector<int> walked;
  for (Counted* element : list) {
    walked.push_back(element->id);
    if (element->id % 2 == 0) {
      adapter::POSITION p = list.GetHeadPosition();
      while (p && p->data != element) p = p->next;
      list.RemoveAt(p);
      element->Release();
    }
  }
  EXPECT_EQ(walked, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(list.GetCount(), 2u);
  EXPECT_EQ(e[0].references, 1);
  EXPECT_EQ(e[1].references, 2);
}

TEST_F(RefList, ScopedReleaseDropsItsReferenceAtTheEndOfTheScope) {
  Counted a;
  {
    a.AddRef();
    adapter::ScopedRelease<Counted> held(&a);
    EXPECT_EQ(held->references, 2);
    adapter::ScopedRelease<Counted> empty;
    EXPECT_EQ(empty.get(), nullptr);
  }
  EXPECT_EQ(a.references, 1);
}

}  // namespace
