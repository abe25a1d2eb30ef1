// The ASIO client's view of the device: its name, its channels and their names, and the
// buffers it streams through. The rings and the streams behind CreateBuffers, Start and
// Stop are the device's CAsioStreams.
#include "adapter/usb_audio_device.h"

#include "adapter/asio_streams.h"
#include "adapter/capability_record.h"
#include "adapter/stream_engine.h"
#include "asio_guard.h"
#include "kernel/rtl.h"
#include "portcls/ksmedia.h"

namespace adapter {
namespace {

constexpr ULONG kProductStringBytes = 256;
// The channel name is formatted into a buffer this large before it is cut to the field.
constexpr ULONG kChannelNameBytes = 102;

// The largest channel count among an engine's formats of a mode.
ULONG ChannelsOf(IStreamEngine* engine, ULONG mode) {
  ULONG channels = 0;
  const ULONG count = engine->GetFormatCount();
  for (ULONG i = 0; i < count; ++i) {
    WAVEFORMATEXTENSIBLE f{};
    if (NT_SUCCESS(engine->GetFormat(i, &f)) && AsioFormatHasMode(f, mode) && f.Format.nChannels > channels)
      channels = f.Format.nChannels;
  }
  return channels;
}

ULONG Read32(const UCHAR* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<ULONG>(p[3]) << 24; }

}  // namespace

STDMETHODIMP CUsbAudioDevice::GetDriverName(PFILE_OBJECT File, PCHAR Name, PULONG Size) {
  AsioGuard guard(m_AsioPowerMutex);
  if (!FindAsioRequestClient(File) || !Size) return STATUS_INVALID_PARAMETER;
  if (m_iProduct) {
    char16_t text[kProductStringBytes / 2] = {};
    ULONG units = 0;
    const NTSTATUS status = ReadStringDescriptor(m_iProduct, kProductStringBytes, kUsbDeviceBufferTag, text, &units);
    if (status == STATUS_INSUFFICIENT_RESOURCES) return STATUS_INVALID_PARAMETER;
    while (units && text[units - 1] == u' ') --units;
    if (NT_SUCCESS(status) && units) {
      const ULONG needed = units + 1;
      if (*Size == 0 || !Name) {
        *Size = needed;
        return STATUS_BUFFER_OVERFLOW;
      }
      if (*Size < needed) {
        *Size = needed;
        return STATUS_BUFFER_TOO_SMALL;
      }
      // ANSI: what is not ASCII becomes '?'.
      for (ULONG i = 0; i < units; ++i) Name[i] = text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
      Name[units] = 0;
      *Size = needed;
      return STATUS_SUCCESS;
    }
  }
  // No product string: the default name, cut to fit.
  const ULONG length = sizeof kAsioDefaultDriverName - 1;
  if (*Size == 0 || !Name) {
    *Size = length + 1;
    return STATUS_BUFFER_OVERFLOW;
  }
  const ULONG written = *Size - 1 < length ? *Size - 1 : length;
  RtlCopyMemory(Name, kAsioDefaultDriverName, written);
  Name[written] = 0;
  *Size = written + 1;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbAudioDevice::GetChannels(PFILE_OBJECT File, PULONG Channels, ULONG Bytes) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioRequestClient(File);
  if (!client || !Channels || Bytes != kAsioChannelsBytes) return STATUS_INVALID_PARAMETER;
  RtlZeroMemory(Channels, kAsioChannelsBytes);
  ULONG n = 0;
  for (; IStreamEngine* engine = AsioEngine(n); ++n)
    Channels[engine->GetDirection() ? 2 : 1] += ChannelsOf(engine, client->SampleMode);
  if (n == 0) return STATUS_INVALID_PARAMETER;
  Channels[0] = n;
  return STATUS_SUCCESS;
}

// Request and answer share the 52-byte buffer: channel number and is-input in; in-use,
// sample type and name out.
STDMETHODIMP CUsbAudioDevice::GetChannelName(PFILE_OBJECT File, PVOID Request, ULONG Bytes) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioRequestClient(File);
  if (!client || !Request || Bytes != kAsioChannelNameBytes) return STATUS_INVALID_PARAMETER;
  auto* bytes = static_cast<PUCHAR>(Request);
  const ULONG channel = Read32(bytes);
  const ULONG input = Read32(bytes + 4) ? 1 : 0;
  ULONG total = 0;
  for (ULONG n = 0; IStreamEngine* engine = AsioEngine(n); ++n) {
    if ((engine->GetDirection() ? 1u : 0u) != input) continue;
    const ULONG count = ChannelsOf(engine, client->SampleMode);
    if (channel - total >= count) {
      total += count;
      continue;
    }
    auto* name = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, kChannelNameBytes, kUsbDeviceBufferTag));
    if (!name) return STATUS_INSUFFICIENT_RESOURCES;
    PCWSTR subdevice = engine->GetName();
    RtlStringCbPrintfA(name, kChannelNameBytes, "%ws_%02d ch", subdevice ? subdevice : u"",
                       static_cast<int>(channel - total));
    const ULONG inUse = m_pAsioOwner ? 1 : 0;
    const ULONG type = client->SampleMode == kAsioModeDsd ? kAsioTypeDsd : m_nAsioSampleType;
    const ULONG zero = 0;
    RtlCopyMemory(bytes + 8, &inUse, 4);
    RtlCopyMemory(bytes + 12, &zero, 4);
    RtlCopyMemory(bytes + 16, &type, 4);
    RtlZeroMemory(bytes + 20, kAsioChannelNameTextBytes);
    RtlStringCbCopyA(reinterpret_cast<PCHAR>(bytes + 20), kAsioChannelNameTextBytes, name);
    ExFreePoolWithTag(name, kUsbDeviceBufferTag);
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP CUsbAudioDevice::CreateBuffers(PFILE_OBJECT File, const VOID* Request, ULONG RequestBytes,
                                            PVOID Addresses, PULONG Size) {
  if (CheckPort()) return STATUS_INVALID_PARAMETER;
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioRequestClient(File);
  if (!client || !Request || !Addresses || !Size || !*Size || !m_pAsio) return STATUS_INVALID_PARAMETER;
  // One client owns the buffers at a time, and it owns one set.
  if (m_pAsioOwner || client->State == 1) return STATUS_INVALID_PARAMETER;
  // The client's rate must fit its mode.
  const bool dsd = client->SampleMode == kAsioModeDsd;
  if (dsd ? client->SampleRate < kAsioDsdMinRate : client->SampleRate >= kAsioDsdMinRate)
    return STATUS_INVALID_PARAMETER;
  // Everything the request and the answer need is checked before anything is allocated:
  // the pairs lie inside the input, there are no more of them than channels, and the
  // answer has room for one 8-byte address per ASIO endpoint.
  ULONG pairCount = 0;
  ULONG periodFrames = 0;
  const AsioChannelPair* pairs = nullptr;
  NTSTATUS status = ParseAsioBufferRequest(Request, RequestBytes, m_pAsio->AsioChannelTotal(client->SampleMode),
                                           &pairCount, &periodFrames, &pairs);
  if (!NT_SUCCESS(status)) return status;
  const ULONG endpoints = m_pAsio->AsioEndpointCount();
  if (!endpoints || *Size < ULONGLONG{8} * endpoints) return STATUS_INVALID_PARAMETER;

  const AsioBufferSettings settings = {client->SampleMode, client->SampleRate, client->SampleType, periodFrames};
  status = m_pAsio->CreateRings(settings, pairs, pairCount);
  if (!NT_SUCCESS(status)) return status;
  status = m_pAsio->OpenAsioStreams();
  if (!NT_SUCCESS(status)) {
    m_pAsio->FreeRings();
    return status;
  }
  // One 8-byte user address per ASIO endpoint, in engine order.
  auto* out = static_cast<PUCHAR>(Addresses);
  for (ULONG i = 0, n = 0; i < m_pAsio->ChannelCount() && n < endpoints; ++i) {
    if (!m_pAsio->Channel(i).Asio) continue;
    const ULONGLONG address = reinterpret_cast<ULONG_PTR>(m_pAsio->Channel(i).UserAddress);
    RtlCopyMemory(out + 8 * n++, &address, 8);
  }
  *Size = 8 * endpoints;
  m_pAsioOwner = client;
  m_nAsioInUse = 1;
  client->State = 1;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbAudioDevice::DisposeBuffers(PFILE_OBJECT File) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioClient(File);
  if (!client || client != m_pAsioOwner) return STATUS_INVALID_PARAMETER;
  // Running streams still copy into the rings: they stop, and unregister, before any
  // ring is freed. The period event the client handed in with Start goes with them.
  if (m_bAsioStreaming) StopAsioStreaming();
  m_bAsioSuspendedByPower = false;
  ReleaseAsioPeriodEvent(client);
  CloseAsioStreams();
  FreeAsioRings();
  client->State = 0;
  m_pAsioOwner = nullptr;
  m_nAsioInUse = 0;
  return STATUS_SUCCESS;
}

