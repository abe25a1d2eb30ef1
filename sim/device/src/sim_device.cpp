// Standard requests, request routing, vendor store, status messages and fault hooks of the
// simulated device. Audio Class semantics are in audio_controls.cpp, streaming in
// streaming.cpp.
#include "sim/device/sim_device.h"

#include <algorithm>
#include <cstring>

#include "sim_device_internal.h"

namespace sim::device {

namespace {
ControlResult Stall() { return {USBD_STATUS_STALL_PID, 0}; }
}  // namespace

SimDevice::SimDevice(DescriptorSet descriptors, DeviceProfile profile)
    : descriptors_(std::move(descriptors)), profile_(std::move(profile)) {
  auto cfg = descriptors_.configuration();
  config_.assign(cfg.begin(), cfg.end());
  high_speed_ = profile_.high_speed.value_or(descriptors_.audio_class_version() == 2);
  other_configs_ = descriptors_.other_configurations();
  if (!profile_.keep_declared_total_length) {
    config_[2] = static_cast<std::uint8_t>(config_.size());
    config_[3] = static_cast<std::uint8_t>(config_.size() >> 8);
    for (auto& c : other_configs_) {
      c[2] = static_cast<std::uint8_t>(c.size());
      c[3] = static_cast<std::uint8_t>(c.size() >> 8);
    }
  }
  UseFunctionIndex(0);
  for (auto idx : descriptors_.StringIndices()) {
    if (profile_.strings.count(idx) == 0) {
      std::u16string text = u"String ";
      for (char ch : std::to_string(idx)) text.push_back(static_cast<char16_t>(ch));
      profile_.strings[idx] = text;
    }
  }
  if (descriptors_.has_audio_control()) {
    if (auto* ac = descriptors_.FindInterface(descriptors_.audio_control_interface())) {
      if (auto* alt0 = ac->Find(0)) {
        for (auto& e : alt0->endpoints)
          if (e.in() && e.type() == USB_ENDPOINT_TYPE_INTERRUPT) {
            status_endpoint_ = e.address;
            break;
          }
      }
    }
  }
}

SimDevice::~SimDevice() = default;

bool SimDevice::FromDumpText(std::string_view text, DeviceProfile profile, std::unique_ptr<SimDevice>& out,
                             std::string& error) {
  DescriptorDump dump;
  if (!ConvertDescriptorDump(text, dump, error)) return false;
  DescriptorSet set;
  if (!DescriptorSet::FromDump(dump, set, error)) return false;
  for (auto& [idx, s] : dump.strings)
    if (profile.strings.count(idx) == 0) profile.strings[idx] = s;
  if (!profile.high_speed && dump.speed != BusSpeed::Unknown) profile.high_speed = dump.speed == BusSpeed::High;
  out = std::make_unique<SimDevice>(std::move(set), std::move(profile));
  return true;
}

ControlResult SimDevice::Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::uint8_t* data) {
  std::lock_guard lock(mutex_);
  ControlResult r;
  bool stalled = false;
  for (auto it = stalls_.begin(); it != stalls_.end(); ++it) {
    auto& m = it->match;
    if ((!m.request_type || *m.request_type == setup.bmRequestType) && (!m.request || *m.request == setup.bRequest) &&
        (!m.value || *m.value == setup.wValue) && (!m.index || *m.index == setup.wIndex)) {
      stalled = true;
      ++fault_hits_;
      if (--it->count <= 0) stalls_.erase(it);
      break;
    }
  }
  if (stalled) {
    r = Stall();
  } else if (data == nullptr && setup.wLength != 0) {
    r = {USBD_STATUS_INVALID_PARAMETER, 0};
  } else {
    r = HandleLocked(setup, data);
  }
  ControlLogEntry entry{setup, {}, r.status};
  const bool in = (setup.bmRequestType & 0x80) != 0;
  const ULONG moved = in ? r.length : (USBD_SUCCESS(r.status) ? setup.wLength : 0);
  if (data != nullptr && moved > 0) entry.data.assign(data, data + moved);
  log_.push_back(std::move(entry));
  if (!in && USBD_SUCCESS(r.status)) r.length = setup.wLength;
  return r;
}

