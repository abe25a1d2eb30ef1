// Filter instances: property requests (miniport tables first, then the framework's pin,
// topology and signal-processing sets), data-range intersection, event enabling and pin
// creation.
#include <cstring>
#include <optional>
#include <vector>

#include "private.h"

namespace platform::portcls {
namespace {

constexpr ULONG Align8(ULONG n) { return (n + 7u) & ~7u; }

bool GuidMatches(const GUID& a, const GUID& b) {
  return IsEqualGUID(a, GUID_NULL) || IsEqualGUID(b, GUID_NULL) || IsEqualGUID(a, b);
}

bool RangeCompatible(const KSDATARANGE& a, const KSDATARANGE& b) {
  return GuidMatches(a.MajorFormat, b.MajorFormat) && GuidMatches(a.SubFormat, b.SubFormat) &&
         GuidMatches(a.Specifier, b.Specifier);
}

// Answers a GET whose value is a KSMULTIPLE_ITEM list, with the KS rules for sized
// lists: a buffer of a ULONG gets the list's total size, one of a KSMULTIPLE_ITEM gets
// the header (size and count); otherwise the usual size rules.
NTSTATUS AnswerList(const BYTE* list, ULONG size, void* value, ULONG valueSize, ULONG* returned) {
  if (size > valueSize && (valueSize == sizeof(ULONG) || valueSize == sizeof(KSMULTIPLE_ITEM))) {
    std::memcpy(value, list, valueSize);
    *returned = valueSize;
    return STATUS_SUCCESS;
  }
  return AnswerBytes(list, size, value, valueSize, returned);
}

// Builds a KSMULTIPLE_ITEM answer from equally sized items.
NTSTATUS AnswerItems(const void* items, ULONG count, ULONG itemSize, void* value, ULONG valueSize,
                     ULONG* returned) {
  std::vector<BYTE> answer(sizeof(KSMULTIPLE_ITEM) + static_cast<size_t>(count) * itemSize);
  KSMULTIPLE_ITEM header{static_cast<ULONG>(answer.size()), count};
  std::memcpy(answer.data(), &header, sizeof(header));
  if (count) std::memcpy(answer.data() + sizeof(header), items, static_cast<size_t>(count) * itemSize);
  return AnswerList(answer.data(), static_cast<ULONG>(answer.size()), value, valueSize, returned);
}

void AppendAligned(std::vector<BYTE>* out, const void* data, ULONG size) {
  size_t at = out->size();
  out->resize(at + Align8(size), 0);
  std::memcpy(out->data() + at, data, size);
}

// The pin's data ranges as a client reads them: a KSMULTIPLE_ITEM of the ranges, each at
// a multiple of 8 bytes; a range with KSDATARANGE_ATTRIBUTES is followed by its attribute
// list, serialised as a KSMULTIPLE_ITEM of attributes, and counted as an item.
NTSTATUS SerializeRanges(const PCPIN_DESCRIPTOR* pin, std::vector<BYTE>* out) {
  const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
  out->assign(sizeof(KSMULTIPLE_ITEM), 0);
  ULONG count = 0;
  for (ULONG i = 0; i < ks.DataRangesCount; ++i) {
    const KSDATARANGE* range = ks.DataRanges ? ks.DataRanges[i] : nullptr;
    if (!range || range->FormatSize < sizeof(KSDATARANGE)) return STATUS_INVALID_DEVICE_STATE;
    AppendAligned(out, range, range->FormatSize);
    ++count;
    if ((range->Flags & KSDATARANGE_ATTRIBUTES) && i + 1 < ks.DataRangesCount) {
      const auto* list = reinterpret_cast<const KSATTRIBUTE_LIST*>(ks.DataRanges[++i]);
      if (!list) return STATUS_INVALID_DEVICE_STATE;
      std::vector<BYTE> attributes(sizeof(KSMULTIPLE_ITEM), 0);
      for (ULONG a = 0; a < list->Count; ++a) {
        const KSATTRIBUTE* attribute = list->Attributes ? list->Attributes[a] : nullptr;
        if (!attribute || attribute->Size < sizeof(KSATTRIBUTE)) return STATUS_INVALID_DEVICE_STATE;
        AppendAligned(&attributes, attribute, attribute->Size);
      }
      KSMULTIPLE_ITEM header{static_cast<ULONG>(attributes.size()), list->Count};
      std::memcpy(attributes.data(), &header, sizeof(header));
      AppendAligned(out, attributes.data(), static_cast<ULONG>(attributes.size()));
      ++count;
    }
  }
  KSMULTIPLE_ITEM header{static_cast<ULONG>(out->size()), count};
  std::memcpy(out->data(), &header, sizeof(header));
  return STATUS_SUCCESS;
}

// Intersection of two audio ranges when the miniport leaves it to the port: the largest
// channel count, rate and sample size both allow, as a KSDATAFORMAT_WAVEFORMATEX.
NTSTATUS DefaultIntersection(const BYTE* client, ULONG clientSize, const KSDATARANGE* pinRange, void* value,
                             ULONG valueSize, ULONG* resultSize) {
  if (clientSize < sizeof(KSDATARANGE_AUDIO) || pinRange->FormatSize < sizeof(KSDATARANGE_AUDIO))
    return STATUS_NO_MATCH;
  KSDATARANGE_AUDIO a, b;
  std::memcpy(&a, client, sizeof(a));
  std::memcpy(&b, pinRange, sizeof(b));
  if (!IsEqualGUID(b.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) return STATUS_NO_MATCH;
  ULONG minRate = a.MinimumSampleFrequency > b.MinimumSampleFrequency ? a.MinimumSampleFrequency : b.MinimumSampleFrequency;
  ULONG maxRate = a.MaximumSampleFrequency < b.MaximumSampleFrequency ? a.MaximumSampleFrequency : b.MaximumSampleFrequency;
  ULONG minBits = a.MinimumBitsPerSample > b.MinimumBitsPerSample ? a.MinimumBitsPerSample : b.MinimumBitsPerSample;
  ULONG maxBits = a.MaximumBitsPerSample < b.MaximumBitsPerSample ? a.MaximumBitsPerSample : b.MaximumBitsPerSample;
  ULONG channels = a.MaximumChannels < b.MaximumChannels ? a.MaximumChannels : b.MaximumChannels;
  if (minRate > maxRate || minBits > maxBits || channels == 0 || maxBits == 0 || maxBits > 0xFFFF ||
      channels > 0xFFFF)
    return STATUS_NO_MATCH;
  *resultSize = sizeof(KSDATAFORMAT_WAVEFORMATEX);
  if (valueSize == 0) return STATUS_BUFFER_OVERFLOW;
  if (valueSize < sizeof(KSDATAFORMAT_WAVEFORMATEX)) return STATUS_BUFFER_TOO_SMALL;
  KSDATAFORMAT_WAVEFORMATEX format{};
  std::memcpy(&format.DataFormat, pinRange, sizeof(KSDATAFORMAT));
  format.DataFormat.FormatSize = sizeof(KSDATAFORMAT_WAVEFORMATEX);
  format.DataFormat.Flags = 0;
  WAVEFORMATEX& w = format.WaveFormatEx;
  w.wFormatTag = WAVE_FORMAT_PCM;
  w.nChannels = static_cast<WORD>(channels);
  w.nSamplesPerSec = maxRate;
  w.wBitsPerSample = static_cast<WORD>(maxBits);
  w.nBlockAlign = static_cast<WORD>(channels * ((maxBits + 7) / 8));
  w.nAvgBytesPerSec = w.nBlockAlign * maxRate;
  format.DataFormat.SampleSize = w.nBlockAlign;
  std::memcpy(value, &format, sizeof(format));
  return STATUS_SUCCESS;
}

// The pin handle a client holds: closing it closes the port's pin and gives back the
// instance counts.
class PinHandle final : public ks::Pin {
 public:
  // An open pin keeps its filter's subdevice in use, as a pin handle holds its filter.
  PinHandle(std::unique_ptr<PinObject> pin, std::shared_ptr<FilterInstance::PinCounts> counts, CPortBase* port)
      : m_Pin(std::move(pin)), m_Counts(std::move(counts)), m_Port(port) {
    m_Port->AddRefPort();
    m_Port->FilterOpened();
  }
  ~PinHandle() override {
    ULONG id = m_Pin->PinId();
    m_Pin.reset();
    m_Port->RemovePinInstance(id);
    m_Counts->Closed(id);
    m_Port->FilterClosed();
    m_Port->ReleasePort();
  }
  NTSTATUS Property(const void* property, ULONG propertySize, void* value, ULONG valueSize,
                    ULONG* bytesReturned) override {
    return m_Pin->Property(property, propertySize, value, valueSize, bytesReturned);
  }
  ULONG BufferSize() override { return m_Pin->BufferSize(); }
  NTSTATUS Write(ULONG offset, const void* data, ULONG bytes) override { return m_Pin->Write(offset, data, bytes); }
  NTSTATUS Read(ULONG offset, void* data, ULONG bytes) override { return m_Pin->Read(offset, data, bytes); }
  ULONG FramingSize() override { return m_Pin->FramingSize(); }
  void SetServiceCallback(std::function<void()> callback) override { m_Pin->SetServiceCallback(std::move(callback)); }

 private:
  std::unique_ptr<PinObject> m_Pin;
  std::shared_ptr<FilterInstance::PinCounts> m_Counts;
  CPortBase* m_Port;
};

// The verbs of a read-only framework property other than GET: set support succeeds,
// basic support answers GET access, anything else is refused. Nothing for GET.
std::optional<NTSTATUS> AnswerReadOnlyVerb(const PropertyCall& call, ULONG* returned) {
  if (call.verb == KSPROPERTY_TYPE_SETSUPPORT) return STATUS_SUCCESS;
  if (call.verb == KSPROPERTY_TYPE_BASICSUPPORT) {
    ULONG access = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;
    return AnswerBytes(&access, sizeof(access), call.value, call.valueSize, returned);
  }
  if (call.verb != KSPROPERTY_TYPE_GET) return STATUS_INVALID_DEVICE_REQUEST;
  return std::nullopt;
}

}  // namespace

FilterInstance::FilterInstance(CPortBase* port) : m_Port(port), m_Pins(std::make_shared<PinCounts>()) {
  m_Port->FilterOpened();
  const PCFILTER_DESCRIPTOR* descriptor = m_Port->Descriptor();
  m_Pins->open.assign(descriptor ? descriptor->PinCount : 0, 0);
}

FilterInstance::~FilterInstance() {
  std::vector<PKSEVENT_ENTRY> events;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    events.swap(m_Events);
  }
  for (PKSEVENT_ENTRY entry : events) RemoveEventEntry(entry);
  if (m_Delivery) m_Delivery->Stop();
  m_Port->FilterClosed();
  m_Port->ReleasePort();
}

void FilterInstance::RemoveEventEntry(PKSEVENT_ENTRY entry) {
  if (entry->EventItem && entry->EventItem->Handler && m_Port->MiniportUnknown()) {
    PCEVENT_REQUEST request{};
    request.MajorTarget = m_Port->MiniportUnknown();
    request.Node = entry->NodeId;
    request.EventItem = entry->EventItem;
    request.EventEntry = entry;
    request.Verb = PCEVENT_VERB_REMOVE;
    entry->EventItem->Handler(&request);
  }
  m_Port->RemoveEvent(entry);
  if (entry->Delivery) entry->Delivery->Cancel(entry->Callback);
  delete entry;
}

void FilterInstance::PinCounts::Closed(ULONG pinId) {
  std::lock_guard<std::mutex> guard(lock);
  if (pinId < open.size() && open[pinId]) --open[pinId];
}

ULONG FilterInstance::PinCounts::Count(ULONG pinId) {
  std::lock_guard<std::mutex> guard(lock);
  return pinId < open.size() ? open[pinId] : 0;
}

NTSTATUS FilterInstance::Property(const void* property, ULONG propertySize, void* value, ULONG valueSize,
                                  ULONG* bytesReturned) {
  ULONG scratch = 0;
  ULONG* returned = bytesReturned ? bytesReturned : &scratch;
  *returned = 0;
  const PCFILTER_DESCRIPTOR* descriptor = m_Port->Descriptor();
  if (!descriptor) return STATUS_DEVICE_REMOVED;
  bool handled = false;
  PropertyCall call{};
  NTSTATUS status = DispatchAutomation(m_Port, descriptor->AutomationTable, nullptr, property, propertySize, value,
                                       valueSize, returned, &handled, &call);
  if (handled || (!NT_SUCCESS(status) && status != STATUS_NOT_FOUND)) return status;
  KSPROPERTY header;
  std::memcpy(&header, property, sizeof(header));
  return FrameworkProperty(call, header, returned, &handled);
}

NTSTATUS FilterInstance::FrameworkProperty(const PropertyCall& call, const KSPROPERTY&, ULONG* returned,
                                           bool* handled) {
  *handled = true;
  if (IsEqualGUID(call.set, KSPROPSETID_Pin)) return PinProperty(call, returned);
  if (IsEqualGUID(call.set, KSPROPSETID_Topology)) return TopologyProperty(call, returned);
  if (IsEqualGUID(call.set, KSPROPSETID_AudioSignalProcessing) && m_Port->SignalProcessing() &&
      call.id == KSPROPERTY_AUDIOSIGNALPROCESSING_MODES) {
    if (auto status = AnswerReadOnlyVerb(call, returned)) return *status;
    if (call.instanceSize < sizeof(ULONG) * 2) return STATUS_INVALID_BUFFER_SIZE;
    ULONG pinId;
    std::memcpy(&pinId, call.instance, sizeof(pinId));
    if (!PinDescriptor(m_Port->Descriptor(), pinId)) return STATUS_INVALID_PARAMETER;
    ULONG count = 0;
    NTSTATUS status = m_Port->SignalProcessing()->GetModes(pinId, nullptr, &count);
    if (!NT_SUCCESS(status)) return status;
    std::vector<GUID> modes(count);
    if (count) {
      status = m_Port->SignalProcessing()->GetModes(pinId, modes.data(), &count);
      if (!NT_SUCCESS(status)) return status;
      if (count > modes.size()) count = static_cast<ULONG>(modes.size());
    }
    return AnswerItems(modes.data(), count, sizeof(GUID), call.value, call.valueSize, returned);
  }
  *handled = false;
  return STATUS_NOT_FOUND;
}

NTSTATUS FilterInstance::PinProperty(const PropertyCall& call, ULONG* returned) {
  if (call.id > KSPROPERTY_PIN_CONSTRAINEDDATARANGES || call.id == KSPROPERTY_PIN_NAME) return STATUS_NOT_FOUND;
  if (auto status = AnswerReadOnlyVerb(call, returned)) return *status;
  const PCFILTER_DESCRIPTOR* filter = m_Port->Descriptor();
  if (call.id == KSPROPERTY_PIN_CTYPES) {
    ULONG count = filter->PinCount;
    return AnswerBytes(&count, sizeof(count), call.value, call.valueSize, returned);
  }
  if (call.instanceSize < sizeof(ULONG) * 2) return STATUS_INVALID_BUFFER_SIZE;
  ULONG pinId;
  std::memcpy(&pinId, call.instance, sizeof(pinId));
  const PCPIN_DESCRIPTOR* pin = PinDescriptor(filter, pinId);
  if (!pin) return STATUS_INVALID_PARAMETER;
  const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;

  switch (call.id) {
    case KSPROPERTY_PIN_CINSTANCES: {
      KSPIN_CINSTANCES c{pin->MaxFilterInstanceCount, PinInstances(pinId)};
      return AnswerBytes(&c, sizeof(c), call.value, call.valueSize, returned);
    }
    case KSPROPERTY_PIN_GLOBALCINSTANCES: {
      KSPIN_CINSTANCES c{pin->MaxGlobalInstanceCount, m_Port->PinInstances(pinId)};
      return AnswerBytes(&c, sizeof(c), call.value, call.valueSize, returned);
    }
    case KSPROPERTY_PIN_NECESSARYINSTANCES: {
      ULONG n = pin->MinFilterInstanceCount;
      return AnswerBytes(&n, sizeof(n), call.value, call.valueSize, returned);
    }
    case KSPROPERTY_PIN_DATAFLOW: {
      ULONG flow = ks.DataFlow;
      return AnswerBytes(&flow, sizeof(flow), call.value, call.valueSize, returned);
    }
    case KSPROPERTY_PIN_COMMUNICATION: {
      ULONG communication = ks.Communication;
      return AnswerBytes(&communication, sizeof(communication), call.value, call.valueSize, returned);
    }
    case KSPROPERTY_PIN_CATEGORY:
      if (!ks.Category) return STATUS_NOT_FOUND;
      return AnswerBytes(ks.Category, sizeof(GUID), call.value, call.valueSize, returned);
    case KSPROPERTY_PIN_INTERFACES:
    case KSPROPERTY_PIN_MEDIUMS: {
      bool interfaces = call.id == KSPROPERTY_PIN_INTERFACES;
      ULONG count = interfaces ? ks.InterfacesCount : ks.MediumsCount;
      const KSIDENTIFIER* items = interfaces ? ks.Interfaces : ks.Mediums;
      KSIDENTIFIER standard{};
      if (count == 0 || !items) {
        // A pin that lists none has the standard one.
        standard.Set = interfaces ? KSINTERFACESETID_Standard : KSMEDIUMSETID_Standard;
        standard.Id = interfaces ? KSINTERFACE_STANDARD_STREAMING : KSMEDIUM_TYPE_ANYINSTANCE;
        items = &standard;
        count = 1;
      }
      return AnswerItems(items, count, sizeof(KSIDENTIFIER), call.value, call.valueSize, returned);
    }
    case KSPROPERTY_PIN_DATARANGES:
    case KSPROPERTY_PIN_CONSTRAINEDDATARANGES: {
      std::vector<BYTE> ranges;
      NTSTATUS status = SerializeRanges(pin, &ranges);
      if (!NT_SUCCESS(status)) return status;
      return AnswerList(ranges.data(), static_cast<ULONG>(ranges.size()), call.value, call.valueSize, returned);
    }
    case KSPROPERTY_PIN_DATAINTERSECTION:
      return DataIntersection(pinId, call.instance + sizeof(ULONG) * 2, call.instanceSize - sizeof(ULONG) * 2,
                              call.value, call.valueSize, returned);
    case KSPROPERTY_PIN_PHYSICALCONNECTION: {
      std::u16string other;
      ULONG otherPin = 0;
      if (!RegistryConnectionAt(m_Port, pinId, &other, &otherPin)) return STATUS_NOT_FOUND;
      ULONG size = static_cast<ULONG>(offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName) +
                                      (other.size() + 1) * sizeof(WCHAR));
      std::vector<BYTE> answer(size, 0);
      std::memcpy(answer.data(), &size, sizeof(size));
      std::memcpy(answer.data() + sizeof(ULONG), &otherPin, sizeof(otherPin));
      std::memcpy(answer.data() + offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName), other.data(),
                  other.size() * sizeof(WCHAR));
      return AnswerBytes(answer.data(), size, call.value, call.valueSize, returned);
    }
    default:
      return STATUS_NOT_FOUND;
  }
}

