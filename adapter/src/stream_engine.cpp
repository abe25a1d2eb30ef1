#include "adapter/stream_engine.h"

#include "adapter/dsp_node.h"
#include "adapter/endpoint_type.h"
#include "adapter/node_interfaces.h"
#include "adapter/object_model.h"
#include "named_callback.h"

namespace adapter {
namespace {

// Jack records read per terminal when deciding whether an endpoint is connected; no
// terminal has more, and the bound keeps count x 36 small.
constexpr ULONG kMaxJackRecords = 256;

// Releases an interface obtained by query when it goes out of scope.
template <class Interface>
struct Queried {
  Interface* itf = nullptr;
  ~Queried() {
    if (itf) itf->Release();
  }
  PVOID* out() { return reinterpret_cast<PVOID*>(&itf); }
};

void FreeFormatList(CPtrList*& list) {
  if (!list) return;
  PVOID entry = nullptr;
  while (list->RemoveHead(&entry)) ExFreePoolWithTag(entry, kStreamEnginePoolTag);
  delete list;
  list = nullptr;
}

void ReleaseList(CPtrList*& list) {
  if (!list) return;
  PVOID entry = nullptr;
  while (list->RemoveHead(&entry)) static_cast<PUNKNOWN>(entry)->Release();
  delete list;
  list = nullptr;
}

// Whether the list holds a PCM format (the wave filter's ranges need one).
bool HoldsPcmFormat(CPtrList* list) {
  if (!list) return false;
  POSITION position = list->GetHeadPosition();
  PVOID data = nullptr;
  while (list->GetNext(&position, &data))
    if (IsEqualGUID(static_cast<const WAVEFORMATEXTENSIBLE*>(data)->SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) return true;
  return false;
}

// Client records belong to the engine that registered them, not to the lists: the lists
// only unlink them.
void UnlinkList(CClientList*& list) {
  if (!list) return;
  PVOID entry = nullptr;
  while (list->RemoveHead(&entry)) {
  }
  delete list;
  list = nullptr;
}

// A list of the engine's own, made with its pool tag; false without memory.
template <class List>
bool MakeList(List*& list) {
  list = new (NonPagedPool, kStreamEnginePoolTag) List;
  return list != nullptr;
}

// Deletes a list by its own type, so a reference list releases what it holds.
template <class List>
void DeleteList(List*& list) {
  delete list;
  list = nullptr;
}

}  // namespace

CStreamEngine::CStreamEngine(PUNKNOWN outerUnknown, ULONG engineId)
    : CUnknown(outerUnknown),
      m_nEngineId(engineId),
      m_nDirection(0),
      m_pName(nullptr),
      m_pWavePort(nullptr),
      m_MiniportClassId{},
      m_pfnMiniportFactory(nullptr),
      m_pTopologyPort(nullptr),
      m_pTopologyPinMap(nullptr),
      m_nTopologyPin(0),
      m_pDspNodeList(nullptr),
      m_pPathList(nullptr),
      m_pFormatList(nullptr),
      m_pRegisteredList(nullptr),
      m_pPreparedList(nullptr),
      m_pRunningList(nullptr),
      m_pFirstEffectList(nullptr),
      m_pSecondEffectList(nullptr),
      m_pStereoFormatList(nullptr),
      m_pFloatScratch(nullptr),
      m_ppChannelBuffers(nullptr),
      m_StreamState(0),
      m_ListLock(0),
      m_pCallbackObject(nullptr),
      m_CurrentWaveFormat{},
      m_nNamedKindSwitch(0) {}

CStreamEngine::~CStreamEngine() {
  DeleteList(m_pDspNodeList);
  if (m_ppChannelBuffers) {
    for (ULONG i = 0; i < kStreamChannelBuffers; ++i) {
      if (m_ppChannelBuffers[i]) ExFreePoolWithTag(m_ppChannelBuffers[i], kStreamEnginePoolTag);
    }
    ExFreePoolWithTag(m_ppChannelBuffers, kStreamEnginePoolTag);
  }
  if (m_pFloatScratch) ExFreePoolWithTag(m_pFloatScratch, kStreamEnginePoolTag);
  ReleaseList(m_pPathList);
  FreeFormatList(m_pFormatList);
  FreeFormatList(m_pStereoFormatList);
  // Clients detach on their own threads; the engine goes only once none is left.
  while ((m_pPreparedList && !m_pPreparedList->IsEmpty()) || (m_pRunningList && !m_pRunningList->IsEmpty())) {
    LARGE_INTEGER delay;
    delay.QuadPart = -50 * 10000LL;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  }
  UnlinkList(m_pRegisteredList);
  UnlinkList(m_pPreparedList);
  UnlinkList(m_pRunningList);
  DeleteList(m_pFirstEffectList);
  DeleteList(m_pSecondEffectList);
  if (m_pName) ExFreePoolWithTag(m_pName, kStreamEnginePoolTag);
  if (m_pCallbackObject) ObDereferenceObject(m_pCallbackObject);
  if (m_pWavePort) m_pWavePort->Release();
  if (m_pTopologyPinMap) m_pTopologyPinMap->Release();
  if (m_pTopologyPort) m_pTopologyPort->Release();
}

STDMETHODIMP CStreamEngine::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUID(iid, IID_IStreamEngine)) return ReturnInterface<IStreamEngine>(this, object);
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

void CStreamEngine::FreeLists() {
  // Still empty: Init has not handed them out.
  DeleteList(m_pDspNodeList);
  DeleteList(m_pPathList);
  DeleteList(m_pFormatList);
  DeleteList(m_pRegisteredList);
  DeleteList(m_pPreparedList);
  DeleteList(m_pRunningList);
  DeleteList(m_pFirstEffectList);
  DeleteList(m_pSecondEffectList);
  DeleteList(m_pStereoFormatList);
}

STDMETHODIMP CStreamEngine::Init(ULONG Direction) {
  if (Direction != STREAM_DIRECTION_RENDER && Direction != STREAM_DIRECTION_CAPTURE) return STATUS_INVALID_PARAMETER;
  if (m_pPathList) return STATUS_INVALID_DEVICE_STATE;  // initialised once
  m_nDirection = Direction;

  const bool made = MakeList(m_pDspNodeList) && MakeList(m_pPathList) && MakeList(m_pFormatList) &&
                    MakeList(m_pRegisteredList) && MakeList(m_pPreparedList) && MakeList(m_pRunningList) &&
                    MakeList(m_pFirstEffectList) && MakeList(m_pSecondEffectList) &&
                    MakeList(m_pStereoFormatList);
  NTSTATUS status = made ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status)) {
    m_pName = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, kStreamNameBufferBytes, kStreamEnginePoolTag));
    if (m_pName) {
      m_pName[0] = 0;
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  if (NT_SUCCESS(status)) {
    WCHAR callbackName[64];
    status = CreateNamedCallback(u"\\Callback\\StreamEngineAddr%p", this, callbackName, sizeof callbackName,
                                 &m_pCallbackObject);
    if (!NT_SUCCESS(status)) m_pCallbackObject = nullptr;
  }
  if (!NT_SUCCESS(status)) {
    FreeLists();
    if (m_pName) ExFreePoolWithTag(m_pName, kStreamEnginePoolTag);
    m_pName = nullptr;
    return status;
  }
  KeInitializeSpinLock(&m_ListLock);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) CStreamEngine::GetEndpointType() {
  if (!m_pPathList) return ENDPOINT_STREAM;
  POSITION position = m_pPathList->GetHeadPosition();
  PVOID data = nullptr;

  if (m_nDirection == STREAM_DIRECTION_CAPTURE) {
    // The kind of the input terminals feeding the endpoint; several make it a recording
    // mix ("Rec").
    ULONG result = ENDPOINT_STREAM;
    ULONG contributing = 0;
    while (m_pPathList->GetNext(&position, &data)) {
      auto* entity = static_cast<IUacEntity*>(data);
      if (entity->GetType() != NODE_INPUT_TERMINAL) continue;
      Queried<ITerminalNode> terminal;
      if (!NT_SUCCESS(entity->QueryInterface(IID_ITerminalNode, terminal.out()))) continue;
      ULONG kind = 0;
      if (!NT_SUCCESS(terminal.itf->GetKind(&kind)) || kind == 0 || !IsValidEndpointType(kind)) continue;
      if (result == ENDPOINT_STREAM || result == ENDPOINT_SPDIF) result = kind;
      ++contributing;
    }
    return contributing >= 2 ? ENDPOINT_REC : result;
  }

  // Render: a terminal-kind node decides; else the last output terminal.
  ULONG result = ENDPOINT_STREAM;
  while (m_pPathList->GetNext(&position, &data)) {
    auto* entity = static_cast<IUacEntity*>(data);
    ULONG type = entity->GetType();
    ULONG kind = 0;
    if (type == NODE_TERMINAL_KIND) {
      Queried<ITerminalKindNode> kindNode;
      if (NT_SUCCESS(entity->QueryInterface(IID_ITerminalKindNode, kindNode.out())) &&
          NT_SUCCESS(kindNode.itf->GetKind(&kind)))
        return IsValidEndpointType(kind) ? kind : ENDPOINT_STREAM;
    } else if (type == NODE_OUTPUT_TERMINAL) {
      Queried<ITerminalNode> terminal;
      if (NT_SUCCESS(entity->QueryInterface(IID_ITerminalNode, terminal.out())) &&
          NT_SUCCESS(terminal.itf->GetKind(&kind)))
        result = IsValidEndpointType(kind) ? kind : ENDPOINT_STREAM;
    }
  }
  return result;
}

