// Private pieces of the simulated host controller shared by its source files: pipes,
// transfers and the bus's frame length.
#pragma once

#include <deque>
#include <memory>
#include <optional>

#include "usb/host_controller.h"

namespace platform::usb {

constexpr BusMicroframe kFrame = 8;  // microframes per 1 ms frame

struct HostController::Pipe {
  std::uintptr_t handle = 0;
  std::uint8_t interface_number = 0;
  std::uint8_t address = 0;
  std::uint8_t type = 0;
  std::uint32_t max_packet = 0;      // bytes per (micro)frame
  std::uint32_t period = 8;          // service interval in microframes
  bool halted = false;
  std::optional<BusMicroframe> next_slot;  // isochronous: where an ASAP transfer continues
  std::deque<std::unique_ptr<Transfer>> queue;
  bool in() const { return (address & 0x80) != 0; }
};

struct HostController::Transfer {
  std::uint64_t seq = 0;
  PURB urb = nullptr;
  UrbCompletion done;
  Pipe* pipe = nullptr;
  // Control transfers.
  USB_DEFAULT_PIPE_SETUP_PACKET setup{};
  UCHAR* buffer = nullptr;
  PULONG length = nullptr;
  BusMicroframe due = 0;
  // Isochronous, bulk and interrupt transfers: the data, from the pointer or the MDL.
  UCHAR* data = nullptr;
  // Isochronous transfers.
  BusMicroframe first_slot = 0;
  ULONG next_packet = 0;
  ULONG errors = 0;
  // Faults.
  std::optional<std::pair<USBD_STATUS, NTSTATUS>> forced;
};

// Completion order: by due time, then by submission.
inline bool Earlier(const auto& a, const auto& b) { return a.when != b.when ? a.when < b.when : a.seq < b.seq; }

}  // namespace platform::usb
