#include "fake_miniports.h"

#include <cstring>

#include "kernel/clock.h"
#include "kernel/io.h"
#include "kernel/ke.h"

namespace fakes {
namespace {

constexpr ULONG kTag = MakePoolTag('F', 'a', 'k', 'e');

KSDATARANGE AnalogRange() {
  KSDATARANGE r{};
  r.FormatSize = sizeof(KSDATARANGE);
  r.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  r.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
  r.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  return r;
}

KSDATARANGE g_analog = AnalogRange();
PKSDATARANGE g_analogRanges[] = {&g_analog};

// --- topology -------------------------------------------------------------------------

NTSTATUS VolumeHandler(PPCPROPERTY_REQUEST request) {
  FakeTopologyMiniport* self = FakeTopologyMiniport::From(request->MajorTarget);
  if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
    constexpr ULONG full = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) +
                           FakeTopologyMiniport::kChannels * sizeof(KSPROPERTY_STEPPING_LONG);
    ULONG access = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
    if (request->ValueSize == 0) {
      request->ValueSize = full;
      return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    if (request->ValueSize < sizeof(KSPROPERTY_DESCRIPTION)) {
      std::memcpy(request->Value, &access, sizeof(access));
      request->ValueSize = sizeof(access);
      return STATUS_SUCCESS;
    }
    KSPROPERTY_DESCRIPTION d{};
    d.AccessFlags = access;
    d.DescriptionSize = full;
    d.PropTypeSet.Set = KSPROPTYPESETID_General;
    d.PropTypeSet.Id = VT_I4;
    d.MembersListCount = 1;
    BYTE* out = static_cast<BYTE*>(request->Value);
    std::memcpy(out, &d, sizeof(d));
    if (request->ValueSize < full) {
      request->ValueSize = sizeof(d);
      return STATUS_SUCCESS;
    }
    KSPROPERTY_MEMBERSHEADER h{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG),
                               FakeTopologyMiniport::kChannels, KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL};
    std::memcpy(out + sizeof(d), &h, sizeof(h));
    for (ULONG c = 0; c < FakeTopologyMiniport::kChannels; ++c) {
      KSPROPERTY_STEPPING_LONG s{};
      s.SteppingDelta = FakeTopologyMiniport::kStep;
      s.Bounds.SignedMinimum = FakeTopologyMiniport::kMinLevel;
      s.Bounds.SignedMaximum = FakeTopologyMiniport::kMaxLevel;
      std::memcpy(out + sizeof(d) + sizeof(h) + c * sizeof(s), &s, sizeof(s));
    }
    request->ValueSize = full;
    return STATUS_SUCCESS;
  }
  if (request->InstanceSize < sizeof(LONG)) return STATUS_INVALID_PARAMETER;
  LONG channel;
  std::memcpy(&channel, request->Instance, sizeof(channel));
  if (channel < 0 || static_cast<ULONG>(channel) >= FakeTopologyMiniport::kChannels) return STATUS_INVALID_PARAMETER;
  if (request->ValueSize == 0) {
    request->ValueSize = sizeof(LONG);
    return STATUS_BUFFER_OVERFLOW;
  }
  if (request->ValueSize < sizeof(LONG)) return STATUS_BUFFER_TOO_SMALL;
  if (request->Verb & KSPROPERTY_TYPE_GET) {
    std::memcpy(request->Value, &self->level[channel], sizeof(LONG));
  } else {
    LONG value;
    std::memcpy(&value, request->Value, sizeof(value));
    if (value < FakeTopologyMiniport::kMinLevel) value = FakeTopologyMiniport::kMinLevel;
    if (value > FakeTopologyMiniport::kMaxLevel) value = FakeTopologyMiniport::kMaxLevel;
    self->level[channel] = value;
  }
  request->ValueSize = sizeof(LONG);
  return STATUS_SUCCESS;
}

