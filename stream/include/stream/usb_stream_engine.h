// CUsbStreamEngine: the base of the per-endpoint USB streaming engines, one per Audio
// Streaming interface. On top of the audio layer's CStreamEngine (formats, path, processing
// nodes, client lists, engine mutex) it keeps the formats each alternate setting plays,
// its own callback object "\Callback\CyclicControlAddr%p" on which clients hear about
// transfers, and a control thread that takes transfer errors out of the completion
// routines. The function's filter builder constructs an engine, initialises it and fills
// its formats; the clients and the isochronous transfers work through IUsbStreamEngine.
#pragma once

#include "adapter/audio_hal.h"
#include "adapter/dsp_node.h"
#include "adapter/stream_engine.h"
#include "kernel/nt.h"
#include "portcls/ksmedia.h"

namespace stream {

// {7C4D1930-875A-418C-A0A4-3A30456A8996}
KS_DEFINE_GUID(IID_IUsbStreamEngine, 0x7C4D1930, 0x875A, 0x418C, 0xA0, 0xA4, 0x3A, 0x30, 0x45, 0x6A, 0x89, 0x96);
// {AA68946D-7D26-4137-9A5D-71E1EDB6C0CC}
KS_DEFINE_GUID(IID_IUsbStreamDrm, 0xAA68946D, 0x7D26, 0x4137, 0x9A, 0x5D, 0x71, 0xE1, 0xED, 0xB6, 0xC0, 0xCC);

// Format records and client records.
inline constexpr ULONG kUsbStreamPoolTag = MakePoolTag('U', 'S', 'B', 'S');
// URBs in flight and milliseconds per URB after construction; ten is also the size of the
// transfer slot tables.
inline constexpr ULONG kDefaultUrbsInFlight = 10;
inline constexpr ULONG kDefaultMsPerUrb = 10;
// The control thread's priority.
inline constexpr KPRIORITY kControlThreadPriority = 24;

// m_StreamState values.
enum StreamState : ULONG { STREAM_STATE_NO_RESOURCES = 0, STREAM_STATE_ALLOCATED = 1, STREAM_STATE_RUNNING = 2 };

// One client attached to the engine; owned by the engine from RegisterClient on.
using StreamClientRecord = adapter::StreamClientRecord;
using PSTREAMCLIENTRECORD = adapter::PSTREAMCLIENTRECORD;

// Priorities of the clients of this system.
inline constexpr ULONG kWaveCyclicClientPriority = 3;
inline constexpr ULONG kAsioClientPriority = 5;
// A client's milliseconds per URB and URBs in flight: 1 to the size of the slot tables.
inline constexpr ULONG kMaxClientUrbValue = kDefaultUrbsInFlight;

// Codes of the record the engine publishes on its callback object.
enum StreamNotifyCode : ULONG {
  STREAM_NOTIFY_URB_DONE = 1,
  STREAM_NOTIFY_FORMAT = 2,
  STREAM_NOTIFY_RENDER_FILL = 3,
  STREAM_NOTIFY_CAPTURE_DATA = 4,
};
// STREAM_NOTIFY_FORMAT: set in MsPerUrb when the device format changed.
inline constexpr ULONG kFormatChangedFlag = 0x80000000u;

// What every registered client callback receives as its first argument, built on the
// notifier's stack: the current client (may be null), the code and its payload.
struct StreamEngineRecord {
  PSTREAMCLIENTRECORD Client;
  ULONG Code;
  union {
    ULONG ByteCount;  // URB done
    struct {
      ULONG MsPerUrb;  // with kFormatChangedFlag when the device format changed
      ULONG UrbsInFlight;
    } Format;
    PVOID Buffer;  // render fill, capture data
  } Payload;
  ULONG Length;  // render fill, capture data: bytes at Buffer
};

// One format and the alternate setting that plays it, in the order the builder found them.
struct StreamFormatRecord {
  LIST_ENTRY Links;
  UCHAR AlternateSetting;
  WAVEFORMATEXTENSIBLE Format;
};

struct UrbContext;

// The client interface (the first six operations) and the engine's own operations, which
// the concrete engines replace. Operations that come with the isochronous transfers answer
// STATUS_NOT_IMPLEMENTED until then.
struct IUsbStreamEngine : IUnknown {
  STDMETHOD(RegisterClient)(ULONG Priority, const WAVEFORMATEXTENSIBLE* Format, ULONG MsPerUrb, ULONG UrbsInFlight,
                            PCALLBACK_FUNCTION Callback, PVOID Context, PSTREAMCLIENTRECORD* Record) = 0;
  STDMETHOD(UnregisterClient)(ULONGLONG Key) = 0;
  STDMETHOD(StartClient)(ULONGLONG Key, ULONG StartFrame, PULONG MsPerUrb, PUNKNOWN ProcessingObject) = 0;
  STDMETHOD(StopClient)(ULONGLONG Key, PUNKNOWN ProcessingObject) = 0;
  STDMETHOD(PrepareClient)(ULONGLONG Key, PULONG MsPerUrb, PULONG BusFrame) = 0;
  STDMETHOD(UnprepareClient)(ULONGLONG Key) = 0;
  STDMETHOD(SelectAltSetting)(UCHAR AlternateSetting, PSTREAMCLIENTRECORD Record) = 0;
  STDMETHOD(ReleaseTransfers)() = 0;
  STDMETHOD(AbortPipe)() = 0;
  STDMETHOD(Recover)() = 0;
  STDMETHOD(SelectZeroBandwidth)() = 0;
  STDMETHOD(Restart)() = 0;
  STDMETHOD(SendStreamUrb)() = 0;
  STDMETHOD(OnUrbComplete)(PDEVICE_OBJECT DeviceObject, PIRP Irp, UrbContext* Context) = 0;
  STDMETHOD_(void, ControlThread)() = 0;
  STDMETHOD(AllocateResources)(PSTREAMCLIENTRECORD Record, PULONG BusFrame) = 0;
  STDMETHOD(FreeResources)() = 0;
  STDMETHOD(Start)(ULONG StartFrame, UCHAR Explicit) = 0;
  STDMETHOD(Stop)() = 0;
  STDMETHOD_(BOOLEAN, IsAltSettingValid)(UCHAR AlternateSetting) = 0;
};
using PUSBSTREAMENGINE = IUsbStreamEngine*;

struct IUsbStreamDrm : IUnknown {
  STDMETHOD(SetContentId)(ULONG ContentId, PVOID DrmRights) = 0;
};

class CUsbStreamEngine : public IUsbStreamEngine, public IUsbStreamDrm, public adapter::CStreamEngine {
 public:
  CUsbStreamEngine(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId);
  // Frees the format records, ends the control thread when there is one and drops the
  // callback object.
  ~CUsbStreamEngine() override;

