// Conversion of descriptor dumps (the text forms in which real devices' descriptors are
// shared) back into the bytes the device sends.
//
// Three forms are understood:
//  - `lsusb -v` text: one block per descriptor, one "field value" line per field; field
//    widths follow the field names' prefixes (b 1, w 2, bcd 2, t 3, dw 4, ...; bm fields by
//    their hex digits or bControlSize); text-only lines are skipped, "Junk at end of
//    descriptor" bytes are kept, and each block is cut or padded to its bLength;
//  - raw hex: "DEVICE:" and "CONFIG_RAW:" lines with the bytes as sent;
//  - hex-first listings ("0x0200<TAB>bcdUSB"): widths from the hex digits; quoted string
//    texts become string descriptors.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace sim::device {

enum class BusSpeed { Unknown, Full, High };

struct DescriptorDump {
  std::vector<std::uint8_t> device;         // the 18-byte device descriptor
  std::vector<std::uint8_t> configuration;  // configuration descriptor set as recovered
  // Further configurations of the dump (index 1, 2, ...), kept as bytes; a malformed one
  // is left out with a note.
  std::vector<std::vector<std::uint8_t>> other_configurations;
  std::uint16_t declared_total_length = 0;  // wTotalLength of the configuration header
  BusSpeed speed = BusSpeed::Unknown;       // what the dump says about the bus
  std::map<std::uint8_t, std::u16string> strings;  // string texts the dump carries
  std::vector<std::string> notes;           // irregularities met on the way
};

// Converts a dump. On failure returns false and says why in `error` (the line and the
// cause); `out` is then unspecified. Success means the device descriptor is complete and
// the configuration starts with a complete header and holds no more than its wTotalLength
// (fewer is accepted: dumps cut short exist; DescriptorSet notes the loss).
bool ConvertDescriptorDump(std::string_view text, DescriptorDump& out, std::string& error);

}  // namespace sim::device
