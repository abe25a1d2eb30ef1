// The processing side of the chip class D effect controls: the reverb's and the
// virtualiser's dips against the ramp formulas evaluated in double, what every channel
// count receives enabled, disabled and across a switch, the carry against a queue model,
// the virtualiser's output against the same chain assembled here from its parts at
// several stream rates, streams that are not processed, Init's allocation failures, and
// the switch and values changing while the nodes process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <random>
#include <vector>

#include "adapter/dsp_node.h"
#include "adapter/object_model.h"
#include "dsp/channel_conversion.h"
#include "dsp/host.h"
#include "kernel/clock.h"
#include "kernel/pool.h"
#include "uac/chip_d_effect_controls.h"
#include "uac/chip_d_feature_unit.h"
#include "unit_fixture.h"

namespace unit_test {
namespace {

using uac::CChipDLpvEffectControl;
using uac::CChipDReverbEffectControl;
using uac::CUacEffectControl;

constexpr USHORT kMute = 1 << 0;
constexpr USHORT kEffectBits = (1 << 10) | (1 << 11);  // selectors 0x8B and 0x8C
const Bytes kInput = {12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0};
const Bytes kOutput = {9, 0x24, 3, 9, 0x01, 0x03, 0, 2, 0};
constexpr ULONG kMaxFrames = 512;
constexpr float kWetGain = 1.7782f;

void* PoolAllocate(std::size_t bytes, std::uint32_t tag) {
  return ExAllocatePoolWithTag(NonPagedPool, static_cast<SIZE_T>(bytes), tag);
}
void PoolFree(void* block) { ExFreePool(block); }
void PoolPrint(const char*) {}
constexpr DspHostHooks kPoolHooks = {PoolAllocate, PoolFree, PoolPrint};

sim::device::DeviceProfile VendorBlock(UCHAR unit, USHORT bitmap) {
  sim::device::DeviceProfile profile;
  Bytes block(16, 0);
  for (UCHAR b : {21, 0, 2, static_cast<int>(bitmap & 0xFF), bitmap >> 8}) block.push_back(b);
  profile.entity_memory[unit] = block;
  return profile;
}

WAVEFORMATEXTENSIBLE Format(WORD channels, ULONG rate, WORD tag = WAVE_FORMAT_PCM) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = tag;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = tag == WAVE_FORMAT_IEEE_FLOAT ? 32 : 16;
  f.Format.nBlockAlign = static_cast<WORD>(channels * f.Format.wBitsPerSample / 8);
  f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
  return f;
}

WAVEFORMATEXTENSIBLE ExtensibleFloat(WORD channels, ULONG rate) {
  WAVEFORMATEXTENSIBLE f = Format(channels, rate, WAVE_FORMAT_IEEE_FLOAT);
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.cbSize = 22;
  f.Samples.wValidBitsPerSample = 32;
  f.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  return f;
}

// Eight planar channel buffers as the stream engine hands them over.
struct Planar {
  std::vector<std::vector<float>> data = std::vector<std::vector<float>>(8, std::vector<float>(kMaxFrames, 0.0f));
  float* ptr[8];
  Planar() {
    for (int c = 0; c < 8; ++c) ptr[c] = data[c].data();
  }
  Planar(const Planar& other) : data(other.data) {
    for (int c = 0; c < 8; ++c) ptr[c] = data[c].data();
  }
  Planar& operator=(const Planar&) = delete;
};

// Random content on every channel (amplitude 0.1: no fold reaches full scale).
void Fill(Planar& p, std::mt19937& rng, ULONG frames) {
  std::uniform_real_distribution<float> d(-0.1f, 0.1f);
  for (int c = 0; c < 8; ++c)
    for (ULONG i = 0; i < frames; ++i) p.data[c][i] = d(rng);
}

class ChipDProcessing : public UnitTest {
 protected:
  void SetUp() override {
    UnitTest::SetUp();
    savedHooks_ = DspSetHostHooks(&kPoolHooks);
  }
  void TearDown() override {
    UnitTest::TearDown();
    DspSetHostHooks(&savedHooks_);
  }
  // A chip D feature unit with both effect controls; false when it cannot be had.
  bool Build() {
    const Bytes feature = FeatureUnit(2, 1, 1, {kMute});
    StartWith(Uac1Configuration({kInput, feature, kOutput}), VendorBlock(2, kEffectBits));
    adapter::IUacEntity* entity = nullptr;
    if (adapter::CreateInstance<uac::CChipDFeatureUnit>(&entity, nullptr, NonPagedPool, uac::kUac1PoolTag, ULONG{2}) !=
        STATUS_SUCCESS)
      return false;
    auto* unit = static_cast<uac::CChipDFeatureUnit*>(entity);
    if (!NT_SUCCESS(unit->Init(feature.data(), usb_, function_))) {
      entity->Release();
      return false;
    }
    units_.push_back(unit);
    for (ULONG i = 0; i < unit->GetNodeCount(); ++i) {
      if (auto* r = dynamic_cast<CChipDReverbEffectControl*>(unit->GetNode(i))) reverb_ = r;
      if (auto* l = dynamic_cast<CChipDLpvEffectControl*>(unit->GetNode(i))) lpv_ = l;
    }
    return reverb_ && lpv_;
  }
  void Release() {
    ReleaseUnits();
    reverb_ = nullptr;
    lpv_ = nullptr;
  }

