// The engine client against fake miniports: enumeration and descriptors, intersection,
// streams through every state, node properties and events, and the invariant checks
// catching fakes that misbehave.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "installed.h"
#include "sim/engine/engine.h"
#include "support/kernel_fixture.h"

namespace {

using fakes::FakeTopologyMiniport;
using fakes::FakeWaveMiniport;
using fakes::InstalledDevice;
using sim::engine::FilterClient;
using sim::engine::FilterDescription;
using sim::engine::Issue;
using sim::engine::PatternChecker;
using sim::engine::Stream;

constexpr ULONG kPeriod = 1920;  // 10 ms of 48 kHz 16-bit stereo

std::unique_ptr<FilterClient> OpenByName(PDEVICE_OBJECT device, const std::u16string& name) {
  for (const auto& info : sim::engine::EnumerateFilters()) {
    if (info.device != device || info.name != name) continue;
    std::unique_ptr<FilterClient> client;
    if (NT_SUCCESS(FilterClient::Open(info, &client))) return client;
  }
  return nullptr;
}

KSDATARANGE_AUDIO Wanted(ULONG maxRate) {
  KSDATARANGE_AUDIO r{};
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  r.MaximumChannels = 2;
  r.MinimumBitsPerSample = 16;
  r.MaximumBitsPerSample = 16;
  r.MinimumSampleFrequency = 8000;
  r.MaximumSampleFrequency = maxRate;
  return r;
}

std::string Describe(const Stream& stream) {
  std::string text;
  for (const auto& f : stream.Findings()) text += std::string(IssueName(f.issue)) + ": " + f.detail + "\n";
  return text;
}

class EngineTest : public platform::testing::KernelTest {
 protected:
  void Open(bool capture, sim::engine::StreamOptions options = {}, ULONG maxRate = 48000) {
    dev = std::make_unique<InstalledDevice>(capture ? 10 : 9, capture);
    wave = OpenByName(dev->device, dev->waveName);
    ASSERT_NE(wave, nullptr);
    std::vector<BYTE> format;
    ASSERT_EQ(wave->Intersect(FakeWaveMiniport::kStreamingPin, Wanted(maxRate), &format), STATUS_SUCCESS);
    ASSERT_EQ(wave->OpenStream(FakeWaveMiniport::kStreamingPin, format, options, &stream), STATUS_SUCCESS);
    fake = dev->wave->stream;
    ASSERT_NE(fake, nullptr);
    if (capture)
      fake->captureSource = [](ULONG64 first, BYTE* out, ULONG bytes) {
        sim::engine::FillCounterPattern(first, out, bytes, 2);
      };
  }
  void TearDown() override {
    stream.reset();
    wave.reset();
    dev.reset();
    KernelTest::TearDown();
  }
  static void Sleep(LONGLONG ms) { platform::clock::SleepFor(ms * platform::clock::kTicksPerMillisecond); }

