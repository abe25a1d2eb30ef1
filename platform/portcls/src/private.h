// Internals of the PortCls layer shared by its parts: the port base with its event list
// and subdevice state, the automation-table helpers, the filter and pin instances and
// the subdevice registry.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/clock.h"
#include "kernel/io.h"
#include "kernel/ke.h"
#include "portcls/ksclient.h"
#include "portcls/portcls.h"

namespace platform::portcls {
class EventDelivery;
}

// An enabled event as the port keeps it in its list.
struct KSEVENT_ENTRY {
  LIST_ENTRY ListEntry;
  GUID Set;
  ULONG EventId;
  ULONG Flags;           // KSEVENT_TYPE_* of the enable request
  BOOLEAN NodeEvent;     // enabled on a node (KSEVENT_TYPE_TOPOLOGY)
  ULONG NodeId;          // the node, or ULONG_MAX
  ULONG PinId;           // the pin, or ULONG_MAX
  BOOLEAN InList;        // added to the port's list by the miniport
  const PCEVENT_ITEM* EventItem;
  std::shared_ptr<std::function<void()>> Callback;
  std::shared_ptr<platform::portcls::EventDelivery> Delivery;  // the client's, which runs the callback
};

namespace platform::portcls {

constexpr ULONG kNoNode = 0xFFFFFFFFu;
constexpr ULONG kPortClsTag = MakePoolTag('P', 'c', 'P', 't');

// Private interface ID by which the layer finds its own port behind an IUnknown.
KS_DEFINE_GUID(IID_IPortClsSubdevice, 0x5F7C1D0A, 0x3B52, 0x4E0F, 0x9C, 0x61, 0x2D, 0x8E, 0x47, 0x1A, 0xB3, 0x90);

class CPortBase;
class FilterInstance;

// Delivers signalled events to a client as the framework does: the signalling context
// (any IRQL up to DISPATCH_LEVEL, possibly under the driver's locks) only queues them, and
// a thread of the client's runs the callbacks later, in order, at PASSIVE_LEVEL.
class EventDelivery {
 public:
  EventDelivery();
  ~EventDelivery();
  using Callback = std::shared_ptr<std::function<void()>>;
  void Post(const Callback& callback);
  // Drops what is queued for a callback (its event is being disabled) and waits for a
  // run of it already under way: the callback is not running once this returns.
  void Cancel(const Callback& callback);
  // Ends the thread (at PASSIVE_LEVEL); later posts are dropped.
  void Stop();

