// The vector-math entries: argument checks and their order in every slot, the dispatch
// rows, the examples of the entry contract, and an index outside 0-3.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "sp/sp.h"
#include "vecmath_test_support.h"

namespace {

using sptest::Bits;
using sptest::FromBits;

class IndexGuard {
 public:
  IndexGuard() : saved_(spDispatchIndex) {}
  ~IndexGuard() { spDispatchIndex = saved_; }

 private:
  int32 saved_;
};

// The slots this processor can run.
std::vector<int> Slots() {
  std::vector<int> s;
  for (int i = 0; i < 4; ++i) {
    if (vmtest::Supports(i)) s.push_back(i);
  }
  return s;
}

struct EntryCase {
  const char* name;
  int pointers;
  std::function<spStatus(float* const* p, int len)> call;
};

const EntryCase kEntries[] = {
    {"spSquareRootInPlace_32f", 1, [](float* const* p, int n) { return spSquareRootInPlace_32f(p[0], n); }},
    {"spAbsoluteInPlace_32f", 1, [](float* const* p, int n) { return spAbsoluteInPlace_32f(p[0], n); }},
    {"spMaximum_32f", 2, [](float* const* p, int n) { return spMaximum_32f(p[0], n, p[1]); }},
    {"spMinimum_32f", 2, [](float* const* p, int n) { return spMinimum_32f(p[0], n, p[1]); }},
    {"spMultiplyInPlace_32f", 2, [](float* const* p, int n) { return spMultiplyInPlace_32f(p[0], p[1], n); }},
    {"spAdd_32f", 3, [](float* const* p, int n) { return spAdd_32f(p[0], p[1], p[2], n); }},
    {"spSubtract_32f", 3, [](float* const* p, int n) { return spSubtract_32f(p[0], p[1], p[2], n); }},
    {"spMultiply_32f", 3, [](float* const* p, int n) { return spMultiply_32f(p[0], p[1], p[2], n); }},
    {"spMultiplyAccumulate_32f", 3,
     [](float* const* p, int n) { return spMultiplyAccumulate_32f(p[0], p[1], p[2], n); }},
    {"spSquare_32f", 2, [](float* const* p, int n) { return spSquare_32f(p[0], p[1], n); }},
    {"spDivide_32f", 3, [](float* const* p, int n) { return spDivide_32f(p[0], p[1], p[2], n); }},
    {"spExponentialInPlace_32f", 1, [](float* const* p, int n) { return spExponentialInPlace_32f(p[0], n); }},
    {"spNaturalLogInPlace_32f", 1, [](float* const* p, int n) { return spNaturalLogInPlace_32f(p[0], n); }},
    {"spSum_32f", 2, [](float* const* p, int n) { return spSum_32f(p[0], n, p[1], 1); }},
    {"spMean_32f", 2, [](float* const* p, int n) { return spMean_32f(p[0], n, p[1], 0); }},
    {"spMinElementwiseInPlace_32f", 2,
     [](float* const* p, int n) { return spMinElementwiseInPlace_32f(p[0], p[1], n); }},
    {"spMaxElementwiseInPlace_32f", 2,
     [](float* const* p, int n) { return spMaxElementwiseInPlace_32f(p[0], p[1], n); }},
    {"spDotProduct_32f", 3, [](float* const* p, int n) { return spDotProduct_32f(p[0], p[1], n, p[2]); }},
};

// A null pointer is reported before a bad count, and nothing is written either way.
TEST(VecmathEntries, NullPointerBeforeLengthAndNothingWritten) {
  IndexGuard guard;
  for (int slot : Slots()) {
    spDispatchIndex = slot;
    for (const EntryCase& e : kEntries) {
      SCOPED_TRACE(testing::Message() << e.name << " slot " << slot);
      float buf[3][8];
      for (int b = 0; b < 3; ++b) {
        for (int i = 0; i < 8; ++i) buf[b][i] = -1.5f - static_cast<float>(8 * b + i);
      }
      float before[3][8];
      std::memcpy(before, buf, sizeof buf);
      for (int nullAt = 0; nullAt < e.pointers; ++nullAt) {
        for (int len : {4, 0, -1, INT_MIN}) {
          float* p[3] = {buf[0], buf[1], buf[2]};
          p[nullAt] = nullptr;
          EXPECT_EQ(e.call(p, len), SP_ERROR_NULL) << "null " << nullAt << " len " << len;
        }
      }
      for (int len : {0, -1, -1000, INT_MIN}) {
        float* p[3] = {buf[0], buf[1], buf[2]};
        EXPECT_EQ(e.call(p, len), SP_ERROR_LENGTH) << "len " << len;
      }
      EXPECT_EQ(std::memcmp(before, buf, sizeof buf), 0);
    }
  }
}

// Slot 1 of the element-wise arithmetic has a body of its own and slots 2 and 3 share
// one; the multiply-accumulate has one body in every slot.
TEST(VecmathEntries, DispatchRowsShareBodiesWhereTheSlotsDo) {
  namespace g2 = sp::group2;
  for (int row : {g2::spMultiplyInPlace_32f, g2::spAdd_32f, g2::spSubtract_32f, g2::spMultiply_32f}) {
    const spDispatchTable& t = spDispatchGroup2[row];
    EXPECT_EQ(t.slot[2], t.slot[3]) << "row " << row;
    EXPECT_NE(t.slot[1], t.slot[2]) << "row " << row;
  }
  for (int row : {g2::spMultiplyAccumulate_32f}) {
    const spDispatchTable& t = spDispatchGroup2[row];
    for (int s = 1; s < 4; ++s) EXPECT_EQ(t.slot[s], t.slot[0]) << "row " << row;
  }
  EXPECT_EQ(spDispatchGroup2[g2::spSquareRootInPlace_32f].slot[3],
            reinterpret_cast<spEntryAddress>(&sp::sse41::spSquareRootInPlace_32f));
}

// The entry contract's examples, in every slot.
TEST(VecmathEntries, ExamplesInEverySlot) {
  IndexGuard guard;
  for (int slot : Slots()) {
    spDispatchIndex = slot;
    SCOPED_TRACE(testing::Message() << "slot " << slot);
    const float s1[1] = {2.0f}, s2[1] = {8.0f};
    float d[2];
    EXPECT_EQ(spSubtract_32f(s1, s2, d, 1), SP_OK);
    EXPECT_EQ(spDivide_32f(s1, s2, d + 1, 1), SP_OK);
    EXPECT_EQ(d[0], 6.0f);
    EXPECT_EQ(d[1], 4.0f);
    float r[2] = {4.0f, -1.0f};
    EXPECT_EQ(spSquareRootInPlace_32f(r, 2), SP_WARNING_NEGATIVE_ROOT);
    EXPECT_EQ(r[0], 2.0f);
    EXPECT_TRUE(std::isnan(r[1]));
    float e[5] = {1000.0f, -1000.0f, FromBits(0x7F800001u), 0.0f, -2.0f};
    EXPECT_EQ(spExponentialInPlace_32f(e, 5), SP_OK);
    float l1[2] = {0.0f, -1.0f}, l2[2] = {-1.0f, 0.0f};
    EXPECT_EQ(spNaturalLogInPlace_32f(l1, 2), SP_WARNING_LOG_OF_ZERO);
    EXPECT_EQ(spNaturalLogInPlace_32f(l2, 2), SP_WARNING_LOG_OF_NEGATIVE);
    // The processor builds' fast sum (hint 1) adds in float lanes: 1e8 + 0.5 is 1e8.
    alignas(16) const float v[5] = {1e8f, 1.0f, -1e8f, 1.0f, 0.5f};
    for (int hint : {0, 1, 2, -7}) {
      const bool fast = hint == 1 && slot != 0;
      float sum = 0, mean = 0;
      EXPECT_EQ(spSum_32f(v, 5, &sum, hint), SP_OK);
      EXPECT_EQ(spMean_32f(v, 5, &mean, hint), SP_OK);
      EXPECT_EQ(sum, fast ? 2.0f : 2.5f) << hint;
      EXPECT_EQ(mean, fast ? 0.4f : 0.5f) << hint;
    }
  }
}

// spDispatchIndex is a writable global; a value outside 0-3 runs the generic body of
// every entry. The extreme of [+0, -0] tells the builds apart: the generic build keeps
// the first of two equal elements, the processor kernels the later one.
TEST(VecmathEntries, IndexOutsideTheSlotsRunsTheGenericBuild) {
  IndexGuard guard;
  for (int32 index : {4, 5, 7, 8, -1, -4, 1001, INT_MIN, INT_MAX}) {
    spDispatchIndex = index;
    SCOPED_TRACE(index);
    const float zeros[2] = {0.0f, -0.0f};
    float m = 1.0f;
    EXPECT_EQ(spMaximum_32f(zeros, 2, &m), SP_OK);
    EXPECT_EQ(Bits(m), 0u);
    float v[9] = {9, -4, 16, 25, 1, 4, 36, 49, 64};
    EXPECT_EQ(spSquareRootInPlace_32f(v, 9), SP_WARNING_NEGATIVE_ROOT);
    EXPECT_EQ(Bits(v[1]), 0xFFC00000u);
    EXPECT_EQ(v[8], 8.0f);
    EXPECT_EQ(spAdd_32f(v, v, v, 9), SP_OK);
    EXPECT_EQ(v[0], 6.0f);
  }
  if (vmtest::Supports(1)) {
    spDispatchIndex = 1;  // and a processor slot does tell
    const float zeros[2] = {0.0f, -0.0f};
    float m = 1.0f;
    EXPECT_EQ(spMaximum_32f(zeros, 2, &m), SP_OK);
    EXPECT_EQ(Bits(m), 0x80000000u);
  }
}

}  // namespace
