// The audio port-class framework (PortCls): adapter functions, the WaveCyclic and
// topology ports, the miniport interfaces the ports call, descriptors and automation
// tables, property and event requests, service groups, port events, registry keys,
// resource lists, power management and DRM forwarding.
#pragma once

#include <source_location>
#include "kernel/ntdef.h"
#include "kernel/pool.h"
#include "kernel/unknown.h"
#include "portcls/kernel_types.h"
#include "portcls/ks.h"
#include "portcls/ksmedia.h"

// ---------------------------------------------------------------------------------------
// Class and interface IDs

KS_DEFINE_GUID(CLSID_PortTopology, 0xB4C90A32, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
KS_DEFINE_GUID(CLSID_PortWaveCyclic, 0xB4C90A2A, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
KS_DEFINE_GUID(CLSID_PortMidi, 0xB4C90A43, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
KS_DEFINE_GUID(CLSID_PortWavePci, 0xB4C90A54, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);

KS_DEFINE_GUID(IID_IMiniport, 0xB4C90A24, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
KS_DEFINE_GUID(IID_IPort, 0xB4C90A25, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
KS_DEFINE_GUID(IID_IPortWaveCyclic, 0xB4C90A26, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
KS_DEFINE_GUID(IID_IMiniportWaveCyclic, 0xB4C90A27, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
KS_DEFINE_GUID(IID_IMiniportWaveCyclicStream, 0xB4C90A28, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
KS_DEFINE_GUID(IID_IPortTopology, 0xB4C90A30, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
KS_DEFINE_GUID(IID_IMiniportTopology, 0xB4C90A31, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
KS_DEFINE_GUID(IID_IResourceList, 0x22C6AC60, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
KS_DEFINE_GUID(IID_IDmaChannel, 0x22C6AC61, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
KS_DEFINE_GUID(IID_IServiceSink, 0x22C6AC64, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
KS_DEFINE_GUID(IID_IServiceGroup, 0x22C6AC65, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
KS_DEFINE_GUID(IID_IRegistryKey, 0xE8DA4302, 0xF304, 0x11D0, 0x95, 0x8B, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
KS_DEFINE_GUID(IID_IPortEvents, 0xA80F29C4, 0x5498, 0x11D2, 0x95, 0xD9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
KS_DEFINE_GUID(IID_IAdapterPowerManagement, 0x793417D0, 0x35FE, 0x11D1, 0xAD, 0x08, 0x00, 0xA0, 0xC9, 0x0A, 0xB1, 0xB0);
KS_DEFINE_GUID(IID_IPowerNotify, 0x3DD648B8, 0x969F, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
KS_DEFINE_GUID(IID_IPortClsVersion, 0x7D89A7BB, 0x869B, 0x4567, 0x8D, 0xBE, 0x1E, 0x16, 0x8C, 0xC8, 0x53, 0xDE);
KS_DEFINE_GUID(IID_IDrmAudioStream, 0x1915C967, 0x3299, 0x48CB, 0xA3, 0xE4, 0x69, 0xFD, 0x1D, 0x1B, 0x30, 0x6E);
KS_DEFINE_GUID(IID_IUnregisterSubdevice, 0x16738177, 0xE199, 0x41F9, 0x9A, 0x87, 0xAB, 0xB2, 0xA5, 0x43, 0x2F, 0x21);
KS_DEFINE_GUID(IID_IUnregisterPhysicalConnection, 0x6C38E231, 0x2A0D, 0x428D, 0x81, 0xF8, 0x07, 0xCC, 0x42, 0x8B, 0xB1, 0x64);
KS_DEFINE_GUID(IID_IMiniportAudioSignalProcessing, 0xB532678C, 0x8E79, 0x4B75, 0xA1, 0x5D, 0x8E, 0x4E, 0xDE, 0x95, 0xBC, 0x2C);

// ---------------------------------------------------------------------------------------
// Descriptors and automation tables

struct IPort;
struct IMiniport;
struct IServiceGroup;
struct IRegistryKey;
struct IResourceList;
struct PCPROPERTY_REQUEST;
struct PCMETHOD_REQUEST;
struct PCEVENT_REQUEST;
using PPCPROPERTY_REQUEST = PCPROPERTY_REQUEST*;
using PPCMETHOD_REQUEST = PCMETHOD_REQUEST*;
using PPCEVENT_REQUEST = PCEVENT_REQUEST*;

using PCPFNPROPERTY_HANDLER = NTSTATUS (*)(PPCPROPERTY_REQUEST PropertyRequest);
using PCPFNMETHOD_HANDLER = NTSTATUS (*)(PPCMETHOD_REQUEST MethodRequest);
using PCPFNEVENT_HANDLER = NTSTATUS (*)(PPCEVENT_REQUEST EventRequest);

struct PCPROPERTY_ITEM {
  const GUID* Set;
  ULONG Id;
  ULONG Flags;
  PCPFNPROPERTY_HANDLER Handler;
};
using PPCPROPERTY_ITEM = PCPROPERTY_ITEM*;
constexpr ULONG PCPROPERTY_ITEM_FLAG_GET = KSPROPERTY_TYPE_GET;
constexpr ULONG PCPROPERTY_ITEM_FLAG_SET = KSPROPERTY_TYPE_SET;
constexpr ULONG PCPROPERTY_ITEM_FLAG_BASICSUPPORT = KSPROPERTY_TYPE_BASICSUPPORT;
constexpr ULONG PCPROPERTY_ITEM_FLAG_DEFAULTVALUES = KSPROPERTY_TYPE_DEFAULTVALUES;
constexpr ULONG PCPROPERTY_ITEM_FLAG_SERIALIZERAW = KSPROPERTY_TYPE_SERIALIZERAW;
constexpr ULONG PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW = KSPROPERTY_TYPE_UNSERIALIZERAW;
constexpr ULONG PCPROPERTY_ITEM_FLAG_SERIALIZESIZE = KSPROPERTY_TYPE_SERIALIZESIZE;

struct PCMETHOD_ITEM {
  const GUID* Set;
  ULONG Id;
  ULONG Flags;
  PCPFNMETHOD_HANDLER Handler;
};

struct PCEVENT_ITEM {
  const GUID* Set;
  ULONG Id;
  ULONG Flags;
  PCPFNEVENT_HANDLER Handler;
};
using PPCEVENT_ITEM = PCEVENT_ITEM*;
constexpr ULONG PCEVENT_ITEM_FLAG_ENABLE = KSEVENT_TYPE_ENABLE;
constexpr ULONG PCEVENT_ITEM_FLAG_ONESHOT = KSEVENT_TYPE_ONESHOT;
constexpr ULONG PCEVENT_ITEM_FLAG_BASICSUPPORT = KSEVENT_TYPE_BASICSUPPORT;

struct PCAUTOMATION_TABLE {
  ULONG PropertyItemSize;
  ULONG PropertyCount;
  const PCPROPERTY_ITEM* Properties;
  ULONG MethodItemSize;
  ULONG MethodCount;
  const PCMETHOD_ITEM* Methods;
  ULONG EventItemSize;
  ULONG EventCount;
  const PCEVENT_ITEM* Events;
  ULONG Reserved;
};
using PPCAUTOMATION_TABLE = PCAUTOMATION_TABLE*;

struct PCPIN_DESCRIPTOR {
  ULONG MaxGlobalInstanceCount;
  ULONG MaxFilterInstanceCount;
  ULONG MinFilterInstanceCount;
  const PCAUTOMATION_TABLE* AutomationTable;
  KSPIN_DESCRIPTOR KsPinDescriptor;
};
using PPCPIN_DESCRIPTOR = PCPIN_DESCRIPTOR*;
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112);

struct PCNODE_DESCRIPTOR {
  ULONG Flags;
  const PCAUTOMATION_TABLE* AutomationTable;
  const GUID* Type;
  const GUID* Name;
};
using PPCNODE_DESCRIPTOR = PCNODE_DESCRIPTOR*;
static_assert(sizeof(PCNODE_DESCRIPTOR) == 32);

constexpr ULONG PCFILTER_NODE = KSFILTER_NODE;
struct PCCONNECTION_DESCRIPTOR {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
};
using PPCCONNECTION_DESCRIPTOR = PCCONNECTION_DESCRIPTOR*;

struct PCFILTER_DESCRIPTOR {
  ULONG Version;
  const PCAUTOMATION_TABLE* AutomationTable;
  ULONG PinSize;
  ULONG PinCount;
  const PCPIN_DESCRIPTOR* Pins;
  ULONG NodeSize;
  ULONG NodeCount;
  const PCNODE_DESCRIPTOR* Nodes;
  ULONG ConnectionCount;
  const PCCONNECTION_DESCRIPTOR* Connections;
  ULONG CategoryCount;
  const GUID* Categories;
};
using PPCFILTER_DESCRIPTOR = PCFILTER_DESCRIPTOR*;

// A property request as a handler of an automation table sees it. Instance is what the
// client passed after the KSPROPERTY (or after the KSP_NODE for node properties).
struct PCPROPERTY_REQUEST {
  PUNKNOWN MajorTarget;  // the miniport
  PUNKNOWN MinorTarget;  // the stream of a pin request, else null
  ULONG Node;            // ULONG(-1) for filter and pin requests
  const PCPROPERTY_ITEM* PropertyItem;
  ULONG Verb;
  ULONG InstanceSize;
  PVOID Instance;
  ULONG ValueSize;  // in: bytes available; out: bytes written (or needed)
  PVOID Value;
  PIRP Irp;
};

struct PCMETHOD_REQUEST {
  PUNKNOWN MajorTarget;
  PUNKNOWN MinorTarget;
  ULONG Node;
  const PCMETHOD_ITEM* MethodItem;
  ULONG Verb;
};

// An enabled event as the port keeps it; handed to AddEventToEventList by the miniport.
struct KSEVENT_ENTRY;
using PKSEVENT_ENTRY = KSEVENT_ENTRY*;
using PCEVENT_ENTRY = KSEVENT_ENTRY;
using PPCEVENT_ENTRY = PCEVENT_ENTRY*;

struct PCEVENT_REQUEST {
  PUNKNOWN MajorTarget;
  PUNKNOWN MinorTarget;
  ULONG Node;
  const PCEVENT_ITEM* EventItem;
  PPCEVENT_ENTRY EventEntry;
  ULONG Verb;
  PIRP Irp;
};
constexpr ULONG PCEVENT_VERB_NONE = 0;
constexpr ULONG PCEVENT_VERB_ADD = 1;
constexpr ULONG PCEVENT_VERB_REMOVE = 2;
constexpr ULONG PCEVENT_VERB_SUPPORT = 4;

// ---------------------------------------------------------------------------------------
// Interfaces

struct IResourceList : IUnknown {
  STDMETHOD_(ULONG, NumberOfEntries)() = 0;
  STDMETHOD_(ULONG, NumberOfEntriesOfType)(CM_RESOURCE_TYPE Type) = 0;
  STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindTranslatedEntry)(CM_RESOURCE_TYPE Type, ULONG Index) = 0;
  STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindUntranslatedEntry)(CM_RESOURCE_TYPE Type, ULONG Index) = 0;
  STDMETHOD(AddEntry)(PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated, PCM_PARTIAL_RESOURCE_DESCRIPTOR Untranslated) = 0;
  STDMETHOD(AddEntryFromParent)(IResourceList* Parent, CM_RESOURCE_TYPE Type, ULONG Index) = 0;
  STDMETHOD_(PCM_RESOURCE_LIST, TranslatedList)() = 0;
  STDMETHOD_(PCM_RESOURCE_LIST, UntranslatedList)() = 0;
};
using PRESOURCELIST = IResourceList*;

struct IRegistryKey : IUnknown {
  STDMETHOD(QueryKey)(KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                      PULONG ResultLength) = 0;
  STDMETHOD(EnumerateKey)(ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                          ULONG Length, PULONG ResultLength) = 0;
  STDMETHOD(QueryValueKey)(PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                           PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) = 0;
  STDMETHOD(EnumerateValueKey)(ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) = 0;
  STDMETHOD(SetValueKey)(PUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize) = 0;
  STDMETHOD(QueryRegistryValues)(PVOID QueryTable, PVOID Context) = 0;
  STDMETHOD(NewSubKey)(IRegistryKey** SubKey, PUNKNOWN OuterUnknown, ACCESS_MASK DesiredAccess,
                       PUNICODE_STRING SubKeyName, ULONG CreateOptions, PULONG Disposition) = 0;
  STDMETHOD(DeleteKey)() = 0;
};
using PREGISTRYKEY = IRegistryKey*;

// Registry key kinds of PcNewRegistryKey and IPort::NewRegistryKey.
enum PC_REGISTRY_KEY_TYPE : ULONG {
  GeneralRegistryKey = 0,
  DeviceRegistryKey = 1,
  DriverRegistryKey = 2,
  HwProfileRegistryKey = 3,
  DeviceInterfaceRegistryKey = 4,
};

struct IServiceSink : IUnknown {
  STDMETHOD_(void, RequestService)() = 0;
};
using PSERVICESINK = IServiceSink*;

struct IServiceGroup : IServiceSink {
  STDMETHOD(AddMember)(PSERVICESINK ServiceSink) = 0;
  STDMETHOD_(void, RemoveMember)(PSERVICESINK ServiceSink) = 0;
  STDMETHOD_(void, SupportDelayedService)() = 0;
  STDMETHOD_(void, RequestDelayedService)(ULONGLONG ullDelay) = 0;
  STDMETHOD_(void, CancelDelayedService)() = 0;
};
using PSERVICEGROUP = IServiceGroup*;

struct IDmaChannel : IUnknown {
  STDMETHOD(AllocateBuffer)(ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint) = 0;
  STDMETHOD_(void, FreeBuffer)() = 0;
  STDMETHOD_(ULONG, TransferCount)() = 0;
  STDMETHOD_(ULONG, MaximumBufferSize)() = 0;
  STDMETHOD_(ULONG, AllocatedBufferSize)() = 0;
  STDMETHOD_(ULONG, BufferSize)() = 0;
  STDMETHOD_(void, SetBufferSize)(ULONG BufferSize) = 0;
  STDMETHOD_(PVOID, SystemAddress)() = 0;
  STDMETHOD_(PPHYSICAL_ADDRESS, PhysicalAddress)(PPHYSICAL_ADDRESS PhysicalAddress) = 0;
  STDMETHOD_(PADAPTER_OBJECT, GetAdapterObject)() = 0;
  STDMETHOD_(void, CopyTo)(PVOID Destination, PVOID Source, ULONG ByteCount) = 0;
  STDMETHOD_(void, CopyFrom)(PVOID Destination, PVOID Source, ULONG ByteCount) = 0;
};
using PDMACHANNEL = IDmaChannel*;

struct IPort : IUnknown {
  STDMETHOD(Init)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                  PRESOURCELIST ResourceList) = 0;
  STDMETHOD(GetDeviceProperty)(DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                               PVOID PropertyBuffer, PULONG ResultLength) = 0;
  STDMETHOD(NewRegistryKey)(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                            ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,
                            PULONG Disposition) = 0;
};
using PPORT = IPort*;

struct IMiniport : IUnknown {
  STDMETHOD(GetDescription)(PPCFILTER_DESCRIPTOR* Description) = 0;
  STDMETHOD(DataRangeIntersection)(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                   ULONG OutputBufferLength, PVOID ResultantFormat,
                                   PULONG ResultantFormatLength) = 0;
};
using PMINIPORT = IMiniport*;

struct IPortTopology : IPort {};
using PPORTTOPOLOGY = IPortTopology*;

struct IMiniportTopology : IMiniport {
  STDMETHOD(Init)(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTTOPOLOGY Port) = 0;
};
using PMINIPORTTOPOLOGY = IMiniportTopology*;

struct IPortWaveCyclic : IPort {
  // Tells the port that the stream of the service group has moved on; the port then
  // services every sink of the group.
  STDMETHOD_(void, Notify)(PSERVICEGROUP ServiceGroup) = 0;
};
using PPORTWAVECYCLIC = IPortWaveCyclic*;

struct IMiniportWaveCyclicStream : IUnknown {
  STDMETHOD(SetFormat)(PKSDATAFORMAT DataFormat) = 0;
  STDMETHOD_(ULONG, SetNotificationFreq)(ULONG Interval, PULONG FramingSize) = 0;
  STDMETHOD(SetState)(KSSTATE State) = 0;
  STDMETHOD(GetPosition)(PULONG Position) = 0;
  STDMETHOD(NormalizePhysicalPosition)(PLONGLONG PhysicalPosition) = 0;
  STDMETHOD_(void, Silence)(PVOID Buffer, ULONG ByteCount) = 0;
};
using PMINIPORTWAVECYCLICSTREAM = IMiniportWaveCyclicStream*;

struct IMiniportWaveCyclic : IMiniport {
  STDMETHOD(Init)(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port) = 0;
  STDMETHOD(NewStream)(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG Pin,
                       BOOLEAN Capture, PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,
                       PSERVICEGROUP* ServiceGroup) = 0;
};
using PMINIPORTWAVECYCLIC = IMiniportWaveCyclic*;

struct IPortEvents : IUnknown {
  STDMETHOD_(void, AddEventToEventList)(PKSEVENT_ENTRY EventEntry) = 0;
  STDMETHOD_(void, GenerateEventList)(GUID* Set, ULONG EventId, BOOLEAN PinEvent, ULONG PinId, BOOLEAN NodeEvent,
                                      ULONG NodeId) = 0;
};
using PPORTEVENTS = IPortEvents*;

// Versions IPortClsVersion::GetVersion reports.
enum : DWORD {
  kVersionInvalid = 0xFFFFFFFFu,
  kVersionWin98 = 1,
  kVersionWin98SE = 2,
  kVersionWin2K = 3,
  kVersionWin98SE_QFE2 = 4,
  kVersionWin2K_SP2 = 5,
  kVersionWinME = 6,
  kVersionWin98SE_QFE3 = 7,
  kVersionWinME_QFE1 = 8,
  kVersionWinXP = 9,
  kVersionWinXPSP1 = 10,
  kVersionWinServer2003 = 11,
  kVersionWin2K_UAAQFE = 12,
  kVersionWinXP_UAAQFE = 13,
  kVersionWinServer2003_UAAQFE = 14,
  kVersionWindowsLonghorn = 15,
};

struct IPortClsVersion : IUnknown {
  STDMETHOD_(DWORD, GetVersion)() = 0;
};
using PPORTCLSVERSION = IPortClsVersion*;

struct IUnregisterSubdevice : IUnknown {
  STDMETHOD(UnregisterSubdevice)(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) = 0;
};
using PUNREGISTERSUBDEVICE = IUnregisterSubdevice*;

struct IUnregisterPhysicalConnection : IUnknown {
  STDMETHOD(UnregisterPhysicalConnection)(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                          PUNKNOWN ToUnknown, ULONG ToPin) = 0;
  STDMETHOD(UnregisterPhysicalConnectionToExternal)(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                                    ULONG FromPin, PUNICODE_STRING ToString, ULONG ToPin) = 0;
  STDMETHOD(UnregisterPhysicalConnectionFromExternal)(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING FromString,
                                                      ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin) = 0;
};
using PUNREGISTERPHYSICALCONNECTION = IUnregisterPhysicalConnection*;

struct IAdapterPowerManagement : IUnknown {
  STDMETHOD_(void, PowerChangeState)(POWER_STATE NewState) = 0;
  STDMETHOD(QueryPowerChangeState)(POWER_STATE NewStateQuery) = 0;
  STDMETHOD(QueryDeviceCapabilities)(PDEVICE_CAPABILITIES PowerDeviceCaps) = 0;
};
using PADAPTERPOWERMANAGEMENT = IAdapterPowerManagement*;

struct IPowerNotify : IUnknown {
  STDMETHOD_(void, PowerChangeNotify)(POWER_STATE PowerState) = 0;
};
using PPOWERNOTIFY = IPowerNotify*;

// DRM content rights and the forwarding record of PcForwardContentToDeviceObject.
struct DRMRIGHTS {
  INT CopyProtect;  // BOOL
  ULONG Reserved;
  INT DigitalOutputDisable;  // BOOL
};
using PDRMRIGHTS = DRMRIGHTS*;
using PCDRMRIGHTS = const DRMRIGHTS*;

struct DRMFORWARD {
  DWORD Flags;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PVOID Context;
};
using PDRMFORWARD = DRMFORWARD*;
using PCDRMFORWARD = const DRMFORWARD*;
constexpr DWORD DRMFORWARD_FLAGS_NONE = 0;

struct IDrmAudioStream : IUnknown {
  STDMETHOD(SetContentId)(ULONG ContentId, PCDRMRIGHTS DrmRights) = 0;
};
using PDRMAUDIOSTREAM = IDrmAudioStream*;

struct IMiniportAudioSignalProcessing : IUnknown {
  STDMETHOD(GetModes)(ULONG Pin, GUID* SignalProcessingMode, ULONG* NumSignalProcessingModes) = 0;
};
using PMINIPORTAUDIOSIGNALPROCESSING = IMiniportAudioSignalProcessing*;

// ---------------------------------------------------------------------------------------
// Functions

using PCPFNSTARTDEVICE = NTSTATUS (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

// Size PortCls keeps for itself at the head of every device extension.
constexpr ULONG PORT_CLASS_DEVICE_EXTENSION_SIZE = 64 * sizeof(ULONG_PTR);

NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                   PDRIVER_ADD_DEVICE AddDevice, const std::source_location& caller = std::source_location::current());
NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize,
                            const std::source_location& caller = std::source_location::current());
NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status);
NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID pvContext, const std::source_location& caller = std::source_location::current());
NTSTATUS PcNewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                          ACCESS_MASK DesiredAccess, PVOID DeviceObject, PVOID SubDevice,
                          POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions, PULONG Disposition,
                          const std::source_location& caller = std::source_location::current());
NTSTATUS PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength);
NTSTATUS PcNewPort(PPORT* OutPort, REFCLSID ClassId);
NTSTATUS PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown);
NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name, PUNKNOWN Unknown, const std::source_location& caller = std::source_location::current());
NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                      PUNKNOWN ToUnknown, ULONG ToPin, const std::source_location& caller = std::source_location::current());
NTSTATUS PcRegisterPhysicalConnectionToExternal(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                                PUNICODE_STRING ToString, ULONG ToPin, const std::source_location& caller = std::source_location::current());
NTSTATUS PcRegisterPhysicalConnectionFromExternal(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING FromString,
                                                  ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin,
                                                  const std::source_location& caller = std::source_location::current());
NTSTATUS PcForwardContentToDeviceObject(ULONG ContentId, PVOID Reserved, PCDRMFORWARD DrmForward);
NTSTATUS PcNewResourceList(PRESOURCELIST* OutResourceList, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                           PCM_RESOURCE_LIST TranslatedResources, PCM_RESOURCE_LIST UntranslatedResources);
