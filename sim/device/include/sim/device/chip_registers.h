// A chip whose 16-bit registers are written with HID class requests on one interface of
// the device (chip class A's register path). Installed as the simulated device's request
// hook, it answers
//  - SET_REPORT (bmRequestType 0x21, bRequest 0x09) of 4 bytes {0x20, value low, value
//    high, register}: writes the register and logs the write with the virtual time;
//  - GET_REPORT (bmRequestType 0xA1, bRequest 0x01): a 3-byte input report {0x20, value
//    low, value high} of the register last written (register 0 before any write);
// and stalls other requests to that interface. Everything else passes on to the device.
//
// The input report's first byte also carries the jack bit (bit 4) the chip A driver polls.
// A test scripts it: reports queued one per read come first; after them a schedule on the
// platform clock answers (the last step that has begun). A step can also answer with no
// bytes or stall the request. Without either the report is as above.
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

  // What one jack report answers.
  struct JackReport {
    enum Kind { kByte, kEmpty, kStall };
    Kind kind = kByte;
    std::uint8_t byte = 0;  // kByte: the report's first byte
    static JackReport Byte(std::uint8_t b) { return {kByte, b}; }
    static JackReport Empty() { return {kEmpty, 0}; }
    static JackReport Stall() { return {kStall, 0}; }
  };
  struct JackStep {
    long long from;  // platform clock, 100 ns units
    JackReport report;
  };
  // The jack bit's two values as the report's first byte: plugged (bit 4 set) and not.
  static constexpr std::uint8_t kJackSet = 0x30;
  static constexpr std::uint8_t kJackClear = 0x20;

  explicit ChipRegisters(std::uint8_t interface_number = 3, std::array<std::uint16_t, kCount> initial = {});
  // Becomes the device's request hook (replacing any other); the device keeps the state
  // alive as long as it holds the hook.
  void Install(SimDevice& device);

  std::uint16_t value(std::uint8_t reg) const;
  std::vector<Write> writes() const;
  void ClearWrites();

  // Reports answered one per read, before the schedule.
  void QueueJackReports(const std::vector<JackReport>& reports);
  // Replaces the schedule; steps in time order.
  void SetJackSchedule(std::vector<JackStep> steps);
  // The platform time of every input report read, answered or not.
  std::vector<long long> jack_reads() const;

 private:
  struct State {
    mutable std::mutex mutex;
    std::uint8_t interface_number;
    std::array<std::uint16_t, kCount> values;
    std::uint8_t last = 0;
    std::vector<Write> writes;
    std::vector<JackReport> queued;
    std::size_t next_queued = 0;
    std::vector<JackStep> schedule;
    std::vector<long long> reads;
  };
  std::shared_ptr<State> state_;
};

}  // namespace sim::device
