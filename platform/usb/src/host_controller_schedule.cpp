// The simulated host controller's schedule: (micro)frames exchanging isochronous packets,
// polling interrupt and bulk transfers and running control transfers, the surprise-removal
// sequence, and the delivery of completions from the bus context.
#include <algorithm>

#include "host_controller_internal.h"
#include "kernel/clock.h"

namespace platform::usb {

// When a request finished outside the schedule (abort, cancel, removal) is due: at once,
// for the next pass of the bus context.
BusMicroframe HostController::Immediate() { return std::min(now_, clock_()); }

// Completions of the schedule reach the bus context when the controller interrupts: as
// their frame ends, or, when the platform's timing batches them (clock::Timing), at the
// end of a later frame together with the completions of the frames in between.
BusMicroframe HostController::InterruptAt(BusMicroframe finished) {
  if (next_interrupt_ && finished <= *next_interrupt_) return *next_interrupt_;
  const unsigned batch = clock::DrawCompletionBatch();
  BusMicroframe at = finished;
  if (batch > 1) at = (finished + kFrame - 1) / kFrame * kFrame + static_cast<BusMicroframe>(batch - 1) * kFrame;
  next_interrupt_ = at;
  return at;
}

void HostController::Retire(std::unique_ptr<Transfer> t, BusMicroframe when, NTSTATUS status) {
  due_.push_back(Completed{when, t->seq, std::move(t->done), status});
}

// A transfer ends before all of it ran (abort, cancel, removal): the packets that never
// went on the bus say so, IN packets that never ran carry nothing, and the counts agree.
void HostController::FinishUnrun(Transfer& t, USBD_STATUS status) {
  PURB urb = t.urb;
  urb->UrbHeader.Status = status;
  if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER && t.pipe != nullptr) {
    auto& r = urb->UrbIsochronousTransfer;
    for (ULONG i = t.next_packet; i < r.NumberOfPackets; ++i) {
      r.IsoPacket[i].Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
      if (t.pipe->in()) r.IsoPacket[i].Length = 0;
      ++t.errors;
    }
    t.next_packet = r.NumberOfPackets;
    r.ErrorCount = t.errors;
    if (t.pipe->in()) {
      ULONG total = 0;
      for (ULONG i = 0; i < r.NumberOfPackets; ++i) total += r.IsoPacket[i].Length;
      r.TransferBufferLength = total;
    }
  } else if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
  } else if (t.length != nullptr) {
    *t.length = 0;
  }
}

std::size_t HostController::AbortPipeLocked(Pipe& pipe, USBD_STATUS status, NTSTATUS nt) {
  std::size_t n = 0;
  while (!pipe.queue.empty()) {
    auto t = std::move(pipe.queue.front());
    pipe.queue.pop_front();
    FinishUnrun(*t, status);
    Retire(std::move(t), Immediate(), nt);
    ++n;
  }
  pipe.next_slot.reset();
  return n;
}

void HostController::CompleteAllLocked(USBD_STATUS status, NTSTATUS nt) {
  for (auto& [_, pipe] : pipes_) AbortPipeLocked(*pipe, status, nt);
  for (auto* list : {&control_queue_, &held_}) {
    for (auto& t : *list) {
      FinishUnrun(*t, status);
      Retire(std::move(t), Immediate(), nt);
    }
    list->clear();
  }
}

// The isochronous packets of one pipe due in microframe `m`. Every queued transfer whose
// next packet's slot has come is served; a slot the schedule passed without running it
// (the bus context came late) or one another transfer already used is not accessed, so
// no transfer can be stranded by schedule state.
void HostController::RunIsoch(Pipe& pipe, BusMicroframe m) {
  bool slot_used = false;
  for (auto it = pipe.queue.begin(); it != pipe.queue.end();) {
    Transfer& t = **it;
    auto& r = t.urb->UrbIsochronousTransfer;
    while (t.next_packet < r.NumberOfPackets) {
      const BusMicroframe slot = t.first_slot + static_cast<BusMicroframe>(t.next_packet) * pipe.period;
      if (slot > m) break;
      auto& p = r.IsoPacket[t.next_packet];
      const ULONG end = t.next_packet + 1 < r.NumberOfPackets ? r.IsoPacket[t.next_packet + 1].Offset : r.TransferBufferLength;
      const ULONG span = end - p.Offset;
      if (pipe.in()) p.Length = 0;
      if (slot < m || slot_used) {
        p.Status = slot < m ? USBD_STATUS_ISO_NOT_ACCESSED_LATE : USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
        if (slot < m && device_ != nullptr) device_->IsoPacketsLate(pipe.address, slot, 1);
      } else if (t.forced) {
        p.Status = t.forced->first;
        slot_used = true;
      } else if (unplug_at_) {
        p.Status = USBD_STATUS_XACT_ERROR;  // nothing answers on the bus
        slot_used = true;
      } else if (pipe.in()) {
        const ULONG capacity = std::min(span, pipe.max_packet);
        ULONG got = 0;
        p.Status = device_->IsoIn(pipe.address, m, t.data + p.Offset, capacity, &got);
        p.Length = std::min(got, capacity);
        slot_used = true;
      } else {
        p.Status = device_->IsoOut(pipe.address, m, t.data + p.Offset, span);
        slot_used = true;
      }
      if (!USBD_SUCCESS(p.Status)) ++t.errors;
      ++t.next_packet;
    }
    if (t.next_packet < r.NumberOfPackets) {
      ++it;
      continue;
    }
    auto done = std::move(*it);
    it = pipe.queue.erase(it);
    r.ErrorCount = done->errors;
    NTSTATUS status;
    if (done->forced) {
      r.Hdr.Status = done->forced->first;
      status = done->forced->second;
    } else if (done->errors == r.NumberOfPackets) {
      r.Hdr.Status = USBD_STATUS_ISOCH_REQUEST_FAILED;
      status = STATUS_UNSUCCESSFUL;
    } else {
      r.Hdr.Status = USBD_STATUS_SUCCESS;
      status = STATUS_SUCCESS;
    }
    if (pipe.in()) {
      ULONG total = 0;
      for (ULONG i = 0; i < r.NumberOfPackets; ++i) total += r.IsoPacket[i].Length;
      r.TransferBufferLength = total;
    }
    Retire(std::move(done), InterruptAt((m / kFrame + 1) * kFrame), status);  // when its frame ends
  }
}

