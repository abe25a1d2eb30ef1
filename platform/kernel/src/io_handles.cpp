// Handles on file objects and the removal of a device stack, as the I/O and Plug and Play
// managers order them: IRP_MJ_CLEANUP when the last handle to a file object closes,
// IRP_MJ_CLOSE when its last reference goes, and only then the file object's reference
// on its device object. A removal that is not a surprise is vetoed while file objects
// are open on the stack; after a surprise removal, IRP_MN_REMOVE_DEVICE waits for the
// last of them to close.
#include <mutex>

#include "io_internal.h"
#include "io_state.h"
#include "kernel/io.h"
#include "kernel/verifier.h"

using namespace platform::io::detail;
using platform::verifier::Check;
using platform::verifier::Report;

namespace {

PDEVICE_OBJECT BottomLocked(PDEVICE_OBJECT device) {
  while (device && device->DeviceObjectExtension && device->DeviceObjectExtension->AttachedTo)
    device = device->DeviceObjectExtension->AttachedTo;
  return device;
}

// A cleanup or close of the file object. A device object already deleted gets none: only
// a removal that bypassed Plug and Play (sent while file objects were open) leaves one.
IO_STATUS_BLOCK SendFileRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major) {
  {
    State& s = S();
    std::lock_guard lock(s.mutex);
    auto it = s.devices.find(device);
    if (it == s.devices.end() || it->second.deleted) return IO_STATUS_BLOCK{};
  }
  return platform::io::SendSynchronousRequest(device, file,
                                              [major](PIRP, PIO_STACK_LOCATION stack) { stack->MajorFunction = major; });
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor) {
  return platform::io::SendSynchronousRequest(pdo, nullptr, [minor](PIRP, PIO_STACK_LOCATION stack) {
           stack->MajorFunction = IRP_MJ_PNP;
           stack->MinorFunction = minor;
         }).Status;
}

// The removal of a stack whose file objects are all closed.
NTSTATUS SendRemove(PDEVICE_OBJECT pdo) {
  {
    State& s = S();
    std::lock_guard lock(s.mutex);
    StackRecord& stack = s.stacks[pdo];
    stack.removeWanted = false;
    stack.removed = true;
  }
  return SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
}

}  // namespace

namespace platform::io::detail {

void FileObjectGone(PFILE_OBJECT file) {
  PDEVICE_OBJECT device = file->DeviceObject;
  FileRecord record;
  {
    State& s = S();
    std::lock_guard lock(s.mutex);
    auto it = s.files.find(file);
    if (it != s.files.end()) {
      record = it->second;
      s.files.erase(it);
    }
  }
  if (record.opened) {
    const NTSTATUS status = SendFileRequest(device, file, IRP_MJ_CLOSE).Status;
    if (record.closingHandle) {
      State& s = S();
      std::lock_guard lock(s.mutex);
      s.closeStatus[file] = status;
    }
  }
  bool remove = false;
  if (record.bottom) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    StackRecord& stack = s.stacks[record.bottom];
    remove = --stack.openFiles == 0 && stack.removeWanted;
  }
  if (device) ObDereferenceObject(device);
  if (remove) SendRemove(record.bottom);
}

}  // namespace platform::io::detail

