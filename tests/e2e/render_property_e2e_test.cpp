// A render pin through PortCls and the engine client, on a UAC 1.0 speaker offering 22.05,
// 44.1 and 48 kHz at 16 and 24 bits with 1, 2 and 6 channels, driven by a random sequence
// (from the run's seed) of RUN, PAUSE, ACQUIRE and STOP at random instants, while a
// higher-priority client at another rate prepares, starts, stops and unprepares (or
// leaves without starting) with random hold lengths. Every frame the device receives in
// the pin's format is silence or one whole client frame, each past the one before it
// since the last STOP: no shifted sample, no repeat, no data from a lap ahead. Whichever
// client heads the running list (and is not held by a prepared client) is sent its own
// format soon after every change.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <random>
#include <vector>

#include "kernel/clock.h"
#include "wave_e2e_fixture.h"

namespace {

using platform::testing::DelayMs;

constexpr UCHAR kEndpoint = iso_test::kRenderEndpoint;
constexpr ULONG kRates[] = {22050, 44100, 48000};
constexpr std::uint32_t kChannelStep = 4099;  // channel c holds frame + c x this

struct Layout {
  WORD channels, bits;
};
constexpr Layout kLayouts[] = {{1, 16}, {2, 16}, {6, 16}, {1, 24}, {2, 24}, {6, 24}};

// Sample c of client frame f: the frame count offset by the channel, in the resolution.
std::uint32_t Sample(std::uint64_t frame, ULONG channel, ULONG bits) {
  return static_cast<std::uint32_t>((frame + channel * std::uint64_t{kChannelStep}) & ((1ull << bits) - 1));
}

VOID IgnoreRecords(PVOID, PVOID, PVOID) {}

class RenderProperty : public wave_e2e::WaveEndToEnd {
 protected:
  struct Packet {
    std::uint8_t alternate;
    std::uint32_t rate, frameBytes;
    std::vector<std::uint8_t> bytes;
  };

  void SetUp() override {
    WaveEndToEnd::SetUp();
    // What follows from the sequence by design: silence (underruns, missed packets and a
    // standing position) while the device changes hands or waits for a held client, and
    // the device's counter watch breaking where the pin's data resumes further on.
    for (const char* f : {"underrun", "missed packets", "pattern break", "overrun"}) ExpectStreamFinding(f, "device");
    for (const char* f : {"position stalled", "missed notification"}) ExpectStreamFinding(f, "engine");
  }

  NTSTATUS StartSpeaker() {
    std::vector<iso_test::AltSpec> render;
    for (const Layout& l : kLayouts) {
      iso_test::AltSpec a;
      a.channels = static_cast<UCHAR>(l.channels);
      a.subframe = static_cast<UCHAR>(l.bits / 8);
      a.bits = static_cast<UCHAR>(l.bits);
      a.rates = {std::begin(kRates), std::end(kRates)};
      render.push_back(a);
    }
    sim::device::DeviceProfile profile;
    profile.render_tap = [this](const sim::device::RenderPacket& p) {
      if (p.endpoint != kEndpoint) return;
      std::lock_guard lock(mutex_);
      packets_.push_back({p.alternate, p.rate, p.frame_bytes,
                          std::vector<std::uint8_t>(p.data, p.data + p.frames * p.frame_bytes)});
    };
    return StartDevice(render, {iso_test::AltSpec{}}, false, std::move(profile));
  }

  // The render engine's own format of the layout and rate (40 bytes as it offers them).
  WAVEFORMATEXTENSIBLE EngineFormat(const Layout& l, ULONG rate) {
    for (ULONG i = 0; i < Render()->GetFormatRecordCount(); ++i) {
      const WAVEFORMATEXTENSIBLE& f = Render()->GetFormatRecord(i)->Format;
      if (f.Format.nChannels == l.channels && f.Format.wBitsPerSample == l.bits && f.Format.nSamplesPerSec == rate)
        return f;
    }
    ADD_FAILURE() << "no format of " << l.channels << " channels, " << l.bits << " bits at " << rate << " Hz";
    return {};
  }

  size_t PacketCount() {
    std::lock_guard lock(mutex_);
    return packets_.size();
  }
  // The rate of the last packet the device received, 0 when none came since `from`.
  ULONG LastRateSince(size_t from) {
    std::lock_guard lock(mutex_);
    return packets_.size() > from ? packets_.back().rate : 0;
  }

