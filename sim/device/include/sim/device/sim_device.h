// The simulated USB audio device: descriptors from a real device plus a behaviour profile.
// It answers standard requests, USB Audio Class 1.0 and 2.0 requests of every unit,
// terminal, clock entity, streaming interface and endpoint its descriptors declare, the
// maker's jack and terminal-type extensions, vendor requests (through a hook or a
// register/memory store), and runs its streaming endpoints on its own sample clock.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/device/descriptor_set.h"
#include "usb/bus_device.h"

namespace sim::device {

using platform::usb::BusMicroframe;
using platform::usb::ControlResult;

// Audio Class request codes.
namespace uac {
constexpr std::uint8_t SET_CUR = 0x01, SET_MIN = 0x02, SET_MAX = 0x03, SET_RES = 0x04, SET_MEM = 0x05;
constexpr std::uint8_t GET_CUR = 0x81, GET_MIN = 0x82, GET_MAX = 0x83, GET_RES = 0x84, GET_MEM = 0x85;
constexpr std::uint8_t GET_STAT = 0xFF;
constexpr std::uint8_t CUR = 0x01, RANGE = 0x02, MEM = 0x03;  // UAC 2.0
}  // namespace uac

// One jack of a terminal as the maker's jack-list request reports it.
struct Jack {
  std::uint32_t channel_mapping = 0x3;
  std::uint32_t config_word = 0;  // color, connection type, location bits as the device encodes them
};

// Per-terminal behaviour beyond the descriptor.
struct TerminalProfile {
  std::vector<Jack> jacks;                       // served by the jack-list request (none: it stalls)
  std::vector<std::uint16_t> selectable_types;   // output terminal types the device switches between
  std::uint32_t connected_channels = 0xFFFFFFFF; // channels with something plugged in
};

enum class SignalKind { Silence, Sine, Ramp };

// Signal an isochronous IN endpoint produces, per channel.
struct SignalProfile {
  SignalKind kind = SignalKind::Sine;
  std::vector<double> frequency_hz = {1000.0};  // per channel (the last repeats)
  double amplitude = 0.5;                       // of full scale
};

// How a feedback endpoint puts its value on the wire. The class defines 10.14 samples per
// frame in 3 bytes at full speed and 16.16 samples per microframe in 4 bytes at high
// speed; devices ship with other encodings, which a driver has to recognise:
//  - FullSpeed16_16: a full-speed endpoint sends 16.16 samples per frame in 4 bytes
//    (as much of it as the packet holds);
//  - HighSpeed10_14: a high-speed endpoint sends 10.14 samples per microframe, the 24-bit
//    value left-justified in the 4 bytes (value << 8).
enum class FeedbackEncoding { Standard, FullSpeed16_16, HighSpeed10_14 };

// A packet an OUT endpoint received: the setting it came in, its whole frames.
struct RenderPacket {
  std::uint8_t endpoint, alternate;
  std::uint32_t rate, frame_bytes;
  const std::uint8_t* data;
  std::uint64_t frames;
};

struct DeviceProfile {
  // Bus speed; unset: what the dump says, else high speed for a UAC 2.0 function and
  // full speed otherwise.
  std::optional<bool> high_speed;
  // Offset of the device's sample clock from nominal, in parts per million. Only
  // asynchronous endpoints run on the device's own clock; adaptive, synchronous and
  // unsynchronised ones lock to the host's (micro)frames as a real device's do, unless
  // `drift_every_endpoint` makes the offset apply to them too.
  double clock_ppm = 0.0;
  bool drift_every_endpoint = false;
  // Strings by index; index 0 (languages) is served as English (0x0409). Indices the
  // descriptors name without a text here get "String <n>".
  std::map<std::uint8_t, std::u16string> strings;
  // UAC 2.0 clock sources: rates offered per clock ID (discrete), or a continuous range.
  std::map<std::uint8_t, std::vector<std::uint32_t>> clock_rates;
  std::map<std::uint8_t, std::pair<std::uint32_t, std::uint32_t>> clock_ranges;
  std::map<std::uint8_t, bool> clock_valid;  // absent: valid
  std::map<std::uint8_t, TerminalProfile> terminals;
  // UAC 2.0 streaming interfaces: the alternate settings the valid-alternates control
  // reports (bit n for setting n); absent: every setting the interface has.
  std::map<std::uint8_t, std::uint32_t> valid_alternates;
  // Unit memory read with GET_MEM / MEM (the maker's vendor control blocks).
  std::map<std::uint8_t, std::vector<std::uint8_t>> entity_memory;
  // Render FIFO: playback starts once this many frames are queued (0: 2 ms of audio), and
  // holds at most `fifo_capacity_ms` of audio.
  std::uint32_t fifo_start_frames = 0;
  std::uint32_t fifo_capacity_ms = 100;
  // Feedback servo: Hz of correction per frame of FIFO error (0: report the bare clock).
  // The value is recomputed once per refresh period: 2^bRefresh frames at full speed
  // (bRefresh 0 taken as 1 frame, above 9 as 9), the polling interval at high speed;
  // polls in between read the held value.
  double feedback_gain_hz_per_frame = 0.5;
  FeedbackEncoding feedback_encoding = FeedbackEncoding::Standard;
  // Replaces the feedback endpoint's bRefresh (a UAC 2.0 endpoint descriptor has none):
  // the value is then recomputed every 2^n frames at full speed, and every 2^n microframes
  // but at least once per polling interval at high speed.
  std::optional<std::uint8_t> feedback_refresh;
  // Every other refresh reports one unit (LSB of the wire format) more, as devices whose
  // value jitters by a count do.
  bool feedback_wobble = false;
  bool record_received = true;
  // Called (under the device's lock: it must not call the device) with the whole frames
  // of every packet an OUT endpoint receives, whatever setting is selected.
  std::function<void(const RenderPacket&)> render_tap;
  SignalProfile signal;
  // Keep wTotalLength as declared even when fewer bytes exist (the device then answers a
  // configuration request short); by default it reports the bytes it has.
  bool keep_declared_total_length = false;
};

// A vendor (or otherwise unhandled) request seen by the hook: returning a result handles
// it; std::nullopt passes it on to the register store and the built-in extensions.
using RequestHook = std::function<std::optional<ControlResult>(const USB_DEFAULT_PIPE_SETUP_PACKET&, std::uint8_t*)>;

struct ControlLogEntry {
  USB_DEFAULT_PIPE_SETUP_PACKET setup;
  std::vector<std::uint8_t> data;  // what moved in the data stage
  USBD_STATUS status;
};

class SimDevice : public platform::usb::BusDevice {
 public:
  SimDevice(DescriptorSet descriptors, DeviceProfile profile);
  ~SimDevice() override;
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  // Loads a dump file's text and builds the device; false with the cause on bad input.
  static bool FromDumpText(std::string_view text, DeviceProfile profile, std::unique_ptr<SimDevice>& out,
                           std::string& error);