  DspHostHooks savedHooks_{};
  CChipDReverbEffectControl* reverb_ = nullptr;
  CChipDLpvEffectControl* lpv_ = nullptr;
};

// The expected signals of the reverb node for one call, from an independent reverb fed
// the same stream: the dry fold and the +5 dB wet pair (channels 2-7 are the input).
struct ReverbOracle {
  CDspReverb* reverb = nullptr;
  explicit ReverbOracle(ULONG rate, ULONG channels) {
    reverb = static_cast<CDspReverb*>(std::calloc(1, sizeof(CDspReverb)));
    new (reverb) CDspReverb();
    reverb->Init();
    reverb->SetSampleRate(static_cast<std::int32_t>(rate), static_cast<std::int32_t>(channels) - 1);
  }
  ~ReverbOracle() {
    reverb->~CDspReverb();
    std::free(reverb);
  }
  void Run(const Planar& in, ULONG channels, ULONG frames, Planar* dry, Planar* wet) {
    for (ULONG c = 0; c < channels; ++c)
      for (ULONG i = 0; i < frames; ++i) dry->data[c][i] = wet->data[c][i] = in.data[c][i] + 1e-12f;
    ConvertChannelCount(dry->ptr, channels, 2, frames, CHANNEL_MODE_DISCRETE);
    reverb->Process(wet->ptr, wet->ptr, static_cast<std::int32_t>(frames));
    for (int c = 0; c < 2; ++c)
      for (ULONG i = 0; i < frames; ++i) wet->data[c][i] *= kWetGain;
  }
};

// The dip of a switch in double: `on` fades from `from` through silence to `to`.
double Dip(ULONG i, ULONG L, double from, double to) {
  const double span = 2.0 * L - 1.0;
  if (i < 2 * L) return (1.0 - i / span) * from;
  if (i < 4 * L) return (static_cast<double>(i) - 2.0 * L) / span * to;
  return to;
}

// Enabling and disabling the reverb on an 8-channel stream at 44.1 and 48 kHz: the front
// pair dips over 2F samples down and 2F up (F frames per ms) between the dry fold and the
// +5 dB wet signal, sample for sample against the ramps in double; channels 2-7 stay at
// their input level; the calls around the switch are steady.
TEST_F(ChipDProcessing, ReverbDipsAgainstTheRampFormulas) {
  const struct {
    ULONG rate, L;
  } rows[] = {{44100, 44}, {48000, 48}};
  ASSERT_TRUE(Build());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.rate);
    const WAVEFORMATEXTENSIBLE f = Format(8, row.rate);
    ASSERT_EQ(reverb_->SetFormat(&f), STATUS_SUCCESS);
    ASSERT_EQ(reverb_->Reset(), STATUS_SUCCESS);
    ReverbOracle oracle(row.rate, 8);
    oracle.reverb->Reset();
    std::mt19937 rng(row.rate);
    // Calls: off, off, switch on, on, switch off, off.
    const int switchAt[] = {-1, -1, 1, -1, 0, -1};
    bool enabled = false;
    for (int call = 0; call < 6; ++call) {
      SCOPED_TRACE(call);
      if (switchAt[call] >= 0) {
        ASSERT_EQ(reverb_->SetValue(static_cast<UCHAR>(switchAt[call])), STATUS_SUCCESS);
      }
      Planar in, dry, wet;
      Fill(in, rng, kMaxFrames);
      Planar out(in);
      oracle.Run(in, 8, kMaxFrames, &dry, &wet);
      ASSERT_EQ(reverb_->Process(&f, out.ptr, kMaxFrames), STATUS_SUCCESS);
      const bool wasEnabled = enabled;
      if (switchAt[call] >= 0) enabled = switchAt[call] != 0;
      for (int c = 0; c < 8; ++c) {
        for (ULONG i = 0; i < kMaxFrames; ++i) {
          double want;
          if (c >= 2) {
            want = in.data[c][i] + 1e-12f;
          } else if (switchAt[call] < 0) {
            want = enabled ? wet.data[c][i] : dry.data[c][i];
          } else if (enabled) {
            want = Dip(i, row.L, dry.data[c][i], wet.data[c][i]);
          } else {
            want = Dip(i, row.L, wasEnabled ? wet.data[c][i] : dry.data[c][i], dry.data[c][i]);
          }
          ASSERT_NEAR(out.data[c][i], want, 1e-7) << "channel " << c << " sample " << i;
        }
      }
      // The bottom of a dip is silence.
      if (switchAt[call] >= 0) {
        EXPECT_EQ(out.data[0][2 * row.L - 1], 0.0f);
        EXPECT_EQ(out.data[1][2 * row.L], 0.0f);
      }
      EXPECT_EQ(reverb_->m_lFadeState, CUacEffectControl::kFadeSteady);
      EXPECT_EQ(reverb_->m_nCurrentEnable, enabled ? 1u : 0u);
    }
  }
}