STDMETHODIMP CStreamEngine::SetName(PCWSTR Name) {
  if (!Name) return STATUS_INVALID_PARAMETER;
  if (!m_pName) return STATUS_UNSUCCESSFUL;
  SIZE_T length = 0;
  // At most 100 bytes of name before the terminator.
  while (length <= (kStreamNameBufferBytes - sizeof(WCHAR)) / sizeof(WCHAR) && Name[length]) ++length;
  if (length * sizeof(WCHAR) > kStreamNameBufferBytes - sizeof(WCHAR)) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(m_pName, Name, length * sizeof(WCHAR));
  m_pName[length] = 0;
  return STATUS_SUCCESS;
}

// Exchanged, so that two rename passes after one switch rename the engine once.
STDMETHODIMP_(BOOLEAN) CStreamEngine::TakeKindSwitch(ULONG SwitchCount) {
  const LONG previous = InterlockedExchange(&m_nNamedKindSwitch, static_cast<LONG>(SwitchCount));
  return previous != static_cast<LONG>(SwitchCount);
}

CPtrList* CStreamEngine::FormatListFor() {
  if (m_nDirection != STREAM_DIRECTION_RENDER || !EndpointTypeIn(GetEndpointType(), kStereoOnlyEndpointTypes))
    return m_pFormatList;
  // The wave filter is built from PCM formats and cannot exist without one. An endpoint
  // whose PCM settings all have more than two channels (a four-channel headphone output
  // beside a two-channel raw-data setting, say) would offer none in its two-channel list:
  // it offers all its formats instead, rather than keeping the whole device from starting.
  if (HoldsPcmFormat(m_pFormatList) && !HoldsPcmFormat(m_pStereoFormatList)) return m_pFormatList;
  return m_pStereoFormatList;
}

