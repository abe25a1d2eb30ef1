// Allocation hooks and 32-byte aligned blocks.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sp/core.h"
#include "sp/core_bodies.h"

namespace {

void* HeapAllocate(uint64 bytes, uint32 /*tag*/) {
  return std::malloc(bytes == 0 ? 1 : static_cast<std::size_t>(bytes));
}
void HeapFree(void* block) { std::free(block); }

std::atomic<void* (*)(uint64, uint32)> g_poolAllocate{&HeapAllocate};
std::atomic<void (*)(void*)> g_poolFree{&HeapFree};

void* NullHook(uint64, uint64) { return nullptr; }

constexpr uint64 kAlignedOverhead = 40;

// Lays out an aligned block over bytes + 40 raw bytes from hook slot 0.
void* AllocateAligned(uint64 bytes) {
  const uint64 total = bytes + kAlignedOverhead;
  // Hook slot 0 takes a 32-bit count: a larger request must fail, not wrap.
  if (total > 0xFFFFFFFFull) return nullptr;
  void* raw = spAllocator.allocate(static_cast<uint32>(total));
  if (raw == nullptr) return nullptr;
  const std::uintptr_t r = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t a = (r + 39) & ~static_cast<std::uintptr_t>(31);
  void* user = static_cast<char*>(raw) + (a - r);
  std::memcpy(static_cast<char*>(user) - 8, &raw, sizeof raw);
  return user;
}

}  // namespace

void* spPoolAllocate(uint32 bytes) { return g_poolAllocate.load()(bytes, SP_POOL_TAG); }

void* spPoolAllocateArray(uint32 count, uint64 size) {
  const unsigned __int128 total = static_cast<unsigned __int128>(count) * size;
  if (total > 0xFFFFFFFFFFFFFFFFull) return nullptr;
  return g_poolAllocate.load()(static_cast<uint64>(total), SP_POOL_TAG);
}

void spPoolFree(void* block) {
  if (block != nullptr) g_poolFree.load()(block);
}

spPoolBackend spSetPoolBackend(const spPoolBackend* backend) {
  spPoolBackend previous{g_poolAllocate.load(), g_poolFree.load()};
  if (backend == nullptr || backend->allocate == nullptr || backend->free == nullptr) {
    g_poolAllocate.store(&HeapAllocate);
    g_poolFree.store(&HeapFree);
  } else {
    g_poolAllocate.store(backend->allocate);
    g_poolFree.store(backend->free);
  }
  return previous;
}

const spAllocatorHooks spDefaultAllocatorHooks = {&spPoolAllocate, &spPoolAllocateArray, &NullHook,
                                                  &spPoolFree};
spAllocatorHooks spAllocator = spDefaultAllocatorHooks;

void* spAllocateAligned(int32 n) {
  if (n < 1) return nullptr;
  return AllocateAligned(static_cast<uint64>(n));
}

namespace sp::generic {

float* spAllocate_32f(int len) {
  if (len < 1) return nullptr;
  return static_cast<float*>(AllocateAligned(static_cast<uint64>(len) * 4));
}

void spFree(void* p) {
  if (p == nullptr) return;
  void* raw;
  std::memcpy(&raw, static_cast<char*>(p) - 8, sizeof raw);
  spAllocator.free(raw);
}

}  // namespace sp::generic
