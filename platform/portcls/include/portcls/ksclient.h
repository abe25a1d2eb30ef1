// The client side of the KS filters PortCls exposes: what an audio engine sees. It lists
// the registered subdevices (filter names and interface categories) and their physical
// connections, opens filter instances, sends property requests and enables events on
// them, creates pin instances from a KSPIN_CONNECT and data format, and moves audio
// through a pin's cyclic buffer. Requests carry the same bytes as IOCTL_KS_PROPERTY and
// IOCTL_KS_ENABLE_EVENT: the KSPROPERTY (or KSP_NODE, KSP_PIN) and instance in, the value
// out, with the number of bytes returned (or needed, with STATUS_BUFFER_OVERFLOW).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "portcls/portcls.h"

namespace platform::ks {

struct SubdeviceInfo {
  PDEVICE_OBJECT device;
  std::u16string name;
  std::vector<GUID> categories;
};

// Subdevices registered now, in registration order; with a category, only those whose
// filter descriptor lists it.
std::vector<SubdeviceInfo> EnumerateSubdevices(const GUID* category = nullptr);

struct PhysicalConnectionInfo {
  PDEVICE_OBJECT device;
  std::u16string fromName;  // the subdevice name, or the external name
  ULONG fromPin;
  std::u16string toName;
  ULONG toPin;
};
std::vector<PhysicalConnectionInfo> EnumeratePhysicalConnections();

class Pin;

// An enabled event; disabled by Filter::DisableEvent or when the filter closes.
using EventHandle = ULONG_PTR;

class Filter {
 public:
  virtual ~Filter() = default;  // closes the instance; its pins stay open until closed

  // IOCTL_KS_PROPERTY on the filter instance.
  virtual NTSTATUS Property(const void* property, ULONG propertySize, void* value, ULONG valueSize,
                            ULONG* bytesReturned) = 0;
  // IOCTL_KS_ENABLE_EVENT with a KSEVENT (or KSE_NODE with KSEVENT_TYPE_TOPOLOGY); the
  // callback runs each time the event is signalled, later and at PASSIVE_LEVEL, on a
  // thread of the filter instance's (as a client's thread waiting on its event would).
  virtual NTSTATUS EnableEvent(const void* event, ULONG eventSize, std::function<void()> callback,
                               EventHandle* handle) = 0;
  virtual NTSTATUS DisableEvent(EventHandle handle) = 0;
  // Pin creation: a KSPIN_CONNECT followed by the KSDATAFORMAT (and its attributes).
  virtual NTSTATUS CreatePin(const void* connect, ULONG connectSize, std::unique_ptr<Pin>* pin) = 0;
};

// Opens an instance of a registered subdevice. On a functional device PortCls added, the
// filter, its pins and every request on them are IRPs to the top of the device's stack,
// as the I/O manager sends them for a client's handles: the driver's dispatch routines
// see each create, I/O control and close before PortCls does. Once the device is removed
// the handles take no more requests (STATUS_DEVICE_REMOVED) and close without one. On any
// other device (a miniport registered without an adapter) the instance is opened
// directly. STATUS_OBJECT_NAME_NOT_FOUND when the device has no subdevice of the name.
NTSTATUS OpenFilter(PDEVICE_OBJECT device, const std::u16string& name, std::unique_ptr<Filter>* filter);

class Pin {
 public:
  virtual ~Pin() = default;  // walks the state down to STOP and closes the stream

  virtual NTSTATUS Property(const void* property, ULONG propertySize, void* value, ULONG valueSize,
                            ULONG* bytesReturned) = 0;
  // The cyclic buffer of the stream, mapped into the client (no request moves data): its
  // size and copies into and out of it (through the DMA channel's CopyTo/CopyFrom),
  // wrapping at the end.
  virtual ULONG BufferSize() = 0;
  virtual NTSTATUS Write(ULONG offset, const void* data, ULONG bytes) = 0;
  virtual NTSTATUS Read(ULONG offset, void* data, ULONG bytes) = 0;
  // Bytes per notification the stream reported to SetNotificationFreq.
  virtual ULONG FramingSize() = 0;
  // Called each time the stream's service group is serviced (IPortWaveCyclic::Notify).
  virtual void SetServiceCallback(std::function<void()> callback) = 0;
};

}  // namespace platform::ks