STDMETHODIMP_(ULONG) CStreamEngine::GetFormatCount() {
  CPtrList* list = FormatListFor();
  return list ? list->GetCount() : 0;
}

STDMETHODIMP CStreamEngine::GetFormat(ULONG Index, PWAVEFORMATEXTENSIBLE Format) {
  CPtrList* list = FormatListFor();
  if (!list) return STATUS_UNSUCCESSFUL;
  PVOID entry = nullptr;
  if (!Format || !list->GetAt(Index, &entry)) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(Format, entry, sizeof(WAVEFORMATEXTENSIBLE));
  return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) CStreamEngine::GetNodeCount() { return m_pPathList ? m_pPathList->GetCount() : 0; }

STDMETHODIMP CStreamEngine::GetNode(ULONG Index, IUacEntity** Node) {
  if (!m_pPathList) return STATUS_UNSUCCESSFUL;
  PVOID entry = nullptr;
  if (!Node || !m_pPathList->GetAt(Index, &entry)) return STATUS_INVALID_PARAMETER;
  *Node = static_cast<IUacEntity*>(entry);
  return STATUS_SUCCESS;
}

STDMETHODIMP CStreamEngine::FindFormat(PWAVEFORMATEX Format) {
  if (!Format) return STATUS_INVALID_PARAMETER;
  if (!m_pFormatList) return STATUS_NO_MATCH;
  const WORD tag = Format->wFormatTag;
  // An extensible format shorter than its 22 extra bytes is no extensible format; one
  // that is long enough is compared over exactly its 40 bytes, whatever cbSize claims.
  if (tag == WAVE_FORMAT_EXTENSIBLE && Format->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX))
    return STATUS_NO_MATCH;

  // Under the list lock: an engine may change its formats while clients look them up.
  NTSTATUS status = STATUS_NO_MATCH;
  const KIRQL irql = LockLists();
  POSITION position = m_pFormatList->GetHeadPosition();
  PVOID data = nullptr;
  while (m_pFormatList->GetNext(&position, &data)) {
    const auto* entry = static_cast<const WAVEFORMATEXTENSIBLE*>(data);
    if (tag == WAVE_FORMAT_EXTENSIBLE) {
      if (RtlCompareMemory(entry, Format, sizeof(WAVEFORMATEXTENSIBLE)) == sizeof(WAVEFORMATEXTENSIBLE)) {
        status = STATUS_SUCCESS;
        break;
      }
      continue;
    }
    if (entry->Format.nChannels == Format->nChannels && entry->Format.nSamplesPerSec == Format->nSamplesPerSec &&
        entry->Format.wBitsPerSample == Format->wBitsPerSample &&
        static_cast<WORD>(entry->SubFormat.Data1) == tag) {
      // The caller's format takes the entry's rates and alignment, keeps its tag and
      // loses any extra bytes.
      RtlCopyMemory(Format, entry, offsetof(WAVEFORMATEX, cbSize));
      Format->wFormatTag = tag;
      Format->cbSize = 0;
      status = STATUS_SUCCESS;
      break;
    }
  }
  UnlockLists(irql);
  return status;
}

