// Chip class A's own nodes: the render unit's software mute and volume, the S/PDIF input's
// linked mute, the record unit's software mute and the register-driven gain switch.
#include "uac/chip_a_nodes.h"

#include "adapter/endpoint_type.h"
#include "adapter/object_model.h"
#include "adapter/settings.h"
#include "sp/sp.h"
#include "uac/chip_a_function.h"
#include "uac/chip_a_units.h"
#include "uac/unit_interfaces.h"

namespace uac {

namespace {

// The endpoint type, and the stream-link direction value, the chip's software controls
// act on: the S/PDIF output, whose data the device passes untouched.
constexpr ULONG kSoftwareEndpoint = adapter::ENDPOINT_SPDIF;
constexpr ULONG kLinkedDirection = 3;

template <class Node>
NTSTATUS AnswerDsp(Node* node, REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_IDspNode))
    return adapter::ReturnInterface<adapter::IDspNode>(node, object);
  return STATUS_INVALID_PARAMETER;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Mute nodes

STDMETHODIMP CChipAMuteNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  NTSTATUS status = CUacMuteControl::NonDelegatingQueryInterface(iid, object);
  if (NT_SUCCESS(status) || !object) return status;
  return IsEqualGUID(iid, adapter::IID_IDspNode) ? AnswerDsp(this, iid, object) : status;
}

STDMETHODIMP CChipAMuteNode::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
  if (m_nEndpointType == kSoftwareEndpoint && m_pValues && m_pValues[0]) SilenceStreamBuffer(Format, Data, Frames);
  return STATUS_SUCCESS;
}

STDMETHODIMP CChipALinkedMuteNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  NTSTATUS status = CUacMuteLedControl::NonDelegatingQueryInterface(iid, object);
  if (NT_SUCCESS(status) || !object) return status;
  return IsEqualGUID(iid, adapter::IID_IDspNode) ? AnswerDsp(this, iid, object) : status;
}

STDMETHODIMP CChipALinkedMuteNode::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
  if (Direction() == kLinkedDirection && m_pValues && m_pValues[0]) SilenceStreamBuffer(Format, Data, Frames);
  return STATUS_SUCCESS;
}

NTSTATUS CChipASoftMuteNode::InitUacBoolControl(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject) {
  if (!Unit) return STATUS_INVALID_PARAMETER;
  IUacBoolControlSource* source = nullptr;
  NTSTATUS status = Unit->QueryInterface(IID_IUacBoolControlSource, reinterpret_cast<PVOID*>(&source));
  if (!NT_SUCCESS(status)) return status;
  ULONG count = 0;
  status = source->GetChannelCount(Selector, &count);
  if (NT_SUCCESS(status)) status = InitChannels(0, count);
  if (NT_SUCCESS(status)) {
    m_pDeviceObject = DeviceObject;
    LoadNodeChannels(source, Selector, DeviceObject, m_nId, count, m_pValues);
  }
  source->Release();
  return status;
}

STDMETHODIMP CChipASoftMuteNode::SetValue(ULONG Channel, UCHAR Value) {
  if (Channel >= m_nChannels || !m_pValues) return STATUS_INVALID_PARAMETER;
  m_pValues[Channel] = Value;
  NodeSavedValue(m_pDeviceObject, SETTINGS_WRITE, m_nId, m_nEndpointType, Channel, &m_pValues[Channel], 1);
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Volume node

CChipAVolumeNode::CChipAVolumeNode(PUNKNOWN outerUnknown, ULONG id) : CUacVolumeControl(outerUnknown, id), m_Gains{} {
  for (float& gain : m_Gains) gain = 1.0f;
}

STDMETHODIMP CChipAVolumeNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  NTSTATUS status = CUacVolumeControl::NonDelegatingQueryInterface(iid, object);
  if (NT_SUCCESS(status) || !object) return status;
  return IsEqualGUID(iid, adapter::IID_IDspNode) ? AnswerDsp(this, iid, object) : status;
}

NTSTATUS CChipAVolumeNode::InitChipAVolumeNode(PUNKNOWN Unit, ULONG Selector, PDEVICE_OBJECT DeviceObject) {
  NTSTATUS status = InitUacLevelControl(Unit, Selector, DeviceObject);
  if (NT_SUCCESS(status)) UpdateGains(0, GainCount());
  return status;
}

void CChipAVolumeNode::UpdateGains(ULONG First, ULONG Count) {
  if (!m_pLevels || First >= GainCount()) return;
  if (Count > GainCount() - First) Count = GainCount() - First;
  if (!Count) return;
  static constexpr float kTen[kChipAMaxGainChannels] = {10, 10, 10, 10, 10, 10, 10, 10};
  float exponents[kChipAMaxGainChannels];
  float gains[kChipAMaxGainChannels];
  const int n = static_cast<int>(Count);
  spConvert_32s32f(reinterpret_cast<const int32*>(m_pLevels + First), exponents, n);
  spDivConstInPlace_32f(kChipALevelPerDecade, exponents, n);
  spPower_32f(kTen, exponents, gains, n);
  // One store per gain: the stream's processing reads them without a lock.
  for (ULONG c = 0; c < Count; ++c) m_Gains[First + c] = gains[c];
}

STDMETHODIMP CChipAVolumeNode::SetLevel(ULONG Channel, LONG Level) {
  NTSTATUS status = CUacVolumeControl::SetLevel(Channel, Level);
  if (NT_SUCCESS(status)) UpdateGains(Channel, 1);
  return status;
}

STDMETHODIMP CChipAVolumeNode::SetEndpointType(ULONG EndpointType, PVOID CallbackObject) {
  NTSTATUS status = CUacVolumeControl::SetEndpointType(EndpointType, CallbackObject);
  UpdateGains(0, GainCount());
  return status;
}

STDMETHODIMP CChipAVolumeNode::RefreshFromDevice() {
  NTSTATUS status = CUacVolumeControl::RefreshFromDevice();
  UpdateGains(0, GainCount());
  return status;
}

STDMETHODIMP CChipAVolumeNode::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
  if (m_nEndpointType == kSoftwareEndpoint) ScalePlanarChannels(Format, Data, Frames, m_Gains, GainCount());
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Gain switch

NTSTATUS CChipASwitchControl::InitChipASwitch(PUNKNOWN Unit, PDEVICE_OBJECT DeviceObject, CChipAFunction* Chip) {
  NTSTATUS status = InitUacSingleBoolControl(Unit, DeviceObject);
  if (NT_SUCCESS(status)) m_pChip = Chip;
  return status;
}

STDMETHODIMP CChipASwitchControl::GetValue(ULONG Channel, PUCHAR Value) {
  if (Channel != 0) return STATUS_INVALID_PARAMETER;
  return CUacGainControl::GetValue(Channel, Value);
}

STDMETHODIMP CChipASwitchControl::SetValue(ULONG Channel, UCHAR Value) {
  if (Channel != 0 || !m_pChip || !m_pValues) return STATUS_INVALID_PARAMETER;
  const NTSTATUS status = m_pChip->WriteChipRegister(kChipALedRegister, Value ? 0x10 : 0x30, kChipALedMask);
  if (NT_SUCCESS(status)) {
    m_pValues[0] = Value;
    Save(0);
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP CChipASwitchControl::RestoreToDevice() {
  if (!m_nChannels || !m_pValues) return STATUS_INVALID_PARAMETER;
  return SetValue(0, m_pValues[0]);
}

}  // namespace uac
