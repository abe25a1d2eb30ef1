// The simulated host controller: runs the bus schedule of one port in (micro)frames and
// carries URBs between a client driver and the device on the port.
//
// Time is counted in microframes (125 us) from the controller's start; the bus frame
// number is a 32-bit millisecond count with a settable origin. Whoever owns the clock
// calls AdvanceTo as time passes (the bus thread does, on the platform clock); every
// (micro)frame then exchanges its isochronous packets, polls pending interrupt and bulk
// transfers, runs due control transfers and delivers the completions that are due, in
// the order of their completion time and then of submission.
//
// Completions are delivered only by AdvanceTo, the bus's own context (the port runs it
// from its DPC): never from inside Submit, CurrentFrame, Cancel or the port calls, so a
// caller holding a lock never sees another request's completion run on its stack.
// Completion callbacks run without the controller's lock and may submit again. Calls
// that finish requests outside AdvanceTo queue them and call the wake-up hook, so the
// bus context delivers them at once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "usb/bus_device.h"
#include "usb/usbdi.h"
#include "usb/usbioctl.h"

namespace platform::usb {

// Called once per URB with the status for its IRP (the URB's own status is set).
using UrbCompletion = std::function<void(NTSTATUS status)>;

class HostController {
 public:
  struct Options {
    // Frames a control transfer takes from submission to completion (at least 1).
    std::uint32_t control_latency_frames = 1;
    // Frames between the current frame and the first packet of an isochronous transfer
    // submitted ASAP on an idle pipe.
    std::uint32_t asap_start_delay_frames = 2;
    // Explicit start frames may lie at most this many frames ahead.
    std::uint32_t start_frame_window = USBD_ISO_START_FRAME_RANGE;
    // Most packets one full-speed isochronous URB may carry (high speed: 1024).
    std::uint32_t full_speed_max_packets = 255;
    // Frames of transaction errors a surprise removal shows before the device is gone.
    std::uint32_t removal_error_frames = 3;
  };

  // `now` reports the current bus time (microframes); the controller never runs ahead of
  // it. The device may be null (nothing on the port).
  HostController(BusDevice* device, std::function<BusMicroframe()> now);
  HostController(BusDevice* device, std::function<BusMicroframe()> now, Options options);
  ~HostController();
  HostController(const HostController&) = delete;
  HostController& operator=(const HostController&) = delete;

  // --- Time
  void SetFrameOrigin(ULONG frame_at_zero);
  ULONG FrameAt(BusMicroframe t) const;
  ULONG CurrentFrame();  // QueryBusTime: the frame of the clock, nothing else happens
  bool HighSpeed() const;
  // The bus context: runs the schedule up to and including microframe `until` and
  // delivers every completion due by then, each at its own time.
  void AdvanceTo(BusMicroframe until);
  // Called (without the controller's lock) when completions were queued outside
  // AdvanceTo or the schedule gained earlier work.
  void SetWakeup(std::function<void()> wake);
  // The next microframe at which something is due, if anything is scheduled.
  std::optional<BusMicroframe> NextEvent();

  // --- URBs. Returns STATUS_PENDING when the completion comes later (then, and only then,
  // `done` is called once, from AdvanceTo); any other status is final and the URB's status
  // is set. `id` (optional) names a pending request for Cancel. Buffers may be given as a
  // pointer or an MDL (the MDL wins when both are set). An abort pipe with transfers
  // queued pends until their completions have been delivered.
  //
  // With `deferred` (and `id`), the completion of a pending request is not delivered
  // before Release(id), however soon it is due: the submitter (the port) first makes its
  // IRP pending and cancellable, which a completion running on another processor in the
  // meantime would find half done. The request itself runs on the bus meanwhile.
  NTSTATUS Submit(PURB urb, UrbCompletion done, std::uint64_t* id = nullptr, bool deferred = false);
  // Lets the bus context deliver the completion of a request submitted deferred.
  void Release(std::uint64_t id);
  // Completes a pending request with STATUS_CANCELLED (USBD_STATUS_CANCELED), delivered
  // by the bus context; false when it is no longer pending.
  bool Cancel(std::uint64_t id);

  // --- Port
  NTSTATUS GetPortStatus(ULONG* status);
  NTSTATUS ResetPort();
  NTSTATUS CyclePort();
  std::uint32_t reset_count();
  std::uint32_t cycle_count();

  // --- Idle notification: the request stays pending until cancelled, completed by the
  // test, or the device goes. A second one while one is pending is refused.
  NTSTATUS SubmitIdle(const USB_IDLE_CALLBACK_INFO* info, UrbCompletion done, std::uint64_t* id,
                      bool deferred = false);
  // Takes the callback of a pending idle request that has not been called yet (the bus
  // calls it when the device may suspend); null when there is none.
  std::optional<USB_IDLE_CALLBACK_INFO> TakeIdleCallback();
  bool CompleteIdle(NTSTATUS status);
  bool idle_pending();

