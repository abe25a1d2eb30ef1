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
#include "adapter/usb_audio_device.h"
#include "adapter/usb_stream_client.h"
#include "kernel/nt.h"
#include "portcls/ksmedia.h"
#include "usb/usb.h"
#include "usb/usbdi.h"

namespace stream {

// The client side (interface ID, client operations, priorities, published records) is
// declared below the engines, in adapter/usb_stream_client.h.
using adapter::IID_IUsbStreamEngine;
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

using adapter::kAsioClientPriority;
using adapter::kWaveCyclicClientPriority;
// A client's milliseconds per URB and URBs in flight: 1 to the size of the slot tables.
inline constexpr ULONG kMaxClientUrbValue = kDefaultUrbsInFlight;

using adapter::kFormatChangedFlag;
using adapter::STREAM_NOTIFY_CAPTURE_DATA;
using adapter::STREAM_NOTIFY_FORMAT;
using adapter::STREAM_NOTIFY_RENDER_FILL;
using adapter::STREAM_NOTIFY_URB_DONE;
using adapter::StreamEngineRecord;
using adapter::StreamNotifyCode;

// One format and the alternate setting that plays it, in the order the builder found them.
struct StreamFormatRecord {
  LIST_ENTRY Links;
  UCHAR AlternateSetting;
  WAVEFORMATEXTENSIBLE Format;
};

class CUsbStreamEngine;

// Transfer memory: URBs, their contexts, transfer buffers and the pipe table.
inline constexpr ULONG kUrbPoolTag = MakePoolTag('U', 'R', 'B', ' ');
// The capture ring of the UAC 1.0 engines.
inline constexpr ULONG kUac1RingTag = MakePoolTag('U', 'S', '1', '0');
// Transfers made at allocation: the size of the slot tables.
inline constexpr ULONG kTransferSlots = 10;
// Bytes zeroed and declared per isochronous URB: the fixed part and one descriptor per packet.
inline constexpr ULONG kIsochUrbFixedBytes = 152;
inline constexpr ULONG kIsochPacketBytes = sizeof(USBD_ISO_PACKET_DESCRIPTOR);
// The capture ring holds 40 ms: a 25th of a second.
inline constexpr ULONG kRingDivisor = 25;
// A capture stream keeps at least this many milliseconds of URBs queued.
inline constexpr ULONG kCaptureMinQueuedMs = 10;
// Recovery waits this long on the zero-bandwidth setting before it restarts, and the
// restarted stream begins this many frames after the current one.
inline constexpr LONGLONG kRecoveryDelayMs = 100;
inline constexpr ULONG kRestartFrameOffset = 2;

// One reusable transfer: the IRP (allocated once, reused for every URB of its slot), the
// URB and the buffer from the engine's lookaside lists.
struct UrbContext {
  PIRP Irp;
  PURB Urb;
  CUsbStreamEngine* Engine;
  ULONG Bytes;  // what the URB carries (render) or asks for (capture) at send time
  PVOID Buffer;
  ULONG Slot;   // index in the slot tables
};

// The client interface (the first six operations) and the engine's own operations, which
// the concrete engines replace. Operations that come with the isochronous transfers answer
// STATUS_NOT_IMPLEMENTED until then.
struct IUsbStreamEngine : adapter::IUsbStreamClient {
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
  // Frees the transfers in the free slots (called only when none is outstanding).
  STDMETHODIMP ReleaseTransfers() override;
  // Aborts the data pipe with a synchronous abort-pipe URB; its status.
  STDMETHODIMP AbortPipe() override;
  // On the control thread under the engine mutex, after a transfer error: waits for
  // every URB, asks whether the device is still there (gone: STATUS_DEVICE_NOT_CONNECTED,
  // nothing else done), waits 100 ms on the zero-bandwidth setting, tells every client
  // the stream starts over (format record with kFormatChangedFlag) and restarts. A failed
  // zero-bandwidth selection or restart cycles the port and is returned.
  STDMETHODIMP Recover() override;
  STDMETHODIMP SelectZeroBandwidth() override { return SelectAltSetting(0, nullptr); }
  // The current client's alternate setting again, fresh positions, and the URBs queued
  // from the current bus frame + 2.
  STDMETHODIMP Restart() override;
  STDMETHODIMP SendStreamUrb() override { return STATUS_NOT_IMPLEMENTED; }
  // The base's own completion: a good transfer asks the control thread to send the next
  // URBs; an error hands it the recovery. The concrete engines send from their own.
  STDMETHODIMP OnUrbComplete(PDEVICE_OBJECT, PIRP, UrbContext*) override;
  // Serves the work event under the engine mutex until the stop event ends it.
  STDMETHODIMP_(void) ControlThread() override;
  STDMETHODIMP AllocateResources(PSTREAMCLIENTRECORD, PULONG) override { return STATUS_UNSUCCESSFUL; }
  // Allocated (state 1) only, else STATUS_INVALID_PARAMETER: zero bandwidth, transfers,
  // lists, ring and pipe table go; the zero-bandwidth failure is returned unless the
  // device is gone.
  STDMETHODIMP FreeResources() override;
  // Allocated (state 1) to running: the processing nodes get the format, then up to
  // URBs-in-flight URBs are queued. Refused (STATUS_UNSUCCESSFUL) in any other state.
  STDMETHODIMP Start(ULONG StartFrame, UCHAR Explicit) override;
  // Running to allocated: waits for every URB to come back, then resets the processing
  // nodes. STATUS_UNSUCCESSFUL unless running.
  STDMETHODIMP Stop() override;
  STDMETHODIMP_(BOOLEAN) IsAltSettingValid(UCHAR) override { return TRUE; }

