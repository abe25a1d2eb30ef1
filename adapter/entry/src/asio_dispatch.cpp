// The ASIO client's I/O controls, decoded once here: each code's row gives the lengths it
// needs of the system buffer and the handler that calls the root device. A request whose
// lengths fail its row's test completes with STATUS_SUCCESS, Information 0 and no effect,
// as the user-mode client expects; the handler sets Information as its code defines it.
#include "asio_dispatch.h"

#include <cstring>

#include "kernel/pool.h"

namespace entry {
namespace {

using adapter::IAsioPrivate;

// Pool tag of the 64-bit scratch a 32-bit CreateBuffers is answered through.
constexpr ULONG kAsioScratchTag = MakePoolTag('a', 'd', 'a', 'p');

enum class Length : UCHAR {
  Any,      // not tested
  Zero,     // must be 0
  AtLeast,  // >= n
  Exactly,  // == n
  Handle,   // a handle of the caller's width: 4 bytes from a 32-bit process, else 8
};

struct Request {
  IAsioPrivate* asio;
  PFILE_OBJECT file;
  PIRP irp;
  PUCHAR buffer;  // the system buffer (null when both lengths are 0)
  ULONG in;
  ULONG out;
  bool is32Bit;
  ULONG_PTR information;
};

using Handler = NTSTATUS (*)(Request& r);

struct Row {
  ULONG code;
  Length input;
  ULONG inBytes;
  Length output;
  ULONG outBytes;
  Handler handler;
};

bool Passes(Length rule, ULONG n, ULONG length, bool is32Bit) {
  switch (rule) {
    case Length::Any:
      return true;
    case Length::Zero:
      return length == 0;
    case Length::AtLeast:
      return length >= n;
    case Length::Exactly:
      return length == n;
    case Length::Handle:
      return length == (is32Bit ? 4u : 8u);
  }
  return false;
}

ULONG InputUlong(const Request& r) {
  ULONG v;
  std::memcpy(&v, r.buffer, sizeof v);
  return v;
}

// A handle from a 32-bit process is widened as the system widens its handles.
HANDLE InputHandle(const Request& r) {
  if (r.is32Bit) {
    LONG v;
    std::memcpy(&v, r.buffer, sizeof v);
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(v));
  }
  HANDLE h;
  std::memcpy(&h, r.buffer, sizeof h);
  return h;
}

// The output buffer as a size query sees it: null when the caller gave no room.
PULONG OutBuffer(const Request& r) { return r.out ? reinterpret_cast<PULONG>(r.buffer) : nullptr; }

bool CarriesSize(NTSTATUS status) { return NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW; }

NTSTATUS DriverName(Request& r) {
  ULONG size = r.out;
  NTSTATUS status = r.asio->GetDriverName(r.file, r.out ? reinterpret_cast<PCHAR>(r.buffer) : nullptr, &size);
  if (CarriesSize(status)) r.information = size;
  return status;
}

NTSTATUS Channels(Request& r) {
  NTSTATUS status = r.asio->GetChannels(r.file, OutBuffer(r), r.out);
  if (NT_SUCCESS(status)) r.information = adapter::kAsioChannelsBytes;
  return status;
}

// The channel number and is-input come in the first 8 bytes of the buffer the answer
// overwrites: a shorter input names no channel.
NTSTATUS ChannelName(Request& r) {
  NTSTATUS status = r.asio->GetChannelName(r.file, r.out ? r.buffer : nullptr, r.out);
  if (NT_SUCCESS(status)) r.information = adapter::kAsioChannelNameBytes;
  return status;
}

NTSTATUS SampleTypes(Request& r) {
  ULONG size = r.out;
  NTSTATUS status = r.asio->GetSampleTypes(r.file, OutBuffer(r), &size);
  if (CarriesSize(status)) r.information = size;
  return status;
}

NTSTATUS LatencyInfo(Request& r) {
  ULONG size = r.out;
  NTSTATUS status = r.asio->GetLatencyInfo(r.file, OutBuffer(r), &size);
  if (CarriesSize(status)) r.information = size;
  return status;
}

NTSTATUS SetNotification(Request& r) { return r.asio->SetNotificationEvent(r.file, InputHandle(r)); }

NTSTATUS InUse(Request& r) {
  ULONG size = r.out;
  NTSTATUS status = r.asio->GetInUse(r.file, OutBuffer(r), &size);
  r.information = sizeof(ULONG);
  return status;
}

NTSTATUS BitDepth(Request& r) { return r.asio->SetBitDepth(r.file, InputUlong(r)); }

NTSTATUS BufferLength(Request& r) {
  ULONG size = r.out;
  NTSTATUS status = r.asio->GetBufferLength(r.file, OutBuffer(r), &size);
  if (CarriesSize(status)) r.information = size;
  return status;
}

// The new latency's buffer length comes back in the same request when there is room.
NTSTATUS Latency(Request& r) {
  NTSTATUS status = r.asio->SetLatency(r.file, InputUlong(r));
  if (!NT_SUCCESS(status) || r.out < adapter::kAsioBufferLengthBytes) return status;
  return BufferLength(r);
}

NTSTATUS SampleRate(Request& r) {
  NTSTATUS status = r.asio->GetSampleRate(r.file, OutBuffer(r));
  if (CarriesSize(status)) r.information = sizeof(ULONG);
  return status;
}

NTSTATUS CanRate(Request& r) { return r.asio->CanSampleRate(r.file, InputUlong(r)); }
NTSTATUS SetRate(Request& r) { return r.asio->SetSampleRate(r.file, InputUlong(r)); }

NTSTATUS BufferSize(Request& r) {
  NTSTATUS status = r.asio->GetBufferSize(r.file, OutBuffer(r));
  if (NT_SUCCESS(status)) r.information = adapter::kAsioBufferSizeBytes;
  return status;
}

// A 32-bit process takes 4-byte addresses: the device answers in 8-byte entries into a
// scratch buffer of twice the length, whose low halves are handed on.
NTSTATUS CreateBuffers(Request& r) {
  // The request is read from the system buffer, which the answer then overwrites.
  auto* request = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, r.in, kAsioScratchTag));
  if (!request) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(request, r.buffer, r.in);
  NTSTATUS status;
  if (!r.is32Bit) {
    ULONG size = r.out;
    status = r.asio->CreateBuffers(r.file, request, r.in, r.out ? r.buffer : nullptr, &size);
    if (NT_SUCCESS(status)) r.information = size;
  } else {
    ULONG size = r.out * 2;
    auto* scratch = r.out ? static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, size, kAsioScratchTag)) : nullptr;
    if (r.out && !scratch) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      status = r.asio->CreateBuffers(r.file, request, r.in, scratch, &size);
      if (NT_SUCCESS(status)) {
        const ULONG entries = size / 8;
        for (ULONG i = 0; i < entries; ++i) std::memcpy(r.buffer + 4 * i, scratch + 8 * i, 4);
        r.information = size / 2;
      }
      if (scratch) ExFreePoolWithTag(scratch, kAsioScratchTag);
    }
  }
  ExFreePoolWithTag(request, kAsioScratchTag);
  return status;
}

