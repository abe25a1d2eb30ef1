// The chip class D feature unit and its two effect controls against the simulated
// device: which nodes the unit makes, the virtualiser's room and wide values (range
// checks, what is applied, what is saved and restored), the formats the effects are set
// up for, the enable switch's hand-over flags, and Init under every allocation failure.
#include <gtest/gtest.h>

#include <cstring>

#include "adapter/object_model.h"
#include "dsp/host.h"
#include "kernel/clock.h"
#include "kernel/pool.h"
#include "kernel/registry.h"
#include "uac/chip_d_effect_controls.h"
#include "uac/chip_d_feature_unit.h"
#include "unit_fixture.h"

namespace unit_test {
namespace {

using sim::device::SimDevice;
using uac::CChipDLpvEffectControl;
using uac::CChipDReverbEffectControl;
using uac::CUacEffectControl;

constexpr USHORT kMute = 1 << 0, kVolume = 1 << 1;
constexpr USHORT kReverbBit = 1 << 10, kLpvBit = 1 << 11;  // selectors 0x8B and 0x8C
const Bytes kInput = {12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0};
const Bytes kOutput = {9, 0x24, 3, 9, 0x01, 0x03, 0, 2, 0};

// DSP allocations come from the platform pool, so its leak check and fault injection
// cover them too.
void* PoolAllocate(std::size_t bytes, std::uint32_t tag) {
  return ExAllocatePoolWithTag(NonPagedPool, static_cast<SIZE_T>(bytes), tag);
}
void PoolFree(void* block) { ExFreePool(block); }
void PoolPrint(const char*) {}
constexpr DspHostHooks kPoolHooks = {PoolAllocate, PoolFree, PoolPrint};

// The vendor control block of a unit: one master bitmap of two bytes.
sim::device::DeviceProfile VendorBlock(UCHAR unit, USHORT bitmap) {
  sim::device::DeviceProfile profile;
  Bytes block(16, 0);
  for (UCHAR b : {21, 0, 2, static_cast<int>(bitmap & 0xFF), bitmap >> 8}) block.push_back(b);
  profile.entity_memory[unit] = block;
  return profile;
}

WAVEFORMATEXTENSIBLE Pcm(WORD channels, ULONG rate, WORD bits, bool extensible) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = bits;
  f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
  if (extensible) {
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = bits;
    f.dwChannelMask = 0x63F;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  }
  return f;
}

class ChipDControls : public UnitTest {
 protected:
  void SetUp() override {
    UnitTest::SetUp();
    savedHooks_ = DspSetHostHooks(&kPoolHooks);
  }
  void TearDown() override {
    UnitTest::TearDown();
    DspSetHostHooks(&savedHooks_);
  }

  // A chip D feature unit 2 over the given controls and vendor bitmap.
  uac::CChipDFeatureUnit* Build(USHORT controls, USHORT vendorBitmap, bool start = true) {
    const Bytes feature = FeatureUnit(2, 1, 1, {controls});
    if (start) StartWith(Uac1Configuration({kInput, feature, kOutput}), VendorBlock(2, vendorBitmap));
    return MakeChipDUnit(feature);
  }
  uac::CChipDFeatureUnit* MakeChipDUnit(const Bytes& feature) {
    adapter::IUacEntity* entity = nullptr;
    EXPECT_EQ((adapter::CreateInstance<uac::CChipDFeatureUnit>(&entity, nullptr, NonPagedPool, uac::kUac1PoolTag,
                                                                ULONG{feature[3]})),
              STATUS_SUCCESS);
    if (!entity) return nullptr;
    auto* unit = static_cast<uac::CChipDFeatureUnit*>(entity);
    lastStatus_ = unit->Init(feature.data(), usb_, function_);
    if (!NT_SUCCESS(lastStatus_)) {
      entity->Release();
      return nullptr;
    }
    units_.push_back(unit);
    return unit;
  }
  template <class Control>
  Control* Find(uac::CUacUnit* unit) {
    for (ULONG i = 0; i < unit->GetNodeCount(); ++i)
      if (auto* c = dynamic_cast<Control*>(unit->GetNode(i))) return c;
    return nullptr;
  }
  std::u16string ValueName(ULONG id, ULONG index) {
    char name[32];
    std::snprintf(name, sizeof name, "Unit%02u_%u", static_cast<unsigned>(id), static_cast<unsigned>(index));
    return std::u16string(name, name + std::strlen(name));
  }
  std::optional<ULONG> SavedValue(ULONG id, ULONG index) {
    const Bytes b = Saved(ValueName(id, index));
    if (b.size() != 4) return std::nullopt;
    return ULONG{b[0]} | ULONG{b[1]} << 8 | ULONG{b[2]} << 16 | ULONG{b[3]} << 24;
  }

