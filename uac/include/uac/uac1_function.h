// CUac1Function: the audio layer of a USB Audio Class 1.0 function. Aggregated under the
// root USB device object, it probes the device (the model string the device object read,
// vendor registers, the quirk table) into the endpoint capability template, validates the Audio Control
// descriptors once and builds the unit and terminal entities from them, and answers the
// endpoint capability records. Once started it follows changes made on the device: a
// worker thread keeps a transfer pending on the Audio Control interface's status
// endpoint and refreshes the entity each status word names (status_worker.cpp).
#pragma once

#include "adapter/audio_hal.h"
#include "adapter/device_quirks.h"
#include "adapter/ref_list.h"
#include "adapter/uac_function.h"
#include "adapter/usb_audio_device.h"
#include "uac/descriptor_rules.h"
#include "uac/uac1_quirks.h"

namespace uac {

class CUacUnit;

inline constexpr ULONG kUac1FunctionTag = MakePoolTag('U', 'A', 'C', '1');
inline constexpr ULONG kProbeBufferTag = MakePoolTag('p', 'm', 'e', 't');
// The copy of the Audio Control interface information the status worker reads its pipes
// from.
inline constexpr ULONG kInterfaceInfoTag = MakePoolTag('U', 'R', 'B', ' ');
// A status pipe index that names no pipe.
inline constexpr UCHAR kNoPipe = 0xFF;
// The status word of a 1.0 function: bStatusType (originator type in bits 0-3) and
// bOriginator.
inline constexpr ULONG kUac1StatusBytes = 2;
// Worker thread priorities.
inline constexpr KPRIORITY kUac1WorkerPriority = 24;
inline constexpr KPRIORITY kUac2WorkerPriority = LOW_REALTIME_PRIORITY;
using adapter::kLanguageEnglish;
using adapter::kModelStringFallbackIndex;
using adapter::kModelStringIndex;

class CUac1Function : public adapter::IUacFunction, public adapter::IUacFunctionDescription, public adapter::CAudioHal {
 public:
  CUac1Function(PUNKNOWN outerUnknown, const adapter::FunctionContext& Context);
  ~CUac1Function() override;

  DECLARE_STD_UNKNOWN();

  // IUacFunction
  // Re-registers the subdevice of each engine whose terminal kind changed, under a fresh
  // name for its new endpoint type. No engine: STATUS_UNSUCCESSFUL.
  STDMETHODIMP RegisterSubdevices(ULONG EntityId) override;
  STDMETHODIMP GetCallbackObject(PCALLBACK_OBJECT* CallbackObject) override;
  STDMETHODIMP BuildUnits(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Bytes) override;
  // One stream engine per Audio Streaming interface of this function (those its Audio
  // Control header lists), with its formats, its signal path and, on short paths, a
  // software mute (uac1_stream_builders.cpp).
  STDMETHODIMP BuildFilters(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSB_INTERFACE_DESCRIPTOR FirstInterface,
                            ULONG Bytes) override;
  STDMETHODIMP AfterProbe() override { return STATUS_SUCCESS; }

  // IUacFunctionDescription
  STDMETHODIMP_(const char*) GetClassName() override { return "USB Audio Class 1.0"; }
  STDMETHODIMP_(USHORT) GetVendorId() override { return m_VendorId; }
  STDMETHODIMP_(USHORT) GetProductId() override { return m_ProductId; }
  STDMETHODIMP_(UCHAR) GetControlInterfaceNumber() override { return m_nControlInterface; }
  STDMETHODIMP_(ULONG) GetUnitCount() override { return m_pUnitList ? m_pUnitList->GetCount() : 0; }
  STDMETHODIMP GetUnit(ULONG Index, adapter::IUacEntity** Entity, PUCHAR Subtype) override;
  STDMETHODIMP GetCapabilityTemplate(adapter::EndpointCapabilityRecord* Record) override;
  STDMETHODIMP_(const char*) GetDescriptorFault(PULONG Offset, PUCHAR Subtype) override;

