#include "uac/chip_d_function.h"

#include "adapter/object_model.h"
#include "kernel/dbg.h"
#include "uac/chip_d_feature_unit.h"
#include "uac/descriptor_rules.h"
#include "uac/uac1_units.h"

#include "stream_builder.h"

namespace uac {

namespace {

// The UAC 1.0 builder with the chip's render engine, whose formats carry eight channels
// whatever the interface declares (the device plays the first two).
class ChipDStreamBuilder : public StreamBuilder {
 public:
  using StreamBuilder::StreamBuilder;

 protected:
  StreamEngineClass EngineClass(bool render) const override {
    return render ? StreamEngineClass::ChipDRender : StreamEngineClass::Uac1Capture;
  }
  void ShapeFormat(WAVEFORMATEXTENSIBLE* Format, ULONG Direction) const override {
    if (Direction != adapter::STREAM_DIRECTION_RENDER) return;
    Format->Format.nChannels = kChipDRenderChannels;
    Format->Format.nBlockAlign = static_cast<WORD>(kChipDRenderChannels * (Format->Format.wBitsPerSample / 8));
    Format->dwChannelMask = kChipDRenderChannelMask;
  }
};

}  // namespace

CChipDFunction::CChipDFunction(PUNKNOWN outerUnknown, const adapter::FunctionContext& Context)
    : CUac1Function(outerUnknown, Context), m_nVariant(Context.HaveVariant ? Context.Variant : 0) {
  // Only the variant's rows apply to this function.
  m_nQuirks = 0;
}

STDMETHODIMP CChipDFunction::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, adapter::IID_IUacFunctionDescription))
    return adapter::ReturnInterface<adapter::IUacFunctionDescription>(this, object);
  // Not IUacFunction: the root device object keeps none for this class.
  return CAudioHal::NonDelegatingQueryInterface(iid, object);
}

STDMETHODIMP CChipDFunction::ProbeDevice() {
  PVOID itf = nullptr;
  NTSTATUS status = GetOuterUnknown()->QueryInterface(adapter::IID_IUsbAudioDevice, &itf);
  if (!NT_SUCCESS(status)) return status;
  auto* device = static_cast<adapter::IUsbAudioDevice*>(itf);
  m_pUsbDevice = device;
  m_CapabilityRecord = {};
  // The variant is the probe value of the family's rows; one no row accepts builds nothing.
  const USHORT probe = static_cast<USHORT>(m_nVariant);
  const adapter::QuirkResult quirks = LookUp(&probe);
  if (m_nVariant > 0xFFFF || !(quirks.Quirks & QUIRK_PROBE_ACCEPTED)) {
    SetFault(0, 0, 0, "model \"QVK712\": model variant %u names no variant this function drives",
             static_cast<unsigned>(m_nVariant));
    status = STATUS_UNSUCCESSFUL;
  } else {
    m_CapabilityRecord = quirks.Record;
    // The capability rows hold for this class as for any UAC 1.0 function; the
    // descriptor rows (a terminal retyped, terminals the build demands) do not: this
    // chip's descriptors are taken as they stand.
    m_nQuirks = quirks.Quirks & ~(QUIRK_HEADPHONE_TERMINAL_16 | QUIRK_OUTPUT_TERMINALS_16_AND_64);
    status = BuildControlTopology(device);
    if (NT_SUCCESS(status)) status = BuildStreamTopology(device);
    if (NT_SUCCESS(status)) status = AfterProbe();
  }
  device->Release();
  return status;
}

NTSTATUS CChipDFunction::CreateUnitAt(ULONG Offset, PUCHAR d, CUacUnit** Unit) {
  if (d[2] != AC_FEATURE_UNIT) return CUac1Function::CreateUnitAt(Offset, d, Unit);
  *Unit = nullptr;
  adapter::IUacEntity* entity = nullptr;
  const NTSTATUS status =
      adapter::CreateInstance<CChipDFeatureUnit>(&entity, nullptr, NonPagedPool, kUac1PoolTag, ULONG{d[3]});
  if (!NT_SUCCESS(status)) {
    SetFault(Offset, d[2], d[3], "%s %u could not be created", UnitSubtypeWords(kProtocolUac1, d[2]), d[3]);
    return status;
  }
  *Unit = static_cast<CUacUnit*>(entity);
  return STATUS_SUCCESS;
}

STDMETHODIMP CChipDFunction::BuildUnits(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Bytes) {
  return BuildUnitList(ControlInterface, Bytes, kProtocolUac1);
}

STDMETHODIMP CChipDFunction::BuildFilters(PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                                          PUSB_INTERFACE_DESCRIPTOR FirstInterface, ULONG Bytes) {
  ChipDStreamBuilder builder(*this, GetStreamEngineFactory(), kUac1FunctionTag);
  return BuildStreamInterfaces(builder, Configuration, FirstInterface, Bytes, kProtocolUac1, m_nControlInterface,
                               &m_Fault);
}

NTSTATUS CreateChipDFunction(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, const adapter::FunctionContext& Context) {
  return adapter::CreateNonDelegatingInstance<CChipDFunction>(Unknown, OuterUnknown, NonPagedPool,
                                                              kChipDFunctionTag, Context);
}

}  // namespace uac
