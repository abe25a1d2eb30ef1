// Records built in caller memory through the size query and the set-up, with guarded
// record, init and work memory; and a counting allocator hook.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "fft_test_support.h"
#include "sp/core.h"
#include "sp/fft_bodies.h"

namespace fft_test {

struct Record {
  uint32 specBytes = 0, initBytes = 0, workBytes = 0;
  std::unique_ptr<GuardedBytes> spec, init, work;
  spFftSpecHeader* header = nullptr;

  spRealFftSpec* real() const { return static_cast<spRealFftSpec*>(header); }
  spComplexFftSpec* complex() const { return static_cast<spComplexFftSpec*>(header); }
  uint8* workBuffer() const { return work ? work->data() : nullptr; }
  bool GuardsIntact() const {
    return spec->TailIntact() && (!init || init->TailIntact()) && (!work || work->TailIntact());
  }
};

// Builds a record of the given kind in guarded caller memory (misaligned on purpose).
inline std::unique_ptr<Record> Build(bool isReal, int order, int flag) {
  auto r = std::make_unique<Record>();
  const spStatus q = isReal ? sp::generic::spFftGetSpecSizeReal_32f(order, flag, 0, &r->specBytes,
                                                                    &r->initBytes, &r->workBytes)
                            : sp::generic::spFftGetSpecSizeComplex_32fc(
                                  order, flag, 0, &r->specBytes, &r->initBytes, &r->workBytes);
  EXPECT_EQ(q, SP_OK);
  if (q != SP_OK) return nullptr;
  r->spec = std::make_unique<GuardedBytes>(r->specBytes, 1);
  if (r->initBytes > 0) r->init = std::make_unique<GuardedBytes>(r->initBytes, 5);
  if (r->workBytes > 0) r->work = std::make_unique<GuardedBytes>(r->workBytes, 9);
  uint8* init = r->init ? r->init->data() : nullptr;
  spStatus st;
  if (isReal) {
    spRealFftSpec* rec = nullptr;
    st = sp::generic::spFftInitSpecReal_32f(&rec, order, flag, 0, r->spec->data(), init);
    r->header = rec;
  } else {
    spComplexFftSpec* rec = nullptr;
    st = sp::generic::spFftInitSpecComplex_32fc(&rec, order, flag, 0, r->spec->data(), init);
    r->header = rec;
  }
  EXPECT_EQ(st, SP_OK);
  if (st != SP_OK) return nullptr;
  EXPECT_TRUE(r->GuardsIntact()) << "set-up wrote past its memory, order " << order;
  return r;
}

// Counts the calls of the allocation hooks; allocation number failAt (1-based) fails.
class CountingHooks {
 public:
  CountingHooks() : saved_(spAllocator) {
    previous_ = saved_;
    allocations_ = frees_ = 0;
    failAt_ = -1;
    spAllocator.allocate = &Allocate;
    spAllocator.free = &Free;
  }
  ~CountingHooks() { spAllocator = saved_; }
  CountingHooks(const CountingHooks&) = delete;
  CountingHooks& operator=(const CountingHooks&) = delete;

  void FailAt(int n) { failAt_ = n; }
  int allocations() const { return allocations_; }
  int frees() const { return frees_; }

 private:
  static void* Allocate(uint32 bytes) {
    ++allocations_;
    if (allocations_ == failAt_) return nullptr;
    return previous_.allocate(bytes);
  }
  static void Free(void* block) {
    ++frees_;
    previous_.free(block);
  }
  spAllocatorHooks saved_;
  static inline spAllocatorHooks previous_{};
  static inline int allocations_ = 0, frees_ = 0, failAt_ = -1;
};

inline double ScaleOf(int flag, int order, bool forward) {
  const double n = std::ldexp(1.0, order);
  switch (flag) {
    case SP_FFT_SCALE_FORWARD: return forward ? 1.0 / n : 1.0;
    case SP_FFT_SCALE_INVERSE: return forward ? 1.0 : 1.0 / n;
    case SP_FFT_SCALE_SQRT: return 1.0 / std::sqrt(n);
    default: return 1.0;
  }
}

constexpr int kFlags[] = {SP_FFT_SCALE_FORWARD, SP_FFT_SCALE_INVERSE, SP_FFT_SCALE_SQRT,
                          SP_FFT_NO_SCALE};

}  // namespace fft_test
