// CUsbAudioDevice: the one object per started device. It is the adapter PortCls knows
// (its IAudioHal), owns the USB connection (descriptors, configuration, the synchronous
// URB path, port recovery, the bus interface), creates and aggregates the USB Audio
// Class function object that builds the audio model, writes the device strings into the
// device's Enum key and hosts the ASIO side channel and selective suspend. Every other
// object of the driver reaches the device through IUsbAudioDevice.
#pragma once

#include "adapter/asio_rings.h"
#include "adapter/asio_private.h"
#include "adapter/audio_hal.h"
#include "adapter/kernel_mutex.h"
#include "adapter/uac_function.h"
#include "kernel/nt.h"
#include "portcls/portcls.h"
#include "usb/usb.h"
#include "usb/usbdi.h"
#include "usb/usbioctl.h"

namespace adapter {

class CAsioStreams;

// {4E0BFAF2-66CC-40AC-8203-C3C4D08CD4FF}
KS_DEFINE_GUID(IID_IUsbAudioDevice, 0x4E0BFAF2, 0x66CC, 0x40AC, 0x82, 0x03, 0xC3, 0xC4, 0xD0, 0x8C, 0xD4, 0xFF);

inline constexpr ULONG kUsbAudioDeviceTag = MakePoolTag('P', 'c', 'C', 'r');
inline constexpr ULONG kUsbDeviceBufferTag = MakePoolTag('U', 'S', 'B', 'd');
inline constexpr ULONG kModelStringTag = MakePoolTag('p', 'm', 'e', 't');
inline constexpr ULONG kManufacturerStringTag = MakePoolTag('s', 't', 'r', ' ');

// A synchronous URB waits this long before it is cancelled.
inline constexpr LONGLONG kSyncUrbTimeoutMs = 500;
// CheckPort asks for the port status once more after this long.
inline constexpr LONGLONG kPortRetryDelayMs = 100;
// Selective-suspend clock: first expiry and period.
inline constexpr LONGLONG kIdleTimerFirstMs = 5000;
inline constexpr LONG kIdleTimerPeriodMs = 5000;
// System timer resolution asked for while the device runs (100 ns units: 1 ms).
inline constexpr ULONG kDeviceTimerResolution = 10000;
// WakeForRequest waits this long for each of its two events.
inline constexpr LONGLONG kWakeWaitMs = 500;
// The system's status for a request that needs D0 made outside it.
inline constexpr NTSTATUS kStatusPowerStateInvalid = static_cast<NTSTATUS>(0xC00002D3u);

// ASIO defaults and the sample types the ASIO side accepts.
inline constexpr ULONG kAsioDefaultSampleType = 16;
inline constexpr ULONG kAsioDefaultLatencyIndex = 4;
inline constexpr ULONG kAsioDefaultSampleRate = 48000;
inline constexpr ULONG kAsioMaxLatencyIndex = 8;
inline constexpr ULONG kAsioMinSampleRate = 1000;
bool IsAsioSampleType(ULONG type);

// Selectors of the Enum-key values the device reads and writes.
enum EnumKeyValue : ULONG {
  ENUM_VALUE_DEVICE_DESC = 0,
  ENUM_VALUE_MFG,
  ENUM_VALUE_FRIENDLY_NAME,
  ENUM_VALUE_SELECTIVE_SUSPEND_ENABLED,
  ENUM_VALUE_DEVICE_SELECTIVE_SUSPENDED,
};
// Writes (REG_SZ, `Bytes` bytes of text with its terminator) or reads (into `Data`, when
// the value fits) one value of the device's Enum key, for every hardware ID of the PDO.
// The status is that of the last ID; an unknown selector gives STATUS_INVALID_PARAMETER.
NTSTATUS WriteEnumKeyValue(PDEVICE_OBJECT Pdo, ULONG Selector, PCWSTR Text, ULONG Bytes);
NTSTATUS ReadEnumKeyValue(PDEVICE_OBJECT Pdo, ULONG Selector, PVOID Data, ULONG Bytes);

// The "Settings" value "ModelVariant" (REG_DWORD or the 4-byte REG_BINARY the INI import
// writes). STATUS_OBJECT_NAME_NOT_FOUND when absent; *Variant is then untouched.
NTSTATUS ReadModelVariant(PDEVICE_OBJECT Fdo, ULONG* Variant);

struct IUsbAudioDevice : IUnknown {
  STDMETHOD_(PUSB_CONFIGURATION_DESCRIPTOR, GetConfigurationDescriptor)() = 0;
  STDMETHOD_(USBD_CONFIGURATION_HANDLE, GetConfigurationHandle)() = 0;
  STDMETHOD_(UCHAR, GetControlInterfaceNumber)() = 0;
  STDMETHOD(SetDevicePresent)(UCHAR Present) = 0;
  STDMETHOD(CallDriver)(PIRP Irp) = 0;
  STDMETHOD(SubmitUrbSync)(PURB Urb) = 0;
  STDMETHOD(GetCurrentFrame)(PULONG Frame) = 0;
  STDMETHOD_(PIRP, AllocateIrp)() = 0;
  STDMETHOD(FreeIrp)(PIRP Irp) = 0;
  STDMETHOD_(UCHAR, IsHighSpeed)() = 0;
  STDMETHOD_(bool, CheckPort)() = 0;
  STDMETHOD_(bool, CyclePort)() = 0;
  STDMETHOD_(PDEVICE_OBJECT, GetLowerDevice)() = 0;
  STDMETHOD_(ULONG, AddActivity)() = 0;
  STDMETHOD_(ULONG, ReleaseActivity)() = 0;
  STDMETHOD(CreateFunction)() = 0;
};
using PUSBAUDIODEVICE = IUsbAudioDevice*;

// The function classes CreateFunction chooses from.
enum class FunctionClass : ULONG { Uac1, Uac2, ChipA, ChipB, ChipC, ChipD, Count };

// What CreateFunction learnt of the device before choosing, handed to the factory so the
// function need not ask again.
struct FunctionContext {
  USHORT VendorId;
  USHORT ProductId;
  // The model string (string index 0x50, else 0x32) as read, in whole UTF-16 units; null
  // when it could not be read (or was not asked for: only UAC 1.0 functions read it), and
  // ModelStatus then says why.
  const char16_t* Model;
  ULONG ModelUnits;
  NTSTATUS ModelStatus;
  // The "ModelVariant" setting, when present.
  bool HaveVariant;
  ULONG Variant;
};
// The longest model string read, in UTF-16 units (a 104-byte string descriptor).
inline constexpr ULONG kModelStringUnits = 51;

// A function factory: allocates the function aggregated under `OuterUnknown` and returns
// its non-delegating unknown with one reference.
using FunctionFactory = NTSTATUS (*)(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, const FunctionContext& Context);
// Installs the factory of a class (null: the class refuses with STATUS_NOT_SUPPORTED) and
// returns the one it replaces.
FunctionFactory SetFunctionFactory(FunctionClass Class, FunctionFactory Factory);

// How CreateFunction picks the function class: the first row whose Audio Control
// protocol matches and whose model-string rule holds. No row: STATUS_UNSUCCESSFUL. The
// rows belong to the audio layer, which installs them with its factories.
struct FunctionRow {
  UCHAR Protocol;
  // Leading UTF-16 units the model string must start with; 0 units: any string or none.
  const char16_t* Prefix;
  ULONG PrefixUnits;
  // Non-zero: the "ModelVariant" value must be one of these bits (bit n = variant n).
  ULONG VariantMask;
  FunctionClass Class;
};
// Installs the rows (kept, not copied; null: none) and returns the ones they replace.
const FunctionRow* SetFunctionRows(const FunctionRow* Rows, ULONG Count, ULONG* PreviousCount);
// The installed rows in order, and their count.
const FunctionRow* FunctionTable(ULONG* Count);
// The row that applies; `Model` is the model string's text (null when it could not be
// read), `Units` its length. Null when no row applies.
const FunctionRow* ChooseFunction(UCHAR Protocol, const char16_t* Model, ULONG Units, bool HaveVariant,
                                  ULONG Variant);

class CUsbAudioDevice : public IUsbAudioDevice, public IAsioPrivate, public CAudioHal {
 public:
  explicit CUsbAudioDevice(PUNKNOWN outerUnknown);
  ~CUsbAudioDevice() override;

