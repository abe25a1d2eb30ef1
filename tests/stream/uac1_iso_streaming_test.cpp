// UAC 1.0 isochronous render and capture against the simulated device on the platform
// clock (default timing, with its jitter): packet layouts against the exact share of
// each packet, buffer sizes, the data the device received and the clients got against a
// running count, the capture ring and its records, silence for empty packets, the
// endpoint and alternate-setting rules that make a setting unusable, cancelled transfers,
// no pool allocation while streaming, and the content forwarding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "iso_stream_fixture.h"
#include "kernel/pool.h"
#include "portcls/pcplatform.h"
#include "support/fault_sweep.h"

namespace iso_test {
namespace {

using platform::testing::DelayMs;
using stream::STREAM_NOTIFY_CAPTURE_DATA;
using stream::STREAM_NOTIFY_FORMAT;
using stream::STREAM_NOTIFY_URB_DONE;
using usb_device_test::SubmittedUrb;

const AltSpec kStereo48{2, 2, 16, {48000}, {{kRenderEndpoint, 0x05, 196, 1}}};
const AltSpec kMono48{1, 2, 16, {48000}, {{kCaptureEndpoint, 0x05, 100, 1}}};
const WAVEFORMATEXTENSIBLE kStereo48Format = Pcm(2, 48000, 16);
const WAVEFORMATEXTENSIBLE kMono48Format = Pcm(1, 48000, 16);

class Uac1Streaming : public IsoStreamTest {};

// The samples the device received are the clients' running count: nothing lost, nothing
// repeated.
void ExpectRunningCount(const std::vector<std::int32_t>& samples, const char* what) {
  ASSERT_FALSE(samples.empty()) << what;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (samples[i] != static_cast<std::int16_t>(i)) {
      ADD_FAILURE() << what << ": sample " << i << " is " << samples[i];
      return;
    }
  }
}

TEST_F(Uac1Streaming, Render48kHzStereoSendsFivePacketsOf192BytesPerUrb) {
  ASSERT_EQ(StartDevice({kStereo48}, {kMono48}), STATUS_SUCCESS);
  stream::CUsbStreamEngine* engine = Render();
  TestClient client;
  ASSERT_EQ(Attach(engine, client, kStereo48Format, 5, 3), STATUS_SUCCESS);
  EXPECT_EQ(engine->GetPacketsPerMsAllocated(), 1u);
  EXPECT_EQ(engine->GetSamplesPerPacket(), 48u);
  EXPECT_EQ(engine->GetTransferBufferBytes(), 980u);  // (48 + 1) x 4 x 5
  EXPECT_EQ(engine->GetRingSize(), 7680u);            // 40 ms
  EXPECT_EQ(sim_->CurrentAlternate(kRenderInterface), 1);
  EXPECT_EQ(sim_->SamplingRate(kRenderEndpoint), 48000u);
  DelayMs(200);
  // Stopped, every URB is back and the device still holds what it received.
  ASSERT_EQ(engine->StopClient(client.key(), nullptr), STATUS_SUCCESS);
  const std::vector<std::int32_t> received = sim_->received_samples(kRenderEndpoint);
  EXPECT_EQ(sim_->render_stats(kRenderEndpoint).misaligned_packets, 0u);
  Detach(engine, client);
  EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
  EXPECT_EQ(sim_->CurrentAlternate(kRenderInterface), 0);

  const std::vector<UrbSeen> urbs = Urbs(engine);
  ASSERT_GE(urbs.size(), 35u);
  for (size_t i = 0; i < urbs.size(); ++i) {
    EXPECT_EQ(urbs[i].status, STATUS_SUCCESS) << "URB " << i;
    EXPECT_EQ(urbs[i].packets, std::vector<ULONG>(5, 192)) << "URB " << i;
    if (i) {
      EXPECT_EQ(urbs[i].startFrame, urbs[i - 1].startFrame + 5) << "URB " << i;
    }
  }
  // Every URB sent was filled once and came back once.
  EXPECT_EQ(client.fills, std::vector<ULONG>(urbs.size(), 960));
  EXPECT_EQ(client.Count(STREAM_NOTIFY_URB_DONE), urbs.size());
  ExpectRunningCount(received, "render");
  EXPECT_EQ(received.size(), urbs.size() * 5 * 48 * 2);
}

struct PatternCase {
  const char* name;
  bool highSpeed;
  UCHAR interval;
  ULONG rate;
  ULONG ms;
  ULONG packetsPerMs;
};

// Every packet carries its exact share of the rate, and the fraction carries across URBs.
TEST_F(Uac1Streaming, RenderPacketsCarryTheirExactShareAcrossUrbs) {
  const PatternCase cases[] = {
      {"44.1 kHz full speed", false, 1, 44100, 5, 1},   {"44.1 kHz full speed, 3 ms", false, 1, 44100, 3, 1},
      {"22.05 kHz full speed", false, 1, 22050, 10, 1}, {"96 kHz full speed", false, 1, 96000, 2, 1},
      {"11.025 kHz full speed", false, 4, 11025, 7, 1}, {"44.1 kHz high speed", true, 1, 44100, 5, 8},
      {"44.1 kHz high speed, 4/ms", true, 2, 44100, 3, 4}, {"48 kHz high speed, 2/ms", true, 3, 48000, 5, 2},
      {"88.2 kHz high speed, 1/ms", true, 4, 88200, 4, 1},
  };
  for (const PatternCase& c : cases) {
    SCOPED_TRACE(c.name);
    AltSpec render{2, 2, 16, {c.rate}, {{kRenderEndpoint, 0x05, 1023, c.interval}}};
    ASSERT_EQ(StartDevice({render}, {kMono48}, c.highSpeed), STATUS_SUCCESS);
    stream::CUsbStreamEngine* engine = Render();
    TestClient client;
    ASSERT_EQ(Attach(engine, client, Pcm(2, c.rate, 16), c.ms, 3), STATUS_SUCCESS);
    EXPECT_EQ(engine->GetPacketsPerMsAllocated(), c.packetsPerMs);
    EXPECT_EQ(engine->GetTransferBufferBytes(), (c.rate / 1000 / c.packetsPerMs + 1) * 4 * c.ms * c.packetsPerMs);
    DelayMs(120);
    ASSERT_EQ(engine->StopClient(client.key(), nullptr), STATUS_SUCCESS);
    const std::vector<std::int32_t> received = sim_->received_samples(kRenderEndpoint);
    Detach(engine, client);

    const std::vector<UrbSeen> urbs = Urbs(engine);
    ASSERT_GE(urbs.size(), 100 / c.ms);
    ULONGLONG k = 0, frames = 0;
    for (const UrbSeen& u : urbs) {
      ASSERT_EQ(u.packets.size(), c.ms * c.packetsPerMs);
      for (ULONG bytes : u.packets) {
        ++k;
        ASSERT_EQ(bytes, 4 * ExpectedFrames(k, c.rate, c.packetsPerMs * 1000)) << "packet " << k;
        frames += bytes / 4;
      }
    }
    ExpectRunningCount(received, c.name);
    EXPECT_EQ(frames * 2, received.size());
    TearDownDevice();
  }
}

// A high-speed interval without a whole number of packets per frame cannot be streamed:
// the prepare fails and nothing is selected.
TEST_F(Uac1Streaming, HighSpeedIntervalsOutsideOneToFourAreRefused) {
  const struct {
    bool highSpeed;
    UCHAR interval;
    NTSTATUS status;
  } cases[] = {{true, 0, STATUS_NOT_SUPPORTED}, {true, 5, STATUS_NOT_SUPPORTED}, {true, 16, STATUS_NOT_SUPPORTED},
               {true, 4, STATUS_SUCCESS},       {false, 0, STATUS_SUCCESS},      {false, 10, STATUS_SUCCESS}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.highSpeed ? "high" : "full") << " speed, bInterval " << int(c.interval));
    ASSERT_EQ(StartDevice({{2, 2, 16, {48000}, {{kRenderEndpoint, 0x05, 1023, c.interval}}}}, {kMono48}, c.highSpeed),
              STATUS_SUCCESS);
    stream::CUsbStreamEngine* engine = Render();
    TestClient client;
    ASSERT_EQ(engine->RegisterClient(3, &kStereo48Format, 5, 3, [](PVOID, PVOID, PVOID) {}, nullptr, &client.record),
              STATUS_SUCCESS);
    ULONG ms = 0, frame = 0;
    EXPECT_EQ(engine->PrepareClient(client.key(), &ms, &frame), c.status);
    EXPECT_EQ(engine->GetStreamState(),
              NT_SUCCESS(c.status) ? stream::STREAM_STATE_ALLOCATED : stream::STREAM_STATE_NO_RESOURCES);
    EXPECT_EQ(sim_->CurrentAlternate(kRenderInterface), NT_SUCCESS(c.status) ? 1 : 0);
    Detach(engine, client);
    TearDownDevice();
  }
}

