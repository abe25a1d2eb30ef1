// The Audio Streaming builder: the parts every class version shares, and the UAC 1.0
// reading of AS_GENERAL and the format-type descriptors.
#include <utility>

#include "adapter/audio_class.h"
#include "adapter/object_model.h"
#include "adapter/ref_list.h"
#include "uac/path_nodes.h"
#include "uac/software_nodes.h"
#include "uac/stream_engine_factory.h"
#include "uac/uac1_function.h"
#include "stream_builder.h"
#include "uac/unit_interfaces.h"
#include "usb/usbdlib.h"

namespace uac {
namespace {

using adapter::AS_FORMAT_TYPE;
using adapter::AS_GENERAL;
using adapter::FORMAT_TYPE_I;
using adapter::FORMAT_TYPE_III;
constexpr UCHAR kInterfaceType = USB_INTERFACE_DESCRIPTOR_TYPE;
constexpr UCHAR kEndpointType = USB_ENDPOINT_DESCRIPTOR_TYPE;
constexpr UCHAR kCsInterface = adapter::kAcDescriptorType;
constexpr UCHAR kCsEndpoint = adapter::kCsEndpointDescriptorType;

// Shortest readable forms: AS_GENERAL up to wFormatTag; a Type I or III format-type
// descriptor up to bSamFreqType, then 3 bytes per discrete rate or 6 for a range.
constexpr ULONG kAsGeneralLength = 7;
constexpr ULONG kFormatTypeLength = 8;

// Continuous ranges are announced as the standard rates they cover.
constexpr ULONG kStandardRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000};
constexpr ULONG kStandardRateCount = sizeof kStandardRates / sizeof kStandardRates[0];


// Extensible-format sub-types of the Type III (IEC 61937) alternate settings: the first
// field of the PCM sub-type GUID replaced.
constexpr ULONG kSubFormatAc3Spdif = 0x0092;
constexpr ULONG kSubFormatWmaPro = 0x0164;
constexpr USHORT kType3FormatTags = 0x2001;

constexpr ULONG kVistaDdiVersion = 0x06000000;


ULONG ChannelMask(ULONG channels, ULONG direction) {
  switch (channels) {
    case 1: return 0x4;
    case 2: return 0x3;
    case 4: return direction == adapter::STREAM_DIRECTION_RENDER ? 0x33 : 0;
    case 6: return direction == adapter::STREAM_DIRECTION_RENDER ? 0x3F : 0;
    case 8: return direction == adapter::STREAM_DIRECTION_RENDER ? 0x63F : 0;
    default: return 0;
  }
}

ULONG Read24(const UCHAR* p) { return p[0] | ULONG{p[1]} << 8 | ULONG{p[2]} << 16; }

// A queue of node identifiers on a fixed ring.
class IdRing {
 public:
  explicit IdRing(ULONG first) { Push(first); }
  bool Empty() const { return m_nQueued == 0; }
  ULONG Pop() {
    const ULONG id = m_Ids[m_nHead];
    m_nHead = (m_nHead + 1) % kPathRing;
    --m_nQueued;
    return id;
  }
  // All or none of the identifiers; false when they do not fit.
  bool PushAll(ULONG count, const ULONG* ids) {
    if (count > kPathRing - m_nQueued) return false;
    for (ULONG i = 0; i < count; ++i) Push(ids[i]);
    return true;
  }

 private:
  void Push(ULONG id) {
    m_Ids[(m_nHead + m_nQueued) % kPathRing] = id;
    ++m_nQueued;
  }
  ULONG m_Ids[kPathRing] = {};
  ULONG m_nHead = 0;
  ULONG m_nQueued = 0;
};

// The path's node of the identifier, or null.
adapter::IUacEntity* PathNode(adapter::CStreamEngine* engine, ULONG id) {
  const ULONG count = engine->GetNodeCount();
  for (ULONG i = 0; i < count; ++i) {
    adapter::IUacEntity* node = nullptr;
    if (NT_SUCCESS(engine->GetNode(i, &node)) && node && node->GetId() == id) return node;
  }
  return nullptr;
}

bool PathHolds(adapter::CStreamEngine* engine, ULONG id) { return PathNode(engine, id) != nullptr; }

}  // namespace

