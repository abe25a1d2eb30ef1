#include "sim/engine/asio_client.h"

#include <cstring>

#include "kernel/mm.h"
#include "kernel/ob.h"
#include "kernel/pool.h"

namespace sim::engine {
namespace {

// Pool tag of the system buffers the client's requests carry.
constexpr ULONG kSystemBufferTag = MakePoolTag('A', 's', 'i', 'B');

// What the I/O manager copies back: data of a success or a warning.
bool CarriesData(NTSTATUS status) { return NT_SUCCESS(status) || (static_cast<ULONG>(status) >> 30) == 2; }

NTSTATUS Completed(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// --- A request in flight

AsioPendingRequest::~AsioPendingRequest() {
  if (irp_) Wait();
}

bool AsioPendingRequest::Done() const { return finished_ || KeReadStateEvent(const_cast<PKEVENT>(&done_)) != 0; }

bool AsioPendingRequest::Cancel() { return !finished_ && irp_ && IoCancelIrp(irp_); }

AsioReply AsioPendingRequest::Wait() {
  if (!finished_) {
    KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
    Finish();
  }
  return reply_;
}

void AsioPendingRequest::Finish() {
  reply_.status = irp_->IoStatus.Status;
  reply_.information = irp_->IoStatus.Information;
  reply_.data.assign(outLength_, 0);
  const ULONG_PTR copied = reply_.information < outLength_ ? reply_.information : outLength_;
  if (systemBuffer_ && CarriesData(reply_.status) && copied) std::memcpy(reply_.data.data(), systemBuffer_, copied);
  if (systemBuffer_) ExFreePoolWithTag(systemBuffer_, kSystemBufferTag);
  systemBuffer_ = nullptr;
  IoFreeIrp(irp_);
  irp_ = nullptr;
  ObDereferenceObject(top_);
  top_ = nullptr;
  finished_ = true;
}

// --- The client

AsioClient::AsioClient(PDEVICE_OBJECT device, bool is32Bit) : device_(device), is32Bit_(is32Bit) {}

AsioClient::~AsioClient() {
  if (file_) Close();
  if (notificationHandle_) ZwClose(notificationHandle_);
  if (periodHandle_) ZwClose(periodHandle_);
}

NTSTATUS AsioClient::Open(const char16_t* fileName) {
  if (file_) return STATUS_INVALID_DEVICE_STATE;
  return platform::io::OpenHandle(device_, fileName, nullptr, nullptr, &file_, UserMode);
}

NTSTATUS AsioClient::Close() {
  if (!file_) return STATUS_INVALID_DEVICE_STATE;
  // The cleanup's answer: the driver lets go of the client there.
  const NTSTATUS status = platform::io::CloseHandle(file_);
  file_ = nullptr;
  return status;
}

void AsioClient::Forget() {
  if (file_) platform::io::CloseHandle(file_);
  file_ = nullptr;
}

std::unique_ptr<AsioPendingRequest> AsioClient::Begin(ULONG code, const std::vector<std::uint8_t>& in,
                                                      ULONG outLength) {
  std::unique_ptr<AsioPendingRequest> request(new AsioPendingRequest());
  KeInitializeEvent(&request->done_, ::NotificationEvent, FALSE);
  request->outLength_ = outLength;
  const ULONG inLength = static_cast<ULONG>(in.size());
  const ULONG size = inLength > outLength ? inLength : outLength;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device_);
  PIRP irp = top ? IoAllocateIrp(top->StackSize, FALSE) : nullptr;
  PVOID buffer = size ? ExAllocatePoolWithTag(NonPagedPool, size, kSystemBufferTag) : nullptr;
  if (!top || !irp || (size && !buffer)) {
    if (buffer) ExFreePoolWithTag(buffer, kSystemBufferTag);
    if (irp) IoFreeIrp(irp);
    if (top) ObDereferenceObject(top);
    request->dispatchStatus_ = STATUS_INSUFFICIENT_RESOURCES;
    request->reply_.status = STATUS_INSUFFICIENT_RESOURCES;
    request->reply_.data.assign(outLength, 0);
    request->finished_ = true;
    return request;
  }
  if (buffer) {
    std::memset(buffer, 0, size);
    if (inLength) std::memcpy(buffer, in.data(), inLength);
  }
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = file_;
  irp->AssociatedIrp.SystemBuffer = buffer;
  irp->IoStatus.Status = STATUS_SUCCESS;
  platform::io::SetIrpCaller32Bit(irp, is32Bit_);
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->FileObject = file_;
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.InputBufferLength = inLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = outLength;
  IoSetCompletionRoutine(irp, &Completed, &request->done_, TRUE, TRUE, TRUE);
  request->irp_ = irp;
  request->systemBuffer_ = buffer;
  request->top_ = top;
  request->dispatchStatus_ = IoCallDriver(top, irp);
  return request;
}

AsioReply AsioClient::Request(ULONG code, const std::vector<std::uint8_t>& in, ULONG outLength) {
  return Begin(code, in, outLength)->Wait();
}

std::vector<std::uint8_t> AsioClient::HandleBytes(HANDLE handle) const {
  const auto value = reinterpret_cast<std::uint64_t>(handle);
  std::vector<std::uint8_t> bytes(is32Bit_ ? 4 : 8);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return bytes;
}

std::vector<std::uint8_t> AsioClient::Ulong(ULONG value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

ULONG AsioClient::UlongAt(const AsioReply& reply, size_t offset) {
  if (offset + 4 > reply.data.size()) return 0;
  ULONG v;
  std::memcpy(&v, reply.data.data() + offset, 4);
  return v;
}

HANDLE AsioClient::NotificationHandle() {
  if (!notificationHandle_) platform::ob::CreateUserEvent(true, false, &notificationHandle_, &notification_);
  return notificationHandle_;
}

HANDLE AsioClient::PeriodHandle() {
  if (!periodHandle_) platform::ob::CreateUserEvent(true, false, &periodHandle_, &period_);
  return periodHandle_;
}

NTSTATUS AsioClient::SetNotificationEvent() {
  // The ASIO interface's codes, spelled here as the user-mode driver spells them.
  constexpr ULONG kSetNotificationEvent = 0x1DA014;
  return Request(kSetNotificationEvent, HandleBytes(NotificationHandle()), 0).status;
}

NTSTATUS AsioClient::ClearNotificationEvent() {
  constexpr ULONG kClearNotificationEvent = 0x1DA04C;
  return Request(kClearNotificationEvent, {}, 0).status;
}

NTSTATUS AsioClient::SetValue(ULONG code, ULONG value) { return Request(code, Ulong(value), 0).status; }

ULONG AsioClient::GetValue(ULONG code, NTSTATUS* status) {
  AsioReply reply = Request(code, {}, 4);
  if (status) *status = reply.status;
  return UlongAt(reply, 0);
}

std::string AsioClient::DriverName(NTSTATUS* status) {
  constexpr ULONG kGetDriverName = 0x1D6000;
  AsioReply size = Request(kGetDriverName, {}, 0);
  std::string name;
  NTSTATUS result = size.status;
  if (size.status == STATUS_BUFFER_OVERFLOW && size.information) {
    AsioReply reply = Request(kGetDriverName, {}, static_cast<ULONG>(size.information));
    result = reply.status;
    if (NT_SUCCESS(reply.status))
      name.assign(reinterpret_cast<const char*>(reply.data.data()), strnlen(reinterpret_cast<const char*>(reply.data.data()), reply.data.size()));
  }
  if (status) *status = result;
  return name;
}

// --- Buffers

std::vector<std::uint8_t> AsioClient::BufferRequest(const std::vector<ChannelPair>& pairs,
                                                    std::uint32_t periodFrames) {
  std::vector<std::uint32_t> words = {0, static_cast<std::uint32_t>(pairs.size()), periodFrames};
  for (const ChannelPair& p : pairs) {
    words.push_back(p.isInput);
    words.push_back(p.channel);
  }
  std::vector<std::uint8_t> bytes(words.size() * 4);
  std::memcpy(bytes.data(), words.data(), bytes.size());
  return bytes;
}

AsioReply AsioClient::CreateBuffers(const std::vector<ChannelPair>& pairs, std::uint32_t periodFrames,
                                    ULONG entries) {
  const ULONG width = is32Bit_ ? 4 : 8;
  AsioReply reply = Request(kCreateBuffers, BufferRequest(pairs, periodFrames), entries * width);
  addresses_.clear();
  rings_.clear();
  if (!NT_SUCCESS(reply.status)) return reply;
  const std::vector<platform::mm::UserMapping> mappings = platform::mm::UserMappings();
  for (ULONG_PTR off = 0; off + width <= reply.information; off += width) {
    std::uint64_t address = 0;
    std::memcpy(&address, reply.data.data() + off, width);
    addresses_.push_back(address);
    void* ring = nullptr;
    for (const platform::mm::UserMapping& m : mappings) {
      const auto base = reinterpret_cast<std::uintptr_t>(m.address);
      if (address && (is32Bit_ ? static_cast<std::uint32_t>(base) == address : base == address))
        ring = m.address;
    }
    rings_.push_back(ring);
  }
  return reply;
}

void* AsioClient::Ring(size_t index) const { return index < rings_.size() ? rings_[index] : nullptr; }

NTSTATUS AsioClient::DisposeBuffers() {
  const NTSTATUS status = Request(kDisposeBuffers, {}, 0).status;
  if (NT_SUCCESS(status)) {
    addresses_.clear();
    rings_.clear();
  }
  return status;
}

NTSTATUS AsioClient::Start() { return Request(kStart, HandleBytes(PeriodHandle()), 0).status; }

NTSTATUS AsioClient::Stop() { return Request(kStop, {}, 0).status; }

}  // namespace sim::engine
