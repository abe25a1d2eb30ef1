// The UAC 2.0 clock source, mixer, extension and selector units, and the factory of every
// 2.0 unit class.
#include "adapter/audio_hal.h"
#include "adapter/object_model.h"
#include "uac/bound_nodes.h"
#include "uac/uac2_units.h"

namespace uac {

namespace {

// Clock source controls: sampling frequency (1) and validity (2), in the high byte.
constexpr USHORT kClockFrequency = 0x0100;
constexpr USHORT kClockValidity = 0x0200;
// bmControls of a clock source descriptor, and the two bits of its frequency control.
constexpr ULONG kClockControlsAt = 5;
constexpr ULONG kControlReadable = 1;
constexpr ULONG kControlWritable = 2;
// A RANGE reply: wNumSubRanges, then {MIN, MAX, RES} of 4 bytes each.
constexpr ULONG kRangeHead = 2;
constexpr ULONG kRangeEntry = 12;
constexpr ULONG kFirstRangeReply = kRangeHead + kRangeEntry;  // 14

// Selector unit control: the selected input (1).
constexpr USHORT kSelectorValue = 0x0100;

ULONG Read32(const UCHAR* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<ULONG>(p[3]) << 24; }

// The pins of a mixer or selector (count at `pins`, identifiers after it) as the unit's sources.
NTSTATUS SetPinSources(adapter::CUacEntity& unit, const UCHAR* descriptor, ULONG pins) {
  const ULONG count = descriptor[pins];  // the length rule holds them all
  ULONG ids[255];
  for (ULONG i = 0; i < count; ++i) ids[i] = descriptor[pins + 1 + i];
  return unit.SetSources(count, ids);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Clock source

STDMETHODIMP CUac2ClockSource::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_IUacClockSource)) return adapter::ReturnInterface<IUacClockSource>(this, object);
  return CUacUnit::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CUac2ClockSource::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                adapter::CAudioHal* Function) {
  if (!Function) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac2, AC2_CLOCK_SOURCE);
  if (!NT_SUCCESS(status)) return status;
  SetSources(0, nullptr);
  adapter::IUacEntity* entity = nullptr;
  status = adapter::CreateInstance<CUacClockRateControl>(&entity, nullptr, NonPagedPool, kUac2PoolTag,
                                                         Function->GetEntityCount());
  if (!NT_SUCCESS(status)) return Refuse(status, "could not get memory for its rate control");
  status = static_cast<CUacClockRateControl*>(entity)->InitUacClockRateControl(static_cast<IUacClockSource*>(this));
  if (!NT_SUCCESS(status)) {
    entity->Release();
    return Refuse(status, status == STATUS_INVALID_PARAMETER
                              ? "offers a continuous rate range; only discrete rates are supported"
                              : "did not list its sampling rates");
  }
  status = AddCreatedNode(Function, entity);
  if (NT_SUCCESS(status)) LinkNodeChain();
  return status;
}

ULONG CUac2ClockSource::FrequencyControl() const {
  // A clock source descriptor is 8 bytes long (the length rule held at Init).
  return m_pDescriptor && m_nDescriptorLength > kClockControlsAt ? m_pDescriptor[kClockControlsAt] & 3u : 0;
}

STDMETHODIMP CUac2ClockSource::GetRateCount(PULONG Count) {
  if (!Count) return STATUS_INVALID_PARAMETER;
  *Count = 0;
  if (FrequencyControl() == kControlReadable) {
    // A fixed clock offers the one rate it runs at.
    ULONG rate = 0;
    const NTSTATUS status = GetCurrentRate(&rate);
    if (NT_SUCCESS(status)) *Count = 1;
    return status;
  }
  UCHAR reply[kFirstRangeReply] = {};
  ULONG got = 0;
  NTSTATUS status = SendRequest(false, true, kUac2Range, kClockFrequency, reply, sizeof reply, &got);
  if (NT_SUCCESS(status)) *Count = got >= kRangeHead ? static_cast<ULONG>(reply[0] | reply[1] << 8) : 0;
  return status;
}

STDMETHODIMP CUac2ClockSource::GetRates(PULONG Count, PULONG Rates) {
  if (!Count || !Rates) return STATUS_INVALID_PARAMETER;
  ULONG listed = 0;
  NTSTATUS status = GetRateCount(&listed);
  if (!NT_SUCCESS(status)) return status;
  if (*Count > listed) *Count = listed;
  if (*Count == 0) return STATUS_SUCCESS;
  if (FrequencyControl() == kControlReadable) return GetCurrentRate(Rates);
  const ULONG length = kRangeEntry * (*Count - 1) + kFirstRangeReply;
  // A RANGE reply is at most 64 KiB: wLength is 16 bits.
  if (length > 0xFFFF) return STATUS_INVALID_PARAMETER;
  auto* reply = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, kUac2PoolTag));
  if (!reply) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(reply, length);
  ULONG got = 0;
  status = SendRequest(false, true, kUac2Range, kClockFrequency, reply, length, &got);
  if (NT_SUCCESS(status)) {
    // Only the subranges the device actually sent count.
    const ULONG sent = got >= kRangeHead ? (got - kRangeHead) / kRangeEntry : 0;
    if (sent < *Count) *Count = sent;
    for (ULONG i = 0; i < *Count; ++i) {
      const UCHAR* r = reply + kRangeHead + kRangeEntry * i;
      const ULONG minimum = Read32(r), maximum = Read32(r + 4), resolution = Read32(r + 8);
      if (minimum == maximum && resolution == 0)
        Rates[i] = minimum;
      else
        status = STATUS_INVALID_PARAMETER;  // a continuous subrange names no one rate
    }
  }
  ExFreePoolWithTag(reply, kUac2PoolTag);
  return status;
}

