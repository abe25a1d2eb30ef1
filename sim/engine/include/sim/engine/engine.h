// The simulated audio-engine client. It plays the operating system's audio engine
// through the KS filters that PortCls exposes: it enumerates the registered filters,
// reads their descriptors, intersects data ranges, opens a pin with a format, steps it
// through STOP, ACQUIRE, PAUSE and RUN, writes render data ahead of the reported
// position and reads capture data behind it, gets and sets node properties and listens
// for control-change events. While it streams it wakes on its own period, as the real
// engine does, and checks what a real engine relies on: positions that never go back and
// move no faster than time allows, frozen outside RUN and reset by STOP, a notification
// at least once per period, the render buffer kept nearly full (silence when the client
// starves), and no gap or repeat in the data.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel/clock.h"
#include "kernel/ke.h"
#include "portcls/ksclient.h"

namespace sim::engine {

// ---------------------------------------------------------------------------------------
// Findings of the invariant checks

enum class Issue {
  PositionBackwards,    // the position (a byte count from the start of the stream) went down
  PositionJump,         // the position moved further than the time since RUN allows
  PositionStalled,      // in RUN the position stood still for longer than a period (stallPeriods) plus a packet
  MissedNotification,   // in RUN, no notification for longer than the period plus one packet
  MovedWhilePaused,     // the position moved while the stream was not running
  NotifiedWhilePaused,  // a notification came while the stream was not running
  NotResetByStop,       // after STOP the position did not read 0
  Underrun,             // a render position passed the data written
  Overrun,              // capture data was overwritten before it was read
  Starved,              // the client had no data: silence was written in its place
  DataGap,              // the data skipped ahead
  DataRepeat,           // the data went back to something already seen
  RequestFailed,        // a KS request the stream depends on failed
  PositionOffDevice,    // in RUN the position's advance left what the device consumed or produced by more than
                        // one packet plus the device's FIFO depth (StreamOptions::deviceFrames)
};
const char* IssueName(Issue issue);

struct Finding {
  Issue issue;
  std::string detail;
};

// ---------------------------------------------------------------------------------------
// The test signal: a sample counter. Sample s of the stream (counting every channel)
// holds s modulo 2^(8 x sample bytes), little-endian.

void FillCounterPattern(ULONG64 firstByte, BYTE* out, ULONG bytes, ULONG sampleBytes);

// Checks that a byte stream continues the counter: each discontinuity is one finding.
// A discontinuity after at least kLockSamples continuing samples (the stream carried the
// counter) also goes to `afterLock`: a stream of another signal breaks on every sample,
// and only breaks in a counter are glitches.
class PatternChecker {
 public:
  static constexpr ULONG64 kLockSamples = 64;
  explicit PatternChecker(ULONG sampleBytes);
  void Feed(const BYTE* data, ULONG bytes, std::vector<Finding>* findings, std::vector<Finding>* afterLock = nullptr);
  ULONG64 SamplesChecked() const { return m_Samples; }

