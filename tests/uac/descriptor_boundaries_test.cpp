// The length rules at their exact boundaries, for every subtype the builders read, from
// the lengths the class documents (fixed fields plus the counted parts): a descriptor
// exactly as long as it needs passes, one byte shorter is refused at its offset, and a
// bLength one byte past the end of the block is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "uac/descriptor_rules.h"

namespace {

using Bytes = std::vector<UCHAR>;

struct Shape {
  const char* name;
  UCHAR protocol;
  UCHAR subtype;
  ULONG length;                            // what the class asks for, with the counts below
  std::vector<std::pair<ULONG, UCHAR>> at;  // bytes set inside: counts, sizes, sources
};

// Every source byte names ID 200, which no descriptor has: the graph stays empty.
const Shape kShapes[] = {
    {"Uac1InputTerminal", 0x00, 2, 12, {}},
    {"Uac1OutputTerminal", 0x00, 3, 9, {{7, 200}}},
    {"Uac1MixerNoPins", 0x00, 4, 10, {{4, 0}}},
    {"Uac1MixerTwoPins", 0x00, 4, 12, {{4, 2}, {5, 200}, {6, 200}}},
    {"Uac1SelectorNoPins", 0x00, 5, 6, {{4, 0}}},
    {"Uac1SelectorThreePins", 0x00, 5, 9, {{4, 3}, {5, 200}, {6, 200}, {7, 200}}},
    {"Uac1FeatureMasterByte", 0x00, 6, 8, {{4, 200}, {5, 1}}},
    {"Uac1FeatureMasterWord", 0x00, 6, 9, {{4, 200}, {5, 2}}},
    {"Uac1FeatureThreeBytes", 0x00, 6, 10, {{4, 200}, {5, 3}}},
    {"Uac2InputTerminal", 0x20, 2, 17, {}},
    {"Uac2OutputTerminal", 0x20, 3, 12, {{7, 200}}},
    {"Uac2MixerNoPins", 0x20, 4, 13, {{4, 0}}},
    {"Uac2MixerTwoPins", 0x20, 4, 15, {{4, 2}, {5, 200}, {6, 200}}},
    {"Uac2SelectorNoPins", 0x20, 5, 7, {{4, 0}}},
    {"Uac2SelectorTwoPins", 0x20, 5, 9, {{4, 2}, {5, 200}, {6, 200}}},
    {"Uac2FeatureMaster", 0x20, 6, 10, {{4, 200}}},
    {"Uac2ExtensionNoPins", 0x20, 9, 15, {{6, 0}}},
    {"Uac2ExtensionTwoPins", 0x20, 9, 17, {{6, 2}, {7, 200}, {8, 200}}},
    {"Uac2ClockSelectorTwoInputs", 0x20, 11, 9, {{4, 2}, {5, 200}, {6, 200}}},
    {"Uac2ClockMultiplier", 0x20, 12, 7, {{4, 200}}},
    {"Uac2ClockSource", 0x20, 10, 8, {}},
};

constexpr ULONG kAt = 9;  // the descriptor follows the interface descriptor

Bytes Descriptor(const Shape& s, ULONG bLength, ULONG bytes) {
  Bytes d(bytes, 0);
  d[0] = static_cast<UCHAR>(bLength);
  d[1] = 0x24;
  d[2] = s.subtype;
  d[3] = 10;  // its ID
  for (auto [offset, value] : s.at)
    if (offset < bytes) d[offset] = value;
  return d;
}

NTSTATUS Validate(const Shape& s, const Bytes& descriptor, uac::DescriptorFault* fault) {
  Bytes block = {9, 4, 0, 0, 0, 1, 1, s.protocol, 0};
  block.insert(block.end(), descriptor.begin(), descriptor.end());
  return uac::ValidateControlDescriptors(reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(block.data()),
                                         static_cast<ULONG>(block.size()), s.protocol, fault);
}

class Boundaries : public ::testing::TestWithParam<Shape> {};

TEST_P(Boundaries, ExactLengthPassesOneShortAndOnePastTheEndAreRefused) {
  const Shape& s = GetParam();
  uac::DescriptorFault fault{};
  EXPECT_EQ(Validate(s, Descriptor(s, s.length, s.length), &fault), STATUS_SUCCESS);
  EXPECT_EQ(fault.Reason, nullptr);

  fault = {};
  EXPECT_EQ(Validate(s, Descriptor(s, s.length - 1, s.length - 1), &fault), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(fault.Offset, kAt);
  EXPECT_NE(fault.Reason, nullptr);

  // bLength claims one byte more than the block holds.
  fault = {};
  EXPECT_EQ(Validate(s, Descriptor(s, s.length + 1, s.length), &fault), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(fault.Offset, kAt);
  EXPECT_NE(fault.Reason, nullptr);
}

INSTANTIATE_TEST_SUITE_P(EverySubtype, Boundaries, ::testing::ValuesIn(kShapes),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
