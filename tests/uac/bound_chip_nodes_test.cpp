// Bound nodes of the UAC 2.0 and chip-specific units against a scripted control source:
// the software-applied vendor volume's gains, the input gain pad's all-channel writes,
// the clock rate that follows its clock, and the stream links.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "dsp/db_gain.h"
#include "support/kernel_fixture.h"
#include "uac/bound_nodes.h"

namespace {

using namespace uac;

constexpr ULONG kNodeTag = MakePoolTag('T', 'n', 'o', 'd');

// A level source of `channels` channels, range -60..0 dB in 1 dB steps, that records writes
// and refuses channels listed in `refused`.
class FakeLevelSource : public IUacLevelControlSource, public IUacClockSource {
 public:
  explicit FakeLevelSource(ULONG channels) : channels_(channels), levels_(channels, -10 * 65536) {}
  STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override {
    if (IsEqualGUID(iid, IID_IUacLevelControlSource))
      *object = static_cast<IUacLevelControlSource*>(this);
    else if (IsEqualGUID(iid, IID_IUacClockSource))
      *object = static_cast<IUacClockSource*>(this);
    else
      return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetCur(ULONG, ULONG channel, PLONG level) override {
    if (channel >= channels_) return STATUS_INVALID_PARAMETER;
    *level = levels_[channel];
    return STATUS_SUCCESS;
  }
  STDMETHODIMP SetCur(ULONG, ULONG channel, LONG level) override {
    writes.push_back({channel, level});
    if (channel >= channels_ || channel == refused) return STATUS_UNSUCCESSFUL;
    levels_[channel] = level;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP GetRange(ULONG, PLONG maximum, PLONG minimum, PLONG step) override {
    *maximum = 0;
    *minimum = -60 * 65536;
    *step = 65536;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP GetChannelCount(ULONG, PULONG count) override {
    *count = channels_;
    return STATUS_SUCCESS;
  }
  // Clock
  STDMETHODIMP GetRates(PULONG count, PULONG rates) override {
    ULONG n = 0;
    for (ULONG r : rates_)
      if (n < *count) rates[n++] = r;
    *count = n;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP GetRateCount(PULONG count) override {
    *count = static_cast<ULONG>(rates_.size());
    return STATUS_SUCCESS;
  }
  STDMETHODIMP SetCurrentRate(ULONG rate) override { return rate == 96000 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS; }
  STDMETHODIMP GetCurrentRate(PULONG) override { return STATUS_NOT_IMPLEMENTED; }
  STDMETHODIMP IsValid(PUCHAR valid) override {
    *valid = 1;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP SetRates(ULONG, const ULONG*) override { return STATUS_NOT_IMPLEMENTED; }

  struct Write {
    ULONG channel;
    LONG level;
    bool operator==(const Write&) const = default;
  };
  std::vector<Write> writes;
  ULONG refused = 0xFFFF;
  std::vector<ULONG> rates_ = {44100, 48000, 96000};

 private:
  ULONG channels_;
  std::vector<LONG> levels_;
};

template <class Node>
Node* New(ULONG id) {
  auto* node = new (NonPagedPool, kNodeTag) Node(nullptr, id);
  node->NonDelegatingAddRef();
  return node;
}

class BoundChipNodes : public platform::testing::KernelTest {};

TEST_F(BoundChipNodes, VendorVolumeKeepsTheGainOfEachLevel) {
  FakeLevelSource source(2);
  auto* node = New<CUacVendorVolumeControl>(4);
  ASSERT_EQ(node->InitUacVendorVolumeControl(static_cast<IUacLevelControlSource*>(&source), 0x82, nullptr),
            STATUS_SUCCESS);
  EXPECT_FLOAT_EQ(node->Gain(0), FastPowF(10.0f, -0.5f));  // -10 dB from the device
  struct Case {
    LONG level;
    float gain;
  } cases[] = {{-6 * 65536, FastPowF(10, -0.3f)},
               {+3 * 65536, 1.0f},
               {-96 * 65536, FastPowF(10, -3.0f)},
               {kLevelMinusInfinity, 0.0f}};
  for (const auto& c : cases) {
    EXPECT_EQ(node->SetLevel(1, c.level), STATUS_SUCCESS);
    EXPECT_FLOAT_EQ(node->Gain(1), c.gain) << c.level;
  }
  EXPECT_EQ(node->SetLevel(2, 0), STATUS_INVALID_PARAMETER);
  PVOID link = nullptr;
  ASSERT_EQ(node->NonDelegatingQueryInterface(adapter::IID_IStreamLink, &link), STATUS_SUCCESS);
  static_cast<adapter::IStreamLink*>(link)->SetDirection(1);
  static_cast<adapter::IStreamLink*>(link)->Release();
  node->NonDelegatingRelease();
}

TEST_F(BoundChipNodes, VendorVolumeEndpointSwitchSendsEveryChannel) {
  FakeLevelSource source(4);
  auto* node = New<CUacVendorVolumeControl>(4);
  ASSERT_EQ(node->InitUacVendorVolumeControl(static_cast<IUacLevelControlSource*>(&source), 0x82, nullptr),
            STATUS_SUCCESS);
  source.writes.clear();
  node->SetEndpointType(2, nullptr);  // headphones show two channels; all four are sent
  std::vector<ULONG> channels;
  for (const auto& w : source.writes) channels.push_back(w.channel);
  EXPECT_EQ(channels, (std::vector<ULONG>{0, 1, 0, 1, 2, 3}));
  node->NonDelegatingRelease();
}

TEST_F(BoundChipNodes, InputGainPadAllChannelsStopsAtTheFirstRefusal) {
  FakeLevelSource source(3);
  auto* node = New<CUacInputGainPadControl>(5);
  ASSERT_EQ(node->InitUacLevelControl(static_cast<IUacLevelControlSource*>(&source), 12, nullptr), STATUS_SUCCESS);
  source.refused = 1;
  EXPECT_EQ(node->SetLevel(kAllChannels, -0x18000), STATUS_SUCCESS);
  EXPECT_EQ(source.writes, (std::vector<FakeLevelSource::Write>{{0, -0x10000}, {1, -0x10000}}));
  LONG level = 0;
  node->GetLevel(kAllChannels, &level);
  EXPECT_EQ(level, -0x18000);
  node->GetLevel(2, &level);
  EXPECT_EQ(level, -10 * 65536);
  source.refused = 0xFFFF;
  source.writes.clear();
  EXPECT_EQ(node->SetLevel(2, kLevelMinusInfinity), STATUS_SUCCESS);
  EXPECT_EQ(source.writes, (std::vector<FakeLevelSource::Write>{{2, -60 * 65536}}));
  node->GetLevel(2, &level);
  EXPECT_EQ(level, -60 * 65536);
  EXPECT_EQ(node->SetLevel(3, 0), STATUS_INVALID_PARAMETER);
  node->NonDelegatingRelease();
}

TEST_F(BoundChipNodes, ClockRateIsKeptOnlyWhenTheClockTookIt) {
  FakeLevelSource clock(1);
  auto* node = New<CUacClockRateControl>(6);
  ASSERT_EQ(node->InitUacClockRateControl(static_cast<IUacClockSource*>(&clock)), STATUS_SUCCESS);
  ULONG count = 0;
  node->GetRateCount(&count);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(node->SetCurrentRate(48000), STATUS_SUCCESS);
  EXPECT_EQ(node->SetCurrentRate(96000), STATUS_UNSUCCESSFUL);
  ULONG rate = 0;
  node->GetCurrentRate(&rate);
  EXPECT_EQ(rate, 48000u);
  UCHAR valid = 0;
  EXPECT_EQ(node->IsValid(&valid), STATUS_SUCCESS);
  EXPECT_EQ(valid, 1);
  node->NonDelegatingRelease();

  clock.rates_.clear();
  node = New<CUacClockRateControl>(7);
  EXPECT_EQ(node->InitUacClockRateControl(static_cast<IUacClockSource*>(&clock)), STATUS_UNSUCCESSFUL);
  node->NonDelegatingRelease();
}

}  // namespace