 private:
  ULONG m_SampleBytes;
  ULONG64 m_Modulus;  // 2^(8 x sample bytes)
  BYTE m_Partial[4] = {};
  ULONG m_PartialBytes = 0;
  bool m_Started = false;
  ULONG64 m_Expected = 0;
  ULONG64 m_Samples = 0;
  ULONG64 m_Run = 0;  // samples in a row that continued the counter
};

// ---------------------------------------------------------------------------------------
// Streams
//
// A stream runs as the real engine's processing pass does: a thread of its own wakes on
// the platform clock every wakeMs and on every notification of the pin; each pass polls
// KSPROPERTY_AUDIO_POSITION, keeps the render buffer filled up to writeAheadBytes ahead of
// the position (silence when the client has no data) or reads capture data up to it, and
// checks the stream against the clock:
// - the position is the pin's byte count from the start of the stream (the standard
//   streaming interface), so it never goes down and, since RUN, moves no further than the
//   elapsed time at the format's byte rate allows (plus 0.5% of clock offset, one period
//   and one packet, the granularity a stream may report in);
// - in RUN it moves at least once a period plus one packet (StreamOptions::stallPeriods);
// - in RUN no notification gap is longer than the period plus one packet; more frequent
//   notifications are fine (a USB stream notifies once per URB, whatever the interval);
// - outside RUN the position stays frozen and notifications stop; after STOP it reads 0.

struct StreamOptions {
  ULONG periodBytes = 0;      // the notification period; 0: the pin's framing size
  ULONG writeAheadBytes = 0;  // render: data kept written ahead of the position; 0: the buffer less one period
  ULONG packetBytes = 0;      // the jitter allowed: one packet; 0: 1 ms of audio, rounded up to whole frames
  ULONG wakeMs = 10;          // the processing pass; 0: none (only notifications and Pump move data)
  ULONG stallPeriods = 1;     // in RUN, a position standing still longer than this many periods plus one
                              // packet is a stall
  bool moveDataOnNotification = true;  // a notification runs a pass too
  // Render: the client's signal, bytes [firstByte, firstByte + bytes) of its stream since
  // the last STOP; unset: the counter pattern.
  std::function<void(ULONG64 firstByte, BYTE* out, ULONG bytes)> clientSignal;
  // Capture: every byte read, in order; and whether the data must continue the counter
  // pattern (off for a device signal that is not one).
  std::function<void(const BYTE* data, ULONG bytes)> captureSink;
  bool checkCapturePattern = true;
  // The device end of the stream, where the test has one (the simulated device): the
  // frames it has consumed (render) or produced (capture) so far, and its FIFO depth in
  // frames. From the first reading in RUN at which both the position and the device have
  // moved, the position's advance in frames must stay within one packet plus that depth
  // of the device's: a position that runs on while the device starves, or lags what it
  // plays, is a finding (then judged again from there).
  std::function<ULONG64()> deviceFrames;
  ULONG deviceFifoFrames = 0;
};

class Stream {
 public:
  Stream(std::unique_ptr<platform::ks::Pin> pin, bool capture, const WAVEFORMATEX& format, StreamOptions options);
  ~Stream();  // stops the engine's thread, then closes the pin (which walks it down to STOP)
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Sets the state and checks what the state promises (see above).
  NTSTATUS SetState(KSSTATE state);
  NTSTATUS GetState(KSSTATE* state);
  // STOP, ACQUIRE, PAUSE, RUN, checking after each step that the pin reports it.
  NTSTATUS Start();
  // RUN, PAUSE, ACQUIRE, STOP, checked the same way.
  NTSTATUS Stop();

  // Reads the position (KSPROPERTY_AUDIO_POSITION) and checks it.
  NTSTATUS ReadPosition(ULONG64* position);
  // One processing pass now: the position, its checks, and the data moved.
  NTSTATUS Pump();
  // While starving, the client gives no data: the engine writes silence instead.
  void SetClientStarving(bool starving);

  std::vector<Finding> Findings() const;
  bool Has(Issue issue) const;
  ULONG BufferSize() const { return m_BufferSize; }
  ULONG PeriodBytes() const { return m_Period; }
  ULONG64 BytesPlayed() const;  // the position
  ULONG64 BytesWritten() const;
  ULONG64 BytesRead() const;
  ULONG64 SilenceWritten() const;
  ULONG64 LastWriteOffset() const;  // KSAUDIO_POSITION.WriteOffset at the last reading
  ULONG Notifications() const;
  ULONG SampleBytes() const { return m_SampleBytes; }
  platform::ks::Pin& Pin() { return *m_Pin; }

 private:
  class Locked;
  void OnNotification();  // the pin's service callback, at DISPATCH_LEVEL
  void RunThread();
  void NotificationPassLocked();
  void TimerPassLocked();
  NTSTATUS SetStateChecked(KSSTATE next);
  NTSTATUS ReadPositionLocked(ULONG64* position);
  NTSTATUS MoveDataLocked();
  void CheckDeviceLocked(ULONG64 play);
  ULONG64 BytesIn(LONGLONG ticks) const;
  void Report(Issue issue, std::string detail);

  std::unique_ptr<platform::ks::Pin> m_Pin;
  bool m_Capture;
  WAVEFORMATEX m_Format;
  ULONG m_SampleBytes;
  ULONG m_BufferSize;
  ULONG m_Period;
  ULONG m_WriteAhead;
  ULONG m_Packet;
  ULONG m_WakeMs;
  bool m_MoveOnNotification;
  std::function<void(ULONG64, BYTE*, ULONG)> m_ClientSignal;
  std::function<void(const BYTE*, ULONG)> m_CaptureSink;
  bool m_CheckCapturePattern;
  LONGLONG m_PeriodTicks;
  LONGLONG m_PacketTicks;
  ULONG m_StallPeriods;
  std::function<ULONG64()> m_DeviceFrames;
  ULONG m_DeviceFifoFrames;