ControlResult SimDevice::HandleLocked(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data) {
  if (hook_) {
    if (auto r = hook_(s, data)) return *r;
  }
  switch ((s.bmRequestType >> 5) & 3) {
    case BMREQUEST_STANDARD:
      return Standard(s, data);
    case BMREQUEST_CLASS:
      return ClassRequest(s, data);
    case BMREQUEST_VENDOR:
      return VendorRequest(s, data);
    default:
      return Stall();
  }
}

ControlResult SimDevice::Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data) {
  const bool in = (s.bmRequestType & 0x80) != 0;
  const std::uint8_t recipient = s.bmRequestType & 0x1F;
  auto reply = [&](const std::uint8_t* bytes, std::size_t n) {
    const ULONG len = static_cast<ULONG>(std::min<std::size_t>(n, s.wLength));
    if (len) std::memcpy(data, bytes, len);
    return ControlResult{USBD_STATUS_SUCCESS, len};
  };
  switch (s.bRequest) {
    case USB_REQUEST_GET_DESCRIPTOR: {
      if (!in) return Stall();
      const std::uint8_t type = static_cast<std::uint8_t>(s.wValue >> 8);
      const std::uint8_t index = static_cast<std::uint8_t>(s.wValue);
      if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) {
        auto d = descriptors_.device();
        return reply(d.data(), d.size());
      }
      if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) return reply(config_.data(), config_.size());
      if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index <= other_configs_.size()) {
        const auto& c = other_configs_[index - 1u];
        return reply(c.data(), c.size());
      }
      if (type == USB_STRING_DESCRIPTOR_TYPE) {
        std::vector<std::uint8_t> d;
        if (index == 0) {
          d = {4, 3, 0x09, 0x04};
        } else {
          auto it = profile_.strings.find(index);
          if (it == profile_.strings.end()) return Stall();
          const std::size_t chars = std::min<std::size_t>(it->second.size(), 126);
          d.push_back(static_cast<std::uint8_t>(2 + 2 * chars));
          d.push_back(3);
          for (std::size_t k = 0; k < chars; ++k) {
            d.push_back(static_cast<std::uint8_t>(it->second[k]));
            d.push_back(static_cast<std::uint8_t>(it->second[k] >> 8));
          }
        }
        return reply(d.data(), d.size());
      }
      return Stall();
    }
    case USB_REQUEST_SET_CONFIGURATION:
      if (in || recipient != 0) return Stall();
      if (s.wValue != 0 && s.wValue != descriptors_.configuration_value()) return Stall();
      configuration_ = static_cast<std::uint8_t>(s.wValue);
      alternates_.clear();
      streams_.clear();
      halted_.clear();
      return {USBD_STATUS_SUCCESS, 0};
    case USB_REQUEST_GET_CONFIGURATION: {
      if (!in) return Stall();
      const std::uint8_t v = configuration_;
      return reply(&v, 1);
    }
    case USB_REQUEST_SET_INTERFACE: {
      if (in || recipient != BMREQUEST_TO_INTERFACE || configuration_ == 0) return Stall();
      auto* intf = descriptors_.FindInterface(static_cast<std::uint8_t>(s.wIndex));
      if (intf == nullptr || s.wIndex > 0xFF || s.wValue > 0xFF || intf->Find(static_cast<std::uint8_t>(s.wValue)) == nullptr)
        return Stall();
      // As after SetConfiguration, the interface's endpoints lose their Halt feature.
      for (const auto& alt : intf->alternates)
        for (const auto& e : alt.endpoints) halted_.erase(e.address);
      SelectAlternate(static_cast<std::uint8_t>(s.wIndex), static_cast<std::uint8_t>(s.wValue));
      return {USBD_STATUS_SUCCESS, 0};
    }
    case USB_REQUEST_GET_INTERFACE: {
      if (!in || configuration_ == 0 || descriptors_.FindInterface(static_cast<std::uint8_t>(s.wIndex)) == nullptr)
        return Stall();
      const std::uint8_t v = alternates_[static_cast<std::uint8_t>(s.wIndex)];
      return reply(&v, 1);
    }
    case USB_REQUEST_GET_STATUS: {
      if (!in) return Stall();
      std::uint8_t v[2] = {0, 0};
      if (recipient == BMREQUEST_TO_DEVICE && (config_[7] & USB_CONFIG_SELF_POWERED)) v[0] = 1;
      if (recipient == BMREQUEST_TO_ENDPOINT && halted_[static_cast<std::uint8_t>(s.wIndex)]) v[0] = 1;
      return reply(v, 2);
    }
    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE:
      if (recipient == BMREQUEST_TO_ENDPOINT && s.wValue == USB_FEATURE_ENDPOINT_STALL) {
        halted_[static_cast<std::uint8_t>(s.wIndex)] = s.bRequest == USB_REQUEST_SET_FEATURE;
        return {USBD_STATUS_SUCCESS, 0};
      }
      if (recipient == BMREQUEST_TO_DEVICE && s.wValue == USB_FEATURE_REMOTE_WAKEUP) return {USBD_STATUS_SUCCESS, 0};
      return Stall();
    default:
      return Stall();
  }
}

