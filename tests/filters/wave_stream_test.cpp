// The WaveCyclic stream and its DMA channel against a stand-in engine that publishes the
// records of a real one: registration in RUN, the render copy across the buffer's wrap,
// one notification per URB, positions interpolated within the URB playing (never past
// it, never back, exact at high byte rates), PAUSE and STOP, capture stores that wrap at
// whole frames, capture through the converter at another rate, and the conversion of
// another client's URBs into the stream's bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "kernel/clock.h"
#include "wave_fixture.h"

namespace {

using filters_test::ExtensibleFormat;
using platform::testing::DelayMs;

const WAVEFORMATEXTENSIBLE k48 = ExtensibleFormat(2, 48000, 16);
const WAVEFORMATEXTENSIBLE k44 = ExtensibleFormat(2, 44100, 16);
const WAVEFORMATEXTENSIBLE k48_24 = ExtensibleFormat(2, 48000, 24);
const WAVEFORMATEXTENSIBLE k22 = ExtensibleFormat(2, 22050, 16);
const WAVEFORMATEXTENSIBLE k48_8bit = ExtensibleFormat(2, 48000, 8);
const WAVEFORMATEXTENSIBLE kWide = ExtensibleFormat(8, 192000, 32);

// 48 kHz 16-bit stereo: 192 bytes a millisecond.
constexpr ULONG kUrb48 = 960;
constexpr ULONG kBuffer48 = 9600;

VOID IgnoreRecords(PVOID, PVOID, PVOID) {}

// The 82-byte data format of a plain WAVEFORMATEX (tag PCM or float) of the format's values.
std::vector<BYTE> PlainDataFormat(WORD tag, const WAVEFORMATEXTENSIBLE& format) {
  std::vector<BYTE> bytes = filters_test::DataFormatOf(format);
  auto* header = reinterpret_cast<KSDATAFORMAT*>(bytes.data());
  header->FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
  WAVEFORMATEX wave = format.Format;
  wave.wFormatTag = tag;
  wave.cbSize = 0;
  std::memcpy(bytes.data() + sizeof(KSDATAFORMAT), &wave, sizeof wave);
  bytes.resize(header->FormatSize);
  return bytes;
}

class WaveStream : public filters_test::WaveFixture {
 protected:
  void SetUp() override {
    WaveFixture::SetUp();
    UseExactTiming();
  }
  NTSTATUS Run() {
    for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
      NTSTATUS status = stream_->SetState(s);
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  }
  void Stop() {
    for (KSSTATE s : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}) EXPECT_EQ(stream_->SetState(s), STATUS_SUCCESS);
  }
  ULONG Position() {
    ULONG p = 0;
    EXPECT_EQ(stream_->GetPosition(&p), STATUS_SUCCESS);
    return p;
  }
  PUCHAR Buffer() { return static_cast<PUCHAR>(dma_->SystemAddress()); }
  // Another client (as the ASIO client does) driving the device in its format.
  void StartOtherClient(const WAVEFORMATEXTENSIBLE& format) {
    ASSERT_EQ(engine_->RegisterClient(5, &format, 5, 3, IgnoreRecords, nullptr, &other_), STATUS_SUCCESS);
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(engine_->PrepareClient(other_->Key, &ms, &frame), STATUS_SUCCESS);
    ASSERT_EQ(engine_->StartClient(other_->Key, frame + 5, &ms, nullptr), STATUS_SUCCESS);
  }
  void StopOtherClient() {
    if (!other_) return;
    const ULONGLONG key = other_->Key;
    engine_->StopClient(key, nullptr);
    engine_->UnprepareClient(key);
    engine_->UnregisterClient(key);
    other_ = nullptr;
  }
  void TearDown() override {
    if (stream_) stream_->SetState(KSSTATE_STOP);
    StopOtherClient();
    WaveFixture::TearDown();
  }
  stream::PSTREAMCLIENTRECORD other_ = nullptr;
};

