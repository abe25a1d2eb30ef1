// The engine client's view of one filter: descriptor reads, intersection, pin creation,
// node properties and control-change events.
#include <cstring>
#include <vector>

#include "sim/engine/engine.h"

namespace sim::engine {
namespace {

constexpr ULONG Align8(ULONG n) { return (n + 7u) & ~7u; }

KSP_PIN PinRequest(const GUID& set, ULONG id, ULONG pin) {
  KSP_PIN p{};
  p.Property.Set = set;
  p.Property.Id = id;
  p.Property.Flags = KSPROPERTY_TYPE_GET;
  p.PinId = pin;
  return p;
}

struct NodeRequest {
  KSP_NODE node;
  LONG channel;
  ULONG reserved;
};

NodeRequest MakeNodeRequest(ULONG node, const GUID& set, ULONG id, ULONG verb, LONG channel) {
  NodeRequest r{};
  r.node.Property.Set = set;
  r.node.Property.Id = id;
  r.node.Property.Flags = verb | KSPROPERTY_TYPE_TOPOLOGY;
  r.node.NodeId = node;
  r.channel = channel;
  return r;
}

ULONG NodeRequestSize(LONG channel) {
  return channel < 0 ? static_cast<ULONG>(sizeof(KSP_NODE)) : static_cast<ULONG>(sizeof(NodeRequest));
}

NTSTATUS ReadFixed(platform::ks::Filter& filter, const void* property, ULONG propertySize, void* value,
                   ULONG size) {
  ULONG returned = 0;
  NTSTATUS status = filter.Property(property, propertySize, value, size, &returned);
  if (NT_SUCCESS(status) && returned != size) return STATUS_INFO_LENGTH_MISMATCH;
  return status;
}

// Splits a KSMULTIPLE_ITEM of equal items into a vector.
template <typename T>
NTSTATUS SplitItems(const std::vector<BYTE>& answer, std::vector<T>* items) {
  KSMULTIPLE_ITEM header;
  if (answer.size() < sizeof(header)) return STATUS_INFO_LENGTH_MISMATCH;
  std::memcpy(&header, answer.data(), sizeof(header));
  if (header.Size != answer.size() || header.Size != sizeof(header) + static_cast<size_t>(header.Count) * sizeof(T))
    return STATUS_INFO_LENGTH_MISMATCH;
  items->resize(header.Count);
  if (header.Count) std::memcpy(items->data(), answer.data() + sizeof(header), header.Count * sizeof(T));
  return STATUS_SUCCESS;
}

}  // namespace

std::vector<platform::ks::SubdeviceInfo> EnumerateFilters(const GUID* category) {
  return platform::ks::EnumerateSubdevices(category);
}

FilterClient::FilterClient(platform::ks::SubdeviceInfo info, std::unique_ptr<platform::ks::Filter> filter)
    : m_Info(std::move(info)), m_Filter(std::move(filter)) {}

NTSTATUS FilterClient::Open(const platform::ks::SubdeviceInfo& subdevice, std::unique_ptr<FilterClient>* client) {
  std::unique_ptr<platform::ks::Filter> filter;
  NTSTATUS status = platform::ks::OpenFilter(subdevice.device, subdevice.name, &filter);
  if (!NT_SUCCESS(status)) return status;
  client->reset(new FilterClient(subdevice, std::move(filter)));
  return STATUS_SUCCESS;
}

NTSTATUS FilterClient::QueryVariable(const void* property, ULONG propertySize, std::vector<BYTE>* value) {
  ULONG needed = 0;
  NTSTATUS status = m_Filter->Property(property, propertySize, nullptr, 0, &needed);
  if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_INFO_LENGTH_MISMATCH : status;
  value->assign(needed, 0);
  ULONG returned = 0;
  status = m_Filter->Property(property, propertySize, value->data(), needed, &returned);
  if (!NT_SUCCESS(status)) return status;
  value->resize(returned);
  return STATUS_SUCCESS;
}

NTSTATUS FilterClient::ReadDescription(FilterDescription* description) {
  *description = FilterDescription{};
  KSPROPERTY ctypes{};
  ctypes.Set = KSPROPSETID_Pin;
  ctypes.Id = KSPROPERTY_PIN_CTYPES;
  ctypes.Flags = KSPROPERTY_TYPE_GET;
  ULONG pins = 0;
  NTSTATUS status = ReadFixed(*m_Filter, &ctypes, sizeof(ctypes), &pins, sizeof(pins));
  if (!NT_SUCCESS(status)) return status;

  for (ULONG id = 0; id < pins; ++id) {
    PinDescription pin;
    pin.id = id;
    ULONG value = 0;
    auto flow = PinRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, id);
    if (!NT_SUCCESS(status = ReadFixed(*m_Filter, &flow, sizeof(flow), &value, sizeof(value)))) return status;
    pin.dataFlow = static_cast<KSPIN_DATAFLOW>(value);
    auto communication = PinRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_COMMUNICATION, id);
    if (!NT_SUCCESS(status = ReadFixed(*m_Filter, &communication, sizeof(communication), &value, sizeof(value))))
      return status;
    pin.communication = static_cast<KSPIN_COMMUNICATION>(value);
    auto instances = PinRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, id);
    if (!NT_SUCCESS(status = ReadFixed(*m_Filter, &instances, sizeof(instances), &pin.instances,
                                       sizeof(pin.instances))))
      return status;
    auto category = PinRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_CATEGORY, id);
    status = ReadFixed(*m_Filter, &category, sizeof(category), &pin.category, sizeof(GUID));
    if (!NT_SUCCESS(status) && status != STATUS_NOT_FOUND) return status;

    auto ranges = PinRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, id);
    std::vector<BYTE> answer;
    if (!NT_SUCCESS(status = QueryVariable(&ranges, sizeof(ranges), &answer))) return status;
    KSMULTIPLE_ITEM header;
    if (answer.size() < sizeof(header)) return STATUS_INFO_LENGTH_MISMATCH;
    std::memcpy(&header, answer.data(), sizeof(header));
    if (header.Size != answer.size()) return STATUS_INFO_LENGTH_MISMATCH;
    ULONG at = sizeof(header);
    for (ULONG item = 0; item < header.Count; ++item) {
      KSDATARANGE range;
      if (at > header.Size || header.Size - at < sizeof(range)) return STATUS_INFO_LENGTH_MISMATCH;
      std::memcpy(&range, answer.data() + at, sizeof(range));
      if (range.FormatSize < sizeof(range) || range.FormatSize > header.Size - at) return STATUS_INFO_LENGTH_MISMATCH;
      pin.dataRanges.emplace_back(answer.begin() + at, answer.begin() + at + range.FormatSize);
      bool attributes = (range.Flags & KSDATARANGE_ATTRIBUTES) != 0;
      pin.rangeHasAttributes.push_back(attributes);
      at += Align8(range.FormatSize);
      if (attributes && item + 1 < header.Count) {
        KSMULTIPLE_ITEM list;
        if (at > header.Size || header.Size - at < sizeof(list)) return STATUS_INFO_LENGTH_MISMATCH;
        std::memcpy(&list, answer.data() + at, sizeof(list));
        if (list.Size < sizeof(list) || list.Size > header.Size - at) return STATUS_INFO_LENGTH_MISMATCH;
        at += Align8(list.Size);
        ++item;
      }
    }
    description->pins.push_back(std::move(pin));
  }

  KSPROPERTY topology{};
  topology.Set = KSPROPSETID_Topology;
  topology.Flags = KSPROPERTY_TYPE_GET;
  std::vector<BYTE> answer;
  topology.Id = KSPROPERTY_TOPOLOGY_CATEGORIES;
  if (!NT_SUCCESS(status = QueryVariable(&topology, sizeof(topology), &answer))) return status;
  if (!NT_SUCCESS(status = SplitItems(answer, &description->categories))) return status;
  topology.Id = KSPROPERTY_TOPOLOGY_NODES;
  if (!NT_SUCCESS(status = QueryVariable(&topology, sizeof(topology), &answer))) return status;
  if (!NT_SUCCESS(status = SplitItems(answer, &description->nodeTypes))) return status;
  topology.Id = KSPROPERTY_TOPOLOGY_CONNECTIONS;
  if (!NT_SUCCESS(status = QueryVariable(&topology, sizeof(topology), &answer))) return status;
  return SplitItems(answer, &description->connections);
}

