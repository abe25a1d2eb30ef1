// Node interfaces that the audio-layer base classes query on the entities of the model:
// terminals (kind and jacks), terminal-kind nodes, selectors and the links they drive,
// the endpoint a node stands on, and the engine-link interfaces. The node classes that
// answer them live with the entity model; they are declared here because the base
// classes below that model look for them.
#pragma once

#include <cstddef>

#include "adapter/capability_record.h"
#include "kernel/nt.h"
#include "portcls/ks.h"

namespace adapter {

struct IStreamEngine;

// Node types: a node's entity type, the index of its row in the topology filter's
// node-type table.
enum NodeType : ULONG {
  NODE_INPUT_TERMINAL = 0,
  NODE_OUTPUT_TERMINAL = 1,
  NODE_MUTE = 2,
  NODE_VOLUME = 3,
  NODE_SELECTOR = 4,
  NODE_MIXER = 5,
  NODE_AGC = 6,
  NODE_LOUDNESS = 7,
  NODE_INPUT_GAIN_PAD = 8,
  NODE_BASS = 9,
  NODE_MID = 10,
  NODE_TREBLE = 11,
  NODE_CLOCK_RATE = 12,
  NODE_TERMINAL_KIND = 13,
  // Private types no class builds yet; the topology handlers know their interfaces.
  NODE_CAPTURE_SWITCH = 15,
  NODE_RANGED_VALUE = 17,
  NODE_VENDOR_SWITCH = 18,
  NODE_CAPTURE_VENDOR_SWITCH = 19,
  NODE_VALUE_TABLE = 20,
  NODE_GAIN_SWITCH = 22,
  NODE_VENDOR_EFFECT = 23,
};

// One jack of a terminal, 36 bytes: the six fields of a KS jack description, a reserved
// word, whether the jack is in use, and whether the device reports presence for it (0:
// the jack counts as always connected).
struct JackRecord {
  ULONG ChannelMapping;
  ULONG Color;  // 0x00RRGGBB
  ULONG ConnectionType;
  ULONG GeoLocation;
  ULONG GenLocation;
  ULONG PortConnection;
  ULONG Flags;
  ULONG IsConnected;
  ULONG PresenceDetect;
};
static_assert(sizeof(JackRecord) == 36);
static_assert(offsetof(JackRecord, IsConnected) == 28);
using PJACKRECORD = JackRecord*;

// {540C5664-4620-4FDB-9B81-7E2145D95BE3}
KS_DEFINE_GUID(IID_ITerminalNode, 0x540C5664, 0x4620, 0x4FDB, 0x9B, 0x81, 0x7E, 0x21, 0x45, 0xD9, 0x5B, 0xE3);
// {DC7604D8-C1F4-4EA1-818C-F744191B5B18}
KS_DEFINE_GUID(IID_ITerminalKindNode, 0xDC7604D8, 0xC1F4, 0x4EA1, 0x81, 0x8C, 0xF7, 0x44, 0x19, 0x1B, 0x5B, 0x18);
// {03449A8C-92DC-45CA-859F-AC21AD70C59F}
KS_DEFINE_GUID(IID_INodeEndpoint, 0x03449A8C, 0x92DC, 0x45CA, 0x85, 0x9F, 0xAC, 0x21, 0xAD, 0x70, 0xC5, 0x9F);
// {524FA5C2-9FBF-4FC8-B8D2-DC302DEDB0DF}
KS_DEFINE_GUID(IID_ISelectorNode, 0x524FA5C2, 0x9FBF, 0x4FC8, 0xB8, 0xD2, 0xDC, 0x30, 0x2D, 0xED, 0xB0, 0xDF);
// {D31296ED-008B-4C8C-A239-4E6B322E9626}
KS_DEFINE_GUID(IID_IStreamLink, 0xD31296ED, 0x008B, 0x4C8C, 0xA2, 0x39, 0x4E, 0x6B, 0x32, 0x2E, 0x96, 0x26);
// {A2A9F460-60B0-4AFF-87B8-753B60F24B88}
KS_DEFINE_GUID(IID_ICaptureSwitchNode, 0xA2A9F460, 0x60B0, 0x4AFF, 0x87, 0xB8, 0x75, 0x3B, 0x60, 0xF2, 0x4B, 0x88);
// {267CEBE5-5821-4D11-8E58-6569B7E95DA1}
KS_DEFINE_GUID(IID_ICaptureVendorSwitchNode, 0x267CEBE5, 0x5821, 0x4D11, 0x8E, 0x58, 0x65, 0x69, 0xB7, 0xE9, 0x5D,
               0xA1);
// {20C8868C-E090-4CEF-BD03-B80F0ECD7C19}
KS_DEFINE_GUID(IID_IRenderLink, 0x20C8868C, 0xE090, 0x4CEF, 0xBD, 0x03, 0xB8, 0x0F, 0x0E, 0xCD, 0x7C, 0x19);

// A terminal: its endpoint kinds (EndpointType values), its jacks and its endpoint's
// capability record. The kind index names one kind of a terminal with several; nodes that
// carry one kind ignore it.
struct ITerminalNode : IUnknown {
  STDMETHOD(GetKind)(PULONG Kind) = 0;
  STDMETHOD(GetKindCount)(PULONG Count) = 0;
  STDMETHOD(GetKinds)(PULONG Kinds) = 0;  // kind count entries
  STDMETHOD(SetKind)(ULONG Kind) = 0;
  STDMETHOD(GetState)(PULONG JackCount, ULONG KindIndex) = 0;
  // Copies the smaller of Size and count x 36 bytes of jack records.
  STDMETHOD(GetJackDescriptions)(ULONG Size, PVOID Buffer, ULONG KindIndex) = 0;
  STDMETHOD(GetJackInfo)(EndpointCapabilityRecord* Record) = 0;
};
using PTERMINALNODE = ITerminalNode*;

// The endpoint a node stands on; the callback object (the function's control-change
// object, or null) serves the device-bound forms.
struct INodeEndpoint : IUnknown {
  STDMETHOD(SetEndpointType)(ULONG EndpointType, PVOID CallbackObject) = 0;
};
using PNODEENDPOINT = INodeEndpoint*;

// A node that switches an output terminal between its terminal types; every listener
// (the nodes upstream of the terminal) follows a change through SetEndpointType.
// Several engines may end at one terminal, so switches are also counted: each engine
// keeps the count it was last named at (IStreamEngine::TakeKindSwitch) and is renamed
// once per switch. The changed flag only says that no rename pass has looked at the node
// since its last switch.
struct ITerminalKindNode : IUnknown {
  STDMETHOD(GetKind)(PULONG Kind) = 0;
  STDMETHOD(GetKindCount)(PULONG Count) = 0;
  STDMETHOD(GetKinds)(PULONG Kinds) = 0;
  STDMETHOD(SetKind)(ULONG Kind) = 0;
  STDMETHOD_(ULONG, IsKindChanged)() = 0;
  STDMETHOD_(void, ClearKindChanged)() = 0;
  STDMETHOD(AddKindListener)(INodeEndpoint* Listener) = 0;
  STDMETHOD(InitKinds)(ULONG SourceId, ULONG KindCount, const ULONG* Kinds) = 0;
  // Kind switches since the node was made (wraps; only equality counts).
  STDMETHOD_(ULONG, GetKindSwitchCount)() = 0;
};
using PTERMINALKINDNODE = ITerminalKindNode*;

// A node on a selector input that follows the selection: the selector calls
// SelectionChanging (new, old) and then SetDirection (new) on each of its listeners.
struct IStreamLink : IUnknown {
  STDMETHOD(SelectionChanging)(ULONG NewInput, ULONG OldInput) = 0;
  STDMETHOD(SetDirection)(ULONG Value) = 0;
  STDMETHOD(SetPinIndex)(ULONG Value) = 0;
};
using PSTREAMLINK = IStreamLink*;

// A selector (multiplexer); inputs are 1-based.
struct ISelectorNode : IUnknown {
  STDMETHOD(GetSelected)(PULONG Input) = 0;
  STDMETHOD(SetSelected)(ULONG Input) = 0;
  STDMETHOD(GetInputCount)(PULONG Count) = 0;
  STDMETHOD(AddInput)(IStreamLink* Listener) = 0;
};
using PSELECTORNODE = ISelectorNode*;

// Engine links a capture or render engine hands itself to while the topology is built.
// No node of this driver answers them.
struct ICaptureSwitchNode : IUnknown {
  STDMETHOD(SetValue)(ULONG Value) = 0;
  STDMETHOD(GetValue)(PULONG Value) = 0;
  STDMETHOD(Reserved1)() = 0;
  STDMETHOD(Reserved2)() = 0;
  STDMETHOD(Reserved3)() = 0;
  STDMETHOD(Reserved4)() = 0;
  STDMETHOD(SetStreamEngine)(IStreamEngine* Engine) = 0;
};
struct ICaptureVendorSwitchNode : ICaptureSwitchNode {};
struct IRenderLink : IUnknown {
  STDMETHOD(SetRenderLink)(ULONG Value) = 0;
};

}  // namespace adapter
