// Property routing through automation tables, with the KS rules for sizes and verbs.
#include <cstdio>
#include <cstring>
#include <vector>

#include "kernel/io.h"
#include "kernel/verifier.h"
#include "private.h"

namespace platform::portcls {

namespace {

template <typename Item>
const Item* FindItem(const Item* items, ULONG count, ULONG itemSize, const GUID& set, ULONG id, bool* setFound) {
  if (setFound) *setFound = false;
  if (!items || count == 0) return nullptr;
  if (itemSize == 0) itemSize = sizeof(Item);
  if (itemSize < sizeof(Item)) return nullptr;  // a malformed table offers nothing
  const BYTE* base = reinterpret_cast<const BYTE*>(items);
  for (ULONG i = 0; i < count; ++i) {
    const Item* item = reinterpret_cast<const Item*>(base + static_cast<size_t>(i) * itemSize);
    if (!item->Set || !IsEqualGUID(*item->Set, set)) continue;
    if (setFound) *setFound = true;
    if (item->Id == id) return item;
  }
  return nullptr;
}

// Answer to BASICSUPPORT for an item whose handler does not take that verb: the access
// flags, or a description without members when the buffer holds one.
NTSTATUS DefaultBasicSupport(const PCPROPERTY_ITEM* item, void* value, ULONG valueSize, ULONG* returned) {
  ULONG access = (item->Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET)) | KSPROPERTY_TYPE_BASICSUPPORT;
  if (valueSize >= sizeof(KSPROPERTY_DESCRIPTION)) {
    KSPROPERTY_DESCRIPTION d{};
    d.AccessFlags = access;
    d.DescriptionSize = sizeof(KSPROPERTY_DESCRIPTION);
    d.PropTypeSet.Set = KSPROPTYPESETID_General;
    d.PropTypeSet.Id = VT_ILLEGAL;
    std::memcpy(value, &d, sizeof(d));
    *returned = sizeof(d);
    return STATUS_SUCCESS;
  }
  return AnswerBytes(&access, sizeof(access), value, valueSize, returned);
}

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP stays the framework's
}

