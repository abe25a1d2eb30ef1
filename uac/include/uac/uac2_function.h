// CUac2Function: the audio layer of a USB Audio Class 2.0 function. It shares the 1.0
// function's unit list, source linking, descriptor faults and describe interface, and
// differs in what it builds: the 2.0 units, terminals and clock sources, engines clocked
// by a clock source, the capability template of its model variant and the endpoint
// records of the 2.0 form.
#pragma once

#include "uac/uac1_function.h"

namespace uac {

inline constexpr ULONG kUac2FunctionTag = MakePoolTag('U', 'A', 'C', '2');

// The model variants a 2.0 function drives ("ModelVariant"; absent: 1).
inline constexpr ULONG kUac2FirstVariant = 1;
inline constexpr ULONG kUac2LastVariant = 5;

// The longest wait "UpdateMiniportDelay" may ask for before a subdevice is updated, in ms.
inline constexpr ULONG kMaxMiniportUpdateDelayMs = 5000;

enum Uac2Quirk : ULONG {
  // Whatever the direction: headphone endpoints get their own record, microphones theirs,
  // every other endpoint an empty one.
  QUIRK_UAC2_HEADPHONE_MIC_RECORDS = 1u << 0,
};

class CUac2Function : public CUac1Function {
 public:
  CUac2Function(PUNKNOWN outerUnknown, const adapter::FunctionContext& Context);

  // IUacFunction
  // Re-registers the subdevice of each engine whose terminal kind changed under a fresh
  // name, waiting "UpdateMiniportDelay" ms (0 to 5000) before each update. No engine:
  // STATUS_UNSUCCESSFUL.
  STDMETHODIMP RegisterSubdevices(ULONG EntityId) override;
  STDMETHODIMP BuildUnits(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Bytes) override;
  STDMETHODIMP BuildFilters(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSB_INTERFACE_DESCRIPTOR FirstInterface,
                            ULONG Bytes) override;

  // IUacFunctionDescription
  STDMETHODIMP_(const char*) GetClassName() override { return "USB Audio Class 2.0"; }

  // IAudioHal
  STDMETHODIMP ProbeDevice() override;
  STDMETHODIMP GetCapabilityRecord(ULONG Direction, ULONG EndpointType,
                                   adapter::EndpointCapabilityRecord* Record) override;

  ULONG Variant() const { return m_nVariant; }
  // The wait before a subdevice update: the "UpdateMiniportDelay" setting clamped to 0 to
  // 5000 ms; 0 when the setting is absent or unreadable.
  static ULONG MiniportUpdateDelay(PDEVICE_OBJECT DeviceObject);

 protected:
  NTSTATUS CreateUnitAt(ULONG Offset, PUCHAR Descriptor, CUacUnit** Unit) override;

  ULONG m_nVariant;
};

// The factory: zeroed non-paged pool under "UAC2", aggregated under `OuterUnknown`.
NTSTATUS CreateUac2Function(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, const adapter::FunctionContext& Context);

}  // namespace uac