ControlResult SimDevice::VendorRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data) {
  const bool in = (s.bmRequestType & 0x80) != 0;
  auto key = std::make_tuple(s.bmRequestType, s.bRequest, s.wValue, s.wIndex);
  auto it = vendor_.find(key);
  if (it != vendor_.end()) {
    if (in) {
      const ULONG len = static_cast<ULONG>(std::min<std::size_t>(it->second.size(), s.wLength));
      if (len) std::memcpy(data, it->second.data(), len);
      return {USBD_STATUS_SUCCESS, len};
    }
    it->second.assign(data, data + s.wLength);
    return {USBD_STATUS_SUCCESS, s.wLength};
  }
  // Writes are kept under the key their read would use, so a register written reads back.
  if (!in) {
    auto read_key = std::make_tuple(static_cast<std::uint8_t>(s.bmRequestType | 0x80), s.bRequest, s.wValue, s.wIndex);
    auto r = vendor_.find(read_key);
    if (r != vendor_.end()) {
      r->second.assign(data, data + s.wLength);
      return {USBD_STATUS_SUCCESS, s.wLength};
    }
  }
  // The maker's terminal extensions of UAC 1.0 functions travel as vendor requests to the
  // Audio Control interface.
  const AudioFunction* fn = (s.bmRequestType & 0x1F) == BMREQUEST_TO_INTERFACE
                                ? descriptors_.FunctionOf(static_cast<std::uint8_t>(s.wIndex))
                                : nullptr;
  if (fn != nullptr && (s.wIndex & 0xFF) == fn->control_interface) {
    UseFunction(fn);
    if (auto* e = FindEntity(static_cast<std::uint8_t>(s.wIndex >> 8))) {
      if (e->subtype == 2 || e->subtype == 3) return TerminalExtension(s, data, *e, s.bRequest == 0x86);
      // Vendor selectors of UAC 1.0 feature units use the class request codes.
      if (e->subtype == 6 && (s.wValue & 0x8000) && Version() == 1)
        return Uac1Entity(s, data, *e);
    }
  }
  return Stall();
}

void SimDevice::BusReset() {
  std::lock_guard lock(mutex_);
  configuration_ = 0;
  alternates_.clear();
  streams_.clear();
  halted_.clear();
  bus_origin_known_ = false;  // a port may start its bus again
}

std::uint8_t SimDevice::CurrentAlternate(std::uint8_t interface_number) {
  std::lock_guard lock(mutex_);
  auto it = alternates_.find(interface_number);
  return it == alternates_.end() ? 0 : it->second;
}

std::uint8_t SimDevice::configuration_value() {
  std::lock_guard lock(mutex_);
  return configuration_;
}

