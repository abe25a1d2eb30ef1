// CUac1Function: the audio layer of a USB Audio Class 1.0 function. Aggregated under the
// root USB device object, it probes the device (model string, vendor registers, product
// quirks) into the endpoint capability template, validates the Audio Control
// descriptors once and builds the unit and terminal entities from them, and answers the
// endpoint capability records.
#pragma once

#include "adapter/audio_hal.h"
#include "adapter/ptr_list.h"
#include "adapter/uac_function.h"
#include "adapter/usb_audio_device.h"
#include "uac/descriptor_rules.h"

namespace uac {

inline constexpr ULONG kUac1FunctionTag = MakePoolTag('U', 'A', 'C', '1');
inline constexpr ULONG kProbeBufferTag = MakePoolTag('p', 'm', 'e', 't');
inline constexpr ULONG kModelStringBufferBytes = 104;
inline constexpr UCHAR kModelStringIndex = 0x50;
inline constexpr UCHAR kModelStringFallbackIndex = 0x32;
inline constexpr USHORT kLanguageEnglish = 0x0409;

// True when the model string's `Units` UTF-16 units begin with the ASCII `Prefix`; a
// string shorter than the prefix never matches.
bool ModelStartsWith(const char16_t* Model, ULONG Units, const char* Prefix);

class CUac1Function : public adapter::IUacFunction, public adapter::CAudioHal {
 public:
  CUac1Function(PUNKNOWN outerUnknown, USHORT VendorId, USHORT ProductId);
  ~CUac1Function() override;

  DECLARE_STD_UNKNOWN();

  // IUacFunction
  // Renaming changed engines comes with the wave subdevices; nothing to rename yet.
  STDMETHODIMP RegisterSubdevices(ULONG) override { return STATUS_SUCCESS; }
  STDMETHODIMP GetCallbackObject(PCALLBACK_OBJECT* CallbackObject) override;
  STDMETHODIMP BuildUnits(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Bytes) override;
  // One stream engine per Audio Streaming interface of this function (those its Audio
  // Control header lists), with its formats, its signal path and, on short paths, a
  // software mute (uac1_stream_builders.cpp).
  STDMETHODIMP BuildFilters(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSB_INTERFACE_DESCRIPTOR FirstInterface,
                            ULONG Bytes) override;
  STDMETHODIMP AfterProbe() override { return STATUS_SUCCESS; }

  // IAudioHal
  STDMETHODIMP Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT Fdo, PDEVICE_OBJECT LowerDevice,
                    PDEVICE_OBJECT Pdo) override;
  STDMETHODIMP ProbeDevice() override;
  STDMETHODIMP GetCapabilityRecord(ULONG Direction, ULONG EndpointType,
                                   adapter::EndpointCapabilityRecord* Record) override;
  STDMETHODIMP GetEngineCapabilityRecord(ULONG Index, adapter::EndpointCapabilityRecord* Record) override;

  // The function's own units, terminals and clock sources (control nodes go to the
  // CAudioHal entity list). The last unit with the identifier, without a reference.
  NTSTATUS FindEntityById(ULONG Id, adapter::IUacEntity** Entity);
  // Keeps one reference and appends to the unit list.
  NTSTATUS AddEntity(adapter::IUacEntity* Entity);
  ULONG GetUnitCount() const { return m_pUnitList ? m_pUnitList->GetCount() : 0; }
  // The unit at the index, without a reference.
  NTSTATUS GetUnit(ULONG Index, adapter::IUacEntity** Entity);

  UCHAR GetControlInterfaceNumber() const { return m_nControlInterface; }
  const adapter::EndpointCapabilityRecord& GetCapabilityTemplate() const { return m_CapabilityRecord; }
  // Where validation refused the Audio Control descriptors (offset from the Audio
  // Control interface descriptor); Reason is null when nothing was refused.
  const DescriptorFault& GetDescriptorFault() const { return m_Fault; }
  USHORT VendorId() const { return m_VendorId; }
  USHORT ProductId() const { return m_ProductId; }

 protected:
  NTSTATUS BuildControlTopology(adapter::IUsbAudioDevice* Device);
  NTSTATUS BuildStreamTopology(adapter::IUsbAudioDevice* Device);
  // The capability template from the model string (null: none could be read).
  NTSTATUS ProbeModel(adapter::IUsbAudioDevice* Device, const char16_t* Model, ULONG Units, NTSTATUS ReadStatus);
  // One device-to-host vendor request of one byte.
  NTSTATUS ReadVendorByte(adapter::IUsbAudioDevice* Device, UCHAR Request, USHORT Value, PUCHAR Byte);
  // A string descriptor, language English, into a 104-byte buffer.
  NTSTATUS ReadString(adapter::IUsbAudioDevice* Device, PURB Urb, UCHAR Index, PUCHAR Buffer, PULONG Transferred);
  void ReleaseUnits();
  NTSTATUS LinkSources();
  bool OutputNodeOf(ULONG Id, PULONG NodeId);

  USHORT m_VendorId;
  USHORT m_ProductId;
  UCHAR m_nControlInterface;
  UCHAR m_nStatusPipe;  // 0xFF: none
  adapter::CPtrList* m_pUnitList;
  adapter::IUsbAudioDevice* m_pUsbDevice;  // not referenced: the device aggregates this object
  DescriptorFault m_Fault;
};

// The factory: zeroed non-paged pool under "UAC1", aggregated under `OuterUnknown`.
NTSTATUS CreateUac1Function(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, USHORT VendorId, USHORT ProductId);

// Puts the factories of the function classes built so far into the root device's table.
void RegisterFunctionFactories();

}  // namespace uac