  // IAudioHal
  STDMETHODIMP Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT Fdo, PDEVICE_OBJECT LowerDevice,
                    PDEVICE_OBJECT Pdo) override;
  // The function's slots for starting and stopping its entities start and stop the
  // status worker (which starts and stops the entities of a 1.0 function).
  STDMETHODIMP StartEntities() override { return StartWorker(); }
  STDMETHODIMP StopEntities() override { return StopWorker(); }
  STDMETHODIMP ProbeDevice() override;
  STDMETHODIMP GetCapabilityRecord(ULONG Direction, ULONG EndpointType,
                                   adapter::EndpointCapabilityRecord* Record) override;
  STDMETHODIMP GetEngineCapabilityRecord(ULONG Index, adapter::EndpointCapabilityRecord* Record) override;

  // IAdapterPowerManagement: a new device power state reaches the engines; back in D0 the
  // probe's last step runs again, the entities get their values back, every engine's
  // subdevice is updated and the worker starts; leaving D0 stops it. An unknown state
  // changes nothing.
  STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;

  // Selects the Audio Control interface's setting 0, takes its status pipe (an IN
  // interrupt pipe of 2-byte packets) and starts the worker thread on it, then the
  // entities. No endpoints or no status pipe: the entities only. A worker that runs
  // already is left running. PASSIVE_LEVEL.
  virtual NTSTATUS StartWorker();
  // Stops the entities, then asks the worker thread to end and waits for it (returning
  // also after the thread ended on its own). Always succeeds. PASSIVE_LEVEL.
  virtual NTSTATUS StopWorker();
  // A status word named this entity: its unit refreshes itself; a terminal's change
  // updates every engine's wave subdevice, any other unit's nodes are read again from the
  // device and a control change is published for each. No such entity, or a unit that
  // cannot take the change: its failure.
  NTSTATUS NotifyEntityChange(ULONG EntityId);
  // Whether a worker thread was started and not yet stopped (it may have ended on its own).
  bool WorkerStarted() const { return m_pWorkerThread != nullptr; }
  // Whether the worker thread runs now: started, and neither stopped nor ended on its own.
  bool WorkerRunning() { return m_pWorkerThread && !KeReadStateEvent(&m_ThreadEndedEvent); }
  // The worker thread's priority; 0 without a worker.
  KPRIORITY WorkerPriority() {
    return m_pWorkerThread ? KeQueryPriorityThread(static_cast<PKTHREAD>(m_pWorkerThread)) : 0;
  }
  UCHAR StatusPipeIndex() const { return m_nStatusPipe; }

  // The function's own units, terminals and clock sources (control nodes go to the
  // CAudioHal entity list). The last unit with the identifier, without a reference.
  NTSTATUS FindEntityById(ULONG Id, adapter::IUacEntity** Entity);
  // Keeps one reference and appends to the unit list.
  NTSTATUS AddEntity(adapter::IUacEntity* Entity);
  // The unit at the index, without a reference.
  NTSTATUS GetUnit(ULONG Index, adapter::IUacEntity** Entity);

  const adapter::EndpointCapabilityRecord& GetCapabilityTemplate() const { return m_CapabilityRecord; }
  // Why the probe, the validation or the builder refused the device, in words that name
  // what was found ("feature unit 5 has no mute control, so the function is not built"),
  // and where: the offset from the Audio Control interface descriptor of the descriptor
  // at fault (0 with subtype 0: no one descriptor is). Reason is null when nothing was
  // refused.
  const DescriptorFault& GetDescriptorFault() const { return m_Fault; }
  USHORT VendorId() const { return m_VendorId; }
  USHORT ProductId() const { return m_ProductId; }
  // The quirk bits of the table's rows that matched the device.
  ULONG Quirks() const { return m_nQuirks; }