NTSTATUS StreamBuilder::Fail(ULONG configOffset, const UCHAR* d, UCHAR id, NTSTATUS status, const char* reason) {
  // The subtype byte only when the descriptor holds one; a descriptor whose length is
  // itself at fault comes as null.
  const UCHAR subtype = d && d[0] >= 3 ? d[2] : 0;
  if (controlOffset >= 0 && configOffset >= static_cast<ULONG>(controlOffset))
    fault = {configOffset - static_cast<ULONG>(controlOffset), subtype, id, reason};
  DbgPrint("BuildFilters descriptor at offset %u refused: %s\n", configOffset, reason);
  return status;
}

NTSTATUS StreamBuilder::FindTerminal(const UCHAR* general, ULONG at, adapter::IUacEntity** terminal, bool* render,
                                     PULONG terminalNode) {
  const UCHAR link = general[3];
  NTSTATUS status = f_.FindEntityById(link, terminal);
  if (!NT_SUCCESS(status))
    return Fail(at, general, link, status, "the streaming interface links to a terminal this function does not have");
  if ((*terminal)->GetType() == AC_INPUT_TERMINAL) {
    *render = true;
  } else if ((*terminal)->GetType() == AC_OUTPUT_TERMINAL) {
    *render = false;
  } else {
    return Fail(at, general, link, STATUS_INVALID_PARAMETER, "the streaming interface links to a unit, not a terminal");
  }
  adapter::ScopedRelease<IUacUnit> unit;
  status = (*terminal)->QueryInterface(IID_IUacUnit, unit.out());
  if (NT_SUCCESS(status)) status = unit.p->GetOutputNodeId(terminalNode);
  return status;
}

NTSTATUS StreamBuilder::AddEngine(const UCHAR* general, ULONG at, adapter::CStreamEngine* engine, ULONG terminalNode) {
  NTSTATUS status = f_.AddStreamEngine(engine);
  if (NT_SUCCESS(status)) status = LinkEngineToTerminal(engine, terminalNode);
  if (!NT_SUCCESS(status) && status == STATUS_INVALID_PARAMETER)
    Fail(at, general, general[3], status, "no user-facing output terminal leads to the streaming terminal");
  // The function's engine list holds the engine from here on.
  static_cast<adapter::IStreamEngine*>(engine)->Release();
  return status;
}

NTSTATUS StreamBuilder::OnGeneral(const UCHAR* d, ULONG at, UCHAR interfaceNumber, adapter::CStreamEngine** engine) {
  if (d[0] < kAsGeneralLength) return Fail(at, d, 0, STATUS_INVALID_PARAMETER, "AS_GENERAL shorter than 7 bytes");
  if (!*engine) {
    adapter::IUacEntity* terminal = nullptr;
    bool render = false;
    ULONG terminalNode = 0;
    NTSTATUS status = FindTerminal(d, at, &terminal, &render, &terminalNode);
    if (!NT_SUCCESS(status)) return status;
    if (!factory_) return Fail(at, d, d[3], STATUS_NOT_SUPPORTED, "no stream engine factory is registered");
    status = factory_->Create(EngineClass(render), tag_,
                              interfaceNumber, terminalNode, static_cast<adapter::IAudioHal*>(&f_), engine);
    if (!NT_SUCCESS(status)) return status;
    status = AddEngine(d, at, *engine, terminalNode);
    if (!NT_SUCCESS(status)) return status;
  }
  formatTag_ = static_cast<USHORT>(d[5] | d[6] << 8);
  return STATUS_SUCCESS;
}

