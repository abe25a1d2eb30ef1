// Kernel-streaming (KS) definitions: identifiers and property/event requests, data
// formats and ranges, attributes, pin and topology descriptions, property descriptions
// for basic-support queries, stream states and component IDs. Layouts are those of
// 64-bit Windows, since clients and drivers exchange these structures as raw bytes.
#pragma once

#include "kernel/ntdef.h"

// Defines a GUID constant from its registry form {d1-d2-d3-d4[0..1]-d4[2..7]}.
#define KS_DEFINE_GUID(name, d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
  inline constexpr GUID name = {d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}}

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// ---------------------------------------------------------------------------------------
// Identifiers, properties, methods, events

union KSIDENTIFIER {
  struct {
    GUID Set;
    ULONG Id;
    ULONG Flags;
  };
  LONGLONG Alignment;
};
using PKSIDENTIFIER = KSIDENTIFIER*;
using KSPROPERTY = KSIDENTIFIER;
using PKSPROPERTY = KSPROPERTY*;
using KSMETHOD = KSIDENTIFIER;
using PKSMETHOD = KSMETHOD*;
using KSEVENT = KSIDENTIFIER;
using PKSEVENT = KSEVENT*;
using KSPIN_INTERFACE = KSIDENTIFIER;
using PKSPIN_INTERFACE = KSPIN_INTERFACE*;
using KSPIN_MEDIUM = KSIDENTIFIER;
using PKSPIN_MEDIUM = KSPIN_MEDIUM*;
static_assert(sizeof(KSIDENTIFIER) == 24);

constexpr ULONG KSPROPERTY_TYPE_GET = 0x00000001;
constexpr ULONG KSPROPERTY_TYPE_SET = 0x00000002;
constexpr ULONG KSPROPERTY_TYPE_SETSUPPORT = 0x00000100;
constexpr ULONG KSPROPERTY_TYPE_BASICSUPPORT = 0x00000200;
constexpr ULONG KSPROPERTY_TYPE_RELATIONS = 0x00000400;
constexpr ULONG KSPROPERTY_TYPE_SERIALIZESET = 0x00000800;
constexpr ULONG KSPROPERTY_TYPE_UNSERIALIZESET = 0x00001000;
constexpr ULONG KSPROPERTY_TYPE_SERIALIZERAW = 0x00002000;
constexpr ULONG KSPROPERTY_TYPE_UNSERIALIZERAW = 0x00004000;
constexpr ULONG KSPROPERTY_TYPE_SERIALIZESIZE = 0x00008000;
constexpr ULONG KSPROPERTY_TYPE_DEFAULTVALUES = 0x00010000;
constexpr ULONG KSPROPERTY_TYPE_TOPOLOGY = 0x10000000;

constexpr ULONG KSMETHOD_TYPE_NONE = 0x00000000;
constexpr ULONG KSMETHOD_TYPE_READ = 0x00000001;
constexpr ULONG KSMETHOD_TYPE_WRITE = 0x00000002;
constexpr ULONG KSMETHOD_TYPE_MODIFY = 0x00000003;
constexpr ULONG KSMETHOD_TYPE_SOURCE = 0x00000004;
constexpr ULONG KSMETHOD_TYPE_SEND = 0x00000001;
constexpr ULONG KSMETHOD_TYPE_SETSUPPORT = 0x00000100;
constexpr ULONG KSMETHOD_TYPE_BASICSUPPORT = 0x00000200;
constexpr ULONG KSMETHOD_TYPE_TOPOLOGY = 0x10000000;

constexpr ULONG KSEVENT_TYPE_ENABLE = 0x00000001;
constexpr ULONG KSEVENT_TYPE_ONESHOT = 0x00000002;
constexpr ULONG KSEVENT_TYPE_ENABLEBUFFERED = 0x00000004;
constexpr ULONG KSEVENT_TYPE_SETSUPPORT = 0x00000100;
constexpr ULONG KSEVENT_TYPE_BASICSUPPORT = 0x00000200;
constexpr ULONG KSEVENT_TYPE_QUERYBUFFER = 0x00000400;
constexpr ULONG KSEVENT_TYPE_TOPOLOGY = 0x10000000;