NTSTATUS MuteHandler(PPCPROPERTY_REQUEST request) {
  FakeTopologyMiniport* self = FakeTopologyMiniport::From(request->MajorTarget);
  if (request->ValueSize < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  if (request->Verb & KSPROPERTY_TYPE_GET) std::memcpy(request->Value, &self->mute, sizeof(ULONG));
  else std::memcpy(&self->mute, request->Value, sizeof(ULONG));
  request->ValueSize = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS JackHandler(PPCPROPERTY_REQUEST request) {
  if (request->InstanceSize < sizeof(ULONG)) return STATUS_INVALID_DEVICE_REQUEST;
  ULONG pin;
  std::memcpy(&pin, request->Instance, sizeof(pin));
  if (pin != 1) return STATUS_INVALID_DEVICE_REQUEST;
  if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
    if (request->ValueSize < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    ULONG access = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;
    std::memcpy(request->Value, &access, sizeof(access));
    request->ValueSize = sizeof(access);
    return STATUS_SUCCESS;
  }
  constexpr ULONG full = sizeof(KSMULTIPLE_ITEM) + sizeof(KSJACK_DESCRIPTION);
  if (request->ValueSize == 0) {
    request->ValueSize = full;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (request->ValueSize < full) return STATUS_BUFFER_TOO_SMALL;
  KSMULTIPLE_ITEM item{full, 1};
  KSJACK_DESCRIPTION jack{KSAUDIO_SPEAKER_STEREO, 0x00FF00, eConnType3Point5mm, eGeoLocRear, eGenLocPrimaryBox,
                          ePortConnJack, 1};
  std::memcpy(request->Value, &item, sizeof(item));
  std::memcpy(static_cast<BYTE*>(request->Value) + sizeof(item), &jack, sizeof(jack));
  request->ValueSize = full;
  return STATUS_SUCCESS;
}

NTSTATUS ControlChangeHandler(PPCEVENT_REQUEST request) {
  FakeTopologyMiniport* self = FakeTopologyMiniport::From(request->MajorTarget);
  switch (request->Verb) {
    case PCEVENT_VERB_ADD:
      if (!request->EventEntry || !self->PortEvents()) return STATUS_UNSUCCESSFUL;
      self->PortEvents()->AddEventToEventList(request->EventEntry);
      ++self->eventsAdded;
      return STATUS_SUCCESS;
    case PCEVENT_VERB_REMOVE:
      ++self->eventsRemoved;
      return STATUS_SUCCESS;
    case PCEVENT_VERB_SUPPORT:
      return STATUS_SUCCESS;
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

// --- diagnostic properties: handlers that use the request's IRP or answer unusually --

struct PendingAnswer {
  KDPC dpc;
  PIRP irp = nullptr;
  void* value = nullptr;
};
PendingAnswer g_pending;

VOID CompletePending(KDPC*, PVOID, PVOID, PVOID) {
  ULONG answer = 0x600D;
  std::memcpy(g_pending.value, &answer, sizeof(answer));
  g_pending.irp->IoStatus.Information = sizeof(answer);
  PcCompleteIrp(FakeDevice(0), g_pending.irp, STATUS_SUCCESS);
}

NTSTATUS DiagnosticHandler(PPCPROPERTY_REQUEST request) {
  switch (request->PropertyItem->Id) {
    case kDiagnosticIrp: {
      // What a handler reads of the IRP: the requestor mode and its stack location.
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request->Irp);
      ULONG answer[4] = {static_cast<ULONG>(request->Irp->RequestorMode), stack->Parameters.DeviceIoControl.IoControlCode,
                         stack->Parameters.DeviceIoControl.InputBufferLength,
                         stack->Parameters.DeviceIoControl.OutputBufferLength};
      if (request->ValueSize < sizeof(answer)) return STATUS_BUFFER_TOO_SMALL;
      std::memcpy(request->Value, answer, sizeof(answer));
      request->ValueSize = sizeof(answer);
      return STATUS_SUCCESS;
    }
    case kDiagnosticPartial: {
      // 16 bytes 0..15; what fits of them, with STATUS_BUFFER_OVERFLOW when not all do.
      ULONG n = request->ValueSize < 16 ? request->ValueSize : 16;
      for (ULONG i = 0; i < n; ++i) static_cast<BYTE*>(request->Value)[i] = static_cast<BYTE>(i);
      request->ValueSize = n;
      return n < 16 ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case kDiagnosticOverReport:
      // Fills the buffer and claims 64 bytes more than it holds.
      if (request->ValueSize != 0) std::memset(request->Value, 0xAB, request->ValueSize);  // Value may be null then
      request->ValueSize += 64;
      return STATUS_SUCCESS;
    case kDiagnosticChecked:
      if (request->ValueSize < 16) return STATUS_BUFFER_TOO_SMALL;
      [[fallthrough]];
    case kDiagnosticOverrun:
      std::memset(request->Value, 0x5C, 16);
      request->ValueSize = 16;
      return STATUS_SUCCESS;
    case kDiagnosticPending:
      // Answers later, completing the request's IRP from a DPC.
      if (request->ValueSize < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
      g_pending.irp = request->Irp;
      g_pending.value = request->Value;
      KeInitializeDpc(&g_pending.dpc, CompletePending, nullptr);
      IoMarkIrpPending(request->Irp);
      KeInsertQueueDpc(&g_pending.dpc, nullptr, nullptr);
      return STATUS_PENDING;
    default:
      return STATUS_NOT_FOUND;
  }
}

const PCPROPERTY_ITEM kVolumeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
     KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT, VolumeHandler}};
const PCEVENT_ITEM kControlChangeEvents[] = {
    {&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE,
     KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_BASICSUPPORT, ControlChangeHandler}};
const PCAUTOMATION_TABLE kVolumeTable = {sizeof(PCPROPERTY_ITEM), 1, kVolumeProperties, 0, 0, nullptr,
                                         sizeof(PCEVENT_ITEM), 1, kControlChangeEvents, 0};
const PCPROPERTY_ITEM kMuteProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, MuteHandler}};
const PCAUTOMATION_TABLE kMuteTable = {sizeof(PCPROPERTY_ITEM), 1, kMuteProperties, 0, 0, nullptr, 0, 0, nullptr, 0};
const PCPROPERTY_ITEM kTopologyFilterProperties[] = {
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT,
     JackHandler},
    {&KSPROPSETID_FakeDiagnostics, kDiagnosticIrp, KSPROPERTY_TYPE_GET, DiagnosticHandler},
    {&KSPROPSETID_FakeDiagnostics, kDiagnosticPartial, KSPROPERTY_TYPE_GET, DiagnosticHandler},
    {&KSPROPSETID_FakeDiagnostics, kDiagnosticOverReport, KSPROPERTY_TYPE_GET, DiagnosticHandler},
    {&KSPROPSETID_FakeDiagnostics, kDiagnosticPending, KSPROPERTY_TYPE_GET, DiagnosticHandler},
    {&KSPROPSETID_FakeDiagnostics, kDiagnosticOverrun, KSPROPERTY_TYPE_GET, DiagnosticHandler},
    {&KSPROPSETID_FakeDiagnostics, kDiagnosticChecked, KSPROPERTY_TYPE_GET, DiagnosticHandler}};
const PCAUTOMATION_TABLE kTopologyFilterTable = {sizeof(PCPROPERTY_ITEM), 7, kTopologyFilterProperties, 0, 0,
                                                 nullptr, 0, 0, nullptr, 0};

PCPIN_DESCRIPTOR TopologyPin(KSPIN_DATAFLOW flow, const GUID* category) {
  PCPIN_DESCRIPTOR p{};
  p.KsPinDescriptor.DataRangesCount = 1;
  p.KsPinDescriptor.DataRanges = g_analogRanges;
  p.KsPinDescriptor.DataFlow = flow;
  p.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
  p.KsPinDescriptor.Category = category;
  return p;
}

const PCPIN_DESCRIPTOR kTopologyPins[] = {TopologyPin(KSPIN_DATAFLOW_IN, &KSCATEGORY_AUDIO),
                                          TopologyPin(KSPIN_DATAFLOW_OUT, &KSNODETYPE_SPEAKER)};
const PCNODE_DESCRIPTOR kTopologyNodes[] = {{0, &kVolumeTable, &KSNODETYPE_VOLUME, nullptr},
                                            {0, &kMuteTable, &KSNODETYPE_MUTE, nullptr}};
const PCCONNECTION_DESCRIPTOR kTopologyConnections[] = {
    {PCFILTER_NODE, 0, 0, 1}, {0, 0, 1, 1}, {1, 0, PCFILTER_NODE, 1}};
const GUID kTopologyCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY};
PCFILTER_DESCRIPTOR g_topologyFilter = {0,
                                        &kTopologyFilterTable,
                                        sizeof(PCPIN_DESCRIPTOR),
                                        2,
                                        kTopologyPins,
                                        sizeof(PCNODE_DESCRIPTOR),
                                        2,
                                        kTopologyNodes,
                                        3,
                                        kTopologyConnections,
                                        2,
                                        kTopologyCategories};