TEST_F(WaveStream, RunRegistersWithTheEngineAndPauseLeavesIt) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k48}), STATUS_SUCCESS);
  ASSERT_EQ(Open(k48), STATUS_SUCCESS);
  EXPECT_EQ(dma_->AllocatedBufferSize(), kBuffer48);  // 50 ms
  ASSERT_EQ(Run(), STATUS_SUCCESS);
  ASSERT_NE(engine_->GetCurrentClient(), nullptr);
  EXPECT_EQ(engine_->GetCurrentClient()->Priority, 3u);
  EXPECT_EQ(engine_->GetCurrentClient()->MsPerUrb, 5u);
  EXPECT_EQ(engine_->GetCurrentClient()->UrbsInFlight, 3u);
  EXPECT_EQ(engine_->startFrame, filters_test::kBusFrame + 2);
  // The copy starts where the position stands.
  EXPECT_EQ(wave_->GetCopyOffset(), 0u);
  EXPECT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);  // no change
  EXPECT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(engine_->GetCurrentClient(), nullptr);
  EXPECT_FALSE(wave_->IsRegistered());
  EXPECT_EQ(engine_->GetStreamState(), stream::STREAM_STATE_NO_RESOURCES);
}

TEST_F(WaveStream, RunFailuresUndoTheRegistration) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k48}), STATUS_SUCCESS);
  ASSERT_EQ(Open(k48), STATUS_SUCCESS);
  engine_->failAllocation = true;
  EXPECT_EQ(Run(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(wave_->GetState(), KSSTATE_PAUSE);
  EXPECT_FALSE(wave_->IsRegistered());
  engine_->failAllocation = false;
  engine_->sendStatus = STATUS_DEVICE_NOT_CONNECTED;
  EXPECT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(wave_->IsRegistered());
  engine_->sendStatus = STATUS_SUCCESS;
  EXPECT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
}

TEST_F(WaveStream, RenderCopiesEachUrbOutOfTheBufferAndNotifiesOncePerUrb) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k48}), STATUS_SUCCESS);
  ASSERT_EQ(Open(k48), STATUS_SUCCESS);
  ASSERT_EQ(Run(), STATUS_SUCCESS);
  for (ULONG i = 0; i < kBuffer48; ++i) Buffer()[i] = static_cast<UCHAR>(i % 251 + 1);
  // URBs of varying whole-frame sizes, three in flight, as feedback makes them. The first
  // two queued at the start play silence and take nothing from the buffer; the third
  // starts the copy.
  const ULONG sizes[] = {960, 964, 956, 960, 968, 952};
  std::vector<ULONG> queued;
  ULONG expectedOffset = 0;
  ULONG dma = 0;
  std::vector<UCHAR> urb;
  // As a completion does it: the URB done, then the next one filled.
  for (ULONG n = 0; n < 40; ++n) {
    if (queued.size() == 3) {
      engine_->Done(queued.front());
      dma = (dma + queued.front()) % kBuffer48;
      queued.erase(queued.begin());
      EXPECT_EQ(wave_->GetDmaPosition(), dma);
    }
    const ULONG bytes = n < 3 ? kUrb48 : sizes[n % 6];
    urb.assign(bytes, 0);
    engine_->Fill(urb.data(), bytes);
    for (ULONG i = 0; i < bytes; ++i)
      ASSERT_EQ(urb[i], n < 2 ? 0 : static_cast<UCHAR>((expectedOffset + i) % kBuffer48 % 251 + 1))
          << "URB " << n << " byte " << i;
    if (n >= 2) expectedOffset = (expectedOffset + bytes) % kBuffer48;
    if (n >= 3) {
      // With each completion the copy is a URB ahead of the position, give or take what
      // URB sizes differ by.
      const ULONG apart = (expectedOffset + kBuffer48 - dma) % kBuffer48;
      EXPECT_GE(apart + 24, kUrb48) << "URB " << n;
      EXPECT_LE(apart, kUrb48 + 24) << "URB " << n;
    }
    EXPECT_EQ(wave_->GetCopyOffset(), expectedOffset);
    queued.push_back(bytes);
  }
  EXPECT_EQ(port_->notifications.load(), 37u);
}