// A property, method or event addressed to a node of a filter (TOPOLOGY flag set).
struct KSP_NODE {
  KSPROPERTY Property;
  ULONG NodeId;
  ULONG Reserved;
};
using PKSP_NODE = KSP_NODE*;
struct KSM_NODE {
  KSMETHOD Method;
  ULONG NodeId;
  ULONG Reserved;
};
struct KSE_NODE {
  KSEVENT Event;
  ULONG NodeId;
  ULONG Reserved;
};
using PKSE_NODE = KSE_NODE*;
static_assert(sizeof(KSP_NODE) == 32 && sizeof(KSE_NODE) == 32);

// A property addressed to a pin type of a filter.
struct KSP_PIN {
  KSPROPERTY Property;
  ULONG PinId;
  union {
    ULONG Reserved;
    ULONG Flags;
  };
};
using PKSP_PIN = KSP_PIN*;
static_assert(sizeof(KSP_PIN) == 32);

struct KSMULTIPLE_ITEM {
  ULONG Size;
  ULONG Count;
};
using PKSMULTIPLE_ITEM = KSMULTIPLE_ITEM*;

// How an enabled event is signalled.
struct KSEVENTDATA {
  ULONG NotificationType;
  union {
    struct {
      HANDLE Event;
      ULONG_PTR Reserved[2];
    } EventHandle;
    struct {
      HANDLE Semaphore;
      ULONG Reserved;
      LONG Adjustment;
    } SemaphoreHandle;
    struct {
      PVOID Event;
      KPRIORITY Increment;
      ULONG_PTR Reserved;
    } EventObject;
    struct {
      PVOID Semaphore;
      KPRIORITY Increment;
      LONG Adjustment;
    } SemaphoreObject;
    struct {
      PVOID Dpc;
      ULONG ReferenceCount;
      ULONG_PTR Reserved;
    } Dpc;
    struct {
      PVOID Unused;
      LONG_PTR Alignment[2];
    } Alignment;
  };
};
using PKSEVENTDATA = KSEVENTDATA*;
static_assert(sizeof(KSEVENTDATA) == 32);

constexpr ULONG KSEVENTF_EVENT_HANDLE = 0x00000001;
constexpr ULONG KSEVENTF_SEMAPHORE_HANDLE = 0x00000002;
constexpr ULONG KSEVENTF_EVENT_OBJECT = 0x00000004;
constexpr ULONG KSEVENTF_SEMAPHORE_OBJECT = 0x00000008;
constexpr ULONG KSEVENTF_DPC = 0x00000010;
constexpr ULONG KSEVENTF_WORKITEM = 0x00000020;
constexpr ULONG KSEVENTF_KSWORKITEM = 0x00000080;

// ---------------------------------------------------------------------------------------
// Property descriptions answered to BASICSUPPORT queries

struct KSPROPERTY_DESCRIPTION {
  ULONG AccessFlags;
  ULONG DescriptionSize;
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  ULONG Reserved;
};
using PKSPROPERTY_DESCRIPTION = KSPROPERTY_DESCRIPTION*;
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40);

struct KSPROPERTY_MEMBERSHEADER {
  ULONG MembersFlags;
  ULONG MembersSize;
  ULONG MembersCount;
  ULONG Flags;
};
using PKSPROPERTY_MEMBERSHEADER = KSPROPERTY_MEMBERSHEADER*;
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16);

constexpr ULONG KSPROPERTY_MEMBER_RANGES = 0x00000001;
constexpr ULONG KSPROPERTY_MEMBER_STEPPEDRANGES = 0x00000002;
constexpr ULONG KSPROPERTY_MEMBER_VALUES = 0x00000003;
constexpr ULONG KSPROPERTY_MEMBER_FLAG_DEFAULT = 0x00000001;
constexpr ULONG KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL = 0x00000002;
constexpr ULONG KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_UNIFORM = 0x00000004;