NTSTATUS FilterClient::Intersect(ULONG pinId, const KSDATARANGE_AUDIO& wanted, std::vector<BYTE>* format) {
  struct {
    KSP_PIN pin;
    KSMULTIPLE_ITEM header;
    KSDATARANGE_AUDIO range;
  } request{};
  request.pin = PinRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, pinId);
  request.header = {static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO)), 1};
  request.range = wanted;
  request.range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
  request.range.DataRange.Flags &= ~KSDATARANGE_ATTRIBUTES;
  return QueryVariable(&request, sizeof(request), format);
}

NTSTATUS FilterClient::OpenStream(ULONG pinId, const std::vector<BYTE>& format, const StreamOptions& options,
                                  std::unique_ptr<Stream>* stream) {
  KSDATAFORMAT header;
  if (format.size() < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) return STATUS_INVALID_PARAMETER;
  std::memcpy(&header, format.data(), sizeof(header));
  if (header.FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX) || header.FormatSize > format.size())
    return STATUS_INVALID_PARAMETER;
  // The wave format follows the KSDATAFORMAT (after the buffer description for DSOUND).
  ULONG waveAt = IsEqualGUID(header.Specifier, KSDATAFORMAT_SPECIFIER_DSOUND) ? 72u : 64u;
  if (format.size() < waveAt + sizeof(WAVEFORMATEX)) return STATUS_INVALID_PARAMETER;
  WAVEFORMATEX wave;
  std::memcpy(&wave, format.data() + waveAt, sizeof(wave));

  auto flow = PinRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, pinId);
  ULONG dataFlow = 0;
  NTSTATUS status = ReadFixed(*m_Filter, &flow, sizeof(flow), &dataFlow, sizeof(dataFlow));
  if (!NT_SUCCESS(status)) return status;

  std::vector<BYTE> connect(sizeof(KSPIN_CONNECT) + format.size());
  KSPIN_CONNECT c{};
  c.Interface.Set = KSINTERFACESETID_Standard;
  c.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
  c.Medium.Set = KSMEDIUMSETID_Standard;
  c.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  c.PinId = pinId;
  c.Priority = {KSPRIORITY_NORMAL, 1};
  std::memcpy(connect.data(), &c, sizeof(c));
  std::memcpy(connect.data() + sizeof(c), format.data(), format.size());
  std::unique_ptr<platform::ks::Pin> pin;
  status = m_Filter->CreatePin(connect.data(), static_cast<ULONG>(connect.size()), &pin);
  if (!NT_SUCCESS(status)) return status;
  *stream = std::make_unique<Stream>(std::move(pin), dataFlow == KSPIN_DATAFLOW_OUT, wave, options);
  return STATUS_SUCCESS;
}

