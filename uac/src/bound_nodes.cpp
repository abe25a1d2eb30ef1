#include "uac/bound_nodes.h"

#include "adapter/object_model.h"
#include "adapter/ref_list.h"
#include "adapter/settings.h"
#include "adapter/uac_function.h"
#include "kernel/callback.h"
#include "kernel/rtl.h"

#include "bound_query.h"

namespace uac {

namespace {

using bound::Query;

template <class Interface>
using Ref = adapter::ScopedRelease<Interface>;

LONG Clamp(LONG level, LONG maximum, LONG minimum) {
  if (level > maximum) return maximum;
  if (level < minimum) return minimum;
  return level;
}

// The level divided by the step toward zero, times the step; in 64 bits so no step can
// overflow the division.
LONG Quantise(LONG level, LONG step) {
  if (step == 0) return level;
  return static_cast<LONG>(static_cast<LONGLONG>(level) / step * step);
}

}  // namespace

void PublishControlChange(PVOID CallbackObject, ULONG NodeId) {
  if (!CallbackObject) return;
  ControlChangeRecord record = {1, 1, NodeId, 0};
  ExNotifyCallback(CallbackObject, &record, nullptr);
}

NTSTATUS NodeSavedValue(PDEVICE_OBJECT DeviceObject, ULONG Operation, ULONG NodeId, ULONG EndpointType, ULONG Channel,
                        PVOID Data, ULONG Size) {
  if (!DeviceObject) return STATUS_INVALID_PARAMETER;  // a node made without a device saves nothing
  WCHAR prefix[SETTINGS_MAX_INDEXED_NAME + 1];
  if (Channel == kSingleValue) {
    if (RtlStringCchPrintfW(prefix, 19, u"%s%02d_", u"Unit", static_cast<INT>(NodeId)) != STATUS_SUCCESS)
      return STATUS_INVALID_PARAMETER;
    return SettingsBinaryValue(DeviceObject, Operation, Data, Size, prefix);
  }
  if (RtlStringCchPrintfW(prefix, 19, u"%s%02d_%2d_", u"Unit", static_cast<INT>(NodeId),
                          static_cast<INT>(EndpointType)) != STATUS_SUCCESS)
    return STATUS_INVALID_PARAMETER;
  return SettingsIndexedValue(DeviceObject, Operation, Data, Size, prefix, Channel);
}

namespace {

// Per-channel value handling shared by the boolean and level nodes; Value is the node's
// channel value type and Source its control-source interface.

// Each channel starts at the device's current value (keeping the channel's default when
// the device reports none), then at the value saved for the default endpoint type.
template <class Source, class Value>
void LoadChannels(Source* source, ULONG selector, PDEVICE_OBJECT deviceObject, ULONG nodeId, ULONG count,
                  Value* values) {
  for (ULONG c = 0; c < count; ++c) {
    Value value = values[c];
    if (!NT_SUCCESS(source->GetCur(selector, c, &value))) value = values[c];
    NodeSavedValue(deviceObject, SETTINGS_READ, nodeId, 0, c, &value, sizeof value);
    values[c] = value;
  }
}

// Loads the values saved for an endpoint type into the first `count` channels and sends
// each to the device through `set`.
template <class Value, class Set>
void ReloadSavedChannels(PDEVICE_OBJECT deviceObject, ULONG nodeId, ULONG endpointType, ULONG count, Value* values,
                         Set set) {
  for (ULONG c = 0; c < count; ++c) {
    Value value = values[c];
    NodeSavedValue(deviceObject, SETTINGS_READ, nodeId, endpointType, c, &value, sizeof value);
    values[c] = value;
    set(c, value);
  }
}

// Sends every channel's value to the device through `set`, stopping at the first failure.
template <class Value, class Set>
NTSTATUS RestoreChannels(ULONG count, const Value* values, Set set) {
  if (!count) return STATUS_INVALID_PARAMETER;
  for (ULONG c = 0; c < count; ++c) {
    NTSTATUS status = set(c, values[c]);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

// Reads every channel's current value from the device and saves it, stopping at the first
// failure.
template <class Source, class Value, class Save>
NTSTATUS RefreshChannels(Source* source, ULONG selector, ULONG count, Value* values, Save save) {
  for (ULONG c = 0; c < count; ++c) {
    Value value = 0;
    NTSTATUS status = source->GetCur(selector, c, &value);
    if (!NT_SUCCESS(status)) return status;
    values[c] = value;
    save(c);
  }
  return STATUS_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// On/off nodes

CUacBoolControl::CUacBoolControl(PUNKNOWN outerUnknown, ULONG id, ULONG type, bool cacheOnFailure)
    : CBoolControl(outerUnknown, id, type),
      m_pDeviceObject(nullptr),
      m_pUnit(nullptr),
      m_nSelector(0),
      m_bCacheOnFailure(cacheOnFailure) {}

NTSTATUS CUacBoolControl::Source(IUacBoolControlSource** source) {
  return Query(m_pUnit, IID_IUacBoolControlSource, source);
}

void CUacBoolControl::Save(ULONG Channel) {
  NodeSavedValue(m_pDeviceObject, SETTINGS_WRITE, m_nId, m_nEndpointType, Channel, &m_pValues[Channel], 1);
}

NTSTATUS CUacBoolControl::InitUacBoolControl(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject) {
  Ref<IUacBoolControlSource> source;
  NTSTATUS status = Query(Unit, IID_IUacBoolControlSource, &source.p);
  if (!NT_SUCCESS(status)) return status;
  ULONG count = 0;
  status = source->GetChannelCount(Selector, &count);
  if (!NT_SUCCESS(status)) return status;
  m_nSelector = Selector;
  status = InitChannels(0, count);
  if (!NT_SUCCESS(status)) return status;
  m_pUnit = Unit;
  m_pDeviceObject = DeviceObject;
  LoadChannels(source.p, Selector, DeviceObject, m_nId, count, m_pValues);
  return STATUS_SUCCESS;
}

NTSTATUS CUacBoolControl::InitUacSingleBoolControl(PUNKNOWN Unit, PDEVICE_OBJECT DeviceObject) {
  NTSTATUS status = InitChannels(0, 1);
  if (!NT_SUCCESS(status)) return status;
  m_pUnit = Unit;
  m_pDeviceObject = DeviceObject;
  UCHAR value = 0;
  NodeSavedValue(DeviceObject, SETTINGS_READ, m_nId, 0, 0, &value, 1);
  m_pValues[0] = value;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacBoolControl::SetValue(ULONG Channel, UCHAR Value) {
  if (Channel >= m_nChannels || !m_pValues) return STATUS_INVALID_PARAMETER;
  Ref<IUacBoolControlSource> source;
  NTSTATUS status = Source(&source.p);
  if (NT_SUCCESS(status)) status = source->SetCur(m_nSelector, Channel, Value);
  if (NT_SUCCESS(status) || m_bCacheOnFailure) {
    m_pValues[Channel] = Value;
    Save(Channel);
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacBoolControl::SetEndpointType(ULONG EndpointType, PVOID CallbackObject) {
  m_nEndpointType = EndpointType;
  ReloadSavedChannels(m_pDeviceObject, m_nId, EndpointType, ChannelsShown(m_nChannels, EndpointType), m_pValues,
                      [this](ULONG c, UCHAR value) { SetValue(c, value); });
  PublishControlChange(CallbackObject, m_nId);
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacBoolControl::RestoreToDevice() {
  return RestoreChannels(m_nChannels, m_pValues, [this](ULONG c, auto value) { return SetValue(c, value); });
}

STDMETHODIMP CUacBoolControl::RefreshFromDevice() {
  Ref<IUacBoolControlSource> source;
  NTSTATUS status = Source(&source.p);
  if (!NT_SUCCESS(status)) return status;
  return RefreshChannels(source.p, m_nSelector, m_nChannels, m_pValues, [this](ULONG c) { Save(c); });
}

// ---------------------------------------------------------------------------------------
// Level nodes

CUacLevelControl::CUacLevelControl(PUNKNOWN outerUnknown, ULONG id, ULONG type, MinusInfinity minusInfinity)
    : CLevelControl(outerUnknown, id, type),
      m_pDeviceObject(nullptr),
      m_pUnit(nullptr),
      m_nSelector(0),
      m_MinusInfinity(minusInfinity) {}

NTSTATUS CUacLevelControl::Source(IUacLevelControlSource** source) {
  return Query(m_pUnit, IID_IUacLevelControlSource, source);
}

void CUacLevelControl::Save(ULONG Channel) {
  NodeSavedValue(m_pDeviceObject, SETTINGS_WRITE, m_nId, m_nEndpointType, Channel, &m_pLevels[Channel], sizeof(LONG));
}

NTSTATUS CUacLevelControl::InitUacLevelControl(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject) {
  Ref<IUacLevelControlSource> source;
  NTSTATUS status = Query(Unit, IID_IUacLevelControlSource, &source.p);
  if (!NT_SUCCESS(status)) return status;
  ULONG count = 0;
  status = source->GetChannelCount(Selector, &count);
  if (!NT_SUCCESS(status)) return status;
  LONG maximum = 0, minimum = 0, step = 0;
  status = source->GetRange(Selector, &maximum, &minimum, &step);
  if (!NT_SUCCESS(status)) return status;
  m_nSelector = Selector;
  status = InitChannels(0, count, maximum, minimum, step);
  if (!NT_SUCCESS(status)) return status;
  m_pUnit = Unit;
  m_pDeviceObject = DeviceObject;
  LoadChannels(source.p, Selector, DeviceObject, m_nId, count, m_pLevels);
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacLevelControl::GetLevel(ULONG Channel, PLONG Level) {
  if (Channel >= m_nChannels) return STATUS_INVALID_PARAMETER;
  return CLevelControl::GetLevel(Channel, Level);
}

STDMETHODIMP CUacLevelControl::SetLevel(ULONG Channel, LONG Level) {
  if (Channel >= m_nChannels || !m_pLevels) return STATUS_INVALID_PARAMETER;
  LONG clamped = Level;
  LONG sent = Level;
  if (Level == kLevelMinusInfinity) {
    if (m_MinusInfinity == MinusInfinity::SendMinimum) sent = Quantise(m_nMinimum, m_nStep);
  } else {
    clamped = Clamp(Level, m_nMaximum, m_nMinimum);
    sent = Quantise(clamped, m_nStep);
  }
  Ref<IUacLevelControlSource> source;
  NTSTATUS status = Source(&source.p);
  if (NT_SUCCESS(status)) status = source->SetCur(m_nSelector, Channel, sent);
  if (NT_SUCCESS(status)) {
    m_pLevels[Channel] = clamped;
    Save(Channel);
  }
  return STATUS_SUCCESS;
}

void CUacLevelControl::ReloadChannels(ULONG Count) {
  ReloadSavedChannels(m_pDeviceObject, m_nId, m_nEndpointType, Count, m_pLevels,
                      [this](ULONG c, LONG level) { SetLevel(c, level); });
}

STDMETHODIMP CUacLevelControl::SetEndpointType(ULONG EndpointType, PVOID CallbackObject) {
  m_nEndpointType = EndpointType;
  ReloadChannels(ChannelsShown(m_nChannels, EndpointType));
  PublishControlChange(CallbackObject, m_nId);
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacLevelControl::RestoreToDevice() {
  return RestoreChannels(m_nChannels, m_pLevels, [this](ULONG c, auto value) { return SetLevel(c, value); });
}

STDMETHODIMP CUacLevelControl::RefreshFromDevice() {
  Ref<IUacLevelControlSource> source;
  NTSTATUS status = Source(&source.p);
  if (!NT_SUCCESS(status)) return status;
  return RefreshChannels(source.p, m_nSelector, m_nChannels, m_pLevels, [this](ULONG c) { Save(c); });
}

// ---------------------------------------------------------------------------------------
// Effect switch

CUacEffectControl::CUacEffectControl(PUNKNOWN outerUnknown, ULONG id)
    : CEffectControl(outerUnknown, id),
      m_lChanged{0, 0},
      m_pUnit(nullptr),
      m_nSelector(0),
      m_pDeviceObject(nullptr),
      m_nInitialised(0) {}

NTSTATUS CUacEffectControl::Source(IUacBoolControlSource** source) {
  return Query(m_pUnit, IID_IUacBoolControlSource, source);
}

NTSTATUS CUacEffectControl::InitUacEffectControl(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject) {
  m_pUnit = Unit;
  m_nSelector = Selector;
  Ref<IUacBoolControlSource> source;
  NTSTATUS status = Source(&source.p);
  if (!NT_SUCCESS(status)) return status;
  m_lChanged[0] = 0;
  m_lChanged[1] = 0;
  m_pDeviceObject = DeviceObject;
  m_nInitialised = 1;
  UCHAR value = m_bValue;
  if (!NT_SUCCESS(source->GetCur(Selector, 0, &value))) value = m_bValue;
  NodeSavedValue(DeviceObject, SETTINGS_READ, m_nId, 0, kSingleValue, &value, 1);
  m_bValue = value;
  return InitEffectSource(0);
}

STDMETHODIMP CUacEffectControl::SetValue(UCHAR Value) {
  m_Mutex.Lock();
  Ref<IUacBoolControlSource> source;
  NTSTATUS status = Source(&source.p);
  if (NT_SUCCESS(status)) status = source->SetCur(m_nSelector, 0, Value);
  InterlockedCompareExchange(&m_lChanged[0], 1, 0);
  InterlockedCompareExchange(&m_lChanged[1], 1, 0);
  if (NT_SUCCESS(status)) {
    m_bValue = Value;
    NodeSavedValue(m_pDeviceObject, SETTINGS_WRITE, m_nId, 0, kSingleValue, &m_bValue, 1);
  }
  m_Mutex.Unlock();
  return status;
}

STDMETHODIMP CUacEffectControl::GetValue(PUCHAR Value) {
  if (!Value) return STATUS_INVALID_PARAMETER;
  m_Mutex.Lock();
  *Value = m_bValue;
  m_Mutex.Unlock();
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacEffectControl::RestoreToDevice() { return SetValue(m_bValue); }

STDMETHODIMP CUacEffectControl::RefreshFromDevice() {
  m_Mutex.Lock();
  Ref<IUacBoolControlSource> source;
  NTSTATUS status = Source(&source.p);
  UCHAR value = 0;
  if (NT_SUCCESS(status)) status = source->GetCur(m_nSelector, 0, &value);
  if (NT_SUCCESS(status)) {
    m_bValue = value;
    NodeSavedValue(m_pDeviceObject, SETTINGS_WRITE, m_nId, 0, kSingleValue, &m_bValue, 1);
  }
  m_Mutex.Unlock();
  return status;
}

// ---------------------------------------------------------------------------------------
// Selector

CUacSelectorNode::CUacSelectorNode(PUNKNOWN outerUnknown, ULONG id)
    : CSelectorNode(outerUnknown, id), m_pUnit(nullptr), m_pDeviceObject(nullptr) {}

NTSTATUS CUacSelectorNode::Source(adapter::ISelectorNode** source) {
  return Query(m_pUnit, adapter::IID_ISelectorNode, source);
}

NTSTATUS CUacSelectorNode::InitUacSelectorNode(PUNKNOWN Unit, PDEVICE_OBJECT DeviceObject) {
  Ref<adapter::ISelectorNode> source;
  NTSTATUS status = Query(Unit, adapter::IID_ISelectorNode, &source.p);
  if (!NT_SUCCESS(status)) return status;
  ULONG count = 0;
  status = source->GetInputCount(&count);
  if (!NT_SUCCESS(status)) return status;
  if (count > kMaxNodeChannels) return STATUS_INVALID_PARAMETER;
  ULONG zeros[kMaxNodeChannels] = {};
  status = InitInputs(count, zeros);
  if (!NT_SUCCESS(status)) return status;
  m_pUnit = Unit;
  m_pDeviceObject = DeviceObject;
  ULONG selected = m_nSelected;
  if (!NT_SUCCESS(source->GetSelected(&selected))) selected = m_nSelected;
  NodeSavedValue(DeviceObject, SETTINGS_READ, m_nId, 0, kSingleValue, &selected, sizeof selected);
  if (selected > count) selected = count;
  if (selected == 0) selected = 1;
  m_nSelected = selected;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacSelectorNode::SetSelected(ULONG Input) {
  if (Input == 0 || Input > m_nSourceCount) return STATUS_INVALID_PARAMETER;
  Ref<adapter::ISelectorNode> source;
  NTSTATUS status = Source(&source.p);
  if (NT_SUCCESS(status)) status = source->SetSelected(Input);
  if (NT_SUCCESS(status)) {
    CSelectorNode::SetSelected(Input);
    NodeSavedValue(m_pDeviceObject, SETTINGS_WRITE, m_nId, 0, kSingleValue, &m_nSelected, sizeof m_nSelected);
  }
  return status;
}

STDMETHODIMP CUacSelectorNode::RestoreToDevice() { return SetSelected(m_nSelected); }

STDMETHODIMP CUacSelectorNode::RefreshFromDevice() {
  Ref<adapter::ISelectorNode> source;
  NTSTATUS status = Source(&source.p);
  ULONG selected = 0;
  if (NT_SUCCESS(status)) status = source->GetSelected(&selected);
  // A selection the device cannot have leaves the node as it was.
  if (NT_SUCCESS(status) && selected >= 1 && selected <= m_nSourceCount) m_nSelected = selected;
  return status;
}

// ---------------------------------------------------------------------------------------
// Mixer

NTSTATUS CUacMixerNode::InitUacMixerNode(PUNKNOWN Unit) {
  Ref<adapter::IUacEntity> entity;
  NTSTATUS status = Query(Unit, adapter::IID_IUacEntity, &entity.p);
  if (!NT_SUCCESS(status)) return status;
  const ULONG count = entity->GetSourceCount();
  if (count > kMaxNodeChannels) return STATUS_INVALID_PARAMETER;
  ULONG zeros[kMaxNodeChannels] = {};
  return InitMixerTerminal(count, zeros);
}

// ---------------------------------------------------------------------------------------
// Terminal kind

CUacTerminalKindNode::CUacTerminalKindNode(PUNKNOWN outerUnknown, ULONG id)
    : CTerminalKindNode(outerUnknown, id), m_pTerminal(nullptr), m_pDeviceObject(nullptr), m_pFunction(nullptr) {}

NTSTATUS CUacTerminalKindNode::InitUacTerminalKindNode(PUNKNOWN Terminal, PDEVICE_OBJECT DeviceObject,
                                                       PUNKNOWN Function) {
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(Terminal, adapter::IID_ITerminalNode, &terminal.p);
  if (!NT_SUCCESS(status)) return status;
  ULONG count = 0;
  status = terminal->GetKindCount(&count);
  if (!NT_SUCCESS(status)) return status;
  if (count < 1 || count > kMaxTerminalKinds) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG kinds[kMaxTerminalKinds] = {};
  status = terminal->GetKinds(kinds);
  if (!NT_SUCCESS(status)) return status;
  status = InitKinds(0, count, kinds);
  if (!NT_SUCCESS(status)) return status;
  ULONG current = kinds[0];
  if (NT_SUCCESS(terminal->GetKind(&current))) m_nCurrentKind = current;
  m_pTerminal = Terminal;
  m_pDeviceObject = DeviceObject;
  m_pFunction = Function;
  // A saved kind counts only when the terminal offers it.
  ULONG saved = 0;
  if (NT_SUCCESS(NodeSavedValue(DeviceObject, SETTINGS_READ, m_nId, 0, kSingleValue, &saved, sizeof saved))) {
    for (ULONG i = 0; i < count; ++i)
      if (kinds[i] == saved) m_nCurrentKind = saved;
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacTerminalKindNode::GetKind(PULONG Kind) {
  if (!Kind) return STATUS_INVALID_PARAMETER;
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(m_pTerminal, adapter::IID_ITerminalNode, &terminal.p);
  if (NT_SUCCESS(status)) status = terminal->GetKind(Kind);
  if (NT_SUCCESS(status)) m_nCurrentKind = *Kind;
  return status;
}

NTSTATUS CUacTerminalKindNode::SwitchTo(adapter::ITerminalNode* Terminal, ULONG Kind) {
  NTSTATUS status = Terminal->SetKind(Kind);
  if (!NT_SUCCESS(status)) return status;
  m_nCurrentKind = Kind;
  Ref<adapter::IUacEntity> entity;
  status = Query(m_pTerminal, adapter::IID_IUacEntity, &entity.p);
  if (!NT_SUCCESS(status)) return status;
  Ref<adapter::IUacFunction> function;
  status = Query(m_pFunction, adapter::IID_IUacFunction, &function.p);
  if (!NT_SUCCESS(status)) return status;
  m_nKindChanged = 1;
  status = function->RegisterSubdevices(entity->GetId());
  if (!NT_SUCCESS(status)) return status;
  PCALLBACK_OBJECT callback = nullptr;
  status = function->GetCallbackObject(&callback);
  if (!NT_SUCCESS(status)) return status;
  if (m_pListeners) {
    for (adapter::INodeEndpoint* listener : *m_pListeners) {
      status = listener->SetEndpointType(Kind, callback);
      if (!NT_SUCCESS(status)) return status;
    }
  }
  NodeSavedValue(m_pDeviceObject, SETTINGS_WRITE, m_nId, 0, kSingleValue, &Kind, sizeof Kind);
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacTerminalKindNode::SetKind(ULONG Kind) {
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(m_pTerminal, adapter::IID_ITerminalNode, &terminal.p);
  if (!NT_SUCCESS(status)) return status;
  if (Kind == m_nCurrentKind) return STATUS_SUCCESS;
  const ULONG previous = m_nCurrentKind;
  status = SwitchTo(terminal.p, Kind);
  if (!NT_SUCCESS(status)) {
    m_nCurrentKind = previous;
    terminal->SetKind(previous);
  }
  return status;
}

STDMETHODIMP CUacTerminalKindNode::RestoreToDevice() {
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(m_pTerminal, adapter::IID_ITerminalNode, &terminal.p);
  if (!NT_SUCCESS(status)) return status;
  return terminal->SetKind(m_nCurrentKind);
}

STDMETHODIMP CUacTerminalKindNode::RefreshFromDevice() {
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(m_pTerminal, adapter::IID_ITerminalNode, &terminal.p);
  ULONG kind = 0;
  if (NT_SUCCESS(status)) status = terminal->GetKind(&kind);
  if (!NT_SUCCESS(status)) return status;
  if (kind != m_nCurrentKind) {
    NodeSavedValue(m_pDeviceObject, SETTINGS_WRITE, m_nId, 0, kSingleValue, &kind, sizeof kind);
    status = SetKind(kind);
    m_nCurrentKind = kind;
  }
  return status;
}

// ---------------------------------------------------------------------------------------
// Terminal nodes

namespace {

// The jacks of one kind of a terminal, in pool the caller frees (null when none).
NTSTATUS ReadJacks(adapter::ITerminalNode* terminal, ULONG kindIndex, ULONG count, adapter::PJACKRECORD* jacks) {
  *jacks = nullptr;
  if (!count) return STATUS_SUCCESS;
  if (count > kMaxNodeChannels) return STATUS_INVALID_PARAMETER;
  const SIZE_T bytes = SIZE_T{count} * sizeof(adapter::JackRecord);
  auto* records = static_cast<adapter::PJACKRECORD>(ExAllocatePoolWithTag(PagedPool, bytes, kTerminalPoolTag));
  if (!records) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(records, bytes);
  // The records are copied whatever the presence read gave.
  terminal->GetJackDescriptions(static_cast<ULONG>(bytes), records, kindIndex);
  *jacks = records;
  return STATUS_SUCCESS;
}

// Re-reads the jack records of a terminal node after a device-side change.
NTSTATUS RefreshJacks(adapter::ITerminalNode* terminal, ULONG kindIndex, ULONG& jackCount,
                      adapter::PJACKRECORD& jacks) {
  ULONG count = 0;
  NTSTATUS status = terminal->GetState(&count, kindIndex);
  if (!NT_SUCCESS(status)) return status;
  if (count > kMaxNodeChannels) return STATUS_INVALID_PARAMETER;
  if (count != jackCount) {
    if (jacks) ExFreePoolWithTag(jacks, kTerminalPoolTag);
    jacks = nullptr;
    jackCount = 0;
    if (count) {
      jacks = static_cast<adapter::PJACKRECORD>(
          ExAllocatePoolWithTag(PagedPool, SIZE_T{count} * sizeof(adapter::JackRecord), kTerminalPoolTag));
      if (!jacks) return STATUS_INSUFFICIENT_RESOURCES;
      RtlZeroMemory(jacks, SIZE_T{count} * sizeof(adapter::JackRecord));
      jackCount = count;
    }
  }
  if (jackCount) terminal->GetJackDescriptions(jackCount * sizeof(adapter::JackRecord), jacks, kindIndex);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CUacInputTerminalNode::InitUacInputTerminalNode(PUNKNOWN Terminal,
                                                         const adapter::EndpointCapabilityRecord& Record) {
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(Terminal, adapter::IID_ITerminalNode, &terminal.p);
  if (!NT_SUCCESS(status)) return status;
  ULONG count = 0;
  status = terminal->GetKindCount(&count);
  if (!NT_SUCCESS(status)) return status;
  if (count < 1 || count > kMaxTerminalKinds) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG kinds[kMaxTerminalKinds] = {};
  status = terminal->GetKinds(kinds);
  if (!NT_SUCCESS(status)) return status;
  ULONG jackCount = 0;
  if (!NT_SUCCESS(terminal->GetState(&jackCount, 0))) jackCount = 0;
  adapter::PJACKRECORD jacks = nullptr;
  status = ReadJacks(terminal.p, 0, jackCount, &jacks);
  if (!NT_SUCCESS(status)) return status;
  status = InitTerminal(count, kinds, jackCount, jacks);
  if (jacks) ExFreePoolWithTag(jacks, kTerminalPoolTag);
  if (!NT_SUCCESS(status)) return status;
  ULONG current = kinds[0];
  if (NT_SUCCESS(terminal->GetKind(&current))) m_nCurrentKind = current;
  SetCapabilityRecord(Record);
  m_pTerminal = Terminal;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacInputTerminalNode::RefreshFromDevice() {
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(m_pTerminal, adapter::IID_ITerminalNode, &terminal.p);
  if (!NT_SUCCESS(status)) return status;
  ULONG kind = 0;
  if (NT_SUCCESS(terminal->GetKind(&kind))) m_nCurrentKind = kind;
  return RefreshJacks(terminal.p, 0, m_nJackCount, m_pJacks);
}

NTSTATUS CUacOutputTerminalNode::InitUacOutputTerminalNode(PUNKNOWN Terminal,
                                                           const adapter::EndpointCapabilityRecord& Record) {
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(Terminal, adapter::IID_ITerminalNode, &terminal.p);
  if (!NT_SUCCESS(status)) return status;
  ULONG count = 0;
  status = terminal->GetKindCount(&count);
  if (!NT_SUCCESS(status)) return status;
  if (count < 1 || count > kMaxTerminalKinds || m_nKindIndex >= count) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG jackCount = 0;
  if (!NT_SUCCESS(terminal->GetState(&jackCount, m_nKindIndex))) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG kinds[kMaxTerminalKinds] = {};
  status = terminal->GetKinds(kinds);
  if (!NT_SUCCESS(status)) return status;
  adapter::PJACKRECORD jacks = nullptr;
  status = ReadJacks(terminal.p, m_nKindIndex, jackCount, &jacks);
  if (!NT_SUCCESS(status)) return status;
  SetCapabilityRecord(Record);
  status = InitTerminal(0, 1, &kinds[m_nKindIndex], jackCount, jacks);
  if (jacks) ExFreePoolWithTag(jacks, kTerminalPoolTag);
  if (!NT_SUCCESS(status)) return status;
  m_pTerminal = Terminal;
  return STATUS_SUCCESS;
}

// The node stands for one kind, so only its jacks follow the device.
STDMETHODIMP CUacOutputTerminalNode::RefreshFromDevice() {
  Ref<adapter::ITerminalNode> terminal;
  NTSTATUS status = Query(m_pTerminal, adapter::IID_ITerminalNode, &terminal.p);
  if (!NT_SUCCESS(status)) return status;
  return RefreshJacks(terminal.p, m_nKindIndex, m_nJackCount, m_pJacks);
}

}  // namespace uac