  // IUsbStreamDrm: forwards the content to the device below with the data pipe's handle
  // (null before any alternate setting was selected); the rights are not used.
  STDMETHODIMP SetContentId(ULONG ContentId, PVOID DrmRights) override;

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
  // Geometry of the allocated stream.
  ULONG GetPacketsPerMsAllocated() const { return m_nPacketsPerMs; }
  ULONG GetSamplesPerPacket() const { return m_nSamplesPerPacket; }
  ULONG GetTransferBufferBytes() const { return m_nTransferBufferBytes; }
  ULONG GetRingSize() const { return m_nRingSize; }
  LONG GetUrbsOutstanding() const { return __atomic_load_n(&m_lUrbsOutstanding, __ATOMIC_SEQ_CST); }
  bool IsDeviceGone() const { return __atomic_load_n(&m_bDeviceGone, __ATOMIC_SEQ_CST) != 0; }
  // False once the control thread has ended (or never ran).
  bool IsControlThreadRunning();
  // The pipe table's data pipe, null while no streaming setting is selected.
  const USBD_PIPE_INFORMATION* GetDataPipe() const;

  // Packets per 1 ms bus frame of the alternate setting's data endpoint: 1 at full speed
  // or without such an endpoint; at high speed 8 >> (bInterval - 1). A high-speed
  // bInterval of 0 or above 4 gives 0: no whole number of packets per frame, so the
  // setting cannot be streamed.
  ULONG GetPacketsPerMs(UCHAR AlternateSetting);
  // Frames one capture packet can carry: the alternate setting's IN data endpoint's size
  // (bits 0-10, times the transactions per microframe at high speed) over the frame size;
  // 0 when unusable. Without the device: the nominal frames per packet plus 6.
  ULONG GetCapturePacketSamples(UCHAR AlternateSetting, const WAVEFORMATEX& Format, ULONG PacketsPerMs);

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
  // Whether the client the resources were allocated for (other than `Head`, the running
  // head, and `Leaving`, which gives them up) has not started: it holds the device in its
  // format, and no client behind it runs.
  bool IsHeldFromHead(PSTREAMCLIENTRECORD Head, PSTREAMCLIENTRECORD Leaving) const;
  // Once no client holds the device for itself, the head of the running list drives it:
  // re-allocated in its own format (unless allocated for it already), a format record
  // with the change flag, then started a few frames on. Nothing when none runs, the
  // stream runs, or a client ahead holds it (`Leaving` aside: it stopped, or its start
  // failed).
  // A failed allocation is returned; a failed start frees the resources.
  NTSTATUS ResumeRunningHead(PSTREAMCLIENTRECORD Leaving);

