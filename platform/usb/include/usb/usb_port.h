// One USB port of the bus driver as a client driver sees it: the physical device object
// at the bottom of its stack, answering the internal USB I/O controls (submit URB, reset,
// port status, cycle, idle notification) and IRP_MN_QUERY_INTERFACE for the USBDI bus
// interface, with the host controller's schedule run by a platform thread on the clock.
//
// A device the client has set to D1, D2 or D3 (selective suspend included) gets no
// transfers: URBs fail at once with STATUS_DEVICE_NOT_READY until it is back in D0.
//
// The bus thread plays the controller's interrupt: it sleeps until the schedule's next
// event and then queues the bus DPC, which runs the schedule and delivers the URB
// completions at DISPATCH_LEVEL. Completions never run inside a submission, a cancel or
// QueryBusTime. The idle callback runs at PASSIVE_LEVEL on a thread of its own.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "kernel/clock.h"
#include "kernel/io.h"
#include "usb/host_controller.h"

namespace platform::usb {

class UsbPort {
 public:
  explicit UsbPort(BusDevice* device, HostController::Options options = {});
  // Stops the bus thread, completes whatever is still pending with
  // STATUS_DEVICE_NOT_CONNECTED and deletes the device object.
  ~UsbPort();
  UsbPort(const UsbPort&) = delete;
  UsbPort& operator=(const UsbPort&) = delete;

  PDEVICE_OBJECT pdo() const { return pdo_; }
  HostController& controller() { return *hc_; }
  // Interface references handed out through IRP_MN_QUERY_INTERFACE and not yet dropped.
  LONG interface_references() const { return references_; }
  // Microseconds of bus time per microframe are fixed (125); the bus started here.
  LONGLONG origin() const { return origin_; }

  // --- Power timing and faults.
  // The idle callback runs this long (100 ns units, virtual) after the idle request
  // arrived; 0 (the default): at once.
  void SetIdleCallbackDelay(LONGLONG delay) { idle_delay_.store(delay); }
  // A cancelled idle request comes back this long (100 ns units, virtual) after its
  // cancel, as a hub that is still resuming the port gives it back late; 0 (the
  // default): at once.
  void SetIdleCancelDelay(LONGLONG delay) { idle_cancel_delay_.store(delay); }
  // A D0 request for a suspended device completes after this long (100 ns units): resume
  // signalling and recovery, 30 ms by default; 0: at once.
  void SetResumeTime(LONGLONG time) { resume_time_.store(time); }
  static constexpr LONGLONG kDefaultResumeTime = 300000;
  // While held, device power IRPs stay at the port (pending) until released; the port's
  // destruction releases them too.
  void HoldPowerIrps(bool hold);
  // Device power IRPs waiting at the port now, and received in all.
  LONG power_irps_waiting() const { return power_waiting_.load(); }
  LONG power_irps() const { return power_irps_.load(); }
  // The stack size of the last idle-notification IRP received; 0 before the first.
  CCHAR idle_irp_stack_size() const { return idle_stack_size_.load(); }

 private:
  struct Request;
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
  static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS InternalControl(PIRP irp);
  NTSTATUS Pnp(PIRP irp);
  void Pend(PIRP irp, std::uint64_t id);
  void Complete(PIRP irp, NTSTATUS status);
  void CompleteNow(PIRP irp);
  void BusThread();
  static void BusDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
  BusMicroframe Now() const;
  NTSTATUS Power(PIRP irp);
  void Spawn(const char* name, std::function<void()> body);
  void JoinHelpers();

  // USBDI bus interface functions (context: the port).
  static void InterfaceReference(PVOID context);
  static void InterfaceDereference(PVOID context);
  static void GetUsbdiVersion(PVOID context, PUSBD_VERSION_INFORMATION info, PULONG capabilities);
  static NTSTATUS QueryBusTime(PVOID context, PULONG frame);
  static NTSTATUS SubmitIsoOutUrb(PVOID context, PURB urb);
  static NTSTATUS QueryBusInformation(PVOID context, ULONG level, PVOID buffer, PULONG length, PULONG actual);
  static BOOLEAN IsDeviceHighSpeed(PVOID context);

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  LONGLONG origin_ = 0;
  std::unique_ptr<HostController> hc_;
  KEVENT kick_;
  KEVENT stop_;
  KDPC dpc_;
  KEVENT dpc_done_;
  LONG references_ = 0;
  // The device power state the client last set; transfers are refused outside D0.
  std::atomic<DEVICE_POWER_STATE> power_{PowerDeviceD0};
  bool stopping_ = false;
  std::unique_ptr<clock::Thread> thread_;
  // Threads of the idle callbacks and of the power IRPs that wait at the port.
  std::mutex helpers_mutex_;
  std::vector<std::unique_ptr<clock::Thread>> helpers_;
  std::atomic<LONGLONG> idle_delay_{0};
  std::atomic<LONGLONG> idle_cancel_delay_{0};
  std::atomic<std::uint64_t> idle_id_{0};
  std::atomic<CCHAR> idle_stack_size_{0};
  std::atomic<LONGLONG> resume_time_{kDefaultResumeTime};
  KEVENT power_release_;
  std::atomic<bool> hold_power_{false};
  std::atomic<LONG> power_waiting_{0};
  std::atomic<LONG> power_irps_{0};
};

}  // namespace platform::usb
