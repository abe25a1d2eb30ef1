// CStreamEngine: one audio endpoint of the model. It keeps the endpoint's direction, its
// name, the formats it offers (all of them, and the two-channel ones for endpoints that
// show only those), the entities on its signal path and the processing nodes among them,
// the client and effect lists of the streams that attach to it, and the stream buffers
// the processing hooks work in. The USB stream engines derive from it.
#pragma once

#include "adapter/kernel_mutex.h"
#include "adapter/miniport_pin_map.h"
#include "adapter/ptr_list.h"
#include "adapter/ref_list.h"
#include "adapter/stream_client.h"
#include "adapter/uac_entity.h"
#include "kernel/callback.h"
#include "kernel/nt.h"
#include "portcls/ksmedia.h"

namespace adapter {

// {3D64C291-9F42-43E5-A468-2C5DC9BB2353}
KS_DEFINE_GUID(IID_IStreamEngine, 0x3D64C291, 0x9F42, 0x43E5, 0xA4, 0x68, 0x2C, 0x5D, 0xC9, 0xBB, 0x23, 0x53);
// {1EDBBC0C-AA74-4046-911E-C8BDE64A66FF}: the processing interface of nodes that work on
// the stream's buffers.
KS_DEFINE_GUID(IID_IDspNode, 0x1EDBBC0C, 0xAA74, 0x4046, 0x91, 0x1E, 0xC8, 0xBD, 0xE6, 0x4A, 0x66, 0xFF);

inline constexpr ULONG STREAM_DIRECTION_RENDER = 0;
inline constexpr ULONG STREAM_DIRECTION_CAPTURE = 1;

// Pool tag of everything the engine allocates.
inline constexpr ULONG kStreamEnginePoolTag = MakePoolTag('S', 't', 'r', 'e');
// The name buffer: 102 bytes, a name of at most 100 bytes and its terminator.
inline constexpr ULONG kStreamNameBufferBytes = 102;
// Stream buffers of the processing hooks: 512 frames x 8 channels of float, and eight
// planar channels of 512 floats.
inline constexpr ULONG kStreamScratchBytes = 16384;
inline constexpr ULONG kStreamChannelBuffers = 8;
inline constexpr ULONG kStreamChannelBufferBytes = 2048;
// Render endpoint types that offer only their two-channel formats: HP, SPDIF, HeadSet, FHP
// (all their formats when no two-channel one is PCM while another is).
inline constexpr ULONG kStereoOnlyEndpointTypes = 0x2400C;
// Frames per processing chunk: what the stream buffers hold.
inline constexpr ULONG kStreamChunkFrames = kStreamChannelBufferBytes / sizeof(float);

struct IDspNode;

struct IStreamEngine : IUnknown {
  STDMETHOD_(ULONG, GetDirection)() = 0;
  STDMETHOD_(ULONG, GetEndpointType)() = 0;
  STDMETHOD(SetName)(PCWSTR Name) = 0;
  STDMETHOD_(PWSTR, GetName)() = 0;
  STDMETHOD_(ULONG, GetFormatCount)() = 0;
  STDMETHOD(GetFormat)(ULONG Index, PWAVEFORMATEXTENSIBLE Format) = 0;
  STDMETHOD_(ULONG, GetNodeCount)() = 0;
  STDMETHOD(GetNode)(ULONG Index, IUacEntity** Node) = 0;
  STDMETHOD(SetMiniportFactory)(PFNCREATEMINIPORT Factory, REFCLSID ClassId) = 0;
  STDMETHOD(SetTopologyPeer)(PUNKNOWN TopologyPort, PUNKNOWN TopologyMiniport) = 0;
  STDMETHOD(UpdateSubdevice)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN Adapter) = 0;
  STDMETHOD(UnregisterSubdevice)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN Adapter) = 0;
  STDMETHOD(FindFormat)(PWAVEFORMATEX Format) = 0;
  STDMETHOD(RegisterCallback)(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) = 0;
  STDMETHOD(UnregisterCallback)(PVOID Registration) = 0;
  STDMETHOD(SetPowerState)(DEVICE_POWER_STATE State) = 0;
  // The processing hooks of the stream (see CStreamEngine).
  STDMETHOD(ProcessBuffer)(PVOID Buffer, ULONG Bytes) = 0;
  STDMETHOD(ProcessBufferUnlocked)(PVOID Buffer, ULONG Bytes) = 0;
  STDMETHOD(RunDspNodes)(PVOID Buffer, ULONG Frames, ULONG Mode) = 0;
  STDMETHOD(RunEffectNodesInterleaved)(PVOID Buffer, ULONG Bytes) = 0;
  STDMETHOD(RunEffectNodes)(ULONG Frames) = 0;
  STDMETHOD(RunSecondEffectNodesInterleaved)(PVOID Buffer, ULONG Bytes) = 0;
  STDMETHOD(RunSecondEffectNodes)(ULONG Frames) = 0;
  STDMETHOD(Init)(ULONG Direction) = 0;
  // Whether the terminal-kind node on the engine's path switched since the engine was
  // last named: its switch count differs from the one the engine holds. The engine then
  // holds `SwitchCount`, so one switch renames it once.
  STDMETHOD_(BOOLEAN, TakeKindSwitch)(ULONG SwitchCount) = 0;
};
using PSTREAMENGINE = IStreamEngine*;