  std::unique_ptr<InstalledDevice> dev;
  std::unique_ptr<FilterClient> wave;
  std::unique_ptr<Stream> stream;
  fakes::FakeStream* fake = nullptr;
};

TEST_F(EngineTest, EnumeratesAndDescribesTheFilters) {
  InstalledDevice device(11);
  auto render = sim::engine::EnumerateFilters(&KSCATEGORY_RENDER);
  EXPECT_TRUE(std::any_of(render.begin(), render.end(), [&](const auto& s) { return s.name == device.waveName; }));
  auto client = OpenByName(device.device, device.waveName);
  ASSERT_NE(client, nullptr);
  FilterDescription d;
  ASSERT_EQ(client->ReadDescription(&d), STATUS_SUCCESS);
  ASSERT_EQ(d.pins.size(), 2u);
  const auto& streaming = d.pins[FakeWaveMiniport::kStreamingPin];
  EXPECT_EQ(streaming.dataFlow, KSPIN_DATAFLOW_IN);
  EXPECT_EQ(streaming.communication, KSPIN_COMMUNICATION_SINK);
  EXPECT_EQ(streaming.instances.PossibleCount, 1u);
  ASSERT_EQ(streaming.dataRanges.size(), 1u);
  EXPECT_TRUE(streaming.rangeHasAttributes[0]);
  KSDATARANGE_AUDIO range;
  ASSERT_EQ(streaming.dataRanges[0].size(), sizeof(range));
  std::memcpy(&range, streaming.dataRanges[0].data(), sizeof(range));
  EXPECT_EQ(range.MaximumSampleFrequency, 48000u);
  EXPECT_EQ(d.pins[FakeWaveMiniport::kBridgePin].communication, KSPIN_COMMUNICATION_NONE);
  ASSERT_EQ(d.nodeTypes.size(), 1u);
  EXPECT_EQ(d.nodeTypes[0], KSNODETYPE_DAC);
  EXPECT_EQ(d.connections.size(), 2u);
  EXPECT_EQ(d.categories.size(), 2u);

  auto topology = OpenByName(device.device, device.topologyName);
  ASSERT_NE(topology, nullptr);
  ASSERT_EQ(topology->ReadDescription(&d), STATUS_SUCCESS);
  EXPECT_EQ(d.pins[1].category, KSNODETYPE_SPEAKER);
  EXPECT_EQ(d.nodeTypes, (std::vector<GUID>{KSNODETYPE_VOLUME, KSNODETYPE_MUTE}));
}

TEST_F(EngineTest, IntersectionFollowsTheRangeAsked) {
  InstalledDevice device(12);
  auto client = OpenByName(device.device, device.waveName);
  ASSERT_NE(client, nullptr);
  std::vector<BYTE> format;
  ASSERT_EQ(client->Intersect(FakeWaveMiniport::kStreamingPin, Wanted(44100), &format), STATUS_SUCCESS);
  ASSERT_EQ(format.size(), sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE));
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE chosen;
  std::memcpy(&chosen, format.data(), sizeof(chosen));
  EXPECT_EQ(chosen.WaveFormatExt.Format.nSamplesPerSec, 44100u);
  EXPECT_EQ(client->Intersect(FakeWaveMiniport::kStreamingPin, Wanted(22050), &format), STATUS_NO_MATCH);
}

TEST_F(EngineTest, RenderStreamRunsThroughTheStatesWithoutFindings) {
  Open(false);
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  // The buffer is kept nearly full: all but one period written ahead before RUN.
  EXPECT_EQ(stream->BytesWritten(), stream->BufferSize() - kPeriod);
  for (int i = 0; i < 25; ++i) fake->Advance(kPeriod);  // five wraps of the buffer
  EXPECT_EQ(stream->Notifications(), 25u);
  EXPECT_EQ(stream->BytesPlayed(), 25u * kPeriod);
  EXPECT_EQ(stream->BytesWritten(), stream->BytesPlayed() + stream->BufferSize() - kPeriod);
  ASSERT_EQ(stream->Stop(), STATUS_SUCCESS);
  EXPECT_TRUE(stream->Findings().empty()) << Describe(*stream);
  std::vector<KSSTATE> expected = {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN,
                                   KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP};
  EXPECT_EQ(fake->transitions, expected);

  // What the device consumed is the engine's signal, without gap or repeat.
  std::vector<sim::engine::Finding> findings;
  PatternChecker device(2);
  device.Feed(fake->consumed.data(), static_cast<ULONG>(fake->consumed.size()), &findings);
  EXPECT_TRUE(findings.empty());
  EXPECT_EQ(device.SamplesChecked(), 25u * kPeriod / 2);
}

TEST_F(EngineTest, CaptureStreamReadsEverythingBehindThePosition) {
  Open(true);
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  for (int i = 0; i < 25; ++i) fake->Advance(kPeriod);
  EXPECT_EQ(stream->BytesRead(), 25u * kPeriod);
  ASSERT_EQ(stream->Stop(), STATUS_SUCCESS);
  EXPECT_TRUE(stream->Findings().empty()) << Describe(*stream);
  // Started again, the stream begins at zero with a fresh check.
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  for (int i = 0; i < 3; ++i) fake->Advance(kPeriod);
  EXPECT_EQ(stream->BytesRead(), 3u * kPeriod);
  EXPECT_TRUE(stream->Findings().empty()) << Describe(*stream);
}

TEST_F(EngineTest, APerPacketNotifyingStreamAt44100HzPasses) {
  // One notification per 1 ms packet of 44 or 45 frames, ten per period: more often than
  // the interval, which the port and the engine accept.
  for (bool capture : {false, true}) {
    SCOPED_TRACE(capture ? "capture" : "render");
    Open(capture, {}, 44100);
    fake->RunOnClock(1);
    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
    Sleep(1000);
    EXPECT_GE(stream->Notifications(), 999u);
    EXPECT_GE(fake->packets, 999u);
    EXPECT_GE(stream->BytesPlayed(), 999u * 441 / 10 * 4);
    if (capture) {
      EXPECT_GE(stream->BytesRead(), 999u * 441 / 10 * 4);
    }
    ASSERT_EQ(stream->Stop(), STATUS_SUCCESS);
    EXPECT_TRUE(stream->Findings().empty()) << Describe(*stream);
    stream.reset();
    wave.reset();
    dev.reset();
  }
}