  const DescriptorSet& descriptors() const { return descriptors_; }
  int audio_class_version() const { return descriptors_.audio_class_version(); }

  // --- BusDevice
  bool HighSpeed() const override { return high_speed_; }
  std::span<const std::uint8_t> Configuration() const override { return config_; }
  ControlResult Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::uint8_t* data) override;
  USBD_STATUS IsoOut(std::uint8_t endpoint, BusMicroframe when, const std::uint8_t* data, ULONG length) override;
  USBD_STATUS IsoIn(std::uint8_t endpoint, BusMicroframe when, std::uint8_t* buffer, ULONG capacity,
                    ULONG* length) override;
  USBD_STATUS TransferIn(std::uint8_t endpoint, std::uint8_t* buffer, ULONG capacity, ULONG* length) override;
  USBD_STATUS TransferOut(std::uint8_t endpoint, const std::uint8_t* data, ULONG length) override;
  void IsoPacketsLate(std::uint8_t endpoint, BusMicroframe first, ULONG count) override;
  void Tick(BusMicroframe now) override;
  void BusReset() override;

  // --- Controls, as a test sees and sets them. `id` is a unit/terminal/clock ID, or an
  // endpoint address for endpoint controls (with for_endpoint).
  struct ControlKey {
    bool endpoint = false;
    std::uint8_t id = 0, selector = 0, channel = 0;
    std::uint8_t function = 0;  // which audio function's entity (index into functions())
    auto operator<=>(const ControlKey&) const = default;
  };
  std::optional<std::int64_t> GetControl(ControlKey key);
  // Sets the current value as if changed on the device (no status message is sent).
  bool SetControl(ControlKey key, std::int64_t value);
  void SetControlRange(ControlKey key, std::int64_t min, std::int64_t max, std::int64_t res);
  std::uint32_t SamplingRate(std::uint8_t endpoint);
  std::uint8_t CurrentAlternate(std::uint8_t interface_number);
  std::uint8_t configuration_value();

  // --- Vendor requests
  void SetRequestHook(RequestHook hook);
  // Register/memory store for vendor requests: reads of (bmRequestType, bRequest, wValue,
  // wIndex) answer these bytes; writes land here and in the log.
  void SetVendorData(std::uint8_t request_type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                     std::vector<std::uint8_t> bytes);
  std::optional<std::vector<std::uint8_t>> VendorData(std::uint8_t request_type, std::uint8_t request,
                                                      std::uint16_t value, std::uint16_t index);
  std::vector<ControlLogEntry> control_log();
  void ClearControlLog();

