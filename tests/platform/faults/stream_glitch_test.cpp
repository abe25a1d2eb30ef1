// A glitch is a finding: the simulated device reports an underrun inside a running stream
// as a stream finding, with its time, the engine client a position that leaves what the
// device played, and the kernel fixture fails a test on findings it did not declare.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "headset_client.h"
#include "installed.h"
#include "kernel/clock.h"
#include "kernel/verifier.h"
#include "sim/engine/engine.h"
#include "support/kernel_fixture.h"
#include "support/wave_formats.h"

namespace {

using namespace planted;

// ---------------------------------------------------------------------------------------
// A glitch is a finding: two URBs stream to the headset; in the faulty run the driver
// resubmits one URB late (from a timer, after a completion it handled slowly), and the
// device's FIFO runs dry. The device reports the underrun, with its time, as a stream
// finding; the correct run streams without one.

// The driver side of a render stream from the engine client to the headset, when a test
// has one: each URB carries the next 1760 bytes of the cyclic buffer (ten packets of 44
// frames), and the position is what the URBs submitted so far put on the bus by the
// current frame, counted as a naive driver counts it: from the first URB's start frame,
// ten frames per URB submitted, whether its packets ran or came too late.
struct EngineFeed {
  const BYTE* buffer = nullptr;
  ULONG size = 0;
  ULONG64 filled = 0;  // bytes handed to URBs
  std::atomic<unsigned> submitted{0};
  std::atomic<bool> started{false};
  std::atomic<bool> frozen{false};
  std::atomic<ULONG64> last{0};
  ULONG origin = 0;  // start frame of the first URB
  platform::usb::HostController* bus = nullptr;
  fakes::FakeStream* stream = nullptr;

  ULONG64 PositionBytes() {
    if (!started || frozen) return last;
    const auto frames = static_cast<std::int32_t>(bus->CurrentFrame() - origin);
    const ULONG64 packets = std::min<ULONG64>(frames > 0 ? static_cast<ULONG64>(frames) : 0, 10ull * submitted);
    last = packets * 44 * 4;
    return last;
  }
};

struct LateSlot {
  EngineFeed* feed = nullptr;
  HeadsetClient* client = nullptr;
  PURB urb = nullptr;
  UCHAR* buffer = nullptr;
  PIRP irp = nullptr;
  LONGLONG lateMs = 0;      // resubmit this late once, at the completion number `lateAt`
  int lateAt = -1;
  int completions = 0;
  bool stop = false;
  LONGLONG lateTime = -1;   // when the late completion came
  // Resubmission in order (the engine variant): while this slot holds its late URB, the
  // other slot's completion waits behind it, as completions handled in sequence do.
  LateSlot* other = nullptr;
  bool holding = false;
  bool deferred = false;
  KTIMER timer;
  KDPC dpc;
  Waiter idle;