TEST_F(EngineTest, TheEnginesOwnWakeUpCatchesAStreamThatStopsNotifying) {
  ExpectStreamFinding("missed notification", "engine");
  ExpectStreamFinding("position stalled", "engine");
  Open(false);
  fake->RunOnClock(5);  // one notification per 5 ms URB
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  Sleep(100);
  EXPECT_TRUE(stream->Findings().empty()) << Describe(*stream);
  fake->faults.stopNotifying = true;  // the position still moves: only the engine's pass sees it
  Sleep(30);
  EXPECT_TRUE(stream->Has(Issue::MissedNotification)) << Describe(*stream);
  EXPECT_FALSE(stream->Has(Issue::PositionStalled));
  EXPECT_FALSE(stream->Has(Issue::Underrun)) << Describe(*stream);  // the pass kept writing
  fake->faults.stall = true;
  Sleep(40);
  EXPECT_TRUE(stream->Has(Issue::PositionStalled)) << Describe(*stream);
}

TEST_F(EngineTest, NotificationGapsAreJudgedWithOnePacketOfTolerance) {
  ExpectStreamFinding("missed notification", "engine");
  Open(false);
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  // The engine's own pass runs every 10 ms from t = 0: the second gap (9.58 ms to
  // 20.08 ms) is still open at its pass at 20 ms, 10.42 ms after the last notification.
  fake->Advance(1840);
  fake->Advance(kPeriod + 96);  // 10.5 ms: late, but within one packet (1 ms)
  fake->Advance(kPeriod - 96);
  EXPECT_TRUE(stream->Findings().empty()) << Describe(*stream);
  fake->Advance(kPeriod + 288);  // 11.5 ms
  EXPECT_TRUE(stream->Has(Issue::MissedNotification)) << Describe(*stream);
}

TEST_F(EngineTest, ChecksCatchASkippedNotification) {
  ExpectStreamFinding("missed notification", "engine");
  Open(false);
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  fake->Advance(kPeriod);
  fake->faults.skipNotification = true;
  fake->Advance(kPeriod);
  fake->Advance(kPeriod);
  EXPECT_TRUE(stream->Has(Issue::MissedNotification)) << Describe(*stream);
  EXPECT_FALSE(stream->Has(Issue::Underrun));
}

TEST_F(EngineTest, ChecksCatchAPositionGoingBackwards) {
  ExpectStreamFinding("position moved back", "engine");
  Open(false);
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  fake->Advance(kPeriod);
  fake->Advance(kPeriod);
  fake->faults.positionBackwards = true;
  fake->Advance(kPeriod);
  EXPECT_TRUE(stream->Has(Issue::PositionBackwards)) << Describe(*stream);
}

TEST_F(EngineTest, ChecksCatchAPositionMovingFasterThanTime) {
  ExpectStreamFinding("position jumped", "engine");
  Open(false);
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  fake->Advance(kPeriod);
  fake->Advance(kPeriod);
  EXPECT_TRUE(stream->Findings().empty()) << Describe(*stream);
  fake->faults.jumpBytes = kPeriod + 400;  // 2.2 periods in the time of one
  fake->Advance(kPeriod);
  EXPECT_TRUE(stream->Has(Issue::PositionJump)) << Describe(*stream);
}

TEST_F(EngineTest, ChecksCatchAnUnderrunWhenTheEngineFallsBehind) {
  ExpectStreamFinding("underrun", "engine");
  // One period written ahead and a pass only every 30 ms: the engine's own pass finds
  // the position past the data (its timer exactly on time).
  UseExactTiming();
  sim::engine::StreamOptions options;
  options.writeAheadBytes = kPeriod;
  options.wakeMs = 30;
  options.moveDataOnNotification = false;
  Open(false, options);
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  fake->Advance(kPeriod);
  EXPECT_FALSE(stream->Has(Issue::Underrun));
  fake->Advance(kPeriod);
  fake->Advance(kPeriod);
  Sleep(1);
  EXPECT_TRUE(stream->Has(Issue::Underrun)) << Describe(*stream);
  // Pump runs the same pass on demand.
  sim::engine::StreamOptions manual = options;
  manual.wakeMs = 0;
  stream.reset();
  wave.reset();
  dev.reset();
  Open(false, manual);
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  for (int i = 0; i < 3; ++i) fake->Advance(kPeriod);
  EXPECT_FALSE(stream->Has(Issue::Underrun));
  ASSERT_EQ(stream->Pump(), STATUS_SUCCESS);
  EXPECT_TRUE(stream->Has(Issue::Underrun)) << Describe(*stream);
}

