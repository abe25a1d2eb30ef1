// Every PCM format the UAC 1.0 engines offer for the real devices in the shared device
// files goes through the processing hook with one object on the effect list: interleaved
// PCM to planar float and back, checked sample by sample against the integer oracle.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "stream/usb_stream_engine.h"
#include "support/dsp_node_doubles.h"
#include "support/pcm_oracle.h"
#include "uac/function_classes.h"
#include "uac/stream_engine_factory.h"
#include "uac/uac1_function.h"
#include "usb_device_fixture.h"

namespace {

namespace pcm = platform::testing::pcm;

// The real engine, with the running format set as a starting client would set it.
class CFormatStream : public stream::CUsbStreamEngine {
 public:
  using CUsbStreamEngine::CUsbStreamEngine;
  void UseFormat(const WAVEFORMATEXTENSIBLE& format) {
    client_.Format = format;
    TakeDeviceFormat(&client_);
  }

 private:
  adapter::StreamClientRecord client_{};
};

NTSTATUS CreateFormatStream(uac::StreamEngineClass cls, ULONG tag, UCHAR number, ULONG terminal,
                            adapter::IAudioHal* owner, adapter::CStreamEngine** out) {
  *out = nullptr;
  auto* engine = new (NonPagedPool, tag) CFormatStream(nullptr, number, terminal);
  if (!engine) return STATUS_INSUFFICIENT_RESOURCES;
  static_cast<stream::IUsbStreamEngine*>(engine)->AddRef();
  const NTSTATUS status = engine->Init(
      cls == uac::StreamEngineClass::Uac1Render ? adapter::STREAM_DIRECTION_RENDER : adapter::STREAM_DIRECTION_CAPTURE,
      owner);
  if (!NT_SUCCESS(status)) {
    static_cast<stream::IUsbStreamEngine*>(engine)->Release();
    return status;
  }
  *out = engine;
  return STATUS_SUCCESS;
}

NTSTATUS AddFormat(adapter::CStreamEngine* engine, const WAVEFORMATEXTENSIBLE* format, UCHAR alt) {
  return static_cast<CFormatStream*>(engine)->AddStreamFormat(format, alt);
}

// UAC 1.0 engines only: every other hook stays null.
uac::StreamEngineFactory MakeFactory() {
  uac::StreamEngineFactory factory{};
  factory.Create = CreateFormatStream;
  factory.AddStreamFormat = AddFormat;
  return factory;
}
const uac::StreamEngineFactory kFactory = MakeFactory();

class EngineFormatsProcessing : public usb_device_test::UsbDeviceTest {
 protected:
  void SetUp() override {
    UsbDeviceTest::SetUp();
    saved_ = adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, nullptr);
    uac::RegisterFunctionFactories();
    savedEngines_ = uac::SetStreamEngineFactory(&kFactory);
  }
  void TearDown() override {
    UsbDeviceTest::TearDown();
    adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, saved_);
    uac::SetStreamEngineFactory(savedEngines_);
  }

  adapter::FunctionFactory saved_ = nullptr;
  const uac::StreamEngineFactory* savedEngines_ = nullptr;
};

TEST_F(EngineFormatsProcessing, EveryPcmFormatOfTheDevicesRoundTripsThroughOneEffectObject) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(UA_DEVICE_DUMPS_DIR)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("uac1-", 0) == 0) files.push_back(name);
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());

  std::mt19937 rng(48000);
  std::set<std::pair<unsigned, unsigned>> covered;  // (bits, channels)
  size_t formats = 0;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    sim::device::DeviceProfile profile;
    profile.strings[uac::kModelStringIndex] = u"Neutral";
    Plug(file, profile);
    if (!NT_SUCCESS(Start())) {  // a device this function does not build
      TearDownDevice();
      continue;
    }
    for (ULONG e = 0; e < hal_->GetEngineCount(); ++e) {
      adapter::IStreamEngine* itf = nullptr;
      ASSERT_EQ(hal_->GetEngine(e, &itf), STATUS_SUCCESS);
      auto* engine = static_cast<CFormatStream*>(static_cast<adapter::CStreamEngine*>(itf));
      platform::testing::CTestDspNode* node = platform::testing::NewTestDspNode(0.5f);
      ASSERT_EQ(engine->AddFirstEffectNode(node), STATUS_SUCCESS);
      for (ULONG i = 0; i < engine->GetFormatRecordCount(); ++i) {
        const WAVEFORMATEXTENSIBLE& format = engine->GetFormatRecord(i)->Format;
        if (adapter::DspFormatTag(&format) != WAVE_FORMAT_PCM) continue;
        const unsigned bits = format.Format.wBitsPerSample, channels = format.Format.nChannels;
        engine->UseFormat(format);
        const std::vector<UCHAR> input = pcm::RandomPcm(rng, bits, size_t{700} * channels);
        std::vector<UCHAR> buffer = input;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        const NTSTATUS status = engine->ProcessBuffer(buffer.data(), static_cast<ULONG>(buffer.size()));
        KeLowerIrql(old);
        if (channels > adapter::kStreamChannelBuffers) {
          EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
          EXPECT_EQ(buffer, input);
          continue;
        }
        ASSERT_EQ(status, STATUS_SUCCESS) << bits << " bits, " << channels << " channels";
        const size_t width = bits / 8;
        size_t mismatches = 0;
        for (size_t s = 0; s < input.size() / width; ++s) {
          const auto want = pcm::Expected(pcm::ReadSample(&input[s * width], bits), bits, 0.5f);
          if (pcm::ReadSample(&buffer[s * width], bits) != want) ++mismatches;
        }
        EXPECT_EQ(mismatches, 0u) << bits << " bits, " << channels << " channels";
        covered.insert({bits, channels});
        ++formats;
      }
      EXPECT_EQ(engine->RemoveFirstEffectNode(node), STATUS_SUCCESS);
      node->Release();
    }
    TearDownDevice();
  }
  // The devices offer 16- and 24-bit formats at least.
  EXPECT_TRUE(covered.count({16, 2}));
  EXPECT_TRUE(covered.count({24, 2}));
  RecordProperty("formats", static_cast<int>(formats));
  RecordProperty("layouts", static_cast<int>(covered.size()));
}

}  // namespace
