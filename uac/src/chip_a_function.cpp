#include "uac/chip_a_function.h"

#include "adapter/object_model.h"
#include "adapter/settings.h"
#include "uac/chip_a_units.h"
#include "uac/register_subdevices.h"
#include "usb/usbdlib.h"

namespace uac {
namespace {

constexpr ChipARegister kRegisterDefaults[kChipARegisterCount] = {
    {0x2004, kChipARegisterRestore}, {0x3002, kChipARegisterRestore}, {0xF800, kChipARegisterRestore},
    {0x143F, kChipARegisterRestore}, {0x0000, kChipARegisterRestore}, {0x3000, kChipARegisterRestore},
};

constexpr UCHAR kRequestChipValue = 0x81;
constexpr USHORT kChipValueR9 = 9;
constexpr USHORT kChipValueR8 = 8;

// Register 5's two top bits are pulsed low for a millisecond before the others are written.
constexpr ULONG kPulseRegister = 5;
constexpr USHORT kPulseMask = 0x3000;
constexpr LONGLONG kPulseDelay100ns = 10000;

constexpr UCHAR kHidSetReport = 0x09;
constexpr USHORT kHidOutputReport = 0x0200;
constexpr ULONG kReportBytes = 4;

// A write's request block and its report in one allocation.
struct RegisterWrite {
  _URB_CONTROL_VENDOR_OR_CLASS_REQUEST Urb;
  UCHAR Report[kReportBytes];
};

}  // namespace

CChipAFunction::CChipAFunction(PUNKNOWN outerUnknown, const adapter::FunctionContext& Context)
    : CUac1Function(outerUnknown, Context),
      m_Registers{},
      m_R9(0),
      m_R8(0),
      m_bJackPolling(0),
      m_Switches(ChipADefaultSwitches()),
      m_bTrimmed(false) {
  // A unit source that names no entity ends the linking with what was linked so far.
  m_bStopAtUnknownSource = true;
}

NTSTATUS CChipAFunction::ReadChipValue(PURB Urb, USHORT Index, PUCHAR Value) {
  RtlZeroMemory(Urb, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  auto& r = Urb->UrbControlVendorClassRequest;
  r.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  r.Hdr.Function = URB_FUNCTION_VENDOR_OTHER;
  r.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  r.TransferBuffer = Value;
  r.TransferBufferLength = 1;
  r.Request = kRequestChipValue;
  r.Value = 0;
  r.Index = Index;
  return m_pUsbDevice->SubmitUrbSync(Urb);
}

NTSTATUS CChipAFunction::ProbeChip(adapter::IUsbAudioDevice* Device) {
  RtlCopyMemory(m_Registers, kRegisterDefaults, sizeof m_Registers);

  // The two chip values; without a request block both stay 0 and no product row that
  // needs them applies.
  m_R9 = m_R8 = 0;
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), kProbeBufferTag));
  if (urb) {
    UCHAR value = 0;
    if (NT_SUCCESS(ReadChipValue(urb, kChipValueR9, &value))) m_R9 = value;
    value = 0;
    NTSTATUS status = ReadChipValue(urb, kChipValueR8, &value);
    ExFreePoolWithTag(urb, kProbeBufferTag);
    if (!NT_SUCCESS(status)) {
      SetFault(0, 0, 0, "chip class A: its chip value at index 8 (vendor request 0x81) could not be read");
      return status;
    }
    m_R8 = value;
  }

  m_Switches = ChipADefaultSwitches();
  for (ULONG i = 0; i < CHIPA_SWITCH_COUNT; ++i) {
    const ChipASwitchName& setting = ChipASwitchSetting(static_cast<ChipASwitch>(i));
    ULONG value = setting.Default;
    SettingsValue(GetDeviceObject(), SETTINGS_READ, nullptr, setting.Name, REG_DWORD, &value, sizeof value);
    m_Switches.Value[i] = static_cast<UCHAR>(value);
  }

  const ChipADeviceRow* row = FindChipADeviceRow(m_VendorId, m_ProductId, m_R9, m_R8);
  ULONG mask = 0;
  ApplyChipADeviceRow(row, &m_Switches, &mask);
  if (row && row->JackPolling) m_bJackPolling = 1;
  if (row && row->SetsRegister1) m_Registers[1].Value = row->Register1;
  m_CapabilityRecord = {};
  m_CapabilityRecord.CapabilityMask = mask;

  NTSTATUS status = TrimChipADescriptors(Device->GetConfigurationDescriptor(), &m_Switches, &m_bTrimmed);
  if (!NT_SUCCESS(status))
    SetFault(0, 0, 0, m_Switches[CHIPA_OUT6] && m_Switches[CHIPA_OUT8]
                          ? "chip class A: both 6- and 8-channel output are disabled (\"Disable6ChOutSupported\" and "
                            "\"Disable8ChOutSupported\"), so the device does not start"
                          : "chip class A: no memory to trim the configuration descriptor");
  return status;
}