  DECLARE_STD_UNKNOWN();

  // The base Init, then the callback object and the control thread. Called once.
  NTSTATUS Init(ULONG Direction, adapter::IAudioHal* Owner);
  using adapter::CStreamEngine::Init;
  // Adds the format to the engine's lists and remembers its alternate setting.
  NTSTATUS AddStreamFormat(const WAVEFORMATEXTENSIBLE* Format, UCHAR AlternateSetting);
  // The alternate setting of the first record that plays the format: a plain format by
  // channels, rate, bits and tag; an extensible one (at least 22 extra bytes) by its 40
  // bytes exactly. None: STATUS_INVALID_PARAMETER.
  NTSTATUS FindAltSetting(const WAVEFORMATEX* Format, PUCHAR AlternateSetting);

  // IUsbStreamEngine client operations, each under the engine mutex at PASSIVE_LEVEL.
  // A client registers (its format must be one of the engine's; milliseconds per URB and
  // URBs in flight 1 to 10), prepares (the highest-priority prepared client has the
  // device resources allocated in its format), starts (the highest-priority running
  // client drives the device), and leaves by stopping, unpreparing and unregistering.
  // Keys that name no client in the right list: STATUS_INVALID_PARAMETER, or
  // STATUS_UNSUCCESSFUL from UnregisterClient. A started client cannot be started again
  // nor unprepared (STATUS_INVALID_DEVICE_STATE).
  STDMETHODIMP RegisterClient(ULONG Priority, const WAVEFORMATEXTENSIBLE* Format, ULONG MsPerUrb,
                              ULONG UrbsInFlight, PCALLBACK_FUNCTION Callback, PVOID Context,
                              PSTREAMCLIENTRECORD* Record) override;
  STDMETHODIMP UnregisterClient(ULONGLONG Key) override;
  STDMETHODIMP StartClient(ULONGLONG Key, ULONG StartFrame, PULONG MsPerUrb, PUNKNOWN ProcessingObject) override;
  STDMETHODIMP StopClient(ULONGLONG Key, PUNKNOWN ProcessingObject) override;
  STDMETHODIMP PrepareClient(ULONGLONG Key, PULONG MsPerUrb, PULONG BusFrame) override;
  STDMETHODIMP UnprepareClient(ULONGLONG Key) override;
  STDMETHODIMP SelectAltSetting(UCHAR, PSTREAMCLIENTRECORD) override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP ReleaseTransfers() override { return STATUS_SUCCESS; }
  STDMETHODIMP AbortPipe() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP Recover() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP SelectZeroBandwidth() override { return SelectAltSetting(0, nullptr); }
  STDMETHODIMP Restart() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP SendStreamUrb() override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP OnUrbComplete(PDEVICE_OBJECT, PIRP, UrbContext*) override;
  // Serves the work event under the engine mutex until the stop event ends it.
  STDMETHODIMP_(void) ControlThread() override;
  STDMETHODIMP AllocateResources(PSTREAMCLIENTRECORD, PULONG) override { return STATUS_UNSUCCESSFUL; }
  STDMETHODIMP FreeResources() override;
  // Allocated (state 1) to running: the processing nodes get the format, then up to
  // URBs-in-flight URBs are queued. Refused (STATUS_UNSUCCESSFUL) in any other state.
  STDMETHODIMP Start(ULONG StartFrame, UCHAR Explicit) override;
  // Running to allocated: waits for every URB to come back, then resets the processing
  // nodes. STATUS_UNSUCCESSFUL unless running.
  STDMETHODIMP Stop() override;
  STDMETHODIMP_(BOOLEAN) IsAltSettingValid(UCHAR) override { return TRUE; }

