// The WaveCyclic port and its pin instances: stream creation through NewStream, the
// notification frequency, state changes one step at a time, positions, format changes,
// the cyclic buffer reached through the DMA channel, and service-group notifications.
#include <cstring>
#include <string>
#include <mutex>
#include <vector>

#include "kernel/ke.h"
#include "kernel/verifier.h"
#include "private.h"

namespace platform::portcls {
namespace {

constexpr ULONG kPinTag = MakePoolTag('P', 'c', 'P', 'n');
// The notification interval the port asks of its streams, in milliseconds.
constexpr ULONG kNotificationIntervalMs = 10;

class WavePin;

// The service sink the port adds to the stream's service group; it forwards to the pin
// while the pin is open.
class CPinServiceSink final : public CUnknown, public IServiceSink {
 public:
  explicit CPinServiceSink(PUNKNOWN outer) : CUnknown(outer) { KeInitializeSpinLock(&m_Lock); }
  DECLARE_STD_UNKNOWN();
  STDMETHODIMP_(void) RequestService() override;
  void Attach(WavePin* pin) {
    KIRQL old;
    KeAcquireSpinLock(&m_Lock, &old);
    m_Pin = pin;
    KeReleaseSpinLock(&m_Lock, old);
  }

 private:
  // Held while the pin is serviced, so a closing pin waits for it. A spin lock, not a
  // host mutex: the service runs in a DPC that the scheduler may switch away from, and a
  // closing pin spinning on the lock lets the holder run on (a host mutex would block
  // every platform context).
  KSPIN_LOCK m_Lock;
  WavePin* m_Pin = nullptr;
};

STDMETHODIMP CPinServiceSink::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUID(iid, IID_IServiceSink)) {
    *object = static_cast<IServiceSink*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

class WavePin final : public PinObject {
 public:
  WavePin(CPortBase* port, ULONG pinId, bool capture, bool looped)
      : m_Port(port), m_PinId(pinId), m_Capture(capture), m_Looped(looped) {
    KeInitializeSpinLock(&m_PositionLock);
  }
  ~WavePin() override;

  NTSTATUS Init(const KSDATAFORMAT* format, ULONG formatSize);

  ULONG PinId() const override { return m_PinId; }
  NTSTATUS Property(const void* property, ULONG propertySize, void* value, ULONG valueSize,
                    ULONG* bytesReturned) override;
  ULONG BufferSize() override;
  NTSTATUS Write(ULONG offset, const void* data, ULONG bytes) override;
  NTSTATUS Read(ULONG offset, void* data, ULONG bytes) override;
  ULONG FramingSize() override { return m_FramingSize; }
  void SetServiceCallback(std::function<void()> callback) override {
    std::lock_guard<std::mutex> guard(m_CallbackLock);
    m_Callback = std::move(callback);
  }

  void Service() {
    // The port follows the stream's position at every notification (from the service
    // DPC), so the count from the start of the stream sees every wrap of the buffer.
    KIRQL irql;
    KeAcquireSpinLock(&m_PositionLock, &irql);
    UpdatePositionLocked();
    KeReleaseSpinLock(&m_PositionLock, irql);
    std::function<void()> callback;
    {
      std::lock_guard<std::mutex> guard(m_CallbackLock);
      callback = m_Callback;
    }
    if (callback) callback();
  }

 private:
  NTSTATUS SetState(KSSTATE target);
  NTSTATUS FrameworkProperty(const PropertyCall& call, ULONG* returned);
  NTSTATUS Copy(ULONG offset, BYTE* data, ULONG bytes, bool toBuffer);
  // Reads the miniport's position (at DISPATCH_LEVEL, under m_PositionLock) and adds what
  // it moved since the last reading to the stream's byte count.
  NTSTATUS UpdatePositionLocked();
  NTSTATUS AnswerPosition(const PropertyCall& call, ULONG* returned);

  CPortBase* m_Port;  // one reference
  ULONG m_PinId;
  bool m_Capture;
  bool m_Looped;
  PMINIPORTWAVECYCLICSTREAM m_Stream = nullptr;
  PDMACHANNEL m_Dma = nullptr;
  PSERVICEGROUP m_ServiceGroup = nullptr;
  CPinServiceSink* m_Sink = nullptr;
  ULONG m_FramingSize = 0;
  std::mutex m_StateLock;
  KSSTATE m_State = KSSTATE_STOP;
  std::vector<BYTE> m_Format;  // the current data format, as the client gave it
  std::mutex m_CallbackLock;
  std::function<void()> m_Callback;
  // Positions, guarded by m_PositionLock: the miniport's offset at the last reading, the
  // bytes it has moved since the stream left STOP, and the bytes the client has written.
  KSPIN_LOCK m_PositionLock;
  ULONG m_LastOffset = 0;
  ULONG64 m_Played = 0;
  ULONG64 m_Written = 0;
  ULONG m_WriteOffset = 0;  // where the client's last write ended
};

STDMETHODIMP_(void) CPinServiceSink::RequestService() {
  KIRQL old;
  KeAcquireSpinLock(&m_Lock, &old);
  if (m_Pin) m_Pin->Service();
  KeReleaseSpinLock(&m_Lock, old);
}

NTSTATUS WavePin::Init(const KSDATAFORMAT* format, ULONG formatSize) {
  m_Format.assign(reinterpret_cast<const BYTE*>(format), reinterpret_cast<const BYTE*>(format) + formatSize);
  PUNKNOWN unknown = m_Port->MiniportUnknown();
  if (!unknown) return STATUS_INVALID_DEVICE_STATE;
  PVOID object = nullptr;
  NTSTATUS status = unknown->QueryInterface(IID_IMiniportWaveCyclic, &object);
  if (!NT_SUCCESS(status)) return status;
  auto* miniport = static_cast<PMINIPORTWAVECYCLIC>(object);
  // The stream is created without an outer unknown: it counts its own references.
  status = miniport->NewStream(&m_Stream, nullptr, NonPagedPool, m_PinId, m_Capture ? TRUE : FALSE,
                               reinterpret_cast<PKSDATAFORMAT>(m_Format.data()), &m_Dma, &m_ServiceGroup);
  miniport->Release();
  if (!NT_SUCCESS(status)) {
    // A failing miniport must not hand anything out; drop whatever it did.
    if (m_Stream) m_Stream->Release();
    if (m_Dma) m_Dma->Release();
    if (m_ServiceGroup) m_ServiceGroup->Release();
    m_Stream = nullptr;
    m_Dma = nullptr;
    m_ServiceGroup = nullptr;
    return status;
  }
  if (!m_Stream || !m_Dma) return STATUS_UNSUCCESSFUL;

  m_Sink = new (NonPagedPool, kPinTag) CPinServiceSink(nullptr);
  if (!m_Sink) return STATUS_INSUFFICIENT_RESOURCES;
  m_Sink->NonDelegatingAddRef();
  m_Sink->Attach(this);
  if (m_ServiceGroup) {
    status = m_ServiceGroup->AddMember(m_Sink);
    if (!NT_SUCCESS(status)) return status;
  }
  m_Stream->SetNotificationFreq(kNotificationIntervalMs, &m_FramingSize);
  return STATUS_SUCCESS;
}

WavePin::~WavePin() {
  if (m_Stream) SetState(KSSTATE_STOP);  // a failing step leaves the stream where it got to
  if (m_Sink) {
    if (m_ServiceGroup) m_ServiceGroup->RemoveMember(m_Sink);
    m_Sink->Attach(nullptr);
    m_Sink->Release();
  }
  if (m_ServiceGroup) m_ServiceGroup->Release();
  if (m_Dma) m_Dma->Release();
  if (m_Stream) m_Stream->Release();
  m_Port->ReleasePort();
}

NTSTATUS WavePin::SetState(KSSTATE target) {
  std::lock_guard<std::mutex> guard(m_StateLock);
  while (m_State != target) {
    KSSTATE next = static_cast<KSSTATE>(m_State < target ? m_State + 1 : m_State - 1);
    // A render buffer starts out silent.
    if (!m_Capture && m_State == KSSTATE_STOP && next == KSSTATE_ACQUIRE && m_Dma && m_Dma->SystemAddress())
      m_Stream->Silence(m_Dma->SystemAddress(), m_Dma->BufferSize());
    NTSTATUS status = m_Stream->SetState(next);
    if (!NT_SUCCESS(status)) return status;
    m_State = next;
    if (m_State == KSSTATE_STOP) {
      // A stopped stream starts again from the start of the buffer.
      KIRQL irql;
      KeAcquireSpinLock(&m_PositionLock, &irql);
      m_LastOffset = 0;
      m_Played = 0;
      m_Written = 0;
      m_WriteOffset = 0;
      KeReleaseSpinLock(&m_PositionLock, irql);
    }
  }
  return STATUS_SUCCESS;
}

ULONG WavePin::BufferSize() { return m_Dma ? m_Dma->BufferSize() : 0; }

NTSTATUS WavePin::Copy(ULONG offset, BYTE* data, ULONG bytes, bool toBuffer) {
  if (bytes && !data) return STATUS_INVALID_PARAMETER;
  BYTE* base = m_Dma ? static_cast<BYTE*>(m_Dma->SystemAddress()) : nullptr;
  ULONG size = BufferSize();
  if (!base || size == 0) return STATUS_INVALID_DEVICE_STATE;
  if (offset >= size || bytes > size) return STATUS_INVALID_PARAMETER;
  ULONG first = bytes < size - offset ? bytes : size - offset;
  // The channel's copies run at DISPATCH_LEVEL, as from the port's DPC.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  if (toBuffer) {
    m_Dma->CopyTo(base + offset, data, first);
    if (bytes > first) m_Dma->CopyTo(base, data + first, bytes - first);
  } else {
    m_Dma->CopyFrom(data, base + offset, first);
    if (bytes > first) m_Dma->CopyFrom(data + first, base, bytes - first);
  }
  KeLowerIrql(old);
  return STATUS_SUCCESS;
}

NTSTATUS WavePin::Write(ULONG offset, const void* data, ULONG bytes) {
  NTSTATUS status = Copy(offset, static_cast<BYTE*>(const_cast<void*>(data)), bytes, true);
  if (NT_SUCCESS(status)) {
    KIRQL irql;
    KeAcquireSpinLock(&m_PositionLock, &irql);
    m_WriteOffset = static_cast<ULONG>((static_cast<ULONG64>(offset) + bytes) % BufferSize());
    m_Written += bytes;
    KeReleaseSpinLock(&m_PositionLock, irql);
  }
  return status;
}

NTSTATUS WavePin::Read(ULONG offset, void* data, ULONG bytes) {
  return Copy(offset, static_cast<BYTE*>(data), bytes, false);
}

NTSTATUS WavePin::Property(const void* property, ULONG propertySize, void* value, ULONG valueSize,
                           ULONG* bytesReturned) {
  ULONG scratch = 0;
  ULONG* returned = bytesReturned ? bytesReturned : &scratch;
  *returned = 0;
  const PCPIN_DESCRIPTOR* pin = PinDescriptor(m_Port->Descriptor(), m_PinId);
  if (!pin) return STATUS_INVALID_DEVICE_STATE;
  bool handled = false;
  PropertyCall call{};
  NTSTATUS status = DispatchAutomation(m_Port, pin->AutomationTable, m_Stream, property, propertySize, value,
                                       valueSize, returned, &handled, &call);
  if (handled || (!NT_SUCCESS(status) && status != STATUS_NOT_FOUND)) return status;
  return FrameworkProperty(call, returned);
}

NTSTATUS WavePin::FrameworkProperty(const PropertyCall& call, ULONG* returned) {
  bool connection = IsEqualGUID(call.set, KSPROPSETID_Connection);
  bool audio = IsEqualGUID(call.set, KSPROPSETID_Audio);
  bool known = (connection && (call.id == KSPROPERTY_CONNECTION_STATE || call.id == KSPROPERTY_CONNECTION_DATAFORMAT)) ||
               (audio && call.id == KSPROPERTY_AUDIO_POSITION);
  if (!known) return STATUS_NOT_FOUND;
  if (call.verb == KSPROPERTY_TYPE_SETSUPPORT) return STATUS_SUCCESS;
  bool settable = connection;
  if (call.verb == KSPROPERTY_TYPE_BASICSUPPORT) {
    ULONG access = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT | (settable ? KSPROPERTY_TYPE_SET : 0);
    return AnswerBytes(&access, sizeof(access), call.value, call.valueSize, returned);
  }
  if (call.verb == KSPROPERTY_TYPE_SET && !settable) return STATUS_INVALID_DEVICE_REQUEST;

  if (connection && call.id == KSPROPERTY_CONNECTION_STATE) {
    if (call.verb == KSPROPERTY_TYPE_GET) {
      std::lock_guard<std::mutex> guard(m_StateLock);
      ULONG state = m_State;
      return AnswerBytes(&state, sizeof(state), call.value, call.valueSize, returned);
    }
    if (call.valueSize < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    ULONG state;
    std::memcpy(&state, call.value, sizeof(state));
    if (state > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
    return SetState(static_cast<KSSTATE>(state));
  }
  if (connection && call.id == KSPROPERTY_CONNECTION_DATAFORMAT) {
    if (call.verb == KSPROPERTY_TYPE_GET) {
      std::lock_guard<std::mutex> guard(m_StateLock);
      return AnswerBytes(m_Format.data(), static_cast<ULONG>(m_Format.size()), call.value, call.valueSize,
                         returned);
    }
    KSDATAFORMAT header;
    if (call.valueSize < sizeof(KSDATAFORMAT)) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(&header, call.value, sizeof(header));
    if (header.FormatSize < sizeof(KSDATAFORMAT) || header.FormatSize > call.valueSize)
      return STATUS_INVALID_PARAMETER;
    std::vector<BYTE> format(static_cast<BYTE*>(call.value), static_cast<BYTE*>(call.value) + call.valueSize);
    NTSTATUS status = m_Stream->SetFormat(reinterpret_cast<PKSDATAFORMAT>(format.data()));
    if (NT_SUCCESS(status)) {
      std::lock_guard<std::mutex> guard(m_StateLock);
      m_Format = std::move(format);
      // A new format may bring a new buffer: the offset is taken afresh, not counted.
      KIRQL irql;
      KeAcquireSpinLock(&m_PositionLock, &irql);
      ULONG offset = 0;
      m_LastOffset = NT_SUCCESS(m_Stream->GetPosition(&offset)) && offset < BufferSize() ? offset : 0;
      KeReleaseSpinLock(&m_PositionLock, irql);
    }
    return status;
  }
  return AnswerPosition(call, returned);
}

NTSTATUS WavePin::UpdatePositionLocked() {
  ULONG size = BufferSize();
  if (!m_Stream || size == 0) return STATUS_INVALID_DEVICE_STATE;
  ULONG offset = 0;
  NTSTATUS status = m_Stream->GetPosition(&offset);
  if (!NT_SUCCESS(status)) return status;
  if (offset >= size) {
    platform::verifier::Report(platform::verifier::Check::InvalidArgument, "IMiniportWaveCyclicStream::GetPosition",
                               "position " + std::to_string(offset) + " outside a buffer of " + std::to_string(size));
    return STATUS_SUCCESS;  // the reading is ignored
  }
  // Between two readings (at least one per notification) a stream moves well under half
  // its buffer; a larger step is taken as the offset going back, and shows as such.
  LONG64 delta = static_cast<LONG64>((offset + static_cast<ULONG64>(size) - m_LastOffset) % size);
  if (delta > static_cast<LONG64>(size / 2)) delta -= size;
  m_Played = delta < 0 && static_cast<ULONG64>(-delta) > m_Played ? 0 : m_Played + delta;
  m_LastOffset = offset;
  return STATUS_SUCCESS;
}

// KSAUDIO_POSITION as the framework reports it for the pin's streaming interface. For
// standard streaming both offsets count bytes from the start of the stream (since the
// last STOP), never wrapped: PlayOffset what the stream has played or captured, and
// WriteOffset what the client has written (render) or PlayOffset (capture). For looped
// streaming both are offsets in the cyclic buffer.
NTSTATUS WavePin::AnswerPosition(const PropertyCall& call, ULONG* returned) {
  KSAUDIO_POSITION answer{};
  KIRQL irql;
  KeAcquireSpinLock(&m_PositionLock, &irql);  // the miniport is asked at DISPATCH_LEVEL, as from the port's DPC
  NTSTATUS status = UpdatePositionLocked();
  if (m_Looped) {
    answer.PlayOffset = m_LastOffset;
    answer.WriteOffset = m_Capture ? m_LastOffset : m_WriteOffset;
  } else {
    answer.PlayOffset = m_Played;
    answer.WriteOffset = m_Capture ? m_Played : m_Written;
  }
  KeReleaseSpinLock(&m_PositionLock, irql);
  if (!NT_SUCCESS(status)) return status;
  return AnswerBytes(&answer, sizeof(answer), call.value, call.valueSize, returned);
}

class CPortWaveCyclic final : public CPortBase, public IPortWaveCyclic {
 public:
  explicit CPortWaveCyclic(PUNKNOWN outer) : CPortBase(outer) {}
  DECLARE_STD_UNKNOWN();

  STDMETHODIMP Init(PDEVICE_OBJECT DeviceObject, PIRP, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                    PRESOURCELIST ResourceList) override {
    return InitCommon(DeviceObject, UnknownMiniport, UnknownAdapter, ResourceList,
                      [this](PUNKNOWN miniport, PUNKNOWN adapter, PRESOURCELIST resources) {
                        return InitMiniportAs<IMiniportWaveCyclic>(IID_IMiniportWaveCyclic, miniport, adapter,
                                                                 resources, this);
                      });
  }
  STDMETHODIMP GetDeviceProperty(DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                 PVOID PropertyBuffer, PULONG ResultLength) override {
    return GetDevicePropertyCommon(DeviceProperty, BufferLength, PropertyBuffer, ResultLength);
  }
  STDMETHODIMP NewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                              ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,
                              PULONG Disposition) override {
    return NewRegistryKeyCommon(OutRegistryKey, OuterUnknown, RegistryKeyType, DesiredAccess, ObjectAttributes,
                                CreateOptions, Disposition);
  }
  STDMETHODIMP_(void) Notify(PSERVICEGROUP ServiceGroup) override {
    if (ServiceGroup) ServiceGroup->RequestService();
  }

  NTSTATUS NewPin(FilterInstance*, ULONG pinId, const KSDATAFORMAT* format, ULONG formatSize, bool looped,
                  std::unique_ptr<PinObject>* pin) override {
    const PCPIN_DESCRIPTOR* descriptor = PinDescriptor(Descriptor(), pinId);
    if (!descriptor) return STATUS_INVALID_PARAMETER;
    bool capture = descriptor->KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT;
    AddRefPort();
    auto created = std::make_unique<WavePin>(this, pinId, capture, looped);
    NTSTATUS status = created->Init(format, formatSize);
    if (!NT_SUCCESS(status)) return status;  // the pin's destructor undoes what Init did
    *pin = std::move(created);
    return STATUS_SUCCESS;
  }
};

STDMETHODIMP CPortWaveCyclic::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUID(iid, IID_IPort) || IsEqualGUID(iid, IID_IPortWaveCyclic)) {
    *object = static_cast<IPortWaveCyclic*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return QueryCommon(iid, object);
}

}  // namespace

NTSTATUS NewWaveCyclicPort(PPORT* port) {
  auto* created = new (NonPagedPool, kPortClsTag) CPortWaveCyclic(nullptr);
  if (!created) return STATUS_INSUFFICIENT_RESOURCES;
  created->AddRefPort();
  *port = static_cast<IPortWaveCyclic*>(created);
  return STATUS_SUCCESS;
}

}  // namespace platform::portcls