// The IRP a property request reaches its handler in, as IOCTL_KS_PROPERTY from a
// user-mode client: its stack location carries the control code, the sizes and the
// buffers; a handler may read it, return STATUS_PENDING and complete it later.
class PropertyIrp {
 public:
  PropertyIrp(const PropertyCall& call, const BYTE* property, ULONG propertySize, void* value) {
    KeInitializeEvent(&m_Completed, NotificationEvent, FALSE);
    m_Irp = IoAllocateIrp(1, FALSE);
    if (!m_Irp) return;
    IoSetCompletionRoutine(m_Irp, SignalOnCompletion, &m_Completed, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(m_Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(m_Irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_PROPERTY;
    stack->Parameters.DeviceIoControl.InputBufferLength = propertySize;
    stack->Parameters.DeviceIoControl.OutputBufferLength = call.valueSize;
    stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<BYTE*>(property);
    m_Irp->UserBuffer = value;
    m_Irp->RequestorMode = UserMode;
    m_Irp->IoStatus.Status = STATUS_SUCCESS;
    m_Irp->IoStatus.Information = 0;
  }
  ~PropertyIrp() {
    if (m_Irp) IoFreeIrp(m_Irp);
  }
  PropertyIrp(const PropertyIrp&) = delete;
  PropertyIrp& operator=(const PropertyIrp&) = delete;

  PIRP Get() const { return m_Irp; }
  // A handler that returned STATUS_PENDING completes the IRP later: the client waits for
  // it, and its status and byte count are the answer.
  NTSTATUS WaitPending(ULONG* valueSize) {
    KeWaitForSingleObject(&m_Completed, Executive, KernelMode, FALSE, nullptr);
    *valueSize = static_cast<ULONG>(m_Irp->IoStatus.Information);
    return m_Irp->IoStatus.Status;
  }

 private:
  PIRP m_Irp = nullptr;
  KEVENT m_Completed;
};

}  // namespace

const PCPROPERTY_ITEM* FindPropertyItem(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id,
                                        bool* setFound) {
  if (setFound) *setFound = false;
  if (!table) return nullptr;
  return FindItem(table->Properties, table->PropertyCount, table->PropertyItemSize, set, id, setFound);
}

const PCEVENT_ITEM* FindEventItem(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id, bool* setFound) {
  if (setFound) *setFound = false;
  if (!table) return nullptr;
  return FindItem(table->Events, table->EventCount, table->EventItemSize, set, id, setFound);
}

const PCPIN_DESCRIPTOR* PinDescriptor(const PCFILTER_DESCRIPTOR* filter, ULONG pinId) {
  if (!filter || !filter->Pins || pinId >= filter->PinCount) return nullptr;
  ULONG size = filter->PinSize ? filter->PinSize : sizeof(PCPIN_DESCRIPTOR);
  if (size < sizeof(PCPIN_DESCRIPTOR)) return nullptr;
  return reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const BYTE*>(filter->Pins) +
                                                   static_cast<size_t>(pinId) * size);
}

const PCNODE_DESCRIPTOR* NodeDescriptor(const PCFILTER_DESCRIPTOR* filter, ULONG nodeId) {
  if (!filter || !filter->Nodes || nodeId >= filter->NodeCount) return nullptr;
  ULONG size = filter->NodeSize ? filter->NodeSize : sizeof(PCNODE_DESCRIPTOR);
  if (size < sizeof(PCNODE_DESCRIPTOR)) return nullptr;
  return reinterpret_cast<const PCNODE_DESCRIPTOR*>(reinterpret_cast<const BYTE*>(filter->Nodes) +
                                                    static_cast<size_t>(nodeId) * size);
}

NTSTATUS AnswerBytes(const void* data, ULONG size, void* value, ULONG valueSize, ULONG* returned) {
  if (valueSize == 0) {
    *returned = size;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (valueSize < size) {
    *returned = 0;
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (size) std::memcpy(value, data, size);
  *returned = size;
  return STATUS_SUCCESS;
}

NTSTATUS ParsePropertyHeader(const void* property, ULONG propertySize, KSPROPERTY* header, ULONG* verb) {
  if (!property || propertySize < sizeof(KSPROPERTY)) return STATUS_INVALID_BUFFER_SIZE;
  std::memcpy(header, property, sizeof(KSPROPERTY));
  ULONG v = header->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
  if (v != KSPROPERTY_TYPE_GET && v != KSPROPERTY_TYPE_SET && v != KSPROPERTY_TYPE_BASICSUPPORT &&
      v != KSPROPERTY_TYPE_SETSUPPORT)
    return STATUS_INVALID_PARAMETER;
  *verb = v;
  return STATUS_SUCCESS;
}

bool CarriesData(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) != 3; }

constexpr ULONG kValueGuardBytes = 64;
constexpr BYTE kValueGuardFill = 0xA5;

void CheckValueGuard(const PropertyCall& call, const PCPROPERTY_ITEM* item, const BYTE* value) {
  const BYTE* guard = value + call.valueSize;
  ULONG last = kValueGuardBytes;
  while (last > 0 && guard[last - 1] == kValueGuardFill) --last;
  if (last == 0) return;
  const GUID& g = call.set;
  char text[200];
  std::snprintf(text, sizeof text,
                "handler %p of property {%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x} id %lu wrote past the "
                "end of its %lu-byte value (at least %lu bytes beyond it)",
                reinterpret_cast<void*>(item->Handler), static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0],
                g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7],
                static_cast<unsigned long>(call.id), static_cast<unsigned long>(call.valueSize),
                static_cast<unsigned long>(last));
  char handler[48];
  std::snprintf(handler, sizeof handler, "property handler %p", reinterpret_cast<void*>(item->Handler));
  verifier::Report(verifier::Check::BufferOverrun, "KS property", text, std::string(handler));
}

