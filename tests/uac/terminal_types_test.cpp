// The terminal-type table against the mapping as the driver first wrote it, one rule per
// kind, for every one of the 65536 terminal types.
#include <gtest/gtest.h>

#include "adapter/endpoint_type.h"
#include "uac/terminal_types.h"

namespace {

using namespace adapter;

bool In(USHORT type, USHORT first, USHORT last) { return type >= first && type <= last; }

ULONG InputKind(USHORT t) {
  if (t == 0x0101) return ENDPOINT_STREAM;
  if (In(t, 0x0201, 0x0206)) return ENDPOINT_MIC;
  if (t == 0x0401) return ENDPOINT_HANDSET;
  if (t == 0x0402) return ENDPOINT_HEADSET;
  if (In(t, 0x0403, 0x0405)) return ENDPOINT_SPEAKERPHONE;
  if (t == 0x0603) return ENDPOINT_LINE;
  if (t == 0x0605) return ENDPOINT_SPDIF;
  return ENDPOINT_AUX;
}

// A UAC 2.0 input terminal: handsets and headsets both name a handset.
ULONG Uac2InputKind(USHORT t) {
  if (t == 0x0101) return ENDPOINT_STREAM;
  if (In(t, 0x0201, 0x0206)) return ENDPOINT_MIC;
  if (t == 0x0401 || t == 0x0402) return ENDPOINT_HANDSET;
  if (In(t, 0x0403, 0x0405)) return ENDPOINT_SPEAKERPHONE;
  if (t == 0x0603) return ENDPOINT_LINE;
  if (t == 0x0605) return ENDPOINT_SPDIF;
  return ENDPOINT_AUX;
}

ULONG InputNodeKind(USHORT t) {
  if (t == 0x0201) return ENDPOINT_MIC;
  if (t == 0x0202) return ENDPOINT_FMIC;
  if (t == 0x0302) return ENDPOINT_HP;
  if (t == 0x0401) return ENDPOINT_HANDSET;
  if (t == 0x0402) return ENDPOINT_HEADSET;
  if (t == 0x0605) return ENDPOINT_SPDIF;
  return ENDPOINT_LINE;
}

ULONG StatusKind(USHORT t) {
  if (t == 0x0302) return ENDPOINT_HP;
  if (t == 0x0401) return ENDPOINT_HANDSET;
  if (t == 0x0402) return ENDPOINT_HEADSET;
  if (t == 0x0601 || t == 0x0603) return ENDPOINT_LINE;
  if (t == 0x0605) return ENDPOINT_SPDIF;
  return ENDPOINT_SPK;
}

bool Jacks(USHORT t) {
  return In(t, 0x0201, 0x0206) || In(t, 0x0401, 0x0405) || t == 0x0601 || t == 0x0603 || t == 0x0605;
}

TEST(TerminalTypes, TableMapsEveryTypeAsTheRulesDo) {
  for (ULONG value = 0; value <= 0xFFFF; ++value) {
    const auto t = static_cast<USHORT>(value);
    ASSERT_EQ(uac::InputTerminalKind(t), InputKind(t)) << std::hex << value;
    ASSERT_EQ(uac::Uac2InputTerminalKind(t), Uac2InputKind(t)) << std::hex << value;
    ASSERT_EQ(uac::InputTerminalNodeKind(t), InputNodeKind(t)) << std::hex << value;
    ASSERT_EQ(uac::OutputTerminalStatusKind(t), StatusKind(t)) << std::hex << value;
    ASSERT_EQ(uac::OutputTerminalKind(t), t == 0x0101 ? ENDPOINT_STREAM : StatusKind(t)) << std::hex << value;
    ASSERT_EQ(uac::TerminalReportsJacks(t), Jacks(t)) << std::hex << value;
  }
}

}  // namespace