// A streaming setting whose only endpoint points the other way: the render engine goes
// back to the zero-bandwidth setting and the prepare fails; the capture engine finds no
// packet size for it before it selects anything.
TEST_F(Uac1Streaming, SettingWithoutAPipeOfTheEngineDirectionIsRefused) {
  ASSERT_EQ(StartDevice({{2, 2, 16, {48000}, {{0x81, 0x05, 196, 1}}}}, {{1, 2, 16, {48000}, {{0x02, 0x05, 100, 1}}}}),
            STATUS_SUCCESS);
  for (stream::CUsbStreamEngine* engine : {Render(), Capture()}) {
    TestClient client;
    const WAVEFORMATEXTENSIBLE& format = engine == Render() ? kStereo48Format : kMono48Format;
    EXPECT_EQ(Attach(engine, client, format, 5, 3), engine == Render() ? STATUS_UNSUCCESSFUL : STATUS_NOT_SUPPORTED);
    EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
    EXPECT_EQ(engine->GetDataPipe(), nullptr);
    Detach(engine, client);
  }
  EXPECT_EQ(sim_->CurrentAlternate(kRenderInterface), 0);
  EXPECT_EQ(sim_->CurrentAlternate(kCaptureInterface), 0);
}

// A second allocation while resources exist changes nothing, not even the geometry.
TEST_F(Uac1Streaming, AllocationOverExistingResourcesChangesNothing) {
  ASSERT_EQ(StartDevice({kStereo48}, {kMono48}), STATUS_SUCCESS);
  stream::CUsbStreamEngine* engine = Render();
  TestClient running, other;
  ASSERT_EQ(Attach(engine, running, kStereo48Format, 5, 3), STATUS_SUCCESS);
  ASSERT_EQ(engine->RegisterClient(3, &kStereo48Format, 2, 7, [](PVOID, PVOID, PVOID) {}, nullptr, &other.record),
            STATUS_SUCCESS);
  for (ULONG state : {stream::STREAM_STATE_RUNNING, stream::STREAM_STATE_ALLOCATED}) {
    if (state == stream::STREAM_STATE_ALLOCATED) {
      ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    }
    ULONG frame = 0xEE;
    EXPECT_EQ(engine->AllocateResources(other.record, &frame), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(frame, 0xEEu);
    EXPECT_EQ(engine->GetStreamState(), state);
    EXPECT_EQ(engine->GetMsPerUrb(), 5u);
    EXPECT_EQ(engine->GetUrbsInFlight(), 3u);
    EXPECT_EQ(engine->GetTransferBufferBytes(), 980u);
  }
  EXPECT_EQ(engine->UnregisterClient(other.key()), STATUS_SUCCESS);
  other.record = nullptr;
  Detach(engine, running);
}

TEST_F(Uac1Streaming, CaptureKeepsAtLeastTenMillisecondsQueued) {
  const struct {
    ULONG ms, urbs, expected;
  } cases[] = {{1, 3, 10}, {3, 2, 4}, {4, 3, 3}, {2, 5, 5}, {10, 1, 1}};
  ASSERT_EQ(StartDevice({kStereo48}, {kMono48}), STATUS_SUCCESS);
  stream::CUsbStreamEngine* engine = Capture();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.ms << " ms x " << c.urbs);
    TestClient client;
    ASSERT_EQ(Attach(engine, client, kMono48Format, c.ms, c.urbs), STATUS_SUCCESS);
    EXPECT_EQ(client.record->UrbsInFlight, c.expected);
    EXPECT_EQ(engine->GetUrbsInFlight(), c.expected);
    EXPECT_EQ(engine->GetUrbsOutstanding(), static_cast<LONG>(c.expected));
    EXPECT_EQ(engine->GetSamplesPerPacket(), 50u);  // 100-byte packets of 2-byte frames
    EXPECT_EQ(engine->GetTransferBufferBytes(), 100 * c.ms);
    DelayMs(30);
    Detach(engine, client);
  }
}