TEST_F(EngineTest, ChecksCatchAStreamThatMovesOrNotifiesInPause) {
  ExpectStreamFinding("notification while not running", "engine");
  ExpectStreamFinding("position moved while not running", "engine");
  Open(false);
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  fake->Advance(kPeriod);
  ASSERT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  Sleep(50);  // a well-behaved stream: frozen and silent
  EXPECT_TRUE(stream->Findings().empty()) << Describe(*stream);
  fake->faults.moveInPause = true;
  fake->Advance(kPeriod);
  EXPECT_TRUE(stream->Has(Issue::MovedWhilePaused)) << Describe(*stream);
  EXPECT_TRUE(stream->Has(Issue::NotifiedWhilePaused)) << Describe(*stream);
}

TEST_F(EngineTest, ChecksCatchAStreamThatDoesNotResetOnStop) {
  ExpectStreamFinding("position not reset by STOP", "engine");
  Open(false);
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  fake->Advance(kPeriod);
  ASSERT_EQ(stream->Stop(), STATUS_SUCCESS);
  EXPECT_TRUE(stream->Findings().empty()) << Describe(*stream);
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  fake->Advance(kPeriod);
  fake->faults.keepPositionOnStop = true;
  ASSERT_EQ(stream->Stop(), STATUS_SUCCESS);
  EXPECT_TRUE(stream->Has(Issue::NotResetByStop)) << Describe(*stream);
}

TEST_F(EngineTest, AStarvingClientGetsSilenceWrittenAndAFinding) {
  ExpectStreamFinding("client starved", "engine");
  Open(false);
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  fake->Advance(kPeriod);
  stream->SetClientStarving(true);
  for (int i = 0; i < 6; ++i) fake->Advance(kPeriod);
  EXPECT_TRUE(stream->Has(Issue::Starved)) << Describe(*stream);
  EXPECT_EQ(stream->SilenceWritten(), 6u * kPeriod);
  EXPECT_FALSE(stream->Has(Issue::Underrun));
  // The device plays the silence, never the stale data of the previous wrap.
  ASSERT_EQ(fake->consumed.size(), 7u * kPeriod);
  EXPECT_TRUE(std::all_of(fake->consumed.end() - kPeriod, fake->consumed.end(), [](BYTE b) { return b == 0; }));
  stream->SetClientStarving(false);
  for (int i = 0; i < 6; ++i) fake->Advance(kPeriod);
  EXPECT_FALSE(std::all_of(fake->consumed.end() - kPeriod, fake->consumed.end(), [](BYTE b) { return b == 0; }));
}

TEST_F(EngineTest, ChecksCatchRepeatedCaptureData) {
  ExpectStreamFinding("repeated data", "engine");  // the capture stream carried the counter
  Open(true);
  ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
  fake->Advance(kPeriod);
  fake->faults.repeatCapture = true;
  fake->Advance(kPeriod);
  fake->Advance(kPeriod);
  EXPECT_TRUE(stream->Has(Issue::DataRepeat)) << Describe(*stream);
  EXPECT_FALSE(stream->Has(Issue::DataGap));
}

