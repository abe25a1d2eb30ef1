#include "sim/device/chip_registers.h"

#include <cstring>
#include <optional>
#include <utility>

#include "kernel/clock.h"

namespace sim::device {
namespace {

constexpr std::uint8_t kClassToInterfaceOut = 0x21;
constexpr std::uint8_t kClassToInterfaceIn = 0xA1;
constexpr std::uint8_t kHidGetReport = 0x01;
constexpr std::uint8_t kHidSetReport = 0x09;
constexpr std::uint16_t kSetReportBytes = 4;
constexpr std::uint16_t kInputReportBytes = 3;

ControlResult Stalled() { return {USBD_STATUS_STALL_PID, 0}; }

}  // namespace

ChipRegisters::ChipRegisters(std::uint8_t interface_number, std::array<std::uint16_t, kCount> initial)
    : state_(std::make_shared<State>()) {
  state_->interface_number = interface_number;
  state_->values = initial;
}

void ChipRegisters::Install(SimDevice& device) {
  std::shared_ptr<State> state = state_;
  device.SetRequestHook([state](const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                std::uint8_t* data) -> std::optional<ControlResult> {
    if ((s.bmRequestType & 0x7F) != (kClassToInterfaceOut & 0x7F) || (s.wIndex & 0xFF) != state->interface_number)
      return std::nullopt;
    std::lock_guard lock(state->mutex);
    if (s.bmRequestType == kClassToInterfaceOut && s.bRequest == kHidSetReport) {
      if (s.wLength != kSetReportBytes || !data || data[0] != kReportId || data[3] >= kCount) return Stalled();
      const std::uint8_t reg = data[3];
      state->values[reg] = static_cast<std::uint16_t>(data[1] | data[2] << 8);
      state->last = reg;
      state->writes.push_back({platform::clock::Now(), reg, state->values[reg]});
      return ControlResult{USBD_STATUS_SUCCESS, kSetReportBytes};
    }
    if (s.bmRequestType == kClassToInterfaceIn && s.bRequest == kHidGetReport) {
      const long long now = platform::clock::Now();
      state->reads.push_back(now);
      std::optional<JackReport> jack;
      if (state->next_queued < state->queued.size()) {
        jack = state->queued[state->next_queued++];
      } else {
        for (const JackStep& step : state->schedule)
          if (step.from <= now) jack = step.report;
      }
      if (jack && jack->kind == JackReport::kStall) return Stalled();
      if (jack && jack->kind == JackReport::kEmpty) return ControlResult{USBD_STATUS_SUCCESS, 0};
      if (!data || s.wLength < kInputReportBytes) return Stalled();
      const std::uint16_t v = state->values[state->last];
      const std::uint8_t report[kInputReportBytes] = {jack ? jack->byte : kReportId, static_cast<std::uint8_t>(v),
                                                      static_cast<std::uint8_t>(v >> 8)};
      std::memcpy(data, report, sizeof report);
      return ControlResult{USBD_STATUS_SUCCESS, kInputReportBytes};
    }
    return Stalled();
  });
}

std::uint16_t ChipRegisters::value(std::uint8_t reg) const {
  std::lock_guard lock(state_->mutex);
  return reg < kCount ? state_->values[reg] : 0;
}

std::vector<ChipRegisters::Write> ChipRegisters::writes() const {
  std::lock_guard lock(state_->mutex);
  return state_->writes;
}

void ChipRegisters::ClearWrites() {
  std::lock_guard lock(state_->mutex);
  state_->writes.clear();
}

void ChipRegisters::QueueJackReports(const std::vector<JackReport>& reports) {
  std::lock_guard lock(state_->mutex);
  state_->queued.insert(state_->queued.end(), reports.begin(), reports.end());
}

void ChipRegisters::SetJackSchedule(std::vector<JackStep> steps) {
  std::lock_guard lock(state_->mutex);
  state_->schedule = std::move(steps);
}

std::vector<long long> ChipRegisters::jack_reads() const {
  std::lock_guard lock(state_->mutex);
  return state_->reads;
}

}  // namespace sim::device
