#include "usb/host_controller.h"

#include <algorithm>
#include <cstring>

#include "host_controller_internal.h"
#include "kernel/mm.h"
#include "usb/usbdlib.h"

namespace platform::usb {

namespace {

std::uint32_t PeriodOf(std::uint8_t type, std::uint8_t interval, bool high_speed) {
  if (type == USB_ENDPOINT_TYPE_BULK || type == USB_ENDPOINT_TYPE_CONTROL) return high_speed ? 1 : 8;
  if (high_speed) return 1u << (std::clamp<std::uint32_t>(interval, 1, 16) - 1);
  if (type == USB_ENDPOINT_TYPE_ISOCHRONOUS) return 8;
  std::uint32_t frames = 1;  // full-speed interrupt: the largest power of two not above bInterval
  while (frames * 2 <= std::max<std::uint32_t>(interval, 1) && frames < 32) frames *= 2;
  return frames * 8;
}

bool IsControlFunction(USHORT f) {
  switch (f) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
      return true;
    default:
      return false;
  }
}

// Requests of one fixed size: their Hdr.Length must be exactly that, as the stack checks.
bool IsPipeRequest(USHORT f) {
  return f == URB_FUNCTION_ABORT_PIPE || f == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
         f == URB_FUNCTION_SYNC_RESET_PIPE || f == URB_FUNCTION_SYNC_CLEAR_STALL;
}

// Minimum Hdr.Length per function (pipe requests: the exact length).
ULONG MinimumLength(USHORT f) {
  switch (f) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return offsetof(_URB_SELECT_CONFIGURATION, Interface);
    case URB_FUNCTION_SELECT_INTERFACE: return offsetof(_URB_SELECT_INTERFACE, Interface) + GET_USBD_INTERFACE_SIZE(0);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: return sizeof(_URB_PIPE_REQUEST);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: return sizeof(_URB_GET_CURRENT_FRAME_NUMBER);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_ISOCH_TRANSFER: return offsetof(_URB_ISOCH_TRANSFER, IsoPacket);
    case URB_FUNCTION_CONTROL_TRANSFER: return sizeof(_URB_CONTROL_TRANSFER);
    default: return IsControlFunction(f) ? sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) : sizeof(_URB_HEADER);
  }
}

// The buffer of a transfer: the MDL's when one is given (as the real stack prefers it),
// else the pointer. Null when neither describes `length` bytes.
UCHAR* TransferData(PVOID buffer, PMDL mdl, ULONG length) {
  if (mdl != nullptr) {
    if (MmGetMdlByteCount(mdl) < length) return nullptr;
    return static_cast<UCHAR*>(MmGetMdlVirtualAddress(mdl));
  }
  return static_cast<UCHAR*>(buffer);
}

}  // namespace

HostController::HostController(BusDevice* device, std::function<BusMicroframe()> now)
    : HostController(device, std::move(now), Options{}) {}

HostController::HostController(BusDevice* device, std::function<BusMicroframe()> now, Options options)
    : device_(device), clock_(std::move(now)), options_(options) {
  high_speed_ = device_ != nullptr && device_->HighSpeed();
  present_ = device_ != nullptr;
  options_.control_latency_frames = std::max<std::uint32_t>(options_.control_latency_frames, 1);
  now_ = clock_();
}

HostController::~HostController() = default;

void HostController::SetFrameOrigin(ULONG frame_at_zero) {
  std::lock_guard lock(mutex_);
  frame_origin_ = frame_at_zero;
}

ULONG HostController::FrameAt(BusMicroframe t) const {
  return static_cast<ULONG>(frame_origin_ + static_cast<ULONG>(t / kFrame));
}

ULONG HostController::CurrentFrame() {
  const BusMicroframe now = clock_();
  std::lock_guard lock(mutex_);
  return FrameAt(now);
}

bool HostController::HighSpeed() const { return high_speed_; }

void HostController::SetWakeup(std::function<void()> wake) {
  std::lock_guard lock(mutex_);
  wake_ = std::move(wake);
}

void HostController::Wake() {
  std::function<void()> wake;
  {
    std::lock_guard lock(mutex_);
    wake = wake_;
  }
  if (wake) wake();
}

