#include "uac/uac2_function.h"

#include "uac/register_subdevices.h"

#include "adapter/audio_class.h"
#include "adapter/endpoint_type.h"
#include "adapter/node_interfaces.h"
#include "adapter/object_model.h"
#include "adapter/settings.h"
#include "kernel/registry.h"
#include "uac/register_subdevices.h"
#include "uac/uac2_units.h"
#include "uac/uac_unit.h"

namespace uac {
namespace {

// The capability template of each model variant (1 to 5); variants 3 to 5 carry the mask
// of variant 1.
struct VariantTemplate {
  ULONG Mask;
  ULONG FeatureFlags;
};
constexpr VariantTemplate kVariantTemplates[] = {
    {0x3FE06F, 3},  // 1
    {0x3FE0EF, 3},  // 2
    {0x3FE06F, 2},  // 3
    {0x3FE06F, 2},  // 4
    {0x3FE06F, 2},  // 5
};

// Endpoint records of the 2.0 form.
constexpr ULONG kRenderMask = 0x3FE0FF;
constexpr ULONG kCaptureMask = 0x28000;
constexpr ULONG kCaptureFlags = 18;
constexpr ULONG kHeadphoneMask = 0x603F;
constexpr ULONG kHeadphoneFlags = 3;
constexpr ULONG kMicMask = 0x29000;

constexpr adapter::DeviceQuirk kUac2Quirks[] = {
    {.VendorId = 0x0B05, .ProductFirst = 0x17B1, .Quirks = QUIRK_UAC2_HEADPHONE_MIC_RECORDS},
};

}  // namespace

CUac2Function::CUac2Function(PUNKNOWN outerUnknown, const adapter::FunctionContext& Context)
    : CUac1Function(outerUnknown, Context), m_nVariant(Context.HaveVariant ? Context.Variant : kUac2FirstVariant) {
  // The 1.0 quirk table does not apply; the 2.0 rows need no probe value.
  const adapter::DeviceIdentity identity{m_VendorId, m_ProductId, m_bHaveModel ? m_Model : nullptr, m_nModelUnits};
  m_nQuirks = adapter::LookUpQuirks(kUac2Quirks, sizeof kUac2Quirks / sizeof kUac2Quirks[0], identity, nullptr).Quirks;
}

STDMETHODIMP CUac2Function::ProbeDevice() {
  PVOID itf = nullptr;
  NTSTATUS status = GetOuterUnknown()->QueryInterface(adapter::IID_IUsbAudioDevice, &itf);
  if (!NT_SUCCESS(status)) return status;
  auto* device = static_cast<adapter::IUsbAudioDevice*>(itf);
  m_pUsbDevice = device;
  m_CapabilityRecord = {};
  if (m_nVariant < kUac2FirstVariant || m_nVariant > kUac2LastVariant) {
    SetFault(0, 0, 0, "\"ModelVariant\" is %u; a USB Audio Class 2.0 function drives variants 1 to 5", m_nVariant);
    status = STATUS_UNSUCCESSFUL;
  } else {
    const VariantTemplate& t = kVariantTemplates[m_nVariant - kUac2FirstVariant];
    m_CapabilityRecord.CapabilityMask = t.Mask;
    m_CapabilityRecord.FeatureFlags = t.FeatureFlags;
    status = BuildControlTopology(device);
    if (NT_SUCCESS(status)) status = BuildStreamTopology(device);
  }
  device->Release();
  return status;
}

STDMETHODIMP CUac2Function::BuildUnits(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Bytes) {
  return BuildUnitList(ControlInterface, Bytes, kProtocolUac2);
}

NTSTATUS CUac2Function::CreateUnitAt(ULONG Offset, PUCHAR d, CUacUnit** Unit) {
  const UCHAR subtype = d[2];
  NTSTATUS status = CreateUac2Unit(subtype, d[3], Unit);
  if (status == STATUS_INVALID_PARAMETER) {
    // Effect, processing, clock selector, clock multiplier and sample-rate converter
    // descriptors, and anything unknown, stop the build.
    if (subtype >= AC2_EFFECT_UNIT && subtype <= 13)
      SetFault(Offset, subtype, d[3], "%s %u is not supported, so the function is not built",
               UnitSubtypeWords(kProtocolUac2, subtype), d[3]);
    else
      SetFault(Offset, subtype, d[3], "descriptor subtype %u is not an Audio Control unit, so the function is not built",
               subtype);
    return STATUS_UNSUCCESSFUL;
  }
  if (!NT_SUCCESS(status)) {
    SetFault(Offset, subtype, d[3], "%s %u could not be created", UnitSubtypeWords(kProtocolUac2, subtype), d[3]);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP CUac2Function::GetCapabilityRecord(ULONG Direction, ULONG EndpointType,
                                                adapter::EndpointCapabilityRecord* Record) {
  if (!Record) return STATUS_UNSUCCESSFUL;
  *Record = {};
  const ULONG engines = GetEngineCount();
  if (m_nQuirks & QUIRK_UAC2_HEADPHONE_MIC_RECORDS) {
    if (EndpointType == adapter::ENDPOINT_HP) {
      Record->CapabilityMask = kHeadphoneMask;
      Record->FeatureFlags = kHeadphoneFlags;
    } else if (EndpointType == adapter::ENDPOINT_MIC) {
      Record->CapabilityMask = kMicMask;
    }
    return STATUS_SUCCESS;
  }
  if (Direction == adapter::STREAM_DIRECTION_CAPTURE) {
    if (EndpointType == adapter::ENDPOINT_SPDIF) return STATUS_SUCCESS;
    const bool recording = EndpointType == adapter::ENDPOINT_MIC || EndpointType == adapter::ENDPOINT_FMIC ||
                           EndpointType == adapter::ENDPOINT_REC;
    Record->CapabilityMask = recording ? m_CapabilityRecord.CapabilityMask & kCaptureMask : 0;
    Record->FeatureFlags = kCaptureFlags;
    return STATUS_SUCCESS;
  }
  if (EndpointType == adapter::ENDPOINT_SPDIF) {
    Record->FeatureFlags = engines == 1 ? m_CapabilityRecord.FeatureFlags : 0;
    return STATUS_SUCCESS;
  }
  Record->CapabilityMask = m_CapabilityRecord.CapabilityMask & kRenderMask;
  Record->FeatureFlags = m_CapabilityRecord.FeatureFlags;
  return STATUS_SUCCESS;
}

ULONG CUac2Function::MiniportUpdateDelay(PDEVICE_OBJECT DeviceObject) {
  ULONG delay = 1;
  if (!NT_SUCCESS(SettingsValue(DeviceObject, SETTINGS_READ, nullptr, u"UpdateMiniportDelay", REG_DWORD, &delay,
                                sizeof delay)))
    return 0;
  // A value beyond the bound (or a negative one stored as a DWORD) would hold the
  // property request that switched the kind for minutes.
  return delay > kMaxMiniportUpdateDelayMs ? kMaxMiniportUpdateDelayMs : delay;
}

STDMETHODIMP CUac2Function::RegisterSubdevices(ULONG) {
  // The device needs time to settle on the new terminal type before its subdevice is
  // asked again.
  return RegisterChangedSubdevices(this, &MiniportUpdateDelay);
}

NTSTATUS CreateUac2Function(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, const adapter::FunctionContext& Context) {
  return adapter::CreateNonDelegatingInstance<CUac2Function>(Unknown, OuterUnknown, NonPagedPool, kUac2FunctionTag,
                                                             Context);
}

}  // namespace uac
