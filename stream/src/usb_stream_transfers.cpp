// The isochronous machinery every USB stream engine shares: the resources of an allocated
// stream (three lookaside lists, ten reusable transfers, the capture ring, the pipe
// table), the selection of a streaming alternate setting, the transfer slots, the layout
// and submission of an isochronous URB, and the bookkeeping of a completion (successor,
// error hand-over to the control thread, URBs outstanding). Nothing here allocates once a
// stream runs: transfers are made at allocation and their IRPs reused.
#include "adapter/object_model.h"
#include "kernel/io.h"
#include "stream/usb_stream_engine.h"
#include "stream_geometry.h"
#include "usb/usbdlib.h"
#include "usb/usbioctl.h"

namespace stream {
namespace {

constexpr UCHAR kAudioClass = 1;
constexpr UCHAR kAudioStreamingSubclass = 2;
constexpr UCHAR kEndpointIn = 0x80;
// Select-interface URB: the fixed part and the interface block's header.
constexpr ULONG kSelectInterfaceBase = 80;
constexpr ULONG kPipeInfoBytes = sizeof(USBD_PIPE_INFORMATION);
constexpr ULONG kInterfaceInfoOffset = 32;  // the interface block's offset in the URB
// The UAC 1.0 sampling-frequency control: SET_CUR, selector in the high byte, 3 bytes.
constexpr UCHAR kSetCur = 0x01;
constexpr USHORT kSamplingFreqControl = 0x0100;
constexpr ULONG kRateBytes = 3;
// The general class-specific endpoint descriptor: type, subtype, length, and the
// bmAttributes bit that declares the sampling-frequency control.
constexpr UCHAR kCsEndpoint = 0x25;
constexpr UCHAR kEpGeneral = 0x01;
constexpr UCHAR kEpGeneralBytes = 7;
constexpr UCHAR kSamplingFreqAttribute = 0x01;
// The abort-pipe URB is declared with this length.
constexpr USHORT kAbortPipeUrbBytes = 40;

// Whether the endpoint moves audio data: isochronous, with usage bits 4-5 saying data (0)
// or implicit-feedback data (2, an IN endpoint whose rate also clocks an OUT one), not
// feedback (1).
bool IsIsochDataEndpoint(const USB_ENDPOINT_DESCRIPTOR* e) {
  const UCHAR usage = e->bmAttributes & 0x30;
  return (e->bmAttributes & 0x03) == USB_ENDPOINT_TYPE_ISOCHRONOUS && (usage == 0x00 || usage == 0x20);
}

}  // namespace

adapter::IUsbAudioDevice* CUsbStreamEngine::QueryDevice() {
  if (!m_pOwner) return nullptr;
  PVOID itf = nullptr;
  if (!NT_SUCCESS(m_pOwner->QueryInterface(adapter::IID_IUsbAudioDevice, &itf))) return nullptr;
  return static_cast<adapter::IUsbAudioDevice*>(itf);
}

PUSB_INTERFACE_DESCRIPTOR CUsbStreamEngine::FindInterfaceDescriptor(adapter::IUsbAudioDevice* Device,
                                                                    UCHAR AlternateSetting) {
  PUSB_CONFIGURATION_DESCRIPTOR config = Device->GetConfigurationDescriptor();
  if (!config) return nullptr;
  return USBD_ParseConfigurationDescriptorEx(config, config, static_cast<LONG>(m_nEngineId),
                                             static_cast<LONG>(AlternateSetting), kAudioClass,
                                             kAudioStreamingSubclass, -1);
}

const USB_ENDPOINT_DESCRIPTOR* CUsbStreamEngine::FindDataEndpoint(adapter::IUsbAudioDevice* Device,
                                                                  UCHAR AlternateSetting, bool In) {
  PUSB_INTERFACE_DESCRIPTOR itf = FindInterfaceDescriptor(Device, AlternateSetting);
  if (!itf) return nullptr;
  PUSB_CONFIGURATION_DESCRIPTOR config = Device->GetConfigurationDescriptor();
  const PUCHAR start = reinterpret_cast<PUCHAR>(config);
  const PUCHAR end = start + config->wTotalLength;
  // The descriptors of this setting: up to the next interface descriptor. The parser has
  // checked the interface descriptor lies within wTotalLength.
  PUCHAR at = reinterpret_cast<PUCHAR>(itf) + itf->bLength;
  while (at + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
    const auto* common = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(at);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || at + common->bLength > end) break;
    if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && common->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      const auto* e = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(at);
      if (IsIsochDataEndpoint(e) && ((e->bEndpointAddress & kEndpointIn) != 0) == In) return e;
    }
    at += common->bLength;
  }
  return nullptr;
}