  DspHostHooks savedHooks_{};
  NTSTATUS lastStatus_ = STATUS_SUCCESS;
};

// Nodes in the unit's order; the effect controls only where the vendor block announces
// their selector, and of the classes and node types of the two effects.
TEST_F(ChipDControls, EffectControlsOnlyWhereTheVendorBlockAnnouncesThem) {
  const struct {
    const char* what;
    USHORT bitmap;
    bool reverb, lpv;
  } cases[] = {
      {"none", 0, false, false},
      {"reverb", kReverbBit, true, false},
      {"virtualiser", kLpvBit, false, true},
      {"both", kReverbBit | kLpvBit, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    uac::CChipDFeatureUnit* unit = Build(kMute | kVolume, c.bitmap);
    ASSERT_NE(unit, nullptr);
    ASSERT_EQ(unit->GetNodeCount(), 2u + c.reverb + c.lpv);
    EXPECT_EQ(unit->GetNode(0)->GetType(), adapter::NODE_MUTE);
    EXPECT_EQ(unit->GetNode(1)->GetType(), adapter::NODE_VOLUME);
    for (ULONG i = 0; i < unit->GetNodeCount(); ++i) EXPECT_EQ(unit->GetNode(i)->GetId(), i);
    auto* reverb = Find<CChipDReverbEffectControl>(unit);
    auto* lpv = Find<CChipDLpvEffectControl>(unit);
    EXPECT_EQ(reverb != nullptr, c.reverb);
    EXPECT_EQ(lpv != nullptr, c.lpv);
    if (reverb && lpv) {
      EXPECT_LT(reverb->GetId(), lpv->GetId());
    }
    GUID type{};
    if (reverb) {
      ASSERT_EQ(reverb->GetEffectNodeType(&type), STATUS_SUCCESS);
      EXPECT_TRUE(IsEqualGUID(type, uac::KSNODETYPE_CHIP_D_REVERB));
      ULONG count = 9;
      reverb->GetEffectParameter(&count);
      EXPECT_EQ(count, 0u);
      ULONG values[2];
      EXPECT_EQ(reverb->GetValues(0, 1, values), STATUS_INVALID_PARAMETER);
      EXPECT_NE(reverb->Reverb(), nullptr);
    }
    if (lpv) {
      ASSERT_EQ(lpv->GetEffectNodeType(&type), STATUS_SUCCESS);
      EXPECT_TRUE(IsEqualGUID(type, uac::KSNODETYPE_CHIP_D_VIRTUALISER));
      ULONG count = 0;
      lpv->GetEffectParameter(&count);
      EXPECT_EQ(count, 2u);
      EXPECT_NE(lpv->Virtualiser(), nullptr);
      EXPECT_EQ(lpv->WorkLength(), uac::kChipDChannelBufferBytes);
    }
    // Both answer the processing interface.
    for (uac::CUacEffectControl* effect : {static_cast<CUacEffectControl*>(reverb), static_cast<CUacEffectControl*>(lpv)}) {
      if (!effect) continue;
      PVOID itf = nullptr;
      ASSERT_EQ(effect->QueryInterface(adapter::IID_IDspNode, &itf), STATUS_SUCCESS);
      static_cast<adapter::IDspNode*>(itf)->Release();
      EXPECT_EQ(effect->m_lFadeState, CUacEffectControl::kFadeSteady);
    }
    ReleaseUnits();
    TearDownDevice();
  }
}

TEST_F(ChipDControls, UnitWithoutMuteIsRefused) {
  EXPECT_EQ(Build(kVolume, kReverbBit | kLpvBit), nullptr);
  EXPECT_EQ(lastStatus_, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(function_->GetEntityCount(), 0u);
}

// GetValues and SetValues: ranges checked without wrapping, a refused room neither
// applied nor stored, every accepted value applied to the virtualiser and saved.
TEST_F(ChipDControls, VirtualiserValuesAppliedAndSavedOnlyWhenAccepted) {
  struct Step {
    const char* what;
    ULONG first, count;
    std::vector<ULONG> values;
    NTSTATUS status;
    ULONG room, wide;                          // values afterwards
    std::optional<ULONG> savedRoom, savedWide;  // Settings afterwards
  };
  const Step steps[] = {
      {"room 1 and wide on", 0, 2, {1, 1}, STATUS_SUCCESS, 1, 1, 1, 1},
      {"room 3 alone", 0, 1, {3}, STATUS_INVALID_PARAMETER, 1, 1, 1, 1},
      {"room 0", 0, 1, {0}, STATUS_SUCCESS, 0, 1, 0, 1},
      {"room 3 with wide off", 0, 2, {3, 0}, STATUS_SUCCESS, 0, 0, 0, 0},
      {"wide from index 1", 1, 1, {1}, STATUS_SUCCESS, 0, 1, 0, 1},
      {"room 2", 0, 1, {2}, STATUS_SUCCESS, 2, 1, 2, 1},
      {"past the end", 1, 2, {0, 0}, STATUS_INVALID_PARAMETER, 2, 1, 2, 1},
      {"count 0", 0, 0, {0}, STATUS_INVALID_PARAMETER, 2, 1, 2, 1},
      {"first wraps", 0xFFFFFFFF, 2, {0, 0}, STATUS_INVALID_PARAMETER, 2, 1, 2, 1},
      {"count wraps", 1, 0xFFFFFFFF, {0, 0}, STATUS_INVALID_PARAMETER, 2, 1, 2, 1},
  };
  uac::CChipDFeatureUnit* unit = Build(kMute, kLpvBit);
  ASSERT_NE(unit, nullptr);
  auto* lpv = Find<CChipDLpvEffectControl>(unit);
  ASSERT_NE(lpv, nullptr);
  const ULONG id = lpv->GetId();
  ULONG values[2] = {9, 9};
  ASSERT_EQ(lpv->GetValues(0, 2, values), STATUS_SUCCESS);
  EXPECT_EQ(values[0], 1u);  // the virtualiser's defaults
  EXPECT_EQ(values[1], 0u);
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    EXPECT_EQ(lpv->SetValues(s.first, s.count, s.values.data()), s.status);
    ASSERT_EQ(lpv->GetValues(0, 2, values), STATUS_SUCCESS);
    EXPECT_EQ(values[0], s.room);
    EXPECT_EQ(values[1], s.wide);
    EXPECT_EQ(lpv->Virtualiser()->GetHeadphoneRoom(), s.room);
    EXPECT_EQ(lpv->Virtualiser()->GetHeadphoneWide(), s.wide);
    EXPECT_EQ(lpv->Virtualiser()->GetSpeakerWide(), s.wide);
    EXPECT_EQ(SavedValue(id, 0), s.savedRoom);
    EXPECT_EQ(SavedValue(id, 1), s.savedWide);
  }
  const struct {
    ULONG first, count;
    NTSTATUS status;
  } reads[] = {{0, 1, STATUS_SUCCESS},          {1, 1, STATUS_SUCCESS},
               {2, 1, STATUS_INVALID_PARAMETER}, {0, 3, STATUS_INVALID_PARAMETER},
               {0xFFFFFFFF, 2, STATUS_INVALID_PARAMETER}, {1, 0xFFFFFFFF, STATUS_INVALID_PARAMETER}};
  for (const auto& r : reads) {
    ULONG out[2] = {};
    EXPECT_EQ(lpv->GetValues(r.first, r.count, out), r.status) << r.first << " " << r.count;
  }
  EXPECT_EQ(lpv->GetValues(0, 1, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(lpv->SetValues(0, 1, nullptr), STATUS_INVALID_PARAMETER);
}

// A new device object restores the saved room and wide into the virtualiser; a saved
// room it does not know is ignored.
TEST_F(ChipDControls, RoomAndWideRestoredByANewDeviceObject) {
  const Bytes feature = FeatureUnit(2, 1, 1, {kMute});
  StartWith(Uac1Configuration({kInput, feature, kOutput}), VendorBlock(2, kLpvBit));
  auto* lpv = Find<CChipDLpvEffectControl>(MakeChipDUnit(feature));
  ASSERT_NE(lpv, nullptr);
  const ULONG id = lpv->GetId();
  const ULONG set[2] = {2, 1};
  ASSERT_EQ(lpv->SetValues(0, 2, set), STATUS_SUCCESS);

  Restart();
  lpv = Find<CChipDLpvEffectControl>(MakeChipDUnit(feature));
  ASSERT_NE(lpv, nullptr);
  ULONG values[2] = {};
  ASSERT_EQ(lpv->GetValues(0, 2, values), STATUS_SUCCESS);
  EXPECT_EQ(values[0], 2u);
  EXPECT_EQ(values[1], 1u);
  EXPECT_EQ(lpv->Virtualiser()->GetHeadphoneRoom(), 2u);
  EXPECT_EQ(lpv->Virtualiser()->GetHeadphoneWide(), 1u);
  EXPECT_EQ(lpv->Virtualiser()->GetSpeakerWide(), 1u);

  const UCHAR room3[4] = {3, 0, 0, 0};
  ASSERT_TRUE(platform::registry::SetBinary(SettingsPath(), ValueName(id, 0), room3));
  Restart();
  lpv = Find<CChipDLpvEffectControl>(MakeChipDUnit(feature));
  ASSERT_NE(lpv, nullptr);
  ASSERT_EQ(lpv->GetValues(0, 2, values), STATUS_SUCCESS);
  EXPECT_EQ(values[0], 1u);
  EXPECT_EQ(values[1], 1u);
  EXPECT_EQ(lpv->Virtualiser()->GetHeadphoneRoom(), 1u);
}

// The virtualiser runs at 44.1 kHz for rates that are not whole kHz and at 48 kHz
// otherwise; its converters and levellers get 32-bit float formats of the stream's
// channels, and the reverb the stream's rate and channels.
TEST_F(ChipDControls, FormatsGivenToTheEffects) {
  uac::CChipDFeatureUnit* unit = Build(kMute, kReverbBit | kLpvBit);
  ASSERT_NE(unit, nullptr);
  auto* lpv = Find<CChipDLpvEffectControl>(unit);
  auto* reverb = Find<CChipDReverbEffectControl>(unit);
  ASSERT_TRUE(lpv && reverb);
  const struct {
    ULONG rate, engine;
    WORD channels, bits;
    bool extensible;
  } cases[] = {
      {44100, 44100, 8, 16, false}, {88200, 44100, 8, 16, true}, {96000, 48000, 6, 24, true},
      {32000, 48000, 2, 16, false}, {48000, 48000, 8, 32, true}, {176400, 44100, 2, 16, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    const WAVEFORMATEXTENSIBLE stream = Pcm(c.channels, c.rate, c.bits, c.extensible);
    EXPECT_EQ(lpv->SetFormat(&stream), STATUS_SUCCESS);
    EXPECT_EQ(lpv->EngineRate(), c.engine);
    for (const WAVEFORMATEXTENSIBLE* f : {&lpv->EngineFormat(), &lpv->StreamFloatFormat()}) {
      EXPECT_EQ(f->Format.nChannels, c.channels);
      EXPECT_EQ(f->Format.wBitsPerSample, 32);
      EXPECT_EQ(f->Format.nBlockAlign, c.channels * 4);
      EXPECT_EQ(f->Format.nAvgBytesPerSec, f->Format.nSamplesPerSec * c.channels * 4);
      if (c.extensible) {
        EXPECT_EQ(f->Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
        EXPECT_TRUE(IsEqualGUID(f->SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));
        EXPECT_EQ(f->Samples.wValidBitsPerSample, 32);
      } else {
        EXPECT_EQ(f->Format.wFormatTag, WAVE_FORMAT_IEEE_FLOAT);
      }
    }
    EXPECT_EQ(lpv->StreamFloatFormat().Format.nSamplesPerSec, c.rate);
    EXPECT_EQ(lpv->EngineFormat().Format.nSamplesPerSec, c.engine);
    EXPECT_EQ(lpv->VirtualiserFormat().nSamplesPerSec, c.engine);
    EXPECT_EQ(lpv->VirtualiserFormat().nChannels, c.channels);
    EXPECT_EQ(lpv->VirtualiserFormat().wFormatTag, WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(lpv->VirtualiserFormat().nBlockAlign, c.channels * 4);
    EXPECT_EQ(lpv->CarryFrames(), 0u);
    EXPECT_EQ(std::memcmp(&lpv->m_StreamFormat, &stream, sizeof stream), 0);

    EXPECT_EQ(reverb->SetFormat(&stream), STATUS_SUCCESS);
    EXPECT_EQ(reverb->Reverb()->PendingChannelValue(), c.channels - 1);
    EXPECT_EQ(std::memcmp(&reverb->m_StreamFormat, &stream, sizeof stream), 0);
  }
  EXPECT_EQ(lpv->ResetState(), STATUS_SUCCESS);
  EXPECT_EQ(reverb->ResetState(), STATUS_SUCCESS);
  EXPECT_EQ(lpv->SetFormat(nullptr), STATUS_INVALID_PARAMETER);
}

// The enable switch: a value the device refuses changes nothing (value, flags,
// Settings); a value it takes is stored before both flags are raised.
TEST_F(ChipDControls, EnableRefusedByTheDeviceChangesNothing) {
  uac::CChipDFeatureUnit* unit = Build(kMute, kReverbBit | kLpvBit);
  ASSERT_NE(unit, nullptr);
  for (uac::CUacEffectControl* effect : {static_cast<CUacEffectControl*>(Find<CChipDReverbEffectControl>(unit)),
                                         static_cast<CUacEffectControl*>(Find<CChipDLpvEffectControl>(unit))}) {
    ASSERT_NE(effect, nullptr);
    const UCHAR selector = dynamic_cast<CChipDReverbEffectControl*>(effect) ? 0x8B : 0x8C;
    SCOPED_TRACE(int(selector));
    const std::u16string name = ValueName(effect->GetId(), 0).substr(0, 7);  // "UnitNN_"
    UCHAR value = 9;
    ASSERT_EQ(effect->GetValue(&value), STATUS_SUCCESS);
    ASSERT_EQ(value, 0);
    sim_->StallRequests(SimDevice::RequestMatch{0x41, 0x01, USHORT(selector << 8), std::nullopt});
    EXPECT_NE(effect->SetValue(1), STATUS_SUCCESS);
    effect->GetValue(&value);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(effect->m_lChanged[CUacEffectControl::kPendingFlag], 0);
    EXPECT_EQ(effect->m_lChanged[CUacEffectControl::kChangeFlag], 0);
    EXPECT_TRUE(Saved(name).empty());

    EXPECT_EQ(effect->SetValue(1), STATUS_SUCCESS);
    effect->GetValue(&value);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(effect->m_lChanged[CUacEffectControl::kPendingFlag], 1);
    EXPECT_EQ(effect->m_lChanged[CUacEffectControl::kChangeFlag], 1);
    EXPECT_EQ(Saved(name), Bytes{1});
  }
}

// The control side against a processing side at DISPATCH_LEVEL, under many scheduler
// seeds: every enable the device took is either still flagged or was seen by the
// processing when it took the flag (no toggle lost), and the virtualiser's room and wide
// are only ever seen as a pair SetValues set together.
TEST_F(ChipDControls, ProcessingSeesEveryEnableAndWholeValuePairsUnderSeeds) {
  // Timers on their due times: the processing side wakes with the bus frames that end
  // the control side's requests.
  UseExactTiming();
  uac::CChipDFeatureUnit* unit = Build(kMute, kReverbBit | kLpvBit);
  ASSERT_NE(unit, nullptr);
  auto* reverb = Find<CChipDReverbEffectControl>(unit);
  auto* lpv = Find<CChipDLpvEffectControl>(unit);
  ASSERT_TRUE(reverb && lpv);
  const ULONG pairs[2][2] = {{0, 0}, {2, 1}};
  constexpr int kRounds = 6;
  const auto seeds = platform::testing::SeedsWhere(seed() * 1000 + 1, 16, [&] {
    bool failed = lpv->SetValues(0, 2, pairs[0]) != STATUS_SUCCESS || reverb->SetValue(0) != STATUS_SUCCESS;
    InterlockedExchange(&reverb->m_lChanged[CUacEffectControl::kChangeFlag], 0);
    UCHAR seen = 0;
    volatile LONG done = 0;
    {
      platform::clock::Thread writer("control", [&] {
        for (int i = 0; i < kRounds; ++i) {
          failed |= reverb->SetValue(static_cast<UCHAR>((i + 1) & 1)) != STATUS_SUCCESS;
          failed |= lpv->SetValues(0, 2, pairs[(i + 1) & 1]) != STATUS_SUCCESS;
        }
        InterlockedExchange(&done, 1);
      });
      // A buffer every 250 us of virtual time until the control side is done, so that it
      // is ready to run whenever a request of the control side completes.
      platform::clock::Thread processing("processing", [&] {
        while (!InterlockedCompareExchange(&done, 0, 0)) {
          LARGE_INTEGER interval;
          interval.QuadPart = -2500;
          KeDelayExecutionThread(KernelMode, FALSE, &interval);
          KIRQL old;
          KeRaiseIrql(DISPATCH_LEVEL, &old);
          if (InterlockedExchange(&reverb->m_lChanged[CUacEffectControl::kChangeFlag], 0)) seen = reverb->EnableValue();
          KLOCK_QUEUE_HANDLE handle;
          bool atDpc = false;
          lpv->LockEffect(&handle, &atDpc);
          const ULONG room = lpv->Virtualiser()->GetHeadphoneRoom(), wide = lpv->Virtualiser()->GetHeadphoneWide();
          failed |= !((room == 0 && wide == 0) || (room == 2 && wide == 1));
          lpv->UnlockEffect(&handle, atDpc);
          KeLowerIrql(old);
        }
      });
      writer.Join();
      processing.Join();
    }
    const bool flagged = reverb->m_lChanged[CUacEffectControl::kChangeFlag] != 0;
    return failed || (!flagged && seen != reverb->EnableValue());
  });
  EXPECT_TRUE(seeds.empty()) << "first failing seed " << (seeds.empty() ? 0 : seeds[0]);
}

// Every allocation of both Inits failed in turn: Init still succeeds with the switch,
// whatever effect objects it could not have are absent, and nothing leaks (the pool's
// check at teardown).
TEST_F(ChipDControls, AllocationFailureAtEachStepOfInitLeavesAWorkingSwitch) {
  uac::CChipDFeatureUnit* unit = Build(kMute, kReverbBit | kLpvBit);
  ASSERT_NE(unit, nullptr);
  PUNKNOWN source = static_cast<uac::IUacBoolControlSource*>(unit);
  const WAVEFORMATEXTENSIBLE stream = Pcm(8, 48000, 16, true);
  // The switch's own set-up comes first; its failures are the switch's (and returned).
  std::uint64_t switchAllocations = 0;
  {
    adapter::IUacEntity* entity = nullptr;
    ASSERT_EQ((adapter::CreateInstance<CUacEffectControl>(&entity, nullptr, NonPagedPool, uac::kChipDPoolTag, ULONG{42})),
              STATUS_SUCCESS);
    const std::uint64_t before = platform::pool::AllocationCount();
    ASSERT_EQ(static_cast<CUacEffectControl*>(entity)->InitUacEffectControl(source, 0x8B, fdo_), STATUS_SUCCESS);
    switchAllocations = platform::pool::AllocationCount() - before;
    entity->Release();
  }
  for (bool virtualiser : {false, true}) {
    int injected = 0;
    for (std::uint64_t nth = switchAllocations + 1; nth < 4000; ++nth) {
      SCOPED_TRACE(nth);
      adapter::IUacEntity* entity = nullptr;
      NTSTATUS status = STATUS_SUCCESS;
      const std::uint64_t before = platform::pool::InjectedFailures();
      if (virtualiser) {
        ASSERT_EQ((adapter::CreateInstance<CChipDLpvEffectControl>(&entity, nullptr, NonPagedPool, uac::kChipDPoolTag,
                                                                    ULONG{40})),
                  STATUS_SUCCESS);
        platform::pool::FailNthAllocation(nth);
        status = static_cast<CChipDLpvEffectControl*>(entity)->Init(source, 0x8C, fdo_);
      } else {
        ASSERT_EQ((adapter::CreateInstance<CChipDReverbEffectControl>(&entity, nullptr, NonPagedPool,
                                                                       uac::kChipDPoolTag, ULONG{41})),
                  STATUS_SUCCESS);
        platform::pool::FailNthAllocation(nth);
        status = static_cast<CChipDReverbEffectControl*>(entity)->Init(source, 0x8B, fdo_);
      }
      const bool failed = platform::pool::InjectedFailures() != before;
      platform::pool::ClearFaultInjection();
      EXPECT_EQ(status, STATUS_SUCCESS);
      auto* effect = static_cast<CUacEffectControl*>(entity);
      EXPECT_EQ(effect->SetFormat(&stream), STATUS_SUCCESS);
      EXPECT_EQ(effect->ResetState(), STATUS_SUCCESS);
      EXPECT_EQ(effect->SetValue(1), STATUS_SUCCESS);
      if (virtualiser) {
        const ULONG values[2] = {2, 1};
        EXPECT_EQ(static_cast<CChipDLpvEffectControl*>(entity)->SetValues(0, 2, values), STATUS_SUCCESS);
      }
      entity->Release();
      if (!failed) break;
      ++injected;
    }
    EXPECT_GT(injected, virtualiser ? 20 : 10);
  }
}

}  // namespace
}  // namespace unit_test
