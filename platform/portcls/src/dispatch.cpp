// The adapter driver's side of PortCls: driver initialisation, the functional device
// with PortCls's part of the device extension, and the IRP dispatch (Plug and Play,
// power, KS requests on filter handles) with its completion helper.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "kernel/verifier.h"
#include "kernel/ke.h"
#include "kernel/po.h"
#include "portcls/pcplatform.h"
#include "private.h"

namespace platform::portcls {

void RecordPhysicalDevice(PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo);
void ForgetPhysicalDevice(PDEVICE_OBJECT fdo);
void ForgetAdapterPowerManagement(PDEVICE_OBJECT device);
void RegistrySetDeviceLimit(PDEVICE_OBJECT device, ULONG maxObjects);

namespace {

constexpr ULONG kContextMagic = 0x50634476;  // 'PcDv'

// What PortCls keeps of an adapter's device; its address sits at the head of the
// device extension, in the part that belongs to PortCls.
struct DeviceContext {
  ULONG magic = kContextMagic;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  PCPFNSTARTDEVICE start = nullptr;
  ULONG maxObjects = 0;
  bool started = false;
  bool removed = false;
  DEVICE_POWER_STATE power = PowerDeviceD0;
  // The device state for each system state, from the device's capabilities (until they
  // are known: D0 in S0, D3 in any sleep state).
  DEVICE_POWER_STATE systemToDevice[PowerSystemMaximum] = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD3,
                                                           PowerDeviceD3, PowerDeviceD3, PowerDeviceD3,
                                                           PowerDeviceD3};
  // KS handles open on the device and the requests on them under way (under g_ksLock):
  // removal waits for the requests, then orphans the handles clients still hold.
  std::vector<PFILE_OBJECT> ksFiles;
  LONG ksBusy = 0;
  bool ksClosing = false;
  KEVENT ksIdle;  // notification, signalled while no KS request runs
};

// Guards the KS state of every device and the removal of a device's context from its
// extension: a KS request finds the context and enters it in one step, so it either
// counts before removal begins or is refused.
KSPIN_LOCK g_ksLock = 0;

class KsLock {
 public:
  KsLock() { KeAcquireSpinLock(&g_ksLock, &m_Irql); }
  ~KsLock() { KeReleaseSpinLock(&g_ksLock, m_Irql); }
  KsLock(const KsLock&) = delete;
  KsLock& operator=(const KsLock&) = delete;