NTSTATUS FilterInstance::TopologyProperty(const PropertyCall& call, ULONG* returned) {
  if (call.id > KSPROPERTY_TOPOLOGY_CONNECTIONS) return STATUS_NOT_FOUND;
  if (auto status = AnswerReadOnlyVerb(call, returned)) return *status;
  const PCFILTER_DESCRIPTOR* filter = m_Port->Descriptor();
  switch (call.id) {
    case KSPROPERTY_TOPOLOGY_CATEGORIES:
      return AnswerItems(filter->Categories, filter->CategoryCount, sizeof(GUID), call.value, call.valueSize,
                         returned);
    case KSPROPERTY_TOPOLOGY_NODES: {
      std::vector<GUID> types(filter->NodeCount);
      for (ULONG i = 0; i < filter->NodeCount; ++i) {
        const PCNODE_DESCRIPTOR* node = NodeDescriptor(filter, i);
        types[i] = node && node->Type ? *node->Type : GUID_NULL;
      }
      return AnswerItems(types.data(), filter->NodeCount, sizeof(GUID), call.value, call.valueSize, returned);
    }
    default: {
      static_assert(sizeof(KSTOPOLOGY_CONNECTION) == sizeof(PCCONNECTION_DESCRIPTOR));
      return AnswerItems(filter->Connections, filter->ConnectionCount, sizeof(KSTOPOLOGY_CONNECTION), call.value,
                         call.valueSize, returned);
    }
  }
}

