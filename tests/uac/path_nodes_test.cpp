// Selector, terminal-kind, clock-rate and effect nodes.
#include "uac/path_nodes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "support/fault_sweep.h"
#include "support/kernel_fixture.h"
#include "support/model_doubles.h"
#include "uac/control_nodes.h"

namespace {

using namespace uac;
using platform::testing::CProbeEntity;
using platform::testing::NewProbeEntity;

constexpr ULONG kNodeTag = MakePoolTag('T', 'n', 'o', 'd');

class PathNodes : public platform::testing::KernelTest {
 protected:
  std::vector<std::string> log_;
};

template <class Node>
Node* New(ULONG id) {
  auto* node = new (NonPagedPool, kNodeTag) Node(nullptr, id);
  node->NonDelegatingAddRef();
  return node;
}

adapter::IStreamLink* LinkOf(CProbeEntity* entity) {
  PVOID link = nullptr;
  EXPECT_EQ(entity->QueryInterface(adapter::IID_IStreamLink, &link), STATUS_SUCCESS);
  entity->Release();  // the entity's own reference stays with the test
  return static_cast<adapter::IStreamLink*>(link);
}

TEST_F(PathNodes, SelectorAcceptsInputsUpToItsSourceCountAndTellsItsListeners) {
  using platform::testing::ANSWER_STREAM_LINK;
  auto* selector = New<CSelectorNode>(10);
  ULONG selected = 0;
  ASSERT_EQ(selector->GetSelected(&selected), STATUS_SUCCESS);
  EXPECT_EQ(selected, 1u);
  const ULONG sources[] = {1, 2, 3};
  ASSERT_EQ(selector->InitInputs(3, sources), STATUS_SUCCESS);
  ULONG inputs = 0;
  ASSERT_EQ(selector->GetInputCount(&inputs), STATUS_SUCCESS);
  EXPECT_EQ(inputs, 3u);

  CProbeEntity* first = NewProbeEntity(1, 3, ANSWER_STREAM_LINK, &log_);
  CProbeEntity* second = NewProbeEntity(2, 3, ANSWER_STREAM_LINK, &log_);
  ASSERT_EQ(selector->AddInput(LinkOf(first)), STATUS_SUCCESS);
  ASSERT_EQ(selector->AddInput(LinkOf(second)), STATUS_SUCCESS);
  EXPECT_EQ(first->References(), 2);
  EXPECT_EQ(selector->AddInput(nullptr), STATUS_INVALID_PARAMETER);

  EXPECT_EQ(selector->SetSelected(4), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log_.empty());
  ASSERT_EQ(selector->SetSelected(3), STATUS_SUCCESS);
  EXPECT_EQ(log_, (std::vector<std::string>{"1: changing 3 1", "2: changing 3 1", "1: direction 3", "2: direction 3"}));
  log_.clear();
  // A listener that fails stops each round; the selection moves and the call succeeds.
  first->linkStatus = STATUS_UNSUCCESSFUL;
  ASSERT_EQ(selector->SetSelected(0), STATUS_SUCCESS);  // the plain node takes 0
  EXPECT_EQ(log_, (std::vector<std::string>{"1: changing 0 3", "1: direction 0"}));
  selector->GetSelected(&selected);
  EXPECT_EQ(selected, 0u);
  EXPECT_EQ(selector->GetSelected(nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(selector->GetInputCount(nullptr), STATUS_INVALID_PARAMETER);

  // Without memory for the list node the listener's reference is given back.
  {
    platform::pool::ScopedFaultInjection faults;
    platform::pool::FailTag(adapter::kPtrListTag);
    PVOID link = nullptr;
    second->QueryInterface(adapter::IID_IStreamLink, &link);
    EXPECT_EQ(selector->AddInput(static_cast<adapter::IStreamLink*>(link)), STATUS_INSUFFICIENT_RESOURCES);
    static_cast<adapter::IStreamLink*>(link)->Release();
  }
  EXPECT_EQ(second->References(), 2);
  selector->NonDelegatingRelease();
  EXPECT_EQ(first->References(), 1);
  first->Release();
  second->Release();
}

TEST_F(PathNodes, SelectorMadeFromItsSourcesAloneStillTakesListeners) {
  auto* selector = New<CSelectorNode>(10);
  const ULONG sources[] = {1, 2};
  ASSERT_EQ(selector->SetSources(2, sources), STATUS_SUCCESS);
  CProbeEntity* link = NewProbeEntity(1, 3, platform::testing::ANSWER_STREAM_LINK, &log_);
  ASSERT_EQ(selector->AddInput(LinkOf(link)), STATUS_SUCCESS);
  ASSERT_EQ(selector->SetSelected(2), STATUS_SUCCESS);
  EXPECT_EQ(log_, (std::vector<std::string>{"1: changing 2 1", "1: direction 2"}));
  selector->NonDelegatingRelease();
  link->Release();
}

TEST_F(PathNodes, EveryAllocationOfInitInputsFailsCleanly) {
  const ULONG sources[] = {1, 2};
  const auto allocations = platform::testing::ForEachAllocationFailure([&](platform::testing::FaultSweep& sweep) {
    auto* selector = New<CSelectorNode>(10);
    sweep.Arm();
    NTSTATUS status = selector->InitInputs(2, sources);
    if (sweep.Disarm()) {
      // The listener list is the first allocation and reports a plain failure.
      EXPECT_EQ(status, sweep.n() == 1 ? STATUS_UNSUCCESSFUL : STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(selector->GetSourceCount(), 0u);
    } else {
      EXPECT_EQ(status, STATUS_SUCCESS);
    }
    selector->NonDelegatingRelease();
  });
  EXPECT_EQ(allocations, 2u);
}

// Only a switch to another listed kind counts, whether or not the changed flag was
// cleared in between: the engines behind the terminal compare the count.
TEST_F(PathNodes, TerminalKindNodeCountsItsSwitches) {
  auto* kindNode = New<CTerminalKindNode>(20);
  const ULONG kinds[] = {1, 2, 17};
  ASSERT_EQ(kindNode->InitKinds(21, 3, kinds), STATUS_SUCCESS);
  struct Step {
    ULONG kind;
    bool clear;  // the flag cleared before the call
    NTSTATUS status;
    ULONG switches;
  };
  const Step steps[] = {
      {1, false, STATUS_SUCCESS, 0},            // current kind
      {3, false, STATUS_INVALID_PARAMETER, 0},  // not listed
      {2, false, STATUS_SUCCESS, 1},
      {17, false, STATUS_SUCCESS, 2},  // flag still set
      {17, true, STATUS_SUCCESS, 2},
      {1, true, STATUS_SUCCESS, 3},
  };
  for (const Step& step : steps) {
    if (step.clear) kindNode->ClearKindChanged();
    EXPECT_EQ(kindNode->SetKind(step.kind), step.status);
    EXPECT_EQ(kindNode->GetKindSwitchCount(), step.switches);
  }
  EXPECT_EQ(kindNode->IsKindChanged(), 1u);
  kindNode->NonDelegatingRelease();
}

// A kind change reaches the nodes upstream of the terminal as their new endpoint type,
// so a six-channel volume shows two channels once the output becomes headphones.
TEST_F(PathNodes, TerminalKindChangeMovesItsListenersToTheNewEndpointType) {
  auto* kindNode = New<CTerminalKindNode>(20);
  auto* volume = New<CVolumeControl>(21);
  ASSERT_EQ(volume->InitChannels(5, 6, 0, -100, 1), STATUS_SUCCESS);
  const ULONG kinds[] = {1, 2, 17};
  EXPECT_EQ(kindNode->InitKinds(21, 0, kinds), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(kindNode->InitKinds(21, 6, kinds), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(kindNode->InitKinds(21, 3, nullptr), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(kindNode->InitKinds(21, 3, kinds), STATUS_SUCCESS);
  EXPECT_EQ(kindNode->GetSourceCount(), 1u);
  ULONG kind = 0, count = 0, listed[3] = {};
  kindNode->GetKind(&kind);
  EXPECT_EQ(kind, 1u);
  kindNode->GetKindCount(&count);
  EXPECT_EQ(count, 3u);
  kindNode->GetKinds(listed);
  EXPECT_EQ(std::memcmp(listed, kinds, sizeof kinds), 0);

  ASSERT_EQ(kindNode->AddKindListener(volume), STATUS_SUCCESS);
  EXPECT_EQ(kindNode->AddKindListener(nullptr), STATUS_INVALID_PARAMETER);
  volume->SetEndpointType(1, nullptr);
  EXPECT_EQ(kindNode->SetKind(1), STATUS_SUCCESS);  // already current: nothing
  EXPECT_EQ(kindNode->IsKindChanged(), 0u);
  EXPECT_EQ(kindNode->SetKind(3), STATUS_INVALID_PARAMETER);
  ULONG shown = 0;
  volume->GetChannelCount(&shown);
  EXPECT_EQ(shown, 6u);
  ASSERT_EQ(kindNode->SetKind(2), STATUS_SUCCESS);
  EXPECT_EQ(kindNode->IsKindChanged(), 1u);
  volume->GetChannelCount(&shown);
  EXPECT_EQ(shown, 2u);
  kindNode->ClearKindChanged();
  EXPECT_EQ(kindNode->IsKindChanged(), 0u);
  // Without memory for the list node the listener's reference is given back.
  {
    platform::pool::ScopedFaultInjection faults;
    platform::pool::FailTag(adapter::kPtrListTag);
    EXPECT_EQ(kindNode->AddKindListener(volume), STATUS_INSUFFICIENT_RESOURCES);
  }
  EXPECT_EQ(kindNode->SetKind(17), STATUS_SUCCESS);
  volume->GetChannelCount(&shown);
  EXPECT_EQ(shown, 2u);
  EXPECT_EQ(kindNode->GetKind(nullptr), STATUS_INVALID_PARAMETER);
  kindNode->NonDelegatingRelease();
  volume->NonDelegatingRelease();
}

TEST_F(PathNodes, EveryAllocationOfInitKindsFailsCleanly) {
  const ULONG kinds[] = {1, 2};
  const auto allocations = platform::testing::ForEachAllocationFailure([&](platform::testing::FaultSweep& sweep) {
    auto* kindNode = New<CTerminalKindNode>(20);
    sweep.Arm();
    NTSTATUS status = kindNode->InitKinds(4, 2, kinds);
    const bool failed = sweep.Disarm();
    EXPECT_EQ(status, failed ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS);
    ULONG count = 9;
    kindNode->GetKindCount(&count);
    EXPECT_EQ(count, failed ? 0u : 2u);
    EXPECT_EQ(kindNode->GetSourceCount(), failed ? 0u : 1u);
    kindNode->NonDelegatingRelease();
  });
  EXPECT_EQ(allocations, 3u);  // kinds, listener list, source
}

TEST_F(PathNodes, ClockKeepsFewerThanThirtyOneRates) {
  auto* clock = New<CClockRateControl>(30);
  ULONG rates[31];
  std::iota(rates, rates + 31, 8000u);
  const ULONG source = 4;
  ASSERT_EQ(clock->SetSources(1, &source), STATUS_SUCCESS);
  EXPECT_EQ(clock->SetRates(31, rates), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(clock->SetRates(2, nullptr), STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(clock->SetRates(30, rates), STATUS_SUCCESS);
  EXPECT_EQ(clock->GetSourceCount(), 0u);  // a clock node has no sources
  auto blocks = platform::pool::LiveBlocksWithTag(kClockPoolTag);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_FALSE(blocks[0].paged);

  ULONG count = 29, out[31] = {};
  EXPECT_EQ(clock->GetRates(&count, out), STATUS_INVALID_PARAMETER);  // the caller's list is too short
  count = 31;
  ASSERT_EQ(clock->GetRates(&count, out), STATUS_SUCCESS);
  EXPECT_EQ(count, 30u);
  EXPECT_EQ(std::memcmp(out, rates, 30 * sizeof(ULONG)), 0);
  EXPECT_EQ(clock->GetRates(nullptr, out), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(clock->GetRates(&count, nullptr), STATUS_INVALID_PARAMETER);
  ULONG n = 0, rate = 0;
  UCHAR valid = 0;
  ASSERT_EQ(clock->GetRateCount(&n), STATUS_SUCCESS);
  EXPECT_EQ(n, 30u);
  ASSERT_EQ(clock->SetCurrentRate(96000), STATUS_SUCCESS);
  ASSERT_EQ(clock->GetCurrentRate(&rate), STATUS_SUCCESS);
  EXPECT_EQ(rate, 96000u);
  ASSERT_EQ(clock->IsValid(&valid), STATUS_SUCCESS);
  EXPECT_EQ(valid, 1);
  EXPECT_EQ(clock->GetType(), 12u);

  {
    platform::pool::ScopedFaultInjection faults;
    platform::pool::FailTag(kClockPoolTag);
    EXPECT_EQ(clock->SetRates(3, rates), STATUS_INSUFFICIENT_RESOURCES);
  }
  clock->GetRateCount(&n);
  EXPECT_EQ(n, 30u);  // the old list stays
  clock->NonDelegatingRelease();
}

TEST_F(PathNodes, PlainEffectKeepsItsValueButReportsNoDevice) {
  auto* effect = New<CEffectControl>(40);
  EXPECT_EQ(effect->GetType(), 23u);
  UCHAR value = 9;
  EXPECT_EQ(effect->SetValue(1), STATUS_UNSUCCESSFUL);
  ASSERT_EQ(effect->GetValue(&value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(effect->GetValue(nullptr), STATUS_UNSUCCESSFUL);
  GUID type = {1, 2, 3, {4}};
  ASSERT_EQ(effect->GetEffectNodeType(&type), STATUS_SUCCESS);
  EXPECT_TRUE(IsEqualGUID(type, GUID{}));
  ULONG parameter = 5, values[3] = {};
  ASSERT_EQ(effect->GetEffectParameter(&parameter), STATUS_SUCCESS);
  EXPECT_EQ(parameter, 0u);
  EXPECT_EQ(effect->GetValues(0, 1, values), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(effect->SetValues(0, 1, values), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(effect->GetValueEntry(0, values), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(effect->InitEffectSource(0), STATUS_SUCCESS);
  EXPECT_EQ(effect->GetSourceCount(), 1u);
  PVOID itf = nullptr;
  ASSERT_EQ(effect->QueryInterface(IID_IEffectControl, &itf), STATUS_SUCCESS);
  static_cast<PUNKNOWN>(itf)->Release();
  effect->NonDelegatingRelease();
}

}  // namespace