 private:
  void Run();
  KSPIN_LOCK m_Lock;
  std::deque<Callback> m_Queue;
  Callback m_Running;  // the callback running on the thread, if any
  bool m_Stopping = false;
  KEVENT m_Work;
  KEVENT m_Idle;  // notification: signalled while no callback runs
  std::unique_ptr<platform::clock::Thread> m_Thread;
};

// Pin instance of a port (the WaveCyclic port makes them).
class PinObject : public ks::Pin {
 public:
  virtual ULONG PinId() const = 0;
};

// Base of the WaveCyclic and topology ports: the miniport and its descriptor, the event
// list, the unregistration interfaces and the subdevice state the registry keeps.
class CPortBase : public CUnknown,
                  public IPortEvents,
                  public IPortClsVersion,
                  public IUnregisterSubdevice,
                  public IUnregisterPhysicalConnection {
 public:
  explicit CPortBase(PUNKNOWN outer);
  ~CPortBase() override;

  // IPortEvents
  STDMETHODIMP_(void) AddEventToEventList(PKSEVENT_ENTRY EventEntry) override;
  STDMETHODIMP_(void) GenerateEventList(GUID* Set, ULONG EventId, BOOLEAN PinEvent, ULONG PinId,
                                        BOOLEAN NodeEvent, ULONG NodeId) override;
  // IPortClsVersion
  STDMETHODIMP_(DWORD) GetVersion() override;
  // IUnregisterSubdevice
  STDMETHODIMP UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) override;
  // IUnregisterPhysicalConnection
  STDMETHODIMP UnregisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                            PUNKNOWN ToUnknown, ULONG ToPin) override;
  STDMETHODIMP UnregisterPhysicalConnectionToExternal(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                                      ULONG FromPin, PUNICODE_STRING ToString,
                                                      ULONG ToPin) override;
  STDMETHODIMP UnregisterPhysicalConnectionFromExternal(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING FromString,
                                                        ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin) override;

  bool Initialized() const { return m_Descriptor != nullptr; }
  const PCFILTER_DESCRIPTOR* Descriptor() const { return m_Descriptor; }
  PUNKNOWN MiniportUnknown() const { return m_Miniport; }
  PMINIPORTAUDIOSIGNALPROCESSING SignalProcessing() const { return m_SignalProcessing; }
  PDEVICE_OBJECT DeviceObject() const { return m_DeviceObject; }

  // Creates a pin instance; ports without streaming pins refuse.
  // looped: the client connected with KSINTERFACE_STANDARD_LOOPED_STREAMING, so positions
  // are offsets in the cyclic buffer rather than byte counts from the start of the stream.
  virtual NTSTATUS NewPin(FilterInstance* filter, ULONG pinId, const KSDATAFORMAT* format, ULONG formatSize,
                          bool looped, std::unique_ptr<PinObject>* pin);

  // Power state change, passed on to the miniport's IPowerNotify.
  void PowerChangeNotify(POWER_STATE state);

  // Filter instances and pin instance counts.
  void FilterOpened();
  void FilterClosed();
  bool TryAddPinInstance(ULONG pinId);
  void RemovePinInstance(ULONG pinId);
  ULONG PinInstances(ULONG pinId);

  // The subdevice was unregistered: the port lets go of its miniport once no filter
  // instance is open (this breaks the port <-> miniport reference cycle).
  void SubdeviceUnregistered();

  // Takes an entry out of the event list (for a disable or a closing filter).
  void RemoveEvent(PKSEVENT_ENTRY entry);

  // Port-wide reference-counting helpers used by the layer.
  ULONG AddRefPort() { return NonDelegatingAddRef(); }
  ULONG ReleasePort() { return NonDelegatingRelease(); }

 protected:
  NTSTATUS QueryCommon(REFIID iid, PVOID* object);
  // Shared part of IPort::Init; initMiniport queries the miniport's own interface and
  // calls its Init with this port.
  NTSTATUS InitCommon(PDEVICE_OBJECT DeviceObject, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                      PRESOURCELIST ResourceList,
                      const std::function<NTSTATUS(PUNKNOWN, PUNKNOWN, PRESOURCELIST)>& initMiniport);
  // The usual initMiniport: queries the miniport for interface iid (of type Miniport) and
  // calls its Init with the adapter, the resources and port.
  template <class Miniport, class Port>
  static NTSTATUS InitMiniportAs(REFIID iid, PUNKNOWN miniport, PUNKNOWN adapter, PRESOURCELIST resources,
                                 Port* port) {
    PVOID object = nullptr;
    NTSTATUS status = miniport->QueryInterface(iid, &object);
    if (!NT_SUCCESS(status)) return status;
    auto* typed = static_cast<Miniport*>(object);
    status = typed->Init(adapter, resources, port);
    typed->Release();
    return status;
  }
  NTSTATUS GetDevicePropertyCommon(DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer, PULONG result);
  NTSTATUS NewRegistryKeyCommon(PREGISTRYKEY* key, PUNKNOWN outer, ULONG type, ACCESS_MASK access,
                                POBJECT_ATTRIBUTES attributes, ULONG options, PULONG disposition);
  void ReleaseChildren();

  PDEVICE_OBJECT m_DeviceObject = nullptr;
  PUNKNOWN m_Miniport = nullptr;  // the miniport's IMiniport (one reference)
  PPOWERNOTIFY m_PowerNotify = nullptr;
  PMINIPORTAUDIOSIGNALPROCESSING m_SignalProcessing = nullptr;
  const PCFILTER_DESCRIPTOR* m_Descriptor = nullptr;

  std::mutex m_EventLock;
  LIST_ENTRY m_EventList;

  std::mutex m_StateLock;
  ULONG m_OpenFilters = 0;
  bool m_Unregistered = false;
  std::vector<ULONG> m_PinInstances;  // instances per pin, over all filter instances
  bool m_Initializing = false;
};

// The port behind an IUnknown, with a reference added; null when it is no port of ours.
CPortBase* PortFromUnknown(PUNKNOWN unknown);

// ---------------------------------------------------------------------------------------
// Automation tables and the KS size rules

const PCPROPERTY_ITEM* FindPropertyItem(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id,
                                        bool* setFound);
const PCEVENT_ITEM* FindEventItem(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id, bool* setFound);

// A descriptor's element at an index, using the descriptor's element size.
const PCPIN_DESCRIPTOR* PinDescriptor(const PCFILTER_DESCRIPTOR* filter, ULONG pinId);
const PCNODE_DESCRIPTOR* NodeDescriptor(const PCFILTER_DESCRIPTOR* filter, ULONG nodeId);

