#include <cstdlib>
#include "kernel/pool.h"
PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T bytes, ULONG, const std::source_location&) { return std::calloc(1, bytes ? bytes : 1); }
PVOID ExAllocatePool(POOL_TYPE, SIZE_T bytes, const std::source_location&) { return std::calloc(1, bytes ? bytes : 1); }
void ExFreePoolWithTag(PVOID block, ULONG, const std::source_location&) { std::free(block); }
void ExFreePool(PVOID block, const std::source_location&) { std::free(block); }