STDMETHODIMP CStreamEngine::RegisterCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) {
  if (!m_pCallbackObject || !Registration) return STATUS_UNSUCCESSFUL;
  // A registration without a function would be called through null at the first
  // notification: it is not made.
  *Registration = Callback ? ExRegisterCallback(m_pCallbackObject, Callback, Context) : nullptr;
  return *Registration ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

STDMETHODIMP CStreamEngine::UnregisterCallback(PVOID Registration) {
  // Nothing registered, nothing to undo: unregistering always succeeds.
  if (Registration) ExUnregisterCallback(Registration);
  return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::AddNode(IUacEntity* Entity) {
  if (!Entity) return STATUS_INVALID_PARAMETER;
  if (!m_pPathList) return STATUS_UNSUCCESSFUL;
  const ULONG id = Entity->GetId();
  POSITION position = m_pPathList->GetHeadPosition();
  PVOID data = nullptr;
  while (m_pPathList->GetNext(&position, &data)) {
    if (static_cast<IUacEntity*>(data)->GetId() == id) return STATUS_SUCCESS;
  }
  Entity->AddRef();
  POSITION added = m_pPathList->AddTail(Entity);
  if (!added) {
    Entity->Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Queried<IUnknown> dspNode;
  if (NT_SUCCESS(Entity->QueryInterface(IID_IDspNode, dspNode.out()))) {
    NTSTATUS status = AddDspNode(dspNode.itf);
    if (!NT_SUCCESS(status)) {
      m_pPathList->RemoveAt(added);
      Entity->Release();
      return status;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::AddDspNode(PUNKNOWN Node) {
  if (!Node) return STATUS_INVALID_PARAMETER;
  if (!m_pDspNodeList) return STATUS_UNSUCCESSFUL;
  // The list holds the processing interface itself, whatever interface the caller had.
  ScopedRelease<IDspNode> node;
  if (!NT_SUCCESS(Node->QueryInterface(IID_IDspNode, node.out())) || !node.get()) return STATUS_INVALID_PARAMETER;
  const KIRQL irql = LockLists();
  const bool added = m_pDspNodeList->Add(node.get());
  UnlockLists(irql);
  return added ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS CStreamEngine::AddFormat(const WAVEFORMATEXTENSIBLE* Format) {
  if (!Format) return STATUS_INVALID_PARAMETER;
  if (!m_pFormatList || !m_pStereoFormatList) return STATUS_UNSUCCESSFUL;
  const bool stereo = Format->Format.nChannels == 2;

  auto* copy = static_cast<PWAVEFORMATEXTENSIBLE>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(WAVEFORMATEXTENSIBLE), kStreamEnginePoolTag));
  PWAVEFORMATEXTENSIBLE stereoCopy = nullptr;
  if (copy && stereo) {
    stereoCopy = static_cast<PWAVEFORMATEXTENSIBLE>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(WAVEFORMATEXTENSIBLE), kStreamEnginePoolTag));
  }
  POSITION added = nullptr;
  const KIRQL irql = LockLists();
  if (copy && (!stereo || stereoCopy)) {
    RtlCopyMemory(copy, Format, sizeof(WAVEFORMATEXTENSIBLE));
    added = m_pFormatList->AddTail(copy);
  }
  if (added && stereoCopy) {
    RtlCopyMemory(stereoCopy, Format, sizeof(WAVEFORMATEXTENSIBLE));
    if (!m_pStereoFormatList->AddTail(stereoCopy)) {
      m_pFormatList->RemoveAt(added);
      added = nullptr;
    }
  }
  UnlockLists(irql);
  if (!added) {
    if (copy) ExFreePoolWithTag(copy, kStreamEnginePoolTag);
    if (stereoCopy) ExFreePoolWithTag(stereoCopy, kStreamEnginePoolTag);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::AllocStreamBuffers() {
  if (!m_pFloatScratch) {
    m_pFloatScratch =
        static_cast<float*>(ExAllocatePoolWithTag(NonPagedPool, kStreamScratchBytes, kStreamEnginePoolTag));
    if (m_pFloatScratch) RtlZeroMemory(m_pFloatScratch, kStreamScratchBytes);
  }
  if (!m_ppChannelBuffers) {
    m_ppChannelBuffers = static_cast<float**>(
        ExAllocatePoolWithTag(NonPagedPool, kStreamChannelBuffers * sizeof(float*), kStreamEnginePoolTag));
    if (m_ppChannelBuffers) RtlZeroMemory(m_ppChannelBuffers, kStreamChannelBuffers * sizeof(float*));
  }
  bool complete = m_pFloatScratch && m_ppChannelBuffers;
  if (m_ppChannelBuffers) {
    for (ULONG i = 0; i < kStreamChannelBuffers; ++i) {
      if (!m_ppChannelBuffers[i]) {
        m_ppChannelBuffers[i] = static_cast<float*>(
            ExAllocatePoolWithTag(NonPagedPool, kStreamChannelBufferBytes, kStreamEnginePoolTag));
        if (m_ppChannelBuffers[i]) RtlZeroMemory(m_ppChannelBuffers[i], kStreamChannelBufferBytes);
      }
      complete = complete && m_ppChannelBuffers[i];
    }
  }
  return complete ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

bool CStreamEngine::HasConnectedTerminal() {
  if (!m_pPathList) return false;
  const ULONG terminalType = m_nDirection == STREAM_DIRECTION_RENDER ? NODE_OUTPUT_TERMINAL : NODE_INPUT_TERMINAL;
  POSITION position = m_pPathList->GetHeadPosition();
  PVOID data = nullptr;
  while (m_pPathList->GetNext(&position, &data)) {
    auto* entity = static_cast<IUacEntity*>(data);
    if (entity->GetType() != terminalType) continue;
    Queried<ITerminalNode> terminal;
    if (!NT_SUCCESS(entity->QueryInterface(IID_ITerminalNode, terminal.out()))) continue;
    ULONG kind = 0;
    if (!NT_SUCCESS(terminal.itf->GetKind(&kind)) || kind == 0) continue;
    ULONG jacks = 0;
    if (!NT_SUCCESS(terminal.itf->GetState(&jacks, 0)) || jacks == 0) return true;  // no jacks: always there
    if (jacks > kMaxJackRecords) jacks = kMaxJackRecords;
    const ULONG bytes = jacks * sizeof(JackRecord);
    auto* records = static_cast<PJACKRECORD>(ExAllocatePoolWithTag(PagedPool, bytes, kStreamEnginePoolTag));
    if (!records) return true;  // cannot tell: keep the endpoint
    // Zeroed first: records a failing read leaves alone count as disconnected.
    RtlZeroMemory(records, bytes);
    terminal.itf->GetJackDescriptions(bytes, records, 0);
    bool connected = false;
    for (ULONG i = 0; i < jacks && !connected; ++i) connected = (records[i].IsConnected & 0xFF) != 0;
    ExFreePoolWithTag(records, kStreamEnginePoolTag);
    if (connected) return true;
  }
  return false;
}

}  // namespace adapter