// A 512-frame virtualiser call at 48 kHz: ramps of 204 samples (L = 102) and 104 steady
// samples, against the ramps in double over the node's own wet and dry signals (those of
// a twin control that is never switched, fed the same stream).
TEST_F(ChipDProcessing, VirtualiserDipOfA512FrameCallAt48kHz) {
  ASSERT_TRUE(Build());
  const WAVEFORMATEXTENSIBLE f = Format(8, 48000);
  // The twin: a second virtualiser control of the same unit.
  adapter::IUacEntity* entity = nullptr;
  ASSERT_EQ((adapter::CreateInstance<CChipDLpvEffectControl>(&entity, nullptr, NonPagedPool, uac::kChipDPoolTag,
                                                              ULONG{40})),
            STATUS_SUCCESS);
  auto* twin = static_cast<CChipDLpvEffectControl*>(entity);
  PUNKNOWN source = static_cast<uac::IUacBoolControlSource*>(static_cast<uac::CChipDFeatureUnit*>(units_[0]));
  ASSERT_EQ(twin->Init(source, 0x8C, fdo_), STATUS_SUCCESS);
  ASSERT_EQ(twin->SetFormat(&f), STATUS_SUCCESS);
  ASSERT_EQ(lpv_->SetFormat(&f), STATUS_SUCCESS);
  std::mt19937 rng(7);
  const int switchAt[] = {-1, -1, 1, -1, 0, -1};
  for (int call = 0; call < 6; ++call) {
    SCOPED_TRACE(call);
    if (switchAt[call] >= 0) {
      ASSERT_EQ(lpv_->SetValue(static_cast<UCHAR>(switchAt[call])), STATUS_SUCCESS);
      ASSERT_EQ(twin->SetValue(static_cast<UCHAR>(switchAt[call])), STATUS_SUCCESS);
    }
    Planar in;
    Fill(in, rng, kMaxFrames);
    Planar out(in), ref(in);
    ASSERT_EQ(lpv_->Process(&f, out.ptr, kMaxFrames), STATUS_SUCCESS);
    // The twin takes the switch without a fade: it gives the steady signal switched to.
    InterlockedExchange(&twin->m_lChanged[CUacEffectControl::kChangeFlag], 0);
    ASSERT_EQ(twin->Process(&f, ref.ptr, kMaxFrames), STATUS_SUCCESS);
    if (switchAt[call] < 0) {
      for (int c = 0; c < 8; ++c)
        for (ULONG i = 0; i < kMaxFrames; ++i) ASSERT_EQ(out.data[c][i], ref.data[c][i]) << c << " " << i;
      continue;
    }
    // The twin's output is the signal switched to: the rise and the steady tail of the
    // node follow it (the fall starts from the signal switched from).
    constexpr ULONG L = 102;
    for (int c = 0; c < 2; ++c) {
      for (ULONG i = 2 * L; i < kMaxFrames; ++i)
        ASSERT_NEAR(out.data[c][i], Dip(i, L, 0.0, ref.data[c][i]), 1e-7) << c << " " << i;
      EXPECT_EQ(out.data[c][2 * L - 1], 0.0f);
      EXPECT_EQ(out.data[c][2 * L], 0.0f);
    }
    EXPECT_EQ(kMaxFrames - 4 * L, 104u);
  }
  entity->Release();
}

// One sample that is not a number, infinite or far beyond full scale in a virtualised
// stream at 44.1 and 48 kHz: from the next call on every output sample is finite.
TEST_F(ChipDProcessing, VirtualiserOutputIsFiniteFromTheCallAfterABadSample) {
  ASSERT_TRUE(Build());
  const float kBad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 3e38f};
  for (ULONG rate : {44100u, 48000u}) {
    for (float bad : kBad) {
      SCOPED_TRACE(testing::Message() << rate << " Hz, " << bad);
      const WAVEFORMATEXTENSIBLE f = Format(8, rate);
      ASSERT_EQ(lpv_->SetFormat(&f), STATUS_SUCCESS);
      ASSERT_EQ(lpv_->SetValue(1), STATUS_SUCCESS);
      std::mt19937 rng(rate);
      for (int call = 0; call < 48; ++call) {
        SCOPED_TRACE(call);
        Planar in;
        Fill(in, rng, kMaxFrames);
        if (call == 4) in.data[0][100] = bad;
        ASSERT_EQ(lpv_->Process(&f, in.ptr, kMaxFrames), STATUS_SUCCESS);
        if (call <= 4) continue;
        for (int c = 0; c < 8; ++c)
          for (ULONG i = 0; i < kMaxFrames; ++i) ASSERT_TRUE(std::isfinite(in.data[c][i])) << c << " " << i;
      }
    }
  }
}

