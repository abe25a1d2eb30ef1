// The object model: factories, interface queries and aggregation.
#include "adapter/object_model.h"

#include <gtest/gtest.h>

#include "support/kernel_fixture.h"

namespace {
class ObjectModel : public platform::testing::KernelTest {};

constexpr ULONG kTag = MakePoolTag('T', 'o', 'b', 'j');
constexpr GUID IID_ITestValue = {0x6A1E0F3C, 0x2B7D, 0x4E59, {0x9C, 0x1A, 0x3D, 0x4F, 0x5E, 0x6A, 0x7B, 0x8C}};
constexpr GUID IID_IOther = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

size_t LiveObjects() { return platform::pool::LiveBlocksWithTag(kTag).size(); }

struct ITestValue : IUnknown {
  virtual ULONG Value() = 0;
};

// Like the driver's classes, it leaves the members its constructor does not name to the
// factory's zeroing.
class CTestValue : public ITestValue, public CUnknown {
 public:
  CTestValue(PUNKNOWN outer, ULONG value) : CUnknown(outer), m_nValue(value) {}
  DECLARE_STD_UNKNOWN();
  ULONG Value() override { return m_nValue; }
  LONG References() const { return m_lRefCount; }
  bool LeftZero() const { return !m_pUnset && !m_Unset[0] && !m_Unset[1] && !m_Unset[2] && !m_Unset[3]; }

 private:
  ULONG m_nValue;
  ULONG m_Unset[4];
  PVOID m_pUnset;
};

STDMETHODIMP CTestValue::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_ITestValue)) return adapter::ReturnInterface<ITestValue>(this, object);
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

TEST_F(ObjectModel, FactoriesHandOutZeroedObjectsWithOneReference) {
  ITestValue* value = nullptr;
  ASSERT_EQ(adapter::CreateInstance<CTestValue>(&value, nullptr, NonPagedPool, kTag, 42u), STATUS_SUCCESS);
  PUNKNOWN unknown = nullptr;
  ASSERT_EQ(adapter::CreateNonDelegatingInstance<CTestValue>(&unknown, nullptr, NonPagedPool, kTag, 43u),
            STATUS_SUCCESS);
  PVOID second = nullptr;
  ASSERT_EQ(unknown->QueryInterface(IID_ITestValue, &second), STATUS_SUCCESS);
  unknown->Release();
  EXPECT_EQ(LiveObjects(), 2u);
  for (auto* itf : {value, static_cast<ITestValue*>(second)}) {
    auto* object = static_cast<CTestValue*>(itf);
    EXPECT_EQ(object->References(), 1);
    EXPECT_TRUE(object->LeftZero()) << "pool blocks come filled with garbage; the factory zeroes them";
    EXPECT_EQ(itf->Value(), itf == value ? 42u : 43u);
    itf->Release();
  }
  EXPECT_EQ(LiveObjects(), 0u);

  platform::pool::ScopedFaultInjection faults;
  platform::pool::FailTag(kTag);
  value = reinterpret_cast<ITestValue*>(1);
  EXPECT_EQ(adapter::CreateInstance<CTestValue>(&value, nullptr, NonPagedPool, kTag, 1u),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(value, nullptr);
}

TEST_F(ObjectModel, QueriesAnswerTheirIdsAndRefuseOthers) {
  ITestValue* value = nullptr;
  ASSERT_EQ(adapter::CreateInstance<CTestValue>(&value, nullptr, NonPagedPool, kTag, 1u), STATUS_SUCCESS);
  auto* object = static_cast<CTestValue*>(value);
  PVOID unknown = nullptr, again = nullptr, other = reinterpret_cast<PVOID>(1);
  ASSERT_EQ(value->QueryInterface(IID_IUnknown, &unknown), STATUS_SUCCESS);
  EXPECT_EQ(unknown, object->NonDelegatingUnknown());
  ASSERT_EQ(static_cast<PUNKNOWN>(unknown)->QueryInterface(IID_ITestValue, &again), STATUS_SUCCESS);
  EXPECT_EQ(again, value);
  EXPECT_EQ(value->QueryInterface(IID_IOther, &other), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(object->References(), 3);
  for (int i = 0; i < 3; ++i) value->Release();
  EXPECT_EQ(LiveObjects(), 0u);
}

// The inner object of an aggregate is held through its own non-delegating unknown; every
// IUnknown slot of its interfaces, references included, leads to the outer object.
TEST_F(ObjectModel, AggregatedObjectsForwardToTheirOuterUnknown) {
  ITestValue* outer = nullptr;
  ASSERT_EQ(adapter::CreateInstance<CTestValue>(&outer, nullptr, NonPagedPool, kTag, 1u), STATUS_SUCCESS);
  PUNKNOWN outerUnknown = static_cast<CTestValue*>(outer)->NonDelegatingUnknown();
  PUNKNOWN inner = nullptr;
  ASSERT_EQ(adapter::CreateNonDelegatingInstance<CTestValue>(&inner, outerUnknown, NonPagedPool, kTag, 5u),
            STATUS_SUCCESS);
  PVOID raw = nullptr, unknown = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_ITestValue, &raw), STATUS_SUCCESS);
  auto* value = static_cast<ITestValue*>(raw);
  EXPECT_EQ(value->Value(), 5u);
  ASSERT_EQ(value->QueryInterface(IID_IUnknown, &unknown), STATUS_SUCCESS);
  EXPECT_EQ(unknown, outerUnknown);
  EXPECT_EQ(static_cast<CTestValue*>(outer)->References(), 3);
  EXPECT_EQ(static_cast<CTestValue*>(value)->References(), 1);
  value->Release();
  value->Release();
  EXPECT_EQ(static_cast<CTestValue*>(outer)->References(), 1);
  inner->Release();  // as the outer object does when it goes
  outer->Release();
  EXPECT_EQ(LiveObjects(), 0u);
}
}  // namespace