// ---------------------------------------------------------------------------------------
// Submission

NTSTATUS HostController::Finish(PURB urb, USBD_STATUS status) {
  urb->UrbHeader.Status = status;
  return UsbdStatusToNtStatus(status);
}

NTSTATUS HostController::Submit(PURB urb, UrbCompletion done, std::uint64_t* id, bool deferred) {
  NTSTATUS status;
  {
    std::lock_guard lock(mutex_);
    // The schedule catches up with the clock (a late bus context must not make a packet
    // look early), but what it finishes waits for the bus context.
    if (delivering_ == 0) RunScheduleLocked(clock_(), false);
    if (watch_ && urb != nullptr) watch_(*urb, FrameAt(clock_()));
    status = SubmitLocked(urb, done, id);
    if (deferred && status == STATUS_PENDING && id != nullptr && *id != 0) unreleased_.push_back(*id);
  }
  Wake();
  return status;
}

void HostController::Release(std::uint64_t id) {
  bool waiting = false;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find(unreleased_.begin(), unreleased_.end(), id);
    if (it == unreleased_.end()) return;
    unreleased_.erase(it);
    for (const auto& c : due_) waiting = waiting || c.seq == id;
  }
  if (waiting) Wake();
}

bool HostController::Deliverable(const Completed& c) const {
  return unreleased_.empty() || std::find(unreleased_.begin(), unreleased_.end(), c.seq) == unreleased_.end();
}