union KSPROPERTY_BOUNDS_LONG {
  struct {
    LONG SignedMinimum;
    LONG SignedMaximum;
  };
  struct {
    ULONG UnsignedMinimum;
    ULONG UnsignedMaximum;
  };
};
using PKSPROPERTY_BOUNDS_LONG = KSPROPERTY_BOUNDS_LONG*;

union KSPROPERTY_BOUNDS_LONGLONG {
  struct {
    LONGLONG SignedMinimum;
    LONGLONG SignedMaximum;
  };
  struct {
    ULONGLONG UnsignedMinimum;
    ULONGLONG UnsignedMaximum;
  };
};

struct KSPROPERTY_STEPPING_LONG {
  ULONG SteppingDelta;
  ULONG Reserved;
  KSPROPERTY_BOUNDS_LONG Bounds;
};
using PKSPROPERTY_STEPPING_LONG = KSPROPERTY_STEPPING_LONG*;
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16);

// The general property type set: the type Id is a VARTYPE.
KS_DEFINE_GUID(KSPROPTYPESETID_General, 0x97E99BA0, 0xBDEA, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);

enum VARENUM : ULONG {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_BOOL = 11,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_ILLEGAL = 0xFFFF,
};

// ---------------------------------------------------------------------------------------
// Data formats, ranges and attributes

union KSDATAFORMAT {
  struct {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
  };
  LONGLONG Alignment;
};
using PKSDATAFORMAT = KSDATAFORMAT*;
using KSDATARANGE = KSDATAFORMAT;
using PKSDATARANGE = KSDATARANGE*;
static_assert(sizeof(KSDATAFORMAT) == 64);

constexpr ULONG KSDATAFORMAT_BIT_TEMPORAL_COMPRESSION = 0;
constexpr ULONG KSDATAFORMAT_TEMPORAL_COMPRESSION = 1u << KSDATAFORMAT_BIT_TEMPORAL_COMPRESSION;
constexpr ULONG KSDATAFORMAT_BIT_ATTRIBUTES = 1;
constexpr ULONG KSDATAFORMAT_ATTRIBUTES = 1u << KSDATAFORMAT_BIT_ATTRIBUTES;
constexpr ULONG KSDATARANGE_BIT_ATTRIBUTES = 1;
constexpr ULONG KSDATARANGE_ATTRIBUTES = 1u << KSDATARANGE_BIT_ATTRIBUTES;
constexpr ULONG KSDATARANGE_BIT_REQUIRED_ATTRIBUTES = 2;
constexpr ULONG KSDATARANGE_REQUIRED_ATTRIBUTES = 1u << KSDATARANGE_BIT_REQUIRED_ATTRIBUTES;

struct KSATTRIBUTE {
  ULONG Size;
  ULONG Flags;
  GUID Attribute;
};
using PKSATTRIBUTE = KSATTRIBUTE*;
static_assert(sizeof(KSATTRIBUTE) == 24);
constexpr ULONG KSATTRIBUTE_REQUIRED = 0x00000001;

// The attribute list of a data range: in a pin's DataRanges array it is the entry that
// follows a range carrying KSDATARANGE_ATTRIBUTES. (In a data format and in the data
// ranges a client reads, attributes are serialised as a KSMULTIPLE_ITEM of KSATTRIBUTEs,
// each item at a multiple of 8 bytes.)
struct KSATTRIBUTE_LIST {
  ULONG Count;
  PKSATTRIBUTE* Attributes;
};
using PKSATTRIBUTE_LIST = KSATTRIBUTE_LIST*;

KS_DEFINE_GUID(KSDATAFORMAT_TYPE_WILDCARD, 0x00000000, 0x0000, 0x0000, 0, 0, 0, 0, 0, 0, 0, 0);
KS_DEFINE_GUID(KSDATAFORMAT_SUBTYPE_WILDCARD, 0x00000000, 0x0000, 0x0000, 0, 0, 0, 0, 0, 0, 0, 0);
KS_DEFINE_GUID(KSDATAFORMAT_SPECIFIER_WILDCARD, 0x00000000, 0x0000, 0x0000, 0, 0, 0, 0, 0, 0, 0, 0);
KS_DEFINE_GUID(KSDATAFORMAT_SPECIFIER_NONE, 0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);

