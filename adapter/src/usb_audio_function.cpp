// CreateFunction: which USB Audio Class function object the device gets, as a table of
// Audio Control protocol and model-string rules that the audio layer installs.
#include "adapter/audio_class.h"
#include "adapter/device_quirks.h"
#include "adapter/settings.h"
#include "adapter/usb_audio_device.h"
#include "usb/usbdlib.h"

namespace adapter {
namespace {

// The rows and factories of the function classes; a class without a factory refuses to
// start the device, and so does a device no row takes.
const FunctionRow* g_Rows = nullptr;
ULONG g_RowCount = 0;
FunctionFactory g_Factories[static_cast<ULONG>(FunctionClass::Count)] = {};

}  // namespace

FunctionFactory SetFunctionFactory(FunctionClass Class, FunctionFactory Factory) {
  const auto index = static_cast<ULONG>(Class);
  if (index >= static_cast<ULONG>(FunctionClass::Count)) return nullptr;
  FunctionFactory previous = g_Factories[index];
  g_Factories[index] = Factory;
  return previous;
}

const FunctionRow* SetFunctionRows(const FunctionRow* Rows, ULONG Count, ULONG* PreviousCount) {
  const FunctionRow* previous = g_Rows;
  if (PreviousCount) *PreviousCount = g_RowCount;
  g_Rows = Rows;
  g_RowCount = Rows ? Count : 0;
  return previous;
}

const FunctionRow* FunctionTable(ULONG* Count) {
  if (Count) *Count = g_RowCount;
  return g_Rows;
}

const FunctionRow* ChooseFunction(UCHAR Protocol, const char16_t* Model, ULONG Units, bool HaveVariant,
                                  ULONG Variant) {
  for (ULONG i = 0; i < g_RowCount; ++i) {
    const FunctionRow& row = g_Rows[i];
    if (row.Protocol != Protocol) continue;
    if (row.PrefixUnits && !ModelStartsWith(Model, Units, row.Prefix, row.PrefixUnits)) continue;
    if (row.VariantMask && (!HaveVariant || Variant >= 32 || !(row.VariantMask & (1u << Variant)))) continue;
    return &row;
  }
  return nullptr;
}

NTSTATUS ReadModelVariant(PDEVICE_OBJECT Fdo, ULONG* Variant) {
  if (!Variant) return STATUS_INVALID_PARAMETER;
  ULONG value = 0;
  // The stored bytes are read whatever the type: REG_DWORD and REG_BINARY alike.
  NTSTATUS status = SettingsValue(Fdo, SETTINGS_READ, nullptr, u"ModelVariant", REG_DWORD, &value, sizeof value);
  if (NT_SUCCESS(status)) *Variant = value;
  return status;
}

STDMETHODIMP CUsbAudioDevice::CreateFunction() {
  if (!m_pConfiguration) return STATUS_UNSUCCESSFUL;
  if (m_pFunction) return STATUS_INVALID_DEVICE_STATE;  // one function per device
  PUSB_INTERFACE_DESCRIPTOR control = USBD_ParseConfigurationDescriptorEx(
      m_pConfiguration, m_pConfiguration, -1, -1, kAudioClass, kAudioControlSubclass, -1);
  if (!control) return STATUS_UNSUCCESSFUL;
  m_nControlInterface = control->bInterfaceNumber;
  const UCHAR protocol = control->bInterfaceProtocol;

  // The root device's own quirks, looked up once with the function.
  ULONG count = 0;
  const DeviceQuirk* table = AdapterQuirkTable(&count);
  const QuirkResult own = LookUpQuirks(table, count, {m_VendorId, m_ProductId, nullptr, 0}, nullptr);
  m_nQuirks = own.Quirks;
  m_nAsioModelSampleType = own.AsioSampleType;

  char16_t model[kModelStringUnits] = {};
  FunctionContext context{m_VendorId, m_ProductId, nullptr, 0, STATUS_SUCCESS, false, 0};
  if (protocol == kProtocolUac1) {
    constexpr ULONG kModelStringBytes = 2 + 2 * kModelStringUnits + 2;  // 104: the buffer the probe reads into
    ULONG units = 0;
    NTSTATUS status = ReadStringDescriptor(kModelStringIndex, kModelStringBytes, kModelStringTag, model, &units);
    if (!NT_SUCCESS(status))
      status = ReadStringDescriptor(kModelStringFallbackIndex, kModelStringBytes, kModelStringTag, model, &units);
    // A read that fails for any reason, memory included, means no model string: the
    // device gets the plain function.
    context.ModelStatus = status;
    if (NT_SUCCESS(status)) {
      context.Model = model;
      context.ModelUnits = units;
    }
  }
  // Every class may need the model variant: the UAC 2.0 function takes its capability
  // template from it.
  context.HaveVariant = NT_SUCCESS(ReadModelVariant(m_pFdo, &context.Variant));
  const FunctionRow* row =
      ChooseFunction(protocol, context.Model, context.ModelUnits, context.HaveVariant, context.Variant);
  if (!row) return STATUS_UNSUCCESSFUL;
  FunctionFactory factory = g_Factories[static_cast<ULONG>(row->Class)];
  if (!factory) return STATUS_NOT_SUPPORTED;

  PUNKNOWN function = nullptr;
  NTSTATUS status = factory(&function, GetOuterUnknown(), context);
  if (!NT_SUCCESS(status)) return status;
  if (!function) return STATUS_UNSUCCESSFUL;
  m_pFunction = function;

  PVOID itf = nullptr;
  status = function->QueryInterface(IID_IAudioHal, &itf);
  if (NT_SUCCESS(status)) {
    m_pFunctionHal = static_cast<IAudioHal*>(itf);
    Release();  // the function's interfaces must not keep their own outer object alive
  }
  if (NT_SUCCESS(function->QueryInterface(IID_IUacFunction, &itf))) {
    m_pFunctionControl = static_cast<IUacFunction*>(itf);
    Release();
  }
  NTSTATUS power = function->QueryInterface(IID_IAdapterPowerManagement, &itf);
  if (NT_SUCCESS(power)) {
    m_pFunctionPower = static_cast<IAdapterPowerManagement*>(itf);
    Release();
  }
  // A function without its audio layer cannot run the device.
  if (NT_SUCCESS(status)) status = power;
  return status;
}

}  // namespace adapter
