// The client's handles on an adapter's KS filters and pins. On a functional device that
// PortCls added, every request is an IRP to the top of the device's stack, as the I/O
// manager builds it for a client's handle: it passes the driver's dispatch routines
// before PortCls sees it. A pin's cyclic buffer is mapped into the client, so data moves
// through it without requests. On any other device (a miniport under test, registered
// without an adapter) the filter instance is opened on the spot.
#include <cstring>

#include "kernel/io.h"
#include "kernel/ob.h"
#include "private.h"

namespace platform::portcls {
namespace {

// One handle on a file object of the device: the requests on it, and its close (the
// cleanup now, the close when the file object's last reference goes).
class KsHandle {
 public:
  KsHandle(PDEVICE_OBJECT device, PFILE_OBJECT file) : m_Device(device), m_File(file) {}
  ~KsHandle() { platform::io::CloseHandle(m_File); }
  KsHandle(const KsHandle&) = delete;
  KsHandle& operator=(const KsHandle&) = delete;

  PFILE_OBJECT File() const { return m_File; }

  // A METHOD_NEITHER I/O control: the request in, the value out; the byte count as the
  // driver reports it (the size needed, with STATUS_BUFFER_OVERFLOW).
  NTSTATUS Control(ULONG code, const void* input, ULONG inputSize, void* output, ULONG outputSize,
                   ULONG* bytesReturned) {
    if (bytesReturned) *bytesReturned = 0;
    IO_STATUS_BLOCK result =
        platform::io::SendSynchronousRequest(m_Device, m_File, [&](PIRP irp, PIO_STACK_LOCATION stack) {
          stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
          stack->Parameters.DeviceIoControl.IoControlCode = code;
          stack->Parameters.DeviceIoControl.InputBufferLength = inputSize;
          stack->Parameters.DeviceIoControl.OutputBufferLength = outputSize;
          stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
          irp->UserBuffer = output;
        });
    if (bytesReturned) *bytesReturned = static_cast<ULONG>(result.Information);
    return result.Status;
  }

 private:
  PDEVICE_OBJECT m_Device;
  PFILE_OBJECT m_File;
};

// Opens a handle on the device (relative to `related` when given): IRP_MJ_CREATE with
// `buffer` as the system buffer. On success the handle and PortCls's object behind it.
NTSTATUS Create(PDEVICE_OBJECT device, const std::u16string& name, PFILE_OBJECT related, const void* buffer,
                ULONG bufferSize, std::unique_ptr<KsHandle>* handle, KsFile* object) {
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = platform::io::OpenHandle(device, name.c_str(), related,
                                             [&](PIRP irp, PIO_STACK_LOCATION stack) {
                                               stack->Parameters.Create.EaLength = bufferSize;
                                               irp->AssociatedIrp.SystemBuffer = const_cast<void*>(buffer);
                                             },
                                             &file);
  if (!NT_SUCCESS(status)) return status;
  auto opened = std::make_unique<KsHandle>(device, file);
  if (KsFileMark(file) != kKsFileOpen) return STATUS_UNSUCCESSFUL;  // the handle closes again
  *object = *static_cast<const KsFile*>(file->FsContext);
  *handle = std::move(opened);
  return STATUS_SUCCESS;
}

class PinClient final : public ks::Pin {
 public:
  // The pin's handle holds its filter's file object (the create was relative to it).
  PinClient(std::unique_ptr<KsHandle> handle, std::shared_ptr<ks::Pin> mapped, PFILE_OBJECT filterFile)
      : m_Handle(std::move(handle)), m_Mapped(std::move(mapped)), m_FilterFile(filterFile) {
    ObReferenceObject(m_FilterFile);
  }
  ~PinClient() override {
    // The client's share of the pin goes first; the close then walks the stream down to
    // STOP and lets go of the device object last, so nothing of the pin outlives it.
    m_Mapped.reset();
    m_Handle.reset();
    ObDereferenceObject(m_FilterFile);
  }