  // --- Status interrupt messages (on the Audio Control interface's interrupt endpoint)
  // bStatusType 0x80: interrupt pending, originator an Audio Control interface entity.
  void PushStatusUac1(std::uint8_t originator, std::uint8_t status_type = 0x80);
  void PushStatusUac2(std::uint8_t entity, std::uint8_t selector, std::uint8_t channel, std::uint8_t info = 0,
                      std::uint8_t attribute = 1);
  void PushInterruptData(std::uint8_t endpoint, std::vector<std::uint8_t> bytes);
  std::optional<std::uint8_t> status_endpoint() const { return status_endpoint_; }
  // A control turned on the device: sets it and reports the change on the status endpoint
  // (UAC 1.0: the unit as originator; UAC 2.0: unit, selector and channel).
  bool ChangeControl(ControlKey key, std::int64_t value);
  // Something plugged into or pulled out of a terminal's jacks, reported like a control
  // change of the terminal's connector (selector 2).
  void SetJackState(std::uint8_t terminal, std::uint32_t connected_channels);

  // --- Streaming
  struct RenderStats {
    std::int64_t fifo_frames = 0;   // queued now
    std::uint64_t received_frames = 0;
    std::uint64_t consumed_frames = 0;
    std::uint64_t underrun_frames = 0;
    std::uint64_t overflow_frames = 0;
    std::uint64_t packets = 0;
    std::uint64_t misaligned_packets = 0;
    bool playing = false;
    // The FIFO level playback starts at, and the lowest and highest levels since it began
    // (the lowest as the clock drains it, the highest as packets land); both start at the
    // level playback began with. Their distance from `start_frames` is the excursion the
    // host's rate control leaves.
    std::uint32_t start_frames = 0;
    std::int64_t fifo_min_frames = 0;
    std::int64_t fifo_max_frames = 0;
  };
  RenderStats render_stats(std::uint8_t endpoint);
  // Every sample frame received on an OUT endpoint since its alternate setting was
  // selected, channel-interleaved, as signed values of the format's resolution. Once the
  // interface leaves that setting, what the setting received, until the endpoint streams
  // again.
  std::vector<std::int32_t> received_samples(std::uint8_t endpoint);
  std::uint32_t frame_bytes(std::uint8_t endpoint);
  // The value the feedback endpoint would report now (10.14 or 16.16 as on the wire).
  std::uint32_t feedback_value(std::uint8_t feedback_endpoint);
  std::uint64_t produced_frames(std::uint8_t endpoint);
  // Frames a render endpoint buffers before it plays (its FIFO depth), 0 for others.
  std::uint32_t fifo_start_frames(std::uint8_t endpoint);
  void SetSignal(SignalProfile signal);
  void SetClockPpm(double ppm);

  // --- Fault hooks
  struct RequestMatch {
    std::optional<std::uint8_t> request_type, request;
    std::optional<std::uint16_t> value, index;
  };
  // Stalls the next `count` control requests that match.
  void StallRequests(RequestMatch match, int count = 1);
  // Packets number `after`, after+1, ... (counted from now, per endpoint) of `count`
  // packets fail with `status` (an OUT packet's data is lost, an IN packet carries none).
  void FailIsoPackets(std::uint8_t endpoint, std::uint32_t after, std::uint32_t count, USBD_STATUS status);
  // The next `count` capture packets carry at most `frames` frames (0: empty packets); the
  // frames they leave out are lost.
  void ShortCapturePackets(std::uint8_t endpoint, std::uint32_t frames, std::uint32_t count = 1);
  // Stalls a bulk or interrupt endpoint until the host clears the halt.
  void HaltEndpoint(std::uint8_t endpoint);
  std::uint32_t fault_hits();

 public:
  struct ControlSpec;  // what the class defines for one control (size, range, access)

 private:
  struct ControlState {
    std::vector<std::uint8_t> cur;
    std::int64_t min = 0, max = 0, res = 1;
  };
  struct Stream;

