// A device's descriptors checked and indexed: configuration, interfaces with their
// alternate settings and endpoints, the class-specific descriptors of each, and the
// audio function's entities.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/device/descriptor_dump.h"

namespace sim::device {

struct EndpointInfo {
  std::uint8_t address = 0;
  std::uint8_t attributes = 0;     // bmAttributes
  std::uint16_t max_packet = 0;    // wMaxPacketSize as declared (size and transactions)
  std::uint8_t interval = 0;       // bInterval
  std::uint8_t refresh = 0;        // bRefresh of a 9-byte audio endpoint, else 0
  std::uint8_t synch_address = 0;  // bSynchAddress of a 9-byte audio endpoint, else 0
  std::size_t offset = 0;          // in the configuration
  std::vector<std::uint8_t> class_specific;  // the CS_ENDPOINT descriptor that follows, if any

  std::uint8_t type() const { return attributes & 3; }
  bool in() const { return (address & 0x80) != 0; }
  bool is_feedback() const { return type() == 1 && ((attributes >> 4) & 3) == 1; }
  std::uint32_t packet_bytes() const { return (max_packet & 0x7FFu) * (((max_packet >> 11) & 3u) + 1u); }
};

struct AltSetting {
  std::uint8_t number = 0, alternate = 0;
  std::uint8_t cls = 0, subclass = 0, protocol = 0;
  std::uint8_t declared_endpoints = 0;
  std::size_t offset = 0;
  std::vector<EndpointInfo> endpoints;
  std::vector<std::vector<std::uint8_t>> class_specific;  // CS_INTERFACE descriptors in order
};

struct InterfaceInfo {
  std::uint8_t number = 0;
  std::vector<AltSetting> alternates;
  const AltSetting* Find(std::uint8_t alternate) const;
};

// Audio Control entity (unit, terminal or clock entity) as declared.
struct Entity {
  std::uint8_t id = 0;
  std::uint8_t subtype = 0;              // bDescriptorSubtype
  std::vector<std::uint8_t> descriptor;  // the whole descriptor
};

// One audio function: its Audio Control interface, Audio Class version, entities (their
// IDs are the function's own) and streaming interfaces.
struct AudioFunction {
  std::uint8_t control_interface = 0;
  int version = 0;  // 1, 2 or 3
  std::vector<std::uint8_t> streaming_interfaces;
  std::map<std::uint8_t, Entity> entities;
  const Entity* FindEntity(std::uint8_t id) const;
};

// Format of one streaming alternate setting: Type I (PCM), Type III (IEC 61937 in PCM-like
// subframes) or Type II (compressed, modelled as a byte stream). A setting whose format the
// model cannot stream (bad subframe size or resolution, unknown type) has no channels and
// is noted when the descriptors are indexed.
struct StreamFormat {
  std::uint8_t type = 1;  // bFormatType
  bool streamable = true;
  std::uint8_t channels = 0;
  std::uint8_t subframe_bytes = 0;
  std::uint8_t bits = 0;
  std::uint8_t terminal_link = 0;
  std::vector<std::uint32_t> rates;                     // discrete rates (UAC 1.0)
  std::optional<std::pair<std::uint32_t, std::uint32_t>> rate_range;  // continuous (UAC 1.0)
};

class DescriptorSet {
 public:
  // Checks and indexes the descriptors. A configuration shorter than its wTotalLength,
  // including one whose last descriptor is cut, is accepted (its loss is noted and
  // whatever is incomplete is left out of the index); anything else out of shape is
  // refused with the cause in `error`.
  static bool Build(std::vector<std::uint8_t> device, std::vector<std::uint8_t> configuration, DescriptorSet& out,
                    std::string& error);
  static bool FromDump(const DescriptorDump& dump, DescriptorSet& out, std::string& error);

  std::span<const std::uint8_t> device() const { return device_; }
  std::span<const std::uint8_t> configuration() const { return configuration_; }
  std::uint16_t vendor_id() const { return static_cast<std::uint16_t>(device_[8] | (device_[9] << 8)); }
  std::uint16_t product_id() const { return static_cast<std::uint16_t>(device_[10] | (device_[11] << 8)); }
  std::uint8_t num_interfaces_declared() const { return configuration_[4]; }
  std::uint8_t configuration_value() const { return configuration_[5]; }
  const std::vector<InterfaceInfo>& interfaces() const { return interfaces_; }
  const InterfaceInfo* FindInterface(std::uint8_t number) const;
  const std::vector<std::string>& notes() const { return notes_; }
  // The dump's further configurations (index 1, 2, ...), served as bytes only: the model
  // runs the first one.
  const std::vector<std::vector<std::uint8_t>>& other_configurations() const { return other_configurations_; }
  bool cut_short() const { return cut_short_; }

  // Every audio function, in interface order; the accessors below without a function
  // speak of the first one (the device's main function).
  const std::vector<AudioFunction>& functions() const { return functions_; }
  // The function an interface belongs to (its Audio Control or a streaming interface).
  const AudioFunction* FunctionOf(std::uint8_t interface_number) const;
  bool has_audio_control() const { return audio_control_.has_value(); }
  std::uint8_t audio_control_interface() const { return audio_control_.value_or(0); }
  int audio_class_version() const { return audio_version_; }  // 1, 2, or 0 without audio control
  const std::map<std::uint8_t, Entity>& entities() const;
  const Entity* FindEntity(std::uint8_t id) const;
  // Format of a streaming alternate setting; null when it declares none.
  const StreamFormat* FindFormat(std::uint8_t interface_number, std::uint8_t alternate) const;
  // The alternate setting that holds an endpoint (the first one declaring it).
  const AltSetting* FindEndpointOwner(std::uint8_t address, const EndpointInfo** endpoint = nullptr) const;
  // Every string index the standard descriptors name (device, configuration, interfaces).
  std::vector<std::uint8_t> StringIndices() const;

 private:
  bool Index(std::string& error);

  std::vector<std::uint8_t> device_;
  std::vector<std::uint8_t> configuration_;
  std::vector<InterfaceInfo> interfaces_;
  std::vector<std::string> notes_;
  std::vector<std::vector<std::uint8_t>> other_configurations_;
  bool cut_short_ = false;
  std::optional<std::uint8_t> audio_control_;
  int audio_version_ = 0;
  std::vector<AudioFunction> functions_;
  std::map<std::pair<std::uint8_t, std::uint8_t>, StreamFormat> formats_;
};

// A device whose dump has no status endpoint, given one: inserts a standard interrupt IN
// endpoint descriptor at the end of setting 0 of the first Audio Control interface (after
// its class-specific descriptors) and counts it in bNumEndpoints and wTotalLength. The
// descriptor has the class's form: 9 bytes (bRefresh and bSynchAddress 0) for a 1.0
// interface, 7 for a 2.0 one. False with the cause when there is no such interface or the
// configuration is out of shape.
bool AddStatusEndpoint(std::vector<std::uint8_t>& configuration, std::uint8_t address, std::uint16_t max_packet,
                       std::uint8_t interval, std::string& error);
// The same for an endpoint of any transfer type (`attributes` as bmAttributes), e.g. the
// bulk IN endpoint some 2.0 control interfaces carry beside the status endpoint.
bool AddControlEndpoint(std::vector<std::uint8_t>& configuration, std::uint8_t address, std::uint8_t attributes,
                        std::uint16_t max_packet, std::uint8_t interval, std::string& error);

}  // namespace sim::device
