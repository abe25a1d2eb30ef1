// The object model: factories, interface queries and aggregation.
#include "adapter/object_model.h"

#include <gtest/gtest.h>

#include "support/kernel_fixture.h"

namespace {
class ObjectModel : public platform::testing::KernelTest {};

constexpr ULONG kTag = MakePoolTag('T', 'o', 'b', 'j');
// {6A1E0F3C-2B7D-4E59-9C1A-3D4F5E6A7B8C}
constexpr GUID IID_ITestValue = {0x6A1E0F3C, 0x2B7D, 0x4E59, {0x9C, 0x1A, 0x3D, 0x4F, 0x5E, 0x6A, 0x7B, 0x8C}};
constexpr GUID IID_IOther = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

struct ITestValue : IUnknown {
  virtual ULONG Value() = 0;
};

// Like the driver's classes, it leaves the members its constructor does not name to the
// factory's zeroing.
class CTestValue : public ITestValue, public CUnknown {
 public:
  CTestValue(PUNKNOWN outer, ULONG value, int* destroyed) : CUnknown(outer), m_nValue(value), m_pDestroyed(destroyed) {}
  ~CTestValue() override { ++*m_pDestroyed; }
  DECLARE_STD_UNKNOWN();
  ULONG Value() override { return m_nValue; }
  LONG References() const { return m_lRefCount; }
  bool LeftZero() const {
    for (ULONG word : m_Unset)
      if (word != 0) return false;
    return m_pUnset == nullptr;
  }

 private:
  ULONG m_nValue;
  int* m_pDestroyed;
  ULONG m_Unset[6];
  PVOID m_pUnset;
};

STDMETHODIMP CTestValue::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_ITestValue)) return adapter::ReturnInterface<ITestValue>(this, object);
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CreateTestValue(ITestValue** out, PUNKNOWN outer, ULONG value, int* destroyed) {
  return adapter::CreateInstance<CTestValue>(out, outer, NonPagedPool, kTag, value, destroyed);
}

TEST_F(ObjectModel, FactoriesHandOutZeroedObjectsWithOneReference) {
  int destroyed = 0;
  ITestValue* value = nullptr;
  ASSERT_EQ(CreateTestValue(&value, nullptr, 42, &destroyed), STATUS_SUCCESS);
  PUNKNOWN unknown = nullptr;
  ASSERT_EQ(adapter::CreateNonDelegatingInstance<CTestValue>(&unknown, nullptr, NonPagedPool, kTag, 43u, &destroyed),
            STATUS_SUCCESS);
  PVOID raw = nullptr;
  ASSERT_EQ(unknown->QueryInterface(IID_ITestValue, &raw), STATUS_SUCCESS);
  unknown->Release();
  for (auto* object : {static_cast<CTestValue*>(value), static_cast<CTestValue*>(static_cast<ITestValue*>(raw))}) {
    EXPECT_EQ(object->References(), 1);
    EXPECT_TRUE(object->LeftZero()) << "pool blocks come filled with garbage; the factory zeroes them";
  }
  EXPECT_EQ(value->Value() + static_cast<ITestValue*>(raw)->Value(), 85u);
  EXPECT_EQ(platform::pool::LiveBlocksWithTag(kTag).size(), 2u);
  value->Release();
  static_cast<ITestValue*>(raw)->Release();
  EXPECT_EQ(destroyed, 2);

  platform::pool::ScopedFaultInjection faults;
  platform::pool::FailTag(kTag);
  value = reinterpret_cast<ITestValue*>(1);
  EXPECT_EQ(CreateTestValue(&value, nullptr, 1, &destroyed), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(value, nullptr);
}

TEST_F(ObjectModel, QueriesAnswerTheirIdsAndRefuseOthers) {
  int destroyed = 0;
  ITestValue* value = nullptr;
  ASSERT_EQ(CreateTestValue(&value, nullptr, 1, &destroyed), STATUS_SUCCESS);
  auto* object = static_cast<CTestValue*>(value);
  PVOID unknown = nullptr;
  ASSERT_EQ(value->QueryInterface(IID_IUnknown, &unknown), STATUS_SUCCESS);
  EXPECT_EQ(unknown, object->NonDelegatingUnknown());
  PVOID again = nullptr;
  ASSERT_EQ(static_cast<PUNKNOWN>(unknown)->QueryInterface(IID_ITestValue, &again), STATUS_SUCCESS);
  EXPECT_EQ(again, value);
  EXPECT_EQ(object->References(), 3);
  PVOID other = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(value->QueryInterface(IID_IOther, &other), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(object->References(), 3);
  static_cast<ITestValue*>(again)->Release();
  static_cast<PUNKNOWN>(unknown)->Release();
  value->Release();
  EXPECT_EQ(destroyed, 1);
}

// An aggregating object that exposes its inner object's ITestValue as its own.
class COuter : public CUnknown {
 public:
  explicit COuter(PUNKNOWN outer) : CUnknown(outer) {}
  ~COuter() override { m_pInner->Release(); }
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (object && IsEqualGUID(iid, IID_ITestValue)) return m_pInner->QueryInterface(iid, object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
  }
  LONG References() const { return m_lRefCount; }
  PUNKNOWN m_pInner = nullptr;  // the inner object's non-delegating unknown
};

TEST_F(ObjectModel, AggregatedObjectsForwardToTheirOuterUnknown) {
  int destroyed = 0;
  auto* outer = new (NonPagedPool, kTag) COuter(nullptr);
  ASSERT_NE(outer, nullptr);
  outer->NonDelegatingAddRef();
  PUNKNOWN outerUnknown = outer->NonDelegatingUnknown();
  ASSERT_EQ(adapter::CreateNonDelegatingInstance<CTestValue>(&outer->m_pInner, outerUnknown, NonPagedPool, kTag, 5u,
                                                             &destroyed),
            STATUS_SUCCESS);
  // The inner's interface, its IUnknown slots and their references all lead to the outer.
  PVOID raw = nullptr;
  ASSERT_EQ(outerUnknown->QueryInterface(IID_ITestValue, &raw), STATUS_SUCCESS);
  auto* value = static_cast<ITestValue*>(raw);
  EXPECT_EQ(value->Value(), 5u);
  PVOID unknown = nullptr;
  ASSERT_EQ(value->QueryInterface(IID_IUnknown, &unknown), STATUS_SUCCESS);
  EXPECT_EQ(unknown, outerUnknown);
  EXPECT_EQ(outer->References(), 3);
  EXPECT_EQ(static_cast<CTestValue*>(value)->References(), 1);
  static_cast<PUNKNOWN>(unknown)->Release();
  value->Release();
  EXPECT_EQ(destroyed, 0);
  outerUnknown->Release();  // the outer goes and releases the inner
  EXPECT_EQ(destroyed, 1);
}
}  // namespace
