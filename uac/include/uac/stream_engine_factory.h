// The hook through which the audio model's filter builders create stream engines. The
// engines live in the streaming layer above the model, so the model does not name their
// classes: the streaming layer registers its factory here (stream::RegisterEngineFactories)
// when the driver's layers are wired together. Without one, a function that has a
// streaming interface to build refuses to start with STATUS_NOT_SUPPORTED.
#pragma once

#include "adapter/audio_hal.h"
#include "adapter/stream_engine.h"
#include "kernel/nt.h"
#include "portcls/ksmedia.h"

namespace uac {

class CChipAFunction;

// ChipDRender: the chip class D render engine, which sends channels 0 and 1 of its formats.
enum class StreamEngineClass : ULONG { Uac1Render, Uac1Capture, Uac2Render, Uac2Capture, ChipDRender };

struct StreamEngineFactory {
  // Constructs an engine of the class (zeroed non-paged pool under `Tag`) for the
  // streaming interface and the node identifier of its terminal's output node, then
  // initialises it for the direction of the class with the function as its owner. One
  // reference. No memory: STATUS_INSUFFICIENT_RESOURCES; a failed Init is returned with
  // no engine.
  NTSTATUS (*Create)(StreamEngineClass Class, ULONG Tag, UCHAR InterfaceNumber, ULONG TerminalNodeId,
                     adapter::IAudioHal* Owner, adapter::CStreamEngine** Engine);
  // Adds a format the engine plays with the alternate setting it belongs to.
  NTSTATUS (*AddStreamFormat)(adapter::CStreamEngine* Engine, const WAVEFORMATEXTENSIBLE* Format,
                              UCHAR AlternateSetting);
  // The UAC 2.0 classes: as Create, with the node identifier of the rate control of the
  // clock that clocks the interface. Null: the factory makes no UAC 2.0 engines.
  NTSTATUS (*CreateClocked)(StreamEngineClass Class, ULONG Tag, UCHAR InterfaceNumber, ULONG TerminalNodeId,
                            ULONG ClockNodeId, adapter::IAudioHal* Owner, adapter::CStreamEngine** Engine);
  // Whether the device reports the alternate setting of the engine's interface as valid
  // (UAC 2.0 valid-alternates control; setting 0 always is). Null: every setting is.
  BOOLEAN (*IsAltSettingValid)(adapter::CStreamEngine* Engine, UCHAR AlternateSetting);
};

// Installs the factory (null removes it) and returns the previous one.
const StreamEngineFactory* SetStreamEngineFactory(const StreamEngineFactory* Factory);
const StreamEngineFactory* GetStreamEngineFactory();

// Chip class A's render engine: constructed as Create does, initialised for rendering
// with the chip A function, whose registers it programs. Without one installed the chip A
// builder makes plain UAC 1.0 render engines through the factory above.
using ChipARenderFactory = NTSTATUS (*)(ULONG Tag, UCHAR InterfaceNumber, ULONG TerminalNodeId,
                                        CChipAFunction* Function, adapter::CStreamEngine** Engine);
ChipARenderFactory SetChipARenderFactory(ChipARenderFactory Factory);
ChipARenderFactory GetChipARenderFactory();

}  // namespace uac