// Every channel count 1-8 on both nodes, disabled, enabled and switched: the output is
// finite; the reverb gives the dry set except to 6 and 8 channels while enabled, and only
// those dip on a switch; the virtualiser gives the wet pair whenever enabled, dips once
// per switch; channels 2-7 keep their own content; each switch is taken exactly once.
TEST_F(ChipDProcessing, ChannelCountTable) {
  ASSERT_TRUE(Build());
  for (WORD channels = 1; channels <= 8; ++channels) {
    SCOPED_TRACE(channels);
    const WAVEFORMATEXTENSIBLE f = Format(channels, 48000);
    ASSERT_EQ(reverb_->SetFormat(&f), STATUS_SUCCESS);
    ASSERT_EQ(lpv_->SetFormat(&f), STATUS_SUCCESS);
    const bool reverbWet = channels == 6 || channels == 8;
    std::mt19937 rng(channels);
    // Calls of 480 frames: L = 96 for the virtualiser, 48 for the reverb.
    constexpr ULONG kFrames = 480;
    // Per call: the switch value given before it (-1 none).
    const int plan[] = {-1, -1, 1, -1, -1, 0, -1, 1, 0, -1};
    bool enabled = false;
    std::vector<float> history[8];  // the virtualiser's input, for its delay
    for (int call = 0; call < 10; ++call) {
      SCOPED_TRACE(call);
      const bool toggled = plan[call] >= 0 && (plan[call] != 0) != enabled;
      if (plan[call] >= 0) {
        ASSERT_EQ(reverb_->SetValue(static_cast<UCHAR>(plan[call])), STATUS_SUCCESS);
        ASSERT_EQ(lpv_->SetValue(static_cast<UCHAR>(plan[call])), STATUS_SUCCESS);
        enabled = plan[call] != 0;
      }
      Planar in;
      Fill(in, rng, kFrames);
      // Reverb.
      Planar out(in), dry(in);
      for (int c = 0; c < channels; ++c)
        for (ULONG i = 0; i < kFrames; ++i) dry.data[c][i] += 1e-12f;
      ConvertChannelCount(dry.ptr, channels, 2, kFrames, CHANNEL_MODE_DISCRETE);
      ASSERT_EQ(reverb_->Process(&f, out.ptr, kFrames), STATUS_SUCCESS);
      EXPECT_EQ(reverb_->m_lChanged[CUacEffectControl::kChangeFlag], 0);
      EXPECT_EQ(reverb_->m_lFadeState, CUacEffectControl::kFadeSteady);
      bool dipped = out.data[0][2 * 48 - 1] == 0.0f && out.data[0][2 * 48] == 0.0f;
      EXPECT_EQ(dipped, reverbWet && plan[call] >= 0);
      for (int c = 0; c < channels; ++c) {
        for (ULONG i = 0; i < kFrames; ++i) {
          ASSERT_TRUE(std::isfinite(out.data[c][i]));
          if (!reverbWet || c >= 2 || (!enabled && plan[call] < 0)) {
            ASSERT_EQ(out.data[c][i], dry.data[c][i]) << c << " " << i;
          }
        }
      }
      if (reverbWet && enabled && plan[call] < 0) {
        double difference = 0;
        for (ULONG i = 0; i < kFrames; ++i) difference += std::fabs(out.data[0][i] - dry.data[0][i]);
        EXPECT_GT(difference, 1e-3);
      }
      // Virtualiser: at 48 kHz the converters copy, so each output frame is the input
      // 128 frames (the leveller) earlier, folded (dry) or virtualised (wet).
      Planar vout(in);
      ASSERT_EQ(lpv_->Process(&f, vout.ptr, kFrames), STATUS_SUCCESS);
      EXPECT_EQ(lpv_->m_lChanged[CUacEffectControl::kChangeFlag], 0);
      EXPECT_EQ(lpv_->m_lFadeState, CUacEffectControl::kFadeSteady);
      EXPECT_EQ(lpv_->CarryFrames(), 0u);
      dipped = vout.data[0][2 * 96 - 1] == 0.0f && vout.data[0][2 * 96] == 0.0f;
      EXPECT_EQ(dipped, plan[call] >= 0) << "toggled " << toggled;
      Planar delayedDry;
      for (int c = 0; c < channels; ++c) {
        std::vector<float>& all = history[c];
        all.insert(all.end(), in.data[c].begin(), in.data[c].begin() + kFrames);
        const size_t start = all.size() - kFrames;
        for (ULONG i = 0; i < kFrames; ++i)
          delayedDry.data[c][i] = start + i >= 128 ? all[start + i - 128] : 0.0f;
      }
      // The virtualiser's dry set is the fold of the delayed input.
      ConvertChannelCount(delayedDry.ptr, channels, 2, kFrames, CHANNEL_MODE_DISCRETE);
      for (int c = 0; c < channels; ++c) {
        for (ULONG i = 0; i < kFrames; ++i) {
          ASSERT_TRUE(std::isfinite(vout.data[c][i]));
          const bool steadyDry = !enabled && plan[call] < 0;
          if (c >= 2 || (steadyDry && c < 2)) {
            ASSERT_NEAR(vout.data[c][i], delayedDry.data[c][i], 1e-6) << c << " " << i;
          }
        }
      }
      if (enabled && plan[call] < 0 && call > 3) {
        double difference = 0;
        for (ULONG i = 0; i < kFrames; ++i) difference += std::fabs(vout.data[0][i] - delayedDry.data[0][i]);
        EXPECT_GT(difference, 1e-3) << "the wet pair";
      }
    }
    ASSERT_EQ(reverb_->SetValue(0), STATUS_SUCCESS);
    ASSERT_EQ(lpv_->SetValue(0), STATUS_SUCCESS);
    Planar flush;
    reverb_->Process(&f, flush.ptr, 1);
    lpv_->Process(&f, flush.ptr, 1);
    ASSERT_EQ(lpv_->SetFormat(&f), STATUS_SUCCESS);
  }
}

// The carry against a queue: random call sizes and random surplus or shortfall of the
// down conversion (within the buffers). The stream receives the produced frames in
// order, each once, with silence only where the queue ran dry at the head of a call, and
// the newest frames beyond 512 dropped.
TEST(ChipDCarry, FifoAgainstAQueueOverRandomPatterns) {
  std::mt19937 rng(61);
  for (int run = 0; run < 200; ++run) {
    Planar carry, scratch;
    ULONG carryFrames = 0;
    std::deque<float> model[3];
    float next = 1.0f;
    const ULONG channels = 1 + run % 3;
    for (int call = 0; call < 200; ++call) {
      const ULONG frames = 1 + rng() % kMaxFrames;
      // Mostly near the call's size, sometimes far off either way.
      ULONG produced;
      const int kind = static_cast<int>(rng() % 4);
      if (kind == 0) {
        produced = static_cast<ULONG>(rng() % (kMaxFrames + 1));
      } else {
        const int delta = static_cast<int>(rng() % 7) - 3;
        const int m = static_cast<int>(frames) + delta;
        produced = static_cast<ULONG>(std::clamp(m, 0, static_cast<int>(kMaxFrames)));
      }
      Planar stream;
      for (ULONG i = 0; i < produced; ++i, next += 1.0f)
        for (ULONG c = 0; c < channels; ++c) {
          stream.data[c][i] = next + 1e6f * static_cast<float>(c);
          model[c].push_back(stream.data[c][i]);
        }
      uac::ChipDBalanceCarry(stream.ptr, channels, frames, produced, carry.ptr, &carryFrames, scratch.ptr);
      for (ULONG c = 0; c < channels; ++c) {
        std::vector<float> want;
        if (model[c].size() < frames) want.assign(frames - model[c].size(), 0.0f);
        while (want.size() < frames) {
          want.push_back(model[c].front());
          model[c].pop_front();
        }
        while (model[c].size() > kMaxFrames) model[c].pop_back();
        for (ULONG i = 0; i < frames; ++i)
          ASSERT_EQ(stream.data[c][i], want[i]) << "run " << run << " call " << call << " channel " << c << " frame " << i;
        ASSERT_EQ(carryFrames, model[c].size());
      }
    }
  }
}

