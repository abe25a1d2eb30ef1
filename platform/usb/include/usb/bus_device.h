// What the simulated host controller asks of the device on its port. The controller owns
// the schedule (frames, URBs, pipes); the device answers transactions.
#pragma once

#include <cstdint>
#include <span>

#include "usb/usb.h"
#include "usb/usbdi.h"

namespace platform::usb {

// Bus time in microframes (125 us) since the controller started. Full-speed frames start
// at multiples of 8.
using BusMicroframe = std::uint64_t;

struct ControlResult {
  USBD_STATUS status = USBD_STATUS_SUCCESS;  // USBD_STATUS_STALL_PID for a stalled request
  ULONG length = 0;                          // bytes of the data stage actually moved
};

class BusDevice {
 public:
  virtual ~BusDevice() = default;

  virtual bool HighSpeed() const = 0;
  // The configuration descriptor set the device reports (for pipe information).
  virtual std::span<const std::uint8_t> Configuration() const = 0;

  // One control transfer. For host-to-device requests `data` holds wLength bytes; for
  // device-to-host ones the device writes at most wLength bytes into it.
  virtual ControlResult Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::uint8_t* data) = 0;

  // One isochronous packet in the (micro)frame `when`.
  virtual USBD_STATUS IsoOut(std::uint8_t endpoint, BusMicroframe when, const std::uint8_t* data, ULONG length) = 0;
  virtual USBD_STATUS IsoIn(std::uint8_t endpoint, BusMicroframe when, std::uint8_t* buffer, ULONG capacity,
                            ULONG* length) = 0;

  // Interrupt and bulk transactions. IN returns USBD_STATUS_PENDING while the endpoint
  // has nothing to send (NAK); a stalled endpoint answers USBD_STATUS_STALL_PID.
  virtual USBD_STATUS TransferIn(std::uint8_t endpoint, std::uint8_t* buffer, ULONG capacity, ULONG* length) = 0;
  virtual USBD_STATUS TransferOut(std::uint8_t endpoint, const std::uint8_t* data, ULONG length) = 0;

  // Isochronous packets the controller had scheduled for the endpoint but could not run,
  // their (micro)frames having passed when it got to them (the transfer came too late):
  // `count` packets from `first`, one service interval apart. The device never saw them
  // on the bus; a simulated device notes them. Default: nothing.
  virtual void IsoPacketsLate(std::uint8_t endpoint, BusMicroframe first, ULONG count) {
    (void)endpoint;
    (void)first;
    (void)count;
  }

  // Start of every bus (micro)frame: the device's own clock runs on.
  virtual void Tick(BusMicroframe now) = 0;
  // Port reset: back to the unconfigured state.
  virtual void BusReset() = 0;
};

}  // namespace platform::usb
