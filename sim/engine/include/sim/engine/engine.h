// The simulated audio-engine client. It plays the operating system's audio engine
// through the KS filters that PortCls exposes: it enumerates the registered filters,
// reads their descriptors, intersects data ranges, opens a pin with a format, steps it
// through STOP, ACQUIRE, PAUSE and RUN, writes render data ahead of the reported
// position and reads capture data behind it, gets and sets node properties and listens
// for control-change events. While it streams it checks what a real engine relies on:
// positions inside the buffer and never going back, one notification per period, and
// no gap or repeat in the data.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "portcls/ksclient.h"

namespace sim::engine {

// ---------------------------------------------------------------------------------------
// Findings of the invariant checks

enum class Issue {
  PositionOutsideBuffer,  // a position at or beyond the buffer size
  PositionBackwards,      // the position moved back
  MissedNotification,     // more than one period passed between two notifications
  ExtraNotification,      // a notification came before a period had passed
  Underrun,               // a render position passed the data written
  Overrun,                // capture data was overwritten before it was read
  DataGap,                // the data skipped ahead
  DataRepeat,             // the data went back to something already seen
  RequestFailed,          // a KS request the stream depends on failed
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
class PatternChecker {
 public:
  explicit PatternChecker(ULONG sampleBytes);
  void Feed(const BYTE* data, ULONG bytes, std::vector<Finding>* findings);
  ULONG64 SamplesChecked() const { return m_Samples; }

 private:
  ULONG m_SampleBytes;
  ULONG64 m_Modulus;  // 2^(8 x sample bytes)
  BYTE m_Partial[4] = {};
  ULONG m_PartialBytes = 0;
  bool m_Started = false;
  ULONG64 m_Expected = 0;
  ULONG64 m_Samples = 0;
};

// ---------------------------------------------------------------------------------------
// Streams

struct StreamOptions {
  ULONG periodBytes = 0;  // bytes between two notifications; 0: the pin's framing size
  ULONG leadBytes = 0;    // render: data kept written ahead of the position; 0: half the buffer
  ULONG tolerance = 0;    // slack of the notification check, bytes; 0: one frame
  bool moveDataOnNotification = true;  // write or read data at every notification
};

class Stream {
 public:
  Stream(std::unique_ptr<platform::ks::Pin> pin, bool capture, const WAVEFORMATEX& format, StreamOptions options);
  ~Stream();  // closes the pin (which walks it down to STOP)
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  NTSTATUS SetState(KSSTATE state);
  NTSTATUS GetState(KSSTATE* state);
  // STOP, ACQUIRE, PAUSE, RUN, checking after each step that the pin reports it.
  NTSTATUS Start();
  // RUN, PAUSE, ACQUIRE, STOP, checked the same way.
  NTSTATUS Stop();

  // Reads the position (KSPROPERTY_AUDIO_POSITION) and checks it.
  NTSTATUS ReadPosition(ULONG* position);
  // Reads the position and moves data: render data up to the lead ahead, capture data
  // up to the position.
  NTSTATUS Pump();

  std::vector<Finding> Findings() const;
  bool Has(Issue issue) const;
  ULONG BufferSize() const { return m_BufferSize; }
  ULONG PeriodBytes() const { return m_Period; }
  ULONG64 BytesPlayed() const;  // how far the position has moved, over every wrap
  ULONG64 BytesWritten() const;
  ULONG64 BytesRead() const;
  ULONG Notifications() const;
  ULONG SampleBytes() const { return m_SampleBytes; }
  platform::ks::Pin& Pin() { return *m_Pin; }

 private:
  void OnNotification();
  // Sets the state and checks that the pin then reports it (a mismatch is a finding).
  NTSTATUS SetStateChecked(KSSTATE next);
  NTSTATUS ReadPositionLocked(ULONG* position);
  NTSTATUS MoveDataLocked();
  void Report(Issue issue, std::string detail);

  std::unique_ptr<platform::ks::Pin> m_Pin;
  bool m_Capture;
  WAVEFORMATEX m_Format;
  ULONG m_SampleBytes;
  ULONG m_BufferSize;
  ULONG m_Period;
  ULONG m_Lead;
  ULONG m_Tolerance;
  bool m_MoveOnNotification;

  mutable std::mutex m_Lock;
  std::vector<Finding> m_Findings;
  KSSTATE m_State = KSSTATE_STOP;
  ULONG m_LastPosition = 0;
  ULONG64 m_Played = 0;
  ULONG64 m_PlayedAtNotification = 0;
  ULONG64 m_Written = 0;
  ULONG64 m_Read = 0;
  ULONG m_Notifications = 0;
  PatternChecker m_Checker;
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