void HostController::RunMicroframe(BusMicroframe m) {
  if (device_ != nullptr && present_ && !unplug_at_ && (high_speed_ || m % kFrame == 0)) device_->Tick(m);
  const BusMicroframe unit = high_speed_ ? 1 : kFrame;
  // Control transfers due now.
  std::stable_sort(control_queue_.begin(), control_queue_.end(),
                   [](const auto& a, const auto& b) { return a->due < b->due; });
  while (!control_queue_.empty() && control_queue_.front()->due <= m) {
    auto t = std::move(control_queue_.front());
    control_queue_.erase(control_queue_.begin());
    PURB urb = t->urb;
    NTSTATUS status;
    if (t->forced) {
      urb->UrbHeader.Status = t->forced->first;
      if (t->length) *t->length = 0;
      status = t->forced->second;
    } else {
      auto r = unplug_at_ ? ControlResult{USBD_STATUS_DEV_NOT_RESPONDING, 0} : DeviceControl(t->setup, t->buffer);
      urb->UrbHeader.Status = r.status;
      if (t->length && USBD_SUCCESS(r.status)) *t->length = r.length;
      if (t->length && !USBD_SUCCESS(r.status)) *t->length = 0;
      status = UsbdStatusToNtStatus(r.status);
    }
    Retire(std::move(t), InterruptAt(m), status);
  }
  for (auto& [_, pipe] : pipes_) {
    if (pipe->queue.empty()) continue;
    if (pipe->type == USB_ENDPOINT_TYPE_ISOCHRONOUS) {
      RunIsoch(*pipe, m);
      continue;
    }
    // Interrupt and bulk: one transaction per service interval.
    if (m % pipe->period != 0) continue;
    auto& t = pipe->queue.front();
    auto& r = t->urb->UrbBulkOrInterruptTransfer;
    USBD_STATUS s;
    ULONG got = r.TransferBufferLength;
    if (t->forced) {
      s = t->forced->first;
      got = 0;
    } else if (pipe->halted) {
      s = USBD_STATUS_ENDPOINT_HALTED;
      got = 0;
    } else if (unplug_at_) {
      s = USBD_STATUS_DEV_NOT_RESPONDING;  // the retries ran out: the endpoint halts
      got = 0;
    } else if (pipe->in()) {
      got = 0;
      s = device_->TransferIn(pipe->address, t->data, r.TransferBufferLength, &got);
      if (s == USBD_STATUS_PENDING) continue;  // NAK: try again next interval
      if (USBD_SUCCESS(s) && got < r.TransferBufferLength && !(r.TransferFlags & USBD_SHORT_TRANSFER_OK))
        s = USBD_STATUS_ERROR_SHORT_TRANSFER;
    } else {
      s = device_->TransferOut(pipe->address, t->data, r.TransferBufferLength);
      if (s == USBD_STATUS_PENDING) continue;
    }
    if (s == USBD_STATUS_STALL_PID || s == USBD_STATUS_DEV_NOT_RESPONDING) pipe->halted = true;
    auto done = std::move(pipe->queue.front());
    pipe->queue.pop_front();
    r.TransferBufferLength = got;
    r.Hdr.Status = s;
    const NTSTATUS status = done->forced ? done->forced->second : UsbdStatusToNtStatus(s);
    Retire(std::move(done), InterruptAt(m + unit), status);
  }
}