namespace platform::io {

NTSTATUS OpenHandle(PDEVICE_OBJECT device, const char16_t* fileName, PFILE_OBJECT related,
                    const std::function<void(PIRP irp, PIO_STACK_LOCATION stack)>& prepare, PFILE_OBJECT* file,
                    KPROCESSOR_MODE requestorMode) {
  if (!file || !device) return STATUS_INVALID_PARAMETER;
  *file = nullptr;
  PDEVICE_OBJECT bottom = nullptr;
  {
    State& s = S();
    std::lock_guard lock(s.mutex);
    bottom = BottomLocked(device);
    auto it = s.stacks.find(bottom);
    if (it != s.stacks.end() && (it->second.surpriseRemoved || it->second.removed)) return STATUS_DELETE_PENDING;
    // Counted from the create on, so that a removal cannot pass it by.
    ++s.stacks[bottom].openFiles;
  }
  PFILE_OBJECT opened = CreateFileObject(device, fileName);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (opened) {
    opened->RelatedFileObject = related;
    {
      State& s = S();
      std::lock_guard lock(s.mutex);
      s.files[opened] = FileRecord{0, false, bottom};
    }
    status = SendSynchronousRequest(
                 device, opened,
                 [&](PIRP irp, PIO_STACK_LOCATION stack) {
                   if (prepare) prepare(irp, stack);
                   stack->MajorFunction = IRP_MJ_CREATE;
                 },
                 requestorMode)
                 .Status;
    if (NT_SUCCESS(status)) {
      State& s = S();
      std::lock_guard lock(s.mutex);
      FileRecord& record = s.files[opened];
      record.handles = 1;
      record.opened = true;
      *file = opened;
      return status;
    }
    // A failed create is never closed; the file object goes with its reference (and
    // takes the count above with it).
    ObDereferenceObject(opened);
    return status;
  }
  bool remove = false;
  {
    State& s = S();
    std::lock_guard lock(s.mutex);
    StackRecord& stack = s.stacks[bottom];
    remove = --stack.openFiles == 0 && stack.removeWanted;
  }
  if (remove) SendRemove(bottom);
  return status;
}

NTSTATUS DuplicateHandle(PFILE_OBJECT file) {
  State& s = S();
  {
    std::lock_guard lock(s.mutex);
    auto it = s.files.find(file);
    if (it == s.files.end() || it->second.handles <= 0) return STATUS_INVALID_HANDLE;
    ++it->second.handles;
  }
  ObReferenceObject(file);
  return STATUS_SUCCESS;
}

NTSTATUS CloseHandle(PFILE_OBJECT file) {
  bool last = false;
  {
    State& s = S();
    std::lock_guard lock(s.mutex);
    auto it = s.files.find(file);
    if (it == s.files.end() || it->second.handles <= 0) {
      Report(Check::InvalidArgument, "CloseHandle", "not an open handle's file object");
      return STATUS_INVALID_HANDLE;
    }
    last = --it->second.handles == 0;
    it->second.closingHandle = last;
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (last) status = SendFileRequest(file->DeviceObject, file, IRP_MJ_CLEANUP).Status;
  ObDereferenceObject(file);
  if (last) {
    // When the close ran now, a failed close is the answer.
    State& s = S();
    std::lock_guard lock(s.mutex);
    auto it = s.closeStatus.find(file);
    if (it != s.closeStatus.end()) {
      if (NT_SUCCESS(status)) status = it->second;
      s.closeStatus.erase(it);
    }
  }
  return status;
}

NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo) {
  {
    State& s = S();
    std::lock_guard lock(s.mutex);
    StackRecord& stack = s.stacks[pdo];
    if (stack.removed || stack.surpriseRemoved) return STATUS_INVALID_DEVICE_STATE;
    stack.surpriseRemoved = true;
  }
  return SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo) {
  bool surprise = false;
  {
    State& s = S();
    std::lock_guard lock(s.mutex);
    StackRecord& stack = s.stacks[pdo];
    if (stack.removed || stack.removeWanted) return STATUS_INVALID_DEVICE_STATE;
    surprise = stack.surpriseRemoved;
    if (surprise && stack.openFiles > 0) {
      stack.removeWanted = true;
      return STATUS_PENDING;
    }
  }
  if (!surprise) {
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) return status;
    bool open = false;
    {
      // Checked and closed to new opens in one step.
      State& s = S();
      std::lock_guard lock(s.mutex);
      StackRecord& stack = s.stacks[pdo];
      open = stack.openFiles > 0;
      if (!open) stack.removed = true;
    }
    if (open) {
      SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
      return STATUS_DEVICE_BUSY;
    }
  }
  return SendRemove(pdo);
}

bool DeviceRemoved(PDEVICE_OBJECT pdo) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.stacks.find(pdo);
  return it != s.stacks.end() && it->second.removed;
}

LONG OpenFileCount(PDEVICE_OBJECT pdo) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.stacks.find(pdo);
  return it == s.stacks.end() ? 0 : it->second.openFiles;
}

}  // namespace platform::io
