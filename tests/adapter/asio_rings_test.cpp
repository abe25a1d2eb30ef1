// The ASIO ring geometry as tables: bytes per sample, ring data size against 40 ms of
// whole frames, the URB sizing of a period (against a direct reading of its rule), the
// render start and lead, the stream format a ring asks an engine for, and the check of a
// CreateBuffers request's input.
#include "adapter/asio_rings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "adapter/object_model.h"
#include "support/kernel_fixture.h"
#include "support/wave_formats.h"

namespace {

using namespace adapter;
using platform::testing::ExtensibleFormat;

TEST(AsioRings, BytesPerSampleOfEachSampleType) {
  const struct {
    ULONG type, bytes;
  } rows[] = {{16, 2}, {17, 3}, {18, 4}, {24, 4}, {25, 4}, {26, 4}, {27, 4}, {0, 0}, {19, 0}, {33, 0}, {28, 0}};
  for (const auto& r : rows) EXPECT_EQ(AsioBytesPerSample(r.type), r.bytes) << r.type;
}

TEST(AsioRings, DataSizeIsFortyMillisecondsOfWholeFrames) {
  const struct {
    ULONG mode, rate, channels, bytes, size;
  } rows[] = {
      {kAsioModePcm, 48000, 2, 2, 7680},
      {kAsioModePcm, 48000, 2, 3, 11520},
      {kAsioModePcm, 44100, 2, 2, 7056},
      {kAsioModePcm, 44100, 3, 3, 15876},   // 1764 frames of 9 bytes
      {kAsioModePcm, 22050, 1, 2, 1764},
      {kAsioModePcm, 11025, 3, 3, 3969},    // 441 frames: 11025 x 9 x 40 / 1000 = 3969
      {kAsioModeDsd, 2822400, 2, 8, 28224},  // 44100 x 16 x 0.04
      {kAsioModeDsd, 5644800, 2, 8, 56448},
      {kAsioModePcm, 48000, 0, 2, 0},
      {kAsioModeDsd, 2822400, 0, 8, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.mode << " " << r.rate << " Hz " << r.channels << " ch " << r.bytes);
    const ULONG size = AsioRingDataSize(r.mode, r.rate, r.channels, r.bytes);
    EXPECT_EQ(size, r.size);
    // The oracle: whole frames, at most 40 ms, less than one frame short of it.
    const ULONGLONG frame = ULONGLONG{r.channels} * (r.mode == kAsioModeDsd ? 8 : r.bytes);
    if (!frame) continue;
    const double exact = (r.mode == kAsioModeDsd ? r.rate / 64.0 : r.rate) * frame * 0.040;
    EXPECT_EQ(size % frame, 0u);
    EXPECT_LE(size, exact + 1e-6);
    EXPECT_GT(size + frame, exact);
  }
}

TEST(AsioRings, SizingFollowsThePeriodInMilliseconds) {
  // Every period from 0 to 3000 frames at the usual units per ms, against the rule read
  // directly: ms >= 20 -> 5 ms URBs (at most 5), >= 16 -> 4 ms, >= 8 -> 2 ms, else 1 ms.
  for (ULONG units : {1u, 44u, 48u, 96u, 192u}) {
    for (ULONG frames = 0; frames <= 3000; ++frames) {
      const AsioStreamSizing s = SizeAsioStream(frames, units);
      const ULONG ms = frames / units < 2 ? 2 : frames / units;
      const ULONG perUrb = ms >= 20 ? 5 : ms >= 16 ? 4 : ms >= 8 ? 2 : 1;
      ASSERT_EQ(s.MsPerUrb, perUrb) << frames << " / " << units;
      ASSERT_EQ(s.Count, perUrb == 5 ? std::min(ms / 5, 5u) : ms / perUrb) << frames << " / " << units;
      ASSERT_EQ(s.UrbsInFlight, s.Count > 2 ? s.Count - 1 : s.Count);
      ASSERT_GE(s.Count, 1u);
      ASSERT_LE(s.Count, 7u);  // 15 ms in 2 ms URBs, or 7 ms in 1 ms URBs: within the 10 transfer slots
    }
  }
  EXPECT_EQ(AsioUnitsPerMs(kAsioModePcm, 48000), 48u);
  EXPECT_EQ(AsioUnitsPerMs(kAsioModePcm, 44100), 44u);
  EXPECT_EQ(AsioUnitsPerMs(kAsioModeDsd, 2822400), 44u);
  EXPECT_EQ(AsioUnitsPerMs(kAsioModePcm, 800), 1u);  // never 0
  EXPECT_EQ(AsioUnitsPerMs(kAsioModeDsd, 48000), 1u);
}

TEST(AsioRings, RenderResetOfTheEdgeCases) {
  const struct {
    const char* what;
    ULONG rate, mode, periodFrames, channels, bytes;
    ULONG dataSize, msPerUrb, count, inFlight, oneUrb, position, lead;
  } rows[] = {
      // 48 kHz 16-bit stereo, 480 frames: 10 ms, 2 ms URBs, 4 of lead from 0.
      {"48k/480", 48000, kAsioModePcm, 480, 2, 2, 7680, 2, 5, 4, 384, 0, 1536},
      // 44.1 kHz, 64 frames: 1 ms -> 2 ms, 1 ms URBs, count 2: one URB before the end, 2 of lead.
      {"44.1k/64", 44100, kAsioModePcm, 64, 2, 2, 7056, 1, 2, 2, 176, 7056 - 176, 352},
      // DSD stereo at 2,822,400, 50 ms: 5 ms URBs of 3,520 bytes.
      {"DSD64/50ms", 2822400, kAsioModeDsd, 2200, 2, 8, 28224, 5, 5, 4, 3520, 0, 14080},
      // 48 kHz, 20 ms period: 5 ms URBs, count 4.
      {"48k/960", 48000, kAsioModePcm, 960, 2, 3, 11520, 5, 4, 3, 1440, 0, 4320},
      // 16 ms: 4 ms URBs, count 4.
      {"48k/768", 48000, kAsioModePcm, 768, 2, 2, 7680, 4, 4, 3, 768, 0, 2304},
      // 4 ms: 1 ms URBs, count 4, lead 3.
      {"48k/192", 48000, kAsioModePcm, 192, 2, 2, 7680, 1, 4, 3, 192, 0, 576},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    const ULONG units = AsioUnitsPerMs(r.mode, r.rate);
    const AsioStreamSizing s = SizeAsioStream(r.periodFrames, units);
    EXPECT_EQ(AsioRingDataSize(r.mode, r.rate, r.channels, r.bytes), r.dataSize);
    EXPECT_EQ(s.MsPerUrb, r.msPerUrb);
    EXPECT_EQ(s.Count, r.count);
    EXPECT_EQ(s.UrbsInFlight, r.inFlight);
    const ULONG oneUrb = AsioUrbBytes(r.channels, s.MsPerUrb, units, r.bytes);
    EXPECT_EQ(oneUrb, r.oneUrb);
    const AsioRenderStart start = AsioRenderReset(r.dataSize, oneUrb, s.Count);
    EXPECT_EQ(start.Position, r.position);
    EXPECT_EQ(start.Lead, r.lead);
    EXPECT_LE(ULONGLONG{start.Lead} + oneUrb, r.dataSize);
  }
}

class AsioStreamFormat : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    IStreamEngine* engine = nullptr;
    ASSERT_EQ(CreateInstance<CStreamEngine>(&engine, nullptr, NonPagedPool, MakePoolTag('T', 'a', 's', 'f'), 1),
              STATUS_SUCCESS);
    engine_ = static_cast<CStreamEngine*>(engine);
    ASSERT_EQ(engine_->Init(STREAM_DIRECTION_RENDER), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (engine_) engine_->Release();
    KernelTest::TearDown();
  }
  void Add(const WAVEFORMATEXTENSIBLE& f) { ASSERT_EQ(engine_->AddFormat(&f), STATUS_SUCCESS); }
  CStreamEngine* engine_ = nullptr;
};