// The capture data the clients get is the device's signal without a gap or a repeat; a
// span that passes the ring's end comes as two data records, and every URB-done record
// carries the sum of the data records before it.
TEST_F(Uac1Streaming, CaptureDataReachesClientsWholeAndInOrderAcrossTheRingWrap) {
  ASSERT_EQ(StartDevice({kStereo48}, {kMono48}), STATUS_SUCCESS);
  stream::CUsbStreamEngine* engine = Capture();
  TestClient client;
  ASSERT_EQ(Attach(engine, client, kMono48Format, 3, 4), STATUS_SUCCESS);
  EXPECT_EQ(engine->GetRingSize(), 3840u);
  DelayMs(300);
  Detach(engine, client);

  ASSERT_GT(client.captured.size(), 48u * 250);
  for (size_t i = 0; i < client.captured.size(); ++i)
    ASSERT_EQ(client.captured[i], static_cast<std::int16_t>(i)) << "sample " << i;
  ULONG pending = 0, pieces = 0, wrapped = 0;
  ULONGLONG total = 0;
  for (const Record& r : client.Records()) {
    if (r.code == STREAM_NOTIFY_CAPTURE_DATA) {
      EXPECT_EQ(r.value % 2, 0u);
      pending += r.value;
      ++pieces;
    } else if (r.code == STREAM_NOTIFY_URB_DONE) {
      EXPECT_EQ(r.value, pending);
      EXPECT_GE(pieces, 1u);
      EXPECT_LE(pieces, 2u);
      if (pieces == 2) ++wrapped;
      total += r.value;
      pending = pieces = 0;
    }
  }
  EXPECT_EQ(total, client.captured.size() * 2);
  EXPECT_GE(wrapped, 5u);  // 288 bytes per URB against a 3,840-byte ring
}

