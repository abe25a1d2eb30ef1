// The UAC 1.0 feature unit at its edges: channel counts of controls present on the
// master and the logical channels, two-byte levels at the bottom of the wire range
// (0x8000 is minus infinity for current values only), a device that refuses the range
// read while the unit is built, and the effect switch used from two threads at once.
#include <gtest/gtest.h>

#include <climits>

#include "kernel/clock.h"
#include "unit_fixture.h"

namespace unit_test {
namespace {

using sim::device::SimDevice;
using uac::kLevelMinusInfinity;

constexpr USHORT kMute = 1 << 0, kVolume = 1 << 1;
constexpr LONG kDb = 65536;
const Bytes kInput = {12, 0x24, 2, 1, 0x01, 0x01, 0, 2, 3, 0, 0, 0};
const Bytes kOutput = {9, 0x24, 3, 9, 0x01, 0x03, 0, 2, 0};

SimDevice::ControlKey Key(UCHAR unit, UCHAR selector, UCHAR channel) { return {false, unit, selector, channel, 0}; }

class FeatureEdges : public UnitTest {
 protected:
  uac::CUac1FeatureUnit* Build(const Bytes& feature, sim::device::DeviceProfile profile = {}) {
    StartWith(Uac1Configuration({kInput, feature, kOutput}), profile);
    uac::CUacUnit* unit = nullptr;
    EXPECT_EQ(MakeUnit(feature, &unit), STATUS_SUCCESS);
    return static_cast<uac::CUac1FeatureUnit*>(unit);
  }
};

// A control on the master and on logical channels is a control of the logical channels:
// the count is theirs. Node channel 0 is device channel 1 when there are several, and
// the master when there is one and the master has it.
TEST_F(FeatureEdges, MasterAndLogicalControlCountsTheLogicalChannelsOnly) {
  const struct {
    const char* what;
    std::vector<USHORT> controls;
    ULONG channels;
    UCHAR firstDeviceChannel;
  } cases[] = {
      {"master and both logical", {kMute | kVolume, kVolume, kVolume}, 2, 1},
      {"master and one logical", {kMute | kVolume, kVolume, 0}, 1, 0},
      {"master and the second logical", {kMute | kVolume, 0, kVolume}, 1, 0},
      {"one logical", {kMute, kVolume, 0}, 1, 1},
      {"master only", {kMute | kVolume, 0, 0}, 1, 0},
      {"logical only", {kMute, kVolume, kVolume}, 2, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    uac::CUac1FeatureUnit* fu = Build(FeatureUnit(2, 1, 1, c.controls));
    ASSERT_NE(fu, nullptr);
    ULONG channels = 0;
    EXPECT_EQ(fu->GetChannelCount(uac::FU_VOLUME, &channels), STATUS_SUCCESS);
    EXPECT_EQ(channels, c.channels);
    ULONG shown = 0;
    NodeOf<uac::CUacVolumeControl>(fu, 1)->GetChannelCount(&shown);
    EXPECT_EQ(shown, c.channels);
    sim_->ClearControlLog();
    EXPECT_EQ(fu->SetCur(uac::FU_VOLUME, 0, LONG{-3 * kDb}), STATUS_SUCCESS);
    ASSERT_EQ(sim_->control_log().size(), 1u);
    EXPECT_EQ(sim_->control_log()[0].setup.wValue, 0x0200 | c.firstDeviceChannel);
    ReleaseUnits();
    TearDownDevice();
  }
}

// Two-byte levels on the wire: every finite level, however low, is sent as a finite
// value (0x8001 at the bottom); only minus infinity is sent as 0x8000.
TEST_F(FeatureEdges, FiniteLevelsNeverReachTheMinusInfinityCode) {
  uac::CUac1FeatureUnit* fu = Build(FeatureUnit(2, 1, 1, {kMute | kVolume}));
  ASSERT_NE(fu, nullptr);
  sim_->SetControlRange(Key(2, 2, 0), -0x8000, 0x7FFF, 1);  // the device takes any code
  const struct {
    LONG level;
    std::int64_t wire;
  } cases[] = {
      {kLevelMinusInfinity, -0x8000},
      {-128 * kDb, -0x7FFF},
      {-128 * kDb + 255, -0x7FFF},  // rounds toward -128 dB, still finite
      {-129 * kDb, -0x7FFF},
      {INT_MIN + 1, -0x7FFF},
      {-0x7FFF * 256, -0x7FFF},
      {-0x7FFE * 256, -0x7FFE},
      {-kDb, -256},
      {0, 0},
      {127 * kDb, 127 * 256},
      {200 * kDb, 0x7FFF},
      {INT_MAX, 0x7FFF},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fu->SetCur(uac::FU_VOLUME, 0, c.level), STATUS_SUCCESS);
    EXPECT_EQ(sim_->GetControl(Key(2, 2, 0)), c.wire) << c.level;
  }
}

// Range values are numbers: a device whose volume range starts at 0x8000 has a range
// from -128 dB, while a current value of 0x8000 still reads as minus infinity.
TEST_F(FeatureEdges, RangeFromTheBottomCodeIsMinus128DbButCurrentValueIsMinusInfinity) {
  const struct {
    std::int64_t minimum, maximum, resolution;
    LONG expectMinimum, expectMaximum, expectStep;
  } cases[] = {
      {-0x8000, 0, 256, -128 * kDb, 0, kDb},
      {-0x8000, -0x8000, 1, -128 * kDb, -128 * kDb, 256},
      {-0x7FFF, 0x7FFF, 0x7FFF, -0x7FFF * 256, 0x7FFF * 256, 0x7FFF * 256},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.minimum);
    sim::device::DeviceProfile profile;
    uac::CUac1FeatureUnit* fu = nullptr;
    StartWith(Uac1Configuration({kInput, FeatureUnit(2, 1, 1, {kMute | kVolume}), kOutput}), profile);
    sim_->SetControlRange(Key(2, 2, 0), c.minimum, c.maximum, c.resolution);
    uac::CUacUnit* unit = nullptr;
    ASSERT_EQ(MakeUnit(FeatureUnit(2, 1, 1, {kMute | kVolume}), &unit), STATUS_SUCCESS);
    fu = static_cast<uac::CUac1FeatureUnit*>(unit);
    LONG maximum = 0, minimum = 0, step = 0;
    ASSERT_EQ(fu->GetRange(uac::FU_VOLUME, &maximum, &minimum, &step), STATUS_SUCCESS);
    EXPECT_EQ(minimum, c.expectMinimum);
    EXPECT_EQ(maximum, c.expectMaximum);
    EXPECT_EQ(step, c.expectStep);
    // The volume node shows the same range.
    ASSERT_EQ(NodeOf<uac::CUacVolumeControl>(unit, 1)->GetRange(&maximum, &minimum, &step), STATUS_SUCCESS);
    EXPECT_EQ(minimum, c.expectMinimum);
    sim_->SetControl(Key(2, 2, 0), -0x8000);
    LONG level = 0;
    EXPECT_EQ(fu->GetCur(uac::FU_VOLUME, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, kLevelMinusInfinity);
    ReleaseUnits();
    TearDownDevice();
  }
}

// A device that stalls one of the range reads while the volume node is set up: the unit
// is refused with the stall's status and a reason, and the nodes it made so far go with
// the function (the fixture's leak check).
TEST_F(FeatureEdges, StalledRangeReadRefusesTheUnitAndLeaksNothing) {
  for (UCHAR request : {0x83, 0x82, 0x84}) {  // GET_MAX, GET_MIN, GET_RES
    SCOPED_TRACE(int(request));
    const Bytes feature = FeatureUnit(2, 1, 1, {kMute, kVolume, kVolume});
    StartWith(Uac1Configuration({kInput, feature, kOutput}));
    sim_->StallRequests(SimDevice::RequestMatch{0xA1, request, std::nullopt, std::nullopt});
    uac::CUacUnit* unit = nullptr;
    ASSERT_EQ(uac::CreateUac1Unit(6, 2, &unit), STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(unit->Init(feature.data(), usb_, function_)));
    ASSERT_NE(unit->RefusalReason(), nullptr);
    EXPECT_STREQ(unit->RefusalReason(), "did not answer for its volume control (channels or range)");
    EXPECT_EQ(function_->GetEntityCount(), 1u);  // the mute node made before it
    static_cast<adapter::IUacEntity*>(unit)->Release();
    ReleaseUnits();
    TearDownDevice();
  }
}

// The effect switch from two threads at once: writes on one, reads and refreshes from
// the device on the other, under many scheduler seeds. Every call returns and the
// value ends as one of the written ones.
TEST_F(FeatureEdges, EffectSwitchFromTwoThreadsUnderSeeds) {
  sim::device::DeviceProfile profile;
  Bytes block(16, 0);
  for (UCHAR b : {21, 0, 2, 0x00, 0x04}) block.push_back(b);  // length 21, 2-byte bitmaps, selector 0x8B
  profile.entity_memory[2] = block;
  uac::CUac1FeatureUnit* fu = Build(FeatureUnit(2, 1, 1, {kMute}), profile);
  ASSERT_NE(fu, nullptr);
  ASSERT_EQ(fu->GetNodeCount(), 2u);
  auto* effect = NodeOf<uac::CUacEffectControl>(fu, 1);
  ASSERT_EQ(effect->GetType(), adapter::NODE_VENDOR_EFFECT);

  constexpr int kRounds = 6;
  const auto seeds = platform::testing::SeedsWhere(seed() * 1000 + 1, 16, [&] {
    bool failed = false;
    {
      platform::clock::Thread writer("writer", [&] {
        for (int i = 0; i < kRounds; ++i) failed |= effect->SetValue(static_cast<UCHAR>(i & 1)) != STATUS_SUCCESS;
      });
      platform::clock::Thread reader("reader", [&] {
        for (int i = 0; i < kRounds; ++i) {
          UCHAR value = 0xFF;
          failed |= effect->GetValue(&value) != STATUS_SUCCESS || value > 1;
          failed |= effect->RefreshFromDevice() != STATUS_SUCCESS;
        }
      });
      writer.Join();
      reader.Join();
    }
    UCHAR value = 0xFF;
    failed |= effect->GetValue(&value) != STATUS_SUCCESS || value > 1;
    // Both threads are done: the node's lock is free again.
    failed |= effect->SetValue(1) != STATUS_SUCCESS || effect->RefreshFromDevice() != STATUS_SUCCESS;
    effect->GetValue(&value);
    return failed || value != 1;
  });
  EXPECT_TRUE(seeds.empty()) << "first failing seed " << (seeds.empty() ? 0 : seeds[0]);
}

}  // namespace
}  // namespace unit_test