TEST_F(WaveStream, PositionInterpolatesWithinTheUrbPlayingAtAnyCounterFrequency) {
  for (LONGLONG frequency : {10000000LL, 3579545LL}) {
    SCOPED_TRACE(frequency);
    platform::clock::SetPerformanceFrequency(frequency);
    ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k48}), STATUS_SUCCESS);
    ASSERT_EQ(Open(k48), STATUS_SUCCESS);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    std::vector<UCHAR> urb(kUrb48);
    for (int i = 0; i < 3; ++i) engine_->Fill(urb.data(), kUrb48);
    engine_->Done(kUrb48);  // the time stamp is taken here
    engine_->Fill(urb.data(), kUrb48);  // the successor, as the completion sends it
    EXPECT_EQ(Position(), kUrb48);
    DelayMs(2);
    const ULONG p = Position();
    EXPECT_GE(p, kUrb48 + 2 * 192 - 2);
    EXPECT_LE(p, kUrb48 + 2 * 192);
    DelayMs(20);  // late: never past the end of the URB playing
    EXPECT_EQ(Position(), 2 * kUrb48);
    engine_->Done(kUrb48);
    EXPECT_EQ(Position(), 2 * kUrb48);
    CloseStream();
    Teardown();
  }
}

TEST_F(WaveStream, PositionAtHighByteRatesIsExact) {
  // 8 channels of 32 bits at 192 kHz: 6,144 bytes a millisecond, where a 32-bit product of
  // elapsed units and the byte rate wraps after 7 ms.
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {kWide}), STATUS_SUCCESS);
  ASSERT_EQ(Open(kWide), STATUS_SUCCESS);
  ASSERT_EQ(dma_->AllocatedBufferSize(), 307200u);
  ASSERT_EQ(Run(), STATUS_SUCCESS);
  std::vector<UCHAR> urb(300000);
  engine_->Fill(urb.data(), 300000);
  engine_->Done(0);  // time stamp now; the URB of 300,000 bytes still playing
  engine_->Fill(urb.data(), 300000);
  for (ULONG ms : {1u, 7u, 20u, 40u}) {
    SCOPED_TRACE(ms);
    DelayMs(ms == 1 ? 1 : ms - (ms == 7 ? 1 : ms == 20 ? 7 : 20));
    EXPECT_EQ(Position(), ms * 6144);
  }
}

TEST_F(WaveStream, TheRingFollowsMoreUrbsThanTenInFlight) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k48}), STATUS_SUCCESS);
  ASSERT_EQ(Open(k48), STATUS_SUCCESS);
  ASSERT_EQ(Run(), STATUS_SUCCESS);
  std::vector<UCHAR> urb(512);
  std::vector<ULONG> sizes;
  for (ULONG i = 0; i < 12; ++i) {
    sizes.push_back(4 * (100 + i));
    engine_->Fill(urb.data(), sizes.back());
  }
  ULONG dma = 0;
  // The first two fills played silence: the copy took the others.
  ULONG copied = 0;
  for (ULONG i = 2; i < 12; ++i) copied += sizes[i];
  for (ULONG i = 0; i < 12; ++i) {
    SCOPED_TRACE(i);
    engine_->Done(sizes[i]);
    dma += sizes[i];
    DelayMs(50);
    // Long after the completion the position stands at the end of the next URB, and
    // never past what was copied.
    EXPECT_EQ(Position(), std::min(dma + (i + 1 < 12 ? sizes[i + 1] : 0), copied) % kBuffer48);
  }
}

