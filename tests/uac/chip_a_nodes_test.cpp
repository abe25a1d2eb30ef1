// Chip class A's nodes against scripted control sources: the volume node's linear gains
// against a long-double oracle over its range, its processing of streams wider and
// narrower than the node (at most eight gains), and the conditions under which the mute
// nodes silence a buffer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "support/kernel_fixture.h"
#include "support/wave_formats.h"
#include "uac/chip_a_nodes.h"

namespace {

using namespace uac;

constexpr ULONG kNodeTag = MakePoolTag('T', 'n', 'o', 'd');
constexpr LONG kDb = 65536;

// On/off and level controls of `channels` channels; levels in -96..+12 dB, 1/256 dB steps.
class FakeSource : public IUacLevelControlSource, public IUacBoolControlSource {
 public:
  explicit FakeSource(ULONG channels) : channels_(channels), levels_(channels, -10 * kDb), values_(channels, 0) {}
  STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override {
    if (IsEqualGUID(iid, IID_IUacLevelControlSource))
      *object = static_cast<IUacLevelControlSource*>(this);
    else if (IsEqualGUID(iid, IID_IUacBoolControlSource))
      *object = static_cast<IUacBoolControlSource*>(this);
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
    if (channel >= channels_) return STATUS_INVALID_PARAMETER;
    levels_[channel] = level;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP GetRange(ULONG, PLONG maximum, PLONG minimum, PLONG step) override {
    *maximum = 12 * kDb;
    *minimum = -96 * kDb;
    *step = 256;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP GetChannelCount(ULONG, PULONG count) override {
    *count = channels_;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP GetCur(ULONG, ULONG channel, PUCHAR value) override {
    if (channel >= channels_) return STATUS_INVALID_PARAMETER;
    *value = values_[channel];
    return STATUS_SUCCESS;
  }
  STDMETHODIMP SetCur(ULONG, ULONG channel, UCHAR value) override {
    if (channel >= channels_) return STATUS_INVALID_PARAMETER;
    values_[channel] = value;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP CreateControls(adapter::CAudioHal*) override { return STATUS_NOT_IMPLEMENTED; }

  std::vector<LONG>& levels() { return levels_; }

 private:
  ULONG channels_;
  std::vector<LONG> levels_;
  std::vector<UCHAR> values_;
};

template <class Node>
Node* New(ULONG id) {
  auto* node = new (NonPagedPool, kNodeTag) Node(nullptr, id);
  node->NonDelegatingAddRef();
  return node;
}

long double Oracle(LONG level) { return std::pow(10.0L, static_cast<long double>(level) / (20.0L * 65536.0L)); }

// Planar float channels of a stream, as the processing hook hands them over.
struct PlanarBuffer {
  PlanarBuffer(ULONG channels, ULONG frames) : data(channels, std::vector<float>(frames)), pointers(channels) {
    for (ULONG c = 0; c < channels; ++c) {
      for (ULONG n = 0; n < frames; ++n) data[c][n] = 0.5f - 0.01f * static_cast<float>(c) + 1e-4f * static_cast<float>(n);
      pointers[c] = data[c].data();
    }
  }
  std::vector<std::vector<float>> data;
  std::vector<float*> pointers;
};

class ChipANodes : public platform::testing::KernelTest {};

TEST_F(ChipANodes, VolumeGainsFollowTheLevelOverTheWholeRange) {
  FakeSource source(2);
  auto* node = New<CChipAVolumeNode>(3);
  ASSERT_EQ(node->InitChipAVolumeNode(static_cast<IUacLevelControlSource*>(&source), 2, nullptr), STATUS_SUCCESS);
  EXPECT_NEAR(node->Gain(0), static_cast<double>(Oracle(-10 * kDb)), 1e-6 * Oracle(-10 * kDb));
  double worst = 0;
  for (LONG level = -96 * kDb; level <= 12 * kDb; level += 256 * 7) {
    ASSERT_EQ(node->SetLevel(1, level), STATUS_SUCCESS);
    LONG cached = 0;
    ASSERT_EQ(node->GetLevel(1, &cached), STATUS_SUCCESS);
    ASSERT_EQ(cached, level);
    const long double want = Oracle(level);
    const double relative = static_cast<double>(std::fabs((node->Gain(1) - want) / want));
    worst = std::max(worst, relative);
    ASSERT_LE(relative, 1e-6) << level;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", worst);
  RecordProperty("worst_relative_gain_error", text);
  // Channel 0 kept its gain; minus infinity is silence; a level out of range is clamped.
  EXPECT_NEAR(node->Gain(0), static_cast<double>(Oracle(-10 * kDb)), 1e-6 * Oracle(-10 * kDb));
  ASSERT_EQ(node->SetLevel(0, kLevelMinusInfinity), STATUS_SUCCESS);
  EXPECT_EQ(node->Gain(0), 0.0f);
  ASSERT_EQ(node->SetLevel(0, 40 * kDb), STATUS_SUCCESS);
  EXPECT_NEAR(node->Gain(0), static_cast<double>(Oracle(12 * kDb)), 1e-6 * Oracle(12 * kDb));
  EXPECT_EQ(node->SetLevel(2, 0), STATUS_INVALID_PARAMETER);
  // A level changed on the device reaches the gains with the refresh.
  source.levels()[1] = -20 * kDb;
  ASSERT_EQ(node->RefreshFromDevice(), STATUS_SUCCESS);
  EXPECT_NEAR(node->Gain(1), 0.1, 1e-7);
  node->NonDelegatingRelease();
}

// The node scales only on S/PDIF endpoints, only the channels it has gains for, and
// never more than eight of them.
TEST_F(ChipANodes, VolumeScalesTheChannelsItHasGainsFor) {
  struct Case {
    ULONG nodeChannels;
    WORD streamChannels;
    ULONG endpoint;
    ULONG scaled;  // channels multiplied; the rest pass unchanged
  };
  const Case cases[] = {{2, 2, 3, 2}, {2, 8, 3, 2}, {1, 2, 3, 1}, {10, 10, 3, 8}, {8, 6, 3, 6}, {2, 2, 1, 0}, {2, 2, 2, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nodeChannels * 100 + c.streamChannels * 10 + c.endpoint);
    FakeSource source(c.nodeChannels);
    for (ULONG ch = 0; ch < c.nodeChannels; ++ch) source.levels()[ch] = -static_cast<LONG>(ch + 1) * 3 * kDb;
    auto* node = New<CChipAVolumeNode>(3);
    ASSERT_EQ(node->InitChipAVolumeNode(static_cast<IUacLevelControlSource*>(&source), 2, nullptr), STATUS_SUCCESS);
    node->SetEndpointType(c.endpoint, nullptr);
    EXPECT_EQ(node->GainCount(), std::min<ULONG>(c.nodeChannels, kChipAMaxGainChannels));
    const auto format = platform::testing::ExtensibleFormat(c.streamChannels, 48000, 16);
    PlanarBuffer buffer(c.streamChannels, 512);
    const PlanarBuffer original(c.streamChannels, 512);
    ASSERT_EQ(node->Process(&format, buffer.pointers.data(), 512), STATUS_SUCCESS);
    for (ULONG ch = 0; ch < c.streamChannels; ++ch) {
      const float gain = ch < c.scaled ? static_cast<float>(Oracle(-static_cast<LONG>(ch + 1) * 3 * kDb)) : 1.0f;
      for (ULONG n = 0; n < 512; n += 37)
        ASSERT_NEAR(buffer.data[ch][n], original.data[ch][n] * gain, 1e-6) << ch << "/" << n;
    }
    node->NonDelegatingRelease();
  }
}

TEST_F(ChipANodes, MuteNodesSilenceOnlyUnderTheirConditions) {
  struct Case {
    const char* name;
    bool linked;
    ULONG where;  // endpoint type, or the link's direction value
    UCHAR muted;
    bool pcm;
    bool silenced;
  };
  const Case cases[] = {
      {"MutedOnSpdif", false, 3, 1, true, true},      {"MutedOnHeadphones", false, 2, 1, true, false},
      {"MutedOnSpeakers", false, 1, 1, true, false},  {"UnmutedOnSpdif", false, 3, 0, true, false},
      {"MutedOnSpdifAc3", false, 3, 1, false, true},  {"LinkedDirection3", true, 3, 1, true, true},
      {"LinkedDirection1", true, 1, 1, true, false},  {"LinkedUnmuted", true, 3, 0, true, false},
      {"LinkedAc3", true, 3, 1, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSource source(1);
    adapter::IDspNode* dsp = nullptr;
    IBoolControl* control = nullptr;
    CUacBoolControl* node = nullptr;
    if (c.linked) {
      auto* linked = New<CChipALinkedMuteNode>(4);
      node = linked;
      linked->SetDirection(c.where);
    } else {
      auto* mute = New<CChipAMuteNode>(4);
      node = mute;
    }
    ASSERT_EQ(node->InitUacBoolControl(static_cast<IUacBoolControlSource*>(&source), 1, nullptr), STATUS_SUCCESS);
    if (!c.linked) node->SetEndpointType(c.where, nullptr);
    ASSERT_EQ(node->NonDelegatingQueryInterface(adapter::IID_IDspNode, reinterpret_cast<PVOID*>(&dsp)), STATUS_SUCCESS);
    ASSERT_EQ(node->NonDelegatingQueryInterface(IID_IBoolControl, reinterpret_cast<PVOID*>(&control)), STATUS_SUCCESS);
    ASSERT_EQ(control->SetValue(0, c.muted), STATUS_SUCCESS);
    if (c.pcm) {
      const auto format = platform::testing::ExtensibleFormat(2, 48000, 16);
      PlanarBuffer buffer(2, 64);
      const PlanarBuffer original(2, 64);
      ASSERT_EQ(dsp->Process(&format, buffer.pointers.data(), 64), STATUS_SUCCESS);
      for (ULONG ch = 0; ch < 2; ++ch)
        EXPECT_EQ(buffer.data[ch], c.silenced ? std::vector<float>(64, 0.0f) : original.data[ch]);
    } else {
      // AC-3 over S/PDIF: one interleaved buffer.
      auto format = platform::testing::ExtensibleFormat(2, 48000, 16);
      format.SubFormat.Data1 = 0x0092;
      std::vector<BYTE> bytes(64 * 4, 0x5A);
      ASSERT_EQ(dsp->Process(&format, bytes.data(), 64), STATUS_SUCCESS);
      EXPECT_EQ(bytes, std::vector<BYTE>(bytes.size(), c.silenced ? 0 : 0x5A));
    }
    dsp->Release();
    control->Release();
    node->NonDelegatingRelease();
  }
}

TEST_F(ChipANodes, SoftMuteTakesOneChannelAndNoDeviceRequest) {
  FakeSource source(1);
  auto* node = New<CChipASoftMuteNode>(6);
  ASSERT_EQ(node->InitUacBoolControl(static_cast<IUacBoolControlSource*>(&source), 1, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(node->SetValue(1, 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(node->SetValue(0, 1), STATUS_SUCCESS);
  UCHAR device = 9;
  source.GetCur(1, 0, &device);
  EXPECT_EQ(device, 0);  // nothing sent
  const auto format = platform::testing::ExtensibleFormat(2, 48000, 16);
  PlanarBuffer buffer(2, 16);
  ASSERT_EQ(node->Process(&format, buffer.pointers.data(), 16), STATUS_SUCCESS);
  EXPECT_EQ(buffer.data[0], std::vector<float>(16, 0.0f));
  node->NonDelegatingRelease();
  // A unit with a mute per channel has no software form.
  FakeSource stereo(2);
  auto* wide = New<CChipASoftMuteNode>(7);
  EXPECT_EQ(wide->InitUacBoolControl(static_cast<IUacBoolControlSource*>(&stereo), 1, nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
  wide->NonDelegatingRelease();
}

}  // namespace