// Drops the client's period event: the completions stop signalling it first.
void CUsbAudioDevice::ReleaseAsioPeriodEvent(AsioClient* Client) {
  if (!Client->PeriodEvent) return;
  if (m_pAsio && m_pAsio->PeriodEvent() == Client->PeriodEvent) m_pAsio->TakePeriodEvent();
  ObDereferenceObject(Client->PeriodEvent);
  Client->PeriodEvent = nullptr;
}

// --- Streaming of the rings, through the device's ASIO streams.

NTSTATUS CUsbAudioDevice::StartAsioStreaming() {
  if (!m_pAsio) return STATUS_INVALID_PARAMETER;
  const NTSTATUS status = m_pAsio->StartAsioStreaming();
  if (NT_SUCCESS(status)) m_bAsioStreaming = true;
  return status;
}

NTSTATUS CUsbAudioDevice::StopAsioStreaming() {
  m_bAsioStreaming = false;
  return m_pAsio ? m_pAsio->StopAsioStreaming() : STATUS_SUCCESS;
}

void CUsbAudioDevice::CloseAsioStreams() {
  if (m_pAsio) m_pAsio->CloseAsioStreams();
}

void CUsbAudioDevice::FreeAsioRings() {
  if (m_pAsio) m_pAsio->FreeRings();
}

void CUsbAudioDevice::SilenceAsioRings(ULONG) {
  if (m_pAsio) m_pAsio->SilenceRings();
}

void CUsbAudioDevice::ResetAsioChannels(PKEVENT PeriodEvent) {
  if (m_pAsio) m_pAsio->ResetAsioChannels(PeriodEvent);
}

}  // namespace adapter
