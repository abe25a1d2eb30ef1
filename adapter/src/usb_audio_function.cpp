// CreateFunction: which USB Audio Class function object the device gets, as a table of
// Audio Control protocol and model-string rules.
#include "adapter/settings.h"
#include "adapter/usb_audio_device.h"
#include "usb/usbdlib.h"

namespace adapter {
namespace {

constexpr UCHAR kAudioClass = 1;
constexpr UCHAR kAudioControlSubclass = 1;
constexpr UCHAR kProtocolUac1 = 0x00;
constexpr UCHAR kProtocolUac2 = 0x20;
// String descriptors that may hold the model string, in the order they are tried.
constexpr UCHAR kModelStringIndex = 0x50;
constexpr UCHAR kModelStringFallbackIndex = 0x32;
constexpr ULONG kModelStringBytes = 104;
constexpr USHORT kEnglish = 0x0409;

constexpr char16_t kChipAUnits[] = {0x000B, 0x0005, 0x0050};

constexpr FunctionRow kFunctionRows[] = {
    {kProtocolUac2, nullptr, 0, 0, FunctionClass::Uac2},
    {kProtocolUac1, kChipAUnits, 3, 0, FunctionClass::ChipA},
    {kProtocolUac1, u"7403", 4, 0, FunctionClass::ChipB},
    {kProtocolUac1, u"7415", 4, 0, FunctionClass::ChipC},
    {kProtocolUac1, u"QVK712", 6, (1u << 5) | (1u << 6), FunctionClass::ChipD},
    {kProtocolUac1, nullptr, 0, 0, FunctionClass::Uac1},
};

// Factories of the function classes; a class without one refuses to start the device.
FunctionFactory g_Factories[static_cast<ULONG>(FunctionClass::Count)] = {};

bool StartsWith(const char16_t* text, ULONG units, const char16_t* prefix, ULONG prefixUnits) {
  if (!text || units < prefixUnits) return false;
  for (ULONG i = 0; i < prefixUnits; ++i)
    if (text[i] != prefix[i]) return false;
  return true;
}

}  // namespace

FunctionFactory SetFunctionFactory(FunctionClass Class, FunctionFactory Factory) {
  const auto index = static_cast<ULONG>(Class);
  if (index >= static_cast<ULONG>(FunctionClass::Count)) return nullptr;
  FunctionFactory previous = g_Factories[index];
  g_Factories[index] = Factory;
  return previous;
}

const FunctionRow* FunctionTable(ULONG* Count) {
  if (Count) *Count = sizeof kFunctionRows / sizeof kFunctionRows[0];
  return kFunctionRows;
}

const FunctionRow* ChooseFunction(UCHAR Protocol, const char16_t* Model, ULONG Units, bool HaveVariant,
                                  ULONG Variant) {
  for (const FunctionRow& row : kFunctionRows) {
    if (row.Protocol != Protocol) continue;
    if (row.PrefixUnits && !StartsWith(Model, Units, row.Prefix, row.PrefixUnits)) continue;
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

  const FunctionRow* row = nullptr;
  if (protocol == kProtocolUac1) {
    auto* text = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kModelStringBytes, kModelStringTag));
    if (!text) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(text, kModelStringBytes);
    ULONG got = 0;
    NTSTATUS status = GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, kModelStringIndex, kEnglish, text, kModelStringBytes, &got);
    if (!NT_SUCCESS(status)) {
      RtlZeroMemory(text, kModelStringBytes);
      status = GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, kModelStringFallbackIndex, kEnglish, text, kModelStringBytes,
                             &got);
    }
    // A read that fails for any reason, memory included, means no model string: the
    // device gets the plain function.
    // The text is what both bLength and the transfer cover, in whole UTF-16 units.
    ULONG units = 0;
    if (NT_SUCCESS(status) && got >= 2) {
      ULONG bytes = text[0] < got ? text[0] : got;
      bytes &= ~1u;
      units = bytes >= 2 ? (bytes - 2) / 2 : 0;
    }
    char16_t model[kModelStringBytes / 2] = {};
    RtlCopyMemory(model, text + 2, units * 2);
    ExFreePoolWithTag(text, kModelStringTag);
    ULONG variant = 0;
    const bool haveVariant = NT_SUCCESS(ReadModelVariant(m_pFdo, &variant));
    row = ChooseFunction(protocol, NT_SUCCESS(status) ? model : nullptr, units, haveVariant, variant);
  } else {
    row = ChooseFunction(protocol, nullptr, 0, false, 0);
  }
  if (!row) return STATUS_UNSUCCESSFUL;
  FunctionFactory factory = g_Factories[static_cast<ULONG>(row->Class)];
  if (!factory) return STATUS_NOT_SUPPORTED;

  PUNKNOWN function = nullptr;
  NTSTATUS status = factory(&function, GetOuterUnknown(), m_VendorId, m_ProductId);
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
