// Small fake miniports for exercising the PortCls layer and the engine client: a
// topology miniport with a volume and a mute node and a jack property, and a WaveCyclic
// miniport whose stream a test moves by hand, with faults to inject.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "kernel/ke.h"
#include "portcls/portcls.h"

namespace fakes {

// A property set of the fake topology filter whose handlers use the request's IRP or
// answer unusually: kDiagnosticIrp reads the requestor mode and stack location,
// kDiagnosticPartial answers 16 bytes (what fits, with STATUS_BUFFER_OVERFLOW, in a
// smaller buffer), kDiagnosticOverReport claims 64 bytes more than the buffer holds and
// kDiagnosticPending completes its IRP later from a DPC (value 0x600D); kDiagnosticOverrun
// writes 16 bytes whatever the value's size (a handler that trusts its own struct size)
// and kDiagnosticChecked the same only when the value holds them.
KS_DEFINE_GUID(KSPROPSETID_FakeDiagnostics, 0x2B0C9E61, 0x7D14, 0x4A3F, 0x8E, 0x52, 0x11, 0x9A, 0xC4, 0x70, 0x3D, 0x6B);
constexpr ULONG kDiagnosticIrp = 0;
constexpr ULONG kDiagnosticPartial = 1;
constexpr ULONG kDiagnosticOverReport = 2;
constexpr ULONG kDiagnosticPending = 3;
constexpr ULONG kDiagnosticOverrun = 4;
constexpr ULONG kDiagnosticChecked = 5;

// A distinct dummy device object per index (the layer only compares the pointers).
PDEVICE_OBJECT FakeDevice(int index);

class FakeTopologyMiniport final : public CUnknown, public IMiniportTopology, public IPowerNotify {
 public:
  static constexpr ULONG kVolumeNode = 0;
  static constexpr ULONG kMuteNode = 1;
  static constexpr ULONG kChannels = 2;
  static constexpr LONG kMinLevel = -96 * 65536;
  static constexpr LONG kMaxLevel = 0;
  static constexpr ULONG kStep = 32768;

  static FakeTopologyMiniport* Create();  // one reference
  explicit FakeTopologyMiniport(PUNKNOWN outer);
  ~FakeTopologyMiniport() override;
  DECLARE_STD_UNKNOWN();

  STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* Description) override;
  STDMETHODIMP DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTTOPOLOGY Port) override;
  STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE PowerState) override { lastPower = PowerState.DeviceState; }

  // Raises the control-change event of a node, as a device-side change would: from the
  // caller's context, or at DISPATCH_LEVEL under a spin lock as an interrupt-endpoint
  // completion would; anyNode raises it without naming the node.
  void RaiseControlChange(ULONG node, bool underSpinLock = false, bool anyNode = false);

  LONG level[kChannels] = {0, 0};
  ULONG mute = 0;
  ULONG eventsAdded = 0;
  ULONG eventsRemoved = 0;
  DEVICE_POWER_STATE lastPower = PowerDeviceUnspecified;
  bool keepPortReference = true;  // a real miniport holds its port (and its port events)

  static FakeTopologyMiniport* From(PUNKNOWN majorTarget);
  PPORTEVENTS PortEvents() const { return m_PortEvents; }

 private:
  PPORTTOPOLOGY m_Port = nullptr;
  PPORTEVENTS m_PortEvents = nullptr;
};

class FakeWaveMiniport;

// Fault modes of the fake stream.
struct StreamFaults {
  bool positionBackwards = false;  // the next Advance moves the position back instead
  bool skipNotification = false;   // the next Advance does not notify
  bool repeatCapture = false;      // the next Advance writes the previous chunk again
  bool positionOutside = false;    // GetPosition reports the buffer size
  ULONG jumpBytes = 0;             // the next Advance moves this much further, in no time
  bool stopNotifying = false;      // no notifications at all (the position still moves)
  bool stall = false;              // the position stops and nothing is notified
  bool moveInPause = false;        // Advance moves the position in PAUSE too
  bool keepPositionOnStop = false; // STOP leaves the position where it was
};

class FakeStream final : public CUnknown, public IMiniportWaveCyclicStream, public IDmaChannel {
 public:
  FakeStream(PUNKNOWN outer, FakeWaveMiniport* miniport, bool capture, ULONG bufferSize, ULONG blockAlign,
             ULONG sampleRate);
  ~FakeStream() override;
  DECLARE_STD_UNKNOWN();