// --- wave -----------------------------------------------------------------------------

KSDATARANGE_AUDIO PcmRange() {
  KSDATARANGE_AUDIO r{};
  r.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
  r.DataRange.Flags = KSDATARANGE_ATTRIBUTES;
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  r.MaximumChannels = 2;
  r.MinimumBitsPerSample = 16;
  r.MaximumBitsPerSample = 16;
  r.MinimumSampleFrequency = 44100;
  r.MaximumSampleFrequency = 48000;
  return r;
}

KSDATARANGE_AUDIO g_pcm = PcmRange();
KSATTRIBUTE g_modeAttribute = {sizeof(KSATTRIBUTE), 0, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE};
PKSATTRIBUTE g_attributes[] = {&g_modeAttribute};
KSATTRIBUTE_LIST g_attributeList = {1, g_attributes};
PKSDATARANGE g_pcmRanges[] = {&g_pcm.DataRange, reinterpret_cast<PKSDATARANGE>(&g_attributeList)};
const KSPIN_INTERFACE kStreaming[] = {{{KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0}},
                                      {{KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_LOOPED_STREAMING, 0}}};

struct WaveDescriptor {
  PCPIN_DESCRIPTOR pins[2];
  PCNODE_DESCRIPTOR node;
  PCCONNECTION_DESCRIPTOR connections[2];
  GUID categories[2];
  PCFILTER_DESCRIPTOR filter;
};

