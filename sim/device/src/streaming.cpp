// Streaming endpoints of the simulated device, run by the device's own sample clock:
// the render FIFO, the capture signal, explicit feedback and isochronous packet faults.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

#include "kernel/clock.h"
#include "kernel/verifier.h"
#include "sim_device_internal.h"

namespace sim::device {
namespace {

constexpr double kMicroframesPerSecond = 8000.0;

}  // namespace

// Samples are packed and unpacked with shifts by the subframe's spare bits: only a layout
// the descriptors were checked to allow may reach them.
bool SimDevice::SampleLayoutOk(const Stream& s) {
  return s.frame_bytes != 0 && s.subframe >= 1 && s.subframe <= 4 && s.bits >= 1 && s.bits <= 8 * s.subframe;
}

void SimDevice::SelectAlternate(std::uint8_t interface_number, std::uint8_t alternate) {
  alternates_[interface_number] = alternate;
  for (auto it = streams_.begin(); it != streams_.end();) {
    if (it->second->interface_number == interface_number) {
      if (it->second->role == Stream::Role::Render) closed_[it->first] = std::move(it->second);
      it = streams_.erase(it);
    } else {
      ++it;
    }
  }
  const InterfaceInfo* intf = descriptors_.FindInterface(interface_number);
  const AltSetting* alt = intf ? intf->Find(alternate) : nullptr;
  if (alt == nullptr) return;
  const StreamFormat* f = descriptors_.FindFormat(interface_number, alternate);
  std::uint8_t render = 0;
  for (auto& e : alt->endpoints)
    if (e.type() == USB_ENDPOINT_TYPE_ISOCHRONOUS && !e.in()) render = e.address;
  const bool audio = alt->cls == 1 && alt->subclass == 2;
  for (auto& e : alt->endpoints) {
    if (e.type() != USB_ENDPOINT_TYPE_ISOCHRONOUS) continue;
    // An endpoint address another interface's selected audio setting already streams on
    // stays with it: a vendor interface declaring the same address does not take it over.
    if (auto held = streams_.find(e.address); held != streams_.end() && !audio) {
      const InterfaceInfo* owner = descriptors_.FindInterface(held->second->interface_number);
      if (owner != nullptr && owner->alternates.front().cls == 1 && owner->alternates.front().subclass == 2) continue;
    }
    auto s = std::make_unique<Stream>();
    s->endpoint = e.address;
    s->interface_number = interface_number;
    s->alternate = alternate;
    s->max_packet = e.packet_bytes();
    s->own_clock = ((e.attributes >> 2) & 3) == 1;  // bmAttributes bits 3..2: asynchronous
    const std::uint32_t interval = std::clamp<std::uint32_t>(e.interval, 1, 16);
    s->interval_uframes = high_speed_ ? (1u << (interval - 1)) : 8u;
    // Feedback: declared by its usage bits, or (full-speed devices of the 1.1 era) named
    // by an OUT endpoint's bSynchAddress.
    bool feedback = e.is_feedback();
    for (auto& o : alt->endpoints)
      if (e.in() && !o.in() && o.synch_address == e.address) feedback = true;
    if (feedback) {
      s->role = Stream::Role::Feedback;
      if (profile_.feedback_refresh) {
        const std::uint32_t n = std::clamp<std::uint32_t>(*profile_.feedback_refresh, 0, 9);
        s->refresh_uframes = high_speed_ ? std::max(s->interval_uframes, 1u << n) : 8u << n;
      } else {
        s->refresh_uframes = high_speed_ ? s->interval_uframes : 8u << std::clamp<std::uint32_t>(e.refresh, 0, 9);
      }
      s->render_endpoint = render;
      for (auto& o : alt->endpoints)
        if (o.synch_address == e.address && !o.in()) s->render_endpoint = o.address;
    } else {
      s->role = e.in() ? Stream::Role::Capture : Stream::Role::Render;
      if (f != nullptr) {
        s->channels = f->channels;
        s->subframe = f->subframe_bytes;
        s->bits = f->bits;
      }
      s->frame_bytes = static_cast<std::uint32_t>(s->channels) * s->subframe;
      s->rate = StreamRate(interface_number, alternate, e.address);
    }
    if (s->role == Stream::Role::Render) {
      s->start_frames = profile_.fifo_start_frames != 0 ? profile_.fifo_start_frames : s->rate * 2 / 1000;
      s->capacity_frames = std::max<std::uint32_t>(s->rate * profile_.fifo_capacity_ms / 1000, s->start_frames * 2);
    }
    closed_.erase(e.address);
    streams_[e.address] = std::move(s);
  }
}

// A new sampling frequency restarts the streams of the current alternate settings.
void SimDevice::RestartStreams() {
  std::vector<std::pair<std::uint8_t, std::uint8_t>> selected;
  for (auto& [_, s] : streams_) selected.emplace_back(s->interface_number, s->alternate);
  std::sort(selected.begin(), selected.end());
  selected.erase(std::unique(selected.begin(), selected.end()), selected.end());
  for (auto [i, a] : selected) SelectAlternate(i, a);
}

SimDevice::Stream* SimDevice::FindStream(std::uint8_t endpoint) {
  auto it = streams_.find(endpoint);
  return it == streams_.end() ? nullptr : it->second.get();
}

std::optional<USBD_STATUS> SimDevice::TakePacketFault(std::uint8_t endpoint) {
  const std::uint64_t n = packet_counts_[endpoint]++;
  auto it = packet_faults_.find(endpoint);
  if (it == packet_faults_.end()) return std::nullopt;
  for (auto& f : it->second)
    if (n >= f.first && n < f.first + f.count) {
      ++fault_hits_;
      return f.status;
    }
  return std::nullopt;
}

double SimDevice::RunningRate(const Stream& s) const {
  const bool drifts = s.own_clock || profile_.drift_every_endpoint;
  return s.rate * (1.0 + (drifts ? profile_.clock_ppm * 1e-6 : 0.0));
}

void SimDevice::AdvanceRender(Stream& s, BusMicroframe now) {
  if (!s.playing || s.frame_bytes == 0 || now <= s.origin) return;
  const double rate = RunningRate(s);
  const auto due = static_cast<std::uint64_t>(std::floor(rate * static_cast<double>(now - s.origin) / kMicroframesPerSecond));
  if (due <= s.consumed_since_origin) return;
  const std::uint64_t want = due - s.consumed_since_origin;
  const std::uint64_t have = s.fifo.size() / s.frame_bytes;
  const std::uint64_t take = std::min(want, have);
  s.fifo.erase(s.fifo.begin(), s.fifo.begin() + static_cast<std::ptrdiff_t>(take * s.frame_bytes));
  s.stats.consumed_frames += take;
  s.stats.underrun_frames += want - take;
  s.consumed_since_origin = due;
  s.stats.fifo_min_frames = std::min<std::int64_t>(s.stats.fifo_min_frames, static_cast<std::int64_t>(have - take));
  if (want > take) {
    if (s.underrun_run == 0) s.underrun_start = now;
    s.underrun_run += want - take;
  } else if (s.underrun_run != 0 && take > 0) {
    ReportGlitch(s, "underrun", s.underrun_start, s.underrun_run);
    s.underrun_run = 0;
  }
}

// The platform clock's time of bus microframe `m` (100 ns units): the bus started when the
// device first heard from it (NoteBusTimeLocked); a microframe is 125 us.
long long SimDevice::TimeOfLocked(BusMicroframe m) const { return bus_origin_ + static_cast<long long>(m) * 1250; }

void SimDevice::NoteBusTimeLocked(BusMicroframe m) {
  if (bus_origin_known_) return;
  bus_origin_known_ = true;
  bus_origin_ = platform::clock::Now() - static_cast<long long>(m) * 1250;
}

// A glitch inside a running stream, as a stream finding: where it began on the bus
// (virtual time) and how long it lasted (frames or packets).
void SimDevice::ReportGlitch(const Stream& s, const char* kind, BusMicroframe start, std::uint64_t count,
                             const char* unit) {
  char source[40], detail[160];
  std::snprintf(source, sizeof source, "device endpoint 0x%02X", s.endpoint);
  std::snprintf(detail, sizeof detail, "%s: %llu %s from microframe %llu (%.3f ms)", kind,
                static_cast<unsigned long long>(count), unit, static_cast<unsigned long long>(start),
                static_cast<double>(start) / 8.0);
  platform::verifier::ReportStreamFinding(
      {source, kind, TimeOfLocked(start), detail});
}

// A packet of an audio endpoint in slot `when`: slots skipped since the last one, that
// the controller did not report late, are missed packets (no transfer covered them).
void SimDevice::NotePacketLocked(Stream& s, BusMicroframe when) {
  if (s.role != Stream::Role::Render && s.role != Stream::Role::Capture) return;
  if (s.packets_flowing && when > s.next_slot) {
    const std::uint64_t missed = (when - s.next_slot) / s.interval_uframes;
    if (missed) ReportGlitch(s, "missed packets", s.next_slot, missed, "packets");
  }
  FlushLateLocked(s);
  s.packets_flowing = true;
  s.next_slot = when + s.interval_uframes;
}

void SimDevice::FlushLateLocked(Stream& s) {
  if (s.late_run == 0) return;
  ReportGlitch(s, "late packets", s.late_start, s.late_run, "packets");
  s.late_run = 0;
}

void SimDevice::IsoPacketsLate(std::uint8_t endpoint, BusMicroframe first, ULONG count) {
  std::lock_guard lock(mutex_);
  Stream* s = FindStream(endpoint);
  if (s == nullptr || count == 0 || (s->role != Stream::Role::Render && s->role != Stream::Role::Capture)) return;
  if (s->late_run == 0) s->late_start = first;
  s->late_run += count;
  // Accounted for: the slots they held are not missed packets as well.
  s->packets_flowing = true;
  s->next_slot = std::max(s->next_slot, first + static_cast<BusMicroframe>(count) * s->interval_uframes);
}

// Render: the received samples against the counter test signal (CounterWatch).
void SimDevice::WatchReceivedLocked(Stream& s, BusMicroframe when, const std::uint8_t* data, std::uint64_t frames) {
  if (!SampleLayoutOk(s)) return;
  const int shift = s.subframe * 8 - s.bits;
  const std::uint64_t samples = frames * s.channels;
  for (std::uint64_t i = 0; i < samples; ++i) {
    std::uint64_t word = 0;
    for (int b = 0; b < s.subframe; ++b) word |= static_cast<std::uint64_t>(data[i * s.subframe + static_cast<std::uint64_t>(b)]) << (8 * b);
    std::uint64_t due = 0;
    if (s.counter.Feed(word >> shift, s.bits, &due)) {
      char detail[160];
      std::snprintf(detail, sizeof detail,
                    "pattern break: sample 0x%llX where 0x%llX was due, frame %llu of the packet in microframe %llu "
                    "(%.3f ms)",
                    static_cast<unsigned long long>(word >> shift), static_cast<unsigned long long>(due),
                    static_cast<unsigned long long>(i / s.channels), static_cast<unsigned long long>(when),
                    static_cast<double>(when) / 8.0);
      char source[40];
      std::snprintf(source, sizeof source, "device endpoint 0x%02X", s.endpoint);
      platform::verifier::ReportStreamFinding({source, "pattern break", TimeOfLocked(when), detail});
    }
  }
}

USBD_STATUS SimDevice::IsoOut(std::uint8_t endpoint, BusMicroframe when, const std::uint8_t* data, ULONG length) {
  std::lock_guard lock(mutex_);
  NoteBusTimeLocked(when);
  now_ = std::max(now_, when);
  if (Stream* on = FindStream(endpoint)) NotePacketLocked(*on, when);
  if (auto fault = TakePacketFault(endpoint)) return *fault;
  Stream* s = FindStream(endpoint);
  if (s == nullptr || s->role != Stream::Role::Render) return USBD_STATUS_SUCCESS;  // data to no sink
  AdvanceRender(*s, when);
  ++s->stats.packets;
  if (s->frame_bytes == 0) return USBD_STATUS_SUCCESS;
  if (length % s->frame_bytes != 0) ++s->stats.misaligned_packets;
  const std::uint64_t frames = length / s->frame_bytes;
  s->stats.received_frames += frames;
  if (profile_.record_received) s->received.insert(s->received.end(), data, data + frames * s->frame_bytes);
  if (profile_.render_tap) profile_.render_tap({endpoint, s->alternate, s->rate, s->frame_bytes, data, frames});
  WatchReceivedLocked(*s, when, data, frames);
  const std::uint64_t room = s->capacity_frames - std::min<std::uint64_t>(s->capacity_frames, s->fifo.size() / s->frame_bytes);
  const std::uint64_t keep = std::min(room, frames);
  s->fifo.insert(s->fifo.end(), data, data + keep * s->frame_bytes);
  s->stats.overflow_frames += frames - keep;
  if (frames > keep) ReportGlitch(*s, "overrun", when, frames - keep);
  const auto level = static_cast<std::int64_t>(s->fifo.size() / s->frame_bytes);
  if (!s->playing && level >= s->start_frames) {
    s->playing = true;
    s->origin = when;
    s->consumed_since_origin = 0;
    s->stats.fifo_min_frames = s->stats.fifo_max_frames = level;
  } else if (s->playing) {
    s->stats.fifo_max_frames = std::max(s->stats.fifo_max_frames, level);
  }
  return USBD_STATUS_SUCCESS;
}

std::int64_t SimDevice::FeedbackHzLocked(Stream& render) {
  const double rate = RunningRate(render);
  double correction = 0.0;
  if (render.playing && render.frame_bytes != 0 && profile_.feedback_gain_hz_per_frame != 0.0) {
    const double level = static_cast<double>(render.fifo.size() / render.frame_bytes);
    correction = profile_.feedback_gain_hz_per_frame * (static_cast<double>(render.start_frames) - level);
    const double limit = render.rate * 0.002;
    correction = std::clamp(correction, -limit, limit);
  }
  // Returned in 1/65536 Hz so that the wire formats can be rounded once.
  return static_cast<std::int64_t>(std::llround((rate + correction) * 65536.0));
}

std::uint32_t SimDevice::FeedbackValueLocked(Stream& feedback) {
  Stream* render = FindStream(feedback.render_endpoint);
  if (render == nullptr || render->role != Stream::Role::Render) return 0;
  if (feedback.feedback_held && now_ < feedback.feedback_next) return feedback.feedback_value;
  AdvanceRender(*render, now_);
  const std::int64_t hz16 = FeedbackHzLocked(*render);
  std::uint32_t value;
  // Full speed: samples per 1 ms frame in 10.14; high speed: per 125 us microframe in 16.16
  // (or the encodings of the profile).
  switch (high_speed_ ? (profile_.feedback_encoding == FeedbackEncoding::HighSpeed10_14 ? 2 : 1)
                      : (profile_.feedback_encoding == FeedbackEncoding::FullSpeed16_16 ? 3 : 0)) {
    case 1: value = static_cast<std::uint32_t>((hz16 + 4000) / 8000); break;
    case 2: value = static_cast<std::uint32_t>(((hz16 >> 2) + 4000) / 8000); break;
    case 3: value = static_cast<std::uint32_t>((hz16 + 500) / 1000); break;
    default: value = static_cast<std::uint32_t>(((hz16 >> 2) + 500) / 1000); break;
  }
  if (profile_.feedback_wobble && (feedback.feedback_updates & 1) != 0) value += 1;
  if (high_speed_ && profile_.feedback_encoding == FeedbackEncoding::HighSpeed10_14) value <<= 8;
  ++feedback.feedback_updates;
  feedback.feedback_held = true;
  feedback.feedback_value = value;
  feedback.feedback_next = (now_ / feedback.refresh_uframes + 1) * feedback.refresh_uframes;
  return value;
}

USBD_STATUS SimDevice::IsoIn(std::uint8_t endpoint, BusMicroframe when, std::uint8_t* buffer, ULONG capacity,
                             ULONG* length) {
  std::lock_guard lock(mutex_);
  NoteBusTimeLocked(when);
  now_ = std::max(now_, when);
  *length = 0;
  if (Stream* on = FindStream(endpoint)) NotePacketLocked(*on, when);
  if (auto fault = TakePacketFault(endpoint)) return *fault;
  Stream* s = FindStream(endpoint);
  if (s == nullptr) return USBD_STATUS_SUCCESS;  // no stream: an empty packet
  if (s->role == Stream::Role::Feedback) {
    const std::uint32_t value = FeedbackValueLocked(*s);
    const bool four = high_speed_ || profile_.feedback_encoding == FeedbackEncoding::FullSpeed16_16;
    const ULONG size = std::min<ULONG>(four ? 4 : 3, capacity);
    for (ULONG i = 0; i < size; ++i) buffer[i] = static_cast<std::uint8_t>(value >> (8 * i));
    *length = size;
    return USBD_STATUS_SUCCESS;
  }
  if (s->role != Stream::Role::Capture || !SampleLayoutOk(*s)) return USBD_STATUS_SUCCESS;
  if (!s->producing) {
    s->producing = true;
    s->origin = when;
    s->produced = 0;
  }
  const double rate = RunningRate(*s);
  const auto due = static_cast<std::uint64_t>(
      std::floor(rate * static_cast<double>(when + s->interval_uframes - s->origin) / kMicroframesPerSecond));
  std::uint64_t frames = due > s->produced ? due - s->produced : 0;
  const std::uint64_t fit = std::min<std::uint64_t>(capacity, s->max_packet) / s->frame_bytes;
  frames = std::min(frames, fit);  // what does not fit waits for the next packet
  std::uint64_t send = frames;
  if (auto it = short_capture_.find(endpoint); it != short_capture_.end() && it->second.second > 0) {
    send = std::min<std::uint64_t>(frames, it->second.first);
    ++fault_hits_;
    if (--it->second.second == 0) short_capture_.erase(it);
  }
  const SignalProfile& sig = profile_.signal;
  const int shift = s->subframe * 8 - s->bits;
  const double full = std::ldexp(1.0, s->bits - 1) - 1.0;
  for (std::uint64_t k = 0; k < send; ++k) {
    const std::uint64_t index = s->produced + k;
    for (std::uint32_t c = 0; c < s->channels; ++c) {
      std::int64_t v = 0;
      if (sig.kind == SignalKind::Sine) {
        const double f = sig.frequency_hz.empty() ? 0.0 : sig.frequency_hz[std::min<std::size_t>(c, sig.frequency_hz.size() - 1)];
        v = std::llround(sig.amplitude * full * std::sin(2.0 * std::numbers::pi * f * static_cast<double>(index) / s->rate));
      } else if (sig.kind == SignalKind::Ramp) {
        const std::uint64_t span = 1ull << s->bits;
        const std::uint64_t raw = (index * s->channels + c) % span;
        v = static_cast<std::int64_t>(raw) - (raw >= span / 2 ? static_cast<std::int64_t>(span) : 0);
      }
      const std::uint64_t word = static_cast<std::uint64_t>(v) << shift;
      std::uint8_t* out = buffer + (k * s->channels + c) * s->subframe;
      for (int b = 0; b < s->subframe; ++b) out[b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
  }
  s->produced += frames;
  // Frames left out of a packet are lost: a gap in what the device sends.
  if (send < frames) ReportGlitch(*s, "gap", when, frames - send);
  *length = static_cast<ULONG>(send * s->frame_bytes);
  return USBD_STATUS_SUCCESS;
}

void SimDevice::Tick(BusMicroframe now) {
  std::lock_guard lock(mutex_);
  NoteBusTimeLocked(now);
  now_ = std::max(now_, now);
  for (auto& [_, s] : streams_) {
    if (s->role == Stream::Role::Render) AdvanceRender(*s, now_);
    FlushLateLocked(*s);
  }
}

std::uint32_t SimDevice::fifo_start_frames(std::uint8_t endpoint) {
  std::lock_guard lock(mutex_);
  Stream* s = FindStream(endpoint);
  return s && s->role == Stream::Role::Render ? s->start_frames : 0;
}

SimDevice::RenderStats SimDevice::render_stats(std::uint8_t endpoint) {
  std::lock_guard lock(mutex_);
  Stream* s = FindStream(endpoint);
  if (s == nullptr || s->role != Stream::Role::Render) return {};
  AdvanceRender(*s, now_);
  RenderStats r = s->stats;
  r.fifo_frames = s->frame_bytes ? static_cast<std::int64_t>(s->fifo.size() / s->frame_bytes) : 0;
  r.playing = s->playing;
  r.start_frames = s->start_frames;
  return r;
}

std::vector<std::int32_t> SimDevice::received_samples(std::uint8_t endpoint) {
  std::lock_guard lock(mutex_);
  std::vector<std::int32_t> out;
  Stream* s = FindStream(endpoint);
  if (s == nullptr) {
    auto closed = closed_.find(endpoint);
    if (closed != closed_.end()) s = closed->second.get();
  }
  if (s == nullptr || !SampleLayoutOk(*s)) return out;
  const int shift = s->subframe * 8 - s->bits;
  for (std::size_t at = 0; at + s->subframe <= s->received.size(); at += s->subframe) {
    std::uint32_t word = 0;
    for (int b = 0; b < s->subframe; ++b) word |= static_cast<std::uint32_t>(s->received[at + static_cast<std::size_t>(b)]) << (8 * b);
    word <<= (32 - 8 * s->subframe);
    out.push_back(static_cast<std::int32_t>(word) >> (32 - 8 * s->subframe + shift));
  }
  return out;
}

std::uint32_t SimDevice::frame_bytes(std::uint8_t endpoint) {
  std::lock_guard lock(mutex_);
  Stream* s = FindStream(endpoint);
  return s ? s->frame_bytes : 0;
}

std::uint32_t SimDevice::feedback_value(std::uint8_t feedback_endpoint) {
  std::lock_guard lock(mutex_);
  Stream* s = FindStream(feedback_endpoint);
  return s && s->role == Stream::Role::Feedback ? FeedbackValueLocked(*s) : 0;
}

std::uint64_t SimDevice::produced_frames(std::uint8_t endpoint) {
  std::lock_guard lock(mutex_);
  Stream* s = FindStream(endpoint);
  return s ? s->produced : 0;
}

void SimDevice::SetSignal(SignalProfile signal) {
  std::lock_guard lock(mutex_);
  profile_.signal = std::move(signal);
}

void SimDevice::SetClockPpm(double ppm) {
  std::lock_guard lock(mutex_);
  for (auto& [_, s] : streams_) {
    // Re-anchor the running clocks so the new rate applies from now on.
    if (s->role == Stream::Role::Render && s->playing) {
      AdvanceRender(*s, now_);
      s->origin = now_;
      s->consumed_since_origin = 0;
    }
  }
  profile_.clock_ppm = ppm;
}

}  // namespace sim::device