  // IMiniportWaveCyclicStream
  STDMETHODIMP SetFormat(PKSDATAFORMAT DataFormat) override;
  STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG Interval, PULONG FramingSize) override;
  STDMETHODIMP SetState(KSSTATE State) override;
  STDMETHODIMP GetPosition(PULONG Position) override;
  STDMETHODIMP NormalizePhysicalPosition(PLONGLONG PhysicalPosition) override;
  STDMETHODIMP_(void) Silence(PVOID Buffer, ULONG ByteCount) override;
  // IDmaChannel
  STDMETHODIMP AllocateBuffer(ULONG BufferSize, PPHYSICAL_ADDRESS) override;
  STDMETHODIMP_(void) FreeBuffer() override;
  STDMETHODIMP_(ULONG) TransferCount() override { return m_Size; }
  STDMETHODIMP_(ULONG) MaximumBufferSize() override { return 1u << 20; }
  STDMETHODIMP_(ULONG) AllocatedBufferSize() override { return m_Size; }
  STDMETHODIMP_(ULONG) BufferSize() override { return m_Size; }
  STDMETHODIMP_(void) SetBufferSize(ULONG) override {}
  STDMETHODIMP_(PVOID) SystemAddress() override { return m_Buffer; }
  STDMETHODIMP_(PPHYSICAL_ADDRESS) PhysicalAddress(PPHYSICAL_ADDRESS address) override {
    address->QuadPart = 0;
    return address;
  }
  STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override { return nullptr; }
  STDMETHODIMP_(void) CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) override;
  STDMETHODIMP_(void) CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) override;

  // Moves the stream on by bytes (in RUN only), as a device would in the time those bytes
  // take: the clock runs forward by that time, then the position advances, a capture
  // stream writes the device's data behind it and the port is notified; returns once
  // everything that woke (the port's service DPC, the engine's thread) is done. Call at
  // PASSIVE_LEVEL.
  void Advance(ULONG bytes);
  // From the next RUN on, the stream moves by itself as a USB stream does: one packet of
  // 1 ms of audio per bus frame (44 or 45 frames at 44.1 kHz), from a timer DPC, with a
  // notification every notifyEvery packets.
  void RunOnClock(ULONG notifyEvery = 1);
  // A position the test's own transport computes, in bytes since RUN (called at
  // DISPATCH_LEVEL under the stream's lock): GetPosition reports it, in place of the
  // position Advance and the clock move. Notify tells the port, as a packet would.
  std::function<ULONG64()> positionSource;
  void Notify() { NotifyPort(); }
  // IRQL of the last GetPosition call.
  KIRQL positionIrql = HIGH_LEVEL;
  ULONG64 packets = 0;  // packets moved on the clock

  PSERVICEGROUP serviceGroup = nullptr;
  StreamFaults faults;
  std::vector<KSSTATE> transitions;
  // Capture data source: fills bytes of the stream from the absolute byte index.
  std::function<void(ULONG64 first, BYTE* out, ULONG bytes)> captureSource;
  // Render sink: receives the bytes the device consumed, in order.
  std::vector<BYTE> consumed;
  ULONG silenced = 0;

 private:
  FakeWaveMiniport* m_Miniport;
  bool m_Capture;
  BYTE* m_Buffer = nullptr;
  ULONG m_Size = 0;
  ULONG m_BlockAlign;
  // Moves the position (under the lock); false when nothing is to be notified.
  bool MoveLocked(ULONG bytes);
  void NotifyPort();
  static VOID PacketDpc(KDPC*, PVOID context, PVOID, PVOID);

  ULONG m_SampleRate;
  KSSTATE m_State = KSSTATE_STOP;
  ULONG m_Position = 0;
  ULONG64 m_Produced = 0;  // capture bytes written since RUN
  KSPIN_LOCK m_Lock;
  bool m_Clocked = false;
  bool m_Ticking = false;  // the packet timer is armed (the stream is in RUN)
  ULONG m_NotifyEvery = 1;
  KTIMER m_Timer;
  KDPC m_Dpc;
};

class FakeWaveMiniport final : public CUnknown,
                               public IMiniportWaveCyclic,
                               public IMiniportAudioSignalProcessing,
                               public IPowerNotify {
 public:
  static constexpr ULONG kStreamingPin = 0;
  static constexpr ULONG kBridgePin = 1;

  static FakeWaveMiniport* Create(bool capture);  // one reference
  FakeWaveMiniport(PUNKNOWN outer, bool capture);
  ~FakeWaveMiniport() override;
  DECLARE_STD_UNKNOWN();

  STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* Description) override;
  STDMETHODIMP DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                     ULONG OutputBufferLength, PVOID ResultantFormat,
                                     PULONG ResultantFormatLength) override;
  STDMETHODIMP Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port) override;
  STDMETHODIMP NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG Pin,
                         BOOLEAN Capture, PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,
                         PSERVICEGROUP* ServiceGroup) override;
  STDMETHODIMP GetModes(ULONG Pin, GUID* SignalProcessingMode, ULONG* NumSignalProcessingModes) override;
  STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE PowerState) override { lastPower = PowerState.DeviceState; }

  PPORTWAVECYCLIC Port() const { return m_Port; }
  FakeStream* stream = nullptr;  // the open stream, no reference
  ULONG bufferMilliseconds = 50;
  DEVICE_POWER_STATE lastPower = PowerDeviceUnspecified;
  bool capture;

 private:
  PPORTWAVECYCLIC m_Port = nullptr;
};

// The fixed format the fake wave filter streams: 48 kHz, 16-bit, stereo PCM.
KSDATAFORMAT_WAVEFORMATEXTENSIBLE FakeFormat();

}  // namespace fakes