// An empty packet with a good status stands for a millisecond and a frame of silence, but
// never more than its slot of the transfer buffer; at high speed too, where a packet is
// an eighth of a millisecond.
TEST_F(Uac1Streaming, EmptyCapturePacketsBecomeSilenceWithinTheirSlot) {
  ExpectStreamFinding("gap", "device");  // the empty packets leave their frames out
  const struct {
    USHORT maxPacket;
    ULONG silenceFrames;
    bool highSpeed = false;
  } cases[] = {{100, 49}, {96, 48}, {98, 49}, {90, 45}, {100, 49, true}, {40, 20, true}};
  ExpectStreamFinding("gap", "device");  // the frames the empty packets left out
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "wMaxPacketSize " << c.maxPacket << (c.highSpeed ? ", high speed" : ""));
    ASSERT_EQ(StartDevice({kStereo48}, {{1, 2, 16, {48000}, {{kCaptureEndpoint, 0x05, c.maxPacket, 1}}}}, c.highSpeed),
              STATUS_SUCCESS);
    stream::CUsbStreamEngine* engine = Capture();
    TestClient client;
    // The last packet of each URB ends the transfer buffer: its silence must stay inside.
    ASSERT_EQ(Attach(engine, client, kMono48Format, 1, 10), STATUS_SUCCESS);
    DelayMs(20);
    sim_->ShortCapturePackets(kCaptureEndpoint, 0, 3);
    DelayMs(40);
    Detach(engine, client);

    const std::vector<std::int16_t>& got = client.captured;
    size_t i = 0;
    while (i < got.size() && got[i] == static_cast<std::int16_t>(i)) ++i;
    ASSERT_LT(i, got.size());
    size_t zeros = 0;
    while (i + zeros < got.size() && got[i + zeros] == 0) ++zeros;
    EXPECT_EQ(zeros, 3 * c.silenceFrames);
    ASSERT_LT(i + zeros + 1, got.size());
    // The device's signal resumes where its clock is, one sample after another.
    for (size_t j = i + zeros + 1; j < got.size(); ++j)
      ASSERT_EQ(got[j], static_cast<std::int16_t>(got[j - 1] + 1)) << "sample " << j;
    TearDownDevice();
  }
}