// The cases of the carry at its limits: 2 frames more with 511 held (the call takes the
// oldest 10 of the carry; of the 12 new frames the newest beyond 512 held is dropped), 3
// fewer with 2 held (silence, then the carry, then the new frames).
TEST(ChipDCarry, Limits) {
  Planar carry, scratch, stream;
  ULONG held = 511;
  for (ULONG i = 0; i < held; ++i) carry.data[0][i] = -1.0f - static_cast<float>(i);
  for (ULONG i = 0; i < 12; ++i) stream.data[0][i] = static_cast<float>(i + 1);
  uac::ChipDBalanceCarry(stream.ptr, 1, 10, 12, carry.ptr, &held, scratch.ptr);
  EXPECT_EQ(held, 512u);
  EXPECT_EQ(stream.data[0][0], -1.0f);
  EXPECT_EQ(stream.data[0][9], -10.0f);
  EXPECT_EQ(carry.data[0][0], -11.0f);
  EXPECT_EQ(carry.data[0][501], 1.0f);
  EXPECT_EQ(carry.data[0][511], 11.0f);  // frame 12 dropped
  held = 2;
  carry.data[0][0] = 100.0f;
  carry.data[0][1] = 101.0f;
  for (ULONG i = 0; i < 7; ++i) stream.data[0][i] = static_cast<float>(i + 1);
  uac::ChipDBalanceCarry(stream.ptr, 1, 10, 7, carry.ptr, &held, scratch.ptr);
  EXPECT_EQ(held, 0u);
  const float want[10] = {0, 100, 101, 1, 2, 3, 4, 5, 6, 7};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(stream.data[0][i], want[i]) << i;
}

// The virtualiser's steady output at several stream rates (no switch, one long stream in
// calls whose sizes are not multiples of the rate ratio) against the same chain
// assembled here from the containers, the fold, the levellers and the wrapper: after the
// carry's initial silence the node gives the chain's output, frame for frame.
TEST_F(ChipDProcessing, VirtualiserMatchesItsChainAssembledFromItsParts) {
  ASSERT_TRUE(Build());
  const ULONG rates[] = {44100, 48000, 88200, 96000, 176400, 192000};
  for (bool enabled : {true, false}) {
    ASSERT_EQ(lpv_->SetValue(enabled ? 1 : 0), STATUS_SUCCESS);
    for (ULONG rate : rates) {
      SCOPED_TRACE(rate);
      constexpr WORD kChannels = 6;
      const WAVEFORMATEXTENSIBLE f = Format(kChannels, rate);
      ASSERT_EQ(lpv_->SetFormat(&f), STATUS_SUCCESS);
      // The chain: its own converters, levellers and wrapper, set up as the control's.
      auto* up = DspNew<CDspNonInterleaveSrc>(uac::kChipDBufferTag);
      auto* down = DspNew<CDspNonInterleaveSrc>(uac::kChipDBufferTag);
      auto* wetLev = DspNew<CDspLeveler>(uac::kChipDEffectTag);
      auto* dryLev = DspNew<CDspLeveler>(uac::kChipDEffectTag);
      auto* wrapper = DspNew<CLpvEffect>(uac::kChipDEffectTag);
      ASSERT_TRUE(up && down && wetLev && dryLev && wrapper);
      ASSERT_TRUE(up->Init() && down->Init());
      const dsp::WAVEFORMATEXTENSIBLE engine = dsp::DspFormatFrom(lpv_->EngineFormat());
      const dsp::WAVEFORMATEXTENSIBLE stream = dsp::DspFormatFrom(lpv_->StreamFloatFormat());
      up->SetFormat(&stream, &engine);
      down->SetFormat(&engine, &stream);
      for (CDspLeveler* l : {wetLev, dryLev}) {
        l->Init();
        ASSERT_TRUE(l->AllocateBuffers());
        l->SetMode(0);
        l->SetTargetGain(1.0f);
        l->SetMaxGain(1.0f);
        l->SetFormat(&engine);
      }
      dsp::WAVEFORMATEX lf = lpv_->VirtualiserFormat();
      wrapper->SetEnable(1);
      wrapper->SetCtcEnable(0);
      wrapper->SetHeadphoneAngle(3);
      wrapper->SetSpeakerAngle(3);
      wrapper->SetCtcAngle(0);
      wrapper->SetHeadphoneRoom(lpv_->Virtualiser()->GetHeadphoneRoom());
      wrapper->SetHeadphoneWide(lpv_->Virtualiser()->GetHeadphoneWide());
      wrapper->SetSpeakerWide(lpv_->Virtualiser()->GetSpeakerWide());
      wrapper->SetFormat(&lf);

      std::mt19937 rng(rate);
      std::vector<float> nodeOut[kChannels], chainOut[kChannels];
      // One long stream without a switch.
      InterlockedExchange(&lpv_->m_lChanged[CUacEffectControl::kChangeFlag], 0);
      InterlockedExchange(&lpv_->m_lFadeState, CUacEffectControl::kFadeSteady);
      for (int call = 0; call < 60; ++call) {
        const ULONG frames = 37 + rng() % 470;
        Planar in;
        Fill(in, rng, frames);
        Planar out(in), wet, dry;
        ASSERT_EQ(lpv_->Process(&f, out.ptr, frames), STATUS_SUCCESS);
        for (int c = 0; c < kChannels; ++c) nodeOut[c].insert(nodeOut[c].end(), out.data[c].begin(), out.data[c].begin() + frames);
        std::uint32_t n = 0;
        ProcessPlanarBlocks(up, frames, &n, &stream, &engine, in.ptr, wet.ptr, uac::kChipDChannelBufferBytes, 0);
        if (n == 0) continue;
        for (int c = 0; c < kChannels; ++c) std::copy_n(wet.data[c].begin(), n, dry.data[c].begin());
        ConvertChannelCount(dry.ptr, kChannels, 2, n, CHANNEL_MODE_DISCRETE);
        dryLev->Process(dry.ptr, n);
        wrapper->Process(wet.ptr, n);
        wetLev->Process(wet.ptr, n);
        Planar back;
        std::uint32_t m = 0;
        ProcessPlanarBlocks(down, n, &m, &engine, &stream, enabled ? wet.ptr : dry.ptr, back.ptr,
                            uac::kChipDChannelBufferBytes, 0);
        for (int c = 0; c < kChannels; ++c) chainOut[c].insert(chainOut[c].end(), back.data[c].begin(), back.data[c].begin() + m);
      }
      // The node's output is the chain's, frame for frame, with silence inserted only
      // where the carry ran dry (each such frame adds one to the node's delay, so they
      // are few: at the start, and at 4x rates after the odd short call).
      size_t at = 0, inserted = 0;
      for (size_t i = 0; i < nodeOut[0].size(); ++i) {
        bool same = at < chainOut[0].size();
        bool silent = true;
        for (int c = 0; c < kChannels; ++c) {
          same = same && nodeOut[c][i] == chainOut[c][at];
          silent = silent && nodeOut[c][i] == 0.0f;
        }
        if (same) {
          ++at;
          continue;
        }
        ASSERT_TRUE(silent) << "frame " << i << " of the node, " << at << " of the chain: " << nodeOut[0][i] << " " << chainOut[0][at] << " " << nodeOut[1][i] << " " << chainOut[1][at] << " " << nodeOut[2][i] << " " << chainOut[2][at];
        ++inserted;
      }
      EXPECT_EQ(at + lpv_->CarryFrames(), chainOut[0].size());
      EXPECT_LT(inserted, 64u);
      RecordProperty("inserted_" + std::to_string(rate) + (enabled ? "_on" : "_off"), static_cast<int>(inserted));
      DspDelete(up);
      DspDelete(down);
      wetLev->FreeBuffers();
      DspDelete(wetLev);
      dryLev->FreeBuffers();
      DspDelete(dryLev);
      DspDelete(wrapper);
    }
  }
}

