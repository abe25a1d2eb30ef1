// The quirk rows' match rule and how matching rows combine, and the root device object's
// own table: which products it names for the ASIO sample type and the manufacturer string.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adapter/device_quirks.h"

namespace {

using adapter::DeviceIdentity;
using adapter::DeviceQuirk;
using adapter::ModelRule;

struct MatchCase {
  std::string name;
  DeviceQuirk row;
  USHORT vendor, product;
  const char16_t* model;  // null: no model string
  int probe;              // -1: not read
  bool matches;
};

ULONG Units(const char16_t* text) { return text ? static_cast<ULONG>(std::u16string(text).size()) : 0; }

TEST(DeviceQuirks, RowsMatchOnVendorProductRangeModelAndProbeValue) {
  const DeviceQuirk anyVendor{};
  const DeviceQuirk vendor{.VendorId = 0x1111};
  const DeviceQuirk one{.VendorId = 0x1111, .ProductFirst = 0x0020};
  const DeviceQuirk range{.VendorId = 0x1111, .ProductFirst = 0x0020, .ProductLast = 0x0022};
  const DeviceQuirk absent{.Model = ModelRule::Absent};
  const DeviceQuirk prefix{.Model = ModelRule::Prefix, .ModelPrefix = u"AB1"};
  const DeviceQuirk probed{.ProbeMask = 0x020E, .ProbeValue = 0x0008};
  const std::vector<MatchCase> cases = {
      {"any vendor, any product", anyVendor, 0x9999, 0x0001, nullptr, -1, true},
      {"vendor alone", vendor, 0x1111, 0xFFFF, u"x", -1, true},
      {"other vendor", vendor, 0x1112, 0x0020, nullptr, -1, false},
      {"single product", one, 0x1111, 0x0020, nullptr, -1, true},
      {"single product, next one", one, 0x1111, 0x0021, nullptr, -1, false},
      {"range first", range, 0x1111, 0x0020, nullptr, -1, true},
      {"range last", range, 0x1111, 0x0022, nullptr, -1, true},
      {"below the range", range, 0x1111, 0x001F, nullptr, -1, false},
      {"above the range", range, 0x1111, 0x0023, nullptr, -1, false},
      {"range of another vendor", range, 0x2222, 0x0021, nullptr, -1, false},
      {"absent model, none read", absent, 1, 1, nullptr, -1, true},
      {"absent model, one read", absent, 1, 1, u"AB1", -1, false},
      {"absent model, an empty one read", absent, 1, 1, u"", -1, false},
      {"prefix exact", prefix, 1, 1, u"AB1", -1, true},
      {"prefix with suffix", prefix, 1, 1, u"AB1-rev2", -1, true},
      {"string shorter than the prefix", prefix, 1, 1, u"AB", -1, false},
      {"prefix differs in the last unit", prefix, 1, 1, u"AB2", -1, false},
      {"prefix, no model string", prefix, 1, 1, nullptr, -1, false},
      {"probe row before the probe", probed, 1, 1, u"x", -1, false},
      {"probe value matches under the mask", probed, 1, 1, u"x", 0xF1F9, true},
      {"probe value with a masked bit set", probed, 1, 1, u"x", 0x0208, false},
      {"probe value differs", probed, 1, 1, u"x", 0x000C, false},
  };
  for (const MatchCase& c : cases) {
    const DeviceIdentity device{c.vendor, c.product, c.model, Units(c.model)};
    const USHORT probe = static_cast<USHORT>(c.probe);
    EXPECT_EQ(adapter::QuirkMatches(c.row, device, c.probe >= 0 ? &probe : nullptr), c.matches) << c.name;
  }
}

TEST(DeviceQuirks, MatchingRowsApplyInOrderClearBeforeSetLaterValuesReplace) {
  const DeviceQuirk rows[] = {
      {.SetMask = 0xF0F0, .SecondValue = 3, .FeatureFlags = 65, .Quirks = 0x1, .AsioSampleType = 17},
      {.VendorId = 0x2222, .SetMask = 0xFFFF},  // another vendor: skipped
      {.ClearMask = 0x00F0, .SetMask = 0x0001, .Quirks = 0x4},
      {.ClearMask = ~0u, .SetMask = 0x0100, .FeatureFlags = 2, .AsioSampleType = 27},
      {.SetMask = 0x0010},  // zero values leave the earlier ones
  };
  const adapter::QuirkResult r = adapter::LookUpQuirks(rows, 5, {0x1111, 1, nullptr, 0}, nullptr);
  EXPECT_EQ(r.Record.CapabilityMask, 0x0110u);
  EXPECT_EQ(r.Record.SecondValue, 3u);
  EXPECT_EQ(r.Record.FeatureFlags, 2u);
  EXPECT_EQ(r.Quirks, 0x5u);
  EXPECT_EQ(r.AsioSampleType, 27u);
  EXPECT_EQ(r.Matched, 4u);

  const adapter::QuirkResult none = adapter::LookUpQuirks(nullptr, 3, {0x1111, 1, nullptr, 0}, nullptr);
  EXPECT_EQ(none.Matched, 0u);
  EXPECT_EQ(none.Record.CapabilityMask, 0u);
}

adapter::QuirkResult RootQuirks(USHORT vendor, USHORT product) {
  ULONG count = 0;
  const DeviceQuirk* table = adapter::AdapterQuirkTable(&count);
  return adapter::LookUpQuirks(table, count, {vendor, product, nullptr, 0}, nullptr);
}

TEST(DeviceQuirks, RootTableNamesTheAsioSampleTypeOfItsModels) {
  struct Case {
    USHORT vendor, product;
    ULONG type;  // 0: none named
  };
  const Case cases[] = {{0x0B05, 0x17F3, 17}, {0x0B05, 0x17A8, 27}, {0x0B05, 0x17CD, 27}, {0x1043, 0x8592, 27},
                        {0x1043, 0x8593, 27}, {0x1043, 0x8591, 0},  {0x1043, 0x8594, 0},  {0x0B05, 0x17F4, 0},
                        {0x0B05, 0x8592, 0},  {0x1234, 0x17F3, 0}};
  for (const Case& c : cases)
    EXPECT_EQ(RootQuirks(c.vendor, c.product).AsioSampleType, c.type) << std::hex << c.vendor << ":" << c.product;
}

// Of the one maker, only products 0x0067 and 0x0068 show their manufacturer string; every
// other maker's products all do.
TEST(DeviceQuirks, RootTableHidesTheManufacturerStringOfOneMakerButTwoProducts) {
  for (ULONG product = 0; product <= 0xFFFF; ++product) {
    const bool named = product == 0x0067 || product == 0x0068;
    const ULONG quirks = RootQuirks(0x0E7A, static_cast<USHORT>(product)).Quirks;
    ASSERT_EQ((quirks & adapter::QUIRK_NO_MANUFACTURER_STRING) == 0, named) << std::hex << product;
    ASSERT_EQ(RootQuirks(0x0E7B, static_cast<USHORT>(product)).Quirks, 0u) << std::hex << product;
  }
}

TEST(DeviceQuirks, ModelPrefixIsComparedInWholeUnitsWithinTheString) {
  const char16_t text[] = {0x000B, 0x0005, 0x0050, 0x0041};
  EXPECT_TRUE(adapter::ModelStartsWith(text, 4, text, 3));
  EXPECT_TRUE(adapter::ModelStartsWith(text, 3, text, 3));
  EXPECT_FALSE(adapter::ModelStartsWith(text, 2, text, 3));
  EXPECT_TRUE(adapter::ModelStartsWith(text, 0, text, 0));
  EXPECT_FALSE(adapter::ModelStartsWith(text, 4, nullptr, 0));
  EXPECT_FALSE(adapter::ModelStartsWith(nullptr, 4, text, 1));
}

}  // namespace
