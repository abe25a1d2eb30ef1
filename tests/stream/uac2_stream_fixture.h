// The UAC 2.0 engines on real device descriptors: a simulated UAC 2.0 device on the bus,
// the driver's UAC 2.0 function and engine factories started on it, and a test client that
// attaches to an engine as the WaveCyclic stream does. The client writes a running
// sample count into every render buffer (in the format's container and resolution) and
// keeps every capture sample, so a test can check that the device received each sample
// exactly once and that capture arrived without a gap, against exact oracles.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "kernel/ke.h"
#include "stream/uac2_stream_engines.h"
#include "uac/stream_engine_factory.h"
#include "usb_device_fixture.h"

namespace uac2_test {

// Everything a test client saw on the engine's callback object.
struct Record {
  ULONG code;
  ULONG value;  // URB done: bytes; format: ms per URB with its flag; data: length
};

struct TestClient {
  KSPIN_LOCK lock;
  std::vector<Record> records;
  std::vector<std::int32_t> captured;  // capture samples at the format's resolution
  ULONGLONG renderSamples = 0;         // render: samples written so far
  ULONG subframe = 0, validBits = 0;   // of the client's format
  stream::PSTREAMCLIENTRECORD record = nullptr;
  TestClient() { KeInitializeSpinLock(&lock); }
  ULONGLONG key() const { return record ? record->Key : 0; }
  std::vector<Record> Records();
  ULONG Count(ULONG code, bool formatChanged = false);
  std::vector<std::int32_t> Captured();
};

// The value the client writes into render sample n (and the oracle the device's record
// is checked against): the count itself, wrapped into the sample's resolution.
std::int32_t SampleValue(ULONGLONG n, ULONG validBits);

// A clocked UAC 2.0 headset: clock source 40 (programmable), render interface 1 with an
// asynchronous OUT endpoint 0x01 and its explicit feedback endpoint 0x81 (polled once per
// frame), capture interface 2 with an asynchronous IN endpoint 0x82. Each interface has
// one streaming setting of the given channel count, subslot and resolution.
struct HeadsetLayout {
  UCHAR renderChannels = 2, renderSubslot = 4, renderBits = 24;
  UCHAR captureChannels = 2, captureSubslot = 2, captureBits = 16;
  bool feedback = true;  // false: the OUT endpoint has no feedback endpoint
  UCHAR renderInterval = 1;    // bInterval of the OUT endpoint
  UCHAR feedbackInterval = 4;  // bInterval of the feedback endpoint
  UCHAR captureAttributes = 0x05;  // isochronous, asynchronous, data (0x25: implicit-feedback data)
};
usb_device_test::Bytes Headset(const HeadsetLayout& layout = {});
// The headset's profile: clocks offering 44.1, 48 and 96 kHz, a ramp on every capture
// endpoint, the given bus speed.
sim::device::DeviceProfile HeadsetProfile(bool highSpeed);

inline constexpr UCHAR kClockId = 40;

// One drift run: a render stream on a device whose clock is `ppm` off, for `seconds` of
// virtual time, the device's feedback sent in `encoding`, its value recomputed every
// 2^refresh frames (full speed) or microframes (high speed) when `refresh` is set, the
// data and feedback endpoints polled at the given bIntervals.
struct DriftCase {
  bool highSpeed;
  ULONG rate;
  double ppm;
  sim::device::FeedbackEncoding encoding = sim::device::FeedbackEncoding::Standard;
  std::optional<std::uint8_t> refresh;
  ULONG seconds = 60;
  UCHAR renderInterval = 1, feedbackInterval = 4;
};
struct DriftResult {
  std::int64_t start = 0, low = 0, high = 0;  // FIFO frames: playback start level, extremes
  std::uint64_t underrun = 0, overflow = 0;   // frames
  std::uint64_t lateUnderrun = 0, lateOverflow = 0;  // frames after the run's first second
  LONG measured = 0;                          // the engine's rate at the end
  ULONGLONG samples = 0;                      // received samples checked against the count
  std::int64_t Excursion() const { return std::max(high - start, start - low); }
};
std::string Describe(const DriftCase& c);
// High speed at every data and feedback bInterval 1-4 and 44.1, 48 and 96 kHz, the device
// 500 ppm fast and slow (both in turn through the grid, or every case at both), `seconds` long.
std::vector<DriftCase> HighSpeedIntervalGrid(ULONG seconds, bool bothOffsets);
// A run that followed the device: after the first second no underrun or overrun, and the
// measured rate within 1 Hz of the device's.
void ExpectFollowed(const DriftCase& c, const DriftResult& r);
inline constexpr UCHAR kRenderEndpoint = 0x01, kFeedbackEndpoint = 0x81, kCaptureEndpoint = 0x82;

class Uac2StreamTest : public usb_device_test::UsbDeviceTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The profile every test starts from: clocks offering 44.1, 48 and 96 kHz, a ramp on
  // every capture endpoint, the given bus speed.
  static sim::device::DeviceProfile Profile(bool highSpeed);
  // Plugs the headset and starts the driver on it.
  NTSTATUS StartHeadset(sim::device::DeviceProfile profile, const HeadsetLayout& layout = {});

  // The engine of the direction (the first one), or null.
  stream::CUsbStreamEngine* Engine(ULONG direction);
  stream::CUac2RenderStream* Render();
  stream::CUac2CaptureStream* Capture();
  // The first format of the engine at the rate; false when it has none.
  static bool FormatAt(stream::CUsbStreamEngine* engine, ULONG rate, WAVEFORMATEXTENSIBLE* format);

  // A client that lives as long as the test (clients left attached are detached at its end).
  TestClient& NewClient() { return clients_.emplace_back(); }
  // Registers the client (its callback keeps the records) without preparing it.
  NTSTATUS Register(stream::CUsbStreamEngine* engine, TestClient& client, const WAVEFORMATEXTENSIBLE& format,
                    ULONG ms = 5, ULONG urbs = 3);
  // Register, prepare, start at the prepared frame + 2, as the WaveCyclic stream does.
  NTSTATUS Attach(stream::CUsbStreamEngine* engine, TestClient& client, const WAVEFORMATEXTENSIBLE& format,
                  ULONG ms = 5, ULONG urbs = 3);
  // Stop, unprepare, unregister (statuses ignored). Clients still attached when a test
  // ends (an assertion left early) are detached before the device goes, since an engine
  // waits for its clients to leave.
  void Detach(stream::CUsbStreamEngine* engine, TestClient& client);

  // Runs the case from plugging to unplugging and checks that the device received every
  // sample once, in order.
  DriftResult RunDrift(const DriftCase& c);

  // Checks the device's render record against the client's count: every sample once, in
  // order. Returns the number of samples checked.
  ULONGLONG ExpectEverySampleOnce(UCHAR endpoint, const TestClient& client);

  std::deque<TestClient> clients_;
  std::vector<std::pair<stream::CUsbStreamEngine*, TestClient*>> attached_;
  adapter::FunctionFactory savedFunction_ = nullptr;
  const uac::StreamEngineFactory* savedEngines_ = nullptr;
};

}  // namespace uac2_test