  void Submit() {
    IoReuseIrp(irp, STATUS_SUCCESS);
    auto& r = urb->UrbIsochronousTransfer;
    r.Hdr.Status = 0;
    r.StartFrame = 0;
    for (ULONG i = 0; i < 10; ++i) r.IsoPacket[i].Status = 0;
    if (feed) {
      for (ULONG i = 0; i < 1760; ++i) buffer[i] = feed->buffer[(feed->filled + i) % feed->size];
      feed->filled += 1760;
      ++feed->submitted;
    }
    client->Prepare(irp, urb, Done, this);
    IofCallDriver(client->port->pdo(), irp);
    if (feed && !feed->started) {
      feed->origin = r.StartFrame;
      feed->started = true;
    }
  }
  static void Late(PKDPC, PVOID context, PVOID, PVOID) {
    auto* s = static_cast<LateSlot*>(context);
    s->holding = false;
    s->Submit();
    // In order: the other URB's resubmission waited behind this one.
    if (s->other && s->other->deferred) {
      s->other->deferred = false;
      s->other->Submit();
    }
  }
  static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* s = static_cast<LateSlot*>(context);
    const int n = s->completions++;
    if (s->feed) s->feed->stream->Notify();
    if (s->stop || !NT_SUCCESS(irp->IoStatus.Status)) {
      KeSetEvent(&s->idle.event, IO_NO_INCREMENT, FALSE);
    } else if (s->other && s->other->holding) {
      s->deferred = true;
    } else if (n == s->lateAt) {
      s->holding = s->other != nullptr;
      s->lateTime = platform::clock::Now();
      LARGE_INTEGER due;
      due.QuadPart = -s->lateMs * platform::clock::kTicksPerMillisecond;
      KeSetTimer(&s->timer, due, &s->dpc);
    } else {
      s->Submit();
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

// Streams 300 ms; returns the device's findings and the time of the late completion.
std::vector<platform::verifier::StreamFinding> StreamWithLateResubmit(LONGLONG lateMs, LONGLONG* lateTime) {
  HeadsetClient c;
  LateSlot slots[2];
  for (auto& s : slots) {
    s.client = &c;
    s.urb = c.IsoUrb(&s.buffer);
    s.irp = c.Irp();
    KeInitializeTimer(&s.timer);
    KeInitializeDpc(&s.dpc, LateSlot::Late, &s);
  }
  slots[0].lateMs = lateMs;
  slots[0].lateAt = lateMs ? 5 : -1;
  for (auto& s : slots) s.Submit();
  platform::clock::SleepFor(300 * platform::clock::kTicksPerMillisecond);
  for (auto& s : slots) {
    s.stop = true;
    IoCancelIrp(s.irp);
  }
  for (auto& s : slots) {
    s.idle.Wait();
    IoFreeIrp(s.irp);
    ExFreePoolWithTag(s.urb, kTag);
    ExFreePoolWithTag(s.buffer, kTag);
  }
  *lateTime = slots[0].lateTime;
  return platform::verifier::TakeStreamFindings();
}

// The same streams fed from the engine client's render stream (the fake wave filter's
// cyclic buffer, 48 kHz 16-bit stereo as the engine sees it, sent to the 44.1 kHz
// headset at 44 frames a packet). The engine checks its position against the frames the
// device consumed; notifications come with the URBs, so the engine's period is 20 ms.
// The driver resubmits in order, and once `pastSlotMs` after its slot (with a 1 ms timer
// resolution): the completion comes as the URB's last frame ends (or a few frames later,
// batched) and the other URB plays 10 ms more, so the late one goes out 10 + pastSlotMs
// after the completion, the other's resubmission behind it. Streams 300 ms;
// returns every finding and the time of the late completion.
std::vector<platform::verifier::StreamFinding> EngineStreamWithLateResubmit(LONGLONG pastSlotMs, LONGLONG* lateTime,
                                                                            bool* engineFinding) {
  ExSetTimerResolution(10'000, TRUE);
  HeadsetClient c;
  fakes::InstalledDevice dev(0, false);
  std::unique_ptr<sim::engine::FilterClient> wave;
  for (const auto& info : sim::engine::EnumerateFilters())
    if (info.device == dev.device && info.name == dev.waveName) sim::engine::FilterClient::Open(info, &wave);
  EXPECT_NE(wave, nullptr);
  if (!wave) return {};
  const KSDATARANGE_AUDIO wanted = platform::testing::PcmDataRange(2, 16, 8000, 48000);
  std::vector<BYTE> format;
  EXPECT_EQ(wave->Intersect(fakes::FakeWaveMiniport::kStreamingPin, wanted, &format), STATUS_SUCCESS);
  sim::engine::StreamOptions options;
  options.periodBytes = 3840;  // 20 ms
  options.deviceFrames = [&c] { return c.device->render_stats(0x01).consumed_frames; };
  options.deviceFifoFrames = c.device->fifo_start_frames(0x01);
  std::unique_ptr<sim::engine::Stream> stream;
  EXPECT_EQ(wave->OpenStream(fakes::FakeWaveMiniport::kStreamingPin, format, options, &stream), STATUS_SUCCESS);
  if (!stream) return {};
  EngineFeed feed;
  feed.stream = dev.wave->stream;
  feed.buffer = static_cast<const BYTE*>(feed.stream->SystemAddress());
  feed.size = feed.stream->BufferSize();
  feed.bus = &c.port->controller();
  feed.stream->positionSource = [&feed] { return feed.PositionBytes(); };
  EXPECT_EQ(stream->Start(), STATUS_SUCCESS);

  LateSlot slots[2];
  for (auto& s : slots) {
    s.feed = &feed;
    s.client = &c;
    s.urb = c.IsoUrb(&s.buffer);
    s.irp = c.Irp();
    KeInitializeTimer(&s.timer);
    KeInitializeDpc(&s.dpc, LateSlot::Late, &s);
  }
  slots[0].lateMs = pastSlotMs ? 10 + pastSlotMs : 0;
  slots[0].lateAt = pastSlotMs ? 5 : -1;
  slots[0].other = &slots[1];
  slots[1].other = &slots[0];
  for (auto& s : slots) s.Submit();
  platform::clock::SleepFor(300 * platform::clock::kTicksPerMillisecond);
  // The driver stops: its position stands, the engine leaves RUN, the URBs end.
  feed.PositionBytes();
  feed.frozen = true;
  EXPECT_EQ(stream->Stop(), STATUS_SUCCESS);
  for (auto& s : slots) {
    s.stop = true;
    IoCancelIrp(s.irp);
  }
  for (auto& s : slots) {
    s.idle.Wait();
    IoFreeIrp(s.irp);
    ExFreePoolWithTag(s.urb, kTag);
    ExFreePoolWithTag(s.buffer, kTag);
  }
  *engineFinding = stream->Has(sim::engine::Issue::PositionOffDevice);
  feed.stream->positionSource = nullptr;
  stream.reset();
  wave.reset();
  ExSetTimerResolution(0, FALSE);
  *lateTime = slots[0].lateTime;
  return platform::verifier::TakeStreamFindings();
}

std::string Listed(const std::vector<platform::verifier::StreamFinding>& findings) {
  std::string all;
  for (const auto& f : findings) all += f.source + ": " + f.kind + ": " + f.detail + "\n";
  return all;
}

class GlitchFindings : public platform::testing::KernelTest {};

TEST_F(GlitchFindings, AUrbResubmittedLateIsADeviceUnderrunAtItsTime) {
  LONGLONG late = -1;
  const auto findings = StreamWithLateResubmit(5, &late);
  ASSERT_GE(late, 0);
  const platform::verifier::StreamFinding* underrun = nullptr;
  std::string all;
  for (const auto& f : findings) {
    all += f.source + ": " + f.kind + ": " + f.detail + "\n";
    if (!underrun && f.kind == "underrun" && f.source.rfind("device", 0) == 0) underrun = &f;
  }
  ASSERT_NE(underrun, nullptr) << all;
  // The FIFO ran dry after the late completion and before the resubmitted URB could play.
  EXPECT_GE(underrun->time, late) << all;
  EXPECT_LE(underrun->time, late + 15 * platform::clock::kTicksPerMillisecond) << all;
  EXPECT_NE(underrun->detail.find("frames"), std::string::npos);
}

TEST_F(GlitchFindings, TwoUrbsResubmittedInTimeStreamWithoutAFinding) {
  const unsigned count = seed() == 0 ? 50 : 5;
  std::string first;
  const auto loud = platform::testing::SeedsWhere(seed() * 1000, count, [&] {
    LONGLONG late = -1;
    const auto findings = StreamWithLateResubmit(0, &late);
    if (!findings.empty() && first.empty()) first = findings.front().source + ": " + findings.front().detail;
    return !findings.empty();
  });
  EXPECT_TRUE(loud.empty()) << loud.size() << " of " << count << " seeds, first: " << first;
}

// The late-resubmit scenario with the engine client above, the URB 5 ms past its slot:
// the device under-runs at the time of the late URB (and notes its late packets and the break in the counter signal
// it was receiving), and the engine finds its position running ahead of what the device
// played. In time, the same stream gives no finding, under any seed.
TEST_F(GlitchFindings, ALateUrbUnderTheEngineIsADeviceUnderrunAtItsTimeAndAnEngineFinding) {
  LONGLONG late = -1;
  bool engine = false;
  const auto findings = EngineStreamWithLateResubmit(5, &late, &engine);
  ASSERT_GE(late, 0);
  const platform::verifier::StreamFinding* underrun = nullptr;
  bool lateSeen = false, engineSeen = false;
  for (const auto& f : findings) {
    if (!underrun && f.kind == "underrun" && f.source.rfind("device", 0) == 0) underrun = &f;
    lateSeen = lateSeen || f.kind == "late packets";
    engineSeen = engineSeen || (f.source.rfind("engine", 0) == 0 && f.kind == "position off the device");
  }
  ASSERT_NE(underrun, nullptr) << Listed(findings);
  // The FIFO ran dry once the other URB had played: 10 ms after the late URB's slot
  // ended, which its completion followed by up to three frames (batched).
  EXPECT_GE(underrun->time, late + 6 * platform::clock::kTicksPerMillisecond) << Listed(findings);
  EXPECT_LE(underrun->time, late + 16 * platform::clock::kTicksPerMillisecond) << Listed(findings);
  EXPECT_TRUE(lateSeen) << Listed(findings);
  EXPECT_TRUE(engineSeen && engine) << Listed(findings);
}

TEST_F(GlitchFindings, TheEngineStreamingInTimeToTheDeviceGivesNoFinding) {
  const unsigned count = seed() == 0 ? 20 : 3;
  std::string first;
  const auto loud = platform::testing::SeedsWhere(seed() * 1000, count, [&] {
    LONGLONG late = -1;
    bool engine = false;
    const auto findings = EngineStreamWithLateResubmit(0, &late, &engine);
    if (!findings.empty() && first.empty()) first = Listed(findings);
    return !findings.empty();
  });
  EXPECT_TRUE(loud.empty()) << loud.size() << " of " << count << " seeds, first seed " << loud.front() << ":\n"
                            << first;
}

}  // namespace

namespace {

// The fixture's teardown fails a test on each stream finding it did not declare, whatever
// its kind, and lets a declared one pass (narrowed by its source).
class UndeclaredFindings : public platform::testing::KernelTest {
 protected:
  void TearDown() override {
    EXPECT_NONFATAL_FAILURE(KernelTest::TearDown(), "stream finding not declared by the test: device endpoint 0x01: "
                                                    "missed packets");
  }
};

TEST_F(UndeclaredFindings, FailTheTestAtTeardown) {
  ExpectStreamFinding("missed packets", "engine");  // another source: does not declare the device's
  ExpectStreamFinding("late packets", "device");
  platform::verifier::ReportStreamFinding({"device endpoint 0x01", "late packets", 0, "declared"});
  platform::verifier::ReportStreamFinding({"device endpoint 0x01", "missed packets", 0, "not declared"});
}

}  // namespace
