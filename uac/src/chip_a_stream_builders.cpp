// Chip class A's Audio Streaming builder: the UAC 1.0 builder with chip A render engines
// (they program the chip's rate and data-kind register and offer formats by output
// kind), then the chip's processing objects on every render engine: the jack-poll gain
// node on the device row that polls the jack, and the channel swap while 8-channel
// output is on.
#include "adapter/ref_list.h"
#include "stream_builder.h"
#include "uac/chip_a_function.h"

namespace uac {
namespace {

class ChipAStreamBuilder : public StreamBuilder {
 public:
  ChipAStreamBuilder(CChipAFunction& function, const StreamEngineFactory* factory)
      : StreamBuilder(function, factory, kChipATag), chip_(function) {}

 protected:
  NTSTATUS OnGeneral(const UCHAR* d, ULONG at, UCHAR interfaceNumber, adapter::CStreamEngine** engine) override {
    const ChipARenderFactory chipRender = GetChipARenderFactory();
    if (*engine || !chipRender || d[0] < 7) return StreamBuilder::OnGeneral(d, at, interfaceNumber, engine);
    adapter::IUacEntity* terminal = nullptr;
    bool render = false;
    ULONG terminalNode = 0;
    NTSTATUS status = FindTerminal(d, at, &terminal, &render, &terminalNode);
    if (!NT_SUCCESS(status)) return status;
    if (!render) return StreamBuilder::OnGeneral(d, at, interfaceNumber, engine);
    status = chipRender(tag_, interfaceNumber, terminalNode, &chip_, engine);
    if (!NT_SUCCESS(status)) return status;
    status = AddEngine(d, at, *engine, terminalNode);
    if (!NT_SUCCESS(status)) return status;
    formatTag_ = static_cast<USHORT>(d[5] | d[6] << 8);
    return STATUS_SUCCESS;
  }

 private:
  CChipAFunction& chip_;
};

// Puts the processing object into the engine's list and makes the stream buffers it
// works in.
NTSTATUS AddProcessing(adapter::CStreamEngine* Engine, PUNKNOWN Node) {
  NTSTATUS status = Engine->AddDspNode(Node);
  if (NT_SUCCESS(status)) status = Engine->AllocStreamBuffers();
  return status;
}

}  // namespace

STDMETHODIMP CChipAFunction::BuildFilters(PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                                          PUSB_INTERFACE_DESCRIPTOR FirstInterface, ULONG Bytes) {
  ChipAStreamBuilder builder(*this, GetStreamEngineFactory());
  NTSTATUS status = BuildStreamInterfaces(builder, Configuration, FirstInterface, Bytes, kProtocolUac1,
                                          m_nControlInterface, &m_Fault);
  if (!NT_SUCCESS(status)) return status;

  const ULONG engines = GetEngineCount();
  if (m_bJackPolling) {
    for (ULONG i = 0; i < engines && NT_SUCCESS(status); ++i) {
      adapter::IStreamEngine* engine = nullptr;
      status = GetEngine(i, &engine);
      if (!NT_SUCCESS(status) || engine->GetDirection() != adapter::STREAM_DIRECTION_RENDER) continue;
      CChipAGainNode* gain = nullptr;
      status = CreateChipAGainNode(&gain);
      if (!NT_SUCCESS(status)) break;
      gain->ResetMode();
      status = AddProcessing(static_cast<adapter::CStreamEngine*>(engine), static_cast<adapter::IDspNode*>(gain));
      // The function keeps the last render engine's node; one kept before is let go.
      if (NT_SUCCESS(status)) KeepGainNode(gain);
      gain->Release();
    }
  }
  if (NT_SUCCESS(status) && !m_Switches[CHIPA_OUT8]) {
    for (ULONG i = 0; i < engines && NT_SUCCESS(status); ++i) {
      adapter::IStreamEngine* engine = nullptr;
      status = GetEngine(i, &engine);
      if (!NT_SUCCESS(status) || engine->GetDirection() != adapter::STREAM_DIRECTION_RENDER) continue;
      adapter::IDspNode* swap = nullptr;
      status = CreateChipAChannelSwapNode(&swap);
      if (!NT_SUCCESS(status)) break;
      status = AddProcessing(static_cast<adapter::CStreamEngine*>(engine), swap);
      swap->Release();
    }
  }
  return status;
}

}  // namespace uac