  DECLARE_STD_UNKNOWN();

  // IUsbAudioDevice
  STDMETHODIMP_(PUSB_CONFIGURATION_DESCRIPTOR) GetConfigurationDescriptor() override { return m_pConfiguration; }
  STDMETHODIMP_(USBD_CONFIGURATION_HANDLE) GetConfigurationHandle() override { return m_hConfiguration; }
  STDMETHODIMP_(UCHAR) GetControlInterfaceNumber() override { return m_nControlInterface; }
  STDMETHODIMP SetDevicePresent(UCHAR Present) override;
  STDMETHODIMP CallDriver(PIRP Irp) override;
  // Sends the URB down and waits for it, cancelling it after 500 ms. PASSIVE_LEVEL.
  STDMETHODIMP SubmitUrbSync(PURB Urb) override;
  STDMETHODIMP GetCurrentFrame(PULONG Frame) override;
  STDMETHODIMP_(PIRP) AllocateIrp() override;
  STDMETHODIMP FreeIrp(PIRP Irp) override;
  STDMETHODIMP_(UCHAR) IsHighSpeed() override { return m_bHighSpeed; }
  // Port recovery; true when the device is gone. PASSIVE_LEVEL.
  STDMETHODIMP_(bool) CheckPort() override;
  STDMETHODIMP_(bool) CyclePort() override;
  STDMETHODIMP_(PDEVICE_OBJECT) GetLowerDevice() override { return m_pLowerDevice; }
  STDMETHODIMP_(ULONG) AddActivity() override;
  STDMETHODIMP_(ULONG) ReleaseActivity() override;
  STDMETHODIMP CreateFunction() override;

