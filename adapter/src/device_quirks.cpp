#include "adapter/device_quirks.h"

namespace adapter {
namespace {

// The root device object's rows: the ASIO sample type of the models whose ASIO side
// expects another than the default (the same five models are told when ASIO streaming
// starts and stops), and the one maker whose manufacturer string is shown
// only for two of its products.
constexpr DeviceQuirk kAdapterQuirks[] = {
    {.VendorId = 0x0B05, .ProductFirst = 0x17F3, .Quirks = QUIRK_ASIO_START_REQUEST, .AsioSampleType = 17},
    {.VendorId = 0x0B05, .ProductFirst = 0x17A8, .Quirks = QUIRK_ASIO_START_REQUEST, .AsioSampleType = 27},
    {.VendorId = 0x0B05, .ProductFirst = 0x17CD, .Quirks = QUIRK_ASIO_START_REQUEST, .AsioSampleType = 27},
    {.VendorId = 0x1043,
     .ProductFirst = 0x8592,
     .ProductLast = 0x8593,
     .Quirks = QUIRK_ASIO_START_REQUEST,
     .AsioSampleType = 27},
    {.VendorId = 0x0E7A, .ProductFirst = 0x0000, .ProductLast = 0x0066, .Quirks = QUIRK_NO_MANUFACTURER_STRING},
    {.VendorId = 0x0E7A, .ProductFirst = 0x0069, .ProductLast = 0xFFFF, .Quirks = QUIRK_NO_MANUFACTURER_STRING},
};

ULONG Units(const char16_t* text) {
  ULONG n = 0;
  while (text[n]) ++n;
  return n;
}

}  // namespace

bool ModelStartsWith(const char16_t* Model, ULONG Units, const char16_t* Prefix, ULONG PrefixUnits) {
  if (!Model || !Prefix || Units < PrefixUnits) return false;
  for (ULONG i = 0; i < PrefixUnits; ++i)
    if (Model[i] != Prefix[i]) return false;
  return true;
}

bool QuirkMatches(const DeviceQuirk& Row, const DeviceIdentity& Device, const USHORT* Probe) {
  if (Row.VendorId && Row.VendorId != Device.VendorId) return false;
  if (Row.ProductFirst || Row.ProductLast) {
    const USHORT last = Row.ProductLast ? Row.ProductLast : Row.ProductFirst;
    if (Device.ProductId < Row.ProductFirst || Device.ProductId > last) return false;
  }
  switch (Row.Model) {
    case ModelRule::Any:
      break;
    case ModelRule::Absent:
      if (Device.Model) return false;
      break;
    case ModelRule::Prefix:
      if (!Row.ModelPrefix ||
          !ModelStartsWith(Device.Model, Device.ModelUnits, Row.ModelPrefix, Units(Row.ModelPrefix)))
        return false;
      break;
    default:
      return false;
  }
  if (Row.ProbeMask && (!Probe || (*Probe & Row.ProbeMask) != Row.ProbeValue)) return false;
  return true;
}

QuirkResult LookUpQuirks(const DeviceQuirk* Rows, ULONG Count, const DeviceIdentity& Device, const USHORT* Probe) {
  QuirkResult result{};
  for (ULONG i = 0; Rows && i < Count; ++i) {
    const DeviceQuirk& row = Rows[i];
    if (!QuirkMatches(row, Device, Probe)) continue;
    result.Record.CapabilityMask = (result.Record.CapabilityMask & ~row.ClearMask) | row.SetMask;
    if (row.SecondValue) result.Record.SecondValue = row.SecondValue;
    if (row.FeatureFlags) result.Record.FeatureFlags = row.FeatureFlags;
    if (row.AsioSampleType) result.AsioSampleType = row.AsioSampleType;
    result.Quirks |= row.Quirks;
    ++result.Matched;
  }
  return result;
}

const DeviceQuirk* AdapterQuirkTable(ULONG* Count) {
  if (Count) *Count = sizeof kAdapterQuirks / sizeof kAdapterQuirks[0];
  return kAdapterQuirks;
}

}  // namespace adapter
