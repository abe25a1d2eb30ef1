// Allocation hooks and aligned blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "sp/core_bodies.h"
#include "sp/sp.h"

namespace {

// Hooks that hand out raw blocks at chosen offsets and record every call.
struct Recorder {
  static inline std::vector<uint32> requests;
  static inline std::vector<void*> freed;
  static inline std::vector<uint8>* arena = nullptr;
  static inline size_t nextOffset = 0;
  static inline bool fail = false;

  static void* Allocate(uint32 bytes) {
    requests.push_back(bytes);
    if (fail) return nullptr;
    return arena->data() + nextOffset;
  }
  static void Free(void* p) { freed.push_back(p); }
};

class HookedAllocator : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = spAllocator;
    Recorder::requests.clear();
    Recorder::freed.clear();
    Recorder::fail = false;
    arena_.assign(4096, 0);
    Recorder::arena = &arena_;
    spAllocator.allocate = &Recorder::Allocate;
    spAllocator.free = &Recorder::Free;
  }
  void TearDown() override { spAllocator = saved_; }

  spAllocatorHooks saved_{};
  alignas(64) std::vector<uint8> arena_;
};

TEST_F(HookedAllocator, CountsBelowOneNeverReachTheHook) {
  EXPECT_EQ(spAllocateAligned(0), nullptr);
  EXPECT_EQ(spAllocateAligned(-5), nullptr);
  EXPECT_EQ(spAllocate_32f(0), nullptr);
  EXPECT_EQ(spAllocate_32f(-1), nullptr);
  EXPECT_TRUE(Recorder::requests.empty());
  spFree(nullptr);
  EXPECT_TRUE(Recorder::freed.empty());
}

TEST_F(HookedAllocator, RequestsFortyBytesMore) {
  spFree(spAllocateAligned(1));
  spFree(spAllocate_32f(3));
  EXPECT_EQ(Recorder::requests, (std::vector<uint32>{41, 52}));
}

TEST_F(HookedAllocator, LayoutForEveryRawAddress) {
  const auto base = reinterpret_cast<std::uintptr_t>(arena_.data());
  const size_t first = (64 - (base & 63)) & 63;
  for (size_t r = 0; r < 64; ++r) {
    Recorder::nextOffset = first + r;
    uint8* raw = arena_.data() + first + r;
    for (bool floats : {false, true}) {
      void* a = floats ? static_cast<void*>(spAllocate_32f(10)) : spAllocateAligned(40);
      ASSERT_NE(a, nullptr);
      const auto A = reinterpret_cast<std::uintptr_t>(a);
      const auto R = reinterpret_cast<std::uintptr_t>(raw);
      EXPECT_EQ(A % 32, 0u);
      EXPECT_GE(A - R, 8u);
      EXPECT_LE(A - R, 39u);
      EXPECT_LE(A + 40, R + Recorder::requests.back());
      void* stored;
      std::memcpy(&stored, static_cast<uint8*>(a) - 8, sizeof stored);
      EXPECT_EQ(stored, raw);
      spFree(a);
      ASSERT_FALSE(Recorder::freed.empty());
      EXPECT_EQ(Recorder::freed.back(), raw);
    }
  }
}

TEST_F(HookedAllocator, FailuresGiveNull) {
  Recorder::fail = true;
  EXPECT_EQ(spAllocateAligned(100), nullptr);
  EXPECT_EQ(spAllocate_32f(100), nullptr);
  EXPECT_EQ(Recorder::requests.size(), 2u);
}

TEST_F(HookedAllocator, RequestsBeyondThirtyTwoBitsFailWithoutCallingTheHook) {
  Recorder::fail = true;  // the hook answers null; only the requests matter here
  EXPECT_EQ(spAllocate_32f(1073741813), nullptr);  // 4 len + 40 = 2^32 - 4: still fits
  EXPECT_EQ(Recorder::requests, (std::vector<uint32>{0xFFFFFFFCu}));
  EXPECT_EQ(spAllocate_32f(1073741814), nullptr);  // 2^32: refused before the hook
  EXPECT_EQ(spAllocate_32f(0x7FFFFFFF), nullptr);
  EXPECT_EQ(Recorder::requests.size(), 1u);
  EXPECT_EQ(spAllocateAligned(0x7FFFFFFF), nullptr);  // 2^31 + 39 fits 32 bits
  EXPECT_EQ(Recorder::requests.back(), 0x80000027u);
}

TEST(DefaultAllocator, EntriesReachOneBodyFromEverySlot) {
  const int32 saved = spDispatchIndex;
  for (int i = 0; i < 4; ++i) {
    spDispatchIndex = i;
    float* p = spAllocate_32f(1000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 32, 0u);
    for (int k = 0; k < 1000; ++k) p[k] = static_cast<float>(k);  // usable in full
    spFree(p);
  }
  spDispatchIndex = saved;
}

int g_backendAllocs = 0;
uint32 g_lastTag = 0;
void* CountingAllocate(uint64 bytes, uint32 tag) {
  ++g_backendAllocs;
  g_lastTag = tag;
  return std::malloc(bytes);
}
void CountingFree(void* p) { std::free(p); }

TEST(DefaultAllocator, PoolBackendIsReplaceableAndTagged) {
  const spPoolBackend mine{&CountingAllocate, &CountingFree};
  const spPoolBackend previous = spSetPoolBackend(&mine);
  void* block = spAllocateAligned(64);
  ASSERT_NE(block, nullptr);
  sp::generic::spFree(block);
  void* array = spPoolAllocateArray(3, 5);
  ASSERT_NE(array, nullptr);
  spPoolFree(array);
  EXPECT_EQ(g_backendAllocs, 2);
  EXPECT_EQ(g_lastTag, 0x424C5053u);
  EXPECT_EQ(spPoolAllocateArray(0xFFFFFFFFu, 0xFFFFFFFFFFull), nullptr);  // product overflows
  spSetPoolBackend(previous.allocate == &CountingAllocate ? nullptr : &previous);
  char tag[5] = {};
  std::memcpy(tag, &SP_POOL_TAG, 4);
  EXPECT_STREQ(tag, "SPLB");
  EXPECT_EQ(spDefaultAllocatorHooks.unused(1, 2), nullptr);
}

}  // namespace