TEST_F(WaveStream, QueuedUrbsOfAFormatChangePlaySilenceWhateverTheQueue) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k48}), STATUS_SUCCESS);
  ASSERT_EQ(Open(k48), STATUS_SUCCESS);
  ASSERT_EQ(Run(), STATUS_SUCCESS);
  for (ULONG i = 0; i < kBuffer48; ++i) Buffer()[i] = static_cast<UCHAR>(i % 251 + 1);
  // Queues of ms x URBs up to twice the buffer.
  struct Case {
    ULONG ms, urbs;
  } cases[] = {{5, 3}, {10, 10}, {7, 9}, {1, 1}};
  ULONG from = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ms * c.urbs);
    engine_->FormatRecord(c.ms | stream::kFormatChangedFlag, c.urbs);
    EXPECT_EQ(wave_->GetCopyOffset(), from);
    EXPECT_EQ(wave_->GetDmaPosition(), from);
    std::vector<UCHAR> urb(1920);
    // All but the last URB queued play silence; the last one starts the copy.
    for (ULONG u = 0; u < c.urbs; ++u) {
      std::fill(urb.begin(), urb.end(), 0);
      engine_->Fill(urb.data(), 1920);
      if (u + 1 < c.urbs) {
        ASSERT_EQ(std::count(urb.begin(), urb.end(), 0), 1920);
      } else {
        for (ULONG i = 0; i < 1920; ++i) ASSERT_EQ(urb[i], static_cast<UCHAR>((from + i) % kBuffer48 % 251 + 1));
        from = (from + 1920) % kBuffer48;
      }
    }
    // From the completions on (the client polling the position), the data follows on, a
    // URB ahead of the position.
    for (ULONG u = 0; u < c.urbs; ++u) {
      engine_->Done(1920);
      Position();
      engine_->Fill(urb.data(), 1920);
      for (ULONG i = 0; i < 1920; ++i) ASSERT_EQ(urb[i], static_cast<UCHAR>((from + i) % kBuffer48 % 251 + 1));
      from = (from + 1920) % kBuffer48;
    }
    EXPECT_EQ(wave_->GetDmaPosition(), (from + kBuffer48 - 1920) % kBuffer48);
  }
}

TEST_F(WaveStream, PauseFreezesThePositionThePortSawAndStopResetsIt) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k48}), STATUS_SUCCESS);
  ASSERT_EQ(Open(k48), STATUS_SUCCESS);
  ASSERT_EQ(Run(), STATUS_SUCCESS);
  std::vector<UCHAR> urb(kUrb48);
  for (int i = 0; i < 3; ++i) engine_->Fill(urb.data(), kUrb48);
  engine_->Done(kUrb48);
  engine_->Fill(urb.data(), kUrb48);
  DelayMs(3);
  const ULONG before = Position();
  EXPECT_EQ(before, kUrb48 + 3 * 192);
  ASSERT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(Position(), before);
  // Completions of what was queued come after; they do not move a paused stream.
  engine_->Done(kUrb48);
  engine_->Done(kUrb48);
  DelayMs(30);
  EXPECT_EQ(Position(), before);
  // Running again goes on from what was sent before the pause (a URB past the position),
  // never back.
  ASSERT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(Position(), 2 * kUrb48);
  for (int i = 0; i < 3; ++i) engine_->Fill(urb.data(), kUrb48);
  engine_->Done(kUrb48);
  EXPECT_EQ(Position(), 3 * kUrb48);
  ASSERT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(stream_->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(stream_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(Position(), 0u);
  EXPECT_EQ(port_->notifications.load(), 2u);
}

TEST_F(WaveStream, ARestartInTheMiddleOfAUrbNeverTakesThePositionBack) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k48}), STATUS_SUCCESS);
  ASSERT_EQ(Open(k48), STATUS_SUCCESS);
  ASSERT_EQ(Run(), STATUS_SUCCESS);
  std::vector<UCHAR> urb(kUrb48);
  for (int i = 0; i < 3; ++i) engine_->Fill(urb.data(), kUrb48);
  engine_->Done(kUrb48);
  engine_->Fill(urb.data(), kUrb48);
  DelayMs(3);
  EXPECT_EQ(Position(), kUrb48 + 3 * 192);
  // The engine starts over (a recovery): the URB playing is gone, and the position goes
  // on from what was sent (a URB past it), never back.
  engine_->FormatRecord(5 | stream::kFormatChangedFlag, 3);
  EXPECT_EQ(Position(), 2 * kUrb48);
  DelayMs(3);
  EXPECT_EQ(Position(), 2 * kUrb48);
  for (int i = 0; i < 3; ++i) engine_->Fill(urb.data(), kUrb48);
  engine_->Done(kUrb48);
  EXPECT_EQ(Position(), 3 * kUrb48);
}

