// The Audio Control descriptor validation: every length rule, lengths that grow with
// counts, bLength 0 and overruns, and the source graph (a cycle refused, a diamond
// accepted), each through ValidateControlDescriptors as the builders call it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "uac/descriptor_rules.h"

namespace {

using Bytes = std::vector<UCHAR>;

// Audio Control interface descriptor followed by the given class-specific pieces.
Bytes Block(std::vector<Bytes> pieces, UCHAR protocol = uac::kProtocolUac1) {
  Bytes b = {9, 4, 0, 0, 0, 1, 1, protocol, 0};
  for (const auto& p : pieces) b.insert(b.end(), p.begin(), p.end());
  return b;
}

const Bytes kHeader = {9, 0x24, 1, 0x00, 0x01, 30, 0, 1, 1};
Bytes InputTerminal(UCHAR id) { return {12, 0x24, 2, id, 0x01, 0x01, 0, 2, 3, 0, 0, 0}; }
Bytes OutputTerminal(UCHAR id, UCHAR source) { return {9, 0x24, 3, id, 0x01, 0x03, 0, source, 0}; }
Bytes Feature(UCHAR id, UCHAR source, UCHAR size = 1) {
  Bytes b = {0, 0x24, 6, id, source, size};
  for (int i = 0; i < 3 * size; ++i) b.push_back(0x03);  // master + two channels
  b.push_back(0);
  b[0] = static_cast<UCHAR>(b.size());
  return b;
}
Bytes Mixer(UCHAR id, Bytes sources) {
  Bytes b = {0, 0x24, 4, id, static_cast<UCHAR>(sources.size())};
  b.insert(b.end(), sources.begin(), sources.end());
  for (UCHAR x : {2, 3, 0, 0, 0xFF, 0}) b.push_back(x);  // channels, config, names, controls, iMixer
  b[0] = static_cast<UCHAR>(b.size());
  return b;
}
Bytes Selector(UCHAR id, Bytes sources) {
  Bytes b = {0, 0x24, 5, id, static_cast<UCHAR>(sources.size())};
  b.insert(b.end(), sources.begin(), sources.end());
  b.push_back(0);
  b[0] = static_cast<UCHAR>(b.size());
  return b;
}
// UAC 2.0 pieces: terminals clocked by `clock`, clock entities fed by other clocks.
const Bytes kHeader2 = {9, 0x24, 1, 0, 2, 1, 0, 0, 0};
Bytes InputTerminal2(UCHAR id, UCHAR clock) { return {17, 0x24, 2, id, 0x01, 0x01, 0, clock, 2, 3, 0, 0, 0, 0, 0, 0, 0}; }
Bytes OutputTerminal2(UCHAR id, UCHAR source, UCHAR clock) {
  return {12, 0x24, 3, id, 0x01, 0x03, 0, source, clock, 0, 0, 0};
}
Bytes ClockSource(UCHAR id) { return {8, 0x24, 10, id, 1, 7, 0, 0}; }
Bytes ClockSelector(UCHAR id, Bytes inputs) {
  Bytes b = {0, 0x24, 11, id, static_cast<UCHAR>(inputs.size())};
  b.insert(b.end(), inputs.begin(), inputs.end());
  b.push_back(3);  // bmControls
  b.push_back(0);
  b[0] = static_cast<UCHAR>(b.size());
  return b;
}
Bytes ClockMultiplier(UCHAR id, UCHAR input) { return {7, 0x24, 12, id, input, 0, 0}; }
Bytes Shorten(Bytes b, UCHAR by) {
  b[0] = static_cast<UCHAR>(b[0] - by);
  b.resize(b[0]);
  return b;
}

struct Case {
  std::string name;
  Bytes block;
  NTSTATUS expected;
  ULONG faultOffset;  // checked when the case is refused
};

class ValidationTable : public ::testing::TestWithParam<Case> {};

TEST_P(ValidationTable, RefusesOrAcceptsAsStated) {
  const Case& c = GetParam();
  uac::DescriptorFault fault{};
  const auto* itf = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(c.block.data());
  const UCHAR protocol = c.block[7];
  EXPECT_EQ(uac::ValidateControlDescriptors(itf, static_cast<ULONG>(c.block.size()), protocol, &fault), c.expected);
  if (c.expected != STATUS_SUCCESS) {
    EXPECT_EQ(fault.Offset, c.faultOffset);
    EXPECT_NE(fault.Reason, nullptr);
  } else {
    EXPECT_EQ(fault.Reason, nullptr);
  }
}

constexpr NTSTATUS kOk = STATUS_SUCCESS;
constexpr NTSTATUS kBad = STATUS_UNSUCCESSFUL;
const ULONG kSecond = 9 + 9;  // offset of the piece after the header

INSTANTIATE_TEST_SUITE_P(
    Descriptors, ValidationTable,
    ::testing::Values(
        Case{"SpeakerChain", Block({kHeader, InputTerminal(1), Feature(2, 1), OutputTerminal(3, 2)}), kOk, 0},
        Case{"OnlyHeader", Block({kHeader}), kOk, 0},
        Case{"LengthZero", Block({kHeader, Bytes{0, 0x24, 2, 1}}), kBad, kSecond},
        Case{"LengthOne", Block({kHeader, Bytes{1, 0x24}}), kBad, kSecond},
        Case{"LengthZeroOfOtherType", Block({kHeader, Bytes{0, 0x05, 0, 0}}), kBad, kSecond},
        Case{"LengthPastTheEnd", Block({kHeader, Bytes{12, 0x24, 2, 1, 1}}), kBad, kSecond},
        Case{"LoneTrailingByte", Block({kHeader, Bytes{9}}), kBad, kSecond},
        Case{"NoSubtype", Block({kHeader, Bytes{2, 0x24}}), kBad, kSecond},
        Case{"InputTerminalShort", Block({kHeader, Shorten(InputTerminal(1), 1)}), kBad, kSecond},
        Case{"OutputTerminalShort", Block({kHeader, Shorten(OutputTerminal(3, 2), 1)}), kBad, kSecond},
        Case{"MixerShorterThanItsPins", Block({kHeader, Shorten(Mixer(4, {1, 2}), 2)}), kBad, kSecond},
        Case{"MixerWithoutControls", Block({kHeader, Shorten(Mixer(4, {1, 2}), 1)}), kOk, 0},
        Case{"SelectorShorterThanItsPins", Block({kHeader, Shorten(Selector(5, {1, 2, 3}), 1)}), kBad, kSecond},
        Case{"SelectorCountPastLength", Block({kHeader, Bytes{6, 0x24, 5, 5, 200, 1}}), kBad, kSecond},
        Case{"FeatureControlSizeZero", Block({kHeader, Bytes{7, 0x24, 6, 2, 1, 0, 0}}), kBad, kSecond},
        Case{"FeatureWithoutMasterControls", Block({kHeader, Bytes{8, 0x24, 6, 2, 1, 2, 3, 0}}), kBad, kSecond},
        Case{"FeatureMasterOnly", Block({kHeader, Bytes{8, 0x24, 6, 2, 1, 1, 3, 0}}), kOk, 0},
        Case{"UnreadHeaderMayBeShort", Block({Bytes{3, 0x24, 1}, InputTerminal(1)}), kOk, 0},
        Case{"UnreadProcessingUnitMayBeShort", Block({kHeader, Bytes{4, 0x24, 7, 9}}), kOk, 0},
        Case{"WalkEndsAtOtherType", Block({kHeader, Bytes{9, 4, 1, 0, 0, 1, 2, 0, 0}, Bytes{3, 0x24, 2}}), kOk, 0},
        Case{"Cycle", Block({kHeader, Feature(2, 3), Feature(3, 2)}), kBad, kSecond + 10},
        Case{"SelfLoop", Block({kHeader, Feature(2, 2)}), kBad, kSecond},
        Case{"LongCycleThroughMixer",
             Block({kHeader, InputTerminal(1), Mixer(4, {1, 6}), Feature(5, 4), Selector(6, {5})}), kBad,
             kSecond + 12 + 13},
        Case{"Diamond",
             Block({kHeader, InputTerminal(1), Feature(2, 1), Feature(3, 1), Mixer(4, {2, 3}), OutputTerminal(5, 4)}),
             kOk, 0},
        Case{"SourceNamingNothing", Block({kHeader, Feature(2, 77), OutputTerminal(3, 2)}), kOk, 0},
        Case{"LaterDuplicateBreaksTheCycle", Block({kHeader, Feature(2, 3), Feature(3, 2), Feature(3, 9)}), kOk, 0},
        Case{"Uac2FeatureShort", Block({Bytes{9, 0x24, 1, 0, 2, 1, 0, 0, 0}, Bytes{9, 0x24, 6, 2, 1, 0, 0, 0, 0}},
                                       uac::kProtocolUac2),
             kBad, kSecond},
        Case{"Uac2ClockSource", Block({Bytes{8, 0x24, 10, 40, 1, 7, 0, 0}}, uac::kProtocolUac2), kOk, 0},
        Case{"Uac2ExtensionShorterThanItsPins",
             Block({Bytes{16, 0x24, 9, 7, 0, 0, 2, 1, 2, 0, 0, 0, 0, 0, 0, 0}}, uac::kProtocolUac2), kBad, 9},
        // 15 + p bytes: wExtensionCode, the pins, the cluster, bmControls and iExtension.
        Case{"Uac2ExtensionOfItsFullLength",
             Block({Bytes{16, 0x24, 9, 0x33, 0, 0, 1, 2, 4, 0, 0, 0, 0, 0, 3, 0}}, uac::kProtocolUac2), kOk, 0},
        Case{"Uac2ClockTree",
             Block({kHeader2, ClockSource(40), ClockSource(41), ClockSelector(42, {40, 41}), ClockMultiplier(43, 42),
                    InputTerminal2(1, 43), OutputTerminal2(2, 1, 42)},
                   uac::kProtocolUac2),
             kOk, 0},
        Case{"Uac2ClockSelectorShorterThanItsInputs",
             Block({kHeader2, Shorten(ClockSelector(42, {40, 41}), 2)}, uac::kProtocolUac2), kBad, kSecond},
        Case{"Uac2ClockSelectorCountPastLength", Block({kHeader2, Bytes{7, 0x24, 11, 42, 9, 40, 0}}, uac::kProtocolUac2),
             kBad, kSecond},
        Case{"Uac2ClockMultiplierShort", Block({kHeader2, Shorten(ClockMultiplier(43, 40), 1)}, uac::kProtocolUac2),
             kBad, kSecond},
        Case{"Uac2ClockCycle",
             Block({kHeader2, ClockSelector(42, {43}), ClockMultiplier(43, 42)}, uac::kProtocolUac2), kBad,
             kSecond + 8},
        Case{"Uac2ClockSelfLoop", Block({kHeader2, ClockMultiplier(43, 43)}, uac::kProtocolUac2), kBad, kSecond},
        // A terminal clocked by the unit it feeds: the clock edge closes the loop.
        Case{"Uac2TerminalClockedByItsOwnPath",
             Block({kHeader2, OutputTerminal2(3, 1, 5), Feature(5, 3)}, uac::kProtocolUac2), kBad, kSecond + 12},
        Case{"Uac2TerminalSharedClockIsADiamond",
             Block({kHeader2, ClockSource(40), InputTerminal2(1, 40), OutputTerminal2(2, 1, 40)}, uac::kProtocolUac2),
             kOk, 0},
        Case{"Uac2OutputTerminalWithoutClock",
             Block({kHeader2, Bytes{11, 0x24, 3, 2, 1, 3, 0, 1, 40, 0, 0}}, uac::kProtocolUac2), kBad, kSecond},
        Case{"Uac2InputTerminalUnderUac1Rule",
             Block({Bytes{12, 0x24, 2, 1, 1, 1, 0, 0, 0, 0, 0, 0}}, uac::kProtocolUac2), kBad, 9}),
    [](const auto& info) { return info.param.name; });

TEST(DescriptorValidation, NullOrShortInterfaceIsAnInvalidParameter) {
  const Bytes block = Block({kHeader});
  const auto* itf = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(block.data());
  EXPECT_EQ(uac::ValidateControlDescriptors(nullptr, 100, 0, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(uac::ValidateControlDescriptors(itf, 8, 0, nullptr), STATUS_INVALID_PARAMETER);
}

// A chain of 255 units, each fed by the next: deep graphs end without overflowing the
// walk, and closing the chain into a ring is found.
TEST(DescriptorValidation, DeepChainAcceptedAndRingRefused) {
  std::vector<Bytes> chain = {kHeader};
  for (int id = 1; id < 255; ++id) chain.push_back(Feature(static_cast<UCHAR>(id), static_cast<UCHAR>(id + 1)));
  Bytes open = Block(chain);
  chain.push_back(Feature(255, 1));
  Bytes ring = Block(chain);
  chain.back() = InputTerminal(255);
  Bytes closed = Block(chain);
  auto run = [](const Bytes& b) {
    return uac::ValidateControlDescriptors(reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(b.data()),
                                           static_cast<ULONG>(b.size()), 0, nullptr);
  };
  EXPECT_EQ(run(open), STATUS_SUCCESS);
  EXPECT_EQ(run(closed), STATUS_SUCCESS);
  EXPECT_EQ(run(ring), STATUS_UNSUCCESSFUL);
}

}  // namespace
