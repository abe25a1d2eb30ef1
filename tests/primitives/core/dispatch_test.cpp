// Dispatch tables, entries and processor-class selection.
#include <gtest/gtest.h>

#include <limits>

#include "core_test_support.h"
#include "sp/sp.h"

namespace {

using sptest::FakeCpuid;

// Restores the dispatch index after a test that changes it.
class IndexGuard {
 public:
  IndexGuard() : saved_(spDispatchIndex) {}
  ~IndexGuard() { spDispatchIndex = saved_; }

 private:
  int32 saved_;
};

template <class Fn>
spEntryAddress A(Fn* f) {
  return reinterpret_cast<spEntryAddress>(f);
}

TEST(Dispatch, IndexStartsAtGeneric) { EXPECT_EQ(spDispatchIndex, SP_CLASS_GENERIC); }

// Which body fills which slot is invisible to the result oracles (every build gives the
// generic results), yet a newer build in an older slot would run instructions the
// processor lacks.
TEST(Dispatch, GroupRowsHoldTheBuildsOfTheirSlots) {
  const spDispatchTable& zero = spDispatchGroup1[sp::group1::spZero_32f];
  EXPECT_EQ(zero.slot[0], A(&sp::generic::spZero_32f));
  EXPECT_EQ(zero.slot[1], A(&sp::sse3::spZero_32f));
  EXPECT_EQ(zero.slot[2], A(&sp::ssse3::spZero_32f));
  EXPECT_EQ(zero.slot[3], A(&sp::sse41::spZero_32f));
  // Slots 2 and 3 share one body.
  for (int row : {sp::group1::spAddInPlace_32f, sp::group1::spAddConstInPlace_32f}) {
    EXPECT_EQ(spDispatchGroup1[row].slot[2], spDispatchGroup1[row].slot[3]) << row;
    EXPECT_NE(spDispatchGroup1[row].slot[1], spDispatchGroup1[row].slot[2]) << row;
  }
  // One body in all four slots.
  for (int row : {sp::group2::spAllocate_32f, sp::group2::spFree}) {
    for (int s = 1; s < 4; ++s) EXPECT_EQ(spDispatchGroup2[row].slot[s], spDispatchGroup2[row].slot[0]);
  }
  EXPECT_EQ(spDispatchGroup2[sp::group2::spCopy_32f].slot[3], A(&sp::sse41::spCopy_32f));
  EXPECT_EQ(spDispatchGroup2[sp::group2::spMulConst_32f].slot[1], A(&sp::sse3::spMulConst_32f));
}

// A row is empty until its module fills it, and then has a body in every slot: an index
// must never reach a null slot of a filled row.
TEST(Dispatch, RowsAreEmptyOrCompleteAndTheCoreRowsAreFilled) {
  auto filledSlots = [](const spDispatchTable& row) {
    int n = 0;
    for (spEntryAddress a : row.slot) n += a != nullptr;
    return n;
  };
  for (const spDispatchTable& row : spDispatchGroup1) EXPECT_TRUE(filledSlots(row) % 4 == 0);
  for (const spDispatchTable& row : spDispatchGroup2) EXPECT_TRUE(filledSlots(row) % 4 == 0);
  namespace g1 = sp::group1;
  namespace g2 = sp::group2;
  for (int row : {g1::spZero_32f, g1::spAddInPlace_32f, g1::spDivConstInPlace_32f, g1::spMove_32f,
                  g1::spMulConstInPlace_32f, g1::spAddConstInPlace_32f, g1::spInterleave_32f,
                  g1::spDeinterleave_32f}) {
    EXPECT_EQ(filledSlots(spDispatchGroup1[row]), 4) << "group 1 row " << row;
  }
  for (int row : {g2::spCopy_32f, g2::spSet_32f, g2::spMulConst_32f, g2::spAllocate_32f, g2::spFree}) {
    EXPECT_EQ(filledSlots(spDispatchGroup2[row]), 4) << "group 2 row " << row;
  }
}

int g_lastSlot = -1;
template <int N>
spStatus Probe(int x) {
  g_lastSlot = N;
  return x + N;
}

TEST(Dispatch, BodyFollowsTheIndexWithArgumentsUntouched) {
  IndexGuard guard;
  const spDispatchTable table = spMakeDispatchTable(&Probe<0>, &Probe<1>, &Probe<2>, &Probe<3>);
  for (int i = 0; i < 4; ++i) {
    spDispatchIndex = i;
    EXPECT_EQ(spDispatchBody<spStatus(int)>(table)(100), 100 + i);
    EXPECT_EQ(g_lastSlot, i);
  }
}

// An index outside the table never reaches memory past it: it runs the generic body,
// the one build every processor can run.
TEST(Dispatch, OutOfRangeIndexRunsTheGenericBody) {
  IndexGuard guard;
  const spDispatchTable table = spMakeDispatchTable(&Probe<0>, &Probe<1>, &Probe<2>, &Probe<3>);
  for (int32 index : {4, 5, 7, 8, 64, 1 << 30, std::numeric_limits<int32>::max(), -1, -2, -4,
                      std::numeric_limits<int32>::min(), std::numeric_limits<int32>::min() + 3}) {
    spDispatchIndex = index;
    g_lastSlot = -1;
    EXPECT_EQ(spDispatchBody<spStatus(int)>(table)(100), 100) << index;
    EXPECT_EQ(g_lastSlot, 0) << index;
  }
  // Through a real entry, with an index that would read four tables further on.
  spDispatchIndex = 4 * 4 + 1;
  float v[3] = {1, 2, 3};
  EXPECT_EQ(spMulConstInPlace_32f(2.0f, v, 3), SP_OK);
  EXPECT_EQ(v[2], 6.0f);
}

TEST(Dispatch, EveryIndexGivesTheSameResults) {
  IndexGuard guard;
  for (int i = 0; i < 4; ++i) {
    spDispatchIndex = i;
    float a[5] = {1, 2, 3, 4, 5};
    float b[5] = {};
    ASSERT_EQ(spCopy_32f(a, b, 5), SP_OK);
    EXPECT_EQ(b[4], 5.0f);
    ASSERT_EQ(spMulConstInPlace_32f(2.0f, b, 5), SP_OK);
    EXPECT_EQ(b[0], 2.0f);
    ASSERT_EQ(spZero_32f(b, 5), SP_OK);
    EXPECT_EQ(b[2], 0.0f);
    float* block = spAllocate_32f(3);
    ASSERT_NE(block, nullptr);
    spFree(block);
  }
}

// ---- classification through a fake CPUID

struct ClassifyCase {
  const char* what;
  const char* vendor;
  uint32 leaf1Eax, leaf1Ecx, leaf1Edx;
  uint32 leaf4Eax;
  bool longMode;
  spProcessorCode code;
};

constexpr uint32 Leaf1(uint32 family, uint32 model, uint32 extModel = 0, uint32 extFamily = 0) {
  return (extFamily << 20) | (extModel << 16) | (family << 8) | (model << 4);
}

const ClassifyCase kClassifyCases[] = {
    {"Intel 6/15 dual core", "GenuineIntel", Leaf1(6, 15), 0, 0, 1u << 26, false, 33},
    {"Intel 6/15 quad core", "GenuineIntel", Leaf1(6, 15), 0, 0, 3u << 26, false, 34},
    {"Intel 6/23", "GenuineIntel", Leaf1(6, 7, 1), 0, 0, 0, false, 68},
    {"Intel 6/26", "GenuineIntel", Leaf1(6, 10, 1), 1u << 20, 0, 0, false, 35},
    {"Intel 6/28", "GenuineIntel", Leaf1(6, 12, 1), 0, 0, 0, false, 36},
    {"Intel family 15", "GenuineIntel", Leaf1(15, 2), 0, 0, 0, false, 66},
    {"Intel family 15+1 by features", "GenuineIntel", Leaf1(15, 2, 0, 1), 1u << 9, 0, 0, false, 67},
    {"Intel unlisted model, SSE4.2", "GenuineIntel", Leaf1(6, 14, 9), (1u << 20) | 1, 0, 0, false, 69},
    {"other vendor 6/23 by features", "AuthenticAMD", Leaf1(6, 7, 1), 1u << 9, 0, 0, false, 67},
    {"SSE4.1", "AuthenticAMD", Leaf1(6, 1), 1u << 19, 0, 0, false, 68},
    {"SSE3 only", "AuthenticAMD", Leaf1(6, 1), 1, 0, 0, false, 66},
    {"SSE2", "AuthenticAMD", Leaf1(6, 1), 0, 3u << 25, 0, false, 65},
    {"SSE", "AuthenticAMD", Leaf1(6, 1), 0, 1u << 25, 0, false, 64},
    {"nothing, long mode", "AuthenticAMD", Leaf1(6, 1), 0, 0, 0, true, 96},
    {"nothing at all", "AuthenticAMD", Leaf1(6, 1), 0, 0, 0, false, 0},
};

void Install(FakeCpuid& cpu, const ClassifyCase& c) {
  cpu.SetVendor(c.vendor, 4);
  cpu.Set(1, c.leaf1Eax, 0, c.leaf1Ecx, c.leaf1Edx);
  cpu.Set(4, c.leaf4Eax, 0, 0, 0);
  cpu.Set(0x80000000, 0x80000001, 0, 0, 0);
  cpu.Set(0x80000001, 0, 0, 0, c.longMode ? 1u << 29 : 0);
}

TEST(Classify, ModelsAndFeatureLevels) {
  for (const ClassifyCase& c : kClassifyCases) {
    FakeCpuid cpu;
    Install(cpu, c);
    EXPECT_EQ(spClassifyProcessor(), c.code) << c.what;
  }
}

TEST(Classify, CoresOnlyFromLeafFourWhenReported) {
  FakeCpuid cpu;
  Install(cpu, kClassifyCases[1]);  // four cores by leaf 4...
  cpu.SetVendor("GenuineIntel", 3);  // ...which the processor does not report
  EXPECT_EQ(spClassifyProcessor(), 33);
}

TEST(Classify, LongModeNeedsTheExtendedLeaf) {
  FakeCpuid cpu;
  Install(cpu, kClassifyCases[13]);
  cpu.Set(0x80000000, 0x80000000, 0, 0, 0);  // EAX & 0x7FFFFFFF == 0
  EXPECT_EQ(spClassifyProcessor(), 0);
}

TEST(Select, StoresTheClassOfTheCodeAndWarnsForOtherVendors) {
  IndexGuard guard;
  struct {
    const ClassifyCase& cpu;
    int32 cls;
    spStatus status;
  } cases[] = {
      {kClassifyCases[0], 2, SP_OK},   {kClassifyCases[2], 3, SP_OK},
      {kClassifyCases[3], 3, SP_OK},   {kClassifyCases[4], 2, SP_OK},
      {kClassifyCases[5], 1, SP_OK},   {kClassifyCases[7], 3, SP_OK},
      {kClassifyCases[8], 2, SP_WARNING_PROCESSOR_PROBE},
      {kClassifyCases[10], 1, SP_WARNING_PROCESSOR_PROBE},
      {kClassifyCases[11], 0, SP_WARNING_PROCESSOR_PROBE},
      {kClassifyCases[13], 0, SP_WARNING_PROCESSOR_PROBE},
  };
  for (const auto& c : cases) {
    FakeCpuid cpu;
    Install(cpu, c.cpu);
    spDispatchIndex = 3 - c.cls;  // something else
    EXPECT_EQ(spSelectProcessorVariant(), c.status) << c.cpu.what;
    EXPECT_EQ(spDispatchIndex, c.cls) << c.cpu.what;
  }
}

TEST(Select, VendorCheckReadsAllThreeWords) {
  for (const char* vendor : {"GenuineIntel", "XenuineIntel", "GenuineIntes", "GenuineJntel"}) {
    FakeCpuid cpu;
    cpu.SetVendor(vendor, 4);
    EXPECT_EQ(spIsIntelProcessor(), std::string(vendor) == "GenuineIntel" ? 1 : 0) << vendor;
  }
  EXPECT_EQ(spHasCpuid(), 1);
}

TEST(Select, ProcessorCodeTable) {
  IndexGuard guard;
  const struct {
    spProcessorCode code;
    int32 cls;
  } accepted[] = {{-1, 0}, {0, 0}, {96, 0}, {32, 1}, {33, 2}, {34, 2}, {36, 2},
                  {67, 2}, {35, 3}, {37, 3}, {68, 3}, {69, 3}};
  for (const auto& a : accepted) {
    spDispatchIndex = a.cls == 3 ? 1 : 3;
    EXPECT_EQ(spSelectVariantForProcessorCode(a.code), SP_OK) << a.code;
    EXPECT_EQ(spDispatchIndex, a.cls) << a.code;
  }
  for (spProcessorCode code : {64, 65, 66, 1, 31, 38, 70, 97, -2}) {
    spDispatchIndex = 2;
    EXPECT_EQ(spSelectVariantForProcessorCode(code), SP_WARNING_UNKNOWN_PROCESSOR) << code;
    EXPECT_EQ(spDispatchIndex, 2) << code;
  }
}

TEST(Select, RealProcessorGetsAClassItCanRun) {
  IndexGuard guard;
  const spStatus status = spSelectProcessorVariant();
  EXPECT_TRUE(status == SP_OK || status == SP_WARNING_PROCESSOR_PROBE);
  EXPECT_EQ(status == SP_OK, spIsIntelProcessor() == 1);
  __builtin_cpu_init();
  EXPECT_TRUE(spDispatchIndex < 1 || __builtin_cpu_supports("sse3"));
  EXPECT_TRUE(spDispatchIndex < 2 || __builtin_cpu_supports("ssse3"));
  EXPECT_TRUE(spDispatchIndex < 3 || __builtin_cpu_supports("sse4.1"));
}

}  // namespace