NTSTATUS StreamBuilder::OnFormatType(const UCHAR* d, ULONG at, UCHAR interfaceNumber, UCHAR alternate,
                                     adapter::CStreamEngine* engine) {
  if (!engine || d[0] < 4 || (d[3] != FORMAT_TYPE_I && d[3] != FORMAT_TYPE_III))
    return Fail(at, d, 0, STATUS_INVALID_PARAMETER,
                engine ? "format type other than I or III (Type II and unknown types are not supported)"
                       : "format-type descriptor before the interface's AS_GENERAL");
  if (d[0] < kFormatTypeLength || d[0] < kFormatTypeLength + (d[7] ? 3u * d[7] : 6u))
    return Fail(at, d, 0, STATUS_INVALID_PARAMETER, "format-type descriptor shorter than its rates");
  const ULONG channels = d[4], subframe = d[5], resolution = d[6];
  if (channels == 0 || subframe == 0 || resolution > 8 * subframe) {
    // Such a format has no frame size to stream with: the alternate setting is left out.
    DbgPrint("BuildFilters alternate setting %u of interface %u skipped: %u channels, subframe %u, resolution %u\n",
             alternate, interfaceNumber, channels, subframe, resolution);
    return STATUS_SUCCESS;
  }
  const ULONG direction = engine->GetDirection();
  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = static_cast<WORD>(channels);
  format.Format.wBitsPerSample = static_cast<WORD>(8 * subframe);
  format.Format.nBlockAlign = static_cast<WORD>(channels * subframe);
  format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  format.Samples.wValidBitsPerSample = static_cast<WORD>(resolution);
  format.dwChannelMask = ChannelMask(channels, direction);
  format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  ShapeFormat(&format, direction);
  NTSTATUS status = AddUac1Formats(engine, d, formatTag_, alternate, format);
  if (NT_SUCCESS(status) && direction == adapter::STREAM_DIRECTION_CAPTURE && channels < 4) {
    format.dwChannelMask = 0;
    status = AddUac1Formats(engine, d, formatTag_, alternate, format);
  }
  if (status == STATUS_INVALID_PARAMETER) Fail(at, d, 0, status, "continuous rate range starting above 96000 Hz");
  return status;
}

NTSTATUS StreamBuilder::BuildInterface(const UCHAR* config, ULONG total, ULONG* offset) {
  const UCHAR interfaceNumber = config[*offset + 2];
  UCHAR alternate = config[*offset + 3];
  adapter::CStreamEngine* engine = nullptr;
  ULONG at = *offset + config[*offset];
  NTSTATUS status = STATUS_SUCCESS;
  while (at < total) {
    const UCHAR* d = config + at;
    const ULONG left = total - at;
    // A descriptor shorter than its own header would never end the walk.
    if (left < 2 || d[0] > left || d[0] < 2) {
      *offset = total;
      return Fail(at, nullptr, 0, STATUS_UNSUCCESSFUL, "descriptor length runs past the configuration");
    }
    const UCHAR type = d[1];
    if (type != kInterfaceType && type != kEndpointType && type != kCsInterface && type != kCsEndpoint) break;
    if (type == kInterfaceType) {
      if (d[0] < sizeof(USB_INTERFACE_DESCRIPTOR) || d[2] != interfaceNumber) break;
      alternate = d[3];
    } else if (type == kCsInterface && d[0] >= 3 && d[2] == AS_GENERAL) {
      status = OnGeneral(d, at, interfaceNumber, &engine);
    } else if (type == kCsInterface && d[0] >= 3 && d[2] == AS_FORMAT_TYPE) {
      status = OnFormatType(d, at, interfaceNumber, alternate, engine);
    }
    if (!NT_SUCCESS(status)) {
      *offset = at;
      return status;
    }
    at += d[0];
  }
  *offset = at;
  if (!engine) return STATUS_SUCCESS;
  status = AddEngineSoftwareNodes(engine);
  if (NT_SUCCESS(status)) status = engine->AllocStreamBuffers();
  return status;
}