STDMETHODIMP CChipAFunction::ProbeDevice() {
  PVOID itf = nullptr;
  NTSTATUS status = GetOuterUnknown()->QueryInterface(adapter::IID_IUsbAudioDevice, &itf);
  if (!NT_SUCCESS(status)) return status;
  auto* device = static_cast<adapter::IUsbAudioDevice*>(itf);
  m_pUsbDevice = device;  // outlives the function it aggregates; kept without a reference
  status = ProbeChip(device);
  if (NT_SUCCESS(status)) status = BuildControlTopology(device);
  if (NT_SUCCESS(status)) status = BuildStreamTopology(device);
  if (NT_SUCCESS(status)) {
    status = AfterProbe();
    if (!NT_SUCCESS(status) && !m_Fault.Reason)
      SetFault(0, 0, 0, "chip class A: its registers could not be written over HID interface %u",
               kChipAHidInterface);
  }
  device->Release();
  return status;
}

NTSTATUS CChipAFunction::WriteChipRegister(ULONG Register, USHORT Value, USHORT Mask) {
  if (Register >= kChipARegisterCount) return STATUS_UNSUCCESSFUL;
  if (Mask == 0) return STATUS_SUCCESS;
  if (!m_pUsbDevice) return STATUS_INVALID_DEVICE_STATE;
  ChipARegister& reg = m_Registers[Register];
  const USHORT value = Mask == 0xFFFF ? Value : static_cast<USHORT>((reg.Value & ~Mask) | (Value & Mask));

  auto* write = static_cast<RegisterWrite*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(RegisterWrite), kChipATag));
  if (!write) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(write, sizeof *write);
  write->Report[0] = kChipAReportId;
  write->Report[1] = static_cast<UCHAR>(value);
  write->Report[2] = static_cast<UCHAR>(value >> 8);
  write->Report[3] = static_cast<UCHAR>(Register);
  auto& r = write->Urb;
  r.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  r.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
  r.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
  r.TransferBuffer = write->Report;
  r.TransferBufferLength = kReportBytes;
  r.Request = kHidSetReport;
  r.Value = kHidOutputReport;
  r.Index = kChipAHidInterface;
  const NTSTATUS status = m_pUsbDevice->SubmitUrbSync(reinterpret_cast<PURB>(&write->Urb));
  ExFreePoolWithTag(write, kChipATag);
  if (NT_SUCCESS(status)) {
    reg.Value = value;
    reg.Flags &= ~kChipARegisterDirty;
  }
  return status;
}

STDMETHODIMP CChipAFunction::AfterProbe() {
  NTSTATUS status = WriteChipRegister(kPulseRegister, 0, kPulseMask);
  if (!NT_SUCCESS(status)) return status;
  LARGE_INTEGER delay;
  delay.QuadPart = -kPulseDelay100ns;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  status = WriteChipRegister(kPulseRegister, kPulseMask, kPulseMask);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG i = 0; i < kPulseRegister; ++i) {
    if (!(m_Registers[i].Flags & kChipARegisterRestore)) continue;
    status = WriteChipRegister(i, m_Registers[i].Value, 0xFFFF);
    if (!NT_SUCCESS(status)) return status;
  }
  return status;
}

NTSTATUS CChipAFunction::CreateUnitAt(ULONG Offset, PUCHAR d, CUacUnit** Unit) {
  const bool terminal = d[2] == AC_INPUT_TERMINAL || d[2] == AC_OUTPUT_TERMINAL;
  const ChipAUnitRow* row =
      FindChipAUnitRow(d[2], d[3], m_VendorId, m_ProductId, terminal ? static_cast<USHORT>(d[4] | d[5] << 8) : 0);
  if (!row) return CUac1Function::CreateUnitAt(Offset, d, Unit);
  NTSTATUS status = row->Create(d[3], this, Unit);
  if (NT_SUCCESS(status)) (*Unit)->SetClassName(row->ClassName);
  if (!NT_SUCCESS(status))
    SetFault(Offset, d[2], d[3], "%s %u could not be created", UnitSubtypeWords(kProtocolUac1, d[2]), d[3]);
  return status;
}

namespace {

struct StatusPathRegistration {
  CChipAFunction* Function;
  ULONG EntityId;
};

NTSTATUS RegisterThroughStatusPath(adapter::IAudioHal*, adapter::IStreamEngine*, PVOID Context) {
  auto* registration = static_cast<StatusPathRegistration*>(Context);
  return registration->Function->NotifyEntityChange(registration->EntityId);
}

}  // namespace

STDMETHODIMP CChipAFunction::RegisterSubdevices(ULONG EntityId) {
  StatusPathRegistration registration{this, EntityId};
  return RegisterChangedSubdevices(this, nullptr, &RegisterThroughStatusPath, &registration);
}

NTSTATUS CreateChipAFunction(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, const adapter::FunctionContext& Context) {
  return adapter::CreateNonDelegatingInstance<CChipAFunction>(Unknown, OuterUnknown, NonPagedPool, kChipATag,
                                                              Context);
}

}  // namespace uac