// Answers a GET with bytes computed by the framework: a zero-size buffer gets the size
// and STATUS_BUFFER_OVERFLOW, a short one STATUS_BUFFER_TOO_SMALL.
NTSTATUS AnswerBytes(const void* data, ULONG size, void* value, ULONG valueSize, ULONG* returned);

// One property request on its way to an automation table.
struct PropertyCall {
  GUID set;
  ULONG id;
  ULONG verb;  // KSPROPERTY_TYPE_GET, SET, BASICSUPPORT or SETSUPPORT
  ULONG node;  // kNoNode unless addressed to a node
  const BYTE* instance;
  ULONG instanceSize;
  void* value;
  ULONG valueSize;
  const BYTE* request;  // the whole request (KSPROPERTY or KSP_NODE, and the instance)
  ULONG requestSize;
  PUNKNOWN majorTarget;
  PUNKNOWN minorTarget;
};

// Success, informational and warning statuses carry data and a byte count back to the
// caller; errors do not.
bool CarriesData(NTSTATUS status);

// Runs the request through a table. Returns STATUS_NOT_FOUND (with *handled false) when
// the table has no item for it.
NTSTATUS DispatchToTable(const PCAUTOMATION_TABLE* table, const PropertyCall& call, ULONG* returned,
                         bool* handled);

// Parses the KSPROPERTY header of a request; the verb must be one of GET, SET,
// BASICSUPPORT and SETSUPPORT.
NTSTATUS ParsePropertyHeader(const void* property, ULONG propertySize, KSPROPERTY* header, ULONG* verb);

// ---------------------------------------------------------------------------------------
// Filter instances

class FilterInstance final : public ks::Filter {
 public:
  explicit FilterInstance(CPortBase* port);  // takes over one port reference
  ~FilterInstance() override;

  NTSTATUS Property(const void* property, ULONG propertySize, void* value, ULONG valueSize,
                    ULONG* bytesReturned) override;
  NTSTATUS EnableEvent(const void* event, ULONG eventSize, std::function<void()> callback,
                       ks::EventHandle* handle) override;
  NTSTATUS DisableEvent(ks::EventHandle handle) override;
  NTSTATUS CreatePin(const void* connect, ULONG connectSize, std::unique_ptr<ks::Pin>* pin) override;

  // Pin instances of this filter instance, shared with its pins (which may outlive it).
  struct PinCounts {
    std::mutex lock;
    std::vector<ULONG> open;
    void Closed(ULONG pinId);
    ULONG Count(ULONG pinId);
  };

  CPortBase* Port() const { return m_Port; }
  ULONG PinInstances(ULONG pinId) { return m_Pins->Count(pinId); }

 private:
  NTSTATUS FrameworkProperty(const PropertyCall& call, const KSPROPERTY& header, ULONG* returned, bool* handled);
  NTSTATUS PinProperty(const PropertyCall& call, ULONG* returned);
  NTSTATUS TopologyProperty(const PropertyCall& call, ULONG* returned);
  NTSTATUS DataIntersection(ULONG pinId, const BYTE* ranges, ULONG rangesSize, void* value, ULONG valueSize,
                            ULONG* returned);
  // Tells the miniport's handler an event is going away, then takes it off the port's
  // list and frees it.
  void RemoveEventEntry(PKSEVENT_ENTRY entry);

  CPortBase* m_Port;
  std::shared_ptr<PinCounts> m_Pins;
  std::mutex m_Lock;
  std::vector<PKSEVENT_ENTRY> m_Events;
  std::shared_ptr<EventDelivery> m_Delivery;  // made with the first enabled event
};

// Node and pin property dispatch shared by filters and pins: a TOPOLOGY request goes to
// the node's table, the rest to the given table. Sets *handled when a table took it.
NTSTATUS DispatchAutomation(CPortBase* port, const PCAUTOMATION_TABLE* table, PUNKNOWN minorTarget,
                            const void* property, ULONG propertySize, void* value, ULONG valueSize,
                            ULONG* returned, bool* handled, PropertyCall* parsed);

// Opens a filter instance on the spot, without a request: PortCls's own create
// dispatch, and clients of a device PortCls did not add (a miniport under test).
NTSTATUS OpenFilterInstance(PDEVICE_OBJECT device, const std::u16string& name, std::unique_ptr<ks::Filter>* filter);