  ControlResult HandleLocked(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::uint8_t* data);
  ControlResult Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data);
  ControlResult ClassRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data);
  ControlResult VendorRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data);
  ControlResult Uac1Entity(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data, const Entity& e);
  ControlResult Uac2Entity(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data, const Entity& e);
  ControlResult Uac2Interface(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data, std::uint8_t number);
  ControlResult Uac1Endpoint(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data);
  ControlResult TerminalExtension(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data, const Entity& e,
                                  bool range_request);
  ControlResult Memory(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data, std::uint8_t id);
  std::optional<ControlSpec> SpecFor(const Entity& e, std::uint8_t selector, std::uint8_t channel);
  std::optional<ControlSpec> VendorSelectorSpec(const Entity& e, std::uint8_t selector, std::uint8_t channel,
                                                std::uint16_t length);
  ControlState& State(const ControlKey& key, const ControlSpec& spec);
  std::uint32_t ClockRate(std::uint8_t clock_id, int depth = 0);
  std::uint32_t StreamRate(std::uint8_t interface_number, std::uint8_t alternate, std::uint8_t endpoint);
  std::uint32_t StreamRateLocked(const StreamFormat* f, std::uint8_t endpoint);
  // The audio function the request being served belongs to: entity lookups, the class
  // version and control state follow it.
  void UseFunction(const AudioFunction* f);
  void UseFunctionIndex(std::uint8_t index);
  const Entity* FindEntity(std::uint8_t id) const;
  int Version() const;
  bool RateSupportedByClock(std::uint8_t clock_id, std::uint32_t rate);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ClockSubranges(std::uint8_t clock_id);
  void SelectAlternate(std::uint8_t interface_number, std::uint8_t alternate);
  void RestartStreams();
  Stream* FindStream(std::uint8_t endpoint);
  void AdvanceRender(Stream& s, BusMicroframe now);
  // The rate the stream's samples run at: nominal, or off by the clock offset.
  double RunningRate(const Stream& s) const;
  void ReportGlitch(const Stream& s, const char* kind, BusMicroframe start, std::uint64_t count,
                    const char* unit = "frames");
  void NotePacketLocked(Stream& s, BusMicroframe when);
  void NoteBusTimeLocked(BusMicroframe m);
  long long TimeOfLocked(BusMicroframe m) const;
  void FlushLateLocked(Stream& s);
  void WatchReceivedLocked(Stream& s, BusMicroframe when, const std::uint8_t* data, std::uint64_t frames);
  std::int64_t FeedbackHzLocked(Stream& render);
  std::uint32_t FeedbackValueLocked(Stream& feedback);
  std::optional<USBD_STATUS> TakePacketFault(std::uint8_t endpoint);
  static bool SampleLayoutOk(const Stream& s);
  // The alternate setting an endpoint belongs to now: the one currently selected that
  // declares it (an audio streaming interface first), else the first declaring it.
  const AltSetting* EndpointOwnerLocked(std::uint8_t address, const EndpointInfo** endpoint = nullptr);

  std::mutex mutex_;
  DescriptorSet descriptors_;
  DeviceProfile profile_;
  std::vector<std::uint8_t> config_;  // as served
  std::vector<std::vector<std::uint8_t>> other_configs_;  // index 1, 2, ... as served
  bool high_speed_ = false;
  std::uint8_t configuration_ = 0;
  std::map<std::uint8_t, std::uint8_t> alternates_;
  std::map<ControlKey, ControlState> controls_;
  const AudioFunction* fn_ = nullptr;
  std::uint8_t fn_index_ = 0;
  std::map<std::uint8_t, std::uint32_t> endpoint_rates_;  // UAC 1.0 sampling frequency per endpoint
  std::map<std::uint8_t, std::uint16_t> terminal_types_;  // current type of switchable terminals
  RequestHook hook_;
  std::map<std::tuple<std::uint8_t, std::uint8_t, std::uint16_t, std::uint16_t>, std::vector<std::uint8_t>> vendor_;
  std::vector<ControlLogEntry> log_;
  std::optional<std::uint8_t> status_endpoint_;
  std::map<std::uint8_t, std::deque<std::vector<std::uint8_t>>> interrupt_queues_;
  std::map<std::uint8_t, bool> halted_;
  std::map<std::uint8_t, std::unique_ptr<Stream>> streams_;
  // Render streams whose setting was left, kept for received_samples.
  std::map<std::uint8_t, std::unique_ptr<Stream>> closed_;
  BusMicroframe now_ = 0;
  // The platform clock's time at bus microframe 0, taken when the bus is first heard.
  bool bus_origin_known_ = false;
  long long bus_origin_ = 0;
  struct StallRule {
    RequestMatch match;
    int count;
  };
  std::vector<StallRule> stalls_;
  struct PacketFault {
    std::uint64_t first, count;
    USBD_STATUS status;
  };
  std::map<std::uint8_t, std::vector<PacketFault>> packet_faults_;
  std::map<std::uint8_t, std::uint64_t> packet_counts_;  // isochronous packets seen per endpoint
  std::map<std::uint8_t, std::pair<std::uint32_t, std::uint32_t>> short_capture_;  // frames, count
  std::uint32_t fault_hits_ = 0;
};

}  // namespace sim::device