NTSTATUS StreamBuilder::AddUac1Formats(adapter::CStreamEngine* engine, const UCHAR* d, USHORT formatTag,
                                       UCHAR alternate, const WAVEFORMATEXTENSIBLE& format) {
  const ULONG discrete = d[7];
  ULONG first = 0, count = 0;
  if (!discrete) {
    const ULONG lower = Read24(d + 8), upper = Read24(d + 11);
    ULONG i = 0, j = 0;
    while (i < kStandardRateCount && kStandardRates[i] < lower) ++i;
    while (j < kStandardRateCount && kStandardRates[j] < upper) ++j;
    if (i == kStandardRateCount) return STATUS_INVALID_PARAMETER;
    // A range reaching above the table keeps every rate of the table it covers.
    if (j == kStandardRateCount) j = kStandardRateCount - 1;
    if (j < i) std::swap(i, j);
    first = i;
    count = j - i + 1;
  } else {
    count = discrete;
  }
  auto* rates = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), tag_));
  if (!rates) return STATUS_INSUFFICIENT_RESOURCES;
  for (ULONG k = 0; k < count; ++k) rates[k] = discrete ? Read24(d + 8 + 3 * k) : kStandardRates[first + k];

  NTSTATUS status = STATUS_SUCCESS;
  WAVEFORMATEXTENSIBLE f = format;
  for (ULONG k = 0; k < count && NT_SUCCESS(status); ++k) {
    const ULONGLONG bytesPerSecond = ULONGLONG{f.Format.nBlockAlign} * rates[k];
    // A rate of 0 (or one whose byte rate does not fit) cannot be streamed: left out.
    if (rates[k] == 0 || bytesPerSecond > 0xFFFFFFFFull) continue;
    f.Format.nSamplesPerSec = rates[k];
    f.Format.nAvgBytesPerSec = static_cast<ULONG>(bytesPerSecond);
    if (d[3] == FORMAT_TYPE_I) {
      status = factory_->AddStreamFormat(engine, &f, alternate);
    } else if (formatTag & kType3FormatTags) {
      f.SubFormat.Data1 = kSubFormatAc3Spdif;
      status = factory_->AddStreamFormat(engine, &f, alternate);
      f.SubFormat.Data1 = kSubFormatWmaPro;
      if (NT_SUCCESS(status)) status = factory_->AddStreamFormat(engine, &f, alternate);
      f.SubFormat.Data1 = format.SubFormat.Data1;
    }
  }
  ExFreePoolWithTag(rates, tag_);
  return status;
}

NTSTATUS StreamBuilder::LinkEngineToTerminal(adapter::CStreamEngine* engine, ULONG terminalNode) {
  if (engine->GetDirection() == adapter::STREAM_DIRECTION_CAPTURE) return CollectEnginePathNodes(engine, terminalNode);

  // Render: the output terminals that face the user, in entity order.
  ULONG candidates[kMaxCandidates];
  ULONG found = 0;
  const ULONG entities = f_.GetEntityCount();
  for (ULONG i = 0; i < entities && found < kMaxCandidates; ++i) {
    adapter::IUacEntity* e = nullptr;
    if (!NT_SUCCESS(f_.GetEntity(i, &e)) || e->GetType() != adapter::NODE_OUTPUT_TERMINAL) continue;
    adapter::ScopedRelease<adapter::ITerminalNode> terminal;
    ULONG kind = 0;
    if (NT_SUCCESS(e->QueryInterface(adapter::IID_ITerminalNode, terminal.out())) &&
        NT_SUCCESS(terminal.p->GetKind(&kind)) && kind != 0)
      candidates[found++] = e->GetId();
  }
  if (!found) return STATUS_INVALID_PARAMETER;

  bool reached = false;
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG c = 0; c < found && NT_SUCCESS(status); ++c) {
    // Breadth-first upstream from the candidate to the streaming terminal.
    IdRing ring(candidates[c]);
    bool hit = false;
    while (!ring.Empty()) {
      const ULONG id = ring.Pop();
      if (id == terminalNode) {
        hit = true;
        break;
      }
      adapter::IUacEntity* node = nullptr;
      if (!NT_SUCCESS(f_.adapter::CAudioHal::FindEntityById(id, &node))) break;
      ULONG count = 0;
      const ULONG* sources = nullptr;
      if (NT_SUCCESS(node->GetSources(&count, &sources)) && count && sources && !ring.PushAll(count, sources)) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
    }
    if (hit && NT_SUCCESS(status)) {
      reached = true;
      status = CollectEnginePathNodes(engine, candidates[c]);
    }
  }
  if (!reached || !NT_SUCCESS(status)) return STATUS_INVALID_PARAMETER;
  return AddTerminalKindNodes(engine);
}

