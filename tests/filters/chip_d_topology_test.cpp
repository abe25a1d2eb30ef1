// The chip class D effect nodes as the engine client sees them on the topology filter
// of a started device: their node type, the enable switch reaching the device's vendor
// control, and the virtualiser's room and wide values through the effect-parameter
// range, refused ones included.
#include <gtest/gtest.h>

#include <cstring>

#include "filters/topology_property_sets.h"
#include "adapter/audio_class.h"
#include "kernel/registry.h"
#include "topology_fixture.h"
#include "uac/chip_d_effect_controls.h"

namespace {

using topology_test::U32s;

constexpr ULONG GET = KSPROPERTY_TYPE_GET;
constexpr ULONG SET = KSPROPERTY_TYPE_SET;

class ChipDTopology : public topology_test::TopologyTest {
 protected:
  void SetUp() override {
    TopologyTest::SetUp();
    // A 48 kHz sound card whose render feature unit (5) announces both effect selectors.
    sim::device::DeviceProfile profile;
    profile.strings[adapter::kModelStringIndex] = u"QVK712";
    usb_device_test::Bytes block(16, 0);
    for (UCHAR b : {21, 0, 2, 0x00, 0x0C}) block.push_back(b);
    profile.entity_memory[5] = block;
    Plug("uac1-soundcard-D.txt", profile);
    platform::registry::SetDword(SettingsPath(), u"ModelVariant", 5);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(InstallTopology(), STATUS_SUCCESS);
  }

  // The node number of the first effect node of the node type.
  ULONG EffectNode(const GUID& type) {
    const PCFILTER_DESCRIPTOR* d = Descriptor();
    for (ULONG n = 0; n < d->NodeCount; ++n)
      if (d->Nodes[n].Type && IsEqualGUID(*d->Nodes[n].Type, KSNODETYPE_DEV_SPECIFIC) && d->Nodes[n].Name &&
          IsEqualGUID(*d->Nodes[n].Name, type))
        return n;
    ADD_FAILURE() << "no effect node of the type";
    return 0;
  }
};

TEST_F(ChipDTopology, EnableAndValuesReachTheControlsThroughKs) {
  const ULONG reverb = EffectNode(uac::KSNODETYPE_CHIP_D_REVERB);
  const ULONG lpv = EffectNode(uac::KSNODETYPE_CHIP_D_VIRTUALISER);
  ASSERT_NE(reverb, lpv);
  for (const auto& [node, type, selector] :
       {std::tuple{reverb, uac::KSNODETYPE_CHIP_D_REVERB, 0x8B}, {lpv, uac::KSNODETYPE_CHIP_D_VIRTUALISER, 0x8C}}) {
    SCOPED_TRACE(selector);
    GUID nodeType{};
    ASSERT_EQ(NodeProperty(node, filters::KSPROPSETID_EffectParameters, filters::KSPROPERTY_EFFECT_NODE_TYPE, GET, {},
                           &nodeType, sizeof nodeType),
              STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(nodeType, type));
    // The enable: SET reaches the device's vendor control, GET reads it back.
    const ULONG on = 1;
    ASSERT_EQ(NodeProperty(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, SET, {}, const_cast<ULONG*>(&on),
                           sizeof on),
              STATUS_SUCCESS);
    EXPECT_EQ(sim_->GetControl({false, 5, static_cast<UCHAR>(selector), 0, 0}), 1);
    ULONG value = 0;
    ASSERT_EQ(NodeProperty(node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GET, {}, &value, sizeof value),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
  }

  // Room and wide: two values; a refused room leaves the stored one.
  ULONG count = 0;
  ASSERT_EQ(NodeProperty(lpv, filters::KSPROPSETID_EffectParameters, filters::KSPROPERTY_EFFECT_PARAMETER, GET, {},
                         &count, sizeof count),
            STATUS_SUCCESS);
  EXPECT_EQ(count, 2u);
  const struct {
    ULONG room, wide;
    NTSTATUS status;
    ULONG roomAfter, wideAfter;
  } sets[] = {{2, 1, STATUS_SUCCESS, 2, 1}, {3, 0, STATUS_SUCCESS, 2, 0}, {0, 1, STATUS_SUCCESS, 0, 1}};
  for (const auto& s : sets) {
    ULONG status = 0;
    EXPECT_EQ(NodeProperty(lpv, filters::KSPROPSETID_EffectParameters, filters::KSPROPERTY_EFFECT_RANGE, SET,
                           U32s({0, 2, s.room, s.wide}), &status, sizeof status),
              s.status);
    ULONG answer[4] = {};
    ASSERT_EQ(NodeProperty(lpv, filters::KSPROPSETID_EffectParameters, filters::KSPROPERTY_EFFECT_RANGE, GET,
                           U32s({0, 2}), answer, sizeof answer),
              STATUS_SUCCESS);
    EXPECT_EQ(answer[2], s.roomAfter);
    EXPECT_EQ(answer[3], s.wideAfter);
  }
  // The reverb has no values.
  ULONG answer[4] = {};
  EXPECT_NE(NodeProperty(reverb, filters::KSPROPSETID_EffectParameters, filters::KSPROPERTY_EFFECT_RANGE, GET,
                         U32s({0, 1}), answer, sizeof answer),
            STATUS_SUCCESS);
}

}  // namespace
