// The fixture of the miniport and stream tests: an adapter (a probe function) holding one
// stand-in engine, a counting port, and the miniport initialised on them.
#pragma once

#include <cstring>
#include <vector>

#include "filters/miniport_wave_cyclic.h"
#include "filters/wave_cyclic_stream.h"
#include "support/kernel_fixture.h"
#include "support/model_doubles.h"
#include "support/wave_formats.h"
#include "uac/terminal_nodes.h"
#include "wave_doubles.h"

namespace filters_test {

using platform::testing::ExtensibleFormat;

// A KS data format carrying the extensible format, as a client builds it.
inline std::vector<BYTE> DataFormatOf(const WAVEFORMATEXTENSIBLE& format) {
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f{};
  f.DataFormat.FormatSize = sizeof f;
  f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  f.DataFormat.SubFormat = format.SubFormat;
  f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  f.WaveFormatExt = format;
  std::vector<BYTE> bytes(sizeof f);
  std::memcpy(bytes.data(), &f, sizeof f);
  return bytes;
}

class WaveFixture : public platform::testing::KernelTest {
 protected:
  void TearDown() override {
    Teardown();
    platform::testing::KernelTest::TearDown();
  }

  // Builds the adapter with one engine of the direction and formats, and the miniport.
  NTSTATUS Build(ULONG direction, const std::vector<WAVEFORMATEXTENSIBLE>& formats, PCWSTR name = u"SPKOut00") {
    engine_ = NewFakeEngine(direction, formats);
    engine_->SetName(name);
    hal_ = platform::testing::NewProbeHal();
    hal_->probe = [this](platform::testing::CProbeHal* self) { return self->AddStreamEngine(engine_); };
    EXPECT_EQ(hal_->Init(nullptr, reinterpret_cast<PDEVICE_OBJECT>(&fdo_), nullptr, nullptr), STATUS_SUCCESS);
    port_ = NewFakePort();
    PUNKNOWN unknown = nullptr;
    EXPECT_EQ(filters::CreateMiniportWaveCyclic(&unknown, CLSID_PortWaveCyclic, nullptr, NonPagedPool, 0),
              STATUS_SUCCESS);
    miniport_ = static_cast<filters::CMiniportWaveCyclic*>(static_cast<IMiniportWaveCyclic*>(unknown));
    return miniport_->Init(static_cast<adapter::IAudioHal*>(hal_), nullptr, port_);
  }

  // Opens the stream of the format on pin 0.
  NTSTATUS Open(const WAVEFORMATEXTENSIBLE& format, bool capture = false) {
    std::vector<BYTE> bytes = DataFormatOf(format);
    NTSTATUS status = miniport_->NewStream(&stream_, nullptr, NonPagedPool, 0, capture ? TRUE : FALSE,
                                           reinterpret_cast<PKSDATAFORMAT>(bytes.data()), &dma_, &group_);
    if (NT_SUCCESS(status)) wave_ = static_cast<filters::CMiniportWaveCyclicStream*>(stream_);
    return status;
  }
  void CloseStream() {
    if (group_) group_->Release();
    if (dma_) dma_->Release();
    if (stream_) stream_->Release();
    group_ = nullptr;
    dma_ = nullptr;
    stream_ = nullptr;
    wave_ = nullptr;
  }
  void Teardown() {
    CloseStream();
    if (miniport_) static_cast<IMiniportWaveCyclic*>(miniport_)->Release();
    if (port_) static_cast<IPortWaveCyclic*>(port_)->Release();
    if (hal_) static_cast<adapter::IAudioHal*>(hal_)->Release();
    if (engine_) static_cast<stream::IUsbStreamEngine*>(engine_)->Release();
    miniport_ = nullptr;
    port_ = nullptr;
    hal_ = nullptr;
    engine_ = nullptr;
  }
  // Puts a terminal on the engine's path; a terminal with a jack has it plugged in or not.
  void AddTerminal(ULONG id, bool input, ULONG kind, int jack = -1) {
    adapter::IUacEntity* entity = nullptr;
    adapter::JackRecord record{};
    record.IsConnected = jack > 0 ? 1 : 0;
    const ULONG jacks = jack >= 0 ? 1 : 0;
    if (input) {
      auto* node = new (NonPagedPool, kDoubleTag) uac::CInputTerminalNode(nullptr, id);
      static_cast<adapter::IUacEntity*>(node)->AddRef();
      EXPECT_EQ(node->InitTerminal(1, &kind, jacks, &record), STATUS_SUCCESS);
      entity = node;
    } else {
      auto* node = new (NonPagedPool, kDoubleTag) uac::COutputTerminalNode(nullptr, id);
      static_cast<adapter::IUacEntity*>(node)->AddRef();
      EXPECT_EQ(node->InitTerminal(1, 1, &kind, jacks, &record), STATUS_SUCCESS);
      entity = node;
    }
    EXPECT_EQ(engine_->AddNode(entity), STATUS_SUCCESS);
    entity->Release();
  }

  ULONG_PTR fdo_ = 0;
  CFakeEngine* engine_ = nullptr;
  platform::testing::CProbeHal* hal_ = nullptr;
  CFakePort* port_ = nullptr;
  filters::CMiniportWaveCyclic* miniport_ = nullptr;
  PMINIPORTWAVECYCLICSTREAM stream_ = nullptr;
  PDMACHANNEL dma_ = nullptr;
  PSERVICEGROUP group_ = nullptr;
  filters::CMiniportWaveCyclicStream* wave_ = nullptr;
};

}  // namespace filters_test