NTSTATUS FilterInstance::DataIntersection(ULONG pinId, const BYTE* ranges, ULONG rangesSize, void* value,
                                          ULONG valueSize, ULONG* returned) {
  KSMULTIPLE_ITEM header;
  if (rangesSize < sizeof(header)) return STATUS_INVALID_BUFFER_SIZE;
  std::memcpy(&header, ranges, sizeof(header));
  if (header.Size < sizeof(header) || header.Size > rangesSize) return STATUS_INVALID_BUFFER_SIZE;
  const PCPIN_DESCRIPTOR* pin = PinDescriptor(m_Port->Descriptor(), pinId);
  const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
  PMINIPORT miniport = static_cast<PMINIPORT>(m_Port->MiniportUnknown());
  if (!miniport) return STATUS_DEVICE_REMOVED;

  ULONG at = sizeof(header);
  for (ULONG item = 0; item < header.Count; ++item) {
    if (header.Size - at < sizeof(KSDATARANGE)) return STATUS_INVALID_PARAMETER;
    KSDATARANGE client;
    std::memcpy(&client, ranges + at, sizeof(client));
    if (client.FormatSize < sizeof(KSDATARANGE) || client.FormatSize > header.Size - at)
      return STATUS_INVALID_PARAMETER;
    // The miniport reads the client range from an aligned copy of exactly its size.
    std::vector<BYTE> range(ranges + at, ranges + at + client.FormatSize);
    ULONG next = at + Align8(client.FormatSize);
    if (client.Flags & KSDATARANGE_ATTRIBUTES) {
      // The range's attribute list follows it and counts as an item.
      KSMULTIPLE_ITEM attributes;
      if (next > header.Size || header.Size - next < sizeof(attributes)) return STATUS_INVALID_PARAMETER;
      std::memcpy(&attributes, ranges + next, sizeof(attributes));
      if (attributes.Size < sizeof(attributes) || attributes.Size > header.Size - next) return STATUS_INVALID_PARAMETER;
      next += Align8(attributes.Size);
      ++item;
    }
    at = next > header.Size ? header.Size : next;

    for (ULONG r = 0; r < ks.DataRangesCount; ++r) {
      const KSDATARANGE* pinRange = ks.DataRanges ? ks.DataRanges[r] : nullptr;
      if (!pinRange) continue;
      bool hasAttributes = (pinRange->Flags & KSDATARANGE_ATTRIBUTES) != 0;
      if (!RangeCompatible(client, *pinRange)) {
        if (hasAttributes) ++r;
        continue;
      }
      std::unique_ptr<BYTE[]> result(valueSize ? new BYTE[valueSize]() : nullptr);
      ULONG resultSize = 0;
      NTSTATUS status = miniport->DataRangeIntersection(pinId, reinterpret_cast<PKSDATARANGE>(range.data()),
                                                        const_cast<PKSDATARANGE>(pinRange), valueSize, result.get(),
                                                        &resultSize);
      if (status == STATUS_NOT_IMPLEMENTED)
        status = DefaultIntersection(range.data(), static_cast<ULONG>(range.size()), pinRange, result.get(),
                                     valueSize, &resultSize);
      if (hasAttributes) ++r;
      if (status == STATUS_NO_MATCH) continue;
      if (status == STATUS_BUFFER_OVERFLOW) {
        *returned = resultSize;
        return status;
      }
      if (!NT_SUCCESS(status)) return status;
      if (resultSize > valueSize) resultSize = valueSize;
      if (resultSize) std::memcpy(value, result.get(), resultSize);
      *returned = resultSize;
      return status;
    }
  }
  return STATUS_NO_MATCH;
}