TEST_F(AsioStreamFormat, TheEnginesEqualEntryByTypeAndMode) {
  Add(ExtensibleFormat(2, 48000, 16));
  Add(ExtensibleFormat(2, 48000, 24));
  Add(ExtensibleFormat(2, 48000, 32, KSDATAFORMAT_SUBTYPE_PCM, 24));
  Add(ExtensibleFormat(2, 44100, 32));
  Add(ExtensibleFormat(4, 48000, 32, KSDATAFORMAT_SUBTYPE_PCM, 20));
  Add(ExtensibleFormat(2, 44100, 64, KSDATAFORMAT_SUBTYPE_ASIO_DSD));
  const struct {
    ULONG channels, mode, rate, type;
    NTSTATUS status;
    ULONG bytes;
  } rows[] = {
      {2, kAsioModePcm, 48000, 16, STATUS_SUCCESS, 2},
      {2, kAsioModePcm, 48000, 17, STATUS_SUCCESS, 3},
      {2, kAsioModePcm, 48000, 27, STATUS_SUCCESS, 4},
      {2, kAsioModePcm, 44100, 18, STATUS_SUCCESS, 4},
      {4, kAsioModePcm, 48000, 26, STATUS_SUCCESS, 4},
      {2, kAsioModeDsd, 2822400, 16, STATUS_SUCCESS, 8},  // the type does not matter in DSD
      {2, kAsioModePcm, 48000, 18, STATUS_NO_MATCH, 0},    // 32/32 only at 44.1 kHz
      {2, kAsioModePcm, 44100, 16, STATUS_NO_MATCH, 0},
      {4, kAsioModePcm, 48000, 27, STATUS_NO_MATCH, 0},    // valid bits differ
      {1, kAsioModePcm, 48000, 16, STATUS_NO_MATCH, 0},
      {2, kAsioModeDsd, 5644800, 16, STATUS_NO_MATCH, 0},
      {2, kAsioModePcm, 48000, 33, STATUS_NO_MATCH, 0},    // not a PCM type
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.channels << " ch " << r.rate << " type " << r.type << " mode " << r.mode);
    WAVEFORMATEXTENSIBLE f{};
    ULONG bytes = 0;
    EXPECT_EQ(BuildAsioStreamFormat(engine_, r.channels, r.mode, r.rate, r.type, &f, &bytes), r.status);
    if (r.status != STATUS_SUCCESS) continue;
    EXPECT_EQ(bytes, r.bytes);
    // The entry itself, whole, so the engine finds it again.
    EXPECT_EQ(engine_->FindFormat(&f.Format), STATUS_SUCCESS);
    EXPECT_EQ(f.Format.nChannels, r.channels);
  }
  EXPECT_EQ(AsioEngineChannels(engine_, kAsioModePcm), 4u);
  EXPECT_EQ(AsioEngineChannels(engine_, kAsioModeDsd), 2u);
}