  // Checks every frame of the pin's format: silence, or a whole client frame past the one
  // before it; a STOP (a mark) starts the count again.
  // `played`: the pin headed the running list long enough that data must have come.
  void CheckPinData(const WAVEFORMATEXTENSIBLE& pin, const std::vector<size_t>& stops, bool played) {
    std::lock_guard lock(mutex_);
    const ULONG channels = pin.Format.nChannels, bits = pin.Format.wBitsPerSample, sub = bits / 8;
    const std::uint32_t mask = static_cast<std::uint32_t>((1ull << bits) - 1);
    std::int64_t last = -1;  // the last client frame, unwrapped
    size_t stop = 0, frames = 0;
    for (size_t i = 0; i < packets_.size(); ++i) {
      while (stop < stops.size() && stops[stop] <= i) {
        ++stop;
        last = -1;
      }
      const Packet& p = packets_[i];
      if (p.rate != pin.Format.nSamplesPerSec || p.frameBytes != pin.Format.nBlockAlign) continue;
      for (size_t at = 0; at + p.frameBytes <= p.bytes.size(); at += p.frameBytes) {
        std::uint32_t s[8] = {};
        bool silent = true;
        for (ULONG c = 0; c < channels; ++c) {
          for (ULONG b = 0; b < sub; ++b) s[c] |= std::uint32_t{p.bytes[at + c * sub + b]} << (8 * b);
          silent &= s[c] == 0;
        }
        if (silent) continue;
        for (ULONG c = 1; c < channels; ++c)
          ASSERT_EQ(s[c], (s[0] + c * kChannelStep) & mask)
              << "packet " << i << ": a frame that is no client frame (a shifted sample), channel " << c;
        std::int64_t frame = s[0];
        if (last >= 0) {
          const std::uint32_t step = (s[0] - static_cast<std::uint32_t>(last)) & mask;
          // More than half the count's range forward is a step back: a repeat, or the
          // return from data a lap ahead.
          ASSERT_TRUE(step != 0 && step < (mask >> 1))
              << "packet " << i << ": frame " << s[0] << " after frame " << (last & mask);
          frame = last + step;
        }
        last = frame;
        ++frames;
      }
    }
    if (played) {
      EXPECT_GT(frames, 0u);
    }
  }