NTSTATUS FilterInstance::EnableEvent(const void* event, ULONG eventSize, std::function<void()> callback,
                                     ks::EventHandle* handle) {
  if (!event || eventSize < sizeof(KSEVENT) || !handle) return STATUS_INVALID_BUFFER_SIZE;
  *handle = 0;
  const PCFILTER_DESCRIPTOR* descriptor = m_Port->Descriptor();
  if (!descriptor) return STATUS_DEVICE_REMOVED;
  KSEVENT header;
  std::memcpy(&header, event, sizeof(header));
  ULONG verb = header.Flags & ~KSEVENT_TYPE_TOPOLOGY;
  if (verb != KSEVENT_TYPE_ENABLE && verb != KSEVENT_TYPE_ONESHOT && verb != KSEVENT_TYPE_BASICSUPPORT)
    return STATUS_INVALID_PARAMETER;
  const PCAUTOMATION_TABLE* table = descriptor->AutomationTable;
  ULONG node = kNoNode;
  if (header.Flags & KSEVENT_TYPE_TOPOLOGY) {
    if (eventSize < sizeof(KSE_NODE)) return STATUS_INVALID_BUFFER_SIZE;
    KSE_NODE addressed;
    std::memcpy(&addressed, event, sizeof(addressed));
    const PCNODE_DESCRIPTOR* nodeDescriptor = NodeDescriptor(descriptor, addressed.NodeId);
    if (!nodeDescriptor) return STATUS_INVALID_DEVICE_REQUEST;
    node = addressed.NodeId;
    table = nodeDescriptor->AutomationTable;
  }
  const PCEVENT_ITEM* item = FindEventItem(table, header.Set, header.Id, nullptr);
  if (!item) return STATUS_NOT_FOUND;

  PCEVENT_REQUEST request{};
  request.MajorTarget = m_Port->MiniportUnknown();
  request.Node = node;
  request.EventItem = item;
  if (verb == KSEVENT_TYPE_BASICSUPPORT) {
    if (!(item->Flags & PCEVENT_ITEM_FLAG_BASICSUPPORT) || !item->Handler) return STATUS_SUCCESS;
    request.Verb = PCEVENT_VERB_SUPPORT;
    return item->Handler(&request);
  }
  if (!(item->Flags & (verb == KSEVENT_TYPE_ONESHOT ? (PCEVENT_ITEM_FLAG_ONESHOT | PCEVENT_ITEM_FLAG_ENABLE)
                                                    : PCEVENT_ITEM_FLAG_ENABLE)))
    return STATUS_INVALID_DEVICE_REQUEST;

  std::shared_ptr<EventDelivery> delivery;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Delivery) m_Delivery = std::make_shared<EventDelivery>();
    delivery = m_Delivery;
  }
  auto* entry = new KSEVENT_ENTRY{};
  entry->Set = header.Set;
  entry->EventId = header.Id;
  entry->Flags = header.Flags;
  entry->NodeEvent = node != kNoNode;
  entry->NodeId = node;
  entry->PinId = kNoNode;
  entry->EventItem = item;
  entry->Callback = std::make_shared<std::function<void()>>(std::move(callback));
  entry->Delivery = delivery;
  NTSTATUS status = STATUS_SUCCESS;
  if (item->Handler) {
    request.EventEntry = entry;
    request.Verb = PCEVENT_VERB_ADD;
    status = item->Handler(&request);
  } else {
    m_Port->AddEventToEventList(entry);
  }
  if (!NT_SUCCESS(status)) {
    m_Port->RemoveEvent(entry);
    delete entry;
    return status;
  }
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Events.push_back(entry);
  *handle = reinterpret_cast<ks::EventHandle>(entry);
  return STATUS_SUCCESS;
}