// ---------------------------------------------------------------------------------------
// KS handles
//
// A client of an adapter's functional device opens filters and pins with IRP_MJ_CREATE
// (a pin relative to its filter's file object, under KSSTRING_Pin, its KSPIN_CONNECT and
// data format in the system buffer with Parameters.Create.EaLength as its size), sends
// IOCTL_KS_PROPERTY, IOCTL_KS_ENABLE_EVENT and IOCTL_KS_DISABLE_EVENT (METHOD_NEITHER:
// the request as Type3InputBuffer, the value as UserBuffer); the last handle's close sends
// IRP_MJ_CLEANUP and the file object's last reference IRP_MJ_CLOSE.
// Every request passes the driver's dispatch routines first.

// FsContext2 of a file object PortCls opened: FsContext holds its KsFile until the close.
inline constexpr ULONG_PTR kKsFileOpen = 0x4B734F70;  // 'KsOp'
// The mark is read by the client's thread while the close may clear it.
inline ULONG_PTR KsFileMark(PFILE_OBJECT file) {
  return reinterpret_cast<ULONG_PTR>(std::atomic_ref<PVOID>(file->FsContext2).load());
}
inline void SetKsFileMark(PFILE_OBJECT file, ULONG_PTR mark) {
  std::atomic_ref<PVOID>(file->FsContext2).store(reinterpret_cast<PVOID>(mark));
}

// What a file object opened on a filter or a pin holds. The client's handle shares the
// objects: a pin's cyclic buffer is mapped into the client, which moves data through it
// without requests, and the objects live until both sides have let go.
struct KsFile {
  std::shared_ptr<ks::Filter> filter;  // exactly one of the two
  std::shared_ptr<ks::Pin> pin;
};

// The value buffer of IOCTL_KS_ENABLE_EVENT on this platform: the callback the event runs
// in, and the handle the enabled event gets (the input buffer of IOCTL_KS_DISABLE_EVENT).
struct KsEventRegistration {
  std::function<void()> callback;
  ks::EventHandle handle = 0;
};

// Whether the device is a functional device PortCls added, not yet removed, whose driver
// dispatches creates, closes and I/O controls: its clients go through requests.
bool DispatchesKsRequests(PDEVICE_OBJECT device);

// ---------------------------------------------------------------------------------------
// Subdevice registry

NTSTATUS RegistryAddSubdevice(PDEVICE_OBJECT device, const std::u16string& name, CPortBase* port);
NTSTATUS RegistryRemoveSubdevice(PDEVICE_OBJECT device, CPortBase* port);
CPortBase* RegistryFindSubdevice(PDEVICE_OBJECT device, const std::u16string& name);  // referenced
// The registered name of a port, empty when it is not registered.
std::u16string RegistryNameOf(CPortBase* port);
// Forgets every connection that names the port (the port is going away).
void RegistryForgetPort(CPortBase* port);
// Unregisters every subdevice of the device (device removal).
void RegistryRemoveDevice(PDEVICE_OBJECT device);
// Ports of a device (referenced), for power notifications.
std::vector<CPortBase*> RegistryPortsOf(PDEVICE_OBJECT device);

struct ConnectionEnd {
  CPortBase* port;        // null for an external end
  std::u16string external;
  ULONG pin;
};
NTSTATUS RegistryAddConnection(PDEVICE_OBJECT device, const ConnectionEnd& from, const ConnectionEnd& to);
NTSTATUS RegistryRemoveConnection(PDEVICE_OBJECT device, const ConnectionEnd& from, const ConnectionEnd& to);
// Resolves both ends of a physical connection (a port given by its unknown, or an external
// filter by name), applies change to them and drops the port references taken.
using ConnectionChange = NTSTATUS (*)(PDEVICE_OBJECT device, const ConnectionEnd& from, const ConnectionEnd& to);
NTSTATUS ApplyPhysicalConnection(ConnectionChange change, PDEVICE_OBJECT device, PUNKNOWN fromUnknown,
                                 PCUNICODE_STRING fromName, ULONG fromPin, PUNKNOWN toUnknown,
                                 PCUNICODE_STRING toName, ULONG toPin);
// The connection at a pin of a port, seen from that pin: the other end's symbolic link
// (or name) and pin.
bool RegistryConnectionAt(CPortBase* port, ULONG pin, std::u16string* otherName, ULONG* otherPin);

// The physical device object below an adapter's functional device (the device itself
// when PortCls did not create it).
PDEVICE_OBJECT PhysicalDeviceOf(PDEVICE_OBJECT device);

// Converts a zero-terminated wide string (bounded) into a u16string.
std::u16string WideToString(PCWSTR text, size_t maxChars = 256);
std::u16string UnicodeToString(PCUNICODE_STRING text);

}  // namespace platform::portcls
