// Kernel pool: tagged allocations, each block tracked by tag so leaks and misuse show.
#pragma once

#include <new>
#include <source_location>

#include "kernel/ntdef.h"

enum POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = NonPagedPool,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
};

// Four-character pool tag as the kernel stores it: the first character in the low byte.
constexpr ULONG MakePoolTag(char a, char b, char c, char d) {
  return static_cast<ULONG>(static_cast<UCHAR>(a)) | (static_cast<ULONG>(static_cast<UCHAR>(b)) << 8) |
         (static_cast<ULONG>(static_cast<UCHAR>(c)) << 16) | (static_cast<ULONG>(static_cast<UCHAR>(d)) << 24);
}

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag,
                            const std::source_location& caller = std::source_location::current());
PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes,
                     const std::source_location& caller = std::source_location::current());
void ExFreePoolWithTag(PVOID block, ULONG tag,
                       const std::source_location& caller = std::source_location::current());
void ExFreePool(PVOID block, const std::source_location& caller = std::source_location::current());

// Placement forms used by the driver's factories: zeroed pool memory under a tag.
void* operator new(std::size_t bytes, POOL_TYPE type, ULONG tag) noexcept;
void* operator new[](std::size_t bytes, POOL_TYPE type, ULONG tag) noexcept;
void operator delete(void* block, POOL_TYPE type, ULONG tag) noexcept;
void operator delete[](void* block, POOL_TYPE type, ULONG tag) noexcept;