NTSTATUS Dispose(Request& r) { return r.asio->DisposeBuffers(r.file); }
NTSTATUS Start(Request& r) { return r.asio->Start(r.file, InputHandle(r)); }
NTSTATUS Stop(Request& r) { return r.asio->Stop(r.file, r.irp); }
NTSTATUS ClearNotification(Request& r) { return r.asio->ClearNotificationEvent(r.file); }

NTSTATUS CanSetMode(Request& r) {
  NTSTATUS status = r.asio->CanSampleMode(r.file, InputUlong(r));
  return NT_SUCCESS(status) ? r.asio->SetSampleMode(r.file, InputUlong(r)) : status;
}

NTSTATUS SetMode(Request& r) { return r.asio->SetSampleMode(r.file, InputUlong(r)); }

NTSTATUS Mode(Request& r) {
  NTSTATUS status = r.asio->GetSampleMode(r.file, OutBuffer(r));
  if (CarriesSize(status)) r.information = sizeof(ULONG);
  return status;
}

// clang-format off
constexpr Row kRows[adapter::kAsioIoctlCount] = {
    {adapter::IOCTL_ASIO_GET_DRIVER_NAME,         Length::Any,     0, Length::Any,     0,  DriverName},
    {adapter::IOCTL_ASIO_GET_CHANNELS,            Length::Any,     0, Length::Any,     0,  Channels},
    {adapter::IOCTL_ASIO_GET_CHANNEL_NAME,        Length::AtLeast, 8, Length::Any,     0,  ChannelName},
    {adapter::IOCTL_ASIO_GET_SAMPLE_TYPES,        Length::Any,     0, Length::Any,     0,  SampleTypes},
    {adapter::IOCTL_ASIO_GET_LATENCY_INFO,        Length::Any,     0, Length::Any,     0,  LatencyInfo},
    {adapter::IOCTL_ASIO_SET_NOTIFICATION_EVENT,  Length::Handle,  0, Length::Any,     0,  SetNotification},
    {adapter::IOCTL_ASIO_GET_IN_USE,              Length::Any,     0, Length::Any,     0,  InUse},
    {adapter::IOCTL_ASIO_SET_BIT_DEPTH,           Length::AtLeast, 4, Length::Any,     0,  BitDepth},
    {adapter::IOCTL_ASIO_SET_LATENCY,             Length::AtLeast, 4, Length::Any,     0,  Latency},
    {adapter::IOCTL_ASIO_GET_BUFFER_LENGTH,       Length::Any,     0, Length::AtLeast, 8,  BufferLength},
    {adapter::IOCTL_ASIO_GET_SAMPLE_RATE,         Length::Any,     0, Length::AtLeast, 4,  SampleRate},
    {adapter::IOCTL_ASIO_CAN_SAMPLE_RATE,         Length::AtLeast, 4, Length::Any,     0,  CanRate},
    {adapter::IOCTL_ASIO_SET_SAMPLE_RATE,         Length::AtLeast, 4, Length::Any,     0,  SetRate},
    {adapter::IOCTL_ASIO_GET_BUFFER_SIZE,         Length::Any,     0, Length::AtLeast, 16, BufferSize},
    {adapter::IOCTL_ASIO_CREATE_BUFFERS,          Length::AtLeast, 1, Length::Any,     0,  CreateBuffers},
    {adapter::IOCTL_ASIO_DISPOSE_BUFFERS,         Length::Any,     0, Length::Any,     0,  Dispose},
    {adapter::IOCTL_ASIO_START,                   Length::Handle,  0, Length::Any,     0,  Start},
    {adapter::IOCTL_ASIO_STOP,                    Length::Zero,    0, Length::Any,     0,  Stop},
    {adapter::IOCTL_ASIO_CLEAR_NOTIFICATION_EVENT, Length::Zero,   0, Length::Any,     0,  ClearNotification},
    {adapter::IOCTL_ASIO_CAN_SET_SAMPLE_MODE,     Length::AtLeast, 4, Length::Any,     0,  CanSetMode},
    {adapter::IOCTL_ASIO_SET_SAMPLE_MODE,         Length::AtLeast, 4, Length::Any,     0,  SetMode},
    {adapter::IOCTL_ASIO_GET_SAMPLE_MODE,         Length::Any,     0, Length::AtLeast, 4,  Mode},
};
// clang-format on

}  // namespace

NTSTATUS DispatchAsioDeviceControl(IAsioPrivate* Asio, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  Irp->IoStatus.Information = 0;
  const Row* row = nullptr;
  for (const Row& r : kRows)
    if (r.code == code) row = &r;
  if (!row) return STATUS_NOT_SUPPORTED;
  Request r{Asio,
            stack->FileObject,
            Irp,
            static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer),
            stack->Parameters.DeviceIoControl.InputBufferLength,
            stack->Parameters.DeviceIoControl.OutputBufferLength,
            IoIs32bitProcess(Irp) != FALSE,
            0};
  // Lengths the system buffer does not back are no request at all.
  if ((r.in || r.out) && !r.buffer) return STATUS_SUCCESS;
  if (!Passes(row->input, row->inBytes, r.in, r.is32Bit) || !Passes(row->output, row->outBytes, r.out, r.is32Bit))
    return STATUS_SUCCESS;
  const NTSTATUS status = row->handler(r);
  if (status != STATUS_PENDING) Irp->IoStatus.Information = r.information;
  return status;
}

}  // namespace entry
