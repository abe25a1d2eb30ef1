#include "kernel/mm.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "kernel/ex.h"
#include "kernel/io.h"
#include "kernel/ps.h"
#include "kernel/pool.h"
#include "kernel/verifier.h"

namespace {

using platform::verifier::Check;
using platform::verifier::Report;

constexpr ULONG kMdlTag = MakePoolTag('M', 'd', 'l', ' ');
// Largest buffer one MDL may describe.
constexpr ULONG kMaxMdlBytes = 0xFFFFFFFFu - PAGE_SIZE + 1;

struct State {
  std::mutex mutex;
  std::vector<platform::mm::UserMapping> userMappings;
  ULONG failUserMappings = 0;
};

State& S() {
  static State* state = new State;
  return *state;
}

}  // namespace

void MmInitializeMdl(PMDL mdl, PVOID baseVa, SIZE_T length) {
  mdl->Next = nullptr;
  mdl->Size = static_cast<SHORT>(MmSizeOfMdl(baseVa, length));
  mdl->MdlFlags = 0;
  mdl->Process = nullptr;
  mdl->MappedSystemVa = nullptr;
  mdl->StartVa = PAGE_ALIGN(baseVa);
  mdl->ByteCount = static_cast<ULONG>(length);
  mdl->ByteOffset = BYTE_OFFSET(baseVa);
}

PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN, IRP* irp,
                   const std::source_location& caller) {
  if (length == 0 || length > kMaxMdlBytes) return nullptr;
  auto mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kMdlTag, caller));
  if (!mdl) return nullptr;
  MmInitializeMdl(mdl, virtualAddress, length);
  if (irp) {
    if (!secondaryBuffer) {
      irp->MdlAddress = mdl;
    } else {
      PMDL last = irp->MdlAddress;
      if (!last) {
        irp->MdlAddress = mdl;
      } else {
        while (last->Next) last = last->Next;
        last->Next = mdl;
      }
    }
  }
  return mdl;
}

void IoFreeMdl(PMDL mdl, const std::source_location& caller) {
  if (!mdl) return;
  {
    State& s = S();
    std::unique_lock lock(s.mutex);
    for (const auto& m : s.userMappings) {
      if (m.mdl == mdl) {
        lock.unlock();
        Report(Check::InvalidArgument, "IoFreeMdl", "MDL freed while still mapped into user space", caller);
        break;
      }
    }
  }
  ExFreePoolWithTag(mdl, kMdlTag, caller);
}

void MmBuildMdlForNonPagedPool(PMDL mdl) {
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
}

void MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE, LOCK_OPERATION) { mdl->MdlFlags |= MDL_PAGES_LOCKED; }

void MmUnlockPages(PMDL mdl) { mdl->MdlFlags &= static_cast<SHORT>(~MDL_PAGES_LOCKED); }

PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE accessMode, MEMORY_CACHING_TYPE, PVOID, ULONG, ULONG,
                                   const std::source_location& caller) {
  // A mapping into a process's address space is made below DISPATCH_LEVEL.
  platform::verifier::RequireIrqlAtMost(accessMode == UserMode ? APC_LEVEL : DISPATCH_LEVEL,
                                        "MmMapLockedPagesSpecifyCache", caller);
  if (!mdl || !(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
    Report(Check::InvalidArgument, "MmMapLockedPagesSpecifyCache",
           mdl ? "MDL neither locked nor built for non-paged pool" : "null MDL", caller);
    return nullptr;
  }
  PVOID address = MmGetMdlVirtualAddress(mdl);
  if (accessMode == KernelMode) {
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = address;
    return address;
  }
  // The process sees whole pages: any other allocation on the first or last page of a
  // pool block is exposed with it.
  char* pages = static_cast<char*>(PAGE_ALIGN(address));
  const ULONG pageBytes = ADDRESS_AND_SIZE_TO_SPAN_PAGES(address, mdl->ByteCount) * PAGE_SIZE;
  platform::pool::BlockInfo block{};
  if (platform::pool::FindBlock(address, &block)) {
    const char* start = static_cast<const char*>(block.address);
    if (start != pages || start + block.bytes < pages + pageBytes) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "pool block %p of %zu bytes, tag '%s', shares the %u bytes of pages mapped from %p with other "
                    "allocations; allocated at ",
                    block.address, static_cast<size_t>(block.bytes), platform::pool::TagName(block.tag).c_str(),
                    pageBytes, static_cast<void*>(pages));
      Report(Check::UserMappingSharesPage, "MmMapLockedPagesSpecifyCache", text + block.caller, caller);
    }
  }
  State& s = S();
  {
    std::lock_guard lock(s.mutex);
    if (!s.failUserMappings) {
      s.userMappings.push_back(
          platform::mm::UserMapping{mdl, address, mdl->ByteCount, pages, pageBytes, PsGetCurrentProcess()});
      return address;
    }
    --s.failUserMappings;
  }
  // A mapping into user space that fails raises an exception; it never returns null.
  ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
}

void MmUnmapLockedPages(PVOID baseAddress, PMDL mdl, const std::source_location& caller) {
  if (!mdl) return;
  State& s = S();
  {
    std::unique_lock lock(s.mutex);
    for (auto it = s.userMappings.begin(); it != s.userMappings.end(); ++it) {
      if (it->mdl == mdl && it->address == baseAddress) {
        // The mapping lies in its process's address space: unmapped from another, the
        // address names something else there.
        PEPROCESS mappedIn = it->process;
        PEPROCESS current = PsGetCurrentProcess();
        if (mappedIn != current) {
          lock.unlock();
          char text[160];
          std::snprintf(text, sizeof text, "user mapping %p made in process %lu ('%s') unmapped from process %lu ('%s')",
                        baseAddress, static_cast<unsigned long>(mappedIn->UniqueProcessId), mappedIn->ImageName,
                        static_cast<unsigned long>(current->UniqueProcessId), current->ImageName);
          Report(Check::InvalidArgument, "MmUnmapLockedPages", text, caller);
          return;
        }
        s.userMappings.erase(it);
        return;
      }
    }
  }
  if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) && mdl->MappedSystemVa == baseAddress) {
    mdl->MdlFlags &= static_cast<SHORT>(~MDL_MAPPED_TO_SYSTEM_VA);
    return;
  }
  Report(Check::InvalidArgument, "MmUnmapLockedPages", "address is not a mapping of this MDL", caller);
}

PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority) {
  if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return mdl->MappedSystemVa;
  return MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, priority);
}

namespace platform::mm {

std::vector<UserMapping> UserMappings() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  return s.userMappings;
}

void FailNextUserMappings(ULONG count) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  s.failUserMappings = count;
}

}  // namespace platform::mm
