#include "uac/chip_bc_function.h"

#include "adapter/audio_class.h"
#include "adapter/object_model.h"
#include "uac/chip_bc_terminals.h"
#include "uac/uac1_units.h"

namespace uac {
namespace {

// The terminal chip C's devices of one maker declare as a speaker but wire to headphones.
constexpr UCHAR kHeadphoneTerminal = 6;

template <class Unit, ULONG Tag>
NTSTATUS CreateChipClass(ULONG Id, UCHAR, adapter::IUacEntity** Entity) {
  return adapter::CreateInstance<Unit>(Entity, nullptr, NonPagedPool, Tag, Id);
}

// A feature unit: the chip's class for its identifier, else the UAC 1.0 one.
template <bool (*CreateChip)(UCHAR, NTSTATUS*, CUacUnit**), ULONG Tag>
NTSTATUS CreateFeatureUnit(ULONG Id, UCHAR Subtype, adapter::IUacEntity** Entity) {
  NTSTATUS status = STATUS_SUCCESS;
  CUacUnit* unit = nullptr;
  if (!CreateChip(static_cast<UCHAR>(Id), &status, &unit))
    return CreateChipClass<CUac1FeatureUnit, Tag>(Id, Subtype, Entity);
  *Entity = unit;
  return status;
}

constexpr UnitClassRow kChipBUnits[] = {
    {AC_INPUT_TERMINAL, &CreateChipClass<CChipBInputTerminal, kChipBTag>},
    {AC_OUTPUT_TERMINAL, &CreateChipClass<CChipBOutputTerminal, kChipBTag>},
    {AC_MIXER_UNIT, &CreateChipClass<CUac1MixerUnit, kChipBTag>},
    {AC_SELECTOR_UNIT, &CreateChipClass<CUac1SelectorUnit, kChipBTag>},
    {AC_FEATURE_UNIT, &CreateFeatureUnit<&CreateChipBFeatureUnit, kChipBTag>},
};
constexpr UnitClassRow kChipCUnits[] = {
    {AC_INPUT_TERMINAL, &CreateChipClass<CChipCInputTerminal, kChipCTag>},
    {AC_OUTPUT_TERMINAL, &CreateChipClass<CChipCOutputTerminal, kChipCTag>},
    {AC_MIXER_UNIT, &CreateChipClass<CUac1MixerUnit, kChipCTag>},
    {AC_SELECTOR_UNIT, &CreateChipClass<CUac1SelectorUnit, kChipCTag>},
    {AC_FEATURE_UNIT, &CreateFeatureUnit<&CreateChipCFeatureUnit, kChipCTag>},
};

}  // namespace

CChipBcFunction::CChipBcFunction(PUNKNOWN outerUnknown, const adapter::FunctionContext& Context,
                                 const UnitClassRow* Units, ULONG UnitCount)
    : CUac1Function(outerUnknown, Context), m_pUnits(Units), m_nUnits(UnitCount) {}

STDMETHODIMP CChipBcFunction::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_IUacFunction)) {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  return CUac1Function::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CChipBcFunction::ProbeDevice() {
  PVOID itf = nullptr;
  NTSTATUS status = GetOuterUnknown()->QueryInterface(adapter::IID_IUsbAudioDevice, &itf);
  if (!NT_SUCCESS(status)) return status;
  auto* device = static_cast<adapter::IUsbAudioDevice*>(itf);
  m_pUsbDevice = device;  // outlives the function it aggregates; kept without a reference
  status = ProbeModel(device);
  if (NT_SUCCESS(status)) status = BuildControlTopology(device);
  if (NT_SUCCESS(status)) status = BuildStreamTopology(device);
  if (NT_SUCCESS(status)) status = AfterProbe();
  device->Release();
  return status;
}

STDMETHODIMP CChipBcFunction::BuildUnits(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Bytes) {
  return BuildUnitList(ControlInterface, Bytes, kProtocolUac1);
}

NTSTATUS CChipBcFunction::CreateUnitAt(ULONG Offset, PUCHAR d, CUacUnit** Unit) {
  const UCHAR subtype = d[2];
  // Processing and extension units, and unknown subtypes: the UAC 1.0 refusal.
  if (!FindLengthRule(kProtocolUac1, subtype)) return CUac1Function::CreateUnitAt(Offset, d, Unit);
  if ((m_nQuirks & QUIRK_HEADPHONE_TERMINAL_6) && subtype == AC_OUTPUT_TERMINAL && d[3] == kHeadphoneTerminal &&
      (d[4] | d[5] << 8) == adapter::TERMINAL_SPEAKER) {
    d[4] = adapter::TERMINAL_HEADPHONES & 0xFF;
    d[5] = adapter::TERMINAL_HEADPHONES >> 8;
  }
  NTSTATUS status = CreateUnitOfTable(m_pUnits, m_nUnits, subtype, d[3], Unit);
  if (!NT_SUCCESS(status))
    SetFault(Offset, subtype, d[3], "%s %u could not be created", UnitSubtypeWords(kProtocolUac1, subtype), d[3]);
  return status;
}

CChipBFunction::CChipBFunction(PUNKNOWN outerUnknown, const adapter::FunctionContext& Context)
    : CChipBcFunction(outerUnknown, Context, kChipBUnits, sizeof kChipBUnits / sizeof kChipBUnits[0]) {}

CChipCFunction::CChipCFunction(PUNKNOWN outerUnknown, const adapter::FunctionContext& Context)
    : CChipBcFunction(outerUnknown, Context, kChipCUnits, sizeof kChipCUnits / sizeof kChipCUnits[0]) {}

NTSTATUS CreateChipBFunction(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, const adapter::FunctionContext& Context) {
  return adapter::CreateNonDelegatingInstance<CChipBFunction>(Unknown, OuterUnknown, NonPagedPool, kChipBTag, Context);
}

NTSTATUS CreateChipCFunction(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, const adapter::FunctionContext& Context) {
  return adapter::CreateNonDelegatingInstance<CChipCFunction>(Unknown, OuterUnknown, NonPagedPool, kChipCTag, Context);
}

}  // namespace uac