// The packet size comes from the data endpoint, with the high-bandwidth transactions at
// high speed; an endpoint too small for one frame makes the setting unusable.
TEST_F(Uac1Streaming, CapturePacketSizeComesFromTheDataEndpoint) {
  const struct {
    const char* name;
    bool highSpeed;
    std::vector<Endpoint> endpoints;
    NTSTATUS status;
    ULONG samples;
  } cases[] = {
      {"feedback endpoint first", false, {{0x83, 0x11, 3, 1}, {kCaptureEndpoint, 0x05, 100, 1}}, STATUS_SUCCESS, 50},
      {"interrupt endpoint first", false, {{0x83, 0x03, 8, 1}, {kCaptureEndpoint, 0x05, 100, 1}}, STATUS_SUCCESS, 50},
      {"two transactions at high speed", true, {{kCaptureEndpoint, 0x05, 0x0800 | 100, 1}}, STATUS_SUCCESS, 100},
      {"three transactions at high speed", true, {{kCaptureEndpoint, 0x05, 0x1000 | 100, 1}}, STATUS_SUCCESS, 150},
      {"transaction bits at full speed", false, {{kCaptureEndpoint, 0x05, 0x1800 | 100, 1}}, STATUS_SUCCESS, 50},
      {"smaller than a frame", false, {{kCaptureEndpoint, 0x05, 1, 1}}, STATUS_NOT_SUPPORTED, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(StartDevice({kStereo48}, {{1, 2, 16, {48000}, c.endpoints}}, c.highSpeed), STATUS_SUCCESS);
    stream::CUsbStreamEngine* engine = Capture();
    TestClient client;
    EXPECT_EQ(Attach(engine, client, kMono48Format, 2, 5), c.status);
    if (NT_SUCCESS(c.status)) {
      EXPECT_EQ(engine->GetSamplesPerPacket(), c.samples);
      DelayMs(30);
      EXPECT_GT(client.captured.size(), 0u);
    } else {
      EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
    }
    Detach(engine, client);
    TearDownDevice();
  }
}

// A transfer that comes back cancelled gives its slot back and nothing else happens:
// no successor (the stream runs on with one URB fewer) and no recovery.
TEST_F(Uac1Streaming, CancelledTransfersOnlyReturnTheirSlots) {
  // The cancelled URB's frames never reach the device: a hole in the stream.
  for (const char* kind : {"missed packets", "pattern break", "underrun"}) ExpectStreamFinding(kind, "device");
  ASSERT_EQ(StartDevice({kStereo48}, {kMono48}), STATUS_SUCCESS);
  for (stream::CUsbStreamEngine* engine : {Render(), Capture()}) {
    TestClient client;
    const bool render = engine == Render();
    EXPECT_EQ(engine->AbortPipe(), STATUS_INVALID_DEVICE_STATE);  // no pipe yet
    ASSERT_EQ(Attach(engine, client, render ? kStereo48Format : kMono48Format, 5, 3), STATUS_SUCCESS);
    DelayMs(20);
    bus().FailNthUrb(2, USBD_STATUS_CANCELED, STATUS_CANCELLED, URB_FUNCTION_ISOCH_TRANSFER);
    DelayMs(100);
    const size_t seen = Urbs(engine).size();
    DelayMs(100);
    EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_RUNNING);
    EXPECT_EQ(client.Count(STREAM_NOTIFY_FORMAT, true), 1u);  // the start's, no recovery
    EXPECT_TRUE(RestartFrames(engine).empty());
    const std::vector<UrbSeen> urbs = Urbs(engine);
    EXPECT_GE(urbs.size(), seen + 15);  // two URBs of 5 ms every 10 ms, where three were
    EXPECT_LE(urbs.size(), seen + 25);
    size_t cancelled = 0;
    for (const UrbSeen& u : urbs) cancelled += u.status == STATUS_CANCELLED;
    EXPECT_EQ(cancelled, 1u);
    EXPECT_LE(engine->GetUrbsOutstanding(), 3);
    Detach(engine, client);
    EXPECT_EQ(engine->GetUrbsOutstanding(), 0);
    EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
    if (render) {
      EXPECT_EQ(client.fills.size(), Urbs(engine).size());
    }
  }
}

