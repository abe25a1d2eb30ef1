// The Audio Streaming builder shared by the function classes: one stream engine per
// streaming interface of the function, its formats from the interface's alternate
// settings, the signal path from the engine's streaming terminal to the terminal that
// faces the user, and a software mute on paths that have no control. The class version
// decides how an AS_GENERAL and a format-type descriptor read (the hooks below).
#pragma once

#include "adapter/stream_engine.h"
#include "uac/descriptor_rules.h"
#include "uac/stream_engine_factory.h"
#include "uac/uac1_function.h"

namespace uac {

// The path searches queue at most this many node identifiers, and a render engine looks
// at most at this many user-facing output terminals.
inline constexpr ULONG kPathRing = 20;
inline constexpr ULONG kMaxCandidates = 10;

class StreamBuilder {
 public:
  StreamBuilder(CUac1Function& function, const StreamEngineFactory* factory, ULONG tag)
      : f_(function), factory_(factory), tag_(tag) {}
  virtual ~StreamBuilder() = default;

  DescriptorFault fault{};
  // Offset of the Audio Control interface in the configuration (faults are counted from
  // it); -1 when the configuration has none.
  LONG controlOffset = -1;

  NTSTATUS BuildInterface(const UCHAR* config, ULONG total, ULONG* offset);
  NTSTATUS EndpointTypes();

 protected:
  // An AS_GENERAL descriptor at configuration offset `at`: creates the interface's engine
  // when it has none and remembers what the format-type descriptors need.
  virtual NTSTATUS OnGeneral(const UCHAR* d, ULONG at, UCHAR interfaceNumber, adapter::CStreamEngine** engine);
  // The engine class of a UAC 1.0 interface of the direction.
  virtual StreamEngineClass EngineClass(bool render) const {
    return render ? StreamEngineClass::Uac1Render : StreamEngineClass::Uac1Capture;
  }
  // The last word on a UAC 1.0 format before its rates are added (the descriptor's as
  // it stands by default).
  virtual void ShapeFormat(WAVEFORMATEXTENSIBLE* /*Format*/, ULONG /*Direction*/) const {}
  // A format-type descriptor of the alternate setting.
  virtual NTSTATUS OnFormatType(const UCHAR* d, ULONG at, UCHAR interfaceNumber, UCHAR alternate,
                                adapter::CStreamEngine* engine);

  NTSTATUS Fail(ULONG configOffset, const UCHAR* d, UCHAR id, NTSTATUS status, const char* reason);
  // The terminal the AS_GENERAL links to, the engine class of its direction and the
  // identifier of its output node.
  NTSTATUS FindTerminal(const UCHAR* general, ULONG at, adapter::IUacEntity** terminal, bool* render,
                        PULONG terminalNode);
  // Adds the created engine to the function and links its path; drops the creation reference.
  NTSTATUS AddEngine(const UCHAR* general, ULONG at, adapter::CStreamEngine* engine, ULONG terminalNode);
  NTSTATUS AddUac1Formats(adapter::CStreamEngine* engine, const UCHAR* d, USHORT formatTag, UCHAR alternate,
                          const WAVEFORMATEXTENSIBLE& format);
  NTSTATUS LinkEngineToTerminal(adapter::CStreamEngine* engine, ULONG terminalNode);
  NTSTATUS CollectEnginePathNodes(adapter::CStreamEngine* engine, ULONG start);
  NTSTATUS AddTerminalKindNodes(adapter::CStreamEngine* engine);
  NTSTATUS AddEngineSoftwareNodes(adapter::CStreamEngine* engine);
  NTSTATUS AddEnginePathNodes(adapter::CStreamEngine* engine);
  NTSTATUS AddDspNode(ULONG id, ULONG source, ULONG channels, adapter::CStreamEngine* engine);
  NTSTATUS AddSelectorNode(ULONG id, ULONG count, const ULONG* sources, adapter::CStreamEngine* engine);
  void FeedOutputTerminalUnit(ULONG outputNode, ULONG source);

  CUac1Function& f_;
  const StreamEngineFactory* factory_;
  ULONG tag_;
  USHORT formatTag_ = 0;
  // Capture paths longer than two nodes put their mixers into terminal mode (UAC 2.0).
  bool mixerTerminalMode_ = false;
};

// Walks the function's own streaming interfaces (those its Audio Control header lists)
// from `FirstInterface` with the builder, then tells the nodes behind each terminal-kind
// node their endpoint type. A refusal's fault goes to `Fault`.
NTSTATUS BuildStreamInterfaces(StreamBuilder& Builder, PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                               PUSB_INTERFACE_DESCRIPTOR FirstInterface, ULONG Bytes, UCHAR Protocol,
                               UCHAR ControlInterface, DescriptorFault* Fault);

}  // namespace uac