NTSTATUS FilterInstance::DisableEvent(ks::EventHandle handle) {
  PKSEVENT_ENTRY entry = nullptr;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    for (auto it = m_Events.begin(); it != m_Events.end(); ++it) {
      if (reinterpret_cast<ks::EventHandle>(*it) == handle) {
        entry = *it;
        m_Events.erase(it);
        break;
      }
    }
  }
  if (!entry) return STATUS_INVALID_PARAMETER;
  RemoveEventEntry(entry);
  return STATUS_SUCCESS;
}

NTSTATUS FilterInstance::CreatePin(const void* connect, ULONG connectSize, std::unique_ptr<ks::Pin>* pin) {
  if (!pin) return STATUS_INVALID_PARAMETER;
  pin->reset();
  if (!connect || connectSize < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) return STATUS_INVALID_BUFFER_SIZE;
  const BYTE* bytes = static_cast<const BYTE*>(connect);
  KSPIN_CONNECT request;
  KSDATAFORMAT format;
  std::memcpy(&request, bytes, sizeof(request));
  std::memcpy(&format, bytes + sizeof(request), sizeof(format));
  ULONG available = connectSize - static_cast<ULONG>(sizeof(KSPIN_CONNECT));
  if (format.FormatSize < sizeof(KSDATAFORMAT) || format.FormatSize > available) return STATUS_INVALID_PARAMETER;
  ULONG formatBytes = format.FormatSize;
  if (format.Flags & KSDATAFORMAT_ATTRIBUTES) {
    // The attribute list follows the format at the next multiple of 8 bytes.
    ULONG at = Align8(format.FormatSize);
    KSMULTIPLE_ITEM attributes;
    if (at > available || available - at < sizeof(attributes)) return STATUS_INVALID_PARAMETER;
    std::memcpy(&attributes, bytes + sizeof(KSPIN_CONNECT) + at, sizeof(attributes));
    if (attributes.Size < sizeof(attributes) || attributes.Size > available - at) return STATUS_INVALID_PARAMETER;
    formatBytes = at + attributes.Size;
  }

  const PCFILTER_DESCRIPTOR* descriptor = m_Port->Descriptor();
  if (!descriptor) return STATUS_DEVICE_REMOVED;
  const PCPIN_DESCRIPTOR* pinDescriptor = PinDescriptor(descriptor, request.PinId);
  if (!pinDescriptor) return STATUS_INVALID_PARAMETER;
  const KSPIN_DESCRIPTOR& ks = pinDescriptor->KsPinDescriptor;
  if (ks.Communication != KSPIN_COMMUNICATION_SINK && ks.Communication != KSPIN_COMMUNICATION_BOTH &&
      ks.Communication != KSPIN_COMMUNICATION_SOURCE)
    return STATUS_INVALID_DEVICE_REQUEST;

  auto offered = [](const KSIDENTIFIER* items, ULONG count, const GUID& standardSet, ULONG standardId,
                    const KSIDENTIFIER& wanted) {
    if (count == 0 || !items) return IsEqualGUID(wanted.Set, standardSet) && wanted.Id == standardId;
    for (ULONG i = 0; i < count; ++i)
      if (IsEqualGUID(items[i].Set, wanted.Set) && items[i].Id == wanted.Id) return true;
    return false;
  };
  if (!offered(ks.Interfaces, ks.InterfacesCount, KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING,
               request.Interface) ||
      !offered(ks.Mediums, ks.MediumsCount, KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE, request.Medium))
    return STATUS_NO_MATCH;

  bool inRange = false;
  for (ULONG r = 0; r < ks.DataRangesCount && !inRange; ++r) {
    const KSDATARANGE* range = ks.DataRanges ? ks.DataRanges[r] : nullptr;
    if (!range) continue;
    inRange = RangeCompatible(format, *range) && !IsEqualGUID(format.MajorFormat, GUID_NULL);
    if (range->Flags & KSDATARANGE_ATTRIBUTES) ++r;
  }
  if (!inRange) return STATUS_NO_MATCH;

  {
    std::lock_guard<std::mutex> guard(m_Pins->lock);
    if (request.PinId >= m_Pins->open.size() || m_Pins->open[request.PinId] >= pinDescriptor->MaxFilterInstanceCount)
      return STATUS_INSUFFICIENT_RESOURCES;
    if (!m_Port->TryAddPinInstance(request.PinId)) return STATUS_INSUFFICIENT_RESOURCES;
    ++m_Pins->open[request.PinId];
  }
  std::unique_ptr<PinObject> created;
  // The format and its attributes reach the miniport as one aligned copy.
  std::vector<BYTE> formatCopy(bytes + sizeof(KSPIN_CONNECT), bytes + sizeof(KSPIN_CONNECT) + formatBytes);
  bool looped = IsEqualGUID(request.Interface.Set, KSINTERFACESETID_Standard) &&
                request.Interface.Id == KSINTERFACE_STANDARD_LOOPED_STREAMING;
  NTSTATUS status = m_Port->NewPin(this, request.PinId, reinterpret_cast<const KSDATAFORMAT*>(formatCopy.data()),
                                   formatBytes, looped, &created);
  if (!NT_SUCCESS(status) || !created) {
    m_Port->RemovePinInstance(request.PinId);
    m_Pins->Closed(request.PinId);
    return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  }
  *pin = std::make_unique<PinHandle>(std::move(created), m_Pins, m_Port);
  return STATUS_SUCCESS;
}

NTSTATUS OpenFilterInstance(PDEVICE_OBJECT device, const std::u16string& name, std::unique_ptr<ks::Filter>* filter) {
  if (!filter) return STATUS_INVALID_PARAMETER;
  filter->reset();
  CPortBase* port = RegistryFindSubdevice(device, name);
  if (!port) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (!port->Initialized()) {
    port->ReleasePort();
    return STATUS_DEVICE_REMOVED;
  }
  *filter = std::make_unique<FilterInstance>(port);
  return STATUS_SUCCESS;
}

}  // namespace platform::portcls