// The position against what the device played (StreamOptions::deviceFrames): a stream
// on the clock moves 48 frames a millisecond; the device's count is a function of the
// packets moved. Start-up latency is no finding; a device that stops while the position
// runs on, or plays faster than it, is.
TEST_F(EngineTest, ThePositionFollowsWhatTheDevicePlays) {
  ExpectStreamFinding("position off the device", "engine");
  const struct {
    const char* name;
    std::function<ULONG64(ULONG64 packets)> played;
    bool finding;
  } rows[] = {
      {"in step", [](ULONG64 p) { return p * 48; }, false},
      {"5 ms behind from the start", [](ULONG64 p) { return p < 5 ? 0 : (p - 5) * 48; }, false},
      // 90 frames apart now and then, and a packet more while a reading is preempted.
      {"within one packet plus the FIFO", [](ULONG64 p) { return p * 48 + (p / 30 % 2) * 90; }, false},
      {"stopped for 10 ms", [](ULONG64 p) { return (p < 100 ? p : p < 110 ? 100 : p - 10) * 48; }, true},
      {"2% fast", [](ULONG64 p) { return p * 49; }, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fakes::FakeStream* clocked = nullptr;
    sim::engine::StreamOptions options;
    options.deviceFifoFrames = 96;
    options.deviceFrames = [&row, &clocked] { return clocked ? row.played(clocked->packets) : 0; };
    Open(false, options);
    clocked = fake;
    fake->RunOnClock(1);
    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
    Sleep(300);
    ASSERT_EQ(stream->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(stream->Has(Issue::PositionOffDevice), row.finding) << Describe(*stream);
    stream.reset();
    wave.reset();
    dev.reset();
  }
}

TEST(PatternChecker, TellsGapsFromRepeats) {
  std::vector<BYTE> data(64);
  sim::engine::FillCounterPattern(0, data.data(), 32, 2);
  sim::engine::FillCounterPattern(40, data.data() + 32, 32, 2);  // skips 4 samples
  std::vector<sim::engine::Finding> findings;
  PatternChecker checker(2);
  checker.Feed(data.data(), 64, &findings);
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].issue, Issue::DataGap);

  // Fed one byte at a time across a repeat, with 3-byte samples.
  std::vector<BYTE> three(60);
  sim::engine::FillCounterPattern(0, three.data(), 30, 3);
  sim::engine::FillCounterPattern(15, three.data() + 30, 30, 3);
  findings.clear();
  PatternChecker bytewise(3);
  for (BYTE b : three) bytewise.Feed(&b, 1, &findings);
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].issue, Issue::DataRepeat);
  EXPECT_EQ(bytewise.SamplesChecked(), 20u);

  // The counter wraps without a finding.
  std::vector<BYTE> wrap(8);
  sim::engine::FillCounterPattern(2 * 65534, wrap.data(), 8, 2);
  findings.clear();
  PatternChecker wrapping(2);
  wrapping.Feed(wrap.data(), 8, &findings);
  EXPECT_TRUE(findings.empty());
}

using EngineNodes = platform::testing::KernelTest;

TEST_F(EngineNodes, PropertiesAndControlChangeEvents) {
  InstalledDevice device(13);
  auto topology = OpenByName(device.device, device.topologyName);
  ASSERT_NE(topology, nullptr);
  ASSERT_EQ(topology->SetNodeValue(FakeTopologyMiniport::kVolumeNode, KSPROPSETID_Audio,
                                   KSPROPERTY_AUDIO_VOLUMELEVEL, 0, -12 * 65536),
            STATUS_SUCCESS);
  LONG level = 0;
  ASSERT_EQ(topology->GetNodeValue(FakeTopologyMiniport::kVolumeNode, KSPROPSETID_Audio,
                                   KSPROPERTY_AUDIO_VOLUMELEVEL, 0, &level),
            STATUS_SUCCESS);
  EXPECT_EQ(level, -12 * 65536);
  ASSERT_EQ(topology->SetNodeValue(FakeTopologyMiniport::kMuteNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, -1, 1),
            STATUS_SUCCESS);
  EXPECT_EQ(device.topology->mute, 1u);

  std::vector<BYTE> support;
  ASSERT_EQ(topology->NodeBasicSupport(FakeTopologyMiniport::kVolumeNode, KSPROPSETID_Audio,
                                       KSPROPERTY_AUDIO_VOLUMELEVEL, &support),
            STATUS_SUCCESS);
  EXPECT_EQ(support.size(), 40u + 16u + 32u);
  ASSERT_EQ(topology->NodeBasicSupport(FakeTopologyMiniport::kMuteNode, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
                                       &support),
            STATUS_SUCCESS);
  EXPECT_EQ(support.size(), 40u);

  int changes = 0;
  platform::ks::EventHandle handle = 0;
  ASSERT_EQ(topology->ListenControlChange(FakeTopologyMiniport::kVolumeNode, [&] { ++changes; }, &handle),
            STATUS_SUCCESS);
  device.topology->RaiseControlChange(FakeTopologyMiniport::kVolumeNode);
  platform::clock::Settle();  // delivered by the client's own thread
  EXPECT_EQ(changes, 1);
  ASSERT_EQ(topology->StopListening(handle), STATUS_SUCCESS);
  device.topology->RaiseControlChange(FakeTopologyMiniport::kVolumeNode);
  platform::clock::Settle();
  EXPECT_EQ(changes, 1);
}

}  // namespace
