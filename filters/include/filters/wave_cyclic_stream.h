// CMiniportWaveCyclicStream: the stream of the one open pin of a WaveCyclic filter. It is
// PortCls's IMiniportWaveCyclicStream, the IDmaChannel whose cyclic buffer (non-paged
// pool, no hardware DMA) the port reads and writes, and the pin's IDrmAudioStream. While
// in RUN it is a client of the endpoint's USB stream engine (priority 3, 5 ms per URB,
// 3 URBs in flight) and hears the engine's records on its callback object: a render fill
// copies the URB's bytes out of the cyclic buffer, captured data goes through a
// CDspInterleaveSrc into it, and every URB completion advances the DMA position and
// notifies the port.
//
// Positions are bytes in the cyclic buffer. The DMA position moves by each completed URB,
// in the client's bytes (converted through the per-millisecond rate when the engine runs
// another client's format). GetPosition interpolates within the URB now playing by the
// performance counter, never past its end, and never reports less than it reported
// before: the position a client sees only moves forward until STOP resets it.
#pragma once

#include "adapter/stream_engine.h"
#include "dsp/interleave_src.h"
#include "kernel/ke.h"
#include "kernel/nt.h"
#include "portcls/portcls.h"
#include "stream/usb_stream_engine.h"

namespace filters {

class CMiniportWaveCyclic;

inline constexpr ULONG kCyclicBufferPoolTag = MakePoolTag('C', 'C', 'S', 'T');
// What the stream asks of the engine.
inline constexpr ULONG kStreamMsPerUrb = 5;
inline constexpr ULONG kStreamUrbsInFlight = 3;
// The notification interval reported to the port, in milliseconds.
inline constexpr ULONG kNotificationIntervalMs = 10;
// The largest buffer the channel allocates and reports: 50 ms of the most a high-speed
// isochronous endpoint carries (3 x 1024 bytes per microframe), so every format a USB
// device can stream fits, while a hostile size is still refused.
inline constexpr ULONG kMaximumCyclicBufferBytes = 3 * 1024 * 8000 / 20;
// The cyclic buffer holds a 20th of a second (50 ms).
inline constexpr ULONG kBufferDivisor = 20;
// URBs filled and not yet completed that the stream keeps the size of: more than the
// engine's slot tables (10) can have in flight.
inline constexpr ULONG kUrbRingEntries = 16;
// Start frame of the stream: this many frames after the one PrepareClient reported.
inline constexpr ULONG kStartFrameOffset = 2;
// The time stamp counts 10-microsecond units.
inline constexpr ULONGLONG kStampUnitsPerSecond = 100000;

class CMiniportWaveCyclicStream : public IMiniportWaveCyclicStream,
                                  public IDmaChannel,
                                  public IDrmAudioStream,
                                  public CUnknown {
 public:
  explicit CMiniportWaveCyclicStream(PUNKNOWN outerUnknown);
  // Walks the state down to STOP, frees the buffer and the converter, releases the
  // service group and the engine and uncounts itself in the miniport.
  ~CMiniportWaveCyclicStream() override;

  DECLARE_STD_UNKNOWN();

  // Called once by NewStream. The format must pass the miniport's check; the buffer holds
  // 50 ms of it in whole frames. On success the service group goes out with a reference.
  NTSTATUS Init(CMiniportWaveCyclic* Miniport, ULONG Pin, bool Capture, const KSDATAFORMAT* DataFormat,
                adapter::IStreamEngine* Engine, PSERVICEGROUP* ServiceGroup);

  // IMiniportWaveCyclicStream
  // Refused in RUN (STATUS_UNSUCCESSFUL); a format of the same rate, channels and bits
  // changes nothing; another one gets a new 50 ms buffer.
  STDMETHODIMP SetFormat(PKSDATAFORMAT DataFormat) override;
  STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG Interval, PULONG FramingSize) override;
  STDMETHODIMP SetState(KSSTATE State) override;
  STDMETHODIMP GetPosition(PULONG Position) override;
  STDMETHODIMP NormalizePhysicalPosition(PLONGLONG PhysicalPosition) override;
  STDMETHODIMP_(void) Silence(PVOID Buffer, ULONG ByteCount) override;

