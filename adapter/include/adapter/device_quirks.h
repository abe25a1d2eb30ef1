// Device differences as data: each layer keeps one table of rows, each row a match rule
// (vendor, product range, model string, probe register value) and what it changes (the
// capability mask bits to clear and set, the second value, the feature flags, quirk bits
// the layer's code tests, the ASIO sample type). A device gets every row that matches,
// in table order, so a family row can be refined by a product row after it. A new device
// family is a new row, never a branch in a builder.
#pragma once

#include "adapter/capability_record.h"
#include "kernel/nt.h"

namespace adapter {

// How a row matches the model string the function read at string index 0x50 or 0x32.
enum class ModelRule : UCHAR {
  Any,     // with or without a model string
  Absent,  // no model string could be read
  Prefix,  // the model string starts with the row's prefix
};

struct DeviceQuirk {
  USHORT VendorId = 0;      // 0: any vendor
  USHORT ProductFirst = 0;  // first and last product of the range; both 0: any product,
  USHORT ProductLast = 0;   // last 0: the first product alone
  ModelRule Model = ModelRule::Any;
  const char16_t* ModelPrefix = nullptr;  // zero-terminated, for ModelRule::Prefix
  // The value the probe read from the device's registers must satisfy
  // (value & ProbeMask) == ProbeValue; a row with a mask matches only once the probe has
  // read the registers, one without never needs them.
  USHORT ProbeMask = 0;
  USHORT ProbeValue = 0;
  // Applied in this order: the mask bits cleared, then set; a non-zero second value,
  // feature flags or ASIO sample type replaces the one before; quirk bits accumulate.
  ULONG ClearMask = 0;
  ULONG SetMask = 0;
  ULONG SecondValue = 0;
  ULONG FeatureFlags = 0;
  ULONG Quirks = 0;
  ULONG AsioSampleType = 0;
};

// What a device is matched on. `Model` is null when no model string could be read.
struct DeviceIdentity {
  USHORT VendorId;
  USHORT ProductId;
  const char16_t* Model;
  ULONG ModelUnits;
};

// The rows' combined effect on a device.
struct QuirkResult {
  EndpointCapabilityRecord Record;
  ULONG Quirks;
  ULONG AsioSampleType;  // 0: none named
  ULONG Matched;         // rows that matched
};

// True when the model string's `Units` UTF-16 units begin with the `PrefixUnits` units of
// `Prefix`; a string shorter than the prefix, or none, never matches.
bool ModelStartsWith(const char16_t* Model, ULONG Units, const char16_t* Prefix, ULONG PrefixUnits);

// Whether a row applies to the device; `Probe` is the probe's register value, null while
// none has been read.
bool QuirkMatches(const DeviceQuirk& Row, const DeviceIdentity& Device, const USHORT* Probe);

// Every matching row of the table applied in order to an empty result.
QuirkResult LookUpQuirks(const DeviceQuirk* Rows, ULONG Count, const DeviceIdentity& Device, const USHORT* Probe);

// The root device object's own table: its quirk bits and the rows.
enum AdapterQuirk : ULONG {
  // The manufacturer string is not written to the device's Plug and Play key.
  QUIRK_NO_MANUFACTURER_STRING = 1u << 0,
  // ASIO streaming start and stop are announced with a vendor device request.
  QUIRK_ASIO_START_REQUEST = 1u << 1,
};
const DeviceQuirk* AdapterQuirkTable(ULONG* Count);

}  // namespace adapter