 protected:
  NTSTATUS BuildControlTopology(adapter::IUsbAudioDevice* Device);
  NTSTATUS BuildStreamTopology(adapter::IUsbAudioDevice* Device);
  // The capability template and quirk bits from the quirk table, after reading the
  // registers the model string's family names; refuses what the table does not accept.
  NTSTATUS ProbeModel(adapter::IUsbAudioDevice* Device);
  NTSTATUS ReadProbeValue(adapter::IUsbAudioDevice* Device, const ModelProbe& Probe, PUSHORT Value);
  // One device-to-host vendor request of one byte.
  NTSTATUS ReadVendorByte(adapter::IUsbAudioDevice* Device, UCHAR Request, USHORT Value, PUCHAR Byte);
  // The table's rows for this device; `Probe` is the register value once read.
  adapter::QuirkResult LookUp(const USHORT* Probe) const;
  void ReleaseUnits();
  // Records a refusal of the builder: where, and the reason formatted into m_FaultText.
  void SetFault(ULONG Offset, UCHAR Subtype, UCHAR Id, const char* Format, ...);
  // Records a refusal of the probe of a model family: its registers not read (no value)
  // or read as a value no row accepts.
  void SetProbeFault(const ModelProbe& Family, const USHORT* Value);
  NTSTATUS LinkSources();
  bool OutputNodeOf(ULONG Id, PULONG NodeId);
  // The unit walk of both class versions: checks the Audio Control interface against the
  // class version, validates its descriptors once, creates (CreateUnitAt), initialises and
  // lists a unit for each descriptor after the header, then links the units to their
  // sources. Every refusal is recorded as the descriptor fault.
  NTSTATUS BuildUnitList(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Bytes, UCHAR Protocol);
  // The class version's unit for the descriptor at the offset, not yet initialised; a
  // subtype the version does not build records its fault and stops the walk.
  virtual NTSTATUS CreateUnitAt(ULONG Offset, PUCHAR Descriptor, CUacUnit** Unit);

  // The status worker (status_worker.cpp). Selects setting 0 of the Audio Control
  // interface and keeps a copy of its interface information; *Pipes is 0 (and no copy is
  // kept) when the interface has no endpoints or is not in the configuration.
  NTSTATUS SelectControlInterface(PULONG Pipes);
  // Creates the worker thread at the priority; on failure no thread runs and the
  // interface information is let go.
  NTSTATUS StartWorkerThread(KPRIORITY Priority);
  // Ends a started worker thread and waits for it, lets the interface information go and
  // resets the pipe indexes and both events: the not-started state.
  void EndWorker();
  void FreeControlInterfaceInfo();
  static VOID StatusWorkerStart(PVOID Context);
  // The thread body: keeps one transfer pending on the status pipe until it fails or the
  // stop event is set; sets the thread-ended event as its last action.
  virtual void StatusWorker();
  // Every unit once, as after a status word naming it.
  void RefreshUnits();
  // Power changes of both class versions; `RunAfterProbe`: the 1.0 family's AfterProbe on
  // the way back to D0.
  void ChangePowerState(POWER_STATE NewState, bool RunAfterProbe);
  // UpdateSubdevice on every engine, up to the first failure.
  NTSTATUS UpdateEngineSubdevices();

  USHORT m_VendorId;
  USHORT m_ProductId;
  char16_t m_Model[adapter::kModelStringUnits];  // as the device object read it
  ULONG m_nModelUnits;
  bool m_bHaveModel;
  NTSTATUS m_ModelStatus;  // why there is no model string
  ULONG m_nQuirks;
  UCHAR m_nControlInterface;
  UCHAR m_nStatusPipe;  // kNoPipe: none
  UCHAR m_nBulkPipe;    // a 2.0 function's bulk IN pipe; kNoPipe: none
  PUSBD_INTERFACE_INFORMATION m_pControlInterfaceInfo;  // kInterfaceInfoTag, while a worker runs
  PVOID m_pWorkerThread;  // referenced thread object
  KEVENT m_StopEvent;         // notification: asks the worker to end
  KEVENT m_ThreadEndedEvent;  // notification: the worker's last action
  adapter::CRefList<adapter::IUacEntity>* m_pUnitList;
  adapter::IUsbAudioDevice* m_pUsbDevice;  // not referenced: the device aggregates this object
  // Linking: a source that names no entity ends it (with what was linked so far) instead
  // of being left out.
  bool m_bStopAtUnknownSource = false;
  DescriptorFault m_Fault;
  char m_FaultText[192];
};

// The name a refusal gives a descriptor of the subtype in the class version ("feature
// unit"); "unit" for a subtype the version does not name.
const char* UnitSubtypeWords(UCHAR Protocol, UCHAR Subtype);

// The factory: zeroed non-paged pool under "UAC1", aggregated under `OuterUnknown`.
NTSTATUS CreateUac1Function(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, const adapter::FunctionContext& Context);

}  // namespace uac
