// Terminal nodes and the mixer: kinds, jacks, the capability record, the mixer's terminal
// mode, and their set-up without memory.
#include "uac/terminal_nodes.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/fault_sweep.h"
#include "support/kernel_fixture.h"

namespace {

using namespace uac;
using adapter::JackRecord;

constexpr ULONG kNodeTag = MakePoolTag('T', 'n', 'o', 'd');

class TerminalNodes : public platform::testing::KernelTest {};

template <class Node>
Node* New(ULONG id) {
  auto* node = new (NonPagedPool, kNodeTag) Node(nullptr, id);
  node->NonDelegatingAddRef();
  return node;
}

const JackRecord kJacks[2] = {
    {3, 0x00FF00, 1, 1, 1, 0, 0, 1, 1},
    {0x30, 0xFF0000, 1, 2, 1, 0, 0, 0, 1},
};

TEST_F(TerminalNodes, InitTerminalChecksKindsAndMakesTheFirstCurrent) {
  auto* input = New<CInputTerminalNode>(1);
  auto* output = New<COutputTerminalNode>(2);
  const ULONG kinds[6] = {2, 14, 17, 1, 3, 6};
  EXPECT_EQ(input->InitTerminal(0, kinds, 0, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(input->InitTerminal(6, kinds, 0, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(input->InitTerminal(1, nullptr, 0, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(input->InitTerminal(1, kinds, 2, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(output->InitTerminal(5, 0, kinds, 0, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(output->GetSourceCount(), 0u);

  ASSERT_EQ(input->InitTerminal(1, kinds + 5, 0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(input->GetType(), 0u);
  EXPECT_EQ(input->GetSourceCount(), 0u);
  ASSERT_EQ(output->InitTerminal(5, 5, kinds, 2, kJacks), STATUS_SUCCESS);
  EXPECT_EQ(output->GetType(), 1u);
  EXPECT_EQ(output->GetSourceCount(), 1u);

  ULONG kind = 0, count = 0;
  ULONG listed[5] = {};
  ASSERT_EQ(output->GetKind(&kind), STATUS_SUCCESS);
  EXPECT_EQ(kind, 2u);
  ASSERT_EQ(output->GetKindCount(&count), STATUS_SUCCESS);
  EXPECT_EQ(count, 5u);
  ASSERT_EQ(output->GetKinds(listed), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(listed, kinds, sizeof listed), 0);
  EXPECT_EQ(output->SetKind(6), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(output->SetKind(17), STATUS_SUCCESS);
  output->GetKind(&kind);
  EXPECT_EQ(kind, 17u);
  // Kind lists and jack records live in paged pool under the terminal tag.
  for (const auto& block : platform::pool::LiveBlocksWithTag(kTerminalPoolTag)) EXPECT_TRUE(block.paged);
  EXPECT_EQ(platform::pool::LiveBlocksWithTag(kTerminalPoolTag).size(), 3u);
  EXPECT_EQ(output->GetKind(nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(output->GetKindCount(nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(output->GetKinds(nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(output->GetState(nullptr, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(output->GetJackInfo(nullptr), STATUS_INVALID_PARAMETER);
  input->NonDelegatingRelease();
  output->NonDelegatingRelease();
}

TEST_F(TerminalNodes, JackDescriptionsCopyAtMostTheCallersBytes) {
  auto* node = New<CInputTerminalNode>(1);
  const ULONG mic[] = {7};
  UCHAR buffer[80];
  EXPECT_EQ(node->GetJackDescriptions(sizeof buffer, buffer, 0), STATUS_INVALID_PARAMETER);  // no records
  ASSERT_EQ(node->InitTerminal(1, mic, 2, kJacks), STATUS_SUCCESS);
  ULONG jacks = 0;
  ASSERT_EQ(node->GetState(&jacks, 0), STATUS_SUCCESS);
  EXPECT_EQ(jacks, 2u);

  std::memset(buffer, 0xEE, sizeof buffer);
  ASSERT_EQ(node->GetJackDescriptions(40, buffer, 0), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(buffer, kJacks, 40), 0);  // the first record and four bytes of the second
  EXPECT_EQ(buffer[40], 0xEE);
  std::memset(buffer, 0xEE, sizeof buffer);
  ASSERT_EQ(node->GetJackDescriptions(sizeof buffer, buffer, 0), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(buffer, kJacks, sizeof kJacks), 0);
  EXPECT_EQ(buffer[sizeof kJacks], 0xEE);
  EXPECT_EQ(node->GetJackDescriptions(0, buffer, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(node->GetJackDescriptions(40, nullptr, 0), STATUS_INVALID_PARAMETER);

  adapter::EndpointCapabilityRecord record{};
  record.CapabilityMask = 0x24;
  record.SecondValue = 12;
  node->SetCapabilityRecord(record);
  adapter::EndpointCapabilityRecord out;
  std::memset(&out, 0xFF, sizeof out);
  ASSERT_EQ(node->GetJackInfo(&out), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(&out, &record, sizeof out), 0);
  node->NonDelegatingRelease();
}

TEST_F(TerminalNodes, EveryAllocationOfInitTerminalFailsCleanly) {
  const ULONG kinds[] = {2, 1};
  for (bool output : {false, true}) {
    const auto allocations = platform::testing::ForEachAllocationFailure([&](platform::testing::FaultSweep& sweep) {
      auto* in = New<CInputTerminalNode>(1);
      auto* out = New<COutputTerminalNode>(2);
      sweep.Arm();
      NTSTATUS status = output ? out->InitTerminal(4, 2, kinds, 2, kJacks) : in->InitTerminal(2, kinds, 2, kJacks);
      const bool failed = sweep.Disarm();
      EXPECT_EQ(status, failed ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS);
      ULONG count = 9;
      (output ? static_cast<CTerminalNode*>(out) : in)->GetKindCount(&count);
      EXPECT_EQ(count, failed ? 0u : 2u);
      in->NonDelegatingRelease();
      out->NonDelegatingRelease();
    });
    EXPECT_EQ(allocations, output ? 3u : 2u);
  }
}

TEST_F(TerminalNodes, MixerBecomesAStereoMixTerminalAndBack) {
  auto* mixer = New<CMixerNode>(6);
  const ULONG sources[] = {2, 3, 4};
  ASSERT_EQ(mixer->InitMixerTerminal(3, sources), STATUS_SUCCESS);
  EXPECT_EQ(mixer->GetType(), 5u);
  EXPECT_EQ(mixer->GetSourceCount(), 3u);
  PVOID itf = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(mixer->QueryInterface(adapter::IID_ITerminalNode, &itf), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(itf, nullptr);
  ASSERT_EQ(mixer->QueryInterface(IID_IMixerNode, &itf), STATUS_SUCCESS);
  static_cast<PUNKNOWN>(itf)->Release();

  ASSERT_EQ(mixer->SetTerminalMode(1), STATUS_SUCCESS);
  EXPECT_EQ(mixer->GetType(), 0u);
  EXPECT_EQ(mixer->GetSourceCount(), 0u);
  ASSERT_EQ(mixer->QueryInterface(adapter::IID_ITerminalNode, &itf), STATUS_SUCCESS);
  auto* terminal = static_cast<adapter::ITerminalNode*>(itf);
  ULONG kind = 0, jacks = 0;
  ASSERT_EQ(terminal->GetKind(&kind), STATUS_SUCCESS);
  EXPECT_EQ(kind, 16u);  // "StereoMix"
  ASSERT_EQ(terminal->GetState(&jacks, 0), STATUS_SUCCESS);
  ASSERT_EQ(jacks, 1u);
  JackRecord jack{};
  ASSERT_EQ(terminal->GetJackDescriptions(sizeof jack, &jack, 0), STATUS_SUCCESS);
  const JackRecord expected = {3, 0, 7, 14, 1, 1, 0, 1, 0};
  EXPECT_EQ(std::memcmp(&jack, &expected, sizeof jack), 0);
  terminal->Release();

  ASSERT_EQ(mixer->SetTerminalMode(0), STATUS_SUCCESS);
  EXPECT_EQ(mixer->GetType(), 5u);
  ULONG count = 0;
  const ULONG* kept = nullptr;
  ASSERT_EQ(mixer->GetSources(&count, &kept), STATUS_SUCCESS);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(kept[2], 4u);
  mixer->NonDelegatingRelease();
}

// Without memory for its kind list, jack record or sources the mixer says so instead of
// reporting success with the terminal half-made.
TEST_F(TerminalNodes, MixerTerminalWithoutMemoryReportsInsufficientResources) {
  const ULONG sources[] = {2, 3};
  const auto allocations = platform::testing::ForEachAllocationFailure([&](platform::testing::FaultSweep& sweep) {
    auto* mixer = New<CMixerNode>(6);
    sweep.Arm();
    NTSTATUS status = mixer->InitMixerTerminal(2, sources);
    const bool failed = sweep.Disarm();
    EXPECT_EQ(status, failed ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS);
    mixer->SetTerminalMode(1);
    ULONG kinds = 9, jacks = 9;
    mixer->GetKindCount(&kinds);
    mixer->GetState(&jacks, 0);
    EXPECT_EQ(kinds, failed ? 0u : 1u);
    EXPECT_EQ(jacks, failed ? 0u : 1u);
    mixer->SetTerminalMode(0);
    EXPECT_EQ(mixer->GetSourceCount(), failed ? 0u : 2u);
    mixer->NonDelegatingRelease();
  });
  EXPECT_EQ(allocations, 3u);
}

}  // namespace
