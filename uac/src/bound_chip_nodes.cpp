// Bound nodes of the UAC 2.0 and chip-specific units: the stream-linked mute, the gain
// switch, the input gain pad, the software-applied vendor volume and the clock rate.
#include "adapter/object_model.h"
#include "adapter/settings.h"
#include "dsp/db_gain.h"
#include "uac/bound_nodes.h"

#include "bound_query.h"

namespace uac {

using bound::Query;

// ---------------------------------------------------------------------------------------

STDMETHODIMP CUacMuteLedControl::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_IStreamLink))
    return adapter::ReturnInterface<adapter::IStreamLink>(this, object);
  return CUacMuteControl::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CUacMuteLedControl::SetDirection(ULONG Value) {
  m_nLink[0] = Value;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacMuteLedControl::SetPinIndex(ULONG Value) {
  m_nLink[1] = Value;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacGainControl::SetValue(ULONG Channel, UCHAR Value) {
  if (Channel >= m_nChannels || !m_pValues) return STATUS_INVALID_PARAMETER;
  m_pValues[Channel] = Value;
  Save(Channel);
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------

STDMETHODIMP CUacInputGainPadControl::GetLevel(ULONG Channel, PLONG Level) {
  return CUacLevelControl::GetLevel(Channel == kAllChannels ? 0 : Channel, Level);
}

STDMETHODIMP CUacInputGainPadControl::SetLevel(ULONG Channel, LONG Level) {
  if (Channel != kAllChannels && Channel >= m_nChannels) return STATUS_INVALID_PARAMETER;
  if (!m_pLevels || !m_nChannels) return STATUS_INVALID_PARAMETER;
  LONG clamped = Level == kLevelMinusInfinity ? m_nMinimum : Level;
  if (clamped > m_nMaximum)
    clamped = m_nMaximum;
  else if (clamped < m_nMinimum)
    clamped = m_nMinimum;
  const LONG sent = m_nStep ? static_cast<LONG>(static_cast<LONGLONG>(clamped) / m_nStep * m_nStep) : clamped;
  IUacLevelControlSource* source = nullptr;
  if (!NT_SUCCESS(Source(&source))) return STATUS_SUCCESS;
  if (Channel == kAllChannels) {
    for (ULONG c = 0; c < m_nChannels; ++c) {
      if (!NT_SUCCESS(source->SetCur(m_nSelector, c, sent))) {
        source->Release();
        return STATUS_SUCCESS;
      }
      m_pLevels[c] = clamped;
      Save(c);
    }
    m_pLevels[0] = clamped;
    Save(0);
  } else if (NT_SUCCESS(source->SetCur(m_nSelector, Channel, sent))) {
    m_pLevels[Channel] = clamped;
    Save(Channel);
  }
  source->Release();
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------

CUacVendorVolumeControl::~CUacVendorVolumeControl() {
  if (m_pGains) ExFreePoolWithTag(m_pGains, kGainTablePoolTag);
}

STDMETHODIMP CUacVendorVolumeControl::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_IStreamLink))
    return adapter::ReturnInterface<adapter::IStreamLink>(this, object);
  if (object && IsEqualGUID(iid, adapter::IID_IDspNode)) return adapter::ReturnInterface<adapter::IDspNode>(this, object);
  return CUacVolumeControl::NonDelegatingQueryInterface(iid, object);
}

void CUacVendorVolumeControl::UpdateGain(ULONG Channel, LONG Level) {
  if (m_pGains && Channel < m_nChannels)
    m_pGains[Channel] = FastPowF(10.0f, static_cast<float>(Level) / 65536.0f / 20.0f);
}

NTSTATUS CUacVendorVolumeControl::InitUacVendorVolumeControl(PUNKNOWN Unit, ULONG Selector,
                                                             PDEVICE_OBJECT DeviceObject) {
  NTSTATUS status = InitUacLevelControl(Unit, Selector, DeviceObject);
  if (!NT_SUCCESS(status)) return status;
  const SIZE_T bytes = (SIZE_T{m_nChannels} + 1) * sizeof(float);
  m_pGains = static_cast<float*>(ExAllocatePoolWithTag(NonPagedPool, bytes, kGainTablePoolTag));
  if (!m_pGains) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(m_pGains, bytes);
  for (ULONG c = 0; c < m_nChannels; ++c) UpdateGain(c, m_pLevels[c]);
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacVendorVolumeControl::SetLevel(ULONG Channel, LONG Level) {
  if (Channel >= m_nChannels) return STATUS_INVALID_PARAMETER;
  CUacVolumeControl::SetLevel(Channel, Level);
  LONG clamped = Level;
  if (Level != kLevelMinusInfinity)
    clamped = Level > m_nMaximum ? m_nMaximum : (Level < m_nMinimum ? m_nMinimum : Level);
  UpdateGain(Channel, clamped);
  return STATUS_SUCCESS;
}

// Every channel follows the endpoint, not only those the endpoint shows.
STDMETHODIMP CUacVendorVolumeControl::SetEndpointType(ULONG EndpointType, PVOID CallbackObject) {
  CUacLevelControl::SetEndpointType(EndpointType, CallbackObject);
  ReloadChannels(m_nChannels);
  PublishControlChange(CallbackObject, m_nId);
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacVendorVolumeControl::RefreshFromDevice() {
  IUacLevelControlSource* source = nullptr;
  NTSTATUS status = Source(&source);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG c = 0; c < m_nChannels && NT_SUCCESS(status); ++c) {
    LONG level = 0;
    status = source->GetCur(m_nSelector, c, &level);
    if (!NT_SUCCESS(status)) break;
    SetLevel(c, level);
    m_pLevels[c] = level;
    Save(c);
  }
  source->Release();
  return status;
}

STDMETHODIMP CUacVendorVolumeControl::SetDirection(ULONG Value) {
  m_nLink[0] = Value;
  return STATUS_SUCCESS;
}

STDMETHODIMP CUacVendorVolumeControl::SetPinIndex(ULONG Value) {
  m_nLink[1] = Value;
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------

NTSTATUS CUacClockRateControl::InitUacClockRateControl(PUNKNOWN Clock) {
  IUacClockSource* clock = nullptr;
  NTSTATUS status = Query(Clock, IID_IUacClockSource, &clock);
  if (!NT_SUCCESS(status)) return status;
  ULONG count = 0;
  status = clock->GetRateCount(&count);
  if (NT_SUCCESS(status) && count < 1) status = STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status)) {
    // A clock lists fewer than kMaxClockRates rates; more are not taken.
    ULONG rates[kMaxClockRates] = {};
    count = count < kMaxClockRates - 1 ? count : kMaxClockRates - 1;
    status = clock->GetRates(&count, rates);
    if (NT_SUCCESS(status)) status = SetRates(count, rates);
  }
  clock->Release();
  if (NT_SUCCESS(status)) m_pClock = Clock;
  return status;
}

STDMETHODIMP CUacClockRateControl::SetCurrentRate(ULONG Rate) {
  IUacClockSource* clock = nullptr;
  NTSTATUS status = Query(m_pClock, IID_IUacClockSource, &clock);
  if (!NT_SUCCESS(status)) return status;
  status = clock->SetCurrentRate(Rate);
  clock->Release();
  if (NT_SUCCESS(status)) m_nCurrentRate = Rate;
  return status;
}

STDMETHODIMP CUacClockRateControl::IsValid(PUCHAR Valid) {
  IUacClockSource* clock = nullptr;
  NTSTATUS status = Query(m_pClock, IID_IUacClockSource, &clock);
  if (!NT_SUCCESS(status)) return status;
  status = clock->IsValid(Valid);
  clock->Release();
  return status;
}

}  // namespace uac
