// A chip whose 16-bit registers are written with HID class requests on one interface of
// the device (chip class A's register path). Installed as the simulated device's request
// hook, it answers
//  - SET_REPORT (bmRequestType 0x21, bRequest 0x09) of 4 bytes {0x20, value low, value
//    high, register}: writes the register and logs the write with the virtual time;
//  - GET_REPORT (bmRequestType 0xA1, bRequest 0x01): a 3-byte input report {0x20, value
//    low, value high} of the register last written (register 0 before any write);
// and stalls other requests to that interface. Everything else passes on to the device.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/device/sim_device.h"

namespace sim::device {

class ChipRegisters {
 public:
  static constexpr std::size_t kCount = 6;
  static constexpr std::uint8_t kReportId = 0x20;

  struct Write {
    long long time;  // platform clock, 100 ns units
    std::uint8_t reg;
    std::uint16_t value;
  };

  explicit ChipRegisters(std::uint8_t interface_number = 3, std::array<std::uint16_t, kCount> initial = {});
  // Becomes the device's request hook (replacing any other); the device keeps the state
  // alive as long as it holds the hook.
  void Install(SimDevice& device);

  std::uint16_t value(std::uint8_t reg) const;
  std::vector<Write> writes() const;
  void ClearWrites();

 private:
  struct State {
    mutable std::mutex mutex;
    std::uint8_t interface_number;
    std::array<std::uint16_t, kCount> values;
    std::uint8_t last = 0;
    std::vector<Write> writes;
  };
  std::shared_ptr<State> state_;
};

}  // namespace sim::device