WaveDescriptor MakeWaveDescriptor(bool capture) {
  WaveDescriptor d{};
  PCPIN_DESCRIPTOR& s = d.pins[0];
  s.MaxGlobalInstanceCount = 1;
  s.MaxFilterInstanceCount = 1;
  s.KsPinDescriptor.InterfacesCount = 2;
  s.KsPinDescriptor.Interfaces = kStreaming;
  s.KsPinDescriptor.DataRangesCount = 2;
  s.KsPinDescriptor.DataRanges = g_pcmRanges;
  s.KsPinDescriptor.DataFlow = capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
  s.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
  s.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;
  d.pins[1] = TopologyPin(capture ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT, &KSCATEGORY_AUDIO);
  d.node = {0, nullptr, capture ? &KSNODETYPE_ADC : &KSNODETYPE_DAC, nullptr};
  if (capture) {
    d.connections[0] = {PCFILTER_NODE, 1, 0, 1};
    d.connections[1] = {0, 0, PCFILTER_NODE, 0};
  } else {
    d.connections[0] = {PCFILTER_NODE, 0, 0, 1};
    d.connections[1] = {0, 0, PCFILTER_NODE, 1};
  }
  d.categories[0] = KSCATEGORY_AUDIO;
  d.categories[1] = capture ? KSCATEGORY_CAPTURE : KSCATEGORY_RENDER;
  return d;
}

WaveDescriptor g_render = MakeWaveDescriptor(false);
WaveDescriptor g_capture = MakeWaveDescriptor(true);

PCFILTER_DESCRIPTOR* WaveFilter(bool capture) {
  WaveDescriptor& d = capture ? g_capture : g_render;
  d.filter = {0, nullptr, sizeof(PCPIN_DESCRIPTOR), 2, d.pins, sizeof(PCNODE_DESCRIPTOR), 1, &d.node,
              2, d.connections, 2, d.categories};
  return &d.filter;
}

}  // namespace

PDEVICE_OBJECT FakeDevice(int index) {
  static BYTE devices[16];
  return reinterpret_cast<PDEVICE_OBJECT>(&devices[index & 15]);
}

KSDATAFORMAT_WAVEFORMATEXTENSIBLE FakeFormat() {
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f{};
  f.DataFormat.FormatSize = sizeof(f);
  f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  f.DataFormat.SampleSize = 4;
  WAVEFORMATEX& w = f.WaveFormatExt.Format;
  w.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  w.nChannels = 2;
  w.nSamplesPerSec = 48000;
  w.wBitsPerSample = 16;
  w.nBlockAlign = 4;
  w.nAvgBytesPerSec = 192000;
  w.cbSize = 22;
  f.WaveFormatExt.Samples.wValidBitsPerSample = 16;
  f.WaveFormatExt.dwChannelMask = KSAUDIO_SPEAKER_STEREO;
  f.WaveFormatExt.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return f;
}