std::optional<BusMicroframe> HostController::NextWorkLocked() {
  std::optional<BusMicroframe> next;
  auto consider = [&](BusMicroframe t) {
    t = std::max(t, now_);
    if (!next || t < *next) next = t;
  };
  if (unplug_at_) consider(*unplug_at_);
  for (auto& t : control_queue_) consider(t->due);
  for (auto& [_, pipe] : pipes_) {
    if (pipe->queue.empty()) continue;
    if (pipe->type == USB_ENDPOINT_TYPE_ISOCHRONOUS) {
      for (auto& t : pipe->queue) {
        const ULONG n = t->urb->UrbIsochronousTransfer.NumberOfPackets;
        if (t->next_packet < n) consider(t->first_slot + static_cast<BusMicroframe>(t->next_packet) * pipe->period);
      }
    } else {
      consider((now_ + pipe->period - 1) / pipe->period * pipe->period);
    }
  }
  return next;
}

std::optional<BusMicroframe> HostController::NextEvent() {
  std::lock_guard lock(mutex_);
  std::optional<BusMicroframe> next = NextWorkLocked();
  for (auto& c : due_)
    if (Deliverable(c) && (!next || std::max(c.when, now_) < *next)) next = std::max(c.when, now_);
  return next;
}

// The end of a surprise removal: the hub reports the port empty.
void HostController::GoneLocked() {
  unplug_at_.reset();
  present_ = false;
  CompleteAllLocked(USBD_STATUS_DEVICE_GONE, removal_status_);
  if (idle_) {
    due_.push_back(Completed{Immediate(), idle_->id, std::move(idle_->done), removal_status_});
    idle_.reset();
  }
}

// Runs the work due before `until` (or at it, when inclusive) without delivering.
void HostController::RunScheduleLocked(BusMicroframe until, bool inclusive) {
  for (;;) {
    const auto work_at = NextWorkLocked();
    if (!work_at || *work_at > until || (!inclusive && *work_at == until)) break;
    now_ = *work_at;
    if (unplug_at_ && *unplug_at_ <= now_) {
      GoneLocked();
      continue;
    }
    RunMicroframe(now_);
    now_ += 1;
  }
  now_ = std::max(now_, until);
}

// Events run in time order: completions are delivered when the schedule reaches their
// time, before the work of that microframe, so a completion routine that asks for the
// frame or submits again sees that time.
void HostController::AdvanceTo(BusMicroframe until) {
  std::unique_lock lock(mutex_);
  if (delivering_ > 0) return;  // called from a completion: the pass in progress goes on
  for (;;) {
    std::optional<BusMicroframe> done_at;
    for (auto& c : due_)
      if (Deliverable(c) && (!done_at || c.when < *done_at)) done_at = c.when;
    const auto work_at = NextWorkLocked();
    if (done_at && *done_at <= until && (!work_at || *done_at <= *work_at)) {
      now_ = std::max(now_, *done_at);
      std::vector<Completed> ready, keep;
      for (auto& c : due_) (c.when <= now_ && Deliverable(c) ? ready : keep).push_back(std::move(c));
      due_ = std::move(keep);
      std::stable_sort(ready.begin(), ready.end(), [](const Completed& a, const Completed& b) { return Earlier(a, b); });
      ++delivering_;
      lock.unlock();
      Deliver(ready);
      lock.lock();
      --delivering_;
      continue;
    }
    if (work_at && *work_at <= until) {
      RunScheduleLocked(*work_at, true);
      continue;
    }
    now_ = std::max(now_, until);
    break;
  }
  // The device's clock runs to the bus time, not past it.
  if (device_ != nullptr && present_ && !unplug_at_) device_->Tick(until);
}

void HostController::Deliver(std::vector<Completed>& list) {
  for (auto& c : list)
    if (c.done) c.done(c.status);
  list.clear();
}

bool HostController::Cancel(std::uint64_t id) {
  {
    std::lock_guard lock(mutex_);
    if (id == 0) return false;
    auto take = [&](auto& container) -> bool {
      for (auto it = container.begin(); it != container.end(); ++it) {
        if ((*it)->seq != id) continue;
        auto t = std::move(*it);
        container.erase(it);
        FinishUnrun(*t, USBD_STATUS_CANCELED);
        Retire(std::move(t), Immediate(), STATUS_CANCELLED);
        return true;
      }
      return false;
    };
    bool found = take(control_queue_) || take(held_);
    for (auto& [_, pipe] : pipes_) {
      if (found) break;
      found = take(pipe->queue);
      // A cancelled isochronous transfer frees its frames only at the end of the queue.
      if (found && pipe->type == USB_ENDPOINT_TYPE_ISOCHRONOUS && pipe->queue.empty()) pipe->next_slot.reset();
    }
    if (!found && idle_ && idle_->id == id) {
      due_.push_back(Completed{Immediate(), id, std::move(idle_->done), STATUS_CANCELLED});
      idle_.reset();
      found = true;
    }
    if (!found) return false;
  }
  Wake();
  return true;
}

}  // namespace platform::usb