TEST_F(WaveStream, Capture22050HzStereoStoresWholeFramesAndWraps) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_CAPTURE, {k22}), STATUS_SUCCESS);
  ASSERT_EQ(Open(k22, true), STATUS_SUCCESS);
  // 50 ms is 1,102.5 frames: the buffer holds the 1,102 whole ones.
  EXPECT_EQ(dma_->AllocatedBufferSize(), 4408u);
  for (ULONG size : {4408u, 4410u, 4402u}) {
    SCOPED_TRACE(size);
    // PortCls may give the channel any size; a partial frame at the end is never written.
    ASSERT_EQ(dma_->AllocateBuffer(size, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    const ULONG usable = size / 4 * 4;
    std::vector<USHORT> samples(220);  // 110 frames, 5 ms
    ULONG next = 0;
    for (ULONG urb = 0; urb < 60; ++urb) {
      for (auto& s : samples) s = static_cast<USHORT>(next++);
      engine_->Captured(samples.data(), 440);
      engine_->Done(440);
    }
    // The last lap of the buffer holds the counter, wrapped at the whole frames.
    const ULONG total = next * 2;
    const ULONG end = total % usable;
    for (ULONG back = 2; back <= usable; back += 2) {
      const ULONG at = (end + usable - back) % usable;
      USHORT v;
      std::memcpy(&v, Buffer() + at, 2);
      ASSERT_EQ(v, static_cast<USHORT>(next - back / 2)) << "offset " << at;
    }
    Stop();
  }
}

// The stream answers IDrmAudioStream and forwards a content id with its rights to the
// engine's DRM interface, returning the engine's status.
TEST_F(WaveStream, ContentIdReachesTheEngineThroughTheStreamsDrmInterface) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k48}), STATUS_SUCCESS);
  ASSERT_EQ(Open(k48), STATUS_SUCCESS);
  PVOID object = nullptr;
  ASSERT_EQ(stream_->QueryInterface(IID_IDrmAudioStream, &object), STATUS_SUCCESS);
  auto* drm = static_cast<IDrmAudioStream*>(object);
  DRMRIGHTS rights{};
  for (NTSTATUS answer : {STATUS_SUCCESS, STATUS_NOT_SUPPORTED}) {
    engine_->contentStatus = answer;
    EXPECT_EQ(drm->SetContentId(0x1234, &rights), answer);
    EXPECT_EQ(engine_->contentId, 0x1234u);
    EXPECT_EQ(engine_->drmRights, &rights);
  }
  drm->Release();
}

// Capture's position: the DMA position already counts the URB being captured; the part
// of it not yet elapsed is taken back in whole frames, never running past the URB.
TEST_F(WaveStream, CapturePositionTakesBackTheUnelapsedPartInWholeFrames) {
  const WAVEFORMATEXTENSIBLE k44_24 = ExtensibleFormat(2, 44100, 24);  // 264.6 bytes a millisecond
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_CAPTURE, {k44_24}), STATUS_SUCCESS);
  ASSERT_EQ(Open(k44_24, true), STATUS_SUCCESS);
  ASSERT_EQ(Run(), STATUS_SUCCESS);
  const ULONG size = dma_->AllocatedBufferSize();
  std::vector<UCHAR> data(1320);  // 220 frames
  engine_->Captured(data.data(), 1320);
  engine_->Done(1320);
  const ULONG dma = wave_->GetDmaPosition();
  struct Step {
    ULONG delayMs;
    ULONG takenBack;
  } steps[] = {
      {0, 1320},  // nothing elapsed: the whole URB
      {1, 1056},  // 264 bytes elapsed: 1,056 is 176 whole frames
      {1, 786},   // 529 elapsed: 791 not yet, of which 131 whole frames
      {8, 0},     // late: the URB's end, never past it
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.takenBack);
    DelayMs(step.delayMs);
    EXPECT_EQ(Position(), (size + dma - step.takenBack) % size);
  }
}

