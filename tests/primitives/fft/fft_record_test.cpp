// Record sizes, set-up statuses, table contents and layout, allocation and release.
#include <gtest/gtest.h>

#include <cmath>

#include "fft_records.h"
#include "sp/fft_kernels.h"

namespace {

using namespace fft_test;
namespace g = sp::generic;

struct SizeRow {
  int order;
  uint32 spec, init, work;
};

TEST(FftSpecSize, RealSizesAreTheDocumentedOnes) {
  const SizeRow rows[] = {{0, 168, 0, 0},         {3, 168, 0, 0},        {4, 384, 0, 0},
                          {8, 2432, 0, 0},        {10, 8960, 0, 0},      {11, 17664, 2112, 0},
                          {12, 30976, 4160, 0},   {14, 141856, 17536, 1056}};
  for (const auto& r : rows) {
    for (int flag : kFlags) {
      uint32 s = 0, i = 0, w = 0;
      ASSERT_EQ(g::spFftGetSpecSizeReal_32f(r.order, flag, 77, &s, &i, &w), SP_OK);
      EXPECT_EQ(s, r.spec) << "order " << r.order;
      EXPECT_EQ(i, r.init) << "order " << r.order;
      EXPECT_EQ(w, r.work) << "order " << r.order;
    }
  }
}

TEST(FftSpecSize, ComplexSizesAreTheDocumentedOnes) {
  const SizeRow rows[] = {{0, 168, 0, 0},          {2, 168, 0, 0},           {4, 384, 0, 0},
                          {8, 2560, 0, 0},         {10, 9472, 0, 0},         {11, 14592, 2112, 0},
                          {12, 20736, 4160, 0},    {13, 76320, 9344, 1056},  {16, 594208, 74080, 8224},
                          {20, 9453856, 1082464, 32800}};
  for (const auto& r : rows) {
    uint32 s = 0, i = 0, w = 0;
    ASSERT_EQ(g::spFftGetSpecSizeComplex_32fc(r.order, SP_FFT_SCALE_INVERSE, 0, &s, &i, &w), SP_OK);
    EXPECT_EQ(s, r.spec) << "order " << r.order;
    EXPECT_EQ(i, r.init) << "order " << r.order;
    EXPECT_EQ(w, r.work) << "order " << r.order;
  }
}

TEST(FftSpecSize, RefusesBadArgumentsInOrderAndWritesNothing) {
  using Query = spStatus (*)(int32, int32, uint32, uint32*, uint32*, uint32*);
  for (Query q : {Query{g::spFftGetSpecSizeReal_32f}, Query{g::spFftGetSpecSizeComplex_32fc}}) {
    uint32 s = 11, i = 12, w = 13;
    EXPECT_EQ(q(-1, 2, 0, &s, &i, &w), SP_ERROR_TRANSFORM_ORDER);
    EXPECT_EQ(q(31, 2, 0, &s, &i, &w), SP_ERROR_TRANSFORM_ORDER);
    EXPECT_EQ(q(31, 3, 0, nullptr, &i, &w), SP_ERROR_TRANSFORM_ORDER);  // order before null
    EXPECT_EQ(q(5, 3, 0, nullptr, &i, &w), SP_ERROR_NULL);              // null before flag
    EXPECT_EQ(q(5, 2, 0, &s, nullptr, &w), SP_ERROR_NULL);
    EXPECT_EQ(q(5, 2, 0, &s, &i, nullptr), SP_ERROR_NULL);
    for (int flag : {0, 3, 5, 16, -1}) EXPECT_EQ(q(5, flag, 0, &s, &i, &w), SP_ERROR_TRANSFORM_FLAG);
    EXPECT_EQ(s, 11u);
    EXPECT_EQ(i, 12u);
    EXPECT_EQ(w, 13u);
    // Sizes above a signed 32-bit count are refused rather than wrapped.
    for (int order = 28; order <= 30; ++order) EXPECT_EQ(q(order, 2, 0, &s, &i, &w), SP_ERROR_TRANSFORM_ORDER);
    EXPECT_EQ(q(27, 2, 0, &s, &i, &w), SP_OK);
    EXPECT_LE(s, 0x7FFFFFFFu);
  }
}

TEST(FftSetUp, RefusesBadArgumentsInOrder) {
  GuardedBytes mem(2112);
  spRealFftSpec* real = nullptr;
  spComplexFftSpec* cx = nullptr;
  EXPECT_EQ(g::spFftInitSpecReal_32f(nullptr, 5, 2, 0, mem.data(), nullptr), SP_ERROR_NULL);
  EXPECT_EQ(g::spFftInitSpecReal_32f(&real, 31, 2, 0, mem.data(), nullptr), SP_ERROR_TRANSFORM_ORDER);
  EXPECT_EQ(g::spFftInitSpecReal_32f(&real, 28, 2, 0, mem.data(), nullptr), SP_ERROR_TRANSFORM_ORDER);
  EXPECT_EQ(g::spFftInitSpecReal_32f(&real, 5, 2, 0, nullptr, nullptr), SP_ERROR_NULL);
  EXPECT_EQ(g::spFftInitSpecComplex_32fc(nullptr, 5, 2, 0, mem.data(), nullptr), SP_ERROR_NULL);
  EXPECT_EQ(g::spFftInitSpecComplex_32fc(&cx, -1, 2, 0, mem.data(), nullptr), SP_ERROR_TRANSFORM_ORDER);
  EXPECT_EQ(g::spFftInitSpecComplex_32fc(&cx, 30, 2, 0, mem.data(), nullptr), SP_ERROR_TRANSFORM_ORDER);
  EXPECT_EQ(g::spFftInitSpecComplex_32fc(&cx, 5, 2, 0, nullptr, nullptr), SP_ERROR_NULL);
  EXPECT_TRUE(mem.Untouched());
  EXPECT_EQ(real, nullptr);
  EXPECT_EQ(cx, nullptr);

  // A refused flag leaves a header whose tag is 0.
  for (int flag : {0, 3}) {
    EXPECT_EQ(g::spFftInitSpecReal_32f(&real, 5, flag, 0, mem.data(), nullptr), SP_ERROR_TRANSFORM_FLAG);
    EXPECT_EQ(g::spFftInitSpecComplex_32fc(&cx, 5, flag, 0, mem.data(), nullptr), SP_ERROR_TRANSFORM_FLAG);
    const auto* h = reinterpret_cast<const spFftSpecHeader*>((reinterpret_cast<uintptr_t>(mem.data()) + 31) & ~uintptr_t{31});
    EXPECT_EQ(h->tag, 0u);
  }
  EXPECT_EQ(real, nullptr);
  EXPECT_EQ(cx, nullptr);
}

TEST(FftSetUp, MissingInitBufferAtLargeOrdersIsRefusedBeforeAnythingIsWritten) {
  for (int order : {11, 12, 14}) {
    GuardedBytes mem(200000);
    spRealFftSpec* real = nullptr;
    spComplexFftSpec* cx = nullptr;
    EXPECT_EQ(g::spFftInitSpecReal_32f(&real, order, 2, 0, mem.data(), nullptr), SP_ERROR_NULL);
    EXPECT_EQ(g::spFftInitSpecComplex_32fc(&cx, order, 2, 0, mem.data(), nullptr), SP_ERROR_NULL);
    EXPECT_TRUE(mem.Untouched()) << "order " << order;
    EXPECT_EQ(real, nullptr);
    EXPECT_EQ(cx, nullptr);
  }
  // Real order 11 needs it although its complex part is still in core.
  uint32 s, i, w;
  ASSERT_EQ(g::spFftGetSpecSizeReal_32f(11, 2, 0, &s, &i, &w), SP_OK);
  EXPECT_EQ(i, 2112u);
}

// The set-up of every order writes only inside the sizes its query reported (Build
// checks the guard bytes after the set-up) and places the record on a 32-byte boundary.
TEST(FftSetUp, EveryOrderStaysInsideTheReportedSizes) {
  for (bool isReal : {true, false}) {
    for (int order = 0; order <= 20; ++order) {
      auto rec = Build(isReal, order, SP_FFT_SCALE_FORWARD);
      ASSERT_TRUE(rec) << (isReal ? "real " : "complex ") << order;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(rec->header) % 32, 0u);
    }
  }
}