// Every allocation a prepare makes may fail: the engine gives back what it made (the
// pool is checked after each run), the interface stays at zero bandwidth and the next
// prepare works. A failure only the render engine's rate request meets still plays.
TEST_F(Uac1Streaming, PrepareSurvivesEveryAllocationFailure) {
  ASSERT_EQ(StartDevice({kStereo48}, {kMono48}), STATUS_SUCCESS);
  for (stream::CUsbStreamEngine* engine : {Render(), Capture()}) {
    const WAVEFORMATEXTENSIBLE& format = engine == Render() ? kStereo48Format : kMono48Format;
    TestClient first;  // the stream buffers are made once, by the first prepare
    ASSERT_EQ(Attach(engine, first, format, 5, 3), STATUS_SUCCESS);
    Detach(engine, first);
    ULONG failures = 0;
    const auto allocations = platform::testing::ForEachAllocationFailure([&](platform::testing::FaultSweep& sweep) {
      TestClient client;
      ASSERT_EQ(Register(engine, client, format), STATUS_SUCCESS);
      ULONG ms = 0, frame = 0;
      sweep.Arm();
      const NTSTATUS status = engine->PrepareClient(client.key(), &ms, &frame);
      sweep.Disarm();
      if (!NT_SUCCESS(status)) {
        ++failures;
        EXPECT_EQ(engine->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES) << "allocation " << sweep.n();
        EXPECT_EQ(sim_->CurrentAlternate(engine->GetEngineId()), 0) << "allocation " << sweep.n();
      }
      Detach(engine, client);
    });
    EXPECT_GE(allocations, 14u);  // ten transfers of three blocks and an IRP, lists, ring, URBs
    EXPECT_GE(failures, 10u);
    TestClient after;
    ASSERT_EQ(Attach(engine, after, format, 5, 3), STATUS_SUCCESS);
    DelayMs(20);
    Detach(engine, after);
  }
}

// The data pipe can be aborted while a stream runs: its URBs come back and the engine
// waits on, without recovering, until a client stops it.
TEST_F(Uac1Streaming, AbortedPipeDrainsWithoutRecovery) {
  ExpectStreamFinding("missed packets", "device");  // a completion may race the abort
  ASSERT_EQ(StartDevice({kStereo48}, {kMono48}), STATUS_SUCCESS);
  stream::CUsbStreamEngine* engine = Capture();
  TestClient client;
  ASSERT_EQ(Attach(engine, client, kMono48Format, 5, 3), STATUS_SUCCESS);
  DelayMs(20);
  EXPECT_EQ(engine->AbortPipe(), STATUS_SUCCESS);
  DelayMs(50);
  size_t cancelled = 0;
  for (const UrbSeen& u : Urbs(engine)) cancelled += u.status == STATUS_CANCELLED;
  EXPECT_GE(cancelled, 1u);
  Detach(engine, client);
  EXPECT_EQ(engine->GetUrbsOutstanding(), 0);
}