  // IAudioHal: most slots forward to the function.
  STDMETHODIMP GetEngineCapabilityRecord(ULONG Index, EndpointCapabilityRecord* Record) override;
  STDMETHODIMP GetComponentId(PKSCOMPONENTID ComponentId) override;
  STDMETHODIMP_(ULONG) GetEngineCount() override;
  STDMETHODIMP GetEngine(ULONG Index, IStreamEngine** Engine) override;
  STDMETHODIMP_(ULONG) GetEntityCount() override;
  STDMETHODIMP GetEntity(ULONG Index, IUacEntity** Entity) override;
  STDMETHODIMP Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT Fdo, PDEVICE_OBJECT LowerDevice,
                    PDEVICE_OBJECT Pdo) override;
  STDMETHODIMP StartEntities() override;
  // Also completes a parked ASIO Stop: the device is going away.
  STDMETHODIMP StopEntities() override;
  STDMETHODIMP RegisterCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) override;
  STDMETHODIMP UnregisterCallback(PVOID Registration) override;
  STDMETHODIMP ProbeDevice() override;
  STDMETHODIMP BuildTopology() override { return STATUS_SUCCESS; }

  // IAsioPrivate (asio_client.cpp, asio_settings.cpp, asio_private.cpp).
  STDMETHODIMP OpenClient(PFILE_OBJECT File) override;
  STDMETHODIMP Unsupported() override { return STATUS_UNSUCCESSFUL; }
  STDMETHODIMP CloseClient(PFILE_OBJECT File) override;
  STDMETHODIMP GetDriverName(PFILE_OBJECT File, PCHAR Name, PULONG Size) override;
  STDMETHODIMP GetChannels(PFILE_OBJECT File, PULONG Channels, ULONG Bytes) override;
  STDMETHODIMP GetChannelName(PFILE_OBJECT File, PVOID Request, ULONG Bytes) override;
  STDMETHODIMP SetNotificationEvent(PFILE_OBJECT File, HANDLE Event) override;
  STDMETHODIMP ClearNotificationEvent(PFILE_OBJECT File) override;
  STDMETHODIMP GetInUse(PFILE_OBJECT File, PULONG InUse, PULONG Size) override;
  STDMETHODIMP GetSampleTypes(PFILE_OBJECT File, PULONG Types, PULONG Size) override;
  STDMETHODIMP GetLatencyInfo(PFILE_OBJECT File, PULONG Info, PULONG Size) override;
  STDMETHODIMP SetBitDepth(PFILE_OBJECT File, ULONG SampleType) override;
  STDMETHODIMP SetLatency(PFILE_OBJECT File, ULONG Index) override;
  STDMETHODIMP GetBufferLength(PFILE_OBJECT File, PULONG Lengths, PULONG Size) override;
  STDMETHODIMP GetSampleRate(PFILE_OBJECT File, PULONG Rate) override;
  STDMETHODIMP CanSampleRate(PFILE_OBJECT File, ULONG Rate) override;
  STDMETHODIMP SetSampleRate(PFILE_OBJECT File, ULONG Rate) override;
  STDMETHODIMP GetBufferSize(PFILE_OBJECT File, PULONG Sizes) override;
  STDMETHODIMP CreateBuffers(PFILE_OBJECT File, const VOID* Request, ULONG RequestBytes, PVOID Addresses,
                             PULONG Size) override;
  STDMETHODIMP DisposeBuffers(PFILE_OBJECT File) override;
  STDMETHODIMP Start(PFILE_OBJECT File, HANDLE PeriodEvent) override;
  STDMETHODIMP Stop(PFILE_OBJECT File, PIRP Irp) override;
  STDMETHODIMP CanSampleMode(PFILE_OBJECT File, ULONG Mode) override;
  STDMETHODIMP SetSampleMode(PFILE_OBJECT File, ULONG Mode) override;
  STDMETHODIMP GetSampleMode(PFILE_OBJECT File, PULONG Mode) override;

  // IAdapterPowerManagement: follows the device power state (function, timer
  // resolution, ASIO streaming). Values outside D0-D3 are ignored. PASSIVE_LEVEL.
  STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;
  // Counts a request in progress, withdraws a pending idle request and waits (at most
  // 500 ms per event) for the device to be back in D0. The request stays counted, so the
  // device cannot be sent to sleep under it, until its EndRequest. Always succeeds.
  // PASSIVE_LEVEL.
  STDMETHODIMP WakeForRequest() override;
  STDMETHODIMP EndRequest() override;

  // Sends the idle-notification request when the device is idle in D0; see the .cpp for
  // the statuses. PASSIVE_LEVEL.
  NTSTATUS SendIdleRequest();
  // Takes back a pending idle request when a request or a stream appeared.
  void CancelIdleRequest();

  UCHAR IsPresent() const { return m_bPresent; }
  bool SelectiveSuspendEnabled() const { return m_bSelectiveSuspend != 0; }
  ULONG InterfaceCount() const { return m_nInterfaces; }
  PUSBD_INTERFACE_INFORMATION Interface(ULONG Index) const {
    return Index < m_nInterfaceCopies ? m_ppInterfaces[Index] : nullptr;
  }
  ULONG AsioSampleType() const { return m_nAsioSampleType; }
  ULONG AsioLatencyIndex() const { return m_nAsioLatencyIndex; }
  ULONG AsioSampleRate() const { return m_nAsioSampleRate; }
  LONG RequestsInProgress() const { return m_lRequestsInProgress; }
  LONG Activity() const { return m_lActivity; }
  bool IdlePending() const { return m_lIdlePending != 0; }
  // Work items of the idle timer queued or running.
  LONG OutstandingWorkItems() const { return m_lWorkItems; }
  // Work items the idle timer has queued since start, and idle requests sent down.
  LONG IdleWorkQueued() const { return m_lIdleWorkQueued; }
  LONG IdleRequestsSent() const { return m_lIdleRequestsSent; }
  // Whether this device holds a 1 ms timer-resolution request.
  bool HoldsTimerResolution() const { return m_bTimerResolution; }
  // ASIO state the power path stops and restarts (filled by the ASIO side).
  bool AsioStreaming() const { return m_bAsioStreaming; }
  bool AsioSuspendedByPower() const { return m_bAsioSuspendedByPower; }
  // Test hook: marks ASIO streaming as running.
  void SetAsioStreaming(bool Streaming);
  // ASIO state for tests: open clients, the in-use flag, whether a Stop is parked.
  ULONG AsioClientCount();
  bool AsioInUse() const { return m_nAsioInUse != 0; }
  bool AsioStopParked() const { return m_pParkedStopIrp != nullptr; }
  // A copy of a file's client (false when it has none).
  bool CopyAsioClient(PFILE_OBJECT File, AsioClient* Copy);
  // The mutex every power change of the function runs under.
  PKMUTEX AsioPowerMutex() { return m_AsioPowerMutex.Mutex(); }
  PKMUTEX PortMutex() { return m_PortMutex.Mutex(); }
  // The ASIO rings and their streams (made at probe; null before or without engines).
  CAsioStreams* AsioStreams() { return m_pAsio; }

 private:
  NTSTATUS ReadDescriptors();
  NTSTATUS SelectConfiguration();
  NTSTATUS QueryBusInterface();
  void WriteDeviceStrings();
  NTSTATUS ReadAsioDefaults();
  NTSTATUS GetDescriptor(UCHAR Type, UCHAR Index, USHORT Language, PVOID Buffer, ULONG Bytes, PULONG Transferred);
  // One string descriptor (language English) read into a `Bytes`-byte buffer of pool
  // under `Tag`; *Units receives the text both bLength and the transfer cover, in whole
  // UTF-16 units, copied to `Text` (room for (Bytes - 2) / 2 units). The status is the
  // request's; *Units is 0 when it failed or moved under two bytes.
  NTSTATUS ReadStringDescriptor(UCHAR Index, ULONG Bytes, ULONG Tag, char16_t* Text, PULONG Units);
  // Sends an internal I/O control down and waits for it without limit.
  NTSTATUS SendIoctlSync(ULONG Code, PVOID Argument1);
  NTSTATUS QueryPortStatus(PULONG PortStatus);
  static void IdleTimerDpc(PKDPC Dpc, PVOID Context, PVOID, PVOID);
  void QueueIdleWork();
  static void IdleWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);
  static void IdleCallback(PVOID Context);
  void IdleCallbackBody();
  // Asks the power manager for D0; D0-request-done is clear until it completes.
  void RequestD0();
  static NTSTATUS IdleRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
  static VOID IdlePowerComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK);
  static VOID D0RequestComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK);
  void StartIdleTimer();
  void WorkItemStarted();
  void WorkItemFinished();
  void RequestTimerResolution();
  void ReleaseTimerResolution();
  // ASIO hooks of the power path, under the ASIO and power mutex.
  void StopAsioForPower();
  NTSTATUS RestartAsioForPower();
  // The client of a request's file object; when it is the owner and its streams wait in
  // D0 for a restart that failed on the way back, the restart is tried again first.
  AsioClient* FindAsioRequestClient(PFILE_OBJECT File);
  // Runs Stop for a parked IRP on the return to D0 and completes it with the result.
  void CompleteParkedStop(PIRP Irp);
  // Takes the parked Stop IRP unless its cancel routine owns it, under the ASIO spin lock;
  // with a file, only that file's IRP.
  PIRP TakeParkedStop(PFILE_OBJECT File);
  // Completes a parked Stop (if any) with `Status`: removal, close and destruction.
  void AbandonParkedStop(PFILE_OBJECT File, NTSTATUS Status);
  NTSTATUS ParkStop(PIRP Irp);
  static VOID CancelParkedStop(PDEVICE_OBJECT DeviceObject, PIRP Irp);
  // ASIO helpers (asio_client.cpp, asio_settings.cpp), under the ASIO and power mutex.
  AsioClient* FindAsioClient(PFILE_OBJECT File);
  void FreeAsioClient(AsioClient* Client);
  void NotifyAsioClients();
  void WriteAsioSetting(PCWSTR Name, ULONG Value);
  // The i-th ASIO-capable engine (not referenced) and its index among all engines.
  IStreamEngine* AsioEngine(ULONG Nth, PULONG EngineIndex = nullptr);
  ULONG AsioEngineCount();
  NTSTATUS CheckAsioFormats(ULONG Mode, const ULONG* Rate);
  // Streaming of the ASIO rings, through m_pAsio.
  NTSTATUS StartAsioStreaming();
  NTSTATUS StopAsioStreaming();
  void CloseAsioStreams();
  void FreeAsioRings();
  void SilenceAsioRings(ULONG Mode);
  void ResetAsioChannels(PKEVENT PeriodEvent);
  // Drops the client's period event, the completions no longer signalling it.
  void ReleaseAsioPeriodEvent(AsioClient* Client);
  bool Stopping() const { return m_lStopping != 0; }

  PUSB_CONFIGURATION_DESCRIPTOR m_pConfiguration;
  USBD_CONFIGURATION_HANDLE m_hConfiguration;
  PUSBD_INTERFACE_INFORMATION* m_ppInterfaces;  // one copy per selected interface
  ULONG m_nInterfaceCopies;
  PUNKNOWN m_pFunction;  // non-delegating unknown of the aggregated function
  IAudioHal* m_pFunctionHal;
  IAdapterPowerManagement* m_pFunctionPower;
  IUacFunction* m_pFunctionControl;
  USHORT m_VendorId;
  USHORT m_ProductId;
  ULONG m_nQuirks;               // the root device's quirk bits, found with the function
  ULONG m_nAsioModelSampleType;  // the ASIO sample type its row names; 0: none
  UCHAR m_iManufacturer;
  UCHAR m_iProduct;
  ULONG m_nInterfaces;
  volatile UCHAR m_bPresent;
  UCHAR m_nControlInterface;
  UCHAR m_bHighSpeed;
  USB_BUS_INTERFACE_USBDI_V1 m_BusInterface;
  UCHAR m_nIrpStackSize;
  // The device's mutexes and the stream engines' are taken in one order only:
  //   ASIO and power mutex -> an engine mutex -> port mutex.
  // The ASIO and power mutex serialises the ASIO operations and device power changes
  // (which stop and start ASIO streams, taking engine mutexes). An engine's recovery runs
  // under its engine mutex and checks the port. The port mutex serialises port recovery
  // and every power change of the function (the power path's and a port reset's cycle);
  // nothing taken under it takes either of the others.
  CKernelMutex m_AsioPowerMutex;
  ULONG m_nAsioSampleType;
  ULONG m_nAsioLatencyIndex;
  ULONG m_nAsioSampleRate;
  CAsioStreams* m_pAsio;
  KSPIN_LOCK m_AsioLock;      // the parked Stop
  LIST_ENTRY m_AsioClients;   // AsioClient.Link
  AsioClient* m_pAsioOwner;   // the one client that may own buffers
  ULONG m_nAsioInUse;         // 1 while an owner exists
  ULONG m_nAsioBytesPerSample;
  ULONG m_nAsioPeriodFrames;
  bool m_bAsioGone;            // surprise removal or removal: no return to D0 will come
  LONG m_lPortCycled;
  CKernelMutex m_PortMutex;  // last in the order above m_AsioPowerMutex
  KSPIN_LOCK m_IdleLock;
  KEVENT m_IdleIrpDone;
  KEVENT m_D0RequestDone;
  KEVENT m_WorkItemDone;
  KTIMER m_IdleTimer;
  KDPC m_IdleDpc;
  LONG m_lIdleIrpReferences;
  PUSB_IDLE_CALLBACK_INFO m_pIdleCallbackInfo;
  PIRP m_pIdleIrp;
  volatile LONG m_lIdlePending;
  volatile LONG m_lWorkItems;  // timer work items queued or running, under the idle lock
  volatile LONG m_lIdleWorkQueued;
  volatile LONG m_lIdleRequestsSent;
  volatile LONG m_lStopping;   // set by the destructor: no new idle work from then on
  bool m_bAsioStreaming;
  bool m_bAsioSuspendedByPower;
  PIRP m_pParkedStopIrp;
  volatile LONG m_lRequestsInProgress;
  volatile LONG m_lActivity;
  UCHAR m_bSelectiveSuspend;
  bool m_bIdleObjects;      // timer, DPC and events initialised
  bool m_bTimerResolution;  // a 1 ms resolution request of this device is in force
};

// The device factory: one zeroed "PcCr" allocation, returned through its IAudioHal.
NTSTATUS CreateUsbAudioDevice(IAudioHal** AudioHal);

}  // namespace adapter