  NTSTATUS Property(const void* property, ULONG propertySize, void* value, ULONG valueSize,
                    ULONG* bytesReturned) override {
    return m_Handle->Control(IOCTL_KS_PROPERTY, property, propertySize, value, valueSize, bytesReturned);
  }
  ULONG BufferSize() override { return m_Mapped->BufferSize(); }
  NTSTATUS Write(ULONG offset, const void* data, ULONG bytes) override { return m_Mapped->Write(offset, data, bytes); }
  NTSTATUS Read(ULONG offset, void* data, ULONG bytes) override { return m_Mapped->Read(offset, data, bytes); }
  ULONG FramingSize() override { return m_Mapped->FramingSize(); }
  void SetServiceCallback(std::function<void()> callback) override { m_Mapped->SetServiceCallback(std::move(callback)); }

 private:
  std::unique_ptr<KsHandle> m_Handle;
  std::shared_ptr<ks::Pin> m_Mapped;  // the cyclic buffer and the notifications
  PFILE_OBJECT m_FilterFile;
};

class FilterClient final : public ks::Filter {
 public:
  FilterClient(PDEVICE_OBJECT device, std::unique_ptr<KsHandle> handle, std::shared_ptr<ks::Filter> object)
      : m_Device(device), m_Handle(std::move(handle)), m_Object(std::move(object)) {}
  ~FilterClient() override {
    m_Object.reset();
    m_Handle.reset();
  }

  NTSTATUS Property(const void* property, ULONG propertySize, void* value, ULONG valueSize,
                    ULONG* bytesReturned) override {
    return m_Handle->Control(IOCTL_KS_PROPERTY, property, propertySize, value, valueSize, bytesReturned);
  }
  NTSTATUS EnableEvent(const void* event, ULONG eventSize, std::function<void()> callback,
                       ks::EventHandle* handle) override {
    if (!handle) return STATUS_INVALID_BUFFER_SIZE;
    *handle = 0;
    KsEventRegistration registration{std::move(callback), 0};
    NTSTATUS status =
        m_Handle->Control(IOCTL_KS_ENABLE_EVENT, event, eventSize, &registration, sizeof(registration), nullptr);
    if (NT_SUCCESS(status)) *handle = registration.handle;
    return status;
  }
  NTSTATUS DisableEvent(ks::EventHandle handle) override {
    return m_Handle->Control(IOCTL_KS_DISABLE_EVENT, &handle, sizeof(handle), nullptr, 0, nullptr);
  }
  NTSTATUS CreatePin(const void* connect, ULONG connectSize, std::unique_ptr<ks::Pin>* pin) override {
    if (!pin) return STATUS_INVALID_PARAMETER;
    pin->reset();
    if (!connect) return STATUS_INVALID_BUFFER_SIZE;
    std::unique_ptr<KsHandle> handle;
    KsFile object;
    NTSTATUS status = Create(m_Device, KSSTRING_Pin, m_Handle->File(), connect, connectSize, &handle, &object);
    if (!NT_SUCCESS(status)) return status;
    if (!object.pin) return STATUS_UNSUCCESSFUL;
    *pin = std::make_unique<PinClient>(std::move(handle), std::move(object.pin), m_Handle->File());
    return STATUS_SUCCESS;
  }

 private:
  PDEVICE_OBJECT m_Device;
  std::unique_ptr<KsHandle> m_Handle;
  std::shared_ptr<ks::Filter> m_Object;  // let go of before the handle
};

}  // namespace
}  // namespace platform::portcls

namespace platform::ks {

NTSTATUS OpenFilter(PDEVICE_OBJECT device, const std::u16string& name, std::unique_ptr<Filter>* filter) {
  if (!filter) return STATUS_INVALID_PARAMETER;
  filter->reset();
  // A name the device has not registered (or a device gone) is refused before the device
  // object is looked at.
  portcls::CPortBase* port = portcls::RegistryFindSubdevice(device, name);
  if (!port) return STATUS_OBJECT_NAME_NOT_FOUND;
  port->ReleasePort();
  if (!portcls::DispatchesKsRequests(device)) return portcls::OpenFilterInstance(device, name, filter);
  std::unique_ptr<portcls::KsHandle> handle;
  portcls::KsFile object;
  NTSTATUS status = portcls::Create(device, u"\\" + name, nullptr, nullptr, 0, &handle, &object);
  if (!NT_SUCCESS(status)) return status;
  if (!object.filter) return STATUS_UNSUCCESSFUL;
  *filter = std::make_unique<portcls::FilterClient>(device, std::move(handle), std::move(object.filter));
  return STATUS_SUCCESS;
}

}  // namespace platform::ks