TEST(AsioRings, BufferRequestInputIsCheckedBeforeItsPairsAreRead) {
  auto request = [](ULONG n, ULONG pairsGiven) {
    std::vector<ULONG> v{0, n, 480};
    for (ULONG i = 0; i < pairsGiven; ++i) {
      v.push_back(i & 1);
      v.push_back(i / 2);
    }
    return v;
  };
  const struct {
    const char* what;
    ULONG n, pairsGiven, lengthCut, maxPairs;
    NTSTATUS status;
  } rows[] = {
      {"whole", 4, 4, 0, 4, STATUS_SUCCESS},
      {"no pairs", 0, 0, 0, 4, STATUS_SUCCESS},
      {"one byte short", 4, 4, 1, 4, STATUS_INVALID_PARAMETER},
      {"count beyond the pairs given", 5, 4, 0, 8, STATUS_INVALID_PARAMETER},
      {"more pairs than channels", 5, 5, 0, 4, STATUS_INVALID_PARAMETER},
      {"huge count", 0x20000000, 1, 0, 4, STATUS_INVALID_PARAMETER},
      {"fixed part cut", 0, 0, 1, 4, STATUS_INVALID_PARAMETER},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    const std::vector<ULONG> v = request(r.n, r.pairsGiven);
    const ULONG bytes = static_cast<ULONG>(v.size() * 4) - r.lengthCut;
    // The request in a block of exactly its length, so a read past it is seen.
    std::vector<UCHAR> block(bytes);
    std::memcpy(block.data(), v.data(), bytes);
    ULONG n = 99, period = 0;
    const AsioChannelPair* pairs = nullptr;
    EXPECT_EQ(ParseAsioBufferRequest(block.data(), bytes, r.maxPairs, &n, &period, &pairs), r.status);
    if (r.status == STATUS_SUCCESS) {
      EXPECT_EQ(n, r.n);
      EXPECT_EQ(period, 480u);
    }
  }
  ULONG n, period;
  const AsioChannelPair* pairs;
  EXPECT_EQ(ParseAsioBufferRequest(nullptr, 12, 4, &n, &period, &pairs), STATUS_INVALID_PARAMETER);
}

}  // namespace