NTSTATUS FilterClient::GetNodeValue(ULONG node, const GUID& set, ULONG id, LONG channel, LONG* value) {
  NodeRequest r = MakeNodeRequest(node, set, id, KSPROPERTY_TYPE_GET, channel);
  return ReadFixed(*m_Filter, &r, NodeRequestSize(channel), value, sizeof(*value));
}

NTSTATUS FilterClient::SetNodeValue(ULONG node, const GUID& set, ULONG id, LONG channel, LONG value) {
  NodeRequest r = MakeNodeRequest(node, set, id, KSPROPERTY_TYPE_SET, channel);
  ULONG returned = 0;
  return m_Filter->Property(&r, NodeRequestSize(channel), &value, sizeof(value), &returned);
}

NTSTATUS FilterClient::NodeBasicSupport(ULONG node, const GUID& set, ULONG id, std::vector<BYTE>* answer) {
  // As an engine does: the description first, then the full size it announces.
  NodeRequest r = MakeNodeRequest(node, set, id, KSPROPERTY_TYPE_BASICSUPPORT, 0);
  answer->assign(sizeof(KSPROPERTY_DESCRIPTION), 0);
  ULONG returned = 0;
  NTSTATUS status = m_Filter->Property(&r, sizeof(r), answer->data(), static_cast<ULONG>(answer->size()), &returned);
  if (!NT_SUCCESS(status)) return status;
  if (returned < sizeof(KSPROPERTY_DESCRIPTION)) {
    answer->resize(returned);  // the access flags alone
    return STATUS_SUCCESS;
  }
  KSPROPERTY_DESCRIPTION description;
  std::memcpy(&description, answer->data(), sizeof(description));
  if (description.DescriptionSize <= sizeof(description)) {
    answer->resize(sizeof(description));
    return STATUS_SUCCESS;
  }
  answer->assign(description.DescriptionSize, 0);
  status = m_Filter->Property(&r, sizeof(r), answer->data(), static_cast<ULONG>(answer->size()), &returned);
  if (NT_SUCCESS(status)) answer->resize(returned);
  return status;
}

NTSTATUS FilterClient::ListenControlChange(ULONG node, std::function<void()> callback,
                                           platform::ks::EventHandle* handle) {
  KSE_NODE e{};
  e.Event.Set = KSEVENTSETID_AudioControlChange;
  e.Event.Id = KSEVENT_CONTROL_CHANGE;
  e.Event.Flags = KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_TOPOLOGY;
  e.NodeId = node;
  return m_Filter->EnableEvent(&e, sizeof(e), std::move(callback), handle);
}

NTSTATUS FilterClient::StopListening(platform::ks::EventHandle handle) { return m_Filter->DisableEvent(handle); }

}  // namespace sim::engine