// The requests of both UAC 1.0 engines, field by field as the bus received them, one
// row per stream: each isochronous URB is 152 bytes and 12 per packet, function 0x000A,
// flags 0 (render) or 3 (capture) plus 4 when the start frame is not explicit, its
// packets at their offsets and its start frames a URB's milliseconds apart (0 when not
// explicit); a selection of an alternate setting with n endpoints is 80 + 24 (n - 1)
// bytes with an interface block 32 bytes shorter (56 and 24 without endpoints); an
// abort is 40 bytes; the ring is under "US10" and the transfer memory and pipe table
// under "URB ".
TEST_F(Uac1Streaming, RequestsCarryTheirFixedLayout) {
  ExpectStreamFinding("missed packets", "device");  // the abort cuts URBs short
  struct Row {
    const char* what;
    bool capture, highSpeed, explicitStart;
    std::vector<Endpoint> endpoints;
    ULONG ms, urbs;
    ULONG packetsPerUrb, packetBytes;  // capture: each packet's slot
    ULONG ringBytes, bufferBytes;
  };
  const Row rows[] = {
      {"render", false, false, true, {{kRenderEndpoint, 0x05, 196, 1}}, 5, 3, 5, 192, 7680, (48 + 1) * 4 * 5},
      {"render, ASAP", false, false, false, {{kRenderEndpoint, 0x05, 196, 1}}, 5, 3, 5, 192, 7680, (48 + 1) * 4 * 5},
      {"render with a sync endpoint", false, false, true, {{kRenderEndpoint, 0x05, 196, 1}, {0x83, 0x11, 3, 1}}, 5,
       3, 5, 192, 7680, (48 + 1) * 4 * 5},
      {"render, high speed", false, true, true, {{kRenderEndpoint, 0x05, 196, 1}}, 2, 3, 16, 24, 7680,
       (48 / 8 + 1) * 4 * 2 * 8},
      {"capture", true, false, true, {{kCaptureEndpoint, 0x05, 100, 1}}, 5, 3, 5, 100, 3840, 2 * 5 * 50},
      {"capture, ASAP", true, false, false, {{kCaptureEndpoint, 0x05, 100, 1}}, 5, 3, 5, 100, 3840, 2 * 5 * 50},
  };
  const ULONG kUrbTag = MakePoolTag('U', 'R', 'B', ' '), kRingTag = MakePoolTag('U', 'S', '1', '0');
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const AltSpec render{2, 2, 16, {48000}, row.capture ? std::vector<Endpoint>{{kRenderEndpoint, 0x05, 196, 1}} : row.endpoints};
    const AltSpec capture{1, 2, 16, {48000}, row.capture ? row.endpoints : std::vector<Endpoint>{{kCaptureEndpoint, 0x05, 100, 1}}};
    ASSERT_EQ(StartDevice({render}, {capture}, row.highSpeed), STATUS_SUCCESS);
    stream::CUsbStreamEngine* engine = row.capture ? Capture() : Render();
    const UCHAR number = row.capture ? kCaptureInterface : kRenderInterface;
    TestClient client;
    const platform::pool::Mark mark = platform::pool::CurrentMark();
    ASSERT_EQ(Attach(engine, client, row.capture ? kMono48Format : kStereo48Format, row.ms, row.urbs), STATUS_SUCCESS);
    const auto ring = platform::pool::LiveBlocksWithTag(kRingTag, mark);
    ASSERT_EQ(ring.size(), 1u);
    EXPECT_EQ(ring[0].bytes, row.ringBytes);
    size_t buffers = 0;
    for (const auto& b : platform::pool::LiveBlocksWithTag(kUrbTag, mark))
      buffers += b.bytes == row.bufferBytes || b.bytes == 152 + 12 * row.packetsPerUrb;
    EXPECT_EQ(buffers, 2u * 10u);  // ten transfer buffers and ten URBs
    DelayMs(40);
    if (!row.explicitStart) {
      // Started again as soon as possible: only the URBs Start sends are looked at, and the
      // stream stops at once (the device's counter signal breaks at the restart).
      ExpectStreamFinding("late packets", "device");
      ExpectStreamFinding("pattern break", "device");
      ExpectStreamFinding("underrun", "device");
      ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
      EXPECT_TRUE(NT_SUCCESS(engine->Start(0, FALSE)));  // the last send's status, pending
    }
    ASSERT_EQ(engine->StopClient(client.key(), nullptr), STATUS_SUCCESS);
    ASSERT_EQ(engine->AbortPipe(), STATUS_SUCCESS);
    Detach(engine, client);

    const USBD_PIPE_HANDLE data = SubmittedUrbs(URB_FUNCTION_ISOCH_TRANSFER).front().pipe;
    const std::vector<SubmittedUrb> urbs = SubmittedUrbs(URB_FUNCTION_ISOCH_TRANSFER);
    const ULONG flags = (row.capture ? 3u : 0u) | (row.explicitStart ? 0u : 4u);
    size_t checked = 0;
    for (size_t i = 0; i < urbs.size(); ++i) {
      const SubmittedUrb& u = urbs[i];
      if (!row.explicitStart && (u.flags & 4u) == 0) continue;  // the explicit start before the restart
      SCOPED_TRACE(testing::Message() << "URB " << i);
      ++checked;
      EXPECT_EQ(u.pipe, data);
      EXPECT_EQ(u.length, 152u + 12u * row.packetsPerUrb);
      EXPECT_EQ(u.flags, flags);
      EXPECT_EQ(u.packets, row.packetsPerUrb);
      ASSERT_EQ(u.offsets.size(), row.packetsPerUrb);
      if (row.capture) {
        EXPECT_EQ(u.transferLength, row.packetsPerUrb * row.packetBytes);
        for (ULONG k = 0; k < u.packets; ++k) EXPECT_EQ(u.offsets[k], k * row.packetBytes);
      } else {
        EXPECT_EQ(u.transferLength, row.packetsPerUrb * row.packetBytes);  // 48 kHz: no remainder
        for (ULONG k = 0; k < u.packets; ++k) EXPECT_EQ(u.offsets[k], k * row.packetBytes);
      }
      if (!row.explicitStart) {
        EXPECT_EQ(u.startFrame, 0u);
      } else if (i > 0) {
        EXPECT_EQ(u.startFrame, urbs[i - 1].startFrame + row.ms);
      }
    }
    EXPECT_GE(checked, row.explicitStart ? 5u : row.urbs);

    const auto aborts = SubmittedUrbs(URB_FUNCTION_ABORT_PIPE);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(aborts[0].length, 40u);
    EXPECT_EQ(aborts[0].pipe, data);
    std::vector<SubmittedUrb> selections;
    for (const SubmittedUrb& u : SubmittedUrbs(URB_FUNCTION_SELECT_INTERFACE))
      if (u.interfaceNumber == number) selections.push_back(u);
    ASSERT_EQ(selections.size(), 2u);  // the stream's setting, then zero bandwidth
    const ULONG n = static_cast<ULONG>(row.endpoints.size());
    EXPECT_EQ(selections[0].alternate, 1);
    EXPECT_EQ(selections[0].length, 80u + 24u * (n - 1));
    EXPECT_EQ(selections[0].interfaceLength, selections[0].length - 32u);
    EXPECT_EQ(selections[1].alternate, 0);
    EXPECT_EQ(selections[1].length, 56u);
    EXPECT_EQ(selections[1].interfaceLength, 24u);
    TearDownDevice();
  }
}

