// The wave filter's description: the data ranges built from the engine's formats, the
// fixed two-pin, one-node descriptor with its one property, and the data-range
// intersection against the engine's formats.
#include <cstring>

#include "adapter/capability_record.h"
#include "filters/miniport_wave_cyclic.h"
#include "filters/wave_cyclic_stream.h"
#include "filters/wave_format_check.h"

namespace filters {
namespace {

// The attribute list every range carries: the signal-processing mode attribute.
const KSATTRIBUTE kModeAttribute = {sizeof(KSATTRIBUTE), 0, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE};
PKSATTRIBUTE const kModeAttributes[] = {const_cast<PKSATTRIBUTE>(&kModeAttribute)};
const KSATTRIBUTE_LIST kAttributeList = {1, const_cast<PKSATTRIBUTE*>(kModeAttributes)};

const KSPIN_INTERFACE kStreamingInterface = {{KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0}};

const PCPROPERTY_ITEM kFilterProperties[] = {
    {&KSPROPSETID_WaveDeviceExtension, KSPROPERTY_WAVE_CAPABILITY_RECORD, PCPROPERTY_ITEM_FLAG_GET,
     CMiniportWaveCyclic::PropertyHandler},
};

constexpr ULONG kCategoryCount = 3;
constexpr ULONG kBridgeRangeSize = sizeof(KSDATARANGE);

template <class T>
T* AllocPaged(ULONG count) {
  auto* p = static_cast<T*>(ExAllocatePoolWithTag(PagedPool, sizeof(T) * count, kWavePoolTag));
  if (p) RtlZeroMemory(p, sizeof(T) * count);
  return p;
}

void FreeIf(PVOID p) {
  if (p) ExFreePoolWithTag(p, kWavePoolTag);
}

}  // namespace

NTSTATUS CMiniportWaveCyclic::BuildDataRanges() {
  const ULONG count = m_pEngine->GetFormatCount();
  if (count == 0) return STATUS_INSUFFICIENT_RESOURCES;
  // At most one range per format; the final array holds only those made.
  auto* work = static_cast<KSDATARANGE_AUDIO*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(KSDATARANGE_AUDIO) * count, kWavePoolTag));
  if (!work) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG ranges = 0;
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
    WAVEFORMATEXTENSIBLE format;
    status = m_pEngine->GetFormat(i, &format);
    if (!NT_SUCCESS(status)) break;
    if (IsEqualGUID(format.SubFormat, KSDATAFORMAT_SUBTYPE_VENDOR_E7A)) continue;
    // Offer nothing a stream could not open: its buffer would exceed what the channel allocates.
    if (CMiniportWaveCyclicStream::BufferBytesFor(format) > kMaximumCyclicBufferBytes) continue;
    KSDATARANGE_AUDIO* range = nullptr;
    for (ULONG r = 0; r < ranges; ++r)
      if (IsEqualGUID(work[r].DataRange.SubFormat, format.SubFormat)) range = &work[r];
    const ULONG bits = format.Samples.wValidBitsPerSample;
    if (range) {
      if (format.Format.nSamplesPerSec > range->MaximumSampleFrequency)
        range->MaximumSampleFrequency = format.Format.nSamplesPerSec;
      if (format.Format.nSamplesPerSec < range->MinimumSampleFrequency)
        range->MinimumSampleFrequency = format.Format.nSamplesPerSec;
      if (bits > range->MaximumBitsPerSample) range->MaximumBitsPerSample = bits;
      if (bits < range->MinimumBitsPerSample) range->MinimumBitsPerSample = bits;
      if (format.Format.nChannels > range->MaximumChannels) range->MaximumChannels = format.Format.nChannels;
      continue;
    }
    range = &work[ranges++];
    RtlZeroMemory(range, sizeof *range);
    range->DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range->DataRange.Flags = KSDATARANGE_ATTRIBUTES;
    range->DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range->DataRange.SubFormat = format.SubFormat;
    range->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range->MaximumChannels = format.Format.nChannels;
    range->MinimumBitsPerSample = range->MaximumBitsPerSample = bits;
    range->MinimumSampleFrequency = range->MaximumSampleFrequency = format.Format.nSamplesPerSec;
  }
  ULONG pcm = ranges;
  for (ULONG r = 0; r < ranges; ++r)
    if (IsEqualGUID(work[r].DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) pcm = r;
  if (NT_SUCCESS(status) && pcm == ranges) status = STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status)) {
    m_pDataRanges = AllocPaged<KSDATARANGE_AUDIO>(ranges);
    m_ppDataRangeList = AllocPaged<PKSDATARANGE>(ranges * 2);
    if (!m_pDataRanges || !m_ppDataRangeList) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) {
    std::memcpy(m_pDataRanges, work, sizeof(KSDATARANGE_AUDIO) * ranges);
    // PCM is always the first range.
    if (pcm != 0) {
      KSDATARANGE_AUDIO first = m_pDataRanges[0];
      m_pDataRanges[0] = m_pDataRanges[pcm];
      m_pDataRanges[pcm] = first;
    }
    m_nDataRangeCount = ranges;
    for (ULONG r = 0; r < ranges; ++r) {
      m_ppDataRangeList[2 * r] = &m_pDataRanges[r].DataRange;
      m_ppDataRangeList[2 * r + 1] = reinterpret_cast<PKSDATARANGE>(const_cast<KSATTRIBUTE_LIST*>(&kAttributeList));
    }
    m_nDataRangeListCount = ranges * 2;
  }
  ExFreePoolWithTag(work, kWavePoolTag);
  return status;
}

