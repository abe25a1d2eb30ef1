// The ASIO client's view of the device: its name, its channels and their names, and the
// buffers it streams through. The rings and the streams behind CreateBuffers, Start and
// Stop are the ASIO streaming side's; until it exists CreateBuffers makes its checks and
// then answers STATUS_NOT_SUPPORTED, so no client ever owns buffers.
#include "adapter/usb_audio_device.h"

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
  if (!FindAsioClient(File) || !Size) return STATUS_INVALID_PARAMETER;
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
  AsioClient* client = FindAsioClient(File);
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
  AsioClient* client = FindAsioClient(File);
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
  AsioClient* client = FindAsioClient(File);
  if (!client || !Request || !Addresses || !Size || !*Size) return STATUS_INVALID_PARAMETER;
  // The pairs the request names must lie inside it.
  if (RequestBytes < kAsioCreateHeaderBytes) return STATUS_INVALID_PARAMETER;
  const ULONG pairs = Read32(static_cast<const UCHAR*>(Request) + 4);
  if (pairs > (RequestBytes - kAsioCreateHeaderBytes) / kAsioCreatePairBytes) return STATUS_INVALID_PARAMETER;
  bool madeOwner = false;
  if (!m_pAsioOwner) {
    m_pAsioOwner = client;
    m_nAsioInUse = 1;
    madeOwner = true;
  }
  if (m_pAsioOwner != client) return STATUS_INVALID_PARAMETER;
  // The client's rate must fit its mode. Past its checks the request finds no rings to
  // make yet: it is not supported, and an owner it made is undone.
  const bool dsd = client->SampleMode == kAsioModeDsd;
  const bool fits = dsd ? client->SampleRate >= kAsioDsdMinRate : client->SampleRate < kAsioDsdMinRate;
  const NTSTATUS status = fits ? STATUS_NOT_SUPPORTED : STATUS_INVALID_PARAMETER;
  if (madeOwner) {
    m_pAsioOwner = nullptr;
    m_nAsioInUse = 0;
  }
  return status;
}

STDMETHODIMP CUsbAudioDevice::DisposeBuffers(PFILE_OBJECT File) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioClient(File);
  if (!client || client != m_pAsioOwner) return STATUS_INVALID_PARAMETER;
  CloseAsioStreams();
  FreeAsioRings();
  client->State = 0;
  m_pAsioOwner = nullptr;
  m_nAsioInUse = 0;
  return STATUS_SUCCESS;
}

// --- Streaming of the rings. No rings exist yet, so there is nothing to start, stop,
// close, free or silence; the period event is still handed over as streaming expects.

NTSTATUS CUsbAudioDevice::StartAsioStreaming() { return STATUS_NOT_SUPPORTED; }

NTSTATUS CUsbAudioDevice::StopAsioStreaming() {
  m_bAsioStreaming = false;
  return STATUS_SUCCESS;
}

void CUsbAudioDevice::CloseAsioStreams() {}

void CUsbAudioDevice::FreeAsioRings() {}

void CUsbAudioDevice::SilenceAsioRings(ULONG) {}

void CUsbAudioDevice::ResetAsioChannels(PKEVENT PeriodEvent) {
  KIRQL irql;
  KeAcquireSpinLock(&m_AsioLock, &irql);
  m_pAsioPeriodEvent = PeriodEvent;
  KeReleaseSpinLock(&m_AsioLock, irql);
}

}  // namespace adapter