// The lag (0 .. maxLag) at which y best matches x, by cross-correlation.
size_t DelayOf(const std::vector<float>& x, const std::vector<float>& y, size_t maxLag) {
  size_t best = 0;
  double bestValue = -1.0;
  for (size_t lag = 0; lag <= maxLag && lag < y.size(); ++lag) {
    double sum = 0.0;
    for (size_t i = 0; i + lag < y.size() && i < x.size(); ++i) sum += static_cast<double>(x[i]) * y[i + lag];
    if (sum > bestValue) {
      bestValue = sum;
      best = lag;
    }
  }
  return best;
}

// The virtualiser node's delay at each stream rate, measured by cross-correlation of its
// output with its input (noise on channel 0), disabled (the fold) and enabled (the
// binaural left channel), against the sum of its parts' delays measured alone: the up
// and down converters, the leveller's 128 frames and the wrapper, at the engine rate.
// In calls of 480 frames the carry inserts no silence: the node adds nothing.
TEST_F(ChipDProcessing, VirtualiserDelayIsTheSumOfItsParts) {
  ASSERT_TRUE(Build());
  const ULONG rates[] = {44100, 48000, 88200, 96000, 176400, 192000};
  constexpr size_t kTotal = 16384;
  std::mt19937 rng(11);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<float> x(kTotal);
  for (auto& v : x) v = noise(rng);
  for (ULONG rate : rates) {
    SCOPED_TRACE(rate);
    const WAVEFORMATEXTENSIBLE f = Format(2, rate);
    ASSERT_EQ(lpv_->SetFormat(&f), STATUS_SUCCESS);
    const dsp::WAVEFORMATEXTENSIBLE engine = dsp::DspFormatFrom(lpv_->EngineFormat());
    const dsp::WAVEFORMATEXTENSIBLE stream = dsp::DspFormatFrom(lpv_->StreamFloatFormat());
    const ULONG ratio = rate / lpv_->EngineRate();
    // The parts alone: each converter on the noise, the wrapper at the engine rate.
    auto convert = [&](bool upward, const std::vector<float>& in) {
      auto* src = DspNew<CDspNonInterleaveSrc>(uac::kChipDBufferTag);
      EXPECT_TRUE(src && src->Init());
      if (upward)
        src->SetFormat(&stream, &engine);
      else
        src->SetFormat(&engine, &stream);
      std::vector<float> out;
      for (size_t at = 0; at < in.size(); at += 128) {
        Planar a, b;
        std::copy_n(in.begin() + at, 128, a.data[0].begin());
        std::uint32_t m = 0;
        ProcessPlanarBlocks(src, 128, &m, upward ? &stream : &engine, upward ? &engine : &stream, a.ptr, b.ptr,
                            uac::kChipDChannelBufferBytes, 0);
        out.insert(out.end(), b.data[0].begin(), b.data[0].begin() + m);
      }
      DspDelete(src);
      return out;
    };
    // Delays in stream frames: the up converter's against the plain decimation, the down
    // converter's on the up converter's output (both band-limited alike).
    std::vector<float> xe(kTotal / ratio);
    for (size_t i = 0; i < xe.size(); ++i) xe[i] = x[i * ratio];
    const std::vector<float> upOut = convert(true, x);
    const size_t up = DelayOf(xe, upOut, 256) * ratio;
    const size_t down = ratio == 1 ? 0 : DelayOf(x, convert(false, upOut), 1024) - up;
    size_t wrapper = 0;
    {
      auto* w = DspNew<CLpvEffect>(uac::kChipDEffectTag);
      dsp::WAVEFORMATEX lf = lpv_->VirtualiserFormat();
      w->SetEnable(1);
      w->SetCtcEnable(0);
      w->SetHeadphoneAngle(3);
      w->SetSpeakerAngle(3);
      w->SetCtcAngle(0);
      w->SetHeadphoneRoom(lpv_->Virtualiser()->GetHeadphoneRoom());
      w->SetHeadphoneWide(lpv_->Virtualiser()->GetHeadphoneWide());
      w->SetFormat(&lf);
      std::vector<float> out;
      for (size_t at = 0; at + 512 <= upOut.size(); at += 512) {
        Planar a;
        std::copy_n(upOut.begin() + at, 512, a.data[0].begin());
        w->Process(a.ptr, 512);
        out.insert(out.end(), a.data[0].begin(), a.data[0].begin() + 512);
      }
      wrapper = DelayOf(upOut, out, 2048);
      DspDelete(w);
    }
    for (bool enabled : {false, true}) {
      ASSERT_EQ(lpv_->SetValue(enabled ? 1 : 0), STATUS_SUCCESS);
      InterlockedExchange(&lpv_->m_lChanged[CUacEffectControl::kChangeFlag], 0);
      ASSERT_EQ(lpv_->SetFormat(&f), STATUS_SUCCESS);
      std::vector<float> out;
      for (size_t at = 0; at < kTotal; at += 480) {
        const ULONG frames = static_cast<ULONG>(std::min<size_t>(480, kTotal - at));
        Planar a;
        std::copy_n(x.begin() + at, frames, a.data[0].begin());
        lpv_->Process(&f, a.ptr, frames);
        out.insert(out.end(), a.data[0].begin(), a.data[0].begin() + frames);
      }
      const size_t node = DelayOf(x, out, 4096);
      const size_t parts = up + down + (128 + (enabled ? wrapper : 0)) * ratio;
      // (The binaural response has several peaks of like height: on the narrow band a 4x
      // rate leaves, the correlation may pick another one, so the wet delay is checked up
      // to 2x rates.)
      if (!enabled || ratio <= 2) {
        EXPECT_GE(node + ratio, parts);
        EXPECT_LE(node, parts + ratio);
      }
      RecordProperty("delay_" + std::to_string(rate) + (enabled ? "_on" : "_off"),
                     std::to_string(node) + " (parts " + std::to_string(parts) + ": up " + std::to_string(up) +
                         ", down " + std::to_string(down) + ", wrapper " + std::to_string(wrapper) + ")");
    }
  }
}