NTSTATUS CMiniportWaveCyclic::BuildDescriptor() {
  m_pDescriptor = AllocPaged<PCFILTER_DESCRIPTOR>(1);
  m_pPins = AllocPaged<PCPIN_DESCRIPTOR>(2);
  m_pNode = AllocPaged<PCNODE_DESCRIPTOR>(1);
  m_pConnections = AllocPaged<PCCONNECTION_DESCRIPTOR>(2);
  m_pCategories = AllocPaged<GUID>(kCategoryCount);
  m_pBridgeRange = AllocPaged<KSDATARANGE>(1);
  m_pAutomation = AllocPaged<PCAUTOMATION_TABLE>(1);
  if (!m_pDescriptor || !m_pPins || !m_pNode || !m_pConnections || !m_pCategories || !m_pBridgeRange ||
      !m_pAutomation)
    return STATUS_INSUFFICIENT_RESOURCES;
  const bool capture = m_pEngine->GetDirection() == adapter::STREAM_DIRECTION_CAPTURE;

  m_pAutomation->PropertyItemSize = sizeof(PCPROPERTY_ITEM);
  m_pAutomation->PropertyCount = sizeof(kFilterProperties) / sizeof(kFilterProperties[0]);
  m_pAutomation->Properties = kFilterProperties;
  m_pAutomation->MethodItemSize = sizeof(PCMETHOD_ITEM);
  m_pAutomation->EventItemSize = sizeof(PCEVENT_ITEM);

  m_pBridgeRange->FormatSize = kBridgeRangeSize;
  m_pBridgeRange->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  m_pBridgeRange->SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
  m_pBridgeRange->Specifier = KSDATAFORMAT_SPECIFIER_NONE;

  PCPIN_DESCRIPTOR& streaming = m_pPins[kWaveStreamingPin];
  streaming.MaxGlobalInstanceCount = streaming.MaxFilterInstanceCount = streaming.MinFilterInstanceCount = 1;
  streaming.KsPinDescriptor.InterfacesCount = 1;
  streaming.KsPinDescriptor.Interfaces = &kStreamingInterface;
  streaming.KsPinDescriptor.DataRangesCount = m_nDataRangeListCount;
  streaming.KsPinDescriptor.DataRanges = m_ppDataRangeList;
  streaming.KsPinDescriptor.DataFlow = capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
  streaming.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
  streaming.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;

  PCPIN_DESCRIPTOR& bridge = m_pPins[kWaveBridgePin];
  bridge.KsPinDescriptor.DataRangesCount = 1;
  bridge.KsPinDescriptor.DataRanges = &m_pBridgeRange;
  bridge.KsPinDescriptor.DataFlow = capture ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
  bridge.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
  bridge.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;

  m_pNode->Type = capture ? &KSNODETYPE_ADC : &KSNODETYPE_DAC;

  if (capture) {
    m_pConnections[0] = {PCFILTER_NODE, kWaveBridgePin, 0, 1};
    m_pConnections[1] = {0, 0, PCFILTER_NODE, kWaveStreamingPin};
  } else {
    m_pConnections[0] = {PCFILTER_NODE, kWaveStreamingPin, 0, 1};
    m_pConnections[1] = {0, 0, PCFILTER_NODE, kWaveBridgePin};
  }
  m_pCategories[0] = KSCATEGORY_AUDIO;
  m_pCategories[1] = capture ? KSCATEGORY_CAPTURE : KSCATEGORY_RENDER;
  m_pCategories[2] = KSCATEGORY_WAVE_PRIVATE_ENUM;

  m_pDescriptor->Version = 0;
  m_pDescriptor->AutomationTable = m_pAutomation;
  m_pDescriptor->PinSize = sizeof(PCPIN_DESCRIPTOR);
  m_pDescriptor->PinCount = 2;
  m_pDescriptor->Pins = m_pPins;
  m_pDescriptor->NodeSize = sizeof(PCNODE_DESCRIPTOR);
  m_pDescriptor->NodeCount = 1;
  m_pDescriptor->Nodes = m_pNode;
  m_pDescriptor->ConnectionCount = 2;
  m_pDescriptor->Connections = m_pConnections;
  m_pDescriptor->CategoryCount = kCategoryCount;
  m_pDescriptor->Categories = m_pCategories;
  return STATUS_SUCCESS;
}