ULONG CUsbStreamEngine::GetPacketsPerMs(UCHAR AlternateSetting) {
  adapter::IUsbAudioDevice* device = QueryDevice();
  if (!device) return 1;
  ULONG packets = 1;
  const USB_ENDPOINT_DESCRIPTOR* e =
      FindDataEndpoint(device, AlternateSetting, m_nDirection == adapter::STREAM_DIRECTION_CAPTURE);
  if (e && device->IsHighSpeed()) {
    // bInterval 1 to 4 is a period of 2^(bInterval-1) microframes; 0 is undefined and
    // longer periods leave frames without a packet.
    packets = (e->bInterval >= 1 && e->bInterval <= 4) ? 8u >> (e->bInterval - 1) : 0;
  }
  device->Release();
  return packets;
}

ULONG CUsbStreamEngine::GetCapturePacketSamples(UCHAR AlternateSetting, const WAVEFORMATEX& Format,
                                                ULONG PacketsPerMs) {
  // Frames a capture packet is assumed to hold beyond the nominal ones when the endpoint
  // cannot be read.
  constexpr ULONG kCaptureSpareFrames = 6;
  if (Format.nBlockAlign == 0 || PacketsPerMs == 0) return 0;
  adapter::IUsbAudioDevice* device = QueryDevice();
  if (!device) return Format.nSamplesPerSec / (PacketsPerMs * 1000) + kCaptureSpareFrames;
  ULONG bytes = 0;
  if (const USB_ENDPOINT_DESCRIPTOR* e = FindDataEndpoint(device, AlternateSetting, true))
    bytes = geometry::PacketBytes(e->wMaxPacketSize, device->IsHighSpeed() != 0);
  device->Release();
  return bytes / Format.nBlockAlign;
}

NTSTATUS CUsbStreamEngine::AllocTransfer(adapter::IUsbAudioDevice* Device, ULONG Slot, UrbContext** Context) {
  *Context = nullptr;
  auto* context = static_cast<UrbContext*>(ExAllocateFromNPagedLookasideList(&m_ContextList));
  if (!context) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(context, sizeof *context);
  context->Buffer = ExAllocateFromNPagedLookasideList(&m_BufferList);
  context->Urb = static_cast<PURB>(ExAllocateFromNPagedLookasideList(&m_UrbList));
  context->Irp = context->Buffer && context->Urb ? Device->AllocateIrp() : nullptr;
  if (!context->Irp) {
    if (context->Urb) ExFreeToNPagedLookasideList(&m_UrbList, context->Urb);
    if (context->Buffer) ExFreeToNPagedLookasideList(&m_BufferList, context->Buffer);
    ExFreeToNPagedLookasideList(&m_ContextList, context);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  context->Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  context->Engine = this;
  context->Slot = Slot;
  *Context = context;
  return STATUS_SUCCESS;
}

void CUsbStreamEngine::FreeUrbContext(UrbContext* Context) {
  ExFreeToNPagedLookasideList(&m_BufferList, Context->Buffer);
  ExFreeToNPagedLookasideList(&m_UrbList, Context->Urb);
  IoFreeIrp(Context->Irp);
  ExFreeToNPagedLookasideList(&m_ContextList, Context);
}

UrbContext* CUsbStreamEngine::AcquireUrbContext() {
  UrbContext* found = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&m_SlotLock, &irql);
  const ULONG slots = m_nUrbsInFlight < kTransferSlots ? m_nUrbsInFlight : kTransferSlots;
  for (ULONG i = 0; i < slots && !found; ++i) {
    if (m_InFlightSlots[i] || !m_FreeSlots[i]) continue;
    found = m_FreeSlots[i];
    m_FreeSlots[i] = nullptr;
    m_InFlightSlots[i] = found;
  }
  KeReleaseSpinLock(&m_SlotLock, irql);
  return found;
}

