// Nodes the driver applies to the audio itself: the software mute on PCM (planar float)
// and other (interleaved) buffers, and the vendor volume's gains, including a stream wider
// than the node.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "adapter/dsp_node.h"
#include "support/kernel_fixture.h"
#include "uac/bound_nodes.h"
#include "uac/software_nodes.h"

namespace {

using namespace uac;

constexpr ULONG kNodeTag = MakePoolTag('T', 's', 'w', 'n');

WAVEFORMATEXTENSIBLE StreamFormat(WORD channels, ULONG subFormat, WORD bits = 32) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = 48000;
  f.Format.wBitsPerSample = bits;
  f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.Format.cbSize = 22;
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  f.SubFormat.Data1 = subFormat;
  return f;
}

// Planar channels with distinct values, and the pointer array Process takes.
struct Planar {
  Planar(ULONG channels, ULONG frames) : data(channels, std::vector<float>(frames)) {
    for (ULONG c = 0; c < channels; ++c)
      for (ULONG i = 0; i < frames; ++i) data[c][i] = 0.001f * float(i + 1) * float(c + 1) - 0.25f;
    for (auto& ch : data) pointers.push_back(ch.data());
  }
  std::vector<std::vector<float>> data;
  std::vector<float*> pointers;
};

class SoftwareNodes : public platform::testing::KernelTest {
 protected:
  // The node through its processing interface (one reference, released by the test).
  static adapter::IDspNode* Dsp(adapter::IUacEntity* node) {
    PVOID itf = nullptr;
    EXPECT_EQ(node->QueryInterface(adapter::IID_IDspNode, &itf), STATUS_SUCCESS);
    return static_cast<adapter::IDspNode*>(itf);
  }
  static IBoolControl* Bool(adapter::IUacEntity* node) {
    PVOID itf = nullptr;
    EXPECT_EQ(node->QueryInterface(IID_IBoolControl, &itf), STATUS_SUCCESS);
    return static_cast<IBoolControl*>(itf);
  }
};