// Once the streams run, neither path allocates pool: transfers exist from the prepare on
// and their IRPs are reused.
TEST_F(Uac1Streaming, StreamingAllocatesNoPool) {
  ASSERT_EQ(StartDevice({kStereo48}, {kMono48}), STATUS_SUCCESS);
  TestClient speaker, mic;
  ASSERT_EQ(Attach(Render(), speaker, kStereo48Format, 5, 3), STATUS_SUCCESS);
  ASSERT_EQ(Attach(Capture(), mic, kMono48Format, 1, 10), STATUS_SUCCESS);
  DelayMs(30);
  const auto before = platform::pool::AllocationCount();
  const auto fills = speaker.fills.size();
  DelayMs(500);
  EXPECT_EQ(platform::pool::AllocationCount(), before);
  EXPECT_GE(speaker.fills.size(), fills + 90);
  Detach(Render(), speaker);
  Detach(Capture(), mic);
}

TEST_F(Uac1Streaming, ContentIdReachesTheDeviceBelowWithTheDataPipe) {
  ASSERT_EQ(StartDevice({kStereo48}, {kMono48}), STATUS_SUCCESS);
  platform::portcls::ClearForwardedContents();
  stream::CUsbStreamEngine* engine = Render();
  EXPECT_EQ(engine->SetContentId(7, nullptr), STATUS_SUCCESS);
  TestClient client;
  ASSERT_EQ(Attach(engine, client, kStereo48Format, 5, 3), STATUS_SUCCESS);
  PVOID pipe = engine->GetDataPipe()->PipeHandle;
  EXPECT_EQ(engine->SetContentId(8, nullptr), STATUS_SUCCESS);
  Detach(engine, client);
  EXPECT_EQ(engine->SetContentId(9, nullptr), STATUS_SUCCESS);

  const auto forwarded = platform::portcls::ForwardedContents();
  ASSERT_EQ(forwarded.size(), 3u);
  const PVOID expected[] = {nullptr, pipe, nullptr};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(forwarded[i].contentId, 7 + i);
    EXPECT_EQ(forwarded[i].forward.Flags, DRMFORWARD_FLAGS_NONE);
    EXPECT_EQ(forwarded[i].forward.DeviceObject, lower_);
    EXPECT_EQ(static_cast<PVOID>(forwarded[i].forward.FileObject), expected[i]);
    EXPECT_EQ(forwarded[i].forward.Context, expected[i]);
  }
  platform::portcls::ClearForwardedContents();
}

}  // namespace
}  // namespace iso_test
