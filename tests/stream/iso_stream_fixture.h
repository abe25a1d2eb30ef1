// The UAC 1.0 isochronous engines against the simulated device: a speaker (streaming
// interface 1, OUT endpoint 0x01) and a microphone (interface 2, IN endpoint 0x82) built
// by the real function and streaming builder, with engines that also record what each
// completed URB looked like. A test client registers on an engine as the WaveCyclic
// stream does, fills render buffers with a running sample count and collects capture
// data, so a test can check the stream against an exact oracle.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kernel/ke.h"
#include "stream/chip_d_render_stream.h"
#include "stream/uac1_stream_engines.h"
#include "uac/function_classes.h"
#include "uac/stream_engine_factory.h"
#include "uac/uac1_function.h"
#include "usb_device_fixture.h"

namespace iso_test {

using usb_device_test::Bytes;

inline constexpr UCHAR kRenderEndpoint = 0x01;
inline constexpr UCHAR kCaptureEndpoint = 0x82;
inline constexpr UCHAR kRenderInterface = 1;
inline constexpr UCHAR kCaptureInterface = 2;

// One alternate setting of a streaming interface: its format and its endpoints.
struct Endpoint {
  UCHAR address;
  UCHAR attributes = 0x05;  // isochronous, asynchronous
  USHORT maxPacket = 1023;
  UCHAR interval = 1;
};
struct AltSpec {
  UCHAR channels = 2, subframe = 2, bits = 16;
  std::vector<ULONG> rates = {48000};
  std::vector<Endpoint> endpoints;  // empty: the interface's data endpoint with defaults
};

// Speaker: input terminal 1 (USB streaming) -> feature unit 2 (mute, volume) -> output
// terminal 3; microphone: input terminal 4 -> output terminal 5 (USB streaming).
Bytes SpeakerAndMicrophone(const std::vector<AltSpec>& render, const std::vector<AltSpec>& capture);

// Everything a test client saw on the engine's callback object.
struct Record {
  ULONG code;
  ULONG value;   // URB done: bytes; format: ms per URB with its flag; data: length
  ULONG urbs;    // format: URBs in flight
  bool mine;     // the record named this client
};

struct TestClient {
  KSPIN_LOCK lock;
  std::vector<Record> records;
  std::vector<ULONG> fills;                // render fill lengths, in order
  std::vector<std::int16_t> captured;      // 16-bit capture data, in order
  std::uint32_t nextSample = 0;            // render: the running count written next
  stream::PSTREAMCLIENTRECORD record = nullptr;
  TestClient() { KeInitializeSpinLock(&lock); }
  ULONGLONG key() const { return record ? record->Key : 0; }
  // Copies of what was seen so far, taken under the lock.
  std::vector<Record> Records();
  ULONG Count(ULONG code, bool formatChanged = false);
};

// Completed URBs as the engines saw them (packet sizes from the offsets, start frame,
// statuses), and the frame read by each restart.
struct UrbSeen {
  ULONG startFrame;
  NTSTATUS status;
  bool failedPacket;           // a packet with a negative status
  std::vector<ULONG> packets;  // bytes (render: offset spans; capture: lengths)
};

class IsoStreamTest : public usb_device_test::UsbDeviceTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs the device (high speed when asked) and starts the driver on it.
  NTSTATUS StartDevice(const std::vector<AltSpec>& render, const std::vector<AltSpec>& capture,
                       bool highSpeed = false, sim::device::DeviceProfile profile = {});
  stream::CUsbStreamEngine* Engine(ULONG index);
  stream::CUsbStreamEngine* Render() { return Engine(0); }
  stream::CUsbStreamEngine* Capture() { return Engine(1); }

  // The client's way in, as the WaveCyclic stream goes: register, prepare, start at the
  // prepared frame + 2. Returns the first failure.
  NTSTATUS Attach(stream::CUsbStreamEngine* engine, TestClient& client, const WAVEFORMATEXTENSIBLE& format,
                  ULONG ms, ULONG urbs, ULONG priority = stream::kWaveCyclicClientPriority);
  // Registers only: the client hears every record without taking part.
  NTSTATUS Register(stream::CUsbStreamEngine* engine, TestClient& client, const WAVEFORMATEXTENSIBLE& format);
  // Stop, unprepare, unregister (statuses ignored: the way out after a failure too).
  void Detach(stream::CUsbStreamEngine* engine, TestClient& client);

  std::vector<UrbSeen> Urbs(stream::CUsbStreamEngine* engine);
  std::vector<ULONG> RestartFrames(stream::CUsbStreamEngine* engine);

  adapter::FunctionFactory savedFunction_ = nullptr;
  const uac::StreamEngineFactory* savedEngines_ = nullptr;
  // StartDevice enables selective suspend ("SelectiveSuspendEnabled" 1) when set.
  bool selectiveSuspend_ = false;
};

WAVEFORMATEXTENSIBLE Pcm(WORD channels, ULONG rate, WORD bits);

// The frames packet k (1-based) of a stream at `rate` with `perSecond` packets per
// second carries: the exact share floor(k r / P) - floor((k-1) r / P).
inline ULONG ExpectedFrames(ULONGLONG k, ULONG rate, ULONG perSecond) {
  return static_cast<ULONG>(k * rate / perSecond - (k - 1) * rate / perSecond);
}

}  // namespace iso_test