// --- FakeTopologyMiniport -------------------------------------------------------------

FakeTopologyMiniport* FakeTopologyMiniport::Create() {
  auto* m = new (NonPagedPool, kTag) FakeTopologyMiniport(nullptr);
  m->NonDelegatingAddRef();
  return m;
}

FakeTopologyMiniport::FakeTopologyMiniport(PUNKNOWN outer) : CUnknown(outer) {}

FakeTopologyMiniport::~FakeTopologyMiniport() {
  if (m_PortEvents) m_PortEvents->Release();
  if (m_Port) m_Port->Release();
}

FakeTopologyMiniport* FakeTopologyMiniport::From(PUNKNOWN majorTarget) {
  return static_cast<FakeTopologyMiniport*>(static_cast<IMiniportTopology*>(static_cast<IMiniport*>(majorTarget)));
}

STDMETHODIMP FakeTopologyMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportTopology)) {
    *object = static_cast<IMiniportTopology*>(this);
  } else if (IsEqualGUID(iid, IID_IPowerNotify)) {
    *object = static_cast<IPowerNotify*>(this);
  } else {
    return CUnknown::NonDelegatingQueryInterface(iid, object);
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

STDMETHODIMP FakeTopologyMiniport::GetDescription(PPCFILTER_DESCRIPTOR* Description) {
  *Description = &g_topologyFilter;
  return STATUS_SUCCESS;
}

STDMETHODIMP FakeTopologyMiniport::Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY Port) {
  if (!Port) return STATUS_INVALID_PARAMETER;
  PVOID events = nullptr;
  NTSTATUS status = Port->QueryInterface(IID_IPortEvents, &events);
  if (!NT_SUCCESS(status)) return status;
  m_PortEvents = static_cast<PPORTEVENTS>(events);
  if (keepPortReference) {
    Port->AddRef();
    m_Port = Port;
  } else {
    m_PortEvents->Release();
    m_PortEvents = nullptr;
  }
  return STATUS_SUCCESS;
}

void FakeTopologyMiniport::RaiseControlChange(ULONG node, bool underSpinLock, bool anyNode) {
  if (!m_PortEvents) return;
  KSPIN_LOCK lock;
  KIRQL irql = PASSIVE_LEVEL;
  KeInitializeSpinLock(&lock);
  if (underSpinLock) KeAcquireSpinLock(&lock, &irql);
  m_PortEvents->GenerateEventList(const_cast<GUID*>(&KSEVENTSETID_AudioControlChange), KSEVENT_CONTROL_CHANGE,
                                  FALSE, ULONG(-1), anyNode ? FALSE : TRUE, anyNode ? ULONG(-1) : node);
  if (underSpinLock) KeReleaseSpinLock(&lock, irql);
}

// --- FakeWaveMiniport -----------------------------------------------------------------

FakeWaveMiniport* FakeWaveMiniport::Create(bool capture) {
  auto* m = new (NonPagedPool, kTag) FakeWaveMiniport(nullptr, capture);
  m->NonDelegatingAddRef();
  return m;
}

FakeWaveMiniport::FakeWaveMiniport(PUNKNOWN outer, bool isCapture) : CUnknown(outer), capture(isCapture) {}

FakeWaveMiniport::~FakeWaveMiniport() {
  if (m_Port) m_Port->Release();
}