void CUsbStreamEngine::ReleaseUrbContext(UrbContext* Context) {
  KIRQL irql;
  KeAcquireSpinLock(&m_SlotLock, &irql);
  m_FreeSlots[Context->Slot] = Context;
  m_InFlightSlots[Context->Slot] = nullptr;
  IoReuseIrp(Context->Irp, STATUS_NOT_SUPPORTED);
  KeReleaseSpinLock(&m_SlotLock, irql);
}

STDMETHODIMP CUsbStreamEngine::ReleaseTransfers() {
  for (ULONG i = 0; i < kTransferSlots; ++i) {
    if (m_FreeSlots[i]) FreeUrbContext(m_FreeSlots[i]);
    m_FreeSlots[i] = nullptr;
  }
  return STATUS_SUCCESS;
}

void CUsbStreamEngine::FreeTransferMemory() {
  if (m_bListsReady) {
    ReleaseTransfers();
    ExDeleteNPagedLookasideList(&m_UrbList);
    ExDeleteNPagedLookasideList(&m_ContextList);
    ExDeleteNPagedLookasideList(&m_BufferList);
    m_bListsReady = false;
  }
  if (m_pRing) ExFreePoolWithTag(m_pRing, m_nRingTag);
  m_pRing = nullptr;
  m_nRingSize = 0;
}