NTSTATUS HostController::SubmitLocked(PURB urb, UrbCompletion& done, std::uint64_t* id) {
  if (id) *id = 0;
  if (urb == nullptr) return STATUS_INVALID_PARAMETER;
  ++urbs_;
  const USHORT function = urb->UrbHeader.Function;
  if (urb->UrbHeader.Length < MinimumLength(function) ||
      (IsPipeRequest(function) && urb->UrbHeader.Length != sizeof(_URB_PIPE_REQUEST)))
    return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
  if (!present_) {
    urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    return removal_status_;
  }

  // Fault hooks count every URB (of the named function).
  std::optional<std::pair<USBD_STATUS, NTSTATUS>> forced;
  bool hold = false;
  for (auto it = urb_faults_.begin(); it != urb_faults_.end(); ++it) {
    if (it->function && *it->function != function) continue;
    if (--it->remaining == 0) {
      ++fault_hits_;
      if (it->hold)
        hold = true;
      else
        forced = std::make_pair(it->usbd, it->status);
      urb_faults_.erase(it);
      break;
    }
  }

  const std::uint64_t seq = next_seq_++;
  auto make = [&](Pipe* pipe) {
    auto t = std::make_unique<Transfer>();
    t->seq = seq;
    t->urb = urb;
    t->done = std::move(done);
    t->pipe = pipe;
    t->forced = forced;
    if (id) *id = seq;
    return t;
  };
  if (hold) {
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    held_.push_back(make(nullptr));
    return STATUS_PENDING;
  }

  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SELECT_INTERFACE:
      if (forced) {
        urb->UrbHeader.Status = forced->first;
        return forced->second;
      }
      return function == URB_FUNCTION_SELECT_CONFIGURATION ? SelectConfiguration(urb) : SelectInterface(urb);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
      urb->UrbGetCurrentFrameNumber.FrameNumber = FrameAt(clock_());
      return Finish(urb, USBD_STATUS_SUCCESS);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: {
      Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
      if (pipe == nullptr) return Finish(urb, USBD_STATUS_INVALID_PIPE_HANDLE);
      if (forced) {
        urb->UrbHeader.Status = forced->first;
        return forced->second;
      }
      if (function == URB_FUNCTION_ABORT_PIPE) {
        // The abort returns once the aborted transfers have completed: it completes right
        // after them, from the bus context.
        if (AbortPipeLocked(*pipe, USBD_STATUS_CANCELED, STATUS_CANCELLED) > 0) {
          urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
          due_.push_back(Completed{Immediate(), seq, std::move(done), STATUS_SUCCESS});
          if (id) *id = seq;
          return STATUS_PENDING;
        }
      } else {
        if (function != URB_FUNCTION_SYNC_RESET_PIPE && pipe->type != USB_ENDPOINT_TYPE_ISOCHRONOUS) {
          USB_DEFAULT_PIPE_SETUP_PACKET clear{0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, pipe->address, 0};
          DeviceControl(clear, nullptr);
        }
        pipe->halted = false;
        // An ASAP transfer after the reset starts afresh, but never inside the frames of
        // transfers still queued on the pipe.
        if (pipe->queue.empty()) pipe->next_slot.reset();
      }
      return Finish(urb, USBD_STATUS_SUCCESS);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto& r = urb->UrbBulkOrInterruptTransfer;
      Pipe* pipe = FindPipe(r.PipeHandle);
      if (pipe == nullptr) return Finish(urb, USBD_STATUS_INVALID_PIPE_HANDLE);
      if (pipe->type != USB_ENDPOINT_TYPE_BULK && pipe->type != USB_ENDPOINT_TYPE_INTERRUPT)
        return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
      UCHAR* data = TransferData(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength);
      if ((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != (pipe->in() ? 1u : 0u) ||
          (r.TransferBufferLength > 0 && data == nullptr))
        return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
      if (pipe->halted) return Finish(urb, USBD_STATUS_ENDPOINT_HALTED);
      urb->UrbHeader.Status = USBD_STATUS_PENDING;
      auto t = make(pipe);
      t->data = data;
      pipe->queue.push_back(std::move(t));
      return STATUS_PENDING;
    }
    case URB_FUNCTION_ISOCH_TRANSFER: {
      Pipe* pipe = FindPipe(urb->UrbIsochronousTransfer.PipeHandle);
      if (pipe == nullptr) return Finish(urb, USBD_STATUS_INVALID_PIPE_HANDLE);
      auto t = make(pipe);
      NTSTATUS s = QueueIsoch(urb, *pipe, t);
      if (s != STATUS_PENDING) done = std::move(t->done);
      return s;
    }
    default:
      break;
  }
  if (!IsControlFunction(function)) return Finish(urb, USBD_STATUS_INVALID_URB_FUNCTION);

  // Control transfers on the default pipe.
  USB_DEFAULT_PIPE_SETUP_PACKET setup{};
  UCHAR* buffer = nullptr;
  PULONG length = nullptr;
  auto& vc = urb->UrbControlVendorClassRequest;
  const bool in_dir = (vc.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  auto recipient_type = [&](UCHAR type, UCHAR recipient, bool in) {
    return static_cast<UCHAR>((in ? 0x80 : 0) | (type << 5) | recipient);
  };
  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE: {
      auto& d = urb->UrbControlDescriptorRequest;
      setup = {static_cast<UCHAR>(function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ? 0x80 : 0x81),
               USB_REQUEST_GET_DESCRIPTOR, static_cast<USHORT>(d.DescriptorType << 8 | d.Index), d.LanguageId, 0};
      buffer = TransferData(d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength);
      length = &d.TransferBufferLength;
      break;
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER: {
      auto& g = urb->UrbControlGetStatusRequest;
      const UCHAR recipient = function == URB_FUNCTION_GET_STATUS_FROM_DEVICE ? 0
                              : function == URB_FUNCTION_GET_STATUS_FROM_INTERFACE ? 1
                              : function == URB_FUNCTION_GET_STATUS_FROM_ENDPOINT ? 2 : 3;
      setup = {static_cast<UCHAR>(0x80 | recipient), USB_REQUEST_GET_STATUS, 0, g.Index, 0};
      buffer = TransferData(g.TransferBuffer, g.TransferBufferMDL, g.TransferBufferLength);
      length = &g.TransferBufferLength;
      if (g.TransferBufferLength != 2) return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
      break;
    }
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
      auto& f = urb->UrbControlFeatureRequest;
      const bool set = function <= URB_FUNCTION_SET_FEATURE_TO_ENDPOINT;
      const UCHAR recipient = static_cast<UCHAR>((function - (set ? URB_FUNCTION_SET_FEATURE_TO_DEVICE
                                                                  : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE)));
      setup = {recipient, static_cast<UCHAR>(set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE),
               f.FeatureSelector, f.Index, 0};
      break;
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
      auto& c = urb->UrbControlTransfer;
      std::memcpy(&setup, c.SetupPacket, sizeof(setup));
      if (((setup.bmRequestType & 0x80) != 0) != ((c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0))
        return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
      buffer = TransferData(c.TransferBuffer, c.TransferBufferMDL, c.TransferBufferLength);
      length = &c.TransferBufferLength;
      break;
    }
    default: {
      UCHAR type = BMREQUEST_CLASS, recipient = BMREQUEST_TO_DEVICE;
      switch (function) {
        case URB_FUNCTION_VENDOR_DEVICE: type = BMREQUEST_VENDOR; recipient = 0; break;
        case URB_FUNCTION_VENDOR_INTERFACE: type = BMREQUEST_VENDOR; recipient = 1; break;
        case URB_FUNCTION_VENDOR_ENDPOINT: type = BMREQUEST_VENDOR; recipient = 2; break;
        case URB_FUNCTION_VENDOR_OTHER: type = BMREQUEST_VENDOR; recipient = 3; break;
        case URB_FUNCTION_CLASS_DEVICE: recipient = 0; break;
        case URB_FUNCTION_CLASS_INTERFACE: recipient = 1; break;
        case URB_FUNCTION_CLASS_ENDPOINT: recipient = 2; break;
        default: recipient = 3; break;
      }
      setup = {static_cast<UCHAR>(recipient_type(type, recipient, in_dir) | vc.RequestTypeReservedBits), vc.Request,
               vc.Value, vc.Index, 0};
      buffer = TransferData(vc.TransferBuffer, vc.TransferBufferMDL, vc.TransferBufferLength);
      length = &vc.TransferBufferLength;
      break;
    }
  }
  if (length != nullptr) {
    if (*length > 0xFFFF || (*length > 0 && buffer == nullptr)) return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
    setup.wLength = static_cast<USHORT>(*length);
  }
  auto t = make(nullptr);
  NTSTATUS s = QueueControl(urb, setup, buffer, length, t);
  return s;
}

NTSTATUS HostController::QueueControl(PURB urb, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* buffer,
                                      PULONG length, std::unique_ptr<Transfer>& t) {
  t->setup = setup;
  t->buffer = buffer;
  t->length = length;
  // The default pipe runs one request at a time; each takes the control latency, ending
  // at a frame boundary.
  const BusMicroframe start = std::max(control_free_at_, (now_ / kFrame + 1) * kFrame);
  t->due = start + (options_.control_latency_frames - 1) * kFrame;
  control_free_at_ = t->due + kFrame;
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  control_queue_.push_back(std::move(t));
  return STATUS_PENDING;
}

NTSTATUS HostController::QueueIsoch(PURB urb, Pipe& pipe, std::unique_ptr<Transfer>& t) {
  auto& r = urb->UrbIsochronousTransfer;
  if (pipe.type != USB_ENDPOINT_TYPE_ISOCHRONOUS) return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
  const ULONG n = r.NumberOfPackets;
  // The packet count the stack accepts: at high speed whole frames of the endpoint's
  // packets and at most 1024 packets, at full speed a bounded count.
  const ULONG limit = high_speed_ ? 1024 : options_.full_speed_max_packets;
  // Hdr.Length is exactly the fixed part and one descriptor per packet.
  if (n == 0 || n > limit || urb->UrbHeader.Length != GET_ISO_URB_SIZE(n)) return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
  if (pipe.period < kFrame && n % (kFrame / pipe.period) != 0) return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
  UCHAR* data = TransferData(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength);
  if ((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != (pipe.in() ? 1u : 0u) || data == nullptr ||
      r.TransferBufferLength == 0)
    return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
  // Packet i spans Offset[i] up to the next packet's offset (the last one up to the
  // buffer's end): offsets must not go backwards or leave the buffer. An OUT packet sends
  // exactly that span, so it must fit the endpoint; Length is ignored on OUT.
  for (ULONG i = 0; i < n; ++i) {
    const auto& p = r.IsoPacket[i];
    const ULONG end = i + 1 < n ? r.IsoPacket[i + 1].Offset : r.TransferBufferLength;
    if (p.Offset > r.TransferBufferLength || end < p.Offset || end > r.TransferBufferLength)
      return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
    if (!pipe.in() && end - p.Offset > pipe.max_packet) return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
  }
  const BusMicroframe clock = clock_();
  const ULONG current = FrameAt(clock);
  const BusMicroframe earliest = (clock / kFrame + 1) * kFrame;
  BusMicroframe first;
  if (r.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
    if (pipe.next_slot) {
      first = *pipe.next_slot;  // right after the pipe's last scheduled packet (late ones fail)
    } else {
      first = (clock / kFrame + options_.asap_start_delay_frames) * kFrame;
    }
  } else {
    const auto ahead = static_cast<std::int32_t>(r.StartFrame - current);
    if (ahead < 1 || static_cast<std::uint32_t>(ahead) > options_.start_frame_window) {
      return Finish(urb, USBD_STATUS_BAD_START_FRAME);
    }
    first = (clock / kFrame + static_cast<std::uint64_t>(ahead)) * kFrame;
    if (pipe.next_slot && first < *pipe.next_slot) return Finish(urb, USBD_STATUS_BAD_START_FRAME);  // overlaps
  }
  r.StartFrame = FrameAt(first);
  r.ErrorCount = 0;
  t->data = data;
  t->first_slot = first;
  // Packets whose slot has passed never go on the bus.
  while (t->next_packet < n && first + t->next_packet * pipe.period < earliest) {
    auto& p = r.IsoPacket[t->next_packet++];
    p.Status = USBD_STATUS_ISO_NA_LATE_USBPORT;
    if (pipe.in()) p.Length = 0;
    ++t->errors;
  }
  if (t->next_packet > 0 && device_ != nullptr) device_->IsoPacketsLate(pipe.address, first, t->next_packet);
  pipe.next_slot = first + static_cast<BusMicroframe>(n) * pipe.period;
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  if (t->next_packet == n) {  // every slot has passed: nothing goes on the bus
    r.ErrorCount = n;
    r.Hdr.Status = USBD_STATUS_ISOCH_REQUEST_FAILED;
    if (pipe.in()) r.TransferBufferLength = 0;
    Retire(std::move(t), Immediate(), STATUS_UNSUCCESSFUL);
    return STATUS_PENDING;
  }
  pipe.queue.push_back(std::move(t));
  return STATUS_PENDING;
}

// ---------------------------------------------------------------------------------------
// Configuration

ControlResult HostController::DeviceControl(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data) {
  if (device_ == nullptr || !present_) return {USBD_STATUS_DEVICE_GONE, 0};
  if (unplug_at_) return {USBD_STATUS_DEV_NOT_RESPONDING, 0};
  return device_->Control(setup, data);
}

HostController::Pipe* HostController::FindPipe(USBD_PIPE_HANDLE handle) {
  auto it = pipes_.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == pipes_.end() ? nullptr : it->second.get();
}

NTSTATUS HostController::FillInterface(USBD_INTERFACE_INFORMATION* info, std::size_t room, bool exact) {
  if (room < GET_USBD_INTERFACE_SIZE(0) || info->Length < GET_USBD_INTERFACE_SIZE(0) || info->Length > room)
    return STATUS_INVALID_PARAMETER;
  auto bytes = device_->Configuration();
  std::vector<std::uint8_t> config(bytes.begin(), bytes.end());
  if (config.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return STATUS_INVALID_PARAMETER;
  const auto total = static_cast<USHORT>(std::min<std::size_t>(config[2] | (config[3] << 8), config.size()));
  config[2] = static_cast<std::uint8_t>(total);
  config[3] = static_cast<std::uint8_t>(total >> 8);
  auto* cfg = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
  auto* intf = USBD_ParseConfigurationDescriptorEx(cfg, cfg, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
  if (intf == nullptr) return STATUS_INVALID_PARAMETER;
  // The endpoints that follow the interface descriptor, up to the next interface.
  std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
  auto* at = reinterpret_cast<UCHAR*>(intf) + intf->bLength;
  auto* end = config.data() + total;
  while (at + 2 <= end && at[0] >= 2 && at + at[0] <= end && at[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
    if (at[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && at[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      USB_ENDPOINT_DESCRIPTOR e;
      std::memcpy(&e, at, sizeof(e));
      endpoints.push_back(e);
    }
    at += at[0];
  }
  const ULONG needed = GET_USBD_INTERFACE_SIZE(static_cast<ULONG>(endpoints.size()));
  if (info->Length < needed) return STATUS_BUFFER_TOO_SMALL;
  // A selection is sized by the endpoints the interface descriptor declares.
  if (exact && info->Length != GET_USBD_INTERFACE_SIZE(intf->bNumEndpoints)) return STATUS_INVALID_BUFFER_SIZE;

  // Tell the device, then replace the interface's pipes.
  USB_DEFAULT_PIPE_SETUP_PACKET set{0x01, USB_REQUEST_SET_INTERFACE, info->AlternateSetting, info->InterfaceNumber, 0};
  const bool first_selection = alternates_.count(info->InterfaceNumber) == 0;
  if (!(first_selection && info->AlternateSetting == 0)) {
    auto r = DeviceControl(set, nullptr);
    if (!USBD_SUCCESS(r.status)) return UsbdStatusToNtStatus(r.status);
  }
  for (auto it = pipes_.begin(); it != pipes_.end();) {
    if (it->second->interface_number == info->InterfaceNumber) {
      AbortPipeLocked(*it->second, USBD_STATUS_CANCELED, STATUS_CANCELLED);
      it = pipes_.erase(it);
    } else {
      ++it;
    }
  }
  alternates_[info->InterfaceNumber] = info->AlternateSetting;
  auto& handle = interface_handles_[info->InterfaceNumber];
  if (handle == 0) handle = 0x20000 + (next_handle_++ << 4);
  info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(handle);
  info->Class = intf->bInterfaceClass;
  info->SubClass = intf->bInterfaceSubClass;
  info->Protocol = intf->bInterfaceProtocol;
  info->NumberOfPipes = static_cast<ULONG>(endpoints.size());
  for (std::size_t i = 0; i < endpoints.size(); ++i) {
    const auto& e = endpoints[i];
    auto pipe = std::make_unique<Pipe>();
    pipe->handle = 0x10000 + (next_handle_++ << 4);
    pipe->interface_number = info->InterfaceNumber;
    pipe->address = e.bEndpointAddress;
    pipe->type = e.bmAttributes & USB_ENDPOINT_TYPE_MASK;
    pipe->max_packet = USB_ENDPOINT_MAX_PACKET_SIZE(e.wMaxPacketSize) * (high_speed_ ? USB_ENDPOINT_TRANSACTIONS(e.wMaxPacketSize) : 1);
    pipe->period = PeriodOf(pipe->type, e.bInterval, high_speed_);
    auto& p = info->Pipes[i];
    p.MaximumPacketSize = static_cast<USHORT>(pipe->max_packet);
    p.EndpointAddress = e.bEndpointAddress;
    p.Interval = e.bInterval;
    p.PipeType = static_cast<USBD_PIPE_TYPE>(pipe->type);
    p.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(pipe->handle);
    if (p.MaximumTransferSize == 0) p.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    pipes_[pipe->handle] = std::move(pipe);
  }
  return STATUS_SUCCESS;
}

NTSTATUS HostController::SelectConfiguration(PURB urb) {
  auto& sc = urb->UrbSelectConfiguration;
  USB_DEFAULT_PIPE_SETUP_PACKET set{0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0};
  CompleteAllLocked(USBD_STATUS_CANCELED, STATUS_CANCELLED);
  pipes_.clear();
  alternates_.clear();
  interface_handles_.clear();
  configured_ = false;
  if (sc.ConfigurationDescriptor == nullptr) {  // unconfigure
    DeviceControl(set, nullptr);
    return Finish(urb, USBD_STATUS_SUCCESS);
  }
  auto bytes = device_->Configuration();
  set.wValue = bytes.size() > 5 ? bytes[5] : 1;
  auto r = DeviceControl(set, nullptr);
  if (!USBD_SUCCESS(r.status)) return Finish(urb, USBD_STATUS_SET_CONFIG_FAILED);
  auto* cursor = reinterpret_cast<UCHAR*>(&sc.Interface);
  auto* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
  while (cursor + GET_USBD_INTERFACE_SIZE(0) <= end) {
    auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(cursor);
    const NTSTATUS s = FillInterface(info, static_cast<std::size_t>(end - cursor));
    if (!NT_SUCCESS(s)) {
      urb->UrbHeader.Status = s == STATUS_BUFFER_TOO_SMALL ? USBD_STATUS_BUFFER_TOO_SMALL : USBD_STATUS_INTERFACE_NOT_FOUND;
      return s == STATUS_BUFFER_TOO_SMALL ? s : STATUS_INVALID_PARAMETER;
    }
    cursor += info->Length;
  }
  configured_ = true;
  config_handle_ = 0x30000 + (next_handle_++ << 4);
  sc.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(config_handle_);
  return Finish(urb, USBD_STATUS_SUCCESS);
}

NTSTATUS HostController::SelectInterface(PURB urb) {
  auto& si = urb->UrbSelectInterface;
  if (!configured_ || reinterpret_cast<std::uintptr_t>(si.ConfigurationHandle) != config_handle_)
    return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
  // The URB holds exactly one interface block, sized exactly for the setting's pipes.
  const std::size_t room = urb->UrbHeader.Length - offsetof(_URB_SELECT_INTERFACE, Interface);
  if (si.Interface.Length != room) return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
  const NTSTATUS s = FillInterface(&si.Interface, room, true);
  if (!NT_SUCCESS(s)) {
    if (s == STATUS_INVALID_BUFFER_SIZE) return Finish(urb, USBD_STATUS_INVALID_PARAMETER);
    urb->UrbHeader.Status = s == STATUS_BUFFER_TOO_SMALL ? USBD_STATUS_BUFFER_TOO_SMALL
                            : s == STATUS_UNSUCCESSFUL   ? USBD_STATUS_STALL_PID
                                                         : USBD_STATUS_INTERFACE_NOT_FOUND;
    return s == STATUS_BUFFER_TOO_SMALL || s == STATUS_UNSUCCESSFUL ? s : STATUS_INVALID_PARAMETER;
  }
  return Finish(urb, USBD_STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------------------
// Port, idle, faults

NTSTATUS HostController::GetPortStatus(ULONG* status) {
  std::lock_guard lock(mutex_);
  if (port_failures_ > 0) {
    --port_failures_;
    ++fault_hits_;
    return port_failure_;
  }
  if (status == nullptr) return STATUS_INVALID_PARAMETER;
  *status = present_ ? (USBD_PORT_CONNECTED | USBD_PORT_ENABLED) : 0;
  return STATUS_SUCCESS;
}

NTSTATUS HostController::ResetPort() {
  NTSTATUS result = STATUS_SUCCESS;
  {
    std::lock_guard lock(mutex_);
    if (!present_) return STATUS_NO_SUCH_DEVICE;
    ++resets_;
    CompleteAllLocked(USBD_STATUS_CANCELED, STATUS_CANCELLED);
    for (auto& [_, pipe] : pipes_) pipe->halted = false;
    // The bus driver restores the configuration the device had.
    device_->BusReset();
    if (configured_) {
      auto bytes = device_->Configuration();
      USB_DEFAULT_PIPE_SETUP_PACKET set{0x00, USB_REQUEST_SET_CONFIGURATION, static_cast<USHORT>(bytes.size() > 5 ? bytes[5] : 1), 0, 0};
      DeviceControl(set, nullptr);
      for (auto [number, alt] : alternates_) {
        if (alt == 0) continue;
        USB_DEFAULT_PIPE_SETUP_PACKET si{0x01, USB_REQUEST_SET_INTERFACE, alt, number, 0};
        if (!USBD_SUCCESS(DeviceControl(si, nullptr).status)) result = STATUS_UNSUCCESSFUL;
      }
    }
  }
  Wake();
  return result;
}

NTSTATUS HostController::CyclePort() {
  {
    std::lock_guard lock(mutex_);
    ++cycles_;
  }
  // The device drops off the bus at once (the host asked for it); the plug-and-play side
  // would enumerate it anew.
  RemoveDevice(STATUS_DEVICE_NOT_CONNECTED, 0);
  return STATUS_SUCCESS;
}

void HostController::WatchUrbs(UrbWatch watch) {
  std::lock_guard lock(mutex_);
  watch_ = std::move(watch);
}

void HostController::SetControlLatency(std::uint32_t frames) {
  std::lock_guard lock(mutex_);
  options_.control_latency_frames = std::max<std::uint32_t>(frames, 1);
}

std::uint32_t HostController::reset_count() {
  std::lock_guard lock(mutex_);
  return resets_;
}

std::uint32_t HostController::cycle_count() {
  std::lock_guard lock(mutex_);
  return cycles_;
}

NTSTATUS HostController::SubmitIdle(const USB_IDLE_CALLBACK_INFO* info, UrbCompletion done, std::uint64_t* id,
                                    bool deferred) {
  NTSTATUS status;
  {
    std::lock_guard lock(mutex_);
    if (id) *id = 0;
    if (info == nullptr || info->IdleCallback == nullptr) {
      status = STATUS_INVALID_PARAMETER;
    } else if (!present_) {
      status = removal_status_;
    } else if (idle_) {
      status = STATUS_DEVICE_BUSY;
    } else {
      const std::uint64_t seq = next_seq_++;
      idle_ = Idle{*info, std::move(done), seq, false};
      if (id) *id = seq;
      if (deferred && id) unreleased_.push_back(seq);
      return STATUS_PENDING;
    }
  }
  return status;
}

std::optional<USB_IDLE_CALLBACK_INFO> HostController::TakeIdleCallback() {
  std::lock_guard lock(mutex_);
  if (!idle_ || idle_->called) return std::nullopt;
  idle_->called = true;
  return idle_->info;
}

bool HostController::CompleteIdle(NTSTATUS status) {
  UrbCompletion done;
  {
    std::lock_guard lock(mutex_);
    if (!idle_) return false;
    done = std::move(idle_->done);
    idle_.reset();
  }
  if (done) done(status);
  return true;
}

bool HostController::idle_pending() {
  std::lock_guard lock(mutex_);
  return idle_.has_value();
}

void HostController::FailNthUrb(std::uint32_t n, USBD_STATUS usbd_status, NTSTATUS status, std::optional<USHORT> function) {
  std::lock_guard lock(mutex_);
  if (n > 0) urb_faults_.push_back({n, function, false, usbd_status, status});
}

void HostController::HoldNthUrb(std::uint32_t n, std::optional<USHORT> function) {
  std::lock_guard lock(mutex_);
  if (n > 0) urb_faults_.push_back({n, function, true, USBD_STATUS_SUCCESS, STATUS_SUCCESS});
}

void HostController::FailPortStatus(NTSTATUS status, std::uint32_t count) {
  std::lock_guard lock(mutex_);
  port_failure_ = status;
  port_failures_ = count;
}

void HostController::RemoveDevice(NTSTATUS status, std::optional<std::uint32_t> error_frames) {
  {
    std::lock_guard lock(mutex_);
    if (!present_) return;
    removal_status_ = status;
    const std::uint32_t frames = error_frames.value_or(options_.removal_error_frames);
    if (frames == 0) {
      GoneLocked();
    } else if (!unplug_at_) {
      unplug_at_ = ((std::max(clock_(), now_) + kFrame - 1) / kFrame + frames) * kFrame;
    }
  }
  Wake();
}

bool HostController::device_present() {
  std::lock_guard lock(mutex_);
  return present_;
}

std::uint32_t HostController::fault_hits() {
  std::lock_guard lock(mutex_);
  return fault_hits_;
}

std::uint64_t HostController::urbs_submitted() {
  std::lock_guard lock(mutex_);
  return urbs_;
}

}  // namespace platform::usb