  // --- Transfers (usb_stream_transfers.cpp), shared by every concrete engine.
  // The root device's interface with a reference, or null.
  adapter::IUsbAudioDevice* QueryDevice();
  // The alternate setting's interface descriptor in the configuration, or null.
  PUSB_INTERFACE_DESCRIPTOR FindInterfaceDescriptor(adapter::IUsbAudioDevice* Device, UCHAR AlternateSetting);
  // The first isochronous data endpoint (not a feedback endpoint) of the direction
  // (In: bit 7 set) in the alternate setting, or null.
  const USB_ENDPOINT_DESCRIPTOR* FindDataEndpoint(adapter::IUsbAudioDevice* Device, UCHAR AlternateSetting, bool In);
  // Steps an allocation shares once the geometry is known (the state is checked and
  // the geometry set by the caller): state 1, the three lookaside lists, ten transfers,
  // the ring of `RingBytes` under `RingTag`, the alternate setting, fresh positions and
  // the bus frame. A failure gives everything back, puts the state to 0 and is returned.
  NTSTATUS AllocateTransfers(PSTREAMCLIENTRECORD Record, UCHAR AlternateSetting, ULONG RingBytes, ULONG RingTag,
                             PULONG BusFrame);
  // The select-interface request for the setting, the new pipe table with the data pipe
  // of the engine's direction, and the device's activity count. No such pipe in a
  // streaming setting: alternate setting 0 again and STATUS_UNSUCCESSFUL.
  NTSTATUS SelectInterfaceSetting(adapter::IUsbAudioDevice* Device, UCHAR AlternateSetting);
  // The UAC 1.0 sampling-frequency request to the data endpoint of the alternate setting.
  // An endpoint whose class-specific descriptor declares no sampling-frequency control
  // runs at its format's rate and would stall the request: nothing is sent, success.
  NTSTATUS SetEndpointRate(adapter::IUsbAudioDevice* Device, UCHAR AlternateSetting, ULONG Rate);
  // Whether the data endpoint of the alternate setting accepts the sampling-frequency
  // request: bit 0 of its general class-specific endpoint descriptor. Without that
  // descriptor the request is sent, as before.
  bool EndpointHasRateControl(adapter::IUsbAudioDevice* Device, UCHAR AlternateSetting);
  NTSTATUS AllocTransfer(adapter::IUsbAudioDevice* Device, ULONG Slot, UrbContext** Context);
  void FreeUrbContext(UrbContext* Context);
  // The lowest slot below URBs in flight that is free, moved to the in-flight table; null
  // when none is.
  UrbContext* AcquireUrbContext();
  // Back to the free table, the IRP reused.
  void ReleaseUrbContext(UrbContext* Context);
  // Zeroes the context's URB and fills the fixed fields of an isochronous transfer of
  // `Packets` packets on the data pipe; the caller fills the packets and lengths.
  PURB BeginIsochUrb(UrbContext* Context, ULONG Packets, ULONG TransferFlags);
  // Start frame, IRP and submission; URBs outstanding counts it. The status of CallDriver.
  NTSTATUS SubmitIsochUrb(adapter::IUsbAudioDevice* Device, UrbContext* Context);
  // What a completion in the running state does with a finished transfer: the slot goes
  // back and, when `Good` and no error is pending, the successor is sent; a failed one
  // hands the recovery to the control thread (once per error burst).
  void ContinueAfterTransfer(UrbContext* Context, bool Good);
  // The last step of every completion: one URB fewer outstanding, the all-back event when
  // none is left.
  void EndCompletion();
  // The send of a capture engine: one URB of the allocated packets, each with its whole
  // slot to fill, under the send lock; nothing while not running or once the device is gone.
  NTSTATUS SendCaptureUrb();
  // The gate of a send, under the send lock: STATUS_UNSUCCESSFUL without a device, success
  // with nothing sent once it is gone or while not running, STATUS_BUFFER_TOO_SMALL without
  // a free slot; else an isochronous URB of the allocated packets, begun with
  // `TransferFlags`, goes to `Fill(Device, Context, Urb, Packets)`, which fills it and
  // returns the status of its submit.
  template <class FillUrb>
  NTSTATUS SendIsochUrb(ULONG TransferFlags, FillUrb&& Fill) {
    KIRQL irql;
    KeAcquireSpinLock(&m_SendLock, &irql);
    adapter::IUsbAudioDevice* device = QueryDevice();
    NTSTATUS status = STATUS_SUCCESS;
    UrbContext* context = nullptr;
    if (!device) {
      status = STATUS_UNSUCCESSFUL;
    } else if (IsDeviceGone() || GetStreamState() != STREAM_STATE_RUNNING) {
      status = STATUS_SUCCESS;
    } else if (!(context = AcquireUrbContext())) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      const ULONG packets = m_nMsPerUrb * m_nPacketsPerMs;
      PURB urb = BeginIsochUrb(context, packets, TransferFlags);
      status = Fill(device, context, urb, packets);
    }
    KeReleaseSpinLock(&m_SendLock, irql);
    if (device) device->Release();
    return status;
  }
  // Bytes into the capture ring at its write position, wrapping as often as needed; the
  // caller holds the ring lock.
  void StoreInRing(const UCHAR* Data, ULONG Bytes);
  void PublishUrbDone(ULONG Bytes);
  void PublishData(ULONG Code, PVOID Buffer, ULONG Bytes);
  static NTSTATUS UrbCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
  void FreeTransferMemory();

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