TEST_F(SoftwareNodes, MuteTakesOneChannelOnly) {
  struct Case {
    ULONG count;
    NTSTATUS status;
  } cases[] = {{0, STATUS_INSUFFICIENT_RESOURCES}, {1, STATUS_SUCCESS}, {2, STATUS_INSUFFICIENT_RESOURCES}};
  for (const Case& c : cases) {
    adapter::IUacEntity* node = nullptr;
    ASSERT_EQ(CreateSoftwareMuteNode(&node, 12, kNodeTag), STATUS_SUCCESS);
    EXPECT_EQ(node->GetType(), adapter::NODE_MUTE);
    EXPECT_EQ(node->GetId(), 12u);
    IBoolControl* control = Bool(node);
    EXPECT_EQ(control->InitChannels(7, c.count), c.status) << c.count;
    ULONG channels = 99;
    ASSERT_EQ(control->GetChannelCount(&channels), STATUS_SUCCESS);
    EXPECT_EQ(channels, NT_SUCCESS(c.status) ? 1u : 0u);
    if (NT_SUCCESS(c.status)) {
      EXPECT_EQ(node->GetSourceCount(), 1u);
      UCHAR value = 0xFF;
      EXPECT_EQ(control->GetValue(0, &value), STATUS_SUCCESS);
      EXPECT_EQ(value, 0);  // starts unmuted
    }
    adapter::IDspNode* dsp = Dsp(node);
    EXPECT_EQ(dsp->Reserved1(), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(dsp->Reserved2(), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(dsp->SetFormat(nullptr), STATUS_SUCCESS);
    EXPECT_EQ(dsp->ResetState(), STATUS_SUCCESS);
    EXPECT_EQ(dsp->Reset(), STATUS_SUCCESS);
    dsp->Release();
    control->Release();
    node->Release();
  }
}

TEST_F(SoftwareNodes, MuteSilencesPlanarPcmAndInterleavedBuffers) {
  adapter::IUacEntity* node = nullptr;
  ASSERT_EQ(CreateSoftwareMuteNode(&node, 3, kNodeTag), STATUS_SUCCESS);
  IBoolControl* control = Bool(node);
  ASSERT_EQ(control->InitChannels(1, 1), STATUS_SUCCESS);
  adapter::IDspNode* dsp = Dsp(node);

  for (UCHAR muted : {0, 1}) {
    ASSERT_EQ(control->SetValue(0, muted), STATUS_SUCCESS);
    // PCM: planar float channels, each zeroed over the frame count.
    for (WORD channels : {1, 2, 6}) {
      const WAVEFORMATEXTENSIBLE f = StreamFormat(channels, WAVE_FORMAT_PCM);
      Planar in(channels, 96), out(channels, 96);
      EXPECT_EQ(dsp->Process(&f, out.pointers.data(), 96), STATUS_SUCCESS);
      for (ULONG c = 0; c < channels; ++c)
        for (ULONG i = 0; i < 96; ++i) ASSERT_EQ(out.data[c][i], muted ? 0.0f : in.data[c][i]) << c << " " << i;
    }
    // Another format: one interleaved buffer of nBlockAlign x frames bytes; what lies
    // behind it stays.
    const WAVEFORMATEXTENSIBLE ac3 = StreamFormat(2, 0x0092, 16);
    std::vector<UCHAR> bytes(4 * 50 + 8, 0xA5);
    EXPECT_EQ(dsp->Process(&ac3, bytes.data(), 50), STATUS_SUCCESS);
    for (size_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], muted && i < 200 ? 0 : 0xA5) << i;
    // A plain (non-extensible) float format is not PCM here: one interleaved buffer.
    WAVEFORMATEXTENSIBLE plain = StreamFormat(2, 0);
    plain.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    std::vector<float> interleaved(2 * 10, 0.5f);
    EXPECT_EQ(dsp->Process(&plain, interleaved.data(), 10), STATUS_SUCCESS);
    for (float v : interleaved) ASSERT_EQ(v, muted ? 0.0f : 0.5f);
  }
  dsp->Release();
  control->Release();
  node->Release();
}

// A level source of a few channels, range -60..0 dB.
class LevelSource : public IUacLevelControlSource {
 public:
  explicit LevelSource(ULONG channels) : channels_(channels) {}
  STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override {
    if (!IsEqualGUID(iid, IID_IUacLevelControlSource)) return STATUS_INVALID_PARAMETER;
    *object = static_cast<IUacLevelControlSource*>(this);
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetCur(ULONG, ULONG channel, PLONG level) override {
    if (channel >= channels_) return STATUS_INVALID_PARAMETER;
    *level = -6 * 65536 * LONG(channel + 1);
    return STATUS_SUCCESS;
  }
  STDMETHODIMP SetCur(ULONG, ULONG channel, LONG) override {
    return channel < channels_ ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
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

 private:
  ULONG channels_;
};

// The node's gains scale the stream's planar channels while its two link values agree.
// A stream with more channels than the node reads no gain past the node's table: the
// extra channels pass unchanged (gain 1).
TEST_F(SoftwareNodes, VendorVolumeScalesTheChannelsItHasAndPassesTheRest) {
  LevelSource source(2);
  auto* node = new (NonPagedPool, kNodeTag) CUacVendorVolumeControl(nullptr, 4);
  node->NonDelegatingAddRef();
  ASSERT_EQ(node->InitUacVendorVolumeControl(static_cast<IUacLevelControlSource*>(&source), 0x82, nullptr),
            STATUS_SUCCESS);
  adapter::IDspNode* dsp = Dsp(node);
  PVOID linkItf = nullptr;
  ASSERT_EQ(node->NonDelegatingQueryInterface(adapter::IID_IStreamLink, &linkItf), STATUS_SUCCESS);
  auto* link = static_cast<adapter::IStreamLink*>(linkItf);

  struct Case {
    const char* name;
    WORD channels;
    ULONG direction, pin;
    ULONG subFormat;
    bool scaled;
  } cases[] = {
      {"stereo, links agree", 2, 0, 0, WAVE_FORMAT_PCM, true},
      {"mono, links agree", 1, 3, 3, WAVE_FORMAT_PCM, true},
      {"eight channels on a two-channel node", 8, 1, 1, WAVE_FORMAT_PCM, true},
      {"links differ", 2, 1, 0, WAVE_FORMAT_PCM, false},
      {"not PCM", 2, 0, 0, 0x0092, false},
  };
  for (const Case& c : cases) {
    link->SetDirection(c.direction);
    link->SetPinIndex(c.pin);
    const WAVEFORMATEXTENSIBLE f = StreamFormat(c.channels, c.subFormat);
    Planar in(c.channels, 64), out(c.channels, 64);
    EXPECT_EQ(dsp->Process(&f, out.pointers.data(), 64), STATUS_SUCCESS) << c.name;
    for (ULONG ch = 0; ch < c.channels; ++ch) {
      const float gain = c.scaled && ch < 2 ? node->Gain(ch) : 1.0f;
      for (ULONG i = 0; i < 64; ++i) ASSERT_EQ(out.data[ch][i], in.data[ch][i] * gain) << c.name << " ch " << ch;
    }
  }
  EXPECT_LT(node->Gain(1), node->Gain(0));  // -12 dB and -6 dB from the device
  link->Release();
  dsp->Release();
  node->NonDelegatingRelease();
}

}  // namespace
