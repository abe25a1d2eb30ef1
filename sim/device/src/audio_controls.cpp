// Audio Class 1.0 and 2.0 request semantics of the simulated device.
#include <algorithm>
#include <cstring>

#include "sim_device_internal.h"

namespace sim::device {
namespace {

ControlResult Stall() { return {USBD_STATUS_STALL_PID, 0}; }

std::int64_t Decode(const std::uint8_t* p, int size, bool is_signed) {
  std::uint64_t v = 0;
  for (int i = 0; i < size; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  if (is_signed && size < 8 && (v >> (8 * size - 1)) != 0) v |= ~0ull << (8 * size);
  return static_cast<std::int64_t>(v);
}

void Encode(std::vector<std::uint8_t>& out, std::int64_t v, int size) {
  for (int i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i)));
}

ControlResult Reply(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data, const std::vector<std::uint8_t>& bytes) {
  const ULONG len = static_cast<ULONG>(std::min<std::size_t>(bytes.size(), s.wLength));
  if (len) std::memcpy(data, bytes.data(), len);
  return {USBD_STATUS_SUCCESS, len};
}

std::uint32_t Le(const std::vector<std::uint8_t>& d, std::size_t at, int width) {
  std::uint32_t v = 0;
  for (int i = 0; i < width; ++i)
    if (at + static_cast<std::size_t>(i) < d.size()) v |= static_cast<std::uint32_t>(d[at + static_cast<std::size_t>(i)]) << (8 * i);
  return v;
}

// Level defaults: volume -60..0 dB in 1 dB steps (1/256 dB units), tone -12..+12 dB in
// 1 dB steps (1/4 dB units), gains -12..+12 dB.
SimDevice::ControlSpec Level2(std::int64_t min = -60 * 256, std::int64_t max = 0, std::int64_t res = 256) {
  SimDevice::ControlSpec c;
  c.size = 2;
  c.is_signed = true;
  c.ranged = true;
  c.min = min;
  c.max = max;
  c.res = res;
  c.cur = max;
  return c;
}
// Selector: picks input pin 1..inputs, starting on the first.
SimDevice::ControlSpec InputSelector(std::uint8_t inputs) {
  SimDevice::ControlSpec c;
  c.ranged = true;
  c.min = 1;
  c.max = inputs;
  c.cur = 1;
  return c;
}
SimDevice::ControlSpec Tone() {
  SimDevice::ControlSpec c;
  c.size = 1;
  c.is_signed = true;
  c.ranged = true;
  c.min = -48;
  c.max = 48;
  c.res = 4;
  return c;
}
SimDevice::ControlSpec Bool(bool writable = true) {
  SimDevice::ControlSpec c;
  c.boolean = true;
  c.writable = writable;
  return c;
}

// Feature unit control by selector, shared by both versions (sizes as the class defines).
std::optional<SimDevice::ControlSpec> FeatureControl(std::uint8_t selector, int version) {
  switch (selector) {
    case 1: return Bool();                              // mute
    case 2: { auto c = Level2(); c.minus_infinity = true; return c; }  // volume
    case 3: case 4: case 5: return Tone();              // bass, mid, treble
    case 7: return Bool();                              // automatic gain
    case 8: {                                           // delay
      SimDevice::ControlSpec c;
      c.size = version == 2 ? 4 : 2;
      c.ranged = true;
      c.max = version == 2 ? 0x7FFFFFFF : 0x7FFF;
      return c;
    }
    case 9: case 10: return Bool();                     // bass boost, loudness
    default: break;
  }
  if (version == 2) {
    switch (selector) {
      case 11: case 12: return Level2(-12 * 256, 12 * 256, 256);  // input gain, input gain pad
      case 13: return Bool();                                    // phase inverter
      case 14: case 15: return Bool(false);                      // underflow, overflow
      default: break;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<SimDevice::ControlSpec> SimDevice::SpecFor(const Entity& e, std::uint8_t selector, std::uint8_t channel) {
  const auto& d = e.descriptor;
  const int version = Version();
  if (version == 1) {
    switch (e.subtype) {
      case 6: {  // feature unit: bmaControls of bControlSize bytes per channel, master first
        if (d.size() < 7 || d[5] == 0) return std::nullopt;
        const std::size_t size = d[5];
        const std::size_t channels = (d.size() - 7) / size;
        if (channel >= channels || selector == 0 || selector > 16) return std::nullopt;
        const std::uint32_t bits = Le(d, 6 + channel * size, static_cast<int>(std::min<std::size_t>(size, 4)));
        if (((bits >> (selector - 1)) & 1) == 0) return std::nullopt;
        return FeatureControl(selector, 1);
      }
      case 5: {  // selector unit: one control, wValue 0
        if (selector != 0 || channel != 0 || d.size() < 5) return std::nullopt;
        return InputSelector(d[4]);
      }
      case 4: {  // mixer unit: input channel << 8 | output channel
        ControlSpec c = Level2(-60 * 256, 0, 256);
        c.minus_infinity = true;
        return c;
      }
      default:
        return std::nullopt;
    }
  }
  if (version != 2) return std::nullopt;
  // Two-bit control fields: bit 0 readable, bit 1 host-programmable.
  auto field = [&](std::size_t at, int width, std::uint8_t sel) -> int {
    if (at + static_cast<std::size_t>(width) > d.size() || sel == 0 || sel > 4 * width) return 0;
    return static_cast<int>((Le(d, at, width) >> (2 * (sel - 1))) & 3);
  };
  auto apply = [](std::optional<ControlSpec> c, int bits) -> std::optional<ControlSpec> {
    if (!c || bits == 0) return std::nullopt;
    c->readable = (bits & 1) != 0;
    c->writable = c->writable && (bits & 2) != 0;
    return c;
  };
  switch (e.subtype) {
    case 6: {  // feature unit: 32-bit bmaControls per channel from byte 5
      if (d.size() < 10) return std::nullopt;
      const std::size_t channels = (d.size() - 6) / 4;
      if (channel >= channels) return std::nullopt;
      return apply(FeatureControl(selector, 2), field(5 + 4 * channel, 4, selector));
    }
    case 10: {  // clock source: frequency (1), validity (2)
      if (channel != 0) return std::nullopt;
      if (selector == 1) {
        ControlSpec c;
        c.size = 4;
        c.ranged = true;
        return apply(c, field(5, 1, 1));
      }
      if (selector == 2) return apply(Bool(false), field(5, 1, 2));
      return std::nullopt;
    }
    case 11:   // clock selector
    case 5: {  // selector unit: same layout, bmControls after the bNrInPins source IDs
      if (channel != 0 || selector != 1 || d.size() < 6) return std::nullopt;
      return apply(InputSelector(d[4]), field(5 + d[4], 1, 1));
    }
    case 12: {  // clock multiplier: numerator (1), denominator (2)
      if (channel != 0 || (selector != 1 && selector != 2)) return std::nullopt;
      ControlSpec c;
      c.size = 2;
      c.ranged = true;
      c.min = 1;
      c.max = 0xFFFF;
      c.cur = 1;
      return apply(c, field(5, 1, selector));
    }
    case 4: {  // mixer unit: one programmable control per mixer control number
      if (selector != 1) return std::nullopt;
      ControlSpec c = Level2(-60 * 256, 0, 256);
      c.minus_infinity = true;
      return c;
    }
    case 2:    // input terminal: bmControls (16 bits) at byte 14
    case 3: {  // output terminal: bmControls at byte 9
      const std::size_t at = e.subtype == 2 ? 14 : 9;
      if (channel != 0) return std::nullopt;
      if (selector == 1) return apply(Bool(), field(at, 2, 1));  // copy protect
      if (selector == 3 || selector == 4 || selector == 5 || (e.subtype == 2 && selector == 6))
        return apply(Bool(false), field(at, 2, selector));       // overload, underflow, overflow
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

// The maker's vendor selectors (bit 7 set) of feature units: present where the unit's
// vendor control block (its memory) marks them. UAC 1.0 blocks hold a 16-bit bitmap per
// channel from byte 19 (bit s-1 for selector 0x80+s; a control size other than 2 means
// present everywhere); UAC 2.0 blocks a 32-bit bitmap per channel from byte 18 with a
// two-bit field at 2(s-1). 0x90 is an on/off switch; other selectors are levels of the
// request's size (one or two bytes).
std::optional<SimDevice::ControlSpec> SimDevice::VendorSelectorSpec(const Entity& e, std::uint8_t selector,
                                                                    std::uint8_t channel, std::uint16_t length) {
  auto it = profile_.entity_memory.find(e.id);
  if (it == profile_.entity_memory.end() || it->second.size() < 19) return std::nullopt;
  const auto& block = it->second;
  const unsigned s = selector & 0x7Fu;
  if (s == 0) return std::nullopt;
  bool present = false;
  if (Version() == 2) {
    const std::size_t at = 18 + 4u * channel;
    if (2 * s - 2 < 32 && at + 4 <= block.size()) present = ((Le(block, at, 4) >> (2 * s - 2)) & 3) != 0;
  } else if (block[18] != 2) {
    present = true;
  } else {
    const std::size_t at = 19 + 2u * channel;
    if (s - 1 < 16 && at + 2 <= block.size()) present = ((Le(block, at, 2) >> (s - 1)) & 1) != 0;
  }
  if (!present) return std::nullopt;
  if (selector == 0x90) return Bool();
  ControlSpec c;
  c.size = length == 1 ? 1 : 2;
  c.is_signed = true;
  c.ranged = true;
  c.min = c.size == 1 ? -128 : -32768;
  c.max = c.size == 1 ? 127 : 32767;
  return c;
}

SimDevice::ControlState& SimDevice::State(const ControlKey& key, const ControlSpec& spec) {
  auto it = controls_.find(key);
  if (it == controls_.end()) {
    ControlState st;
    Encode(st.cur, spec.cur, spec.size);
    st.min = spec.min;
    st.max = spec.max;
    st.res = spec.res;
    it = controls_.emplace(key, std::move(st)).first;
  }
  return it->second;
}

ControlResult SimDevice::ClassRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data) {
  const std::uint8_t recipient = s.bmRequestType & 0x1F;
  if (recipient == BMREQUEST_TO_ENDPOINT) {
    const AltSetting* owner = EndpointOwnerLocked(static_cast<std::uint8_t>(s.wIndex));
    UseFunction(owner != nullptr ? descriptors_.FunctionOf(owner->number) : nullptr);
    if (Version() == 1) return Uac1Endpoint(s, data);
    return Stall();  // UAC 2.0 endpoint controls (pitch, over/underrun) are not offered
  }
  if (recipient != BMREQUEST_TO_INTERFACE || !descriptors_.has_audio_control()) return VendorRequest(s, data);
  const std::uint8_t intf = static_cast<std::uint8_t>(s.wIndex);
  const std::uint8_t id = static_cast<std::uint8_t>(s.wIndex >> 8);
  // Requests go to the function the interface belongs to, with that function's entities.
  UseFunction(descriptors_.FunctionOf(intf));
  if (fn_ != nullptr && intf == fn_->control_interface) {
    if (id == 0) return Stall();  // interface controls of the Audio Control interface
    const Entity* e = FindEntity(id);
    if (e == nullptr) return Stall();
    return Version() == 2 ? Uac2Entity(s, data, *e) : Uac1Entity(s, data, *e);
  }
  const InterfaceInfo* info = descriptors_.FindInterface(intf);
  if (info != nullptr && info->alternates.front().cls == 1 && info->alternates.front().subclass == 2 &&
      Version() == 2 && id == 0)
    return Uac2Interface(s, data, intf);
  // Requests to other interfaces (HID reports and the like) go to the store.
  return VendorRequest(s, data);
}

ControlResult SimDevice::Memory(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data, std::uint8_t id) {
  auto it = profile_.entity_memory.find(id);
  if (it == profile_.entity_memory.end()) return Stall();
  const std::size_t offset = s.wValue;
  if (offset > it->second.size()) return Stall();
  if ((s.bmRequestType & 0x80) == 0) {
    if (offset + s.wLength > it->second.size()) return Stall();
    std::memcpy(it->second.data() + offset, data, s.wLength);
    return {USBD_STATUS_SUCCESS, s.wLength};
  }
  std::vector<std::uint8_t> bytes(it->second.begin() + static_cast<std::ptrdiff_t>(offset), it->second.end());
  return Reply(s, data, bytes);
}

ControlResult SimDevice::Uac1Entity(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data, const Entity& e) {
  const bool in = (s.bmRequestType & 0x80) != 0;
  if (s.bRequest == uac::GET_MEM || s.bRequest == uac::SET_MEM) return Memory(s, data, e.id);
  std::uint8_t selector = static_cast<std::uint8_t>(s.wValue >> 8);
  std::uint8_t channel = static_cast<std::uint8_t>(s.wValue);
  ControlKey key{false, e.id, selector, channel, fn_index_};
  if (e.subtype == 4) {  // mixer: wValue is (input channel, output channel)
    selector = 0;
    key = ControlKey{false, e.id, static_cast<std::uint8_t>(s.wValue >> 8), static_cast<std::uint8_t>(s.wValue), fn_index_};
  }
  auto spec = e.subtype == 4                       ? SpecFor(e, 0, 0)
              : e.subtype == 6 && (selector & 0x80) ? VendorSelectorSpec(e, selector, channel, s.wLength)
                                                    : SpecFor(e, selector, channel);
  if (!spec) return Stall();
  ControlState& st = State(key, *spec);
  if (in) {
    std::vector<std::uint8_t> out;
    switch (s.bRequest) {
      case uac::GET_CUR: out = st.cur; break;
      case uac::GET_MIN: if (!spec->ranged) return Stall(); Encode(out, st.min, spec->size); break;
      case uac::GET_MAX: if (!spec->ranged) return Stall(); Encode(out, st.max, spec->size); break;
      case uac::GET_RES: if (!spec->ranged) return Stall(); Encode(out, st.res, spec->size); break;
      default: return Stall();
    }
    return Reply(s, data, out);
  }
  if (s.bRequest != uac::SET_CUR || s.wLength != spec->size) return Stall();
  const std::int64_t v = Decode(data, spec->size, spec->is_signed);
  const bool minus_inf = spec->minus_infinity && spec->size == 2 && v == -0x8000;
  if (spec->boolean && v > 1) return Stall();
  if (spec->ranged && !minus_inf && (v < st.min || v > st.max)) return Stall();
  st.cur.assign(data, data + spec->size);
  return {USBD_STATUS_SUCCESS, s.wLength};
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> SimDevice::ClockSubranges(std::uint8_t clock_id) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> r;
  if (auto it = profile_.clock_ranges.find(clock_id); it != profile_.clock_ranges.end()) {
    r.push_back(it->second);
    return r;
  }
  auto it = profile_.clock_rates.find(clock_id);
  std::vector<std::uint32_t> rates = it != profile_.clock_rates.end() ? it->second : std::vector<std::uint32_t>{44100, 48000};
  for (auto rate : rates) r.emplace_back(rate, rate);
  return r;
}

bool SimDevice::RateSupportedByClock(std::uint8_t clock_id, std::uint32_t rate) {
  for (auto [lo, hi] : ClockSubranges(clock_id))
    if (rate >= lo && rate <= hi) return true;
  return false;
}

std::uint32_t SimDevice::ClockRate(std::uint8_t clock_id, int depth) {
  const Entity* e = FindEntity(clock_id);
  if (e == nullptr || depth > 8) return 0;
  if (e->subtype == 10) {
    ControlKey key{false, clock_id, 1, 0, fn_index_};
    auto it = controls_.find(key);
    if (it != controls_.end()) return static_cast<std::uint32_t>(Decode(it->second.cur.data(), 4, false));
    return ClockSubranges(clock_id).front().first;
  }
  if (e->subtype == 11 && e->descriptor.size() > 5) {  // selector: follow the selected input
    std::uint8_t pin = 1;
    if (auto it = controls_.find(ControlKey{false, clock_id, 1, 0, fn_index_}); it != controls_.end()) pin = it->second.cur[0];
    if (pin == 0 || pin > e->descriptor[4]) return 0;
    return ClockRate(e->descriptor[4 + pin], depth + 1);
  }
  if (e->subtype == 12 && e->descriptor.size() > 4) {  // multiplier
    std::uint32_t num = 1, den = 1;
    if (auto it = controls_.find(ControlKey{false, clock_id, 1, 0, fn_index_}); it != controls_.end())
      num = static_cast<std::uint32_t>(Decode(it->second.cur.data(), 2, false));
    if (auto it = controls_.find(ControlKey{false, clock_id, 2, 0, fn_index_}); it != controls_.end())
      den = static_cast<std::uint32_t>(Decode(it->second.cur.data(), 2, false));
    return den == 0 ? 0 : ClockRate(e->descriptor[4], depth + 1) * num / den;
  }
  return 0;
}

ControlResult SimDevice::Uac2Entity(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data, const Entity& e) {
  const bool in = (s.bmRequestType & 0x80) != 0;
  const std::uint8_t selector = static_cast<std::uint8_t>(s.wValue >> 8);
  const std::uint8_t channel = static_cast<std::uint8_t>(s.wValue);
  if (s.bRequest == uac::MEM) return Memory(s, data, e.id);
  if (s.bRequest != uac::CUR && s.bRequest != uac::RANGE) return Stall();
  if (e.subtype == 2 || e.subtype == 3) {
    // Connector (2) and the maker's jack list (2, channel 0xFF) and terminal type (8).
    if (selector == 8 || (selector == 2 && channel == 0xFF)) return TerminalExtension(s, data, e, s.bRequest == uac::RANGE);
    if (selector == 2) {
      const std::size_t at = e.subtype == 2 ? 14 : 9;
      const int bits = at + 2 <= e.descriptor.size() ? static_cast<int>((Le(e.descriptor, at, 2) >> 2) & 3) : 0;
      if ((bits & 1) == 0 || !in || s.bRequest != uac::CUR || channel != 0) return Stall();
      return TerminalExtension(s, data, e, false);
    }
  }
  auto spec = e.subtype == 6 && (selector & 0x80) ? VendorSelectorSpec(e, selector, channel, s.wLength)
                                                    : SpecFor(e, selector, channel);
  if (!spec) return Stall();
  ControlKey key{false, e.id, selector, channel, fn_index_};
  ControlState& st = State(key, *spec);
  const bool clock_freq = e.subtype == 10 && selector == 1;
  if (clock_freq && st.cur.size() == 4 && Decode(st.cur.data(), 4, false) == 0) {
    st.cur.clear();
    Encode(st.cur, ClockSubranges(e.id).front().first, 4);
  }
  if (in) {
    if (!spec->readable) return Stall();
    std::vector<std::uint8_t> out;
    if (s.bRequest == uac::CUR) {
      out = st.cur;
      if (e.subtype == 10 && selector == 2) {
        auto it = profile_.clock_valid.find(e.id);
        out = {static_cast<std::uint8_t>(it == profile_.clock_valid.end() || it->second ? 1 : 0)};
      }
    } else {
      if (!spec->ranged) return Stall();
      if (clock_freq) {
        auto ranges = ClockSubranges(e.id);
        Encode(out, static_cast<std::int64_t>(ranges.size()), 2);
        for (auto [lo, hi] : ranges) {
          Encode(out, lo, 4);
          Encode(out, hi, 4);
          Encode(out, lo == hi ? 0 : 1, 4);
        }
      } else {
        Encode(out, 1, 2);
        Encode(out, st.min, spec->size);
        Encode(out, st.max, spec->size);
        Encode(out, st.res, spec->size);
      }
    }
    return Reply(s, data, out);
  }
  if (s.bRequest != uac::CUR || !spec->writable || s.wLength != spec->size) return Stall();
  const std::int64_t v = Decode(data, spec->size, spec->is_signed);
  const bool minus_inf = spec->minus_infinity && spec->size == 2 && v == -0x8000;
  if (spec->boolean && v > 1) return Stall();
  if (clock_freq) {
    if (!RateSupportedByClock(e.id, static_cast<std::uint32_t>(v))) return Stall();
  } else if (spec->ranged && !minus_inf && (v < st.min || v > st.max)) {
    return Stall();
  }
  st.cur.assign(data, data + spec->size);
  if (clock_freq || e.subtype == 11 || e.subtype == 12) RestartStreams();
  return {USBD_STATUS_SUCCESS, s.wLength};
}

ControlResult SimDevice::Uac2Interface(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data,
                                       std::uint8_t number) {
  const bool in = (s.bmRequestType & 0x80) != 0;
  const std::uint8_t selector = static_cast<std::uint8_t>(s.wValue >> 8);
  if (!in || s.bRequest != uac::CUR || static_cast<std::uint8_t>(s.wValue) != 0) return Stall();
  const InterfaceInfo* info = descriptors_.FindInterface(number);
  if (selector != 1 && selector != 2) return Stall();
  // The control exists when some alternate setting's AS_GENERAL declares it readable.
  bool declared = false;
  for (auto& a : info->alternates)
    for (auto& d : a.class_specific)
      if (d.size() > 4 && d[2] == 1 && ((d[4] >> (2 * (selector - 1))) & 1)) declared = true;
  if (!declared) return Stall();
  if (selector == 1) return Reply(s, data, {alternates_[number]});
  std::uint8_t highest = 0;
  for (auto& a : info->alternates) highest = std::max(highest, a.alternate);
  const std::uint8_t size = static_cast<std::uint8_t>(highest / 8 + 1);
  std::vector<std::uint8_t> out(1 + size, 0);
  out[0] = size;
  auto restrict = profile_.valid_alternates.find(number);
  for (auto& a : info->alternates) {
    if (restrict != profile_.valid_alternates.end() && (a.alternate >= 32 || !((restrict->second >> a.alternate) & 1))) continue;
    out[1 + a.alternate / 8] |= static_cast<std::uint8_t>(1u << (a.alternate % 8));
  }
  return Reply(s, data, out);
}

ControlResult SimDevice::Uac1Endpoint(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data) {
  const bool in = (s.bmRequestType & 0x80) != 0;
  const std::uint8_t address = static_cast<std::uint8_t>(s.wIndex);
  const std::uint8_t selector = static_cast<std::uint8_t>(s.wValue >> 8);
  const EndpointInfo* ep = nullptr;
  const AltSetting* owner = EndpointOwnerLocked(address, &ep);
  if (owner == nullptr || static_cast<std::uint8_t>(s.wValue) != 0) return Stall();
  const std::uint8_t attributes = ep->class_specific.size() > 3 ? ep->class_specific[3] : 0;
  if (selector == 1) {  // sampling frequency
    if ((attributes & 1) == 0) return Stall();
    const StreamFormat* f = descriptors_.FindFormat(owner->number, owner->alternate);
    if (in) {
      std::vector<std::uint8_t> out;
      std::uint32_t v = 0;
      if (s.bRequest == uac::GET_CUR) {
        v = StreamRate(owner->number, owner->alternate, address);
      } else if (f != nullptr && (s.bRequest == uac::GET_MIN || s.bRequest == uac::GET_MAX)) {
        if (f->rate_range) {
          v = s.bRequest == uac::GET_MIN ? f->rate_range->first : f->rate_range->second;
        } else if (!f->rates.empty()) {
          v = s.bRequest == uac::GET_MIN ? *std::min_element(f->rates.begin(), f->rates.end())
                                         : *std::max_element(f->rates.begin(), f->rates.end());
        }
      } else if (s.bRequest == uac::GET_RES) {
        v = 1;
      } else {
        return Stall();
      }
      Encode(out, v, 3);
      return Reply(s, data, out);
    }
    if (s.bRequest != uac::SET_CUR || s.wLength != 3) return Stall();
    const std::uint32_t rate = static_cast<std::uint32_t>(Decode(data, 3, false));
    bool ok = f == nullptr;
    if (f != nullptr) {
      ok = std::find(f->rates.begin(), f->rates.end(), rate) != f->rates.end() ||
           (f->rate_range && rate >= f->rate_range->first && rate <= f->rate_range->second);
    }
    if (!ok) return Stall();
    endpoint_rates_[address] = rate;
    RestartStreams();
    return {USBD_STATUS_SUCCESS, 3};
  }
  if (selector == 2) {  // pitch
    if ((attributes & 2) == 0) return Stall();
    ControlSpec c = Bool();
    ControlState& st = State(ControlKey{true, address, 2, 0}, c);
    if (in) return s.bRequest == uac::GET_CUR ? Reply(s, data, st.cur) : Stall();
    if (s.bRequest != uac::SET_CUR || s.wLength != 1 || data[0] > 1) return Stall();
    st.cur = {data[0]};
    return {USBD_STATUS_SUCCESS, 1};
  }
  return Stall();
}

ControlResult SimDevice::TerminalExtension(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data,
                                           const Entity& e, bool range_request) {
  const bool in = (s.bmRequestType & 0x80) != 0;
  const std::uint8_t selector = static_cast<std::uint8_t>(s.wValue >> 8);
  const std::uint8_t channel = static_cast<std::uint8_t>(s.wValue);
  const std::uint16_t own_type = static_cast<std::uint16_t>(Le(e.descriptor, 4, 2));
  auto pit = profile_.terminals.find(e.id);
  const TerminalProfile* tp = pit == profile_.terminals.end() ? nullptr : &pit->second;
  if (selector == 2 && channel == 0xFF) {  // jack list
    if (!in || range_request || tp == nullptr || tp->jacks.empty()) return Stall();
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(tp->jacks.size())};
    for (auto& j : tp->jacks) {
      Encode(out, j.channel_mapping, 4);
      Encode(out, j.config_word, 4);
    }
    return Reply(s, data, out);
  }
  if (selector == 2 && channel == 0) {  // connector / presence: channels, mask, names
    if (!in || range_request) return Stall();
    std::uint32_t config = 0x3;
    // Input terminal: UAC 1.0 has bNrChannels at 7 and wChannelConfig at 8; UAC 2.0 has
    // bNrChannels at 8 and the four-byte bmChannelConfig at 9.
    if (e.subtype == 2) config = Version() == 2 ? Le(e.descriptor, 9, 4) : Le(e.descriptor, 8, 2);
    const std::uint32_t mask = config & (tp ? tp->connected_channels : 0xFFFFFFFF);
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(__builtin_popcount(mask))};
    Encode(out, mask, 4);
    out.push_back(0);
    return Reply(s, data, out);
  }
  if (selector == 8 && channel == 0) {  // terminal type, and the selectable types
    if (tp == nullptr || tp->selectable_types.empty()) return Stall();
    if (range_request) {
      if (!in) return Stall();
      std::vector<std::uint8_t> out;
      Encode(out, static_cast<std::int64_t>(tp->selectable_types.size()), 2);
      for (auto t : tp->selectable_types) {
        Encode(out, t, 2);
        Encode(out, t, 2);
        Encode(out, 0, 2);
      }
      return Reply(s, data, out);
    }
    auto cur = terminal_types_.find(e.id);
    if (in) {
      std::vector<std::uint8_t> out;
      Encode(out, cur == terminal_types_.end() ? own_type : cur->second, 2);
      return Reply(s, data, out);
    }
    if (s.wLength != 2) return Stall();
    const std::uint16_t type = static_cast<std::uint16_t>(data[0] | (data[1] << 8));
    if (std::find(tp->selectable_types.begin(), tp->selectable_types.end(), type) == tp->selectable_types.end())
      return Stall();
    terminal_types_[e.id] = type;
    return {USBD_STATUS_SUCCESS, 2};
  }
  return Stall();
}

std::optional<std::int64_t> SimDevice::GetControl(ControlKey key) {
  std::lock_guard lock(mutex_);
  UseFunctionIndex(key.function);
  auto it = controls_.find(key);
  if (it != controls_.end()) {
    bool is_signed = false;
    if (!key.endpoint) {
      if (auto* e = FindEntity(key.id)) {
        auto spec = SpecFor(*e, key.selector, key.channel);
        is_signed = spec && spec->is_signed;
      }
    }
    return Decode(it->second.cur.data(), static_cast<int>(it->second.cur.size()), is_signed);
  }
  if (key.endpoint) return std::nullopt;
  const Entity* e = FindEntity(key.id);
  if (e == nullptr) return std::nullopt;
  auto spec = SpecFor(*e, key.selector, key.channel);
  if (!spec) return std::nullopt;
  if (e->subtype == 10 && key.selector == 1) return ClockRate(key.id);
  return spec->cur;
}

bool SimDevice::SetControl(ControlKey key, std::int64_t value) {
  std::lock_guard lock(mutex_);
  UseFunctionIndex(key.function);
  const Entity* e = key.endpoint ? nullptr : FindEntity(key.id);
  if (e == nullptr) return false;
  auto spec = SpecFor(*e, key.selector, key.channel);
  if (!spec) return false;
  ControlState& st = State(key, *spec);
  st.cur.clear();
  Encode(st.cur, value, spec->size);
  return true;
}

void SimDevice::SetControlRange(ControlKey key, std::int64_t min, std::int64_t max, std::int64_t res) {
  std::lock_guard lock(mutex_);
  UseFunctionIndex(key.function);
  const Entity* e = key.endpoint ? nullptr : FindEntity(key.id);
  if (e == nullptr) return;
  auto spec = SpecFor(*e, key.selector, key.channel);
  if (!spec) return;
  ControlState& st = State(key, *spec);
  st.min = min;
  st.max = max;
  st.res = res;
}

std::uint32_t SimDevice::SamplingRate(std::uint8_t endpoint) {
  std::lock_guard lock(mutex_);
  const AltSetting* owner = EndpointOwnerLocked(endpoint);
  if (owner == nullptr) return 0;
  return StreamRate(owner->number, owner->alternate, endpoint);
}

void SimDevice::UseFunction(const AudioFunction* f) {
  fn_ = f;
  fn_index_ = 0;
  const auto& all = descriptors_.functions();
  for (std::size_t k = 0; k < all.size(); ++k)
    if (&all[k] == f) fn_index_ = static_cast<std::uint8_t>(k);
}

void SimDevice::UseFunctionIndex(std::uint8_t index) {
  const auto& all = descriptors_.functions();
  UseFunction(index < all.size() ? &all[index] : nullptr);
}

const Entity* SimDevice::FindEntity(std::uint8_t id) const { return fn_ != nullptr ? fn_->FindEntity(id) : nullptr; }

int SimDevice::Version() const { return fn_ != nullptr ? fn_->version : 0; }

const AltSetting* SimDevice::EndpointOwnerLocked(std::uint8_t address, const EndpointInfo** endpoint) {
  const AltSetting* best = nullptr;
  const EndpointInfo* best_ep = nullptr;
  auto consider = [&](const AltSetting& a) {
    for (auto& e : a.endpoints) {
      if (e.address != address) continue;
      const bool streaming = a.cls == 1 && a.subclass == 2;
      if (best == nullptr || (streaming && !(best->cls == 1 && best->subclass == 2))) {
        best = &a;
        best_ep = &e;
      }
    }
  };
  for (auto& i : descriptors_.interfaces()) {
    auto it = alternates_.find(i.number);
    if (const AltSetting* cur = i.Find(it == alternates_.end() ? 0 : it->second)) consider(*cur);
  }
  if (best == nullptr) {
    // Nobody holds it now: the first streaming setting declaring it, else the first.
    for (auto& i : descriptors_.interfaces())
      for (auto& a : i.alternates) consider(a);
  }
  if (endpoint != nullptr) *endpoint = best_ep;
  return best;
}

std::uint32_t SimDevice::StreamRate(std::uint8_t interface_number, std::uint8_t alternate, std::uint8_t endpoint) {
  const StreamFormat* f = descriptors_.FindFormat(interface_number, alternate);
  // The rate comes from the function the streaming interface belongs to.
  const AudioFunction* saved = fn_;
  UseFunction(descriptors_.FunctionOf(interface_number));
  const std::uint32_t rate = StreamRateLocked(f, endpoint);
  UseFunction(saved);
  return rate;
}

std::uint32_t SimDevice::StreamRateLocked(const StreamFormat* f, std::uint8_t endpoint) {
  if (Version() == 2) {
    if (f == nullptr) return 0;
    const Entity* t = FindEntity(f->terminal_link);
    if (t == nullptr) return 0;
    const std::size_t at = t->subtype == 2 ? 7 : 8;
    if (t->descriptor.size() <= at) return 0;
    return ClockRate(t->descriptor[at]);
  }
  if (auto it = endpoint_rates_.find(endpoint); it != endpoint_rates_.end()) return it->second;
  if (f == nullptr) return 0;
  if (!f->rates.empty()) return f->rates.front();
  if (f->rate_range) return f->rate_range->first;
  return 0;
}

}  // namespace sim::device