STDMETHODIMP FakeWaveMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveCyclic)) {
    *object = static_cast<IMiniportWaveCyclic*>(this);
  } else if (IsEqualGUID(iid, IID_IMiniportAudioSignalProcessing)) {
    *object = static_cast<IMiniportAudioSignalProcessing*>(this);
  } else if (IsEqualGUID(iid, IID_IPowerNotify)) {
    *object = static_cast<IPowerNotify*>(this);
  } else {
    return CUnknown::NonDelegatingQueryInterface(iid, object);
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

STDMETHODIMP FakeWaveMiniport::GetDescription(PPCFILTER_DESCRIPTOR* Description) {
  *Description = WaveFilter(capture);
  return STATUS_SUCCESS;
}

STDMETHODIMP FakeWaveMiniport::Init(PUNKNOWN, PRESOURCELIST, PPORTWAVECYCLIC Port) {
  if (!Port) return STATUS_INVALID_PARAMETER;
  Port->AddRef();
  m_Port = Port;
  return STATUS_SUCCESS;
}

STDMETHODIMP FakeWaveMiniport::DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE,
                                                     ULONG OutputBufferLength, PVOID ResultantFormat,
                                                     PULONG ResultantFormatLength) {
  if (PinId != kStreamingPin) return STATUS_NO_MATCH;
  if (!IsEqualGUID(DataRange->MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) return STATUS_NO_MATCH;
  if (!IsEqualGUID(DataRange->SubFormat, KSDATAFORMAT_SUBTYPE_PCM) && !IsEqualGUID(DataRange->SubFormat, GUID_NULL))
    return STATUS_NO_MATCH;
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE format = FakeFormat();
  if (DataRange->FormatSize >= sizeof(KSDATARANGE_AUDIO)) {
    KSDATARANGE_AUDIO client;
    std::memcpy(&client, DataRange, sizeof(client));
    if (client.MinimumSampleFrequency > 48000 || client.MaximumSampleFrequency < 44100) return STATUS_NO_MATCH;
    if (client.MaximumSampleFrequency < 48000) {
      format.WaveFormatExt.Format.nSamplesPerSec = 44100;
      format.WaveFormatExt.Format.nAvgBytesPerSec = 44100 * 4;
    }
  }
  *ResultantFormatLength = sizeof(format);
  if (OutputBufferLength == 0) return STATUS_BUFFER_OVERFLOW;
  if (OutputBufferLength < sizeof(format)) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(ResultantFormat, &format, sizeof(format));
  return STATUS_SUCCESS;
}

STDMETHODIMP FakeWaveMiniport::NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown, POOL_TYPE,
                                         ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat,
                                         PDMACHANNEL* DmaChannel, PSERVICEGROUP* ServiceGroup) {
  if (stream) return STATUS_INSUFFICIENT_RESOURCES;
  if (Pin != kStreamingPin || (Capture != 0) != capture) return STATUS_INVALID_PARAMETER;
  if (DataFormat->FormatSize < sizeof(KSDATAFORMAT_WAVEFORMATEX)) return STATUS_INVALID_PARAMETER;
  WAVEFORMATEX wave;
  std::memcpy(&wave, reinterpret_cast<BYTE*>(DataFormat) + sizeof(KSDATAFORMAT), sizeof(wave));
  if (wave.nChannels == 0 || wave.nChannels > 2 || wave.wBitsPerSample != 16 ||
      (wave.nSamplesPerSec != 44100 && wave.nSamplesPerSec != 48000))
    return STATUS_NO_MATCH;
  ULONG blockAlign = wave.nChannels * 2u;
  ULONG size = wave.nSamplesPerSec * blockAlign / 1000 * bufferMilliseconds;
  auto* created =
      new (NonPagedPool, kTag) FakeStream(OuterUnknown, this, capture, size, blockAlign, wave.nSamplesPerSec);
  if (!created) return STATUS_INSUFFICIENT_RESOURCES;
  created->NonDelegatingAddRef();
  NTSTATUS status = PcNewServiceGroup(&created->serviceGroup, nullptr);
  if (!NT_SUCCESS(status)) {
    created->NonDelegatingRelease();
    return status;
  }
  stream = created;
  *Stream = created;  // the creation reference
  created->NonDelegatingAddRef();
  *DmaChannel = created;
  created->serviceGroup->AddRef();
  *ServiceGroup = created->serviceGroup;
  return STATUS_SUCCESS;
}

STDMETHODIMP FakeWaveMiniport::GetModes(ULONG Pin, GUID* modes, ULONG* count) {
  if (!count) return STATUS_INVALID_PARAMETER;
  if (Pin != kStreamingPin) return STATUS_NOT_SUPPORTED;
  if (modes) {
    if (*count == 0) {
      *count = 1;
      return STATUS_BUFFER_TOO_SMALL;
    }
    modes[0] = AUDIO_SIGNALPROCESSINGMODE_RAW;
  }
  *count = 1;
  return STATUS_SUCCESS;
}