void CMiniportWaveCyclic::FreeDescriptor() {
  FreeIf(m_pDescriptor);
  FreeIf(m_pPins);
  FreeIf(m_pNode);
  FreeIf(m_pConnections);
  FreeIf(m_pCategories);
  FreeIf(m_pBridgeRange);
  FreeIf(m_pAutomation);
  FreeIf(m_pDataRanges);
  FreeIf(m_ppDataRangeList);
  m_pDescriptor = nullptr;
  m_pPins = nullptr;
  m_pNode = nullptr;
  m_pConnections = nullptr;
  m_pCategories = nullptr;
  m_pBridgeRange = nullptr;
  m_pAutomation = nullptr;
  m_pDataRanges = nullptr;
  m_ppDataRangeList = nullptr;
  m_nDataRangeCount = 0;
  m_nDataRangeListCount = 0;
}

NTSTATUS CMiniportWaveCyclic::PropertyHandler(PPCPROPERTY_REQUEST Request) {
  if (!Request || !Request->PropertyItem || !Request->MajorTarget) return STATUS_INVALID_PARAMETER;
  if (!IsEqualGUID(*Request->PropertyItem->Set, KSPROPSETID_WaveDeviceExtension) ||
      Request->PropertyItem->Id != KSPROPERTY_WAVE_CAPABILITY_RECORD || Request->Verb != KSPROPERTY_TYPE_GET)
    return STATUS_INVALID_DEVICE_REQUEST;
  PVOID object = nullptr;
  NTSTATUS status = Request->MajorTarget->QueryInterface(IID_IMiniportWaveCyclic, &object);
  if (!NT_SUCCESS(status) || !object) return STATUS_INVALID_DEVICE_REQUEST;
  auto* self = static_cast<CMiniportWaveCyclic*>(static_cast<IMiniportWaveCyclic*>(object));
  status = self->CapabilityRecord(Request->Value, Request->ValueSize);
  if (NT_SUCCESS(status)) Request->ValueSize = sizeof(adapter::EndpointCapabilityRecord);
  static_cast<IMiniportWaveCyclic*>(object)->Release();
  return status;
}

NTSTATUS CMiniportWaveCyclic::CapabilityRecord(PVOID Value, ULONG ValueSize) {
  if (!Value || ValueSize < sizeof(adapter::EndpointCapabilityRecord)) return STATUS_INVALID_DEVICE_REQUEST;
  if (!m_pAdapter) return STATUS_INVALID_DEVICE_STATE;
  return m_pAdapter->GetEngineCapabilityRecord(m_nEngineIndex, static_cast<adapter::EndpointCapabilityRecord*>(Value));
}