 private:
  KIRQL m_Irql;
};

DeviceContext* ContextOf(PDEVICE_OBJECT device) {
  if (!device || !device->DeviceExtension) return nullptr;
  DeviceContext* context = nullptr;
  std::memcpy(&context, device->DeviceExtension, sizeof(context));
  if (!context || context->magic != kContextMagic || context->fdo != device) return nullptr;
  return context;
}

// A driver that deletes the FDO itself (its AddDevice failed after PcAddAdapterDevice)
// takes the port's state for the device with it; a removal has already freed it.
void ReleaseDeviceContext(PDEVICE_OBJECT fdo) {
  DeviceContext* context = nullptr;
  {
    KsLock lock;
    context = ContextOf(fdo);
    if (context) std::memset(fdo->DeviceExtension, 0, sizeof(DeviceContext*));
  }
  if (!context) return;
  RegistryRemoveDevice(fdo);
  ForgetPhysicalDevice(fdo);
  delete context;
}

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP to the device below and waits until it comes back; the IRP stays ours.
NTSTATUS ForwardAndWait(DeviceContext* context, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(context->lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS PassDown(DeviceContext* context, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(context->lower, irp);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS StartDevice(DeviceContext* context, PIRP irp) {
  NTSTATUS status = ForwardAndWait(context, irp);
  if (NT_SUCCESS(status)) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PRESOURCELIST resources = nullptr;
    status = PcNewResourceList(&resources, nullptr, PagedPool, stack->Parameters.StartDevice.AllocatedResourcesTranslated,
                               stack->Parameters.StartDevice.AllocatedResources);
    if (NT_SUCCESS(status)) {
      status = context->start(context->fdo, irp, resources);
      resources->Release();
    }
    if (NT_SUCCESS(status)) {
      context->started = true;
      context->power = PowerDeviceD0;
    }
  }
  return Complete(irp, status);
}

// Device power changes reach the adapter and every miniport: on the way up the adapter
// first, on the way down the miniports first.
void ChangeDevicePower(DeviceContext* context, DEVICE_POWER_STATE state) {
  if (state == context->power || state <= PowerDeviceUnspecified || state >= PowerDeviceMaximum) return;
  POWER_STATE power;
  power.DeviceState = state;
  PADAPTERPOWERMANAGEMENT adapter = AdapterPowerManagement(context->fdo);
  std::vector<CPortBase*> ports = RegistryPortsOf(context->fdo);
  bool up = state < context->power;
  if (up && adapter) adapter->PowerChangeState(power);
  for (CPortBase* port : ports) port->PowerChangeNotify(power);
  if (!up && adapter) adapter->PowerChangeState(power);
  for (CPortBase* port : ports) port->ReleasePort();
  if (adapter) adapter->Release();
  context->power = state;
  PoSetPowerState(context->fdo, DevicePowerState, power);
}

struct DevicePowerRequest {
  KEVENT done;
  NTSTATUS status;
};

VOID DevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus) {
  auto* request = static_cast<DevicePowerRequest*>(context);
  request->status = ioStatus->Status;
  KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
}

// Asks the power manager for a device power IRP to the top of the device's stack (which
// comes back through this dispatch) and waits for it.
NTSTATUS RequestDevicePower(DeviceContext* context, DEVICE_POWER_STATE state) {
  if (state == context->power) return STATUS_SUCCESS;
  DevicePowerRequest request;
  KeInitializeEvent(&request.done, NotificationEvent, FALSE);
  request.status = STATUS_SUCCESS;
  POWER_STATE power;
  power.DeviceState = state;
  NTSTATUS status = PoRequestPowerIrp(context->pdo, IRP_MN_SET_POWER, power, DevicePowerDone, &request, nullptr);
  if (!NT_SUCCESS(status)) return status;
  KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr);
  return request.status;
}

// A system power IRP becomes a device power IRP through the capabilities' mapping: going
// to sleep, the device powers down before the system IRP goes on; waking, the system IRP
// goes down first and the device powers up after it.
NTSTATUS SetSystemPower(DeviceContext* context, PIRP irp) {
  SYSTEM_POWER_STATE system = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
  DEVICE_POWER_STATE device =
      system > PowerSystemUnspecified && system < PowerSystemMaximum ? context->systemToDevice[system] : PowerDeviceD3;
  if (device <= PowerDeviceUnspecified || device >= PowerDeviceMaximum) device = PowerDeviceD3;
  if (system == PowerSystemWorking) {
    NTSTATUS status = ForwardAndWait(context, irp);
    if (NT_SUCCESS(status)) status = RequestDevicePower(context, device);
    PoStartNextPowerIrp(irp);
    return Complete(irp, status);
  }
  NTSTATUS status = RequestDevicePower(context, device);
  PoStartNextPowerIrp(irp);
  if (!NT_SUCCESS(status)) return Complete(irp, status);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(context->lower, irp);
}

NTSTATUS DispatchPower(DeviceContext* context, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.Power.Type == SystemPowerState && stack->MinorFunction == IRP_MN_SET_POWER)
    return SetSystemPower(context, irp);
  if (stack->Parameters.Power.Type == DevicePowerState) {
    DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
    if (stack->MinorFunction == IRP_MN_QUERY_POWER) {
      PADAPTERPOWERMANAGEMENT adapter = AdapterPowerManagement(context->fdo);
      NTSTATUS status = adapter ? adapter->QueryPowerChangeState(stack->Parameters.Power.State) : STATUS_SUCCESS;
      if (adapter) adapter->Release();
      if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(irp);
        return Complete(irp, status);
      }
    } else if (stack->MinorFunction == IRP_MN_SET_POWER && state < context->power) {
      // Powering up: the stack below completes the IRP (the bus powers the device)
      // before the adapter and the miniports hear of it.
      NTSTATUS status = ForwardAndWait(context, irp);
      if (NT_SUCCESS(status)) ChangeDevicePower(context, state);
      PoStartNextPowerIrp(irp);
      return Complete(irp, status);
    } else if (stack->MinorFunction == IRP_MN_SET_POWER) {
      ChangeDevicePower(context, state);
    }
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(context->lower, irp);
}

