// The shape every bridge pin of the filters has, written out from its definition: no
// instances, no interfaces, communication NONE, and one 64-byte analog audio range with
// Flags 0 and no specifier.
#pragma once

#include <gtest/gtest.h>

#include "portcls/portcls.h"

namespace filters_test {

inline void ExpectBridgePin(const PCPIN_DESCRIPTOR& pin) {
  EXPECT_EQ(pin.MaxGlobalInstanceCount, 0u);
  EXPECT_EQ(pin.MaxFilterInstanceCount, 0u);
  EXPECT_EQ(pin.MinFilterInstanceCount, 0u);
  EXPECT_EQ(pin.KsPinDescriptor.InterfacesCount, 0u);
  EXPECT_EQ(pin.KsPinDescriptor.Communication, KSPIN_COMMUNICATION_NONE);
  ASSERT_EQ(pin.KsPinDescriptor.DataRangesCount, 1u);
  const KSDATARANGE& range = *pin.KsPinDescriptor.DataRanges[0];
  EXPECT_EQ(range.FormatSize, 64u);
  EXPECT_EQ(range.Flags, 0u);
  EXPECT_TRUE(IsEqualGUID(range.MajorFormat, (GUID{0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}})));
  EXPECT_TRUE(IsEqualGUID(range.SubFormat, (GUID{0x6DBA3190, 0x67BD, 0x11CF, {0xA0, 0xF7, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}})));
  EXPECT_TRUE(IsEqualGUID(range.Specifier, (GUID{0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}})));
}

}  // namespace filters_test