TEST_F(WaveStream, CaptureThroughTheConverterWhileAnotherClientHoldsTheDevice) {
  // The device runs 48 kHz for a higher-priority client; the pin runs 44.1 kHz.
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_CAPTURE, {k48, k44}), STATUS_SUCCESS);
  ASSERT_EQ(Open(k44, true), STATUS_SUCCESS);
  StartOtherClient(k48);
  ASSERT_EQ(Run(), STATUS_SUCCESS);
  EXPECT_EQ(wave_->GetDeviceFormat().Format.nSamplesPerSec, 48000u);
  const ULONG buffer = dma_->AllocatedBufferSize();
  ASSERT_EQ(buffer, 8820u);

  // One second of a 1 kHz sine, 5 ms (240 frames) per URB.
  std::vector<short> urb(480);
  std::vector<short> out;
  ULONG frame = 0;
  ULONG dma = 0;
  ULONG64 positionBytes = 0;
  for (ULONG n = 0; n < 200; ++n) {
    for (ULONG i = 0; i < 240; ++i, ++frame) {
      const short v = static_cast<short>(std::lround(16384.0 * std::sin(2.0 * M_PI * 1000.0 * frame / 48000.0)));
      urb[2 * i] = urb[2 * i + 1] = v;
    }
    const ULONG before = wave_->GetCopyOffset();
    engine_->Captured(urb.data(), 960);
    engine_->Done(960);
    const ULONG after = wave_->GetCopyOffset();
    for (ULONG at = before; at != after; at = (at + 4) % buffer) {
      short s;
      std::memcpy(&s, Buffer() + at, 2);
      out.push_back(s);
    }
    const ULONG now = wave_->GetDmaPosition();
    positionBytes += (now + buffer - dma) % buffer;
    dma = now;
  }
  // The position counts exactly one second of the pin's bytes.
  EXPECT_EQ(positionBytes, 176400u);
  // The converter's delay holds back a few frames, never more than its filters' length.
  EXPECT_LE(out.size(), 44100u);
  EXPECT_GE(out.size(), 44100u - 256);
  // The tone: 1 kHz at 44.1 kHz, by its rising zero crossings after the filters settle.
  std::vector<double> crossings;
  for (size_t i = 1000; i + 1 < out.size(); ++i)
    if (out[i] < 0 && out[i + 1] >= 0) crossings.push_back(i + double(-out[i]) / (out[i + 1] - out[i]));
  ASSERT_GT(crossings.size(), 100u);
  const double period = (crossings.back() - crossings.front()) / (crossings.size() - 1);
  EXPECT_NEAR(44100.0 / period, 1000.0, 0.05);
  Stop();
  StopOtherClient();
}

TEST_F(WaveStream, AnotherClientsUrbsCountAtThePinsOwnRateWithoutDrift) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k44, k48_24}), STATUS_SUCCESS);
  ASSERT_EQ(Open(k44), STATUS_SUCCESS);
  StartOtherClient(k48_24);
  ASSERT_EQ(Run(), STATUS_SUCCESS);
  std::mt19937 random(seed() + 17);
  std::uniform_int_distribution<int> jitter(-2, 2);
  std::vector<UCHAR> urb(2000, 0xEE);
  const ULONG buffer = dma_->AllocatedBufferSize();
  ULONG dma = 0;
  ULONG64 device = 0, client = 0;
  // One minute of URBs of 240 frames give or take two, as feedback sizes them.
  for (ULONG n = 0; n < 12000; ++n) {
    const ULONG bytes = 6 * (240 + jitter(random));
    std::fill(urb.begin(), urb.end(), 0xEE);
    engine_->Fill(urb.data(), bytes);
    // The engine plays the other client's data: nothing is copied.
    ASSERT_EQ(urb[0], 0xEE);
    engine_->Done(bytes);
    device += bytes;
    const ULONG now = wave_->GetDmaPosition();
    client += (now + buffer - dma) % buffer;
    dma = now;
    // Exact to within a millisecond of the pin's bytes at every step: 288,000 device
    // bytes a second against the pin's 176,400.
    const double exact = static_cast<double>(device) * 176400.0 / 288000.0;
    ASSERT_LE(std::fabs(static_cast<double>(client) - exact), 176.4 + 1.0) << "URB " << n;
  }
  EXPECT_EQ(port_->notifications.load(), 12000u);
  Stop();
  StopOtherClient();
}