TEST(FftCreate, CreateAndFreeThroughTheHooks) {
  CountingHooks hooks;
  spRealFftSpec* rec = nullptr;
  ASSERT_EQ(g::spFftCreateSpecReal_32f(&rec, 10, SP_FFT_SCALE_INVERSE, 0), SP_OK);
  EXPECT_EQ(hooks.allocations(), 1);  // no init buffer below order 11
  EXPECT_EQ(rec->owned, 1u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(rec) % 32, 0u);
  EXPECT_EQ(g::spFftFreeSpecReal_32f(rec), SP_OK);
  EXPECT_EQ(hooks.frees(), 1);

  spComplexFftSpec* cx = nullptr;
  ASSERT_EQ(g::spFftCreateSpecComplex_32fc(&cx, 13, SP_FFT_SCALE_FORWARD, 0), SP_OK);
  EXPECT_EQ(hooks.allocations(), 3);  // record and init buffer
  EXPECT_EQ(hooks.frees(), 2);        // the init buffer is released at once
  EXPECT_EQ(g::spFftFreeSpecComplex_32fc(cx), SP_OK);
  EXPECT_EQ(hooks.frees(), 3);
}

TEST(FftCreate, RefusalsAllocateNothingAndFailuresLeakNothing) {
  CountingHooks hooks;
  spRealFftSpec* rec = nullptr;
  spComplexFftSpec* cx = nullptr;
  EXPECT_EQ(g::spFftCreateSpecReal_32f(nullptr, 10, 2, 0), SP_ERROR_NULL);
  EXPECT_EQ(g::spFftCreateSpecReal_32f(&rec, 31, 2, 0), SP_ERROR_TRANSFORM_ORDER);
  EXPECT_EQ(g::spFftCreateSpecReal_32f(&rec, 10, 0, 0), SP_ERROR_TRANSFORM_FLAG);
  EXPECT_EQ(g::spFftCreateSpecReal_32f(&rec, 29, 2, 0), SP_ERROR_TRANSFORM_ORDER);
  EXPECT_EQ(g::spFftCreateSpecComplex_32fc(nullptr, 10, 2, 0), SP_ERROR_NULL);
  EXPECT_EQ(g::spFftCreateSpecComplex_32fc(&cx, 31, 2, 0), SP_ERROR_TRANSFORM_ORDER);
  EXPECT_EQ(g::spFftCreateSpecComplex_32fc(&cx, 10, 3, 0), SP_ERROR_TRANSFORM_FLAG);
  EXPECT_EQ(hooks.allocations(), 0);

  hooks.FailAt(1);
  EXPECT_EQ(g::spFftCreateSpecReal_32f(&rec, 12, 2, 0), SP_ERROR_ALLOCATION);
  EXPECT_EQ(hooks.frees(), 0);
  hooks.FailAt(3);  // the init buffer of the second attempt
  EXPECT_EQ(g::spFftCreateSpecComplex_32fc(&cx, 12, 2, 0), SP_ERROR_ALLOCATION);
  EXPECT_EQ(hooks.frees(), 1);  // the record block went back
  EXPECT_EQ(rec, nullptr);
  EXPECT_EQ(cx, nullptr);
}

