// The UAC 1.0 function's quirk table read directly: which rows a device gets before and
// after the probe has read its registers, and the model families whose probe reads them.
// The probe itself against the simulated device is in uac1_function_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "uac/uac1_quirks.h"

namespace {

struct Case {
  std::string name;
  USHORT vendor, product;
  const char16_t* model;  // null: no model string
  int probe;              // -1: not read
  ULONG mask, second, flags, quirks;
};

adapter::QuirkResult LookUp(const Case& c) {
  ULONG count = 0;
  const adapter::DeviceQuirk* table = uac::Uac1QuirkTable(&count);
  const ULONG units = c.model ? static_cast<ULONG>(std::u16string(c.model).size()) : 0;
  const USHORT probe = static_cast<USHORT>(c.probe);
  return adapter::LookUpQuirks(table, count, {c.vendor, c.product, c.model, units}, c.probe >= 0 ? &probe : nullptr);
}

TEST(Uac1Quirks, TableGivesEachDeviceItsTemplateAndQuirkBits) {
  using namespace uac;
  const ULONG headset = QUIRK_HEADPHONE_TERMINAL_16;
  const ULONG headset0A04 = QUIRK_HEADPHONE_TERMINAL_16 | QUIRK_OUTPUT_TERMINALS_16_AND_64;
  const std::vector<Case> cases = {
      {"unknown device, no model", 0x1234, 0x0001, nullptr, -1, 0, 0, 0, 0},
      {"unknown device, neutral model", 0x1234, 0x0001, u"Neutral", -1, 0, 0, 0, 0},
      {"headset without a model", 0x1B1C, 0x0A04, nullptr, -1, 0x24, 0, 0, headset0A04 | QUIRK_PROBE_ACCEPTED},
      {"headset with a model", 0x1B1C, 0x0A04, u"Neutral", -1, 0, 0, 0, headset0A04},
      {"maker's other headset", 0x1B1C, 0x0A05, nullptr, -1, 0, 0, 0, headset},
      {"known product without a model", 0x047F, 0xD957, nullptr, -1, 0x3C0264, 12, 0, QUIRK_PROBE_ACCEPTED},
      {"known product with a model", 0x047F, 0xD957, u"x", -1, 0, 0, 0, 0},
      {"7426 before the probe", 0x1234, 0x0001, u"7426", -1, 0, 0, 0, 0},
      {"7426 register 1F", 0x1234, 0x0001, u"7426", 0x1F, 0x3E10A0, 0, 65, 0},
      {"7426 register 1E", 0x1234, 0x0001, u"7426", 0x1E, 0, 0, 0, 0},
      {"7426 products 2701-2703", 0x09DA, 0x2701, u"7426A", 0x1F, 0x3E00A5, 0, 65, 0},
      {"7426 product 2703", 0x09DA, 0x2703, u"7426", 0x1F, 0x3E00A5, 0, 65, 0},
      {"7426 product 2704", 0x09DA, 0x2704, u"7426", 0x1F, 0x3E10A0, 0, 65, 0},
      {"7426 product 0065", 0x0E7A, 0x0065, u"7426", 0x1F, 0x3E00A0, 0, 65, 0},
      {"7426 product 0058", 0x0E7A, 0x0058, u"7426", 0x1F, 0x3E10A0, 0, 65,
       QUIRK_SPDIF_RECORD | QUIRK_CAPTURE_MIC_BIT | QUIRK_NO_SECOND_VALUE},
      {"QVK710 A=08 B=00", 0x1234, 0x0001, u"QVK710", 0x0008, 0x3E087, 0, 0, QUIRK_PROBE_ACCEPTED},
      {"QVK710 A=FE B=01", 0x1234, 0x0001, u"QVK710-rev2", 0x01FE, 0x3E087, 0, 2, QUIRK_PROBE_ACCEPTED},
      {"QVK710 A=0C", 0x1234, 0x0001, u"QVK710", 0x000C, 0, 0, 0, 0},
      {"QVK710 bit 1 of B", 0x1234, 0x0001, u"QVK710", 0x0208, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const adapter::QuirkResult r = LookUp(c);
    EXPECT_EQ(r.Record.CapabilityMask, c.mask) << c.name;
    EXPECT_EQ(r.Record.SecondValue, c.second) << c.name;
    EXPECT_EQ(r.Record.FeatureFlags, c.flags) << c.name;
    EXPECT_EQ(r.Quirks, c.quirks) << c.name;
  }
}

TEST(Uac1Quirks, ModelFamiliesNameTheRegistersTheirProbeReads) {
  struct Family {
    const char16_t* model;
    const uac::ModelProbe* expected;
  };
  const uac::ModelProbe* model = uac::FindModelProbe(u"7426", 4);
  const uac::ModelProbe* chip = uac::FindModelProbe(u"QVK710", 6);
  ASSERT_NE(model, nullptr);
  ASSERT_NE(chip, nullptr);
  EXPECT_EQ(model->Registers, uac::ProbeRegisters::ModelRegister);
  EXPECT_FALSE(model->AcceptedValuesOnly);
  EXPECT_EQ(chip->Registers, uac::ProbeRegisters::ChipRegisters);
  EXPECT_TRUE(chip->AcceptedValuesOnly);
  const Family cases[] = {{u"7426A", model}, {u"742", nullptr},     {u"QVK710-rev2", chip},
                          {u"QVK71", nullptr}, {u"QVK712", nullptr}, {u"Neutral", nullptr}};
  for (const Family& f : cases)
    EXPECT_EQ(uac::FindModelProbe(f.model, static_cast<ULONG>(std::u16string(f.model).size())), f.expected)
        << std::string(f.model, f.model + std::u16string(f.model).size());
  EXPECT_EQ(uac::FindModelProbe(nullptr, 0), nullptr);
}

}  // namespace