TEST_F(WaveStream, ChannelAndFormatEdges) {
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k48, k44, k48_8bit}), STATUS_SUCCESS);
  ASSERT_EQ(Open(k48), STATUS_SUCCESS);
  ULONG framing = 0;
  EXPECT_EQ(stream_->SetNotificationFreq(3, &framing), 10u);
  EXPECT_EQ(framing, 1920u);
  LONGLONG position = 192000;
  EXPECT_EQ(stream_->NormalizePhysicalPosition(&position), STATUS_SUCCESS);
  EXPECT_EQ(position, 10000000);
  // 50 ms of the most a high-speed isochronous endpoint carries: 3 x 1024 bytes x 8000.
  EXPECT_EQ(dma_->MaximumBufferSize(), 1228800u);
  dma_->SetBufferSize(20000);  // larger than allocated: ignored
  EXPECT_EQ(dma_->BufferSize(), kBuffer48);
  dma_->SetBufferSize(4800);
  EXPECT_EQ(dma_->BufferSize(), 4800u);
  EXPECT_EQ(dma_->AllocatedBufferSize(), kBuffer48);

  // Copies outside the buffer are skipped.
  UCHAR data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  dma_->CopyTo(Buffer() + 4800 - 8, data, 16);  // past the set size
  dma_->CopyTo(Buffer() + 4800 - 16, data, 16);
  UCHAR back[16] = {};
  dma_->CopyFrom(back, Buffer() + 4800 - 16, 16);
  dma_->CopyFrom(back, Buffer() + 4800 - 8, 16);  // past the set size
  KeLowerIrql(old);
  EXPECT_EQ(std::memcmp(back, data, 16), 0);
  EXPECT_EQ(Buffer()[4800], 0);

  // SetFormat: refused in RUN, nothing for the same format, a new buffer for another.
  ASSERT_EQ(Run(), STATUS_SUCCESS);
  std::vector<BYTE> other = filters_test::DataFormatOf(k44);
  EXPECT_EQ(stream_->SetFormat(reinterpret_cast<PKSDATAFORMAT>(other.data())), STATUS_UNSUCCESSFUL);
  Stop();
  std::vector<BYTE> same = filters_test::DataFormatOf(k48);
  EXPECT_EQ(stream_->SetFormat(reinterpret_cast<PKSDATAFORMAT>(same.data())), STATUS_SUCCESS);
  EXPECT_EQ(dma_->AllocatedBufferSize(), kBuffer48);
  EXPECT_EQ(stream_->SetFormat(reinterpret_cast<PKSDATAFORMAT>(other.data())), STATUS_SUCCESS);
  EXPECT_EQ(dma_->AllocatedBufferSize(), 8820u);
  std::vector<BYTE> eight = filters_test::DataFormatOf(k48_8bit);
  EXPECT_EQ(stream_->SetFormat(reinterpret_cast<PKSDATAFORMAT>(eight.data())), STATUS_SUCCESS);
  // Silence of an 8-bit stream is the mid value.
  stream_->Silence(Buffer(), 100);
  EXPECT_EQ(Buffer()[0], 0x80);
  EXPECT_EQ(Buffer()[99], 0x80);
  EXPECT_EQ(Buffer()[100], 0);
  std::vector<BYTE> bad = filters_test::DataFormatOf(ExtensibleFormat(2, 32000, 16));
  EXPECT_EQ(stream_->SetFormat(reinterpret_cast<PKSDATAFORMAT>(bad.data())), STATUS_INVALID_PARAMETER);
}