NTSTATUS CUsbStreamEngine::AllocateTransfers(PSTREAMCLIENTRECORD Record, UCHAR AlternateSetting, ULONG RingBytes,
                                             ULONG RingTag, PULONG BusFrame) {
  adapter::IUsbAudioDevice* device = QueryDevice();
  if (!device) return STATUS_UNSUCCESSFUL;
  adapter::ScopedRelease<adapter::IUsbAudioDevice> held(device);
  // The processing hook converts PCM in the engine's stream buffers: made once, before
  // the first stream, so that processing never meets them missing.
  if (!NT_SUCCESS(AllocStreamBuffers())) return STATUS_INSUFFICIENT_RESOURCES;
  if (SetStreamState(STREAM_STATE_ALLOCATED) != STREAM_STATE_NO_RESOURCES) {
    SetStreamState(STREAM_STATE_ALLOCATED);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  const ULONG packets = m_nMsPerUrb * (m_nUrbPacketsPerMs > m_nPacketsPerMs ? m_nUrbPacketsPerMs : m_nPacketsPerMs);
  ExInitializeNPagedLookasideList(&m_UrbList, nullptr, nullptr, 0, kIsochUrbFixedBytes + kIsochPacketBytes * packets,
                                  kUrbPoolTag, 0);
  ExInitializeNPagedLookasideList(&m_BufferList, nullptr, nullptr, 0, m_nTransferBufferBytes, kUrbPoolTag, 0);
  ExInitializeNPagedLookasideList(&m_ContextList, nullptr, nullptr, 0, sizeof(UrbContext), kUrbPoolTag, 0);
  m_bListsReady = true;

  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < kTransferSlots && NT_SUCCESS(status); ++i) {
    m_InFlightSlots[i] = nullptr;
    status = AllocTransfer(device, i, &m_FreeSlots[i]);
  }
  if (NT_SUCCESS(status)) {
    m_pRing = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, RingBytes, RingTag));
    if (m_pRing) {
      RtlZeroMemory(m_pRing, RingBytes);
      m_nRingSize = RingBytes;
      m_nRingTag = RingTag;
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  if (NT_SUCCESS(status)) status = SelectAltSetting(AlternateSetting, Record);
  if (!NT_SUCCESS(status)) {
    FreeTransferMemory();
    // No streaming setting is left selected: the table of whatever was selected goes too.
    if (m_pPipeTable) ExFreePoolWithTag(m_pPipeTable, kUrbPoolTag);
    m_pPipeTable = nullptr;
    SetStreamState(STREAM_STATE_NO_RESOURCES);
    return status;
  }
  m_nRingRead = 0;
  m_nRingWrite = 0;
  InterlockedExchange(&m_lUrbsOutstanding, 0);
  ULONG frame = 0;
  device->GetCurrentFrame(&frame);
  if (BusFrame) *BusFrame = frame;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbStreamEngine::FreeResources() {
  m_EngineMutex.Lock();
  if (GetStreamState() != STREAM_STATE_ALLOCATED) {
    m_EngineMutex.Unlock();
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = SelectAltSetting(0, nullptr);
  if (IsDeviceGone()) status = STATUS_SUCCESS;
  SetStreamState(STREAM_STATE_NO_RESOURCES);
  FreeTransferMemory();
  if (m_pPipeTable) ExFreePoolWithTag(m_pPipeTable, kUrbPoolTag);
  m_pPipeTable = nullptr;
  m_EngineMutex.Unlock();
  return status;
}

const USBD_PIPE_INFORMATION* CUsbStreamEngine::GetDataPipe() const {
  if (!m_pPipeTable || m_nDataPipe >= m_pPipeTable->NumberOfPipes) return nullptr;
  return &m_pPipeTable->Pipes[m_nDataPipe];
}

NTSTATUS CUsbStreamEngine::SelectInterfaceSetting(adapter::IUsbAudioDevice* Device, UCHAR AlternateSetting) {
  if (m_pPipeTable) ExFreePoolWithTag(m_pPipeTable, kUrbPoolTag);
  m_pPipeTable = nullptr;
  m_nDataPipe = 0;

  // The zero-bandwidth setting has no endpoints; every other comes from its descriptor.
  ULONG endpoints = 0;
  if (PUSB_INTERFACE_DESCRIPTOR itf = FindInterfaceDescriptor(Device, AlternateSetting)) {
    endpoints = itf->bNumEndpoints;
  } else if (AlternateSetting != 0) {
    return STATUS_UNSUCCESSFUL;
  }
  // 80 bytes with one pipe, 24 more per further pipe: 56 for a setting without endpoints.
  const ULONG size = kSelectInterfaceBase - kPipeInfoBytes + kPipeInfoBytes * endpoints;
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUrbPoolTag));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  auto select = [&](UCHAR alt, ULONG bytes) {
    RtlZeroMemory(urb, bytes);
    auto& r = urb->UrbSelectInterface;
    r.Hdr.Length = static_cast<USHORT>(bytes);
    r.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    r.ConfigurationHandle = Device->GetConfigurationHandle();
    r.Interface.Length = static_cast<USHORT>(bytes - kInterfaceInfoOffset);
    r.Interface.InterfaceNumber = static_cast<UCHAR>(m_nEngineId);
    r.Interface.AlternateSetting = alt;
    return Device->SubmitUrbSync(urb);
  };
  NTSTATUS status = select(AlternateSetting, size);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(urb, kUrbPoolTag);
    return status;
  }

  const PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectInterface.Interface;
  // Only what the stack filled and the URB holds counts.
  ULONG pipes = info->NumberOfPipes;
  const ULONG room = (size - kInterfaceInfoOffset - GET_USBD_INTERFACE_SIZE(0)) / kPipeInfoBytes;
  if (pipes > room) pipes = room;
  const ULONG tableBytes = GET_USBD_INTERFACE_SIZE(pipes);
  m_pPipeTable = static_cast<PUSBD_INTERFACE_INFORMATION>(
      ExAllocatePoolWithTag(NonPagedPool, size - kInterfaceInfoOffset, kUrbPoolTag));
  // Back to the zero-bandwidth setting when the selected one cannot be used.
  auto fallBack = [&](NTSTATUS failure) {
    if (NT_SUCCESS(select(0, kSelectInterfaceBase - kPipeInfoBytes)) && m_bHoldsActivity) {
      Device->ReleaseActivity();
      m_bHoldsActivity = false;
    }
    ExFreePoolWithTag(urb, kUrbPoolTag);
    return failure;
  };
  if (!m_pPipeTable) return fallBack(STATUS_INSUFFICIENT_RESOURCES);
  RtlCopyMemory(m_pPipeTable, info, tableBytes);
  m_pPipeTable->NumberOfPipes = pipes;

  if (AlternateSetting != 0) {
    const bool in = m_nDirection == adapter::STREAM_DIRECTION_CAPTURE;
    bool found = false;
    for (ULONG i = 0; i < pipes; ++i) {
      const USBD_PIPE_INFORMATION& p = m_pPipeTable->Pipes[i];
      if (((p.EndpointAddress & kEndpointIn) != 0) == in) {
        m_nDataPipe = static_cast<UCHAR>(i);
        found = true;
      }
    }
    if (!found) {
      // Nothing to stream on: the interface goes back to its zero-bandwidth setting.
      ExFreePoolWithTag(m_pPipeTable, kUrbPoolTag);
      m_pPipeTable = nullptr;
      return fallBack(STATUS_UNSUCCESSFUL);
    }
    // The device counts streams holding bandwidth once each, whatever the selections.
    if (!m_bHoldsActivity) Device->AddActivity();
    m_bHoldsActivity = true;
  } else {
    if (m_bHoldsActivity) Device->ReleaseActivity();
    m_bHoldsActivity = false;
  }
  ExFreePoolWithTag(urb, kUrbPoolTag);
  return STATUS_SUCCESS;
}

