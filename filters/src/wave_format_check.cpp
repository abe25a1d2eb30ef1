#include "filters/wave_format_check.h"

#include <cstring>

namespace filters {
namespace {

constexpr ULONG Align8(ULONG n) { return (n + 7u) & ~7u; }

struct Layout {
  ULONG formatSize;
  bool attributes;
  ULONG waveOffset;
};
// The accepted layouts; an extensible format is the only one with room after its
// WAVEFORMATEX.
constexpr Layout kLayouts[] = {
    {kWaveFormatExSize, false, kWaveFormatOffset},
    {kDsoundFormatSize, false, kDsoundWaveFormatOffset},
    {kExtensibleFormatSize, false, kWaveFormatOffset},
    {kWaveFormatExAttributedSize, true, kWaveFormatOffset},
    {kDsoundAttributedSize, true, kDsoundWaveFormatOffset},
    {kExtensibleFormatSize, true, kWaveFormatOffset},
};

}  // namespace

NTSTATUS ReadWaveFormat(const KSDATAFORMAT* DataFormat, WAVEFORMATEXTENSIBLE* Format) {
  if (!DataFormat || !Format) return STATUS_INVALID_PARAMETER;
  RtlZeroMemory(Format, sizeof *Format);
  if (DataFormat->FormatSize < kWaveFormatExSize || !IsEqualGUID(DataFormat->MajorFormat, KSDATAFORMAT_TYPE_AUDIO))
    return STATUS_INVALID_PARAMETER;
  const bool attributes = (DataFormat->Flags & KSDATAFORMAT_ATTRIBUTES) != 0;
  const Layout* layout = nullptr;
  for (const Layout& l : kLayouts)
    if (l.formatSize == DataFormat->FormatSize && l.attributes == attributes) layout = &l;
  if (!layout) return STATUS_INVALID_PARAMETER;

  const auto* bytes = reinterpret_cast<const UCHAR*>(DataFormat);
  WAVEFORMATEX header;
  std::memcpy(&header, bytes + layout->waveOffset, sizeof header);
  // Only the extensible layout has room for extra bytes, and at most the 22 it defines.
  const bool roomy = layout->formatSize == kExtensibleFormatSize;
  if (header.cbSize > (roomy ? kExtensibleExtraBytes : 0)) return STATUS_INVALID_PARAMETER;
  const ULONG copy = sizeof(WAVEFORMATEX) + header.cbSize;
  if (layout->waveOffset + copy > DataFormat->FormatSize) return STATUS_INVALID_PARAMETER;
  std::memcpy(Format, bytes + layout->waveOffset, copy);
  return STATUS_SUCCESS;
}

NTSTATUS ValidateWaveFormat(const KSDATAFORMAT* DataFormat, adapter::IStreamEngine* Engine,
                            WAVEFORMATEXTENSIBLE* Format) {
  if (!Engine) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = ReadWaveFormat(DataFormat, Format);
  if (!NT_SUCCESS(status)) return status;
  status = Engine->FindFormat(&Format->Format);
  if (!NT_SUCCESS(status)) return STATUS_INVALID_PARAMETER;
  if (Format->Format.nBlockAlign == 0 || Format->Format.nAvgBytesPerSec < kMinBytesPerSecond ||
      Format->Format.nSamplesPerSec == 0 || Format->Format.nChannels == 0)
    return STATUS_INVALID_PARAMETER;
  return status;
}

WAVEFORMATEXTENSIBLE NormaliseWaveFormat(const WAVEFORMATEXTENSIBLE& Format, adapter::IStreamEngine* Engine) {
  const WORD tag = Format.Format.wFormatTag;
  if (tag == WAVE_FORMAT_EXTENSIBLE || !Engine) return Format;
  const ULONG count = Engine->GetFormatCount();
  for (ULONG i = 0; i < count; ++i) {
    WAVEFORMATEXTENSIBLE entry;
    if (!NT_SUCCESS(Engine->GetFormat(i, &entry))) continue;
    if (entry.Format.nChannels == Format.Format.nChannels && entry.Format.nSamplesPerSec == Format.Format.nSamplesPerSec &&
        entry.Format.wBitsPerSample == Format.Format.wBitsPerSample && static_cast<WORD>(entry.SubFormat.Data1) == tag)
      return entry;
  }
  return Format;
}

NTSTATUS ReadSignalProcessingMode(const KSDATAFORMAT* DataFormat, GUID* Mode) {
  if (!DataFormat || !Mode) return STATUS_INVALID_PARAMETER;
  *Mode = AUDIO_SIGNALPROCESSINGMODE_RAW;
  if (!(DataFormat->Flags & KSDATAFORMAT_ATTRIBUTES)) return STATUS_SUCCESS;
  const auto* list = reinterpret_cast<const UCHAR*>(DataFormat) + Align8(DataFormat->FormatSize);
  KSMULTIPLE_ITEM header;
  std::memcpy(&header, list, sizeof header);
  if (header.Size < sizeof header) return STATUS_INVALID_PARAMETER;
  ULONG at = sizeof header;
  for (ULONG i = 0; i < header.Count; ++i) {
    if (at > header.Size || header.Size - at < sizeof(KSATTRIBUTE)) return STATUS_INVALID_PARAMETER;
    KSATTRIBUTE item;
    std::memcpy(&item, list + at, sizeof item);
    if (item.Size < sizeof item) return STATUS_INVALID_PARAMETER;
    if (!IsEqualGUID(item.Attribute, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE)) return STATUS_NOT_SUPPORTED;
    if (item.Size != sizeof(KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE) ||
        header.Size - at < sizeof(KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE))
      return STATUS_INVALID_PARAMETER;
    KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE mode;
    std::memcpy(&mode, list + at, sizeof mode);
    *Mode = mode.SignalProcessingMode;
    at += Align8(item.Size);
  }
  return STATUS_SUCCESS;
}

}  // namespace filters
