// The on/off and level node families: per-channel caches, ranges, the channels shown
// per endpoint type, and their set-up without memory.
#include "uac/control_nodes.h"

#include <gtest/gtest.h>

#include "support/fault_sweep.h"
#include "support/kernel_fixture.h"

namespace {

using namespace uac;
using adapter::CUacEntity;

constexpr ULONG kNodeTag = MakePoolTag('T', 'n', 'o', 'd');

class ControlNodes : public platform::testing::KernelTest {};

template <class Node>
Node* New(ULONG id) {
  auto* node = new (NonPagedPool, kNodeTag) Node(nullptr, id);
  node->NonDelegatingAddRef();
  return node;
}

TEST_F(ControlNodes, LeafClassesCarryTheirNodeTypes) {
  struct Row {
    CUacEntity* node;
    ULONG type;
  };
  const Row rows[] = {
      {New<CMuteControl>(1), 2},        {New<CVolumeControl>(2), 3},     {New<CAgcControl>(3), 6},
      {New<CLoudnessControl>(4), 7},    {New<CInputGainPadControl>(5), 8}, {New<CBassControl>(6), 9},
      {New<CMidControl>(7), 10},        {New<CTrebleControl>(8), 11},    {New<CVendorSwitchControl>(9), 18},
      {New<CGainControl>(10), 22},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.node->GetType(), row.type);
    row.node->NonDelegatingRelease();
  }
}