bool CUsbStreamEngine::EndpointHasRateControl(adapter::IUsbAudioDevice* Device, UCHAR AlternateSetting) {
  const USB_ENDPOINT_DESCRIPTOR* e =
      FindDataEndpoint(Device, AlternateSetting, m_nDirection == adapter::STREAM_DIRECTION_CAPTURE);
  if (!e) return true;
  PUSB_CONFIGURATION_DESCRIPTOR config = Device->GetConfigurationDescriptor();
  const UCHAR* end = reinterpret_cast<const UCHAR*>(config) + config->wTotalLength;
  // The class-specific descriptor follows its endpoint descriptor, before the next
  // endpoint or interface.
  const UCHAR* at = reinterpret_cast<const UCHAR*>(e) + e->bLength;
  while (at + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
    const auto* common = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(at);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || at + common->bLength > end) break;
    if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE ||
        common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE)
      break;
    if (common->bDescriptorType == kCsEndpoint && common->bLength >= kEpGeneralBytes && at[2] == kEpGeneral)
      return (at[3] & kSamplingFreqAttribute) != 0;
    at += common->bLength;
  }
  return true;
}

NTSTATUS CUsbStreamEngine::SetEndpointRate(adapter::IUsbAudioDevice* Device, UCHAR AlternateSetting, ULONG Rate) {
  const USBD_PIPE_INFORMATION* pipe = GetDataPipe();
  if (!pipe) return STATUS_UNSUCCESSFUL;
  if (!EndpointHasRateControl(Device, AlternateSetting)) return STATUS_SUCCESS;
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), kUrbPoolTag));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  UCHAR rate[kRateBytes] = {static_cast<UCHAR>(Rate), static_cast<UCHAR>(Rate >> 8), static_cast<UCHAR>(Rate >> 16)};
  RtlZeroMemory(urb, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  auto& r = urb->UrbControlVendorClassRequest;
  r.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  r.Hdr.Function = URB_FUNCTION_CLASS_ENDPOINT;
  r.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
  r.TransferBuffer = rate;
  r.TransferBufferLength = kRateBytes;
  r.Request = kSetCur;
  r.Value = kSamplingFreqControl;
  r.Index = pipe->EndpointAddress;
  const NTSTATUS status = Device->SubmitUrbSync(urb);
  ExFreePoolWithTag(urb, kUrbPoolTag);
  return status;
}

STDMETHODIMP CUsbStreamEngine::AbortPipe() {
  const USBD_PIPE_INFORMATION* pipe = GetDataPipe();
  adapter::IUsbAudioDevice* device = QueryDevice();
  if (!device) return STATUS_UNSUCCESSFUL;
  adapter::ScopedRelease<adapter::IUsbAudioDevice> held(device);
  if (!pipe) return STATUS_INVALID_DEVICE_STATE;
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_PIPE_REQUEST), kUrbPoolTag));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(_URB_PIPE_REQUEST));
  urb->UrbPipeRequest.Hdr.Length = kAbortPipeUrbBytes;
  urb->UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
  urb->UrbPipeRequest.PipeHandle = pipe->PipeHandle;
  const NTSTATUS status = device->SubmitUrbSync(urb);
  ExFreePoolWithTag(urb, kUrbPoolTag);
  return status;
}

PURB CUsbStreamEngine::BeginIsochUrb(UrbContext* Context, ULONG Packets, ULONG TransferFlags) {
  const ULONG bytes = kIsochUrbFixedBytes + kIsochPacketBytes * Packets;
  PURB urb = Context->Urb;
  RtlZeroMemory(urb, bytes);
  auto& r = urb->UrbIsochronousTransfer;
  r.Hdr.Length = static_cast<USHORT>(bytes);
  r.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  r.PipeHandle = m_pPipeTable->Pipes[m_nDataPipe].PipeHandle;
  r.TransferFlags = TransferFlags | (m_bExplicitStart ? 0 : USBD_START_ISO_TRANSFER_ASAP);
  r.TransferBuffer = Context->Buffer;
  r.NumberOfPackets = Packets;
  return urb;
}