// Float streams (plain and extensible) pass both nodes untouched, and the change such a
// call took is faded by the next PCM call.
TEST_F(ChipDProcessing, FloatStreamsPassAndTheirChangeFadesInTheNextPcmCall) {
  ASSERT_TRUE(Build());
  const WAVEFORMATEXTENSIBLE pcm = Format(8, 48000);
  ASSERT_EQ(reverb_->SetFormat(&pcm), STATUS_SUCCESS);
  ASSERT_EQ(lpv_->SetFormat(&pcm), STATUS_SUCCESS);
  std::mt19937 rng(3);
  for (const WAVEFORMATEXTENSIBLE& fl : {Format(8, 48000, WAVE_FORMAT_IEEE_FLOAT), ExtensibleFloat(8, 48000)}) {
    const UCHAR value = reverb_->EnableValue() ? 0 : 1;
    ASSERT_EQ(reverb_->SetValue(value), STATUS_SUCCESS);
    ASSERT_EQ(lpv_->SetValue(value), STATUS_SUCCESS);
    for (adapter::IDspNode* node : {static_cast<adapter::IDspNode*>(reverb_), static_cast<adapter::IDspNode*>(lpv_)}) {
      Planar in;
      Fill(in, rng, kMaxFrames);
      Planar out(in);
      ASSERT_EQ(node->Process(&fl, out.ptr, kMaxFrames), STATUS_SUCCESS);
      EXPECT_EQ(out.data, in.data);
    }
    EXPECT_EQ(reverb_->m_lFadeState, value ? CUacEffectControl::kFadeIn : CUacEffectControl::kFadeOut);
    EXPECT_EQ(lpv_->m_lFadeState, value ? CUacEffectControl::kFadeIn : CUacEffectControl::kFadeOut);
    Planar in;
    Fill(in, rng, kMaxFrames);
    Planar a(in), b(in);
    ASSERT_EQ(reverb_->Process(&pcm, a.ptr, kMaxFrames), STATUS_SUCCESS);
    ASSERT_EQ(lpv_->Process(&pcm, b.ptr, kMaxFrames), STATUS_SUCCESS);
    EXPECT_EQ(a.data[0][2 * 48 - 1], 0.0f);
    EXPECT_EQ(b.data[0][2 * 102 - 1], 0.0f);
    EXPECT_EQ(reverb_->m_lFadeState, CUacEffectControl::kFadeSteady);
    EXPECT_EQ(lpv_->m_lFadeState, CUacEffectControl::kFadeSteady);
  }
}

