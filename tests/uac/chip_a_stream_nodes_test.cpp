// Chip class A's processing objects on buffers as the engine hands them over: the gain
// node per mode against the exact product (a quarter is exact in float), on planar PCM
// and on other formats (untouched); the channel swap on 8-channel PCM against the
// permutation it must make, and on every other layout (untouched).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "adapter/dsp_node.h"
#include "support/kernel_fixture.h"
#include "support/wave_formats.h"
#include "uac/chip_a_stream_nodes.h"

namespace {

using platform::testing::ExtensibleFormat;

struct Planar {
  Planar(ULONG channels, ULONG frames, unsigned seed) : data(channels, std::vector<float>(frames)) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    for (auto& ch : data)
      for (float& v : ch) v = d(rng);
    for (auto& ch : data) pointers.push_back(ch.data());
  }
  std::vector<std::vector<float>> data;
  std::vector<float*> pointers;
};

WAVEFORMATEXTENSIBLE Tagged(WORD channels, ULONG tag) {
  GUID sub = KSDATAFORMAT_SUBTYPE_PCM;
  sub.Data1 = tag;
  return ExtensibleFormat(channels, 48000, 16, sub);
}

class ChipANodesTest : public platform::testing::KernelTest {};

TEST_F(ChipANodesTest, GainNodeScalesOrSilencesPcmByMode) {
  uac::CChipAGainNode* node = nullptr;
  ASSERT_EQ(uac::CreateChipAGainNode(&node), STATUS_SUCCESS);
  EXPECT_EQ(node->GetMode(), uac::CHIPA_GAIN_PASS);
  struct Case {
    ULONG mode;
    float factor;  // what every sample becomes, times the sample
  };
  const Case cases[] = {{uac::CHIPA_GAIN_PASS, 1.0f}, {uac::CHIPA_GAIN_QUARTER, 0.25f},
                        {uac::CHIPA_GAIN_SILENCE, 0.0f}, {7, 1.0f}};
  for (const Case& c : cases) {
    for (WORD channels : {1, 2, 6, 8}) {
      for (ULONG frames : {1u, 17u, 512u}) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", " << channels << " channels, " << frames);
        Planar p(channels, frames, c.mode * 100 + channels + frames);
        const auto before = p.data;
        ASSERT_EQ(node->SetMode(c.mode), STATUS_SUCCESS);
        const auto format = ExtensibleFormat(channels, 48000, 16);
        EXPECT_EQ(node->Process(&format, p.pointers.data(), frames), STATUS_SUCCESS);
        for (WORD ch = 0; ch < channels; ++ch)
          for (ULONG i = 0; i < frames; ++i) ASSERT_EQ(p.data[ch][i], before[ch][i] * c.factor) << ch << " " << i;
      }
    }
  }
  // A full-scale sample in mode 1 becomes 0.25.
  node->SetMode(uac::CHIPA_GAIN_QUARTER);
  float one = 1.0f;
  float* ch = &one;
  const auto mono = ExtensibleFormat(1, 48000, 16);
  node->Process(&mono, &ch, 1);
  EXPECT_EQ(one, 0.25f);
  EXPECT_EQ(node->ResetMode(), STATUS_SUCCESS);
  EXPECT_EQ(node->GetMode(), uac::CHIPA_GAIN_PASS);
  node->Release();
}

TEST_F(ChipANodesTest, GainNodeLeavesOtherFormatsAlone) {
  uac::CChipAGainNode* node = nullptr;
  ASSERT_EQ(uac::CreateChipAGainNode(&node), STATUS_SUCCESS);
  for (ULONG mode : {uac::CHIPA_GAIN_QUARTER, uac::CHIPA_GAIN_SILENCE}) {
    node->SetMode(mode);
    for (ULONG tag : {0x0092u, 0x0164u, 0x0003u}) {
      SCOPED_TRACE(tag);
      std::vector<UCHAR> bytes(4 * 64);
      for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<UCHAR>(i * 7 + 1);
      const auto before = bytes;
      const auto format = Tagged(2, tag);
      EXPECT_EQ(node->Process(&format, bytes.data(), 64), STATUS_SUCCESS);
      EXPECT_EQ(bytes, before);
    }
    // A plain WAVEFORMATEX of another tag too.
    WAVEFORMATEXTENSIBLE plain = Tagged(2, 0x0092);
    plain.Format.wFormatTag = 0x0092;
    std::vector<UCHAR> bytes(16, 0x55);
    EXPECT_EQ(node->Process(&plain, bytes.data(), 4), STATUS_SUCCESS);
    EXPECT_EQ(bytes, std::vector<UCHAR>(16, 0x55));
  }
  PVOID itf = nullptr;
  ASSERT_EQ(node->QueryInterface(adapter::IID_IDspNode, &itf), STATUS_SUCCESS);
  static_cast<adapter::IDspNode*>(itf)->Release();
  node->Release();
}

TEST_F(ChipANodesTest, ChannelSwapExchangesTheRearPairsOfEightChannelPcmOnly) {
  adapter::IDspNode* node = nullptr;
  ASSERT_EQ(uac::CreateChipAChannelSwapNode(&node), STATUS_SUCCESS);
  struct Case {
    WORD channels;
    ULONG tag;
    bool swapped;
  };
  const Case cases[] = {{8, WAVE_FORMAT_PCM, true},  {6, WAVE_FORMAT_PCM, false}, {2, WAVE_FORMAT_PCM, false},
                        {7, WAVE_FORMAT_PCM, false}, {8, 0x0003, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.channels << " channels, tag " << c.tag);
    Planar p(c.channels, 32, c.channels);
    const auto pointers = p.pointers;
    const auto format = Tagged(c.channels, c.tag);
    EXPECT_EQ(node->Process(&format, p.pointers.data(), 32), STATUS_SUCCESS);
    std::vector<float*> expected = pointers;
    if (c.swapped) {
      std::swap(expected[4], expected[6]);
      std::swap(expected[5], expected[7]);
    }
    EXPECT_EQ(p.pointers, expected);
  }
  // Twice in a row restores the order.
  Planar p(8, 4, 1);
  const auto pointers = p.pointers;
  const auto format = Tagged(8, WAVE_FORMAT_PCM);
  node->Process(&format, p.pointers.data(), 4);
  node->Process(&format, p.pointers.data(), 4);
  EXPECT_EQ(p.pointers, pointers);
  node->Release();
}

}  // namespace