class CStreamEngine : public IStreamEngine, public CUnknown {
 public:
  CStreamEngine(PUNKNOWN outerUnknown, ULONG engineId);
  // Waits (every 50 ms) until no client is prepared or running, then drains every list,
  // frees the buffers and drops the callback object.
  ~CStreamEngine() override;

  DECLARE_STD_UNKNOWN();

  STDMETHODIMP_(ULONG) GetDirection() override { return m_nDirection; }
  // The endpoint's type from the terminals on its path, always 0 to 18 (0 without a path).
  STDMETHODIMP_(ULONG) GetEndpointType() override;
  // At most 100 bytes of name: STATUS_INVALID_PARAMETER beyond; STATUS_UNSUCCESSFUL
  // before Init.
  STDMETHODIMP SetName(PCWSTR Name) override;
  STDMETHODIMP_(PWSTR) GetName() override { return m_pName; }
  STDMETHODIMP_(ULONG) GetFormatCount() override;
  STDMETHODIMP GetFormat(ULONG Index, PWAVEFORMATEXTENSIBLE Format) override;
  STDMETHODIMP_(ULONG) GetNodeCount() override;
  // The path entity at the index, without an added reference.
  STDMETHODIMP GetNode(ULONG Index, IUacEntity** Node) override;
  // The factory and class ID the wave subdevice is made with (both the port and the
  // miniport class ID). A null factory: STATUS_INVALID_PARAMETER_2.
  STDMETHODIMP SetMiniportFactory(PFNCREATEMINIPORT Factory, REFCLSID ClassId) override;
  // Keeps the topology port (one reference) and the topology miniport's pin map; either
  // null: STATUS_NO_SUCH_DEVICE. Both null let the peer go (the device's removal).
  STDMETHODIMP SetTopologyPeer(PUNKNOWN TopologyPort, PUNKNOWN TopologyMiniport) override;
  // Makes the wave subdevice appear or go with the endpoint's connection state; no
  // miniport factory: STATUS_UNSUCCESSFUL.
  STDMETHODIMP UpdateSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN Adapter) override;
  // Unregisters the wave subdevice and its physical connection when one exists.
  STDMETHODIMP UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN Adapter) override;
  // Success when the full list holds the format; a plain format is completed from the
  // matching entry. Reads at most the 18 + cbSize bytes the caller's format declares.
  STDMETHODIMP FindFormat(PWAVEFORMATEX Format) override;
  STDMETHODIMP RegisterCallback(PCALLBACK_FUNCTION Callback, PVOID Context, PVOID* Registration) override;
  STDMETHODIMP UnregisterCallback(PVOID Registration) override;
  STDMETHODIMP SetPowerState(DEVICE_POWER_STATE) override { return STATUS_SUCCESS; }
  STDMETHODIMP Init(ULONG Direction) override;
  STDMETHODIMP_(BOOLEAN) TakeKindSwitch(ULONG SwitchCount) override;

  // Puts the entity on the signal path (one reference) unless one with its identifier is
  // there; a node that processes buffers also joins the processing-node list.
  NTSTATUS AddNode(IUacEntity* Entity);
  NTSTATUS AddDspNode(PUNKNOWN Node);
  // Keeps a copy of the 40-byte format, and a second one in the stereo list when it has
  // two channels; all or nothing.
  NTSTATUS AddFormat(const WAVEFORMATEXTENSIBLE* Format);
  // Allocates what is still missing of the stream buffers; success once all exist.
  NTSTATUS AllocStreamBuffers();
  // Whether a terminal of the endpoint's direction on the path has a jack in use.
  bool HasConnectedTerminal();

  // Client lists, each operation under the list lock (callable up to DISPATCH_LEVEL).
  // Before Init there are no lists: additions fail with STATUS_UNSUCCESSFUL, look-ups
  // find nothing.
  NTSTATUS AddRegistered(PSTREAMCLIENTRECORD Record);
  PSTREAMCLIENTRECORD FindRegistered(ULONGLONG Key);
  PSTREAMCLIENTRECORD RemoveRegistered(ULONGLONG Key);
  NTSTATUS InsertPrepared(PSTREAMCLIENTRECORD Record);
  PSTREAMCLIENTRECORD FindPrepared(ULONGLONG Key);
  PSTREAMCLIENTRECORD RemovePrepared(ULONGLONG Key);
  PSTREAMCLIENTRECORD GetPreparedHead();
  NTSTATUS InsertRunning(PSTREAMCLIENTRECORD Record);
  PSTREAMCLIENTRECORD FindRunning(ULONGLONG Key);
  PSTREAMCLIENTRECORD GetRunningHead();
  PSTREAMCLIENTRECORD RemoveRunning(ULONGLONG Key);

  // Processing objects handed over by clients, one reference each. Add: no node gives
  // back the reference and STATUS_INSUFFICIENT_RESOURCES. Remove: the entry holding the
  // object is unlinked and released; absent: STATUS_UNSUCCESSFUL. Drain releases all.
  NTSTATUS AddFirstEffectNode(IDspNode* Node);
  NTSTATUS AddSecondEffectNode(IDspNode* Node);
  NTSTATUS RemoveFirstEffectNode(IDspNode* Node);
  NTSTATUS RemoveSecondEffectNode(IDspNode* Node);
  void DrainFirstEffectNodes();
  void DrainSecondEffectNodes();

  // Processing hooks on a buffer of the stream the device runs (m_CurrentWaveFormat).
  // ProcessBuffer converts PCM into planar float in chunks of at most kStreamChunkFrames,
  // runs the processing nodes and both effect lists on it and converts it back in place;
  // a buffer of another format goes to the processing nodes as it is. It runs at
  // DISPATCH_LEVEL under the list lock, with flush-to-zero and round-to-nearest for the
  // call. With every list empty the buffer is left as it is. Refused with
  // STATUS_UNSUCCESSFUL and left untouched: a length that is no whole number of frames,
  // a format without a block size, and, when PCM has to be converted, more channels than
  // the stream buffers hold, samples not packed as the format says, or no stream buffers.
  STDMETHODIMP ProcessBuffer(PVOID Buffer, ULONG Bytes) override;
  // The same without the lock and with the processing nodes only.
  STDMETHODIMP ProcessBufferUnlocked(PVOID Buffer, ULONG Bytes) override;
  // The list runs below are ProcessBuffer's steps and expect the list lock held.
  // Process on every processing node: mode 1 hands them the channel buffers (planar
  // float), any other mode the buffer itself. Stops at the first failure.
  STDMETHODIMP RunDspNodes(PVOID Buffer, ULONG Frames, ULONG Mode) override;
  // Process of each first-list object on the channel buffers, or on an interleaved PCM
  // buffer.
  STDMETHODIMP RunEffectNodes(ULONG Frames) override;
  STDMETHODIMP RunEffectNodesInterleaved(PVOID Buffer, ULONG Bytes) override;
  // Reset of each second-list object, for a buffer as above. The interleaved forms run
  // their one list on an interleaved buffer as ProcessBuffer does (checks, conversion of
  // PCM to planar float and back, the lock); other formats they leave alone.
  STDMETHODIMP RunSecondEffectNodes(ULONG Frames) override;
  STDMETHODIMP RunSecondEffectNodesInterleaved(PVOID Buffer, ULONG Bytes) override;

  ULONG GetEngineId() const { return m_nEngineId; }

 protected:
  ULONG m_nEngineId;
  ULONG m_nDirection;
  PWSTR m_pName;                // paged, kStreamNameBufferBytes
  PUNKNOWN m_pWavePort;         // null while no wave subdevice exists
  GUID m_MiniportClassId;       // port and miniport class ID of the wave subdevice
  PFNCREATEMINIPORT m_pfnMiniportFactory;
  PUNKNOWN m_pTopologyPort;         // one reference
  PMINIPORTPINMAP m_pTopologyPinMap;  // one reference
  ULONG m_nTopologyPin;             // the topology pin the wave filter joins
  CRefList<IDspNode>* m_pDspNodeList;  // processing nodes, one reference each
  CPtrList* m_pPathList;               // IUacEntity on the signal path, one reference each
  CPtrList* m_pFormatList;             // WAVEFORMATEXTENSIBLE copies
  CClientList* m_pRegisteredList;      // registered and not prepared
  CClientList* m_pPreparedList;        // prepared, by priority
  CClientList* m_pRunningList;         // started, by priority
  CRefList<IDspNode>* m_pFirstEffectList;  // processing objects of clients, one reference each
  CRefList<IDspNode>* m_pSecondEffectList;
  CPtrList* m_pStereoFormatList;  // copies of the two-channel entries
  float* m_pFloatScratch;         // kStreamScratchBytes
  float** m_ppChannelBuffers;     // kStreamChannelBuffers pointers to kStreamChannelBufferBytes
  ULONG m_StreamState;
  // Taken after the root device's ASIO and power mutex and before its port mutex (the
  // order is written down beside them): a recovery under it may check the port; an ASIO
  // start or stop under the ASIO and power mutex takes it.
  CKernelMutex m_EngineMutex;
  KSPIN_LOCK m_ListLock;
  PCALLBACK_OBJECT m_pCallbackObject;  // "\Callback\StreamEngineAddr%p"
  WAVEFORMATEXTENSIBLE m_CurrentWaveFormat;
  LONG m_nNamedKindSwitch;  // the kind node's switch count when the engine was last named

  // Takes the list lock whatever the caller's IRQL (at DISPATCH_LEVEL without raising).
  KIRQL LockLists();
  void UnlockLists(KIRQL Previous);

 private:
  CPtrList* FormatListFor();
  void FreeLists();
  // Creates the wave port and miniport (the engine's index among the adapter's engines
  // names it), finds the topology pin the bridge pin joins through both pin maps and
  // registers the subdevice; on any failure nothing is kept. A bridge pin that joins no
  // streaming terminal (the miniport's STATUS_NOT_FOUND) or a terminal the topology
  // filter does not know leaves the subdevice without a physical connection.
  NTSTATUS InstallWaveSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN Adapter);
  // Unregisters the physical connection and the subdevice; the wave port goes once the
  // subdevice is unregistered.
  NTSTATUS UnregisterWaveSubdevice(PDEVICE_OBJECT DeviceObject);
  enum class ClientOp { Find, Remove, Head };
  PSTREAMCLIENTRECORD ClientListOp(CClientList* List, ClientOp Op, ULONGLONG Key);
  NTSTATUS RunNodeList(CRefList<IDspNode>* List, PVOID Data, ULONG Frames, bool Reset);
  NTSTATUS AddEffectNode(CRefList<IDspNode>* List, IDspNode* Node);
  NTSTATUS RemoveEffectNode(CRefList<IDspNode>* List, IDspNode* Node);
  void DrainEffectNodes(CRefList<IDspNode>* List);
  NTSTATUS CheckInterleaved(PVOID Buffer, ULONG Bytes, ULONG* Frames) const;
  // Which lists a processing call runs.
  static constexpr ULONG kRunDspNodes = 1, kRunFirstEffects = 2, kRunSecondEffects = 4;
  NTSTATUS ProcessLists(PVOID Buffer, ULONG Bytes, ULONG Lists, bool Locked);
  NTSTATUS ProcessChunks(PUCHAR Buffer, ULONG Frames, ULONG Lists);
  // One chunk of packed PCM samples of the current format (16, 24 or 32 bits) into the
  // channel buffers through the float scratch, and back.
  void PcmToFloatPlanar(const UCHAR* Source, ULONG Frames);
  void FloatPlanarToPcm(PUCHAR Destination, ULONG Frames);
};
using PCSTREAMENGINE = CStreamEngine*;

}  // namespace adapter
