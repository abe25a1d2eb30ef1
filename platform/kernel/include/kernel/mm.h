// Memory descriptor lists and mappings. There is one address space: a buffer "mapped"
// into the system or into the simulated user process keeps its address, and each user
// mapping is recorded so tests can see it and leaks show.
#pragma once

#include <cstdint>
#include <source_location>
#include <vector>

#include "kernel/ntdef.h"
#include "kernel/ps.h"

struct IRP;

constexpr ULONG PAGE_SIZE = 4096;
constexpr ULONG PAGE_SHIFT = 12;

struct MDL {
  MDL* Next;
  SHORT Size;
  SHORT MdlFlags;
  PVOID Process;
  PVOID MappedSystemVa;
  PVOID StartVa;  // page-aligned start of the buffer
  ULONG ByteCount;
  ULONG ByteOffset;  // offset of the buffer in its first page
};
using PMDL = MDL*;

constexpr SHORT MDL_MAPPED_TO_SYSTEM_VA = 0x0001;
constexpr SHORT MDL_PAGES_LOCKED = 0x0002;
constexpr SHORT MDL_SOURCE_IS_NONPAGED_POOL = 0x0004;
constexpr SHORT MDL_ALLOCATED_FIXED_SIZE = 0x0008;
constexpr SHORT MDL_PARTIAL = 0x0010;

enum MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 };
enum MM_PAGE_PRIORITY : ULONG { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 };
constexpr ULONG MdlMappingNoExecute = 0x40000000;
enum LOCK_OPERATION { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 };

inline PVOID PAGE_ALIGN(const void* va) {
  return reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(va) & ~static_cast<ULONG_PTR>(PAGE_SIZE - 1));
}
inline ULONG BYTE_OFFSET(const void* va) {
  return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(va) & (PAGE_SIZE - 1));
}
inline ULONG ADDRESS_AND_SIZE_TO_SPAN_PAGES(const void* va, SIZE_T size) {
  return static_cast<ULONG>((BYTE_OFFSET(va) + size + PAGE_SIZE - 1) >> PAGE_SHIFT);
}

// Allocates an MDL describing the buffer (non-paged pool, tag "Mdl "); with an IRP it
// becomes the IRP's MdlAddress (or joins its chain when secondaryBuffer is set).
PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN chargeQuota, IRP* irp,
                   const std::source_location& caller = std::source_location::current());
// Freeing an MDL that is still mapped into user space is a verifier report.
void IoFreeMdl(PMDL mdl, const std::source_location& caller = std::source_location::current());
void MmBuildMdlForNonPagedPool(PMDL mdl);
void MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation);
void MmUnlockPages(PMDL mdl);
// KernelMode gives the system address; UserMode records a mapping into the simulated
// user process at the same address. The MDL must be locked or describe non-paged pool.
// A user-mode mapping that fails (platform::mm::FailNextUserMappings) raises
// STATUS_INSUFFICIENT_RESOURCES (ExRaiseStatus), as the kernel does; kernel-mode ones
// return null.
PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE accessMode, MEMORY_CACHING_TYPE cacheType,
                                   PVOID requestedAddress, ULONG bugCheckOnFailure, ULONG priority,
                                   const std::source_location& caller = std::source_location::current());
void MmUnmapLockedPages(PVOID baseAddress, PMDL mdl,
                        const std::source_location& caller = std::source_location::current());
PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority);

inline ULONG MmGetMdlByteCount(const MDL* mdl) { return mdl->ByteCount; }
inline ULONG MmGetMdlByteOffset(const MDL* mdl) { return mdl->ByteOffset; }
inline PVOID MmGetMdlVirtualAddress(const MDL* mdl) { return static_cast<char*>(mdl->StartVa) + mdl->ByteOffset; }
inline SIZE_T MmSizeOfMdl(PVOID base, SIZE_T length) {
  return sizeof(MDL) + ADDRESS_AND_SIZE_TO_SPAN_PAGES(base, length) * sizeof(ULONG_PTR);
}
void MmInitializeMdl(PMDL mdl, PVOID baseVa, SIZE_T length);

namespace platform::mm {

// A mapping covers whole pages, as the process sees them: `pages` to `pages` +
// `pageBytes` holds the `bytes` at `address` and whatever else lies on those pages.
// Mapping pool that shares a page with other allocations is reported
// (UserMappingSharesPage, naming the block and where it was allocated).
struct UserMapping {
  PMDL mdl;
  PVOID address;
  ULONG bytes;
  PVOID pages;
  ULONG pageBytes;
  PEPROCESS process;  // the process it was made in; only there can it be unmapped
};
// Mappings into the simulated user process that are still in place.
std::vector<UserMapping> UserMappings();
// Makes the next `count` user-mode mappings fail.
void FailNextUserMappings(ULONG count);

}  // namespace platform::mm
