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

// The interrupt data message of a 2.0 function: bInfo, bAttribute, wValue (channel,
// control selector), wIndex (interface, entity).
inline constexpr ULONG kUac2StatusBytes = 6;
// What a bulk IN pipe of the Audio Control interface carries is read and dropped.
inline constexpr ULONG kUac2BulkBytes = 512;

class CUac2Function : public CUac1Function {
 public:
  CUac2Function(PUNKNOWN outerUnknown, const adapter::FunctionContext& Context);
  // A worker still running is ended first: its thread calls into this class.
  ~CUac2Function() override;

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

  // IAdapterPowerManagement: as the 1.0 function, without AfterProbe.
  STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;

  // The worker of a 2.0 function: the status pipe is the first IN interrupt pipe of
  // 6-byte packets, and a bulk IN pipe, when there is one, is kept read as well. The
  // entities are neither started nor stopped here.
  NTSTATUS StartWorker() override;
  NTSTATUS StopWorker() override;
  // An interrupt message named this entity's control: its unit refreshes the control; a
  // control node's change is published, a terminal's connector change updates every
  // engine's wave subdevice.
  NTSTATUS NotifyEntityChange(ULONG EntityId, ULONG ControlSelector, ULONG Channel);
  UCHAR BulkPipeIndex() const { return m_nBulkPipe; }

  ULONG Variant() const { return m_nVariant; }
  // The wait before a subdevice update: the "UpdateMiniportDelay" setting clamped to 0 to
  // 5000 ms; 0 when the setting is absent or unreadable.
  static ULONG MiniportUpdateDelay(PDEVICE_OBJECT DeviceObject);

 protected:
  NTSTATUS CreateUnitAt(ULONG Offset, PUCHAR Descriptor, CUacUnit** Unit) override;
  void StatusWorker() override;

  ULONG m_nVariant;
};

// The factory: zeroed non-paged pool under "UAC2", aggregated under `OuterUnknown`.
NTSTATUS CreateUac2Function(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, const adapter::FunctionContext& Context);

}  // namespace uac
