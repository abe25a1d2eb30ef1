#include "sim/device/descriptor_set.h"

#include <algorithm>
#include <set>

namespace sim::device {
namespace {

constexpr std::uint8_t kCsInterface = 0x24;
constexpr std::uint8_t kCsEndpoint = 0x25;

std::string At(std::size_t offset) { return "descriptor at offset " + std::to_string(offset) + ": "; }

std::uint32_t Le(const std::vector<std::uint8_t>& d, std::size_t at, int width) {
  std::uint32_t v = 0;
  for (int i = 0; i < width && at + static_cast<std::size_t>(i) < d.size(); ++i)
    v |= static_cast<std::uint32_t>(d[at + static_cast<std::size_t>(i)]) << (8 * i);
  return v;
}

// The sampling frequencies of a UAC 1.0 format descriptor from its bSamFreqType at `at`:
// a continuous range (0) or that many discrete rates.
void ParseRates(const std::vector<std::uint8_t>& d, std::size_t at, StreamFormat& f) {
  const std::size_t n = d[at];
  if (n == 0 && d.size() >= at + 7) {
    f.rate_range = std::make_pair(Le(d, at + 1, 3), Le(d, at + 4, 3));
  } else {
    for (std::size_t k = 0; k < n && at + 1 + 3 * k + 3 <= d.size(); ++k) f.rates.push_back(Le(d, at + 1 + 3 * k, 3));
  }
}

}  // namespace

const AltSetting* InterfaceInfo::Find(std::uint8_t alternate) const {
  for (auto& a : alternates)
    if (a.alternate == alternate) return &a;
  return nullptr;
}

bool DescriptorSet::FromDump(const DescriptorDump& dump, DescriptorSet& out, std::string& error) {
  if (!Build(dump.device, dump.configuration, out, error)) return false;
  out.notes_.insert(out.notes_.begin(), dump.notes.begin(), dump.notes.end());
  out.other_configurations_ = dump.other_configurations;
  for (std::size_t k = 0; k < dump.other_configurations.size(); ++k) {
    out.notes_.push_back("configuration index " + std::to_string(k + 1) + " (value " +
                         std::to_string(dump.other_configurations[k][5]) +
                         ") is served as descriptors only; the model streams configuration value " +
                         std::to_string(out.configuration_value()));
  }
  return true;
}

bool DescriptorSet::Build(std::vector<std::uint8_t> device, std::vector<std::uint8_t> configuration,
                          DescriptorSet& out, std::string& error) {
  out = DescriptorSet{};
  if (device.size() != 18 || device[0] != 18 || device[1] != 1) {
    error = "device descriptor must be 18 bytes with bLength 18 and type 1";
    return false;
  }
  if (configuration.size() < 9 || configuration[0] != 9 || configuration[1] != 2) {
    error = "configuration must start with a 9-byte configuration descriptor (type 2)";
    return false;
  }
  const std::size_t total = configuration[2] | (configuration[3] << 8);
  if (total < 9) {
    error = "wTotalLength " + std::to_string(total) + " is below the 9-byte header";
    return false;
  }
  if (configuration.size() > total) {
    error = "configuration holds " + std::to_string(configuration.size()) + " bytes, beyond its wTotalLength " +
            std::to_string(total);
    return false;
  }
  if (configuration.size() < total) {
    out.cut_short_ = true;
    out.notes_.push_back("configuration holds " + std::to_string(configuration.size()) + " of its " +
                         std::to_string(total) + " bytes");
  }
  out.device_ = std::move(device);
  out.configuration_ = std::move(configuration);
  return out.Index(error);
}

bool DescriptorSet::Index(std::string& error) {
  const auto& c = configuration_;
  AltSetting* alt = nullptr;
  EndpointInfo* last_endpoint = nullptr;  // a CS_ENDPOINT attaches to the endpoint just before
  std::vector<std::pair<int, int>> iads;   // first interface, count
  std::size_t pos = c[0];
  while (pos < c.size()) {
    if (c.size() - pos < 2) {
      cut_short_ = true;
      notes_.push_back(At(pos) + "one stray byte at the end, ignored");
      break;
    }
    const std::size_t len = c[pos];
    const std::uint8_t type = c[pos + 1];
    if (len < 2) {
      error = At(pos) + "bLength " + std::to_string(len) + " is below 2";
      return false;
    }
    if (pos + len > c.size()) {
      // Only the last descriptor can run past the bytes we have; with a complete
      // configuration that would mean bLength disagrees with wTotalLength.
      if (!cut_short_) {
        error = At(pos) + "bLength " + std::to_string(len) + " runs past wTotalLength";
        return false;
      }
      notes_.push_back(At(pos) + "cut at " + std::to_string(c.size() - pos) + " of its " + std::to_string(len) +
                       " bytes, left out");
      break;
    }
    std::vector<std::uint8_t> d(c.begin() + static_cast<std::ptrdiff_t>(pos),
                                c.begin() + static_cast<std::ptrdiff_t>(pos + len));
    switch (type) {
      case 0x04: {  // interface
        if (len < 9) {
          error = At(pos) + "interface descriptor of " + std::to_string(len) + " bytes";
          return false;
        }
        if (alt != nullptr && alt->endpoints.size() != alt->declared_endpoints) {
          error = At(alt->offset) + "interface " + std::to_string(alt->number) + " alternate " +
                  std::to_string(alt->alternate) + " declares " + std::to_string(alt->declared_endpoints) +
                  " endpoints and has " + std::to_string(alt->endpoints.size());
          return false;
        }
        auto it = std::find_if(interfaces_.begin(), interfaces_.end(), [&](auto& i) { return i.number == d[2]; });
        if (it == interfaces_.end()) {
          interfaces_.push_back(InterfaceInfo{d[2], {}});
          it = interfaces_.end() - 1;
        }
        if (it->Find(d[3]) != nullptr) {
          error = At(pos) + "interface " + std::to_string(d[2]) + " alternate " + std::to_string(d[3]) + " twice";
          return false;
        }
        AltSetting a;
        a.number = d[2];
        a.alternate = d[3];
        a.declared_endpoints = d[4];
        a.cls = d[5];
        a.subclass = d[6];
        a.protocol = d[7];
        a.offset = pos;
        it->alternates.push_back(std::move(a));
        alt = &it->alternates.back();
        last_endpoint = nullptr;
        break;
      }
      case 0x05: {  // endpoint
        if (len < 7) {
          error = At(pos) + "endpoint descriptor of " + std::to_string(len) + " bytes";
          return false;
        }
        if (alt == nullptr) {
          error = At(pos) + "endpoint descriptor outside an interface";
          return false;
        }
        if ((d[2] & 0x0F) == 0) {
          error = At(pos) + "endpoint address 0x" + std::to_string(d[2]) + " names the default pipe";
          return false;
        }
        EndpointInfo e;
        e.address = d[2];
        e.attributes = d[3];
        e.max_packet = static_cast<std::uint16_t>(d[4] | (d[5] << 8));
        e.interval = d[6];
        e.refresh = len >= 9 ? d[7] : 0;
        e.synch_address = len >= 9 ? d[8] : 0;
        e.offset = pos;
        alt->endpoints.push_back(e);
        last_endpoint = &alt->endpoints.back();
        break;
      }
      case kCsInterface:
        if (alt != nullptr) alt->class_specific.push_back(d);
        break;
      case kCsEndpoint:
        if (last_endpoint != nullptr && last_endpoint->class_specific.empty()) last_endpoint->class_specific = d;
        break;
      case 0x02:
        error = At(pos) + "a second configuration descriptor";
        return false;
      case 0x0B:  // interface association: which interfaces make one function
        if (len >= 8) iads.emplace_back(d[2], d[3]);
        break;
      default:
        break;  // HID, video and other class descriptors are kept as bytes only
    }
    pos += len;
  }
  if (alt != nullptr && alt->endpoints.size() != alt->declared_endpoints) {
    if (!cut_short_) {
      error = At(alt->offset) + "interface " + std::to_string(alt->number) + " alternate " +
              std::to_string(alt->alternate) + " declares " + std::to_string(alt->declared_endpoints) +
              " endpoints and has " + std::to_string(alt->endpoints.size());
      return false;
    }
    notes_.push_back("interface " + std::to_string(alt->number) + " alternate " + std::to_string(alt->alternate) +
                     " lost endpoints to the cut");
  }
  for (auto& i : interfaces_) {
    if (i.Find(0) == nullptr) {
      error = "interface " + std::to_string(i.number) + " has no alternate setting 0";
      return false;
    }
  }
  if (interfaces_.size() != num_interfaces_declared()) {
    const std::string what = "bNumInterfaces " + std::to_string(num_interfaces_declared()) + " but " +
                             std::to_string(interfaces_.size()) + " interfaces present";
    if (!cut_short_ || interfaces_.size() > num_interfaces_declared()) {
      error = what;
      return false;
    }
    notes_.push_back(what);
  }

  // The audio functions: every Audio Control interface with its entities and the
  // streaming interfaces that belong to it (by its IAD, else by its header's
  // baInterfaceNr list, else the streaming interfaces that follow it).
  auto is_streaming = [&](std::uint8_t number) {
    const InterfaceInfo* i = FindInterface(number);
    return i != nullptr && i->alternates.front().cls == 1 && i->alternates.front().subclass == 2;
  };
  for (std::size_t k = 0; k < interfaces_.size(); ++k) {
    const InterfaceInfo& i = interfaces_[k];
    const AltSetting& a = i.alternates.front();
    if (a.cls != 1 || a.subclass != 1) continue;
    AudioFunction fn;
    fn.control_interface = i.number;
    fn.version = a.protocol == 0x20 ? 2 : a.protocol == 0 ? 1 : a.protocol == 0x30 ? 3 : 0;
    const AltSetting* alt0 = i.Find(0);
    std::vector<std::uint8_t> listed;
    for (auto& d : alt0->class_specific) {
      if (d.size() < 4) continue;
      if (d[2] == 1) {  // header; UAC 1.0 lists the streaming interfaces
        if (fn.version == 1 && d.size() >= 8)
          for (std::size_t n = 0; n < d[7] && 8 + n < d.size(); ++n) listed.push_back(d[8 + n]);
        continue;
      }
      if (fn.entities.count(d[3]) != 0) {
        notes_.push_back("entity " + std::to_string(d[3]) + " declared twice, the first is used");
        continue;
      }
      fn.entities[d[3]] = Entity{d[3], d[2], d};
    }
    auto iad = std::find_if(iads.begin(), iads.end(),
                            [&](auto& r) { return i.number >= r.first && i.number < r.first + r.second; });
    if (iad != iads.end()) {
      for (int n = iad->first; n < iad->first + iad->second && n < 256; ++n)
        if (is_streaming(static_cast<std::uint8_t>(n))) fn.streaming_interfaces.push_back(static_cast<std::uint8_t>(n));
    } else if (!listed.empty()) {
      for (auto n : listed)
        if (is_streaming(n)) fn.streaming_interfaces.push_back(n);
    } else {
      for (std::size_t m = k + 1; m < interfaces_.size(); ++m) {
        const AltSetting& b = interfaces_[m].alternates.front();
        if (b.cls == 1 && b.subclass == 1) break;
        if (b.cls == 1 && b.subclass == 2) fn.streaming_interfaces.push_back(interfaces_[m].number);
      }
    }
    for (auto& other : functions_)
      for (auto n : other.streaming_interfaces)
        if (std::find(fn.streaming_interfaces.begin(), fn.streaming_interfaces.end(), n) != fn.streaming_interfaces.end())
          notes_.push_back("streaming interface " + std::to_string(n) + " claimed by two audio functions, the first keeps it");
    std::erase_if(fn.streaming_interfaces, [&](std::uint8_t n) {
      for (auto& other : functions_)
        if (std::find(other.streaming_interfaces.begin(), other.streaming_interfaces.end(), n) != other.streaming_interfaces.end())
          return true;
      return false;
    });
    functions_.push_back(std::move(fn));
  }
  if (!functions_.empty()) {
    audio_control_ = functions_.front().control_interface;
    audio_version_ = functions_.front().version;
  }
  for (auto& i : interfaces_) {
    for (auto& a : i.alternates) {
      if (a.cls != 1 || a.subclass != 2) continue;
      const AudioFunction* owner = FunctionOf(a.number);
      const int version = owner != nullptr ? owner->version : audio_version_;
      StreamFormat f;
      bool any = false, format = false;
      for (auto& d : a.class_specific) {
        if (d.size() < 4) continue;
        if (d[2] == 1) {  // AS_GENERAL
          f.terminal_link = d[3];
          if (version == 2 && d.size() >= 11) f.channels = d[10];
          any = true;
        } else if (d[2] == 2 && (d[3] == 1 || d[3] == 3)) {
          // FORMAT_TYPE I (PCM) and III (IEC 61937 carried in PCM-like subframes) share
          // their layout: channels (UAC 1.0), subframe size, resolution, rates (UAC 1.0).
          f.type = d[3];
          if (version == 2) {
            if (d.size() >= 6) {
              f.subframe_bytes = d[4];
              f.bits = d[5];
              format = true;
            }
          } else if (d.size() >= 8) {
            f.channels = d[4];
            f.subframe_bytes = d[5];
            f.bits = d[6];
            ParseRates(d, 7, f);
            format = true;
          }
          any = true;
        } else if (d[2] == 2 && d[3] == 2) {
          // FORMAT_TYPE II (compressed): a byte stream at the declared rate. UAC 1.0 keeps
          // wMaxBitRate, wSamplesPerFrame and the rates; UAC 2.0 the two words only.
          f.type = 2;
          f.channels = 1;
          f.subframe_bytes = 1;
          f.bits = 8;
          if (version != 2 && d.size() >= 9) ParseRates(d, 8, f);
          format = d.size() >= (version == 2 ? 8u : 9u);
          any = true;
        }
      }
      if (!any) continue;
      // Only a format the model can stream makes the setting usable; anything else is
      // said once here and the setting carries no data.
      std::string why;
      const bool iso = std::any_of(a.endpoints.begin(), a.endpoints.end(), [](auto& e) { return e.type() == 1 && !e.is_feedback(); });
      if (!format) {
        why = "no format descriptor the model knows";
      } else if (f.subframe_bytes == 0 || f.subframe_bytes > 4) {
        why = "subframe size " + std::to_string(f.subframe_bytes) + " is not 1 to 4 bytes";
      } else if (f.bits == 0 || f.bits > 8 * f.subframe_bytes) {
        why = "bit resolution " + std::to_string(f.bits) + " does not fit a " + std::to_string(f.subframe_bytes) +
              "-byte subframe";
      } else if (f.channels == 0) {
        why = "no channels";
      }
      if (!why.empty()) {
        if (iso) {
          notes_.push_back("interface " + std::to_string(a.number) + " alternate " + std::to_string(a.alternate) +
                           ": " + why + "; the setting is not streamed");
        }
        f.channels = 0;
        f.subframe_bytes = 0;
        f.bits = 0;
        f.streamable = false;
      }
      formats_[{a.number, a.alternate}] = f;
    }
  }
  return true;
}

const InterfaceInfo* DescriptorSet::FindInterface(std::uint8_t number) const {
  for (auto& i : interfaces_)
    if (i.number == number) return &i;
  return nullptr;
}

const Entity* AudioFunction::FindEntity(std::uint8_t id) const {
  auto it = entities.find(id);
  return it == entities.end() ? nullptr : &it->second;
}

const Entity* DescriptorSet::FindEntity(std::uint8_t id) const {
  return functions_.empty() ? nullptr : functions_.front().FindEntity(id);
}

const std::map<std::uint8_t, Entity>& DescriptorSet::entities() const {
  static const std::map<std::uint8_t, Entity> none;
  return functions_.empty() ? none : functions_.front().entities;
}

const AudioFunction* DescriptorSet::FunctionOf(std::uint8_t interface_number) const {
  for (auto& f : functions_) {
    if (f.control_interface == interface_number) return &f;
    for (auto n : f.streaming_interfaces)
      if (n == interface_number) return &f;
  }
  return nullptr;
}

const StreamFormat* DescriptorSet::FindFormat(std::uint8_t interface_number, std::uint8_t alternate) const {
  auto it = formats_.find({interface_number, alternate});
  return it == formats_.end() ? nullptr : &it->second;
}

const AltSetting* DescriptorSet::FindEndpointOwner(std::uint8_t address, const EndpointInfo** endpoint) const {
  for (auto& i : interfaces_)
    for (auto& a : i.alternates)
      for (auto& e : a.endpoints)
        if (e.address == address) {
          if (endpoint) *endpoint = &e;
          return &a;
        }
  return nullptr;
}

std::vector<std::uint8_t> DescriptorSet::StringIndices() const {
  std::set<std::uint8_t> s;
  for (std::size_t k : {14u, 15u, 16u})
    if (device_[k] != 0) s.insert(device_[k]);
  if (configuration_[6] != 0) s.insert(configuration_[6]);
  for (auto& i : interfaces_)
    for (auto& a : i.alternates) {
      const std::uint8_t idx = configuration_[a.offset + 8];
      if (idx != 0) s.insert(idx);
    }
  // The further configurations name strings too (their header and interfaces).
  for (auto& c : other_configurations_) {
    if (c[6] != 0) s.insert(c[6]);
    for (std::size_t at = c[0]; at + 2 <= c.size() && c[at] >= 2 && at + c[at] <= c.size(); at += c[at])
      if (c[at + 1] == 4 && c[at] >= 9 && c[at + 8] != 0) s.insert(c[at + 8]);
  }
  return {s.begin(), s.end()};
}

bool AddStatusEndpoint(std::vector<std::uint8_t>& configuration, std::uint8_t address, std::uint16_t max_packet,
                       std::uint8_t interval, std::string& error) {
  return AddControlEndpoint(configuration, address, 3, max_packet, interval, error);
}

bool AddControlEndpoint(std::vector<std::uint8_t>& configuration, std::uint8_t address, std::uint8_t attributes,
                        std::uint16_t max_packet, std::uint8_t interval, std::string& error) {
  constexpr std::uint8_t kInterface = 4, kAssociation = 11;
  auto& c = configuration;
  if (c.size() < 9 || c[0] < 9 || c[1] != 2) {
    error = "not a configuration descriptor";
    return false;
  }
  std::size_t control = 0, insert = 0;
  for (std::size_t at = c[0]; at + 2 <= c.size(); at += c[at]) {
    if (c[at] < 2 || at + c[at] > c.size()) {
      error = "descriptor at offset " + std::to_string(at) + " runs past the configuration";
      return false;
    }
    const bool interface = c[at + 1] == kInterface && c[at] >= 9;
    if (control && !insert && (interface || c[at + 1] == kAssociation)) insert = at;
    if (!control && interface && c[at + 3] == 0 && c[at + 5] == 1 && c[at + 6] == 1) control = at;
  }
  if (!control) {
    error = "no Audio Control interface";
    return false;
  }
  if (!insert) insert = c.size();
  const bool uac1 = c[control + 7] != 0x20;
  std::vector<std::uint8_t> endpoint = {7, 5, address, attributes, static_cast<std::uint8_t>(max_packet),
                                        static_cast<std::uint8_t>(max_packet >> 8), interval};
  if (uac1) {
    endpoint[0] = 9;
    endpoint.insert(endpoint.end(), {0, 0});
  }
  c.insert(c.begin() + static_cast<std::ptrdiff_t>(insert), endpoint.begin(), endpoint.end());
  ++c[control + 4];
  const unsigned total = (c[2] | c[3] << 8) + static_cast<unsigned>(endpoint.size());
  c[2] = static_cast<std::uint8_t>(total);
  c[3] = static_cast<std::uint8_t>(total >> 8);
  return true;
}

}  // namespace sim::device
