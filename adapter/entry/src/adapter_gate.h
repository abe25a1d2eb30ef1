// The root object as the create, close and device-control dispatch routines reach it.
//
// Those routines run on the I/O manager's threads while Plug and Play starts and removes
// the device. A request enters the device under one lock that the start and the removal
// take as well, so it finds either the root object of a finished start or none. The
// removal takes the root object off the extension under that lock and then waits until
// every request that found it has left: the object it goes on to stop and release has
// nobody inside, and requests that come later find none. The extension has no room left
// for a count of its own, so the driver keeps the requests inside in one list, each
// entry on its request's stack.
#pragma once

#include "adapter/device_extension.h"
#include "kernel/ntdef.h"

namespace entry {

// One create, close or device-control request inside a device.
class CAdapterRequest {
 public:
  explicit CAdapterRequest(adapter::DeviceExtension* Extension);
  ~CAdapterRequest() { Leave(); }
  CAdapterRequest(const CAdapterRequest&) = delete;
  CAdapterRequest& operator=(const CAdapterRequest&) = delete;

  // The device's root object while the request is inside; null before the start, once
  // the removal has begun, and after Leave.
  adapter::IAudioHal* Adapter() const { return m_pAdapter; }
  // Wakes the device for the request (when there is a root object): the request counts
  // as in progress until it leaves.
  void Wake();
  // The request is done with the root object (before it completes its IRP or hands it
  // to PortCls): a woken request ends there. Leaving twice is harmless.
  void Leave();

  // The entry in the driver's list; its own type so the list can find it.
  struct Entry {
    LIST_ENTRY Link;
    adapter::DeviceExtension* Extension;
  };

 private:
  Entry m_Entry;
  adapter::IAudioHal* m_pAdapter = nullptr;
  bool m_bWoken = false;
};

// The end of a successful start: requests from now on find `Adapter`, which carries the
// extension's reference.
void PublishAdapter(adapter::DeviceExtension* Extension, adapter::IAudioHal* Adapter);

// The removal's first step on the root object: no request finds it any more. Returns it
// (with the extension's reference; null when no start published one) once every request
// that found it has left. PASSIVE_LEVEL; the requests inside end by themselves, none
// waits for the removal.
adapter::IAudioHal* WithdrawAdapter(adapter::DeviceExtension* Extension);

}  // namespace entry