// --- FakeStream -----------------------------------------------------------------------

FakeStream::FakeStream(PUNKNOWN outer, FakeWaveMiniport* miniport, bool capture, ULONG bufferSize,
                       ULONG blockAlign, ULONG sampleRate)
    : CUnknown(outer), m_Miniport(miniport), m_Capture(capture), m_BlockAlign(blockAlign), m_SampleRate(sampleRate) {
  KeInitializeSpinLock(&m_Lock);
  KeInitializeTimerEx(&m_Timer, NotificationTimer);
  KeInitializeDpc(&m_Dpc, PacketDpc, this);
  AllocateBuffer(bufferSize, nullptr);
}

FakeStream::~FakeStream() {
  if (m_Ticking) {
    KeCancelTimer(&m_Timer);
    KeRemoveQueueDpc(&m_Dpc);
    ExSetTimerResolution(0, FALSE);
  }
  if (m_Miniport->stream == this) m_Miniport->stream = nullptr;
  if (serviceGroup) serviceGroup->Release();
  FreeBuffer();
}

STDMETHODIMP FakeStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUID(iid, IID_IMiniportWaveCyclicStream)) {
    *object = static_cast<IMiniportWaveCyclicStream*>(this);
  } else if (IsEqualGUID(iid, IID_IDmaChannel)) {
    *object = static_cast<IDmaChannel*>(this);
  } else {
    return CUnknown::NonDelegatingQueryInterface(iid, object);
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

STDMETHODIMP FakeStream::SetFormat(PKSDATAFORMAT DataFormat) {
  if (m_State == KSSTATE_RUN) return STATUS_UNSUCCESSFUL;
  if (!DataFormat || DataFormat->FormatSize < sizeof(KSDATAFORMAT_WAVEFORMATEX)) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) FakeStream::SetNotificationFreq(ULONG, PULONG FramingSize) {
  *FramingSize = m_Size / 5;  // the buffer holds 50 ms, a notification comes every 10 ms
  return 10;
}

STDMETHODIMP FakeStream::SetState(KSSTATE State) {
  bool clocked;
  {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    transitions.push_back(State);
    m_State = State;
    if (State == KSSTATE_STOP && !faults.keepPositionOnStop) {
      m_Position = 0;
      m_Produced = 0;
    }
    clocked = m_Clocked;
    KeReleaseSpinLock(&m_Lock, irql);
  }
  if (clocked && State == KSSTATE_RUN && !m_Ticking) {
    // A bus frame every millisecond: the timer needs that resolution.
    ExSetTimerResolution(static_cast<ULONG>(platform::clock::kTicksPerMillisecond), TRUE);
    LARGE_INTEGER due;
    due.QuadPart = -platform::clock::kTicksPerMillisecond;
    KeSetTimerEx(&m_Timer, due, 1, &m_Dpc);
    m_Ticking = true;
  } else if (m_Ticking && State != KSSTATE_RUN) {
    KeCancelTimer(&m_Timer);
    KeFlushQueuedDpcs();
    ExSetTimerResolution(0, FALSE);
    m_Ticking = false;
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP FakeStream::GetPosition(PULONG Position) {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  positionIrql = irql;
  if (positionSource && m_Size && m_State != KSSTATE_STOP) {
    *Position = static_cast<ULONG>(positionSource() % m_Size);
  } else {
    *Position = faults.positionOutside ? m_Size : m_Position;
  }
  KeReleaseSpinLock(&m_Lock, irql);
  return STATUS_SUCCESS;
}

STDMETHODIMP FakeStream::NormalizePhysicalPosition(PLONGLONG PhysicalPosition) {
  *PhysicalPosition = *PhysicalPosition * 10000000 / (48000 * static_cast<LONGLONG>(m_BlockAlign));
  return STATUS_SUCCESS;
}

STDMETHODIMP_(void) FakeStream::Silence(PVOID Buffer, ULONG ByteCount) {
  BYTE* b = static_cast<BYTE*>(Buffer);
  if (b < m_Buffer || b + ByteCount > m_Buffer + m_Size) return;
  std::memset(b, 0, ByteCount);
  ++silenced;
}

STDMETHODIMP FakeStream::AllocateBuffer(ULONG BufferSize, PPHYSICAL_ADDRESS) {
  BYTE* buffer = static_cast<BYTE*>(ExAllocatePoolWithTag(NonPagedPool, BufferSize, kTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  FreeBuffer();
  std::memset(buffer, 0, BufferSize);
  m_Buffer = buffer;
  m_Size = BufferSize;
  return STATUS_SUCCESS;
}

STDMETHODIMP_(void) FakeStream::FreeBuffer() {
  if (m_Buffer) ExFreePoolWithTag(m_Buffer, kTag);
  m_Buffer = nullptr;
  m_Size = 0;
}

STDMETHODIMP_(void) FakeStream::CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) {
  BYTE* d = static_cast<BYTE*>(Destination);
  if (!Source || d < m_Buffer || d + ByteCount > m_Buffer + m_Size) return;
  std::memcpy(d, Source, ByteCount);
}

STDMETHODIMP_(void) FakeStream::CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) {
  BYTE* s = static_cast<BYTE*>(Source);
  if (!Destination || s < m_Buffer || s + ByteCount > m_Buffer + m_Size) return;
  std::memcpy(Destination, s, ByteCount);
}

bool FakeStream::MoveLocked(ULONG bytes) {
  bool moving = m_State == KSSTATE_RUN || (m_State == KSSTATE_PAUSE && faults.moveInPause);
  if (!moving || m_Size == 0 || faults.stall) return false;
  bytes %= m_Size;
  if (faults.positionBackwards) {
    faults.positionBackwards = false;
    m_Position = (m_Position + m_Size - bytes) % m_Size;
  } else {
    std::vector<BYTE> chunk(bytes);
    if (m_Capture) {
      ULONG64 first = m_Produced;
      if (faults.repeatCapture && m_Produced >= bytes) {
        faults.repeatCapture = false;
        first = m_Produced - bytes;
      } else {
        m_Produced += bytes;
      }
      if (captureSource) captureSource(first, chunk.data(), bytes);
    }
    for (ULONG i = 0; i < bytes; ++i) {
      BYTE& b = m_Buffer[(m_Position + i) % m_Size];
      if (m_Capture) b = chunk[i];
      else consumed.push_back(b);
    }
    m_Position = (m_Position + bytes) % m_Size;
  }
  if (faults.skipNotification) {
    faults.skipNotification = false;
    return false;
  }
  return !faults.stopNotifying;
}

void FakeStream::NotifyPort() {
  if (m_Miniport->Port()) m_Miniport->Port()->Notify(serviceGroup);
}

void FakeStream::Advance(ULONG bytes) {
  ULONG rate = m_SampleRate * m_BlockAlign;
  if (rate) platform::clock::SleepFor(static_cast<LONGLONG>(bytes) * platform::clock::kTicksPerSecond / rate);
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  ULONG jump = faults.jumpBytes;
  faults.jumpBytes = 0;
  bool notify = MoveLocked(bytes + jump);
  KeReleaseSpinLock(&m_Lock, irql);
  if (notify) NotifyPort();
  platform::clock::Settle();  // the port's service DPC and whatever it woke have run
}

void FakeStream::RunOnClock(ULONG notifyEvery) {
  KIRQL irql;
  KeAcquireSpinLock(&m_Lock, &irql);
  m_Clocked = true;
  m_NotifyEvery = notifyEvery ? notifyEvery : 1;
  KeReleaseSpinLock(&m_Lock, irql);
}

VOID FakeStream::PacketDpc(KDPC*, PVOID context, PVOID, PVOID) {
  auto* self = static_cast<FakeStream*>(context);
  KeAcquireSpinLockAtDpcLevel(&self->m_Lock);
  ULONG64 n = self->packets++;
  ULONG frames = static_cast<ULONG>((n + 1) * self->m_SampleRate / 1000 - n * self->m_SampleRate / 1000);
  bool notify = self->MoveLocked(frames * self->m_BlockAlign) && (n + 1) % self->m_NotifyEvery == 0;
  KeReleaseSpinLockFromDpcLevel(&self->m_Lock);
  if (notify) self->NotifyPort();
}

}  // namespace fakes