STDMETHODIMP CUac2ClockSource::SetCurrentRate(ULONG Rate) {
  const ULONG control = FrequencyControl();
  if (control == 0) return STATUS_SUCCESS;  // nothing to set and nothing to ask
  if (!(control & kControlWritable)) {
    ULONG current = 0;
    const NTSTATUS status = GetCurrentRate(&current);
    if (!NT_SUCCESS(status)) return status;
    return current == Rate ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  }
  UCHAR wire[4] = {static_cast<UCHAR>(Rate), static_cast<UCHAR>(Rate >> 8), static_cast<UCHAR>(Rate >> 16),
                   static_cast<UCHAR>(Rate >> 24)};
  return SendRequest(false, false, kUac2Cur, kClockFrequency, wire, sizeof wire);
}

STDMETHODIMP CUac2ClockSource::GetCurrentRate(PULONG Rate) {
  if (!Rate) return STATUS_INVALID_PARAMETER;
  UCHAR wire[4] = {};
  NTSTATUS status = SendRequest(false, true, kUac2Cur, kClockFrequency, wire, sizeof wire);
  if (NT_SUCCESS(status)) *Rate = Read32(wire);
  return status;
}

STDMETHODIMP CUac2ClockSource::IsValid(PUCHAR Valid) {
  if (!Valid) return STATUS_INVALID_PARAMETER;
  return SendRequest(false, true, kUac2Cur, kClockValidity, Valid, 1);
}

// ---------------------------------------------------------------------------------------
// Mixer and extension units

NTSTATUS CUac2MixerUnit::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device, adapter::CAudioHal* Function) {
  if (!Function) return STATUS_INVALID_PARAMETER;
  const bool extension = m_nType == AC2_EXTENSION_UNIT;
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac2, extension ? AC2_EXTENSION_UNIT : AC_MIXER_UNIT);
  if (!NT_SUCCESS(status)) return status;
  // bNrInPins at 4 (mixer) or 6 (extension, after wExtensionCode).
  status = SetPinSources(*this, m_pDescriptor, extension ? 6 : 4);
  if (!NT_SUCCESS(status)) return status;
  adapter::IUacEntity* entity = nullptr;
  status =
      adapter::CreateInstance<CUacMixerNode>(&entity, nullptr, NonPagedPool, kUac2PoolTag, Function->GetEntityCount());
  if (!NT_SUCCESS(status)) return status;
  status = static_cast<CUacMixerNode*>(entity)->InitUacMixerNode(static_cast<IUacUnit*>(this));
  if (!NT_SUCCESS(status)) {
    entity->Release();
    return status;
  }
  status = AddCreatedNode(Function, entity);
  if (NT_SUCCESS(status)) LinkNodeChain();
  return status;
}

// ---------------------------------------------------------------------------------------
// Selector unit

NTSTATUS CUac2SelectorUnit::Init(const void* Descriptor, adapter::IUsbAudioDevice* Device,
                                 adapter::CAudioHal* Function) {
  if (!Function) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = InitUnit(Descriptor, Device, kProtocolUac2, AC_SELECTOR_UNIT);
  if (!NT_SUCCESS(status)) return status;
  status = CreateControls(Function);
  if (NT_SUCCESS(status)) LinkNodeChain();
  return status;
}

STDMETHODIMP CUac2SelectorUnit::GetSelected(PULONG Input) {
  if (!Input || !m_pDescriptor) return STATUS_INVALID_PARAMETER;
  UCHAR wire = 0;
  NTSTATUS status = SendRequest(false, true, kUac2Cur, kSelectorValue, &wire, 1);
  if (NT_SUCCESS(status)) *Input = wire;
  return status;
}

STDMETHODIMP CUac2SelectorUnit::SetSelected(ULONG Input) {
  if (!m_pDescriptor || Input < 1 || Input > m_pDescriptor[4]) return STATUS_INVALID_PARAMETER;
  UCHAR wire = static_cast<UCHAR>(Input);
  return SendRequest(false, false, kUac2Cur, kSelectorValue, &wire, 1);
}

// ---------------------------------------------------------------------------------------

namespace {

template <class Unit>
NTSTATUS CreateUac2Class(ULONG Id, UCHAR, adapter::IUacEntity** Entity) {
  return adapter::CreateInstance<Unit>(Entity, nullptr, NonPagedPool, kUac2PoolTag, Id);
}

// Mixer and extension units share a class that keeps its subtype.
NTSTATUS CreateUac2Mixer(ULONG Id, UCHAR Subtype, adapter::IUacEntity** Entity) {
  return adapter::CreateInstance<CUac2MixerUnit>(Entity, nullptr, NonPagedPool, kUac2PoolTag, Id,
                                                 static_cast<ULONG>(Subtype));
}

constexpr UnitClassRow kUac2Units[] = {
    {AC_INPUT_TERMINAL, &CreateUac2Class<CUac2InputTerminal>},
    {AC_OUTPUT_TERMINAL, &CreateUac2Class<CUac2OutputTerminal>},
    {AC_MIXER_UNIT, &CreateUac2Mixer},
    {AC2_EXTENSION_UNIT, &CreateUac2Mixer},
    {AC_SELECTOR_UNIT, &CreateUac2Class<CUac2SelectorUnit>},
    {AC_FEATURE_UNIT, &CreateUac2Class<CUac2FeatureUnit>},
    {AC2_CLOCK_SOURCE, &CreateUac2Class<CUac2ClockSource>},
};

}  // namespace

NTSTATUS CreateUac2Unit(UCHAR Subtype, ULONG Id, CUacUnit** Unit) {
  return CreateUnitOfTable(kUac2Units, sizeof kUac2Units / sizeof kUac2Units[0], Subtype, Id, Unit);
}

}  // namespace uac