bool CMiniportWaveCyclic::EngineHasSubFormat(const GUID& SubFormat) {
  const ULONG count = m_pEngine ? m_pEngine->GetFormatCount() : 0;
  for (ULONG i = 0; i < count; ++i) {
    WAVEFORMATEXTENSIBLE format;
    if (NT_SUCCESS(m_pEngine->GetFormat(i, &format)) && IsEqualGUID(format.SubFormat, SubFormat)) return true;
  }
  return false;
}

NTSTATUS CMiniportWaveCyclic::MatchEngineFormat(WAVEFORMATEXTENSIBLE* Format) {
  const ULONG count = m_pEngine ? m_pEngine->GetFormatCount() : 0;
  for (ULONG i = 0; i < count; ++i) {
    WAVEFORMATEXTENSIBLE entry;
    if (!NT_SUCCESS(m_pEngine->GetFormat(i, &entry))) continue;
    if (entry.Format.nChannels == Format->Format.nChannels &&
        entry.Format.nSamplesPerSec == Format->Format.nSamplesPerSec &&
        entry.Samples.wValidBitsPerSample == Format->Samples.wValidBitsPerSample &&
        IsEqualGUID(entry.SubFormat, Format->SubFormat)) {
      *Format = entry;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_NO_MATCH;
}

NTSTATUS CMiniportWaveCyclic::BestEngineFormatInside(const KSDATARANGE_AUDIO& A, const KSDATARANGE_AUDIO& B,
                                                     const GUID& SubFormat, WAVEFORMATEXTENSIBLE* Format) {
  const auto larger = [](ULONG x, ULONG y) { return x > y ? x : y; };
  const auto smaller = [](ULONG x, ULONG y) { return x < y ? x : y; };
  const ULONG minRate = larger(A.MinimumSampleFrequency, B.MinimumSampleFrequency);
  const ULONG maxRate = smaller(A.MaximumSampleFrequency, B.MaximumSampleFrequency);
  const ULONG minBits = larger(A.MinimumBitsPerSample, B.MinimumBitsPerSample);
  const ULONG maxBits = smaller(A.MaximumBitsPerSample, B.MaximumBitsPerSample);
  const ULONG maxChannels = smaller(A.MaximumChannels, B.MaximumChannels);
  const ULONG count = m_pEngine ? m_pEngine->GetFormatCount() : 0;
  bool found = false;
  WAVEFORMATEXTENSIBLE best{};
  for (ULONG i = 0; i < count; ++i) {
    WAVEFORMATEXTENSIBLE entry;
    if (!NT_SUCCESS(m_pEngine->GetFormat(i, &entry)) || !IsEqualGUID(entry.SubFormat, SubFormat)) continue;
    const ULONG rate = entry.Format.nSamplesPerSec;
    const ULONG bits = entry.Samples.wValidBitsPerSample;
    if (rate < minRate || rate > maxRate || bits < minBits || bits > maxBits || entry.Format.nChannels > maxChannels)
      continue;
    const bool better =
        !found || entry.Format.nChannels > best.Format.nChannels ||
        (entry.Format.nChannels == best.Format.nChannels &&
         (rate > best.Format.nSamplesPerSec ||
          (rate == best.Format.nSamplesPerSec && bits > best.Samples.wValidBitsPerSample)));
    if (better) best = entry;
    found = true;
  }
  if (!found) return STATUS_NO_MATCH;
  *Format = best;
  return STATUS_SUCCESS;
}

STDMETHODIMP CMiniportWaveCyclic::DataRangeIntersection(ULONG, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                                        ULONG OutputBufferLength, PVOID ResultantFormat,
                                                        PULONG ResultantFormatLength) {
  if (!DataRange || !MatchingDataRange || !ResultantFormatLength) return STATUS_INVALID_PARAMETER;
  if (!IsEqualGUID(DataRange->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) || !EngineHasSubFormat(DataRange->SubFormat))
    return STATUS_NO_MATCH;
  if (IsEqualGUID(DataRange->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND)) return STATUS_NOT_SUPPORTED;
  const bool wildcard = IsEqualGUID(DataRange->Specifier, KSDATAFORMAT_SPECIFIER_WILDCARD);
  if (OutputBufferLength == 0) {
    *ResultantFormatLength = kIntersectionBytes;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (OutputBufferLength < kIntersectionBytes) return STATUS_BUFFER_TOO_SMALL;
  // Our own ranges are audio ranges; anything shorter is not one of ours.
  if (MatchingDataRange->FormatSize < sizeof(KSDATARANGE_AUDIO)) return STATUS_NO_MATCH;
  KSDATARANGE_AUDIO mine;
  std::memcpy(&mine, MatchingDataRange, sizeof mine);

  KSDATAFORMAT_WAVEFORMATEXTENSIBLE result{};
  if (wildcard) {
    result.DataFormat = mine.DataRange;
    WAVEFORMATEXTENSIBLE& w = result.WaveFormatExt;
    w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    w.Format.nChannels = static_cast<WORD>(mine.MaximumChannels);
    w.Format.nSamplesPerSec = mine.MaximumSampleFrequency;
    w.Format.wBitsPerSample = static_cast<WORD>(mine.MaximumBitsPerSample);
    w.Samples.wValidBitsPerSample = static_cast<WORD>(mine.MaximumBitsPerSample);
    w.Format.nBlockAlign = static_cast<WORD>(w.Format.nChannels * w.Format.wBitsPerSample / 8);
    w.Format.nAvgBytesPerSec = w.Format.nBlockAlign * w.Format.nSamplesPerSec;
    w.Format.cbSize = kExtensibleExtraBytes;
    w.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    // The range's maxima need not be one engine format; then the best one inside the range.
    NTSTATUS status = MatchEngineFormat(&w);
    if (!NT_SUCCESS(status)) status = BestEngineFormatInside(mine, mine, KSDATAFORMAT_SUBTYPE_PCM, &w);
    if (!NT_SUCCESS(status)) return status;
    result.DataFormat.SampleSize = 0;
  } else {
    if (DataRange->FormatSize < sizeof(KSDATARANGE_AUDIO)) return STATUS_INVALID_PARAMETER;
    KSDATARANGE_AUDIO client;
    std::memcpy(&client, DataRange, sizeof client);
    if (client.MaximumSampleFrequency < mine.MinimumSampleFrequency ||
        client.MinimumSampleFrequency > mine.MaximumSampleFrequency ||
        client.MinimumBitsPerSample > mine.MaximumBitsPerSample ||
        client.MaximumBitsPerSample < mine.MinimumBitsPerSample)
      return STATUS_NO_MATCH;
    if (!ResultantFormat) return STATUS_INVALID_PARAMETER;
    result.DataFormat = client.DataRange;
    result.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    WAVEFORMATEXTENSIBLE& w = result.WaveFormatExt;
    w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    w.Format.nChannels = static_cast<WORD>(client.MaximumChannels < mine.MaximumChannels ? client.MaximumChannels
                                                                                          : mine.MaximumChannels);
    w.Format.nSamplesPerSec = client.MaximumSampleFrequency < mine.MaximumSampleFrequency
                                  ? client.MaximumSampleFrequency
                                  : mine.MaximumSampleFrequency;
    w.Samples.wValidBitsPerSample = static_cast<WORD>(
        client.MaximumBitsPerSample < mine.MaximumBitsPerSample ? client.MaximumBitsPerSample : mine.MaximumBitsPerSample);
    w.SubFormat = client.DataRange.SubFormat;
    // The smaller maxima need not be one engine format; then the best one inside both ranges.
    NTSTATUS status = MatchEngineFormat(&w);
    if (!NT_SUCCESS(status)) status = BestEngineFormatInside(client, mine, client.DataRange.SubFormat, &w);
    if (!NT_SUCCESS(status)) return status;
    result.DataFormat.SampleSize = w.Format.nBlockAlign;
  }
  if (!ResultantFormat) return STATUS_INVALID_PARAMETER;
  result.DataFormat.FormatSize = kIntersectionBytes;
  // The result is a format without an attribute list after it, so it must not claim one.
  result.DataFormat.Flags &= ~KSDATAFORMAT_ATTRIBUTES;
  std::memcpy(ResultantFormat, &result, kIntersectionBytes);
  *ResultantFormatLength = kIntersectionBytes;
  return STATUS_SUCCESS;
}

}  // namespace filters