void SimDevice::SetRequestHook(RequestHook hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

void SimDevice::SetVendorData(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                              std::uint16_t index, std::vector<std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  vendor_[std::make_tuple(request_type, request, value, index)] = std::move(bytes);
}

std::optional<std::vector<std::uint8_t>> SimDevice::VendorData(std::uint8_t request_type, std::uint8_t request,
                                                               std::uint16_t value, std::uint16_t index) {
  std::lock_guard lock(mutex_);
  auto it = vendor_.find(std::make_tuple(request_type, request, value, index));
  if (it == vendor_.end()) return std::nullopt;
  return it->second;
}

std::vector<ControlLogEntry> SimDevice::control_log() {
  std::lock_guard lock(mutex_);
  return log_;
}

void SimDevice::ClearControlLog() {
  std::lock_guard lock(mutex_);
  log_.clear();
}

void SimDevice::PushStatusUac1(std::uint8_t originator, std::uint8_t status_type) {
  if (status_endpoint_) PushInterruptData(*status_endpoint_, {status_type, originator});
}

void SimDevice::PushStatusUac2(std::uint8_t entity, std::uint8_t selector, std::uint8_t channel, std::uint8_t info,
                               std::uint8_t attribute) {
  if (!status_endpoint_) return;
  PushInterruptData(*status_endpoint_, {info, attribute, channel, selector, descriptors_.audio_control_interface(), entity});
}

bool SimDevice::ChangeControl(ControlKey key, std::int64_t value) {
  if (!SetControl(key, value)) return false;
  if (audio_class_version() == 2)
    PushStatusUac2(key.id, key.selector, key.channel);
  else
    PushStatusUac1(key.id);
  return true;
}

void SimDevice::SetJackState(std::uint8_t terminal, std::uint32_t connected_channels) {
  {
    std::lock_guard lock(mutex_);
    profile_.terminals[terminal].connected_channels = connected_channels;
  }
  if (audio_class_version() == 2)
    PushStatusUac2(terminal, 2, 0);
  else
    PushStatusUac1(terminal);
}

void SimDevice::PushInterruptData(std::uint8_t endpoint, std::vector<std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  interrupt_queues_[endpoint].push_back(std::move(bytes));
}

USBD_STATUS SimDevice::TransferIn(std::uint8_t endpoint, std::uint8_t* buffer, ULONG capacity, ULONG* length) {
  std::lock_guard lock(mutex_);
  *length = 0;
  if (halted_[endpoint]) return USBD_STATUS_STALL_PID;
  auto& q = interrupt_queues_[endpoint];
  if (q.empty()) return USBD_STATUS_PENDING;
  auto msg = std::move(q.front());
  q.pop_front();
  if (msg.size() > capacity) {
    std::memcpy(buffer, msg.data(), capacity);
    *length = capacity;
    return USBD_STATUS_DATA_OVERRUN;
  }
  if (!msg.empty()) std::memcpy(buffer, msg.data(), msg.size());
  *length = static_cast<ULONG>(msg.size());
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS SimDevice::TransferOut(std::uint8_t endpoint, const std::uint8_t*, ULONG) {
  std::lock_guard lock(mutex_);
  return halted_[endpoint] ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS;
}

void SimDevice::StallRequests(RequestMatch match, int count) {
  std::lock_guard lock(mutex_);
  stalls_.push_back({match, count});
}

void SimDevice::FailIsoPackets(std::uint8_t endpoint, std::uint32_t after, std::uint32_t count, USBD_STATUS status) {
  std::lock_guard lock(mutex_);
  packet_faults_[endpoint].push_back({packet_counts_[endpoint] + after, count, status});
}

void SimDevice::ShortCapturePackets(std::uint8_t endpoint, std::uint32_t frames, std::uint32_t count) {
  std::lock_guard lock(mutex_);
  short_capture_[endpoint] = {frames, count};
}

void SimDevice::HaltEndpoint(std::uint8_t endpoint) {
  std::lock_guard lock(mutex_);
  halted_[endpoint] = true;
}

std::uint32_t SimDevice::fault_hits() {
  std::lock_guard lock(mutex_);
  return fault_hits_;
}

}  // namespace sim::device
