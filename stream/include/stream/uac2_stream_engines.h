// The UAC 2.0 engines: an OUT endpoint (asynchronous with its explicit feedback endpoint,
// or without one) and an IN endpoint, each clocked by a clock source of the function.
// They run on the isochronous machinery of CUsbStreamEngine and differ from the UAC 1.0
// engines where the class does: the sampling frequency goes to the clock source, not to
// the endpoint; the render engine reads the feedback endpoint alongside every data URB and
// plays exactly the rate the device measures; the capture engine hands each URB's data to
// the clients as it arrives. Both ask the device which alternate settings are valid.
#pragma once

#include "stream/usb_stream_engine.h"

namespace stream {

inline constexpr ULONG kUac2StreamTag = MakePoolTag('U', 'S', '2', '0');

class CUac2StreamEngine : public CUsbStreamEngine {
 public:
  CUac2StreamEngine(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId, ULONG clockNodeId);

  // Setting 0 always; another when the interface's valid-alternates control (CUR,
  // selector 2) has its bit set. A failed request: not valid.
  STDMETHODIMP_(BOOLEAN) IsAltSettingValid(UCHAR AlternateSetting) override;

  // The identifier of the rate control of the clock that clocks the interface.
  ULONG GetClockNodeId() const { return m_nClockNodeId; }

 protected:
  // The rate to the clock entity with the clock node identifier (the last entity of the
  // owner's list with that identifier, answering IUacClockSource). No such entity:
  // STATUS_UNSUCCESSFUL; otherwise the clock's own status.
  NTSTATUS SetClockRate(ULONG Rate);
  // The allocation both directions share once their geometry is set: the rate to the
  // clock, then the shared transfers with a ring under "US20".
  NTSTATUS AllocateClocked(PSTREAMCLIENTRECORD Record, UCHAR AlternateSetting, ULONG RingBytes, PULONG BusFrame);

  ULONG m_nClockNodeId;
};

class CUac2RenderStream : public CUac2StreamEngine {
 public:
  CUac2RenderStream(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId, ULONG clockNodeId);
  // An engine released with its stream allocated: the control thread ends, every URB
  // comes back, and the feedback transfers go before the base frees the rest.
  ~CUac2RenderStream() override;

  // Under the engine mutex, in state 0 only (else STATUS_INSUFFICIENT_RESOURCES with
  // nothing changed): the record's format and setting, packets per frame, transfer
  // buffers with two spare frames per packet (a measured rate up to 1000 Hz above nominal
  // can add two frames to one full-speed packet), the rate to the clock (its failure is
  // returned with nothing left allocated), ten data and ten feedback transfers. The
  // measured rate starts at the nominal rate.
  STDMETHODIMP AllocateResources(PSTREAMCLIENTRECORD Record, PULONG BusFrame) override;
  // The setting with its last OUT pipe for data and its last IN pipe for feedback; no
  // rate request.
  STDMETHODIMP SelectAltSetting(UCHAR AlternateSetting, PSTREAMCLIENTRECORD Record) override;
  // Frees the free data transfers and the free feedback transfers.
  STDMETHODIMP ReleaseTransfers() override;
  // The data pipe, then (when that worked) the feedback pipe.
  STDMETHODIMP AbortPipe() override;
  // Waits for every URB; the device gone: STATUS_DEVICE_NOT_CONNECTED. Otherwise resets
  // the data and feedback pipes and sends three URBs from the current frame + 2, with the
  // alternate setting left selected. A failed pipe reset falls back to the full recovery
  // of the base (zero bandwidth, format record, reselection, restart, port cycle on
  // failure), so the stream never stays running without URBs.
  STDMETHODIMP Recover() override;
  // Under the send lock: a feedback URB when the setting has a feedback pipe (a device
  // that has gone stops the send), then the data URB laid out at the measured rate.
  STDMETHODIMP SendStreamUrb() override;
  // As the UAC 1.0 render completion, but only the IRP's and the URB's status decide
  // success; the packets' own statuses are not looked at.
  STDMETHODIMP OnUrbComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, UrbContext* Context) override;

  // The rate the render packets follow, in Hz: one 32-bit value written by the feedback
  // completion and read by the send without a lock.
  LONG GetMeasuredRate() const { return __atomic_load_n(&m_lMeasuredRate, __ATOMIC_SEQ_CST); }
  LONG GetSampleRemainder() const { return m_lSampleRemainder; }
  bool HasFeedbackPipe() const { return m_bHasFeedbackPipe; }
  // The feedback pipe of the selected setting, null when it has none.
  const USBD_PIPE_INFORMATION* GetFeedbackPipe() const;
  ULONG GetFeedbackUrbsSent() const { return m_nFeedbackUrbsSent; }

 private:
  // A feedback slot (the lowest free one below URBs in flight) with its URB on the
  // feedback pipe: one packet per bus frame, 4 bytes at high speed and 3 at full speed,
  // the buffer zeroed so that no earlier value can be read again. No free slot: success,
  // nothing sent.
  NTSTATUS SendFeedbackUrb(adapter::IUsbAudioDevice* Device);
  // Feedback packets per ms of an endpoint polled every 2^(Interval - 1) microframes at
  // high speed; 1 at full speed and for endpoints polled once per frame or less often.
  static ULONG FeedbackPacketsPerMs(UCHAR Interval, bool HighSpeed);
  NTSTATUS OnFeedbackUrbComplete(PIRP Irp, UrbContext* Context);
  static NTSTATUS FeedbackCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
  UrbContext* AcquireFeedbackUrbContext();
  void ReleaseFeedbackUrbContext(UrbContext* Context);
  // SYNC_RESET_PIPE_AND_CLEAR_STALL on one pipe.
  NTSTATUS ResetPipe(adapter::IUsbAudioDevice* Device, USBD_PIPE_HANDLE Pipe);
  void FreeFeedbackTransfers();

  volatile LONG m_lMeasuredRate;  // Hz
  LONG m_lSampleRemainder;        // fraction of a frame carried between packets, in 1/(packets per s)
  UCHAR m_nFeedbackPipe;          // index of the feedback pipe in the pipe table
  bool m_bHasFeedbackPipe;
  ULONG m_nFeedbackUrbsSent;
  KSPIN_LOCK m_FeedbackSlotLock;  // guards the two feedback slot tables
  UrbContext* m_FeedbackInFlight[kTransferSlots];
  UrbContext* m_FeedbackFree[kTransferSlots];
};

class CUac2CaptureStream : public CUac2StreamEngine {
 public:
  CUac2CaptureStream(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId, ULONG clockNodeId);

  // As the UAC 1.0 capture allocation (at least 10 ms of URBs queued, packets of the data
  // endpoint's size), the rate going to the clock source.
  STDMETHODIMP AllocateResources(PSTREAMCLIENTRECORD Record, PULONG BusFrame) override;
  // The setting with its last IN pipe; no rate request.
  STDMETHODIMP SelectAltSetting(UCHAR AlternateSetting, PSTREAMCLIENTRECORD Record) override;
  STDMETHODIMP SendStreamUrb() override;
  STDMETHODIMP OnUrbComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, UrbContext* Context) override;
  // Under the ring lock: the URB's packets into the ring (an empty good packet as one
  // packet's silence, a failed one as nothing), then exactly this URB's bytes to the
  // clients, processed in place, and one URB-done record with their count. Each packet
  // is taken in whole frames within its own slot of the buffer, so the clients always
  // receive whole frames.
  virtual void CopyCaptureData(UrbContext* Context);

 private:
};

}  // namespace stream