  // IDmaChannel
  STDMETHODIMP AllocateBuffer(ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint) override;
  STDMETHODIMP_(void) FreeBuffer() override;
  STDMETHODIMP_(ULONG) TransferCount() override { return m_nAllocatedSize; }
  STDMETHODIMP_(ULONG) MaximumBufferSize() override { return kMaximumCyclicBufferBytes; }
  STDMETHODIMP_(ULONG) AllocatedBufferSize() override { return m_nAllocatedSize; }
  STDMETHODIMP_(ULONG) BufferSize() override { return m_nBufferSize ? m_nBufferSize : m_nAllocatedSize; }
  STDMETHODIMP_(void) SetBufferSize(ULONG BufferSize) override;
  STDMETHODIMP_(PVOID) SystemAddress() override { return m_pBuffer; }
  STDMETHODIMP_(PPHYSICAL_ADDRESS) PhysicalAddress(PPHYSICAL_ADDRESS PhysicalAddress) override;
  STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override { return nullptr; }
  STDMETHODIMP_(void) CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) override;
  STDMETHODIMP_(void) CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) override;

  // IDrmAudioStream: forwarded to the engine's IUsbStreamDrm.
  STDMETHODIMP SetContentId(ULONG ContentId, PCDRMRIGHTS DrmRights) override;

  // The callback registered with the engine (at DISPATCH_LEVEL from completions).
  static VOID OnStreamEngineNotify(PVOID Context, PVOID Argument1, PVOID Argument2);

  // For tests and tools.
  KSSTATE GetState() const { return m_State; }
  ULONG GetDmaPosition() const { return m_nDmaPosition; }
  ULONG GetCopyOffset() const { return m_nCopyOffset; }
  const WAVEFORMATEXTENSIBLE& GetClientFormat() const { return m_Format; }
  const WAVEFORMATEXTENSIBLE& GetDeviceFormat() const { return m_DeviceFormat; }
  bool IsRegistered() const { return m_pClientRecord != nullptr; }
  // The 50 ms buffer of a format, in whole frames.
  static ULONG BufferBytesFor(const WAVEFORMATEXTENSIBLE& Format);
  ULONG GetMsPerUrb() const { return m_nMsPerUrb; }
  ULONG GetUrbsInFlight() const { return m_nUrbsInFlight; }

 private:
  NTSTATUS EnterRun(stream::IUsbStreamEngine* Engine);
  NTSTATUS LeaveRun(stream::IUsbStreamEngine* Engine);
  void ForgetRecord();
  // The performance counter in 10 microsecond units.
  static ULONGLONG StampNow();
  // The position in RUN (lock held): the DMA position and the part of the URB now
  // playing that has elapsed, never behind the last position reported.
  ULONG RunPositionLocked();
  // Whether position a lies behind b in the buffer (by less than half of it).
  bool IsBehindLocked(ULONG a, ULONG b) const;
  void ResetPositionsLocked();
  void ClearRingLocked();
  // Device bytes into the client's bytes through per-millisecond accumulators. Signed:
  // the remainder may go below zero between URBs.
  struct RateAccumulator {
    LONGLONG byteRemainder;
    LONGLONG deviceFractionCarry;
    LONGLONG clientFractionCarry;
  };
  ULONG DeviceToClientLocked(RateAccumulator* Accumulator, ULONG DeviceBytes);
  void SetRateRatioLocked(ULONG MsPerUrb, ULONG UrbsInFlight);
  // Render, after the engine changed format or restarted: where the copy and the position
  // go on from (on a frame), and the URBs that play silence first.
  void RestartRenderCopyLocked(ULONG UrbsInFlight);

  // Record handlers, at DISPATCH_LEVEL.
  void OnRecord(const stream::StreamEngineRecord* Record);
  void AdvancePosition(const stream::StreamEngineRecord* Record);
  void FormatChanged(const stream::StreamEngineRecord* Record);
  void FillRenderBuffer(const stream::StreamEngineRecord* Record);
  void StoreCaptureData(const stream::StreamEngineRecord* Record);
  // Capture data of the client's own format: copied as it is, whole frames.
  void StoreCaptureCopyLocked(const UCHAR* Data, ULONG Bytes);
  void StoreCaptureConvertedLocked(const UCHAR* Data, ULONG Bytes);
  bool IsCurrentClient(const stream::StreamEngineRecord* Record) const;
  bool SameRate(const stream::StreamEngineRecord* Record) const;

  CMiniportWaveCyclic* m_pMiniport;  // no reference; cleared when the stream goes
  adapter::IStreamEngine* m_pEngine;   // one reference
  ULONG m_nPin;
  KSSTATE m_State;
  ULONG m_nNotificationInterval;
  ULONG m_nMsPerUrb;
  ULONG m_nUrbsInFlight;
  ULONGLONG m_ullClientKey;
  stream::PSTREAMCLIENTRECORD m_pClientRecord;  // null while not registered
  PSERVICEGROUP m_pServiceGroup;
  WAVEFORMATEXTENSIBLE m_Format;
  PUCHAR m_pBuffer;
  ULONG m_nAllocatedSize;
  ULONG m_nDmaPosition;
  ULONG m_nBufferSize;
  ULONG m_nLastPosition;
  ULONG m_nCopyOffset;
  ULONG m_nCurrentUrbBytes;
  ULONGLONG m_ullTimeStamp;
  KSPIN_LOCK m_Lock;
  UCHAR m_bCapture;
  UCHAR m_bCounted;
  // Client bytes of the URBs filled and not yet completed, oldest (playing) first.
  ULONG m_UrbRing[kUrbRingEntries];
  ULONG m_nRingRead;
  ULONG m_nRingCount;
  // Device-to-client conversion. Completions and render fills each count with their own
  // accumulator: both see the same URBs in the same order, so a URB's entry in the ring
  // is exactly what its completion adds to the position.
  LONGLONG m_llClientBytesPerMs;
  LONGLONG m_llClientPerMilleRest;
  LONGLONG m_llDeviceBytesPerMs;
  LONGLONG m_llDevicePerMilleRest;
  RateAccumulator m_DoneRate;
  RateAccumulator m_FillRate;
  CDspInterleaveSrc* m_pConverter;
  bool m_bConverterReady;  // the converter took the device and client formats
  // Render: fills still to play silence after a format change (all but the last of the
  // URBs the engine queues before the position first moves).
  ULONG m_nSilentFills;
  // Render: the last fill copied this stream's own data. The position then never passes
  // the copy offset.
  bool m_bOwnCopy;
  // Render: the position moved on by another client's transfers while the copy stood.
  bool m_bCopyPassed;
  // Set while the stream leaves RUN: the position stands where the client last saw it
  // while the queued URBs drain.
  bool m_bLeavingRun;
  WAVEFORMATEXTENSIBLE m_DeviceFormat;
};

}  // namespace filters
