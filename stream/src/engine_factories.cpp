#include "adapter/object_model.h"
#include "stream/chip_d_render_stream.h"
#include "stream/chip_a_render_stream.h"
#include "uac/chip_a_function.h"
#include "stream/uac1_stream_engines.h"
#include "stream/uac2_stream_engines.h"
#include "stream/usb_stream_engine.h"
#include "uac/stream_engine_factory.h"

namespace stream {
namespace {

// Constructs an engine (no outer unknown, then the class's own arguments: interface,
// terminal node and, for a clocked engine, clock node) and initialises it for the
// direction; a failed Init releases it.
template <class Engine, class... Args>
NTSTATUS CreateEngine(ULONG Tag, ULONG Direction, adapter::IAudioHal* Owner, adapter::CStreamEngine** Out,
                    Args... args) {
  *Out = nullptr;
  auto* engine = new (NonPagedPool, Tag) Engine(nullptr, args...);
  if (!engine) return STATUS_INSUFFICIENT_RESOURCES;
  IUsbStreamEngine* itf = engine;
  itf->AddRef();
  NTSTATUS status = engine->Init(Direction, Owner);
  if (!NT_SUCCESS(status)) {
    itf->Release();
    return status;
  }
  *Out = engine;
  return STATUS_SUCCESS;
}

NTSTATUS CreateClocked(uac::StreamEngineClass Class, ULONG Tag, UCHAR InterfaceNumber, ULONG TerminalNodeId,
                       ULONG ClockNodeId, adapter::IAudioHal* Owner, adapter::CStreamEngine** Engine) {
  if (!Engine) return STATUS_INVALID_PARAMETER;
  *Engine = nullptr;
  switch (Class) {
    case uac::StreamEngineClass::Uac2Render:
      return CreateEngine<CUac2RenderStream>(Tag, adapter::STREAM_DIRECTION_RENDER, Owner, Engine,
                                           ULONG{InterfaceNumber}, TerminalNodeId, ClockNodeId);
    case uac::StreamEngineClass::Uac2Capture:
      return CreateEngine<CUac2CaptureStream>(Tag, adapter::STREAM_DIRECTION_CAPTURE, Owner, Engine,
                                            ULONG{InterfaceNumber}, TerminalNodeId, ClockNodeId);
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

BOOLEAN IsAltSettingValid(adapter::CStreamEngine* Engine, UCHAR AlternateSetting) {
  if (!Engine) return FALSE;
  return static_cast<CUsbStreamEngine*>(Engine)->IsAltSettingValid(AlternateSetting);
}

NTSTATUS Create(uac::StreamEngineClass Class, ULONG Tag, UCHAR InterfaceNumber, ULONG TerminalNodeId,
                adapter::IAudioHal* Owner, adapter::CStreamEngine** Engine) {
  if (!Engine) return STATUS_INVALID_PARAMETER;
  *Engine = nullptr;
  switch (Class) {
    case uac::StreamEngineClass::Uac1Render:
      return CreateEngine<CUac1RenderStream>(Tag, adapter::STREAM_DIRECTION_RENDER, Owner, Engine, InterfaceNumber,
                                             TerminalNodeId);
    case uac::StreamEngineClass::Uac1Capture:
      return CreateEngine<CUac1CaptureStream>(Tag, adapter::STREAM_DIRECTION_CAPTURE, Owner, Engine, InterfaceNumber,
                                              TerminalNodeId);
    case uac::StreamEngineClass::ChipDRender:
      return CreateEngine<CTZ4180Render>(Tag, adapter::STREAM_DIRECTION_RENDER, Owner, Engine, ULONG{InterfaceNumber},
                                         TerminalNodeId);
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS AddFormat(adapter::CStreamEngine* Engine, const WAVEFORMATEXTENSIBLE* Format, UCHAR AlternateSetting) {
  if (!Engine) return STATUS_INVALID_PARAMETER;
  // Every engine this factory makes is a USB stream engine.
  return static_cast<CUsbStreamEngine*>(Engine)->AddStreamFormat(Format, AlternateSetting);
}

constexpr uac::StreamEngineFactory kFactory = {Create, AddFormat, CreateClocked, IsAltSettingValid};

NTSTATUS CreateChipARender(ULONG Tag, UCHAR InterfaceNumber, ULONG TerminalNodeId, uac::CChipAFunction* Function,
                           adapter::CStreamEngine** Engine) {
  if (!Engine) return STATUS_INVALID_PARAMETER;
  *Engine = nullptr;
  auto* engine = new (NonPagedPool, Tag) CChipARenderStream(nullptr, InterfaceNumber, TerminalNodeId);
  if (!engine) return STATUS_INSUFFICIENT_RESOURCES;
  IUsbStreamEngine* itf = engine;
  itf->AddRef();
  // The chip A function is the owner: the engine reaches the device through it.
  NTSTATUS status = engine->Init(adapter::STREAM_DIRECTION_RENDER, static_cast<adapter::IAudioHal*>(Function), Function);
  if (!NT_SUCCESS(status)) {
    itf->Release();
    return status;
  }
  *Engine = engine;
  return STATUS_SUCCESS;
}

}  // namespace

void RegisterEngineFactories() {
  uac::SetStreamEngineFactory(&kFactory);
  uac::SetChipARenderFactory(CreateChipARender);
}

}  // namespace stream