NTSTATUS DispatchToTable(const PCAUTOMATION_TABLE* table, const PropertyCall& call, ULONG* returned,
                         bool* handled) {
  *returned = 0;
  *handled = false;
  bool setFound = false;
  const PCPROPERTY_ITEM* item = FindPropertyItem(table, call.set, call.id, &setFound);
  if (!item) return STATUS_NOT_FOUND;
  *handled = true;
  if (call.verb == KSPROPERTY_TYPE_SETSUPPORT) return STATUS_SUCCESS;
  if (!(item->Flags & call.verb) || !item->Handler) {
    if (call.verb == KSPROPERTY_TYPE_BASICSUPPORT) return DefaultBasicSupport(item, call.value, call.valueSize, returned);
    return STATUS_INVALID_DEVICE_REQUEST;
  }

  // The handler works on captured copies of exactly the sizes the client gave, as KS
  // hands its handlers system buffers. Guard bytes follow the value: a handler that writes
  // past the size it was given is reported when it returns.
  std::vector<BYTE> instance(call.instance, call.instance + call.instanceSize);
  std::unique_ptr<BYTE[]> value;
  if (call.valueSize) {
    value.reset(new BYTE[call.valueSize + kValueGuardBytes]);
    std::memset(value.get() + call.valueSize, kValueGuardFill, kValueGuardBytes);
    if (call.verb == KSPROPERTY_TYPE_SET) std::memcpy(value.get(), call.value, call.valueSize);
    else std::memset(value.get(), 0, call.valueSize);
  }

  PCPROPERTY_REQUEST request{};
  request.MajorTarget = call.majorTarget;
  request.MinorTarget = call.minorTarget;
  request.Node = call.node;
  request.PropertyItem = item;
  request.Verb = call.verb;
  request.InstanceSize = call.instanceSize;
  request.Instance = call.instanceSize ? instance.data() : nullptr;
  request.ValueSize = call.valueSize;
  request.Value = value.get();
  PropertyIrp irp(call, call.request, call.requestSize, request.Value);
  if (!irp.Get()) return STATUS_INSUFFICIENT_RESOURCES;
  request.Irp = irp.Get();

  NTSTATUS status = item->Handler(&request);
  if (status == STATUS_PENDING) status = irp.WaitPending(&request.ValueSize);
  if (call.valueSize) CheckValueGuard(call, item, value.get());
  if (status == STATUS_BUFFER_OVERFLOW && call.valueSize == 0) {
    *returned = request.ValueSize;  // a size query: the size the value needs
  } else if (CarriesData(status) && call.verb != KSPROPERTY_TYPE_SET) {
    // Success and warnings (a partial answer with STATUS_BUFFER_OVERFLOW) hand back what
    // the handler wrote, never more than the caller's buffer holds.
    ULONG n = request.ValueSize < call.valueSize ? request.ValueSize : call.valueSize;
    if (n) std::memcpy(call.value, value.get(), n);
    *returned = n;
  }
  return status;
}

NTSTATUS DispatchAutomation(CPortBase* port, const PCAUTOMATION_TABLE* table, PUNKNOWN minorTarget,
                            const void* property, ULONG propertySize, void* value, ULONG valueSize,
                            ULONG* returned, bool* handled, PropertyCall* parsed) {
  *returned = 0;
  *handled = false;
  if (valueSize && !value) return STATUS_INVALID_PARAMETER;
  KSPROPERTY header;
  ULONG verb = 0;
  NTSTATUS status = ParsePropertyHeader(property, propertySize, &header, &verb);
  if (!NT_SUCCESS(status)) return status;
  const BYTE* bytes = static_cast<const BYTE*>(property);

  PropertyCall call{};
  call.set = header.Set;
  call.id = header.Id;
  call.verb = verb;
  call.node = kNoNode;
  call.value = value;
  call.valueSize = valueSize;
  call.request = bytes;
  call.requestSize = propertySize;
  call.majorTarget = port->MiniportUnknown();
  call.minorTarget = minorTarget;
  if (header.Flags & KSPROPERTY_TYPE_TOPOLOGY) {
    if (propertySize < sizeof(KSP_NODE)) return STATUS_INVALID_BUFFER_SIZE;
    KSP_NODE node;
    std::memcpy(&node, property, sizeof(node));
    const PCNODE_DESCRIPTOR* descriptor = NodeDescriptor(port->Descriptor(), node.NodeId);
    if (!descriptor) return STATUS_INVALID_DEVICE_REQUEST;
    call.node = node.NodeId;
    call.instance = bytes + sizeof(KSP_NODE);
    call.instanceSize = propertySize - static_cast<ULONG>(sizeof(KSP_NODE));
    *parsed = call;
    *handled = true;  // a node request never falls through to the filter's sets
    bool nodeHandled = false;
    status = DispatchToTable(descriptor->AutomationTable, call, returned, &nodeHandled);
    return status;
  }
  call.instance = bytes + sizeof(KSPROPERTY);
  call.instanceSize = propertySize - static_cast<ULONG>(sizeof(KSPROPERTY));
  *parsed = call;
  return DispatchToTable(table, call, returned, handled);
}

}  // namespace platform::portcls
