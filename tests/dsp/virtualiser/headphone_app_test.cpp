// The virtualiser engine end to end: its delay at both stream rates, the convolution
// through the frame, any split of a stream, no allocation while processing, and engine
// failure when the convolver's record or buffer cannot be made.
#include "dsp/virtualiser/headphone_app.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "dsp_test_util.h"
#include "headphone_test_util.h"
#include "virtualiser_test_util.h"
#include "support/global_allocations.h"

namespace {

using lpv_test::OwnedFilters;
using lpv_test::Planar;
using lpv_test::RandomChannels;
using lpv_test::RandomFilters;

constexpr int N = 512;

// Every head table's same-side filters (0 and 3) a unit delta, everything else zero.
std::unique_ptr<OwnedFilters> DeltaFilters() {
  auto f = std::make_unique<OwnedFilters>();
  for (std::int32_t room = 1; room <= 3; ++room)
    for (std::int32_t code : {24, 25, 29, 30, 31, 34, 35, 39, 40}) {
      f->Head(room, code, 0)[0] = 1.0f;
      f->Head(room, code, 3)[0] = 1.0f;
    }
  return f;
}

// Runs whole planar signals through the engine in calls of the given lengths.
std::vector<std::vector<float>> Stream(CAudioApp& app, const std::vector<std::vector<float>>& in, int nIn,
                                       const std::vector<std::int32_t>& lengths) {
  auto work = in;  // processed in place, as the wrapper does
  size_t at = 0;
  std::vector<float*> p(static_cast<size_t>(nIn));
  for (std::int32_t n : lengths) {
    for (int c = 0; c < nIn; ++c) p[static_cast<size_t>(c)] = work[static_cast<size_t>(c)].data() + at;
    app.Process(p.data(), 2, p.data(), nIn, n);
    at += static_cast<size_t>(n);
  }
  work.resize(2);
  return work;
}

TEST(LpvHeadphoneApp, ConstructedForSixInputsAtTheProcessingRate) {
  auto app = std::make_unique<CHeadphoneApp>();
  EXPECT_TRUE(app->IsConfigured());
  EXPECT_EQ(app->InputRate(), 44100);
  EXPECT_EQ(app->InChannels(), 6);
  EXPECT_EQ(app->OutChannels(), 2);
  EXPECT_EQ(app->RequestedLength(), 512);
  EXPECT_EQ(app->Fir().Room(), 1);
  EXPECT_EQ(app->Fir().Angle(), 29);
  EXPECT_EQ(app->Fir().CtcAngle(), 0);
}

// One block of the frame, 255 of the crosstalk identity and, at 48000 Hz, 64 for each
// zero-phase pass of the converters.
TEST(LpvHeadphoneApp, TotalDelayWithADeltaHeadFilter) {
  const auto filters = DeltaFilters();
  struct Case {
    std::int32_t rate;
    size_t delay;
  };
  for (const Case& c : {Case{44100, 767}, Case{48000, 895}}) {
    SCOPED_TRACE(c.rate);
    auto app = std::make_unique<CHeadphoneApp>(filters->source);
    ASSERT_EQ(app->SetFormat(c.rate, 6, 2, 512), 1);
    app->Fir().SetRoomAndAngle(1, 24);
    std::vector<std::vector<float>> in(6, std::vector<float>(6 * N, 0.0f));
    in[0][0] = 1.0f;
    const auto out = Stream(*app, in, 6, std::vector<std::int32_t>(6, N));
    const auto peak = std::max_element(out[0].begin(), out[0].end(),
                                       [](float a, float b) { return std::abs(a) < std::abs(b); });
    EXPECT_EQ(static_cast<size_t>(peak - out[0].begin()), c.delay);
    if (c.rate == 44100) {
      EXPECT_NEAR(*peak, 2.0f, 1e-6);
    } else {
      // The converters' passes are zero-phase: the response is symmetric about the peak.
      EXPECT_GT(*peak, 0.5f);
      for (size_t k = 1; k < 64; ++k) EXPECT_NEAR(out[0][c.delay - k], out[0][c.delay + k], 1e-3) << k;
    }
    for (size_t i = 0; i < c.delay - (c.rate == 44100 ? 0 : 128); ++i) ASSERT_NEAR(out[0][i], 0.0f, 1e-6) << i;
    EXPECT_TRUE(std::all_of(out[1].begin(), out[1].end(), [](float x) { return std::abs(x) < 1e-6f; }));
  }
}

// At 44100 Hz the engine is the convolver one block late, for 8 inputs processed in place
// (the rear fold works on the engine's own buffers, never the caller's).
TEST(LpvHeadphoneApp, EngineOutputIsTheConvolutionOneBlockLate) {
  const auto filters = RandomFilters(40);
  auto app = std::make_unique<CHeadphoneApp>(filters->source);
  ASSERT_EQ(app->SetFormat(44100, 8, 2, 256), 1);
  app->Fir().SetRoomAndAngle(0, 24);
  const auto in = RandomChannels(8, 22 * N, 41);
  const auto out = Stream(*app, in, 8, lpv_test::RandomSplit(static_cast<std::int32_t>(in[0].size()), 700, 42));
  const auto ref = lpv_test::Oracle(lpv_test::SetOf(filters->source, 3, 24), in, 8, 255 + N);
  for (int e = 0; e < 2; ++e) EXPECT_LT(lpv_test::RelativeRms(out[static_cast<size_t>(e)], ref[static_cast<size_t>(e)]), 1e-5);
}

// Configured with a multichannel stream's output count, as the wrapper does, the engine
// gives the binaural pair on outputs 0 and 1 and silence on the others.
TEST(LpvHeadphoneApp, FurtherOutputsAreSilent) {
  const auto filters = RandomFilters(52);
  for (std::int32_t nOut : {6, 8}) {
    SCOPED_TRACE(nOut);
    auto app = std::make_unique<CHeadphoneApp>(filters->source);
    ASSERT_EQ(app->SetFormat(44100, 8, nOut, 256), 1);
    lpv_test::AssertRecorder rec;
    const auto in = RandomChannels(8, 8 * N, 53);
    Planar out(nOut, in[0].size(), 5.0f);
    std::vector<std::vector<float>> work = in;
    for (size_t b = 0; b < 8; ++b) {
      std::vector<float*> ip, op;
      for (auto& c : work) ip.push_back(c.data() + b * N);
      for (auto& c : out.data) op.push_back(c.data() + b * N);
      app->Process(op.data(), nOut, ip.data(), 8, N);
    }
    EXPECT_TRUE(rec.Records().empty());
    const auto ref = lpv_test::Oracle(lpv_test::SetOf(filters->source, 1, 29), in, 8, 255 + N);
    for (int e = 0; e < 2; ++e) EXPECT_LT(lpv_test::RelativeRms(out.data[static_cast<size_t>(e)], ref[static_cast<size_t>(e)]), 1e-5);
    for (int c = 2; c < nOut; ++c)
      EXPECT_TRUE(std::all_of(out.data[c].begin(), out.data[c].end(), [](float x) { return x == 0.0f; })) << c;
  }
}

// Any split of a stream into calls gives the same output, bit for bit, at both rates.
TEST(LpvHeadphoneApp, RandomCallSplitsAreBitIdentical) {
  const auto filters = RandomFilters(43);
  const auto in = RandomChannels(8, 16 * N, 44);
  for (std::int32_t rate : {44100, 48000}) {
    auto whole = std::make_unique<CHeadphoneApp>(filters->source);
    whole->SetFormat(rate, 8, 2, 256);
    const auto want = Stream(*whole, in, 8, std::vector<std::int32_t>(16, N));
    for (unsigned seed = 0; seed < 4; ++seed) {
      SCOPED_TRACE(testing::Message() << rate << " seed " << seed);
      auto app = std::make_unique<CHeadphoneApp>(filters->source);
      app->SetFormat(rate, 8, 2, 256);
      const auto got = Stream(*app, in, 8, lpv_test::RandomSplit(16 * N, seed == 0 ? 1 : 300 * seed, seed));
      ASSERT_EQ(got, want);
    }
  }
}

// A sample that is not finite or beyond 65536 in magnitude enters the engine as 0, at
// both rates: the output is, bit for bit, that of the stream with a 0 there. 65536
// itself is signal.
TEST(LpvHeadphoneApp, NonFiniteAndHugeSamplesEnterAsZero) {
  const auto filters = RandomFilters(48);
  const auto clean = RandomChannels(8, 24 * N, 49);
  constexpr size_t kAt = 3 * N + 100;
  const float inf = std::numeric_limits<float>::infinity();
  const float kBad[] = {std::numeric_limits<float>::quiet_NaN(), inf, -inf, 3e38f, -3e38f,
                        std::nextafter(65536.0f, inf)};
  for (std::int32_t rate : {44100, 48000}) {
    auto run = [&](float sample) {
      auto in = clean;
      in[2][kAt] = sample;
      auto app = std::make_unique<CHeadphoneApp>(filters->source);
      EXPECT_EQ(app->SetFormat(rate, 8, 2, 256), 1);
      return Stream(*app, in, 8, std::vector<std::int32_t>(24, N));
    };
    const auto want = run(0.0f);
    for (const auto& ch : want)
      ASSERT_TRUE(std::all_of(ch.begin(), ch.end(), [](float x) { return std::isfinite(x); }));
    for (float bad : kBad) {
      SCOPED_TRACE(testing::Message() << rate << " Hz, " << bad);
      EXPECT_EQ(run(bad), want);
    }
    SCOPED_TRACE(rate);
    const auto limit = run(65536.0f);
    EXPECT_NE(limit, want);
    for (const auto& ch : limit)
      EXPECT_TRUE(std::all_of(ch.begin(), ch.end(), [](float x) { return std::isfinite(x); }));
  }
}

// SetFormat clears the convolver through Reset: a reconfigured engine restarts from rest.
TEST(LpvHeadphoneApp, SetFormatResetsTheConvolver) {
  const auto filters = RandomFilters(45);
  const auto in = RandomChannels(6, 6 * N, 46);
  auto fresh = std::make_unique<CHeadphoneApp>(filters->source);
  const auto want = Stream(*fresh, in, 6, std::vector<std::int32_t>(6, N));
  auto used = std::make_unique<CHeadphoneApp>(filters->source);
  Stream(*used, RandomChannels(6, 5 * N + 100, 47), 6, {5 * N + 100});
  ASSERT_EQ(used->SetFormat(44100, 6, 2, 512), 1);
  EXPECT_EQ(Stream(*used, in, 6, std::vector<std::int32_t>(6, N)), want);
}

void* CountingSpAllocate(uint32 bytes);
std::atomic<long> g_spAllocations{0};
void* CountingSpAllocate(uint32 bytes) {
  ++g_spAllocations;
  return spDefaultAllocatorHooks.allocate(bytes);
}

// Processing allocates nothing: the DSP pool, the primitives' allocator and the C++ heap
// stay flat, in the generic build and in a processor build whose record needs a work
// buffer.
TEST(LpvHeadphoneApp, ProcessAllocatesNothing) {
  struct IndexGuard {
    std::int32_t saved = spDispatchIndex;
    ~IndexGuard() { spDispatchIndex = saved; }
  } guard;
  const auto filters = RandomFilters(48);
  const auto in = RandomChannels(8, 8 * N, 49);
  for (std::int32_t index : {0, 2}) {
    for (std::int32_t rate : {44100, 48000}) {
      SCOPED_TRACE(testing::Message() << "build " << index << " rate " << rate);
      if (!lpv_test::BuildRuns(index)) continue;
      spDispatchIndex = index;
      dsp_test::RecordingHost host;
      auto app = std::make_unique<CHeadphoneApp>(filters->source);
      ASSERT_EQ(app->SetFormat(rate, 8, 2, 256), 1);
      auto work = in;
      std::vector<float*> p;
      for (auto& c : work) p.push_back(c.data());
      const spAllocatorHooks saved = spAllocator;
      spAllocator.allocate = &CountingSpAllocate;
      const int pool = host.LiveBlocks();
      const long heap = platform::testing::GlobalAllocations(), sp = g_spAllocations.load();
      for (int b = 0; b < 8; ++b) {
        app->Process(p.data(), 2, p.data(), 8, N);
        for (auto& x : p) x += N;
      }
      EXPECT_EQ(platform::testing::GlobalAllocations(), heap);
      EXPECT_EQ(g_spAllocations.load(), sp);
      EXPECT_EQ(host.LiveBlocks(), pool);
      spAllocator = saved;
    }
  }
}

// A failed record (primitives' allocator) or failed pool block makes SetFormat fail and
// the engine pass audio through unchanged; every failure point of the construction is
// tried and nothing leaks.
TEST(LpvHeadphoneApp, FailedRecordOrBufferPassesAudioThrough) {
  struct IndexGuard {
    std::int32_t saved = spDispatchIndex;
    ~IndexGuard() { spDispatchIndex = saved; }
  } guard;
  const auto filters = RandomFilters(50);
  const auto in = RandomChannels(6, 3 * N, 51);
  auto checkPassThrough = [&](CHeadphoneApp& app) {
    EXPECT_FALSE(app.IsConfigured());
    EXPECT_EQ(app.SetFormat(44100, 6, 2, 512), 0);
    const auto out = Stream(app, in, 6, {100, 2 * N, N - 100});
    EXPECT_EQ(out[0], in[0]);
    EXPECT_EQ(out[1], in[1]);
  };
  {
    dsp_test::RecordingHost host;
    lpv_test::FailingSpAllocator failing(1);
    auto app = std::make_unique<CHeadphoneApp>(filters->source);
    EXPECT_FALSE(app->Fir().IsValid());
    checkPassThrough(*app);
  }
  for (std::int32_t index : {0, 1}) {
    if (!lpv_test::BuildRuns(index)) continue;
    spDispatchIndex = index;
    for (int nth = 1;; ++nth) {
      SCOPED_TRACE(testing::Message() << "build " << index << " pool failure " << nth);
      dsp_test::RecordingHost host;
      host.FailAllocation(nth);
      auto app = std::make_unique<CHeadphoneApp>(filters->source);
      if (app->IsConfigured()) break;
      if (!app->Fir().IsValid()) {
        checkPassThrough(*app);
      } else {
        // A frame buffer failed: a later SetFormat succeeds.
        EXPECT_EQ(app->SetFormat(44100, 6, 2, 512), 1);
      }
      ASSERT_LT(nth, 100);
    }
  }
}

}  // namespace