TEST(FftCreate, FreeRefusesNullAndForeignOrReleasedRecords) {
  EXPECT_EQ(g::spFftFreeSpecReal_32f(nullptr), SP_ERROR_NULL);
  EXPECT_EQ(g::spFftFreeSpecComplex_32fc(nullptr), SP_ERROR_NULL);
  auto real = Build(true, 6, 2);
  auto cx = Build(false, 6, 2);
  EXPECT_EQ(g::spFftFreeSpecComplex_32fc(reinterpret_cast<spComplexFftSpec*>(real->header)), SP_ERROR_WRONG_RECORD);
  EXPECT_EQ(g::spFftFreeSpecReal_32f(reinterpret_cast<spRealFftSpec*>(cx->header)), SP_ERROR_WRONG_RECORD);
  // Freeing a record in caller memory only clears its tag.
  CountingHooks hooks;
  EXPECT_EQ(g::spFftFreeSpecReal_32f(real->real()), SP_OK);
  EXPECT_EQ(g::spFftFreeSpecComplex_32fc(cx->complex()), SP_OK);
  EXPECT_EQ(hooks.frees(), 0);
  EXPECT_EQ(real->header->tag, 0u);
  EXPECT_EQ(g::spFftFreeSpecReal_32f(real->real()), SP_ERROR_WRONG_RECORD);
  EXPECT_EQ(g::spFftFreeSpecComplex_32fc(cx->complex()), SP_ERROR_WRONG_RECORD);
  float v[64] = {};
  EXPECT_EQ(g::spFftForwardRealInPlace_32f(v, real->real(), nullptr), SP_ERROR_WRONG_RECORD);
  EXPECT_EQ(g::spFftForwardComplex_32fc(v, v, cx->complex(), nullptr), SP_ERROR_WRONG_RECORD);
}

