#include "uac/uac1_quirks.h"

namespace uac {
namespace {

using adapter::DeviceQuirk;
using adapter::ModelRule;

constexpr ModelProbe kModelProbes[] = {
    {u"7426", ProbeRegisters::ModelRegister, false},
    {u"QVK710", ProbeRegisters::ChipRegisters, true},
};

constexpr DeviceQuirk kUac1Quirks[] = {
    // Known products without a model string.
    {.VendorId = 0x1B1C, .ProductFirst = 0x0A04, .Model = ModelRule::Absent, .SetMask = 0x24,
     .Quirks = QUIRK_PROBE_ACCEPTED},
    {.VendorId = 0x047F, .ProductFirst = 0xD957, .Model = ModelRule::Absent, .SetMask = 0x3C0264, .SecondValue = 12,
     .Quirks = QUIRK_PROBE_ACCEPTED},
    // Model family 7426 with model register 0x1F, then its products that differ.
    {.Model = ModelRule::Prefix, .ModelPrefix = u"7426", .ProbeMask = 0xFF, .ProbeValue = 0x1F, .SetMask = 0x3E10A0,
     .FeatureFlags = 65},
    {.VendorId = 0x09DA, .ProductFirst = 0x2701, .ProductLast = 0x2703, .Model = ModelRule::Prefix,
     .ModelPrefix = u"7426", .ProbeMask = 0xFF, .ProbeValue = 0x1F, .ClearMask = ~0u, .SetMask = 0x3E00A5},
    {.VendorId = 0x0E7A, .ProductFirst = 0x0065, .Model = ModelRule::Prefix, .ModelPrefix = u"7426",
     .ProbeMask = 0xFF, .ProbeValue = 0x1F, .ClearMask = 0x1000},
    // Model family QVK710: chip register A (bits 1-3) and bit 1 of chip register B.
    {.Model = ModelRule::Prefix, .ModelPrefix = u"QVK710", .ProbeMask = 0x020E, .ProbeValue = 0x0008,
     .SetMask = 0x3E087, .Quirks = QUIRK_PROBE_ACCEPTED},
    {.Model = ModelRule::Prefix, .ModelPrefix = u"QVK710", .ProbeMask = 0x020E, .ProbeValue = 0x000E,
     .SetMask = 0x3E087, .FeatureFlags = 2, .Quirks = QUIRK_PROBE_ACCEPTED},
    // Model family QVK712 (chip class D), by the "ModelVariant" setting as probe value.
    {.Model = ModelRule::Prefix, .ModelPrefix = u"QVK712", .ProbeMask = 0xFFFF, .ProbeValue = 6, .SetMask = 0x3E1084,
     .FeatureFlags = 65, .Quirks = QUIRK_PROBE_ACCEPTED},
    {.VendorId = 0x17EF, .ProductFirst = 0x6073, .Model = ModelRule::Prefix, .ModelPrefix = u"QVK712",
     .ProbeMask = 0xFFFF, .ProbeValue = 6, .ClearMask = ~0u, .SetMask = 0x3E0084},
    {.Model = ModelRule::Prefix, .ModelPrefix = u"QVK712", .ProbeMask = 0xFFFF, .ProbeValue = 5, .SetMask = 0x20006,
     .SecondValue = 8, .Quirks = QUIRK_PROBE_ACCEPTED},
    // Headsets of one maker.
    {.VendorId = 0x1B1C, .Quirks = QUIRK_HEADPHONE_TERMINAL_16},
    {.VendorId = 0x1B1C, .ProductFirst = 0x0A04, .Quirks = QUIRK_OUTPUT_TERMINALS_16_AND_64},
    {.VendorId = 0x0E7A, .ProductFirst = 0x0058,
     .Quirks = QUIRK_SPDIF_RECORD | QUIRK_CAPTURE_MIC_BIT | QUIRK_NO_SECOND_VALUE},
    // Chip classes B and C (their model families choose the class): their templates, and
    // chip C's headphone jack declared as a speaker on one maker's devices.
    {.Model = ModelRule::Prefix, .ModelPrefix = u"7403", .SetMask = 0x3FE02F, .SecondValue = 12},
    {.Model = ModelRule::Prefix, .ModelPrefix = u"7415", .SetMask = 0x0F},
    {.VendorId = 0x1B1C, .ProductFirst = 0x0A06, .Model = ModelRule::Prefix, .ModelPrefix = u"7415",
     .ClearMask = ~0u, .SetMask = 0x24},
    {.VendorId = 0x1B1C, .Model = ModelRule::Prefix, .ModelPrefix = u"7415", .Quirks = QUIRK_HEADPHONE_TERMINAL_6},
};

}  // namespace

const adapter::DeviceQuirk* Uac1QuirkTable(ULONG* Count) {
  if (Count) *Count = sizeof kUac1Quirks / sizeof kUac1Quirks[0];
  return kUac1Quirks;
}

const ModelProbe* FindModelProbe(const char16_t* Model, ULONG Units) {
  for (const ModelProbe& probe : kModelProbes) {
    ULONG n = 0;
    while (probe.Prefix[n]) ++n;
    if (adapter::ModelStartsWith(Model, Units, probe.Prefix, n)) return &probe;
  }
  return nullptr;
}

}  // namespace uac