NTSTATUS CUsbStreamEngine::SubmitIsochUrb(adapter::IUsbAudioDevice* Device, UrbContext* Context) {
  auto& r = Context->Urb->UrbIsochronousTransfer;
  if (m_bExplicitStart) {
    r.StartFrame = m_nNextStartFrame;
    m_nNextStartFrame += m_nMsPerUrb;
  } else {
    r.StartFrame = 0;
  }
  PIRP irp = Context->Irp;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  // The arguments share their place with the control code's parameters: they go first.
  next->Parameters.Others.Argument1 = Context->Urb;
  next->Parameters.Others.Argument2 = nullptr;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  IoSetCompletionRoutine(irp, UrbCompletionRoutine, Context, TRUE, TRUE, TRUE);
  if (InterlockedIncrement(&m_lUrbsOutstanding) == 1) KeClearEvent(&m_AllBackEvent);
  return Device->CallDriver(irp);
}

NTSTATUS CUsbStreamEngine::UrbCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  auto* context = static_cast<UrbContext*>(Context);
  return context->Engine->OnUrbComplete(DeviceObject, Irp, context);
}

void CUsbStreamEngine::ContinueAfterTransfer(UrbContext* Context, bool Good) {
  ReleaseUrbContext(Context);
  if (Good) {
    if (__atomic_load_n(&m_lWorkInterlock, __ATOMIC_SEQ_CST) == 0) SendStreamUrb();
  } else {
    SignalTransferError();
  }
}

void CUsbStreamEngine::EndCompletion() {
  if (InterlockedDecrement(&m_lUrbsOutstanding) == 0) KeSetEvent(&m_AllBackEvent, IO_NO_INCREMENT, FALSE);
}

void CUsbStreamEngine::PublishUrbDone(ULONG Bytes) {
  StreamEngineRecord record{};
  record.Client = m_pCurrentClient;
  record.Code = STREAM_NOTIFY_URB_DONE;
  record.Payload.ByteCount = Bytes;
  Publish(&record);
}

void CUsbStreamEngine::PublishData(ULONG Code, PVOID Buffer, ULONG Bytes) {
  StreamEngineRecord record{};
  record.Client = m_pCurrentClient;
  record.Code = Code;
  record.Payload.Buffer = Buffer;
  record.Length = Bytes;
  Publish(&record);
}

STDMETHODIMP CUsbStreamEngine::OnUrbComplete(PDEVICE_OBJECT, PIRP Irp, UrbContext* Context) {
  const NTSTATUS status = Irp->IoStatus.Status;
  const bool good = NT_SUCCESS(status) && USBD_SUCCESS(Context->Urb->UrbHeader.Status);
  ReleaseUrbContext(Context);
  if (GetStreamState() == STREAM_STATE_RUNNING && status != STATUS_CANCELLED) {
    if (!good) {
      SignalTransferError();
    } else if (InterlockedCompareExchange(&m_lWorkInterlock, 1, 0) == 0) {
      KeSetEvent(&m_WorkEvent, IO_NO_INCREMENT, FALSE);
    }
  }
  EndCompletion();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CUsbStreamEngine::SendCaptureUrb() {
  auto fill = [&](adapter::IUsbAudioDevice* device, UrbContext* context, PURB urb, ULONG packets) {
    auto& r = urb->UrbIsochronousTransfer;
    const ULONG slot = m_nSamplesPerPacket * m_nBlockAlign;
    for (ULONG i = 0; i < packets; ++i) {
      r.IsoPacket[i].Offset = i * slot;
      r.IsoPacket[i].Length = 0;
    }
    r.TransferBufferLength = packets * slot;
    context->Bytes = packets * slot;
    return SubmitIsochUrb(device, context);
  };
  return SendIsochUrb(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, fill);
}

void CUsbStreamEngine::StoreInRing(const UCHAR* Data, ULONG Bytes) {
  // The ring is larger than any packet, but a copy never relies on it.
  while (Bytes) {
    ULONG piece = m_nRingSize - m_nRingWrite;
    if (piece > Bytes) piece = Bytes;
    RtlCopyMemory(m_pRing + m_nRingWrite, Data, piece);
    m_nRingWrite = (m_nRingWrite + piece) % m_nRingSize;
    Data += piece;
    Bytes -= piece;
  }
}

}  // namespace stream