  // IUsbStreamDrm
  STDMETHODIMP SetContentId(ULONG, PVOID) override { return STATUS_NOT_IMPLEMENTED; }

  ULONG GetTerminalNodeId() const { return m_nTerminalNodeId; }
  ULONG GetFormatRecordCount() const;
  // The record at the index (format order), null past the end.
  const StreamFormatRecord* GetFormatRecord(ULONG Index) const;
  bool HasControlThread() const { return m_pThread != nullptr; }
  PCALLBACK_OBJECT GetCyclicCallbackObject() const { return m_pCyclicCallback; }
  // Wakes the control thread as a completion routine does when it hands over an error.
  void SignalTransferError();
  ULONG GetMsPerUrb() const { return m_nMsPerUrb; }
  ULONG GetUrbsInFlight() const { return m_nUrbsInFlight; }
  // The stream state (StreamState), read as a completion routine reads it.
  ULONG GetStreamState() const { return static_cast<ULONG>(__atomic_load_n(&m_StreamState, __ATOMIC_SEQ_CST)); }
  PSTREAMCLIENTRECORD GetCurrentClient() const { return m_pCurrentClient; }
  PSTREAMCLIENTRECORD GetCurrentPreparedClient() const { return m_pCurrentPreparedClient; }
  const WAVEFORMATEXTENSIBLE& GetCurrentWaveFormat() const { return m_CurrentWaveFormat; }

 protected:
  static VOID ControlThreadStart(PVOID Context);
  void EndControlThread();

  // Changes the stream state with an interlocked exchange; returns the previous state.
  ULONG SetStreamState(ULONG State);
  // The record's format becomes the one the device runs and the processing hooks use.
  void TakeDeviceFormat(PSTREAMCLIENTRECORD Record);
  // Publishes STREAM_NOTIFY_FORMAT for the record, with kFormatChangedFlag when asked.
  void PublishFormat(PSTREAMCLIENTRECORD Record, bool FormatChanged);
  // Sends a record to every registered client callback.
  void Publish(StreamEngineRecord* Record);
  // The processing object's IDspNode and the effect list its client's priority selects
  // (priorities 1 and 2; null list for any other). STATUS_INVALID_PARAMETER when the
  // object does not process buffers.
  NTSTATUS EffectTarget(PSTREAMCLIENTRECORD Record, PUNKNOWN Object, adapter::IDspNode** Node, bool* First);
  // Frees what resources there are after a failure; once none are left, no client is
  // the current prepared one, so that the next prepare allocates again.
  void FreeResourcesOfPrepared();
  // Frees the client records still registered and their callback registrations.
  void FreeRegisteredClients();

  adapter::IAudioHal* m_pOwner;  // not referenced: the function owns the engine
  ULONG m_nTerminalNodeId;
  LIST_ENTRY m_FormatRecords;
  ULONG m_nMsPerUrb;
  ULONG m_nUrbsInFlight;
  volatile UCHAR m_bDeviceGone;
  volatile LONG m_lWorkInterlock;  // 0 nothing, 1 a send is requested, 2 a transfer error
  KEVENT m_AllBackEvent;           // notification, signalled while no URB is outstanding
  KEVENT m_StopEvent;              // notification, ends the control thread
  KEVENT m_ThreadDoneEvent;        // notification, set as the control thread ends
  KEVENT m_WorkEvent;              // synchronization, wakes the control thread
  PVOID m_pThread;                 // referenced thread object of the control thread
  PCALLBACK_OBJECT m_pCyclicCallback;  // "\Callback\CyclicControlAddr%p"
  ULONG m_nNextStartFrame;   // bus frame of the next URB when starting explicitly
  UCHAR m_bExplicitStart;    // 1: URBs carry a start frame; 0: as soon as possible
  PSTREAMCLIENTRECORD m_pCurrentClient;          // head of the running list: drives the device
  PSTREAMCLIENTRECORD m_pCurrentPreparedClient;  // prepared head when resources were last allocated
};

// The UAC 1.0 engines: an OUT endpoint (adaptive or synchronous) and an IN endpoint.
class CUac1RenderStream : public CUsbStreamEngine {
 public:
  CUac1RenderStream(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId);
};
class CUac1CaptureStream : public CUsbStreamEngine {
 public:
  CUac1CaptureStream(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId);
};

// Puts the engine factories into the audio model's builder hook.
void RegisterEngineFactories();

}  // namespace stream