TEST(FftTransformStatus, ChecksComeInOrderAndWriteNothing) {
  auto real = Build(true, 6, 2);
  auto cx = Build(false, 6, 2);
  Guarded out(128);
  float in[128] = {};
  const std::vector<float> before(out.data(), out.data() + 128);
  auto* wrongReal = reinterpret_cast<spRealFftSpec*>(cx->header);
  auto* wrongCx = reinterpret_cast<spComplexFftSpec*>(real->header);
  using RealFn = spStatus (*)(const float*, float*, const spRealFftSpec*, uint8*);
  for (RealFn f : {RealFn{g::spFftForwardReal_32f}, RealFn{g::spFftInverseReal_32f}}) {
    EXPECT_EQ(f(nullptr, nullptr, nullptr, nullptr), SP_ERROR_NULL);
    EXPECT_EQ(f(nullptr, nullptr, wrongReal, nullptr), SP_ERROR_WRONG_RECORD);
    EXPECT_EQ(f(nullptr, out.data(), real->real(), nullptr), SP_ERROR_NULL);
    EXPECT_EQ(f(in, nullptr, real->real(), nullptr), SP_ERROR_NULL);
  }
  EXPECT_EQ(g::spFftForwardRealInPlace_32f(nullptr, real->real(), nullptr), SP_ERROR_NULL);
  EXPECT_EQ(g::spFftInverseRealInPlace_32f(out.data(), nullptr, nullptr), SP_ERROR_NULL);
  EXPECT_EQ(g::spFftForwardComplex_32fc(in, out.data(), nullptr, nullptr), SP_ERROR_NULL);
  EXPECT_EQ(g::spFftForwardComplex_32fc(nullptr, nullptr, wrongCx, nullptr), SP_ERROR_WRONG_RECORD);
  EXPECT_EQ(g::spFftForwardComplex_32fc(nullptr, out.data(), cx->complex(), nullptr), SP_ERROR_NULL);
  EXPECT_EQ(g::spFftForwardComplex_32fc(in, nullptr, cx->complex(), nullptr), SP_ERROR_NULL);
  EXPECT_EQ(0, std::memcmp(before.data(), out.data(), 128 * sizeof(float)));
  EXPECT_TRUE(out.GuardsIntact());
}

TEST(FftWorkBuffer, OrderTenRunsWithoutAnyAllocation) {
  auto rec = Build(true, 10, SP_FFT_SCALE_INVERSE);
  std::vector<float> v = RandomFloats(1024, 1);
  CountingHooks hooks;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(g::spFftForwardRealInPlace_32f(v.data(), rec->real(), nullptr), SP_OK);
    ASSERT_EQ(g::spFftInverseRealInPlace_32f(v.data(), rec->real(), nullptr), SP_OK);
  }
  auto cx = Build(false, 10, SP_FFT_NO_SCALE);
  std::vector<float> c = RandomFloats(2048, 2);
  ASSERT_EQ(g::spFftForwardComplex_32fc(c.data(), c.data(), cx->complex(), nullptr), SP_OK);
  EXPECT_EQ(hooks.allocations(), 0);
  EXPECT_EQ(hooks.frees(), 0);
}

TEST(FftWorkBuffer, LargeOrdersUseTheCallersBufferOrAllocateOnePerCall) {
  auto rec = Build(true, 14, SP_FFT_SCALE_INVERSE);
  ASSERT_EQ(rec->workBytes, 1056u);
  std::vector<float> v = RandomFloats(1 << 14, 3);
  CountingHooks hooks;
  ASSERT_EQ(g::spFftForwardRealInPlace_32f(v.data(), rec->real(), rec->workBuffer()), SP_OK);
  ASSERT_EQ(g::spFftInverseRealInPlace_32f(v.data(), rec->real(), rec->workBuffer()), SP_OK);
  EXPECT_EQ(hooks.allocations(), 0);
  EXPECT_TRUE(rec->GuardsIntact());
  ASSERT_EQ(g::spFftForwardRealInPlace_32f(v.data(), rec->real(), nullptr), SP_OK);
  EXPECT_EQ(hooks.allocations(), 1);
  EXPECT_EQ(hooks.frees(), 1);

  // A failed allocation is reported before anything is written.
  hooks.FailAt(2);
  const std::vector<float> before = v;
  EXPECT_EQ(g::spFftInverseRealInPlace_32f(v.data(), rec->real(), nullptr), SP_ERROR_ALLOCATION);
  EXPECT_EQ(v, before);
  auto cx = Build(false, 13, SP_FFT_NO_SCALE);
  std::vector<float> c(2 << 13);
  hooks.FailAt(3);
  EXPECT_EQ(g::spFftForwardComplex_32fc(c.data(), c.data(), cx->complex(), nullptr), SP_ERROR_ALLOCATION);
  EXPECT_EQ(hooks.frees(), 1);
}

}  // namespace
