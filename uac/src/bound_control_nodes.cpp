#include "uac/bound_control_nodes.h"

#include "adapter/object_model.h"
#include "adapter/settings.h"
#include "adapter/uac_function.h"
#include "kernel/callback.h"
#include "kernel/rtl.h"

#include "bound_query.h"

namespace uac {

using bound::Query;
using bound::Ref;

namespace {

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

namespace {

// Per-channel value handling shared by the boolean and level nodes; Value is the node's
// channel value type and Source its control-source interface.

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
  LoadNodeChannels(source.p, Selector, DeviceObject, m_nId, count, m_pValues);
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
  LoadNodeChannels(source.p, Selector, DeviceObject, m_nId, count, m_pLevels);
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

}  // namespace uac