void ReleaseKsFiles(DeviceContext* context);

NTSTATUS DispatchPnp(DeviceContext* context, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return StartDevice(context, irp);
    case IRP_MN_QUERY_CAPABILITIES: {
      NTSTATUS status = ForwardAndWait(context, irp);
      if (NT_SUCCESS(status) && stack->Parameters.DeviceCapabilities.Capabilities) {
        PADAPTERPOWERMANAGEMENT adapter = AdapterPowerManagement(context->fdo);
        if (adapter) {
          status = adapter->QueryDeviceCapabilities(stack->Parameters.DeviceCapabilities.Capabilities);
          adapter->Release();
        }
        // The system-to-device mapping the device answers with serves system power IRPs.
        const DEVICE_CAPABILITIES* caps = stack->Parameters.DeviceCapabilities.Capabilities;
        for (int s = PowerSystemWorking; s < PowerSystemMaximum; ++s)
          if (caps->DeviceState[s] > PowerDeviceUnspecified && caps->DeviceState[s] < PowerDeviceMaximum)
            context->systemToDevice[s] = caps->DeviceState[s];
      }
      return Complete(irp, status);
    }
    case IRP_MN_STOP_DEVICE:
      ChangeDevicePower(context, PowerDeviceD3);
      context->started = false;
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(context, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(context, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      context->started = false;
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(context, irp);
    case IRP_MN_REMOVE_DEVICE: {
      // Whatever the driver left registered goes with the device; its handles are all
      // closed by now (Plug and Play removes a device only then).
      ReleaseKsFiles(context);
      RegistryRemoveDevice(context->fdo);
      ForgetAdapterPowerManagement(context->fdo);
      context->removed = true;
      irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS status = PassDown(context, irp);
      PDEVICE_OBJECT fdo = context->fdo;
      IoDetachDevice(context->lower);
      ForgetPhysicalDevice(fdo);
      {
        KsLock lock;
        std::memset(fdo->DeviceExtension, 0, sizeof(DeviceContext*));
      }
      delete context;
      IoDeleteDevice(fdo);
      return status;
    }
    default:
      return PassDown(context, irp);
  }
}

// KS requests on the device's handles. Each runs counted, so that removal can wait for
// those under way; none starts once removal began.
class KsRequest {
 public:
  explicit KsRequest(PDEVICE_OBJECT device) {
    KsLock lock;
    DeviceContext* context = ContextOf(device);
    if (!context || context->removed) {
      m_Status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (context->ksClosing) {
      m_Status = STATUS_DEVICE_REMOVED;
    } else {
      if (context->ksBusy++ == 0) KeClearEvent(&context->ksIdle);
      m_Context = context;
    }
  }
  ~KsRequest() {
    if (!m_Context) return;
    KsLock lock;
    if (--m_Context->ksBusy == 0) KeSetEvent(&m_Context->ksIdle, IO_NO_INCREMENT, FALSE);
  }
  KsRequest(const KsRequest&) = delete;
  KsRequest& operator=(const KsRequest&) = delete;
  DeviceContext* Context() const { return m_Context; }  // null: refused with Status()
  NTSTATUS Status() const { return m_Status; }

 private:
  DeviceContext* m_Context = nullptr;
  NTSTATUS m_Status = STATUS_SUCCESS;
};

KsFile* KsFileOf(PFILE_OBJECT file) {
  if (!file || KsFileMark(file) != kKsFileOpen) return nullptr;
  return static_cast<KsFile*>(file->FsContext);
}

bool IsPinName(PFILE_OBJECT file) {
  std::u16string name = UnicodeToString(&file->FileName);
  if (!name.empty() && name[0] == u'\\') name.erase(0, 1);
  return name == KSSTRING_Pin;
}

// A filter is opened by the subdevice's name; a pin by KSSTRING_Pin relative to its
// filter's file object, with the KSPIN_CONNECT and data format in the system buffer.
NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  KsRequest request(device);
  DeviceContext* context = request.Context();
  if (!context) return Complete(irp, request.Status());
  if (!file || !file->FileName.Buffer || KsFileOf(file)) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  auto opened = std::unique_ptr<KsFile>(new (std::nothrow) KsFile);
  if (!opened) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
  NTSTATUS status;
  if (file->RelatedFileObject) {
    KsFile* parent = KsFileOf(file->RelatedFileObject);
    if (!parent || !parent->filter) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    if (!IsPinName(file)) return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    std::unique_ptr<ks::Pin> pin;
    status = parent->filter->CreatePin(irp->AssociatedIrp.SystemBuffer, stack->Parameters.Create.EaLength, &pin);
    if (NT_SUCCESS(status)) opened->pin = std::move(pin);
  } else {
    std::u16string name = UnicodeToString(&file->FileName);
    if (!name.empty() && name[0] == u'\\') name.erase(0, 1);
    std::unique_ptr<ks::Filter> filter;
    status = OpenFilterInstance(context->fdo, name, &filter);
    if (NT_SUCCESS(status)) opened->filter = std::move(filter);
  }
  if (NT_SUCCESS(status)) {
    KsLock lock;
    context->ksFiles.push_back(file);
    file->FsContext = opened.release();
    SetKsFileMark(file, kKsFileOpen);
  }
  return Complete(irp, status);
}

// Takes the handle's objects off the file object (under g_ksLock); PortCls's share goes
// when the caller drops the result, outside the lock.
std::unique_ptr<KsFile> DetachKsFileLocked(DeviceContext* context, PFILE_OBJECT file, ULONG_PTR mark) {
  KsFile* held = KsFileOf(file);
  if (!held) return nullptr;
  std::erase(context->ksFiles, file);
  file->FsContext = nullptr;
  SetKsFileMark(file, mark);
  return std::unique_ptr<KsFile>(held);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  // Closing a pin walks its stream down to STOP: that runs counted, as any request, but a
  // close during removal still lets go of the handle.
  KsRequest request(device);
  std::unique_ptr<KsFile> closed;
  {
    KsLock lock;
    if (DeviceContext* context = ContextOf(device)) closed = DetachKsFileLocked(context, file, 0);
  }
  closed.reset();
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  KsRequest request(device);
  if (!request.Context()) return Complete(irp, request.Status());
  KsFile* file = KsFileOf(stack->FileObject);
  if (!file) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  const auto& io = stack->Parameters.DeviceIoControl;
  ULONG returned = 0;
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  switch (io.IoControlCode) {
    case IOCTL_KS_PROPERTY:
      if (!io.Type3InputBuffer) return Complete(irp, STATUS_INVALID_PARAMETER);
      status = file->filter ? file->filter->Property(io.Type3InputBuffer, io.InputBufferLength, irp->UserBuffer,
                                                     io.OutputBufferLength, &returned)
                            : file->pin->Property(io.Type3InputBuffer, io.InputBufferLength, irp->UserBuffer,
                                                  io.OutputBufferLength, &returned);
      break;
    case IOCTL_KS_ENABLE_EVENT: {
      auto* registration = static_cast<KsEventRegistration*>(irp->UserBuffer);
      if (!file->filter) break;
      if (!io.Type3InputBuffer || !registration || io.OutputBufferLength != sizeof(KsEventRegistration))
        return Complete(irp, STATUS_INVALID_PARAMETER);
      status = file->filter->EnableEvent(io.Type3InputBuffer, io.InputBufferLength, registration->callback,
                                         &registration->handle);
      if (NT_SUCCESS(status)) returned = sizeof(KsEventRegistration);
      break;
    }
    case IOCTL_KS_DISABLE_EVENT: {
      if (!file->filter) break;
      if (!io.Type3InputBuffer || io.InputBufferLength != sizeof(ks::EventHandle))
        return Complete(irp, STATUS_INVALID_PARAMETER);
      ks::EventHandle handle;
      std::memcpy(&handle, io.Type3InputBuffer, sizeof(handle));
      status = file->filter->DisableEvent(handle);
      break;
    }
    default:
      break;
  }
  irp->IoStatus.Information = returned;
  return Complete(irp, status);
}

// Removal: no KS request starts any more and those under way finish. Plug and Play
// sends the removal once every file object on the device is closed, so none should be
// left; a file object still open here is reported, and PortCls lets go of its objects
// (pins first) so that nothing outlives the device.
void ReleaseKsFiles(DeviceContext* context) {
  {
    KsLock lock;
    context->ksClosing = true;
  }
  KeWaitForSingleObject(&context->ksIdle, Executive, KernelMode, FALSE, nullptr);
  std::vector<std::unique_ptr<KsFile>> left;
  {
    KsLock lock;
    std::vector<PFILE_OBJECT> files = context->ksFiles;
    for (PFILE_OBJECT file : files) left.push_back(DetachKsFileLocked(context, file, 0));
  }
  if (!left.empty())
    platform::verifier::Report(platform::verifier::Check::InvalidArgument, "IRP_MN_REMOVE_DEVICE",
                               std::to_string(left.size()) + " KS file object(s) still open at the device's removal");
  std::stable_partition(left.begin(), left.end(), [](const auto& f) { return f && f->pin; });
  left.clear();
}

}  // namespace