  std::mutex mutex_;
  std::vector<Packet> packets_;
};

TEST_F(RenderProperty, RandomStatesAndHandOversKeepTheDataWholeAndInOrder) {
  std::mt19937_64 rng(platform::testing::RunSeed() * 0x9E3779B97F4A7C15ull + 68);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  UseExactTiming();
  ASSERT_EQ(StartSpeaker(), STATUS_SUCCESS);
  InstallSubdevices();
  const Layout pinLayout = kLayouts[pick(std::size(kLayouts))];
  const ULONG pinRate = kRates[pick(std::size(kRates))];
  ULONG otherRate = kRates[pick(std::size(kRates))];
  if (otherRate == pinRate) otherRate = kRates[(std::find(std::begin(kRates), std::end(kRates), pinRate) - kRates + 1) % 3];
  const WAVEFORMATEXTENSIBLE pin = EngineFormat(pinLayout, pinRate);
  const WAVEFORMATEXTENSIBLE other = EngineFormat(kLayouts[pick(std::size(kLayouts))], otherRate);
  SCOPED_TRACE(testing::Message() << "pin " << pinLayout.channels << " x " << pinLayout.bits << " bits at " << pinRate
                                  << " Hz, other client at " << otherRate << " Hz");

  auto filter = OpenFilter(u"SPKOut00Wave");
  ASSERT_TRUE(filter);
  sim::engine::StreamOptions options;
  const ULONG channels = pinLayout.channels, sub = pinLayout.bits / 8, bits = pinLayout.bits;
  options.clientSignal = [channels, sub, bits](ULONG64 firstByte, BYTE* out, ULONG bytes) {
    for (ULONG i = 0; i < bytes; ++i) {
      const ULONG64 byte = firstByte + i;
      const ULONG64 sample = byte / sub;
      out[i] = static_cast<BYTE>(Sample(sample / channels, static_cast<ULONG>(sample % channels), bits) >>
                                 (8 * (byte % sub)));
    }
  };
  std::unique_ptr<sim::engine::Stream> stream;
  ASSERT_EQ(OpenStream(*filter, pin, options, &stream), STATUS_SUCCESS);

  stream::CUsbStreamEngine* engine = Render();
  KSSTATE state = KSSTATE_STOP;
  enum class Other { Off, Registered, Prepared, Running } otherState = Other::Off;
  stream::PSTREAMCLIENTRECORD otherRecord = nullptr;
  std::vector<size_t> stops;
  ULONG headedMs = 0;  // time the pin spent at the head

  // The pin's next state: one step along STOP, ACQUIRE, PAUSE, RUN, RUN most likely.
  auto nextPinState = [&]() -> KSSTATE {
    switch (state) {
      case KSSTATE_STOP: return KSSTATE_ACQUIRE;
      case KSSTATE_ACQUIRE: return pick(4) ? KSSTATE_PAUSE : KSSTATE_STOP;
      case KSSTATE_PAUSE: return pick(4) ? KSSTATE_RUN : KSSTATE_ACQUIRE;
      default: return KSSTATE_PAUSE;
    }
  };
  for (int step = 0; step < 24; ++step) {
    const size_t before = PacketCount();
    bool pinHeads = false, otherHeads = false;
    if (pick(3) != 0) {
      const KSSTATE next = nextPinState();
      if (next == KSSTATE_STOP) stops.push_back(PacketCount());
      ASSERT_EQ(stream->SetState(next), STATUS_SUCCESS) << "step " << step << " to state " << next;
      state = next;
    } else {
      ULONG ms = 0, frame = 0;
      switch (otherState) {
        case Other::Registered:  // not kept: registration and prepare go together
        case Other::Off:
          ASSERT_EQ(engine->RegisterClient(stream::kAsioClientPriority, &other, 5, 3, IgnoreRecords, nullptr, &otherRecord),
                    STATUS_SUCCESS);
          ASSERT_EQ(engine->PrepareClient(otherRecord->Key, &ms, &frame), STATUS_SUCCESS);
          otherState = Other::Prepared;
          break;
        case Other::Prepared:
          if (pick(3)) {
            // A few frames on, as the ASIO client starts after its prepare.
            ASSERT_EQ(engine->StartClient(otherRecord->Key, bus().CurrentFrame() + 5, &ms, nullptr), STATUS_SUCCESS);
            otherState = Other::Running;
          } else {
            // Leaves without starting.
            ASSERT_EQ(engine->UnprepareClient(otherRecord->Key), STATUS_SUCCESS);
            ASSERT_EQ(engine->UnregisterClient(otherRecord->Key), STATUS_SUCCESS);
            otherState = Other::Off;
          }
          break;
        default:
          ASSERT_EQ(engine->StopClient(otherRecord->Key, nullptr), STATUS_SUCCESS);
          ASSERT_EQ(engine->UnprepareClient(otherRecord->Key), STATUS_SUCCESS);
          ASSERT_EQ(engine->UnregisterClient(otherRecord->Key), STATUS_SUCCESS);
          otherState = Other::Off;
          break;
      }
    }
    otherHeads = otherState == Other::Running;
    pinHeads = !otherHeads && otherState != Other::Prepared && state == KSSTATE_RUN;
    // A random hold, from inside a URB to several of them.
    const ULONG hold = 1 + static_cast<ULONG>(pick(60));
    DelayMs(hold);
    if (pinHeads) headedMs += hold;
    // The client at the head is sent its own format within two URBs (and the few frames
    // a restart starts ahead).
    if ((pinHeads || otherHeads) && hold >= 20) {
      EXPECT_EQ(LastRateSince(before), otherHeads ? otherRate : pinRate) << "step " << step << " after " << hold << " ms";
    }
  }
  if (otherState == Other::Running) engine->StopClient(otherRecord->Key, nullptr);
  if (otherState != Other::Off) {
    engine->UnprepareClient(otherRecord->Key);
    engine->UnregisterClient(otherRecord->Key);
  }
  EXPECT_EQ(stream->Stop(), STATUS_SUCCESS);
  stream.reset();
  filter.reset();
  CheckPinData(pin, stops, headedMs >= 40);
}

}  // namespace
