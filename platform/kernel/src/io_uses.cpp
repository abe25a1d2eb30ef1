// Memory still in use by I/O: the pool asks here, before it frees a block, whether a live
// IRP still uses memory inside it, and the drivers below note what else they use.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "io_internal.h"
#include "io_state.h"
#include "kernel/verifier.h"
#include "text.h"

using namespace platform::io::detail;

namespace {

using platform::verifier::Check;
using platform::verifier::Report;

std::string IrpText(PIRP irp) {
  char text[48];
  std::snprintf(text, sizeof text, "IRP %p", static_cast<void*>(irp));
  return text;
}

}  // namespace

namespace {

bool Inside(const void* block, size_t bytes, const void* address) {
  const auto b = reinterpret_cast<std::uintptr_t>(block);
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  return address && a >= b && a - b < bytes;
}

// "argument 1 (the URB) of stack location 2, sent at file:line (function)".
void AddIoUse(std::vector<std::string>& found, PIRP irp, const IrpRecord& r, const void* block, size_t bytes,
              const void* address, const std::string& what) {
  const auto b = reinterpret_cast<std::uintptr_t>(block);
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  if (!Inside(block, bytes, address)) return;
  found.push_back(IrpText(irp) + " still uses " + what + " at offset " + std::to_string(a - b) +
                  " of the block (sent down at " +
                  platform::text::CallerText(r.sentBy.file_name(), r.sentBy.line(), r.sentBy.function_name()) +
                  (r.state == IrpState::Completing ? ", completion running)" : ", not yet completed)"));
}

}  // namespace

bool platform::io::detail::CheckFreeAgainstIo(const void* block, size_t bytes, const char* api,
                                              const std::source_location& caller) {
  State& s = S();
  std::vector<std::string> found;
  {
    std::lock_guard lock(s.mutex);
    for (const auto& [irp, r] : s.irps) {
      if (r.state != IrpState::Dispatched && r.state != IrpState::Completing) continue;
      AddIoUse(found, irp, r, block, bytes, irp, "the IRP itself");
      AddIoUse(found, irp, r, block, bytes, irp->MdlAddress, "its MDL");
      AddIoUse(found, irp, r, block, bytes, irp->AssociatedIrp.SystemBuffer, "its system buffer");
      for (CCHAR location = std::max<CCHAR>(irp->CurrentLocation, 1); location <= irp->StackCount; ++location) {
        const IO_STACK_LOCATION& stack = reinterpret_cast<const IO_STACK_LOCATION*>(irp + 1)[location - 1];
        // Texts only for a finding: every free of pool comes through here.
        const auto where = [location] { return " of stack location " + std::to_string(location); };
        if (stack.CompletionRoutine && Inside(block, bytes, stack.Context))
          AddIoUse(found, irp, r, block, bytes, stack.Context,
                   "the context of completion routine " +
                       platform::text::RoutineText(reinterpret_cast<const void*>(stack.CompletionRoutine)) + where());
        if (stack.MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
            Inside(block, bytes, stack.Parameters.Others.Argument1))
          AddIoUse(found, irp, r, block, bytes, stack.Parameters.Others.Argument1, "argument 1 (the URB)" + where());
      }
      for (const auto& use : r.uses) {
        // A noted range counts when it overlaps the block at all.
        const auto b = reinterpret_cast<std::uintptr_t>(block);
        const auto a = reinterpret_cast<std::uintptr_t>(use.address);
        if (use.bytes && a < b + bytes && b < a + use.bytes)
          AddIoUse(found, irp, r, block, bytes, a < b ? block : use.address, use.what);
      }
    }
  }
  for (auto& f : found) {
    char text[64];
    std::snprintf(text, sizeof text, "block %p (%zu bytes) freed while ", block, bytes);
    Report(Check::MemoryInUseByIo, api, text + f, caller);
  }
  return !found.empty();
}

void platform::io::NoteIrpUses(PIRP irp, const void* address, size_t bytes, const char* what) {
  if (!irp || !address || !bytes) return;
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.irps.find(irp);
  if (it == s.irps.end() || it->second.state != IrpState::Dispatched) return;
  it->second.uses.push_back(IrpRecord::Use{address, bytes, what});
}