// Shown channels: all of them on Stream, SPK, HDMI and Line endpoints, at most two on any
// other type, including values that name no endpoint type at all.
TEST_F(ControlNodes, ChannelsShownFollowTheEndpointType) {
  auto* volume = New<CVolumeControl>(1);
  auto* mute = New<CMuteControl>(2);
  for (ULONG channels : {0u, 1u, 2u, 6u, 8u}) {
    ASSERT_EQ(volume->InitChannels(0, channels, 0, -60 << 16, 1 << 16), STATUS_SUCCESS);
    ASSERT_EQ(mute->InitChannels(0, channels), STATUS_SUCCESS);
    for (ULONG type : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 14u, 17u, 18u, 19u, 31u, 32u, 100u, 0xFFFFFFFFu}) {
      const bool all = type == 0 || type == 1 || type == 4 || type == 6;
      const ULONG expected = all ? channels : std::min(channels, 2u);
      ULONG shown = 0;
      volume->SetEndpointType(type, nullptr);
      mute->SetEndpointType(type, nullptr);
      ASSERT_EQ(volume->GetChannelCount(&shown), STATUS_SUCCESS);
      EXPECT_EQ(shown, expected) << channels << " channels on type " << type;
      ASSERT_EQ(mute->GetChannelCount(&shown), STATUS_SUCCESS);
      EXPECT_EQ(shown, expected) << channels << " channels on type " << type;
    }
  }
  EXPECT_EQ(volume->GetChannelCount(nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(mute->GetChannelCount(nullptr), STATUS_INVALID_PARAMETER);
  volume->NonDelegatingRelease();
  mute->NonDelegatingRelease();
}

TEST_F(ControlNodes, BoolCacheHoldsOneByteForEachChannel) {
  auto* mute = New<CMuteControl>(3);
  UCHAR value = 7;
  EXPECT_EQ(mute->GetValue(0, &value), STATUS_INVALID_PARAMETER);  // no cache yet
  EXPECT_EQ(mute->SetValue(0, 1), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(mute->InitChannels(12, 2), STATUS_SUCCESS);
  auto blocks = platform::pool::LiveBlocksWithTag(kBoolCachePoolTag);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].bytes, 3u);
  EXPECT_FALSE(blocks[0].paged);
  ULONG count = 0;
  const ULONG* sources = nullptr;
  ASSERT_EQ(mute->GetSources(&count, &sources), STATUS_SUCCESS);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(sources[0], 12u);

  ASSERT_EQ(mute->GetValue(1, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0);
  ASSERT_EQ(mute->SetValue(1, 1), STATUS_SUCCESS);
  ASSERT_EQ(mute->GetValue(1, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(mute->GetValue(2, &value), STATUS_INVALID_PARAMETER);  // channel equal to the count
  EXPECT_EQ(mute->SetValue(2, 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(mute->GetValue(0, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(mute->InitChannels(0, kMaxNodeChannels + 1), STATUS_INVALID_PARAMETER);
  mute->NonDelegatingRelease();
}

TEST_F(ControlNodes, LevelCacheHasAnExtraZeroEntryAndTheRangeReadsMaximumFirst) {
  auto* volume = New<CVolumeControl>(4);
  LONG level = 5;
  EXPECT_EQ(volume->GetLevel(0, &level), STATUS_INVALID_PARAMETER);  // no cache yet
  ASSERT_EQ(volume->InitChannels(2, 2, 0, -60 * 65536, 65536), STATUS_SUCCESS);
  auto blocks = platform::pool::LiveBlocksWithTag(kLevelCachePoolTag);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].bytes, 12u);
  EXPECT_TRUE(blocks[0].paged);

  LONG maximum = 1, minimum = 1, step = 1;
  ASSERT_EQ(volume->GetRange(&maximum, &minimum, &step), STATUS_SUCCESS);
  EXPECT_EQ(maximum, 0);
  EXPECT_EQ(minimum, -3932160);
  EXPECT_EQ(step, 65536);
  EXPECT_EQ(volume->GetRange(nullptr, &minimum, &step), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(volume->GetRange(&maximum, nullptr, &step), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(volume->GetRange(&maximum, &minimum, nullptr), STATUS_INVALID_PARAMETER);

  ASSERT_EQ(volume->GetLevel(2, &level), STATUS_SUCCESS);  // the extra entry
  EXPECT_EQ(level, 0);
  ASSERT_EQ(volume->SetLevel(1, kLevelMinusInfinity), STATUS_SUCCESS);
  ASSERT_EQ(volume->GetLevel(1, &level), STATUS_SUCCESS);
  EXPECT_EQ(level, kLevelMinusInfinity);
  EXPECT_EQ(volume->GetLevel(3, &level), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(volume->SetLevel(3, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(volume->GetLevel(0, nullptr), STATUS_INVALID_PARAMETER);
  volume->NonDelegatingRelease();
}

TEST_F(ControlNodes, AnswerTheEntityTheirValueInterfaceAndTheEndpoint) {
  auto* mute = New<CMuteControl>(1);
  auto* bass = New<CBassControl>(2);
  struct Query {
    PUNKNOWN node;
    const GUID* iid;
    bool answered;
  };
  const Query queries[] = {
      {mute->NonDelegatingUnknown(), &adapter::IID_IUacEntity, true},
      {mute->NonDelegatingUnknown(), &IID_IBoolControl, true},
      {mute->NonDelegatingUnknown(), &adapter::IID_INodeEndpoint, true},
      {mute->NonDelegatingUnknown(), &IID_ILevelControl, false},
      {bass->NonDelegatingUnknown(), &IID_ILevelControl, true},
      {bass->NonDelegatingUnknown(), &adapter::IID_INodeEndpoint, true},
      {bass->NonDelegatingUnknown(), &IID_IBoolControl, false},
      {bass->NonDelegatingUnknown(), &adapter::IID_ITerminalNode, false},
  };
  for (const Query& q : queries) {
    PVOID itf = reinterpret_cast<PVOID>(1);
    NTSTATUS status = q.node->QueryInterface(*q.iid, &itf);
    EXPECT_EQ(NT_SUCCESS(status), q.answered);
    if (itf == reinterpret_cast<PVOID>(1)) ADD_FAILURE() << "out pointer not written";
    if (itf) static_cast<PUNKNOWN>(itf)->Release();
  }
  // The interfaces handed out are the node's own.
  PVOID endpoint = nullptr;
  ASSERT_EQ(mute->QueryInterface(adapter::IID_INodeEndpoint, &endpoint), STATUS_SUCCESS);
  EXPECT_EQ(endpoint, static_cast<adapter::INodeEndpoint*>(mute));
  static_cast<adapter::INodeEndpoint*>(endpoint)->SetEndpointType(2, nullptr);
  static_cast<adapter::INodeEndpoint*>(endpoint)->Release();
  mute->NonDelegatingRelease();
  bass->NonDelegatingRelease();
}

TEST_F(ControlNodes, EveryAllocationOfInitChannelsFailsLeavingNoCache) {
  for (bool level : {false, true}) {
    const auto allocations = platform::testing::ForEachAllocationFailure([&](platform::testing::FaultSweep& sweep) {
      auto* mute = New<CMuteControl>(1);
      auto* volume = New<CVolumeControl>(2);
      sweep.Arm();
      NTSTATUS status = level ? volume->InitChannels(3, 2, 10, -10, 1) : mute->InitChannels(3, 2);
      const bool failed = sweep.Disarm();
      EXPECT_EQ(status, failed ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS);
      UCHAR value = 0;
      LONG gain = 0;
      EXPECT_EQ(level ? volume->GetLevel(0, &gain) : mute->GetValue(0, &value),
                failed ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS);
      mute->NonDelegatingRelease();
      volume->NonDelegatingRelease();
    });
    EXPECT_EQ(allocations, 2u);  // the cache and the source list
  }
}

}  // namespace