// ---------------------------------------------------------------------------------------
// Pins, interfaces, mediums, topology

enum KSPIN_DATAFLOW : ULONG {
  KSPIN_DATAFLOW_IN = 1,
  KSPIN_DATAFLOW_OUT = 2,
};
using PKSPIN_DATAFLOW = KSPIN_DATAFLOW*;

enum KSPIN_COMMUNICATION : ULONG {
  KSPIN_COMMUNICATION_NONE = 0,
  KSPIN_COMMUNICATION_SINK = 1,
  KSPIN_COMMUNICATION_SOURCE = 2,
  KSPIN_COMMUNICATION_BOTH = 3,
  KSPIN_COMMUNICATION_BRIDGE = 4,
};
using PKSPIN_COMMUNICATION = KSPIN_COMMUNICATION*;

KS_DEFINE_GUID(KSINTERFACESETID_Standard, 0x1A8766A0, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
constexpr ULONG KSINTERFACE_STANDARD_STREAMING = 0;
constexpr ULONG KSINTERFACE_STANDARD_LOOPED_STREAMING = 1;
constexpr ULONG KSINTERFACE_STANDARD_CONTROL = 2;
KS_DEFINE_GUID(KSMEDIUMSETID_Standard, 0x4747B320, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
constexpr ULONG KSMEDIUM_TYPE_ANYINSTANCE = 0;

struct KSPIN_DESCRIPTOR {
  ULONG InterfacesCount;
  const KSPIN_INTERFACE* Interfaces;
  ULONG MediumsCount;
  const KSPIN_MEDIUM* Mediums;
  ULONG DataRangesCount;
  const PKSDATARANGE* DataRanges;
  KSPIN_DATAFLOW DataFlow;
  KSPIN_COMMUNICATION Communication;
  const GUID* Category;
  const GUID* Name;
  union {
    LONGLONG Reserved;
    struct {
      ULONG ConstrainedDataRangesCount;
      PKSDATARANGE* ConstrainedDataRanges;
    };
  };
};
using PKSPIN_DESCRIPTOR = KSPIN_DESCRIPTOR*;
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88);

struct KSPRIORITY {
  ULONG PriorityClass;
  ULONG PrioritySubClass;
};
constexpr ULONG KSPRIORITY_LOW = 0x00000001;
constexpr ULONG KSPRIORITY_NORMAL = 0x40000000;
constexpr ULONG KSPRIORITY_HIGH = 0x80000000;
constexpr ULONG KSPRIORITY_EXCLUSIVE = 0xFFFFFFFF;

// The create parameters of a pin instance; the data format follows at byte 72.
struct KSPIN_CONNECT {
  KSPIN_INTERFACE Interface;
  KSPIN_MEDIUM Medium;
  ULONG PinId;
  HANDLE PinToHandle;
  KSPRIORITY Priority;
};
using PKSPIN_CONNECT = KSPIN_CONNECT*;
static_assert(sizeof(KSPIN_CONNECT) == 72);

struct KSPIN_CINSTANCES {
  ULONG PossibleCount;
  ULONG CurrentCount;
};

struct KSPIN_PHYSICALCONNECTION {
  ULONG Size;
  ULONG Pin;
  WCHAR SymbolicLinkName[1];
};

constexpr ULONG KSFILTER_NODE = 0xFFFFFFFFu;
struct KSTOPOLOGY_CONNECTION {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
};
using PKSTOPOLOGY_CONNECTION = KSTOPOLOGY_CONNECTION*;

KS_DEFINE_GUID(KSPROPSETID_Pin, 0x8C134960, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00);
enum KSPROPERTY_PIN : ULONG {
  KSPROPERTY_PIN_CINSTANCES = 0,
  KSPROPERTY_PIN_CTYPES = 1,
  KSPROPERTY_PIN_DATAFLOW = 2,
  KSPROPERTY_PIN_DATARANGES = 3,
  KSPROPERTY_PIN_DATAINTERSECTION = 4,
  KSPROPERTY_PIN_INTERFACES = 5,
  KSPROPERTY_PIN_MEDIUMS = 6,
  KSPROPERTY_PIN_COMMUNICATION = 7,
  KSPROPERTY_PIN_GLOBALCINSTANCES = 8,
  KSPROPERTY_PIN_NECESSARYINSTANCES = 9,
  KSPROPERTY_PIN_PHYSICALCONNECTION = 10,
  KSPROPERTY_PIN_CATEGORY = 11,
  KSPROPERTY_PIN_NAME = 12,
  KSPROPERTY_PIN_CONSTRAINEDDATARANGES = 13,
  KSPROPERTY_PIN_PROPOSEDATAFORMAT = 14,
};

KS_DEFINE_GUID(KSPROPSETID_Topology, 0x720D4AC0, 0x7533, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
enum KSPROPERTY_TOPOLOGY : ULONG {
  KSPROPERTY_TOPOLOGY_CATEGORIES = 0,
  KSPROPERTY_TOPOLOGY_NODES = 1,
  KSPROPERTY_TOPOLOGY_CONNECTIONS = 2,
  KSPROPERTY_TOPOLOGY_NAME = 3,
};

KS_DEFINE_GUID(KSPROPSETID_Connection, 0x1D58C920, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
enum KSPROPERTY_CONNECTION : ULONG {
  KSPROPERTY_CONNECTION_STATE = 0,
  KSPROPERTY_CONNECTION_PRIORITY = 1,
  KSPROPERTY_CONNECTION_DATAFORMAT = 2,
  KSPROPERTY_CONNECTION_ALLOCATORFRAMING = 3,
  KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT = 4,
  KSPROPERTY_CONNECTION_ACQUIREORDERING = 5,
  KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX = 6,
  KSPROPERTY_CONNECTION_STARTAT = 7,
};

enum KSSTATE : ULONG {
  KSSTATE_STOP = 0,
  KSSTATE_ACQUIRE = 1,
  KSSTATE_PAUSE = 2,
  KSSTATE_RUN = 3,
};
using PKSSTATE = KSSTATE*;

KS_DEFINE_GUID(KSPROPSETID_General, 0x1464EDA5, 0x6A8F, 0x11D1, 0x9A, 0xA7, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
constexpr ULONG KSPROPERTY_GENERAL_COMPONENTID = 0;

struct KSCOMPONENTID {
  GUID Manufacturer;
  GUID Product;
  GUID Component;
  GUID Name;
  ULONG Version;
  ULONG Revision;
};
using PKSCOMPONENTID = KSCOMPONENTID*;
static_assert(sizeof(KSCOMPONENTID) == 72);

// Filter categories.
KS_DEFINE_GUID(KSCATEGORY_AUDIO, 0x6994AD04, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
KS_DEFINE_GUID(KSCATEGORY_RENDER, 0x65E8773E, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
KS_DEFINE_GUID(KSCATEGORY_CAPTURE, 0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
KS_DEFINE_GUID(KSCATEGORY_TOPOLOGY, 0xDDA54A40, 0x1E4C, 0x11D1, 0xA0, 0x50, 0x40, 0x57, 0x05, 0xC1, 0x00, 0x00);

// I/O controls of a KS object.
constexpr ULONG IOCTL_KS_PROPERTY = 0x002F0003;
constexpr ULONG IOCTL_KS_ENABLE_EVENT = 0x002F0007;
constexpr ULONG IOCTL_KS_DISABLE_EVENT = 0x002F000B;
constexpr ULONG IOCTL_KS_METHOD = 0x002F000F;

// The name a pin is created under, relative to its filter's handle.
inline constexpr const char16_t* KSSTRING_Pin = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}";