  mutable KMUTEX m_Mutex;  // guards everything below but the notification record
  std::vector<Finding> m_Findings;
  KSSTATE m_State = KSSTATE_STOP;
  LONGLONG m_StateTime = 0;   // when the state last changed
  ULONG64 m_Played = 0;       // the position at the last reading
  ULONG64 m_WriteOffset = 0;  // KSAUDIO_POSITION.WriteOffset at the last reading
  LONGLONG m_AnchorTime = 0;  // RUN began at this time and position
  ULONG64 m_AnchorPosition = 0;
  LONGLONG m_LastMove = 0;    // when the position last moved
  bool m_StallReported = false;
  ULONG64 m_DeviceAtRun = 0;        // the device's count as RUN began
  bool m_DeviceAnchored = false;    // both ends have moved since RUN: anchors below set
  ULONG64 m_DeviceAnchor = 0;
  ULONG64 m_DevicePositionAnchor = 0;
  bool m_GapReported = false;
  bool m_PausedMoveReported = false;
  ULONG64 m_Written = 0;
  ULONG64 m_Read = 0;
  ULONG64 m_ClientBytes = 0;  // bytes of the client's signal written so far
  ULONG64 m_Silence = 0;
  bool m_Starving = false;
  bool m_StarvationReported = false;
  PatternChecker m_Checker;

  // The notification record, kept by the service callback at DISPATCH_LEVEL.
  std::atomic<ULONG> m_Notifications{0};
  std::atomic<LONGLONG> m_LastNotification{0};
  std::atomic<LONGLONG> m_WorstGap{0};        // longest gap while running, since the last pass
  std::atomic<ULONG> m_PausedNotifications{0};
  std::atomic<bool> m_Running{false};
  std::atomic<LONGLONG> m_RunningSince{0};    // state change time the callback sees

  KEVENT m_Wake;  // a notification came
  KEVENT m_Quit;
  std::unique_ptr<platform::clock::Thread> m_Thread;
};

// ---------------------------------------------------------------------------------------
// Filters

struct PinDescription {
  ULONG id = 0;
  KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_IN;
  KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_NONE;
  GUID category = GUID_NULL;  // GUID_NULL when the pin has none
  KSPIN_CINSTANCES instances = {};
  std::vector<std::vector<BYTE>> dataRanges;  // each range's bytes (attribute lists left out)
  std::vector<bool> rangeHasAttributes;
};

struct FilterDescription {
  std::vector<GUID> categories;
  std::vector<PinDescription> pins;
  std::vector<GUID> nodeTypes;
  std::vector<KSTOPOLOGY_CONNECTION> connections;
};

class FilterClient {
 public:
  static NTSTATUS Open(const platform::ks::SubdeviceInfo& subdevice, std::unique_ptr<FilterClient>* client);

  const platform::ks::SubdeviceInfo& Info() const { return m_Info; }
  platform::ks::Filter& Raw() { return *m_Filter; }

  // Reads pins, data ranges, nodes and connections through the Pin and Topology sets,
  // every variable-size answer with a size query first.
  NTSTATUS ReadDescription(FilterDescription* description);
  // KSPROPERTY_PIN_DATAINTERSECTION with one range; the format the filter chose.
  NTSTATUS Intersect(ULONG pinId, const KSDATARANGE_AUDIO& wanted, std::vector<BYTE>* format);
  // Creates the pin with a data format and wraps it in a checked stream.
  NTSTATUS OpenStream(ULONG pinId, const std::vector<BYTE>& format, const StreamOptions& options,
                      std::unique_ptr<Stream>* stream);

  // Node properties; a negative channel sends no channel instance.
  NTSTATUS GetNodeValue(ULONG node, const GUID& set, ULONG id, LONG channel, LONG* value);
  NTSTATUS SetNodeValue(ULONG node, const GUID& set, ULONG id, LONG channel, LONG value);
  // BASICSUPPORT of a node property: the description, then the full answer it announces
  // (or the access flags alone when that is all the filter gives).
  NTSTATUS NodeBasicSupport(ULONG node, const GUID& set, ULONG id, std::vector<BYTE>* answer);

  // KSEVENT_CONTROL_CHANGE on a node.
  NTSTATUS ListenControlChange(ULONG node, std::function<void()> callback, platform::ks::EventHandle* handle);
  NTSTATUS StopListening(platform::ks::EventHandle handle);

  // A variable-size GET: a zero-size query for the size, then the read.
  NTSTATUS QueryVariable(const void* property, ULONG propertySize, std::vector<BYTE>* value);

 private:
  FilterClient(platform::ks::SubdeviceInfo info, std::unique_ptr<platform::ks::Filter> filter);

  platform::ks::SubdeviceInfo m_Info;
  std::unique_ptr<platform::ks::Filter> m_Filter;
};

// The registered filters, optionally of one category.
std::vector<platform::ks::SubdeviceInfo> EnumerateFilters(const GUID* category = nullptr);

}  // namespace sim::engine