// A terminal of several kinds hangs its terminal-kind node from its first output-terminal
// node, beside the signal path: the upstream walk never meets it, and each of the
// terminal's nodes stands for one fixed kind. The render path takes the kind node of
// every output terminal on it, so that the endpoint's type (and with it its name and
// format list) is the kind the terminal has now, and a kind switch finds the engines to
// rename.
NTSTATUS StreamBuilder::AddTerminalKindNodes(adapter::CStreamEngine* engine) {
  const ULONG entities = f_.GetEntityCount();
  for (ULONG i = 0; i < entities; ++i) {
    adapter::IUacEntity* e = nullptr;
    if (!NT_SUCCESS(f_.GetEntity(i, &e)) || !e || e->GetType() != adapter::NODE_TERMINAL_KIND) continue;
    ULONG count = 0;
    const ULONG* sources = nullptr;
    if (!NT_SUCCESS(e->GetSources(&count, &sources)) || !count || !sources) continue;
    adapter::IUacEntity* terminal = PathNode(engine, sources[0]);
    if (!terminal || terminal->GetType() != adapter::NODE_OUTPUT_TERMINAL) continue;
    const NTSTATUS status = engine->AddNode(e);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS StreamBuilder::CollectEnginePathNodes(adapter::CStreamEngine* engine, ULONG start) {
  IdRing ring(start);
  while (!ring.Empty()) {
    const ULONG id = ring.Pop();
    if (PathHolds(engine, id)) continue;
    adapter::IUacEntity* node = nullptr;
    NTSTATUS status = f_.adapter::CAudioHal::FindEntityById(id, &node);
    if (!NT_SUCCESS(status)) return status;
    // The engine files a node that processes buffers in its processing list as well.
    status = engine->AddNode(node);
    if (!NT_SUCCESS(status)) return status;
    if (node->GetType() == adapter::NODE_MIXER) continue;  // a path ends at a mixer
    ULONG count = 0;
    const ULONG* sources = nullptr;
    if (NT_SUCCESS(node->GetSources(&count, &sources)) && count && sources && !ring.PushAll(count, sources))
      return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS StreamBuilder::AddEngineSoftwareNodes(adapter::CStreamEngine* engine) {
  const ULONG pathCount = engine->GetNodeCount();
  if (pathCount == 2) return AddEnginePathNodes(engine);
  if (engine->GetDirection() != adapter::STREAM_DIRECTION_CAPTURE) return STATUS_SUCCESS;
  if (mixerTerminalMode_) {
    // A mixer on a capture path stands as its source terminal ("StereoMix").
    for (ULONG i = 0; i < pathCount; ++i) {
      adapter::IUacEntity* node = nullptr;
      if (!NT_SUCCESS(engine->GetNode(i, &node)) || node->GetType() != adapter::NODE_MIXER) continue;
      adapter::ScopedRelease<IMixerNode> mixer;
      if (NT_SUCCESS(node->QueryInterface(IID_IMixerNode, mixer.out()))) mixer.p->SetTerminalMode(1);
    }
  }

  ULONG terminals = 0;
  bool selector = false;
  adapter::IUacEntity* output = nullptr;
  for (ULONG i = 0; i < pathCount; ++i) {
    adapter::IUacEntity* node = nullptr;
    if (!NT_SUCCESS(engine->GetNode(i, &node))) continue;
    const ULONG type = node->GetType();
    if (type == adapter::NODE_INPUT_TERMINAL || type == adapter::NODE_OUTPUT_TERMINAL) ++terminals;
    if (type == adapter::NODE_OUTPUT_TERMINAL && !output) output = node;
    if (type == adapter::NODE_SELECTOR) selector = true;
  }
  if (selector || terminals != 2 || !output) return STATUS_SUCCESS;
  if (RtlIsNtDdiVersionAvailable(kVistaDdiVersion)) return STATUS_SUCCESS;

  // Before Vista a capture endpoint needs a selector in front of its terminal.
  ULONG count = 0;
  const ULONG* sources = nullptr;
  if (!NT_SUCCESS(output->GetSources(&count, &sources)) || !count || !sources) return STATUS_SUCCESS;
  const ULONG id = f_.GetEntityCount();
  NTSTATUS status = AddSelectorNode(id, 1, sources, engine);
  if (!NT_SUCCESS(status)) return status;
  adapter::IUacEntity* first = nullptr;
  if (NT_SUCCESS(engine->GetNode(0, &first))) FeedOutputTerminalUnit(first->GetId(), id);
  return STATUS_SUCCESS;
}

NTSTATUS StreamBuilder::AddEnginePathNodes(adapter::CStreamEngine* engine) {
  adapter::IUacEntity* input = nullptr;
  adapter::IUacEntity* output = nullptr;
  for (ULONG i = 0; i < 2; ++i) {
    adapter::IUacEntity* node = nullptr;
    if (!NT_SUCCESS(engine->GetNode(i, &node))) continue;
    if (node->GetType() == adapter::NODE_INPUT_TERMINAL && !input) input = node;
    if (node->GetType() == adapter::NODE_OUTPUT_TERMINAL && !output) output = node;
  }
  // Two nodes that are not one terminal of each kind have no place for a mute.
  if (!input || !output) return STATUS_SUCCESS;
  ULONG last = f_.GetEntityCount();
  NTSTATUS status = AddDspNode(last, input->GetId(), 1, engine);
  if (!NT_SUCCESS(status)) return status;
  if (engine->GetDirection() == adapter::STREAM_DIRECTION_CAPTURE && !RtlIsNtDdiVersionAvailable(kVistaDdiVersion)) {
    const ULONG mute = last;
    status = AddSelectorNode(last + 1, 1, &mute, engine);
    if (!NT_SUCCESS(status)) return status;
    ++last;
  }
  FeedOutputTerminalUnit(output->GetId(), last);
  return STATUS_SUCCESS;
}

// Gives the output terminal unit whose output node is `outputNode` the one source.
void StreamBuilder::FeedOutputTerminalUnit(ULONG outputNode, ULONG source) {
  const ULONG units = f_.GetUnitCount();
  for (ULONG i = 0; i < units; ++i) {
    adapter::IUacEntity* e = nullptr;
    if (!NT_SUCCESS(f_.GetUnit(i, &e)) || e->GetType() != AC_OUTPUT_TERMINAL) continue;
    adapter::ScopedRelease<IUacUnit> unit;
    ULONG node = 0;
    if (NT_SUCCESS(e->QueryInterface(IID_IUacUnit, unit.out())) && NT_SUCCESS(unit.p->GetOutputNodeId(&node)) &&
        node == outputNode) {
      unit.p->SetInputSources(1, &source);
      return;
    }
  }
}

NTSTATUS StreamBuilder::AddDspNode(ULONG id, ULONG source, ULONG channels, adapter::CStreamEngine* engine) {
  adapter::IUacEntity* node = nullptr;
  NTSTATUS status = CreateSoftwareMuteNode(&node, id, tag_);
  if (!NT_SUCCESS(status)) return STATUS_INSUFFICIENT_RESOURCES;
  {
    adapter::ScopedRelease<IBoolControl> control;
    status = node->QueryInterface(IID_IBoolControl, control.out());
    if (NT_SUCCESS(status)) status = control.p->InitChannels(source, channels);
  }
  if (NT_SUCCESS(status)) status = f_.adapter::CAudioHal::AddEntity(node);
  // On the path once; the engine files it among its processing nodes as it adds it.
  if (NT_SUCCESS(status)) status = engine->AddNode(node);
  node->Release();
  return status;
}

NTSTATUS StreamBuilder::AddSelectorNode(ULONG id, ULONG count, const ULONG* sources,
                                            adapter::CStreamEngine* engine) {
  adapter::IUacEntity* node = nullptr;
  NTSTATUS status =
      adapter::CreateInstance<CSelectorNode, adapter::IUacEntity>(&node, nullptr, NonPagedPool, tag_, id);
  if (!NT_SUCCESS(status)) return STATUS_INSUFFICIENT_RESOURCES;
  status = static_cast<CSelectorNode*>(node)->InitInputs(count, sources);
  if (NT_SUCCESS(status)) status = f_.adapter::CAudioHal::AddEntity(node);
  if (NT_SUCCESS(status)) status = engine->AddNode(node);
  node->Release();
  return status;
}

// Tells the nodes behind each terminal-kind node which endpoint type they serve.
NTSTATUS StreamBuilder::EndpointTypes() {
  const ULONG entities = f_.GetEntityCount();
  for (ULONG i = 0; i < entities; ++i) {
    adapter::IUacEntity* e = nullptr;
    if (!NT_SUCCESS(f_.GetEntity(i, &e)) || e->GetType() != adapter::NODE_TERMINAL_KIND) continue;
    ULONG count = 0;
    const ULONG* sources = nullptr;
    if (!NT_SUCCESS(e->GetSources(&count, &sources)) || !count || !sources) continue;
    adapter::ScopedRelease<adapter::ITerminalKindNode> kindNode;
    ULONG kind = 0;
    if (!NT_SUCCESS(e->QueryInterface(adapter::IID_ITerminalKindNode, kindNode.out())) ||
        !NT_SUCCESS(kindNode.p->GetKind(&kind)))
      continue;
    ULONG id = sources[0];
    // The graph is free of cycles, so the walk ends; the bound guards a broken model.
    for (ULONG depth = 0; depth < adapter::kMaxGraphDepth; ++depth) {
      adapter::IUacEntity* node = nullptr;
      if (!NT_SUCCESS(f_.adapter::CAudioHal::FindEntityById(id, &node))) break;
      ULONG n = 0;
      const ULONG* upstream = nullptr;
      if (!NT_SUCCESS(node->GetSources(&n, &upstream)) || n != 1 || !upstream) break;
      adapter::ScopedRelease<adapter::INodeEndpoint> endpoint;
      if (NT_SUCCESS(node->QueryInterface(adapter::IID_INodeEndpoint, endpoint.out()))) {
        endpoint.p->SetEndpointType(kind, nullptr);
        kindNode.p->AddKindListener(endpoint.p);
      }
      id = upstream[0];
    }
  }
  return STATUS_SUCCESS;
}

namespace {

// The streaming interfaces that belong to the function: a UAC 1.0 Audio Control header
// lists their numbers; a UAC 2.0 function is the range of its interface association.
struct OwnInterfaces {
  bool Known = false;  // false: every interface counts as the function's own
  const UCHAR* List = nullptr;
  ULONG Count = 0;
  ULONG First = 0;  // UAC 2.0: First to First + Count - 1
  bool Range = false;

  bool Holds(UCHAR number) const {
    if (!Known) return true;
    if (Range) return number >= First && number < First + Count;
    for (ULONG i = 0; i < Count; ++i)
      if (List[i] == number) return true;
    return false;
  }
};

constexpr UCHAR kInterfaceAssociationType = 0x0B;

OwnInterfaces FunctionInterfaces(const UCHAR* config, ULONG total, UCHAR protocol, UCHAR controlInterface,
                                 LONG* controlOffset) {
  OwnInterfaces own;
  for (ULONG at = 0; at + 2 <= total && config[at] >= 2 && config[at] <= total - at; at += config[at]) {
    const UCHAR* d = config + at;
    if (protocol == kProtocolUac2 && d[1] == kInterfaceAssociationType && d[0] >= 8 && d[2] <= controlInterface &&
        controlInterface < d[2] + d[3]) {
      own.Known = own.Range = true;
      own.First = d[2];
      own.Count = d[3];
    }
    if (d[1] != kInterfaceType || d[0] < sizeof(USB_INTERFACE_DESCRIPTOR) || d[2] != controlInterface ||
        d[5] != kAudioClass || d[6] != kAudioControlSubclass)
      continue;
    *controlOffset = static_cast<LONG>(at);
    if (protocol == kProtocolUac2) return own;  // its header lists no interfaces
    const ULONG header = at + d[0];
    if (header + 8 > total || config[header] < 8 || config[header] > total - header || config[header + 1] != kCsInterface ||
        config[header + 2] != AC_HEADER)
      return own;
    const ULONG listed = config[header + 7];
    own.Known = true;
    own.List = config + header + 8;
    own.Count = listed <= config[header] - 8u ? listed : config[header] - 8u;
    return own;
  }
  return own;
}

}  // namespace

NTSTATUS BuildStreamInterfaces(StreamBuilder& builder, PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                               PUSB_INTERFACE_DESCRIPTOR FirstInterface, ULONG Bytes, UCHAR Protocol,
                               UCHAR ControlInterface, DescriptorFault* Fault) {
  if (!Configuration || !FirstInterface || Bytes < sizeof(USB_INTERFACE_DESCRIPTOR) ||
      FirstInterface->bInterfaceClass != kAudioClass || FirstInterface->bInterfaceSubClass != kAudioStreamingSubclass ||
      FirstInterface->bInterfaceProtocol != Protocol)
    return STATUS_INVALID_PARAMETER;
  const auto* config = reinterpret_cast<const UCHAR*>(Configuration);
  const auto* first = reinterpret_cast<const UCHAR*>(FirstInterface);
  if (first < config) return STATUS_INVALID_PARAMETER;
  const ULONG total = static_cast<ULONG>(first - config) + Bytes;

  // Only the function's own streaming interfaces: on a device with two audio functions the
  // other function's interfaces link to terminals this one does not have.
  const OwnInterfaces own = FunctionInterfaces(config, total, Protocol, ControlInterface, &builder.controlOffset);

  NTSTATUS status = STATUS_SUCCESS;
  ULONG offset = static_cast<ULONG>(first - config);
  // Interface descriptors found by the parser are whole; the check keeps a broken one from
  // stalling the walk.
  while (offset + sizeof(USB_INTERFACE_DESCRIPTOR) <= total && config[offset] >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
    const UCHAR number = config[offset + 2];
    if (own.Holds(number)) {
      status = builder.BuildInterface(config, total, &offset);
      if (!NT_SUCCESS(status)) {
        if (builder.fault.Reason && Fault) *Fault = builder.fault;
        return status;
      }
    } else {
      DbgPrint("BuildFilters interface %u belongs to another function\n", number);
      offset += config[offset];
    }
    if (offset >= total) break;
    PUSB_INTERFACE_DESCRIPTOR next = USBD_ParseConfigurationDescriptorEx(
        Configuration, const_cast<UCHAR*>(config + offset), -1, -1, kAudioClass, kAudioStreamingSubclass, -1);
    if (!next) break;
    offset = static_cast<ULONG>(reinterpret_cast<const UCHAR*>(next) - config);
  }
  return builder.EndpointTypes();
}

STDMETHODIMP CUac1Function::BuildFilters(PUSB_CONFIGURATION_DESCRIPTOR Configuration,
                                         PUSB_INTERFACE_DESCRIPTOR FirstInterface, ULONG Bytes) {
  StreamBuilder builder(*this, GetStreamEngineFactory(), kUac1FunctionTag);
  return BuildStreamInterfaces(builder, Configuration, FirstInterface, Bytes, kProtocolUac1, m_nControlInterface,
                               &m_Fault);
}

}  // namespace uac