  // --- Fault hooks. URBs are counted from the call on (1 = the next one), only those of
  // `function` when given.
  void FailNthUrb(std::uint32_t n, USBD_STATUS usbd_status, NTSTATUS status, std::optional<USHORT> function = {});
  void HoldNthUrb(std::uint32_t n, std::optional<USHORT> function = {});  // never completes by itself
  // GET_PORT_STATUS fails with `status` the next `count` times.
  void FailPortStatus(NTSTATUS status, std::uint32_t count = 1);
  // The device leaves the bus. For `error_frames` frames (default: the option) every
  // transaction fails as it would with nothing answering (isochronous packets
  // USBD_STATUS_XACT_ERROR, other transfers USBD_STATUS_DEV_NOT_RESPONDING); then every
  // pending request completes with `status` (USBD_STATUS_DEVICE_GONE), later ones fail the
  // same way and the port reads disconnected.
  void RemoveDevice(NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED, std::optional<std::uint32_t> error_frames = {});
  bool device_present();
  std::uint32_t fault_hits();
  std::uint64_t urbs_submitted();
  // Changes the control-transfer latency for requests submitted from now on (at least 1
  // frame), as a device that answers slowly for a while.
  void SetControlLatency(std::uint32_t frames);
  // Test view of the requests: `watch` sees every URB as it is submitted, before any check,
  // with the current bus frame (null stops watching). It runs under the controller's lock
  // and must not call back into the controller.
  using UrbWatch = std::function<void(const URB& urb, ULONG frame)>;
  void WatchUrbs(UrbWatch watch);

 private:
  struct Pipe;
  struct Transfer;
  struct Completed {
    BusMicroframe when;
    std::uint64_t seq;
    UrbCompletion done;
    NTSTATUS status;
  };

  NTSTATUS SubmitLocked(PURB urb, UrbCompletion& done, std::uint64_t* id);
  NTSTATUS SelectConfiguration(PURB urb);
  NTSTATUS SelectInterface(PURB urb);
  NTSTATUS FillInterface(USBD_INTERFACE_INFORMATION* info, std::size_t room, bool exact = false);
  NTSTATUS QueueControl(PURB urb, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* buffer, PULONG length,
                        std::unique_ptr<Transfer>& t);
  NTSTATUS QueueIsoch(PURB urb, Pipe& pipe, std::unique_ptr<Transfer>& t);
  NTSTATUS Finish(PURB urb, USBD_STATUS status);
  Pipe* FindPipe(USBD_PIPE_HANDLE handle);
  std::size_t AbortPipeLocked(Pipe& pipe, USBD_STATUS status, NTSTATUS nt);
  void FinishUnrun(Transfer& t, USBD_STATUS status);
  void RunIsoch(Pipe& pipe, BusMicroframe m);
  void GoneLocked();
  void RunScheduleLocked(BusMicroframe until, bool inclusive);
  void Wake();
  BusMicroframe Immediate();
  BusMicroframe InterruptAt(BusMicroframe finished);
  void CompleteAllLocked(USBD_STATUS status, NTSTATUS nt);
  void RunMicroframe(BusMicroframe m);
  void Retire(std::unique_ptr<Transfer> t, BusMicroframe when, NTSTATUS status);
  void Deliver(std::vector<Completed>& list);
  bool Deliverable(const Completed& c) const;
  ControlResult DeviceControl(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data);
  std::optional<BusMicroframe> NextWorkLocked();

  std::mutex mutex_;
  BusDevice* device_;
  std::function<BusMicroframe()> clock_;
  Options options_;
  bool high_speed_ = false;
  BusMicroframe now_ = 0;  // schedule has run up to here
  std::optional<BusMicroframe> next_interrupt_;  // completions finished by then are delivered then
  int delivering_ = 0;     // completions being delivered (callbacks may re-enter)
  ULONG frame_origin_ = 0;
  std::uint64_t next_seq_ = 1;
  std::uint64_t next_handle_ = 1;
  bool present_ = true;
  std::optional<BusMicroframe> unplug_at_;  // surprise removal: errors until then
  std::function<void()> wake_;
  NTSTATUS removal_status_ = STATUS_DEVICE_NOT_CONNECTED;
  bool configured_ = false;
  std::uintptr_t config_handle_ = 0;
  std::map<std::uintptr_t, std::unique_ptr<Pipe>> pipes_;
  std::map<std::uint8_t, std::uint8_t> alternates_;  // selected alternate setting per interface
  std::map<std::uint8_t, std::uintptr_t> interface_handles_;
  std::vector<std::unique_ptr<Transfer>> control_queue_;
  BusMicroframe control_free_at_ = 0;
  std::vector<std::unique_ptr<Transfer>> held_;
  std::vector<Completed> due_;
  std::vector<std::uint64_t> unreleased_;  // deferred requests whose submitter is not done yet
  struct Idle {
    USB_IDLE_CALLBACK_INFO info;
    UrbCompletion done;
    std::uint64_t id;
    bool called = false;
  };
  std::optional<Idle> idle_;
  struct UrbFault {
    std::uint32_t remaining;
    std::optional<USHORT> function;
    bool hold;
    USBD_STATUS usbd;
    NTSTATUS status;
  };
  std::vector<UrbFault> urb_faults_;
  UrbWatch watch_;
  NTSTATUS port_failure_ = STATUS_SUCCESS;
  std::uint32_t port_failures_ = 0;
  std::uint32_t resets_ = 0, cycles_ = 0, fault_hits_ = 0;
  std::uint64_t urbs_ = 0;
};

}  // namespace platform::usb