  // Transfer state: set by AllocateResources, read by the send and completion paths.
  PUCHAR m_pRing;      // capture ring (render engines allocate it too)
  ULONG m_nRingTag;
  ULONG m_nRingSize;   // bytes
  ULONG m_nRingRead;   // next byte to publish
  ULONG m_nRingWrite;  // next byte to store
  KSPIN_LOCK m_RingLock;
  ULONG m_nPacketsPerMs;
  ULONG m_nUrbPacketsPerMs;  // packets per ms an URB must hold beyond the data's (0: the data's)
  ULONG m_nSamplesPerPacket;
  ULONG m_nTransferBufferBytes;
  ULONG m_nBlockAlign;   // frame bytes of the allocated format
  ULONG m_nStreamRate;   // Hz of the allocated format
  PUSBD_INTERFACE_INFORMATION m_pPipeTable;  // copy of the selected interface's pipes
  UCHAR m_nDataPipe;                         // index of the data pipe in it
  bool m_bHoldsActivity;  // a streaming setting counts in the device's activity
  KSPIN_LOCK m_SendLock;                     // serialises SendStreamUrb
  volatile LONG m_lUrbsOutstanding;
  KSPIN_LOCK m_SlotLock;                     // guards the two slot tables
  UrbContext* m_InFlightSlots[kTransferSlots];
  UrbContext* m_FreeSlots[kTransferSlots];
  NPAGED_LOOKASIDE_LIST m_UrbList;
  NPAGED_LOOKASIDE_LIST m_ContextList;
  NPAGED_LOOKASIDE_LIST m_BufferList;
  bool m_bListsReady;
};

// Puts the engine factories into the audio model's builder hook.
void RegisterEngineFactories();

}  // namespace stream