// Every format the filter offers opens with its 50 ms buffer, up to the largest a USB
// isochronous endpoint can carry; a format beyond that is neither offered nor opened.
TEST_F(WaveStream, EveryOfferedFormatOpensWithItsWholeBuffer) {
  struct Case {
    const char* name;
    WAVEFORMATEXTENSIBLE format;
    bool offered;
  } cases[] = {
      {"10 ch / 192 kHz / 32-bit", ExtensibleFormat(10, 192000, 32), true},
      {"24 ch / 96 kHz / 32-bit", ExtensibleFormat(24, 96000, 32), true},
      {"8 ch / 384 kHz / 32-bit", ExtensibleFormat(8, 384000, 32), true},
      {"48 ch / 48 kHz / 24-bit", ExtensibleFormat(48, 48000, 24), true},
      {"32 ch / 192 kHz / 32-bit: all an endpoint carries", ExtensibleFormat(32, 192000, 32), true},
      {"40 ch / 192 kHz / 32-bit: beyond any endpoint", ExtensibleFormat(40, 192000, 32), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {k48, c.format}), STATUS_SUCCESS);
    const KSDATARANGE_AUDIO& pcm = miniport_->GetDataRanges()[0];
    EXPECT_EQ(pcm.MaximumChannels == c.format.Format.nChannels, c.offered);
    if (c.offered) {
      ASSERT_EQ(Open(c.format), STATUS_SUCCESS);
      const ULONG block = c.format.Format.nBlockAlign;
      EXPECT_EQ(dma_->AllocatedBufferSize(), c.format.Format.nAvgBytesPerSec / 20 / block * block);
      EXPECT_LE(dma_->AllocatedBufferSize(), dma_->MaximumBufferSize());
    } else {
      EXPECT_EQ(Open(c.format), STATUS_INVALID_PARAMETER);
    }
    Teardown();
  }
}

// SetFormat compares what the engine plays: the same format as plain PCM or extensible is
// no change (the buffer stays), and a new sub-format, valid width or channel mask is a
// change that is made.
TEST_F(WaveStream, SetFormatChangesWhatPlays) {
  const WAVEFORMATEXTENSIBLE pcm32 = ExtensibleFormat(2, 48000, 32);
  const WAVEFORMATEXTENSIBLE float32 = ExtensibleFormat(2, 48000, 32, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
  const WAVEFORMATEXTENSIBLE valid24 = ExtensibleFormat(2, 48000, 32, KSDATAFORMAT_SUBTYPE_PCM, 24);
  WAVEFORMATEXTENSIBLE sides = pcm32;
  sides.dwChannelMask = SPEAKER_SIDE_LEFT | SPEAKER_SIDE_RIGHT;
  ASSERT_EQ(Build(adapter::STREAM_DIRECTION_RENDER, {pcm32, float32, valid24, sides}), STATUS_SUCCESS);
  ASSERT_EQ(Open(pcm32), STATUS_SUCCESS);
  struct Case {
    const char* name;
    std::vector<BYTE> format;
    bool changes;
    GUID subFormat;
    WORD validBits;
  } cases[] = {
      {"the same extensible format", filters_test::DataFormatOf(pcm32), false, KSDATAFORMAT_SUBTYPE_PCM, 32},
      {"float at the same rate and width", filters_test::DataFormatOf(float32), true,
       KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 32},
      {"back to PCM", filters_test::DataFormatOf(pcm32), true, KSDATAFORMAT_SUBTYPE_PCM, 32},
      {"24 valid bits", filters_test::DataFormatOf(valid24), true, KSDATAFORMAT_SUBTYPE_PCM, 24},
      {"another channel mask", filters_test::DataFormatOf(sides), true, KSDATAFORMAT_SUBTYPE_PCM, 32},
      {"back to PCM", filters_test::DataFormatOf(pcm32), true, KSDATAFORMAT_SUBTYPE_PCM, 32},
      {"the same format as plain PCM", PlainDataFormat(WAVE_FORMAT_PCM, pcm32), false, KSDATAFORMAT_SUBTYPE_PCM,
       32},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    Buffer()[0] = 0x5A;  // a new buffer comes zeroed
    ASSERT_EQ(stream_->SetFormat(reinterpret_cast<PKSDATAFORMAT>(c.format.data())), STATUS_SUCCESS);
    EXPECT_EQ(Buffer()[0] == 0x5A, !c.changes);
    EXPECT_TRUE(IsEqualGUID(wave_->GetClientFormat().SubFormat, c.subFormat));
    EXPECT_EQ(wave_->GetClientFormat().Samples.wValidBitsPerSample, c.validBits);
  }
}

}  // namespace
