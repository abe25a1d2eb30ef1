// What an ASIO client negotiates: sample types, latency, rate and mode, checked against
// the formats of the ASIO-capable endpoints; the buffer arithmetic; the defaults kept in
// "Settings" and the notification of the other clients when one changes them.
#include "adapter/usb_audio_device.h"

#include "asio_guard.h"
#include "adapter/capability_record.h"
#include "adapter/stream_engine.h"
#include "portcls/ksmedia.h"

namespace adapter {
namespace {

constexpr ULONG kPcmRateUnit = 1000;
constexpr ULONG kDsdBase44 = 44100;
constexpr ULONG kDsdBase48 = 48000;
// A DSD rate below 64 x 44.1 kHz sizes its buffer as 64 x 44.1 kHz does (per ms).
constexpr ULONG kDsdLowFirstPerMs = 2816;
constexpr ULONG kDsdLowSecondPerMs = 5632;
// The sample types a client may be offered, in the order they are listed.
constexpr ULONG kTypeOrder[] = {16, 17, 24, 27, 18};

// Index into the latency table, kept inside it whatever was stored.
ULONG LatencyMs(ULONG index) { return kAsioLatencyMs[index < kAsioLatencyCount ? index : kAsioLatencyCount - 1]; }

bool IsSubFormat(const WAVEFORMATEXTENSIBLE& f, ULONG data1) {
  GUID g = KSDATAFORMAT_SUBTYPE_PCM;
  g.Data1 = data1;
  return IsEqualGUID(f.SubFormat, g);
}

}  // namespace

ULONG AsioUnitsPerMs(ULONG Mode, ULONG Rate) {
  const ULONG units = Mode == kAsioModeDsd ? Rate / 64000 : Rate / kPcmRateUnit;
  return units ? units : 1;
}

void AsioBufferLength(ULONG Mode, ULONG Rate, ULONG Index, ULONG Lengths[2]) {
  const ULONG l = LatencyMs(Index);
  if (Mode != kAsioModeDsd) {
    Lengths[0] = l * (Rate / kPcmRateUnit);
    Lengths[1] = 2 * Lengths[0];
  } else if (Rate >= kAsioDsdMinRate) {
    if (Rate % kDsdBase44 == 0) {
      Lengths[0] = l * (Rate / kDsdBase44) * 44;
      Lengths[1] = l * (Rate / kDsdBase44) * 88;
    } else {
      Lengths[0] = l * (Rate / kDsdBase48) * 48;
      Lengths[1] = l * (Rate / kDsdBase48) * 96;
    }
  } else {
    Lengths[0] = l * kDsdLowFirstPerMs;
    Lengths[1] = l * kDsdLowSecondPerMs;
  }
}

NTSTATUS AsioBufferSize(ULONG Mode, ULONG Rate, ULONG Index, ULONG Sizes[4]) {
  if (Mode != kAsioModeDsd) {
    const ULONG u = Rate / kPcmRateUnit;
    Sizes[0] = 2 * u;
    Sizes[1] = 50 * u;
    Sizes[2] = LatencyMs(Index) * u;
    Sizes[3] = 1;
    return STATUS_SUCCESS;
  }
  ULONG k, f;
  if (Rate < kAsioDsdMinRate) return STATUS_INVALID_PARAMETER;
  if (Rate % kDsdBase44 == 0) {
    k = Rate / kDsdBase44;
    f = 44;
  } else if (Rate % kDsdBase48 == 0) {
    k = Rate / kDsdBase48;
    f = 48;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  Sizes[0] = 4 * k * f;
  Sizes[1] = 50 * k * f;
  Sizes[2] = LatencyMs(Index < 1 ? 1 : Index) * k * f;
  Sizes[3] = k;
  return STATUS_SUCCESS;
}

ULONG AsioSampleTypeOf(const WAVEFORMATEXTENSIBLE& Format) {
  if (!IsSubFormat(Format, KSDATAFORMAT_SUBTYPE_PCM.Data1)) return 0;
  switch (Format.Format.wBitsPerSample) {
    case 16:
      return kAsioTypeInt16;
    case 24:
      return kAsioTypeInt24;
    case 32:
      if (Format.Samples.wValidBitsPerSample == 16) return kAsioTypeInt32In16;
      if (Format.Samples.wValidBitsPerSample == 24) return kAsioTypeInt32In24;
      return kAsioTypeInt32;
    default:
      return 0;
  }
}

bool AsioFormatHasMode(const WAVEFORMATEXTENSIBLE& Format, ULONG Mode) {
  if (Mode == kAsioModePcm) return IsSubFormat(Format, KSDATAFORMAT_SUBTYPE_PCM.Data1);
  if (Mode == kAsioModeDsd) return IsSubFormat(Format, kAsioDsdSubFormat);
  return false;
}

bool AsioFormatHasRate(const WAVEFORMATEXTENSIBLE& Format, ULONG Mode, ULONG Rate) {
  if (!AsioFormatHasMode(Format, Mode)) return false;
  if (Mode == kAsioModePcm) return Format.Format.nSamplesPerSec == Rate;
  const ULONG bits = Format.Format.wBitsPerSample;
  if (bits == 16) return Format.Format.nSamplesPerSec == Rate / 16;
  // Each sample carries `bits` one-bit samples of a channel pair: no bits, or fewer than
  // two channels, is no DSD layout.
  const ULONG pairs = Format.Format.nChannels / 2u;
  if (bits == 0 || pairs == 0) return false;
  return Format.Format.nSamplesPerSec == Rate / bits / pairs;
}

// --- The ASIO-capable engines, in engine order.

IStreamEngine* CUsbAudioDevice::AsioEngine(ULONG Nth, PULONG EngineIndex) {
  const ULONG engines = GetEngineCount();
  ULONG seen = 0;
  for (ULONG i = 0; i < engines; ++i) {
    EndpointCapabilityRecord record{};
    if (!NT_SUCCESS(GetEngineCapabilityRecord(i, &record)) || !(record.FeatureFlags & ENDPOINT_FEATURE_ASIO)) continue;
    if (seen++ != Nth) continue;
    IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(GetEngine(i, &engine))) return nullptr;
    if (EngineIndex) *EngineIndex = i;
    return engine;
  }
  return nullptr;
}

ULONG CUsbAudioDevice::AsioEngineCount() {
  ULONG n = 0;
  while (AsioEngine(n)) ++n;
  return n;
}

// Every ASIO endpoint must offer the mode (and the rate, when given).
NTSTATUS CUsbAudioDevice::CheckAsioFormats(ULONG Mode, const ULONG* Rate) {
  IStreamEngine* engine = AsioEngine(0);
  if (!engine) return STATUS_INVALID_PARAMETER;
  for (ULONG n = 1; engine; engine = AsioEngine(n++)) {
    bool found = false;
    const ULONG count = engine->GetFormatCount();
    for (ULONG i = 0; i < count && !found; ++i) {
      WAVEFORMATEXTENSIBLE f{};
      if (!NT_SUCCESS(engine->GetFormat(i, &f))) continue;
      found = Rate ? AsioFormatHasRate(f, Mode, *Rate) : AsioFormatHasMode(f, Mode);
    }
    if (!found) return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

// --- Operations

STDMETHODIMP CUsbAudioDevice::GetInUse(PFILE_OBJECT File, PULONG InUse, PULONG Size) {
  AsioGuard guard(m_AsioPowerMutex);
  if (!FindAsioRequestClient(File) || !Size) return STATUS_INVALID_PARAMETER;
  const ULONG size = *Size;
  *Size = sizeof(ULONG);
  if (size == 0) return STATUS_BUFFER_OVERFLOW;
  if (size < sizeof(ULONG) || !InUse) return STATUS_BUFFER_TOO_SMALL;
  *InUse = m_nAsioInUse;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbAudioDevice::GetSampleTypes(PFILE_OBJECT File, PULONG Types, PULONG Size) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioRequestClient(File);
  if (!client || !Size) return STATUS_INVALID_PARAMETER;
  client->SampleType = m_nAsioSampleType;
  // The types every ASIO endpoint offers.
  ULONG offered = 0;
  bool any = false;
  for (ULONG n = 0; IStreamEngine* engine = AsioEngine(n); ++n) {
    ULONG mine = 0;
    const ULONG count = engine->GetFormatCount();
    for (ULONG i = 0; i < count; ++i) {
      WAVEFORMATEXTENSIBLE f{};
      if (NT_SUCCESS(engine->GetFormat(i, &f))) mine |= 1u << (AsioSampleTypeOf(f) & 31);
    }
    offered = any ? offered & mine : mine;
    any = true;
  }
  ULONG list[5], count = 0;
  for (ULONG t : kTypeOrder)
    if (offered & (1u << t)) list[count++] = t;
  const ULONG needed = 8 + 4 * count;
  if (!Types) {
    if (*Size) return STATUS_INVALID_PARAMETER;
    *Size = needed;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (*Size < needed) return STATUS_BUFFER_TOO_SMALL;
  Types[0] = client->SampleType;
  Types[1] = count;
  for (ULONG i = 0; i < count; ++i) Types[2 + i] = list[i];
  *Size = needed;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbAudioDevice::GetLatencyInfo(PFILE_OBJECT File, PULONG Info, PULONG Size) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioRequestClient(File);
  if (!client || !Size) return STATUS_INVALID_PARAMETER;
  client->LatencyIndex = m_nAsioLatencyIndex;
  if (!Info) {
    if (*Size) return STATUS_INVALID_PARAMETER;
    *Size = kAsioLatencyInfoBytes;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (*Size < kAsioLatencyInfoBytes) return STATUS_BUFFER_TOO_SMALL;
  Info[0] = client->LatencyIndex;
  Info[1] = kAsioLatencyCount;
  for (ULONG i = 0; i < kAsioLatencyCount; ++i) Info[2 + i] = kAsioLatencyMs[i];
  *Size = kAsioLatencyInfoBytes;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbAudioDevice::SetBitDepth(PFILE_OBJECT File, ULONG SampleType) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioRequestClient(File);
  // A type no query could answer is not stored.
  if (!client || !IsAsioSampleType(SampleType)) return STATUS_INVALID_PARAMETER;
  client->SampleType = SampleType;
  m_nAsioSampleType = SampleType;
  WriteAsioSetting(u"ASIOMLDataBitDepth", SampleType);
  NotifyAsioClients();
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbAudioDevice::SetLatency(PFILE_OBJECT File, ULONG Index) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioRequestClient(File);
  if (!client || Index > kAsioMaxLatencyIndex) return STATUS_INVALID_PARAMETER;
  client->LatencyIndex = Index;
  m_nAsioLatencyIndex = Index;
  WriteAsioSetting(u"ASIOMLDataLatency", Index);
  NotifyAsioClients();
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbAudioDevice::GetBufferLength(PFILE_OBJECT File, PULONG Lengths, PULONG Size) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioRequestClient(File);
  if (!client || !Size) return STATUS_INVALID_PARAMETER;
  client->LatencyIndex = m_nAsioLatencyIndex;
  if (!Lengths) {
    if (*Size) return STATUS_INVALID_PARAMETER;
    *Size = kAsioBufferLengthBytes;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (*Size < kAsioBufferLengthBytes) return STATUS_BUFFER_TOO_SMALL;
  AsioBufferLength(client->SampleMode, client->SampleRate, client->LatencyIndex, Lengths);
  *Size = kAsioBufferLengthBytes;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbAudioDevice::GetBufferSize(PFILE_OBJECT File, PULONG Sizes) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioRequestClient(File);
  if (!client || !Sizes) return STATUS_INVALID_PARAMETER;
  client->LatencyIndex = m_nAsioLatencyIndex;
  return AsioBufferSize(client->SampleMode, client->SampleRate, client->LatencyIndex, Sizes);
}

STDMETHODIMP CUsbAudioDevice::GetSampleRate(PFILE_OBJECT File, PULONG Rate) {
  AsioGuard guard(m_AsioPowerMutex);
  if (!FindAsioRequestClient(File) || !Rate) return STATUS_INVALID_PARAMETER;
  *Rate = m_nAsioSampleRate;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbAudioDevice::CanSampleRate(PFILE_OBJECT File, ULONG Rate) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioRequestClient(File);
  if (!client) return STATUS_INVALID_PARAMETER;
  return CheckAsioFormats(client->SampleMode, &Rate);
}

STDMETHODIMP CUsbAudioDevice::SetSampleRate(PFILE_OBJECT File, ULONG Rate) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioRequestClient(File);
  if (!client) return STATUS_INVALID_PARAMETER;
  // The rate must fit the mode; below 1 kHz a millisecond holds no frame to size by.
  const bool dsd = client->SampleMode == kAsioModeDsd;
  if (Rate < kAsioMinSampleRate || (dsd ? Rate < kAsioDsdMinRate : Rate >= kAsioDsdMinRate))
    return STATUS_INVALID_PARAMETER;
  const NTSTATUS status = CheckAsioFormats(client->SampleMode, &Rate);
  if (!NT_SUCCESS(status)) return status;
  if (client->State != 1) client->SampleRate = Rate;
  m_nAsioSampleRate = Rate;
  WriteAsioSetting(u"ASIOMLSampleRate", Rate);
  if (client->State == 1) NotifyAsioClients();
  return STATUS_SUCCESS;
}

STDMETHODIMP CUsbAudioDevice::CanSampleMode(PFILE_OBJECT File, ULONG Mode) {
  AsioGuard guard(m_AsioPowerMutex);
  if (!FindAsioRequestClient(File)) return STATUS_INVALID_PARAMETER;
  return CheckAsioFormats(Mode, nullptr);
}

STDMETHODIMP CUsbAudioDevice::SetSampleMode(PFILE_OBJECT File, ULONG Mode) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioRequestClient(File);
  if (!client) return STATUS_INVALID_PARAMETER;
  const NTSTATUS status = CheckAsioFormats(Mode, nullptr);
  if (NT_SUCCESS(status)) client->SampleMode = Mode;
  return status;
}

STDMETHODIMP CUsbAudioDevice::GetSampleMode(PFILE_OBJECT File, PULONG Mode) {
  AsioGuard guard(m_AsioPowerMutex);
  AsioClient* client = FindAsioRequestClient(File);
  if (!client || !Mode) return STATUS_INVALID_PARAMETER;
  *Mode = client->SampleMode;
  return STATUS_SUCCESS;
}

}  // namespace adapter