// An allocation failure at each allocation of both controls' Init: the control works as
// a switch and the audio of a processed stream passes unchanged when an object or buffer
// set is missing (or is processed, finite, when only the wrapper's engine is).
TEST_F(ChipDProcessing, AllocationFailureAtEachStepPassesTheAudio) {
  ASSERT_TRUE(Build());
  PUNKNOWN source = static_cast<uac::IUacBoolControlSource*>(static_cast<uac::CChipDFeatureUnit*>(units_[0]));
  const WAVEFORMATEXTENSIBLE f = Format(8, 48000);
  std::mt19937 rng(5);
  for (bool virtualiser : {false, true}) {
    int passed = 0;
    for (std::uint64_t nth = 1; nth < 4000; ++nth) {
      SCOPED_TRACE(nth);
      adapter::IUacEntity* entity = nullptr;
      const std::uint64_t before = platform::pool::InjectedFailures();
      if (virtualiser) {
        ASSERT_EQ((adapter::CreateInstance<CChipDLpvEffectControl>(&entity, nullptr, NonPagedPool, uac::kChipDPoolTag,
                                                                    ULONG{40})),
                  STATUS_SUCCESS);
        platform::pool::FailNthAllocation(nth);
        static_cast<CChipDLpvEffectControl*>(entity)->Init(source, 0x8C, fdo_);
      } else {
        ASSERT_EQ((adapter::CreateInstance<CChipDReverbEffectControl>(&entity, nullptr, NonPagedPool,
                                                                       uac::kChipDPoolTag, ULONG{41})),
                  STATUS_SUCCESS);
        platform::pool::FailNthAllocation(nth);
        static_cast<CChipDReverbEffectControl*>(entity)->Init(source, 0x8B, fdo_);
      }
      const bool failed = platform::pool::InjectedFailures() != before;
      platform::pool::ClearFaultInjection();
      auto* effect = static_cast<CUacEffectControl*>(entity);
      effect->SetFormat(&f);
      effect->SetValue(1);
      bool missing;
      if (virtualiser) {
        auto* l = static_cast<CChipDLpvEffectControl*>(entity);
        missing = !l->Virtualiser() || !l->WetLeveler() || !l->DryLeveler() || !l->UpConverter() || !l->CarrySet();
      } else {
        missing = !static_cast<CChipDReverbEffectControl*>(entity)->Reverb();
      }
      for (int call = 0; call < 3; ++call) {
        Planar in;
        Fill(in, rng, kMaxFrames);
        Planar out(in);
        ASSERT_EQ(static_cast<adapter::IDspNode*>(effect)->Process(&f, out.ptr, kMaxFrames), STATUS_SUCCESS);
        if (missing) {
          ASSERT_EQ(out.data, in.data);
        } else {
          for (int c = 0; c < 8; ++c)
            for (ULONG i = 0; i < kMaxFrames; ++i) ASSERT_TRUE(std::isfinite(out.data[c][i]));
        }
      }
      passed += missing;
      entity->Release();
      if (!failed) break;
    }
    EXPECT_GT(passed, virtualiser ? 20 : 10);
  }
}

// The switch and the virtualiser's values changing while both nodes process at
// DISPATCH_LEVEL, under many scheduler seeds: no toggle is lost (once quiet, one more
// call leaves each node steady on the last value), and every output is finite.
TEST_F(ChipDProcessing, SwitchAndValuesRacingProcessUnderSeeds) {
  UseExactTiming();
  ASSERT_TRUE(Build());
  const WAVEFORMATEXTENSIBLE f = Format(8, 48000);
  ASSERT_EQ(reverb_->SetFormat(&f), STATUS_SUCCESS);
  ASSERT_EQ(lpv_->SetFormat(&f), STATUS_SUCCESS);
  const ULONG pairs[2][2] = {{0, 0}, {2, 1}};
  const auto seeds = platform::testing::SeedsWhere(seed() * 1000 + 7, 8, [&] {
    bool failed = false;
    volatile LONG done = 0;
    {
      platform::clock::Thread writer("control", [&] {
        for (int i = 0; i < 4; ++i) {
          failed |= reverb_->SetValue(static_cast<UCHAR>((i + 1) & 1)) != STATUS_SUCCESS;
          failed |= lpv_->SetValue(static_cast<UCHAR>(i & 1)) != STATUS_SUCCESS;
          failed |= lpv_->SetValues(0, 2, pairs[(i + 1) & 1]) != STATUS_SUCCESS;
        }
        InterlockedExchange(&done, 1);
      });
      platform::clock::Thread processing("processing", [&] {
        Planar buffers;
        std::mt19937 rng(1);
        while (!InterlockedCompareExchange(&done, 0, 0)) {
          LARGE_INTEGER interval;
          interval.QuadPart = -2500;
          KeDelayExecutionThread(KernelMode, FALSE, &interval);
          KIRQL old;
          KeRaiseIrql(DISPATCH_LEVEL, &old);
          Fill(buffers, rng, 128);
          reverb_->Process(&f, buffers.ptr, 128);
          lpv_->Process(&f, buffers.ptr, 128);
          KeLowerIrql(old);
          for (int c = 0; c < 8; ++c)
            for (ULONG i = 0; i < 128; ++i) failed |= !std::isfinite(buffers.data[c][i]);
        }
      });
      writer.Join();
      processing.Join();
    }
    Planar last;
    reverb_->Process(&f, last.ptr, 128);
    lpv_->Process(&f, last.ptr, 128);
    failed |= reverb_->m_nCurrentEnable != reverb_->EnableValue();
    failed |= reverb_->m_lFadeState != CUacEffectControl::kFadeSteady || lpv_->m_lFadeState != CUacEffectControl::kFadeSteady;
    failed |= reverb_->m_lChanged[CUacEffectControl::kChangeFlag] != 0 || lpv_->m_lChanged[CUacEffectControl::kChangeFlag] != 0;
    return failed;
  });
  EXPECT_TRUE(seeds.empty()) << "first failing seed " << (seeds.empty() ? 0 : seeds[0]);
}

}  // namespace
}  // namespace unit_test
