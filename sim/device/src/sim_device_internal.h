// Private pieces of the simulated device shared by its source files.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "sim/device/counter_watch.h"
#include "sim/device/sim_device.h"

namespace sim::device {

struct SimDevice::ControlSpec {
  int size = 1;            // bytes of CUR
  bool is_signed = false;
  bool ranged = false;     // MIN/MAX/RES (UAC 1.0) or RANGE (UAC 2.0)
  bool boolean = false;    // 0 or 1 only
  bool readable = true;
  bool writable = true;
  bool minus_infinity = false;  // 0x8000 accepted besides the range (volume)
  std::int64_t min = 0, max = 0, res = 1, cur = 0;
};

struct SimDevice::Stream {
  enum class Role { Render, Capture, Feedback, None } role = Role::None;
  std::uint8_t endpoint = 0, interface_number = 0, alternate = 0;
  std::uint32_t interval_uframes = 8;  // service interval of the endpoint
  std::uint32_t max_packet = 0;        // bytes per packet
  std::uint8_t channels = 0, subframe = 0, bits = 0;
  std::uint32_t frame_bytes = 0;
  std::uint32_t rate = 0;              // nominal sample rate
  bool own_clock = false;              // asynchronous: runs on the device's clock
  // Render
  std::deque<std::uint8_t> fifo;
  bool playing = false;
  BusMicroframe origin = 0;            // when playback (or production) started
  std::uint64_t consumed_since_origin = 0;
  std::uint32_t start_frames = 0;
  std::uint32_t capacity_frames = 0;
  std::vector<std::uint8_t> received;
  RenderStats stats;
  // An underrun in progress: frames the FIFO could not give since `underrun_start`. It
  // becomes a stream finding when data plays again (a gap inside the stream); one that
  // lasts to the end of the stream is the stream's end, not a glitch.
  std::uint64_t underrun_run = 0;
  BusMicroframe underrun_start = 0;
  // Packet continuity of an audio endpoint: once packets flow, the slot the next one is
  // due in. A gap is reported when packets come again (missed packets: no transfer
  // covered those slots); slots the controller reported late are noted as a run of late
  // packets, reported at the next bus frame. A stream that just stops is not a glitch.
  bool packets_flowing = false;
  BusMicroframe next_slot = 0;
  std::uint64_t late_run = 0;
  BusMicroframe late_start = 0;
  // Render: the received samples, watched for the counter test signal (every sample,
  // channels interleaved, one step more than the one before, modulo the resolution).
  CounterWatch counter;
  // Capture
  bool producing = false;
  std::uint64_t produced = 0;          // frames produced (sent or lost)
  // Feedback: the value held until the next refresh.
  std::uint8_t render_endpoint = 0;
  std::uint32_t refresh_uframes = 8;
  bool feedback_held = false;
  std::uint32_t feedback_value = 0;
  BusMicroframe feedback_next = 0;
  std::uint64_t feedback_updates = 0;
};

}  // namespace sim::device
