#include "adapter/object_model.h"
#include "stream/usb_stream_engine.h"
#include "uac/stream_engine_factory.h"

namespace stream {
namespace {

template <class Engine>
NTSTATUS CreateEngine(ULONG Tag, UCHAR InterfaceNumber, ULONG TerminalNodeId, ULONG Direction,
                      adapter::IAudioHal* Owner, adapter::CStreamEngine** Out) {
  *Out = nullptr;
  auto* engine = new (NonPagedPool, Tag) Engine(nullptr, InterfaceNumber, TerminalNodeId);
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

NTSTATUS Create(uac::StreamEngineClass Class, ULONG Tag, UCHAR InterfaceNumber, ULONG TerminalNodeId,
                adapter::IAudioHal* Owner, adapter::CStreamEngine** Engine) {
  if (!Engine) return STATUS_INVALID_PARAMETER;
  *Engine = nullptr;
  switch (Class) {
    case uac::StreamEngineClass::Uac1Render:
      return CreateEngine<CUac1RenderStream>(Tag, InterfaceNumber, TerminalNodeId, adapter::STREAM_DIRECTION_RENDER,
                                             Owner, Engine);
    case uac::StreamEngineClass::Uac1Capture:
      return CreateEngine<CUac1CaptureStream>(Tag, InterfaceNumber, TerminalNodeId,
                                              adapter::STREAM_DIRECTION_CAPTURE, Owner, Engine);
  }
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS AddFormat(adapter::CStreamEngine* Engine, const WAVEFORMATEXTENSIBLE* Format, UCHAR AlternateSetting) {
  if (!Engine) return STATUS_INVALID_PARAMETER;
  // Every engine this factory makes is a USB stream engine.
  return static_cast<CUsbStreamEngine*>(Engine)->AddStreamFormat(Format, AlternateSetting);
}

constexpr uac::StreamEngineFactory kFactory = {Create, AddFormat};

}  // namespace

void RegisterEngineFactories() { uac::SetStreamEngineFactory(&kFactory); }

}  // namespace stream