bool DispatchesKsRequests(PDEVICE_OBJECT device) {
  // Only a device PortCls added is looked into: others may be mere names of a subdevice.
  if (!device || PhysicalDeviceOf(device) == device) return false;
  {
    KsLock lock;
    DeviceContext* context = ContextOf(device);
    if (!context || context->removed || context->ksClosing) return false;
  }
  if (!device->DriverObject) return false;
  const auto& major = device->DriverObject->MajorFunction;
  return major[IRP_MJ_CREATE] && major[IRP_MJ_CLOSE] && major[IRP_MJ_DEVICE_CONTROL];
}

}  // namespace platform::portcls

using namespace platform::portcls;

NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING, PDRIVER_ADD_DEVICE AddDevice,
                                   const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "PcInitializeAdapterDriver", caller);
  if (!DriverObject || !AddDevice || !DriverObject->DriverExtension) return STATUS_INVALID_PARAMETER;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  for (auto& dispatch : DriverObject->MajorFunction) dispatch = PcDispatchIrp;
  return STATUS_SUCCESS;
}

NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize,
                            const std::source_location& caller) {
  platform::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "PcAddAdapterDevice", caller);
  if (!DriverObject || !PhysicalDeviceObject || !StartDevice || MaxObjects == 0) return STATUS_INVALID_PARAMETER;
  if (DeviceExtensionSize == 0) DeviceExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE;
  if (DeviceExtensionSize < PORT_CLASS_DEVICE_EXTENSION_SIZE) return STATUS_INVALID_PARAMETER;
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(DriverObject, DeviceExtensionSize, nullptr, FILE_DEVICE_KS,
                                   FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto* context = new (std::nothrow) DeviceContext;
  if (!context) {
    IoDeleteDevice(fdo);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::memset(fdo->DeviceExtension, 0, DeviceExtensionSize);
  context->fdo = fdo;
  context->pdo = PhysicalDeviceObject;
  context->start = StartDevice;
  context->maxObjects = MaxObjects;
  KeInitializeEvent(&context->ksIdle, NotificationEvent, TRUE);
  context->lower = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
  if (!context->lower) {
    delete context;
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  std::memcpy(fdo->DeviceExtension, &context, sizeof(context));
  platform::io::SetExtensionRelease(fdo, ReleaseDeviceContext);
  RecordPhysicalDevice(fdo, PhysicalDeviceObject);
  RegistrySetDeviceLimit(fdo, MaxObjects);
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!Irp) return STATUS_INVALID_PARAMETER;
  // KS requests find the device's context under the KS lock, as removal may be taking it.
  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CREATE: return DispatchCreate(DeviceObject, Irp);
    case IRP_MJ_CLOSE: return DispatchClose(DeviceObject, Irp);
    case IRP_MJ_CLEANUP: return Complete(Irp, STATUS_SUCCESS);  // the close lets go of the objects
    case IRP_MJ_DEVICE_CONTROL: return DispatchDeviceControl(DeviceObject, Irp);
    default: break;
  }
  DeviceContext* context = ContextOf(DeviceObject);
  if (!context || context->removed) return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_PNP: return DispatchPnp(context, Irp);
    case IRP_MJ_POWER: return DispatchPower(context, Irp);
    case IRP_MJ_SYSTEM_CONTROL: return PassDown(context, Irp);
    default: return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
  if (!DeviceObject || !Irp) return STATUS_INVALID_PARAMETER;
  if (Status == STATUS_PENDING) return Status;  // the caller completes it later
  return Complete(Irp, Status);
}
