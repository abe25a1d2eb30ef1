// Host services: pool tags, the hook table and its defaults, and the format block's
// fixed answers as a block.
#include <gtest/gtest.h>

#include <cstring>

#include "dsp/host.h"
#include "dsp/split_block.h"
#include "dsp_test_util.h"

namespace {

TEST(DspHost, PoolTagsReadAsTheirFourCharactersInMemory) {
  char bytes[5] = {};
  std::memcpy(bytes, &DSP_POOL_TAG_DSPS, 4);
  EXPECT_STREQ(bytes, "DSPS");
  std::memcpy(bytes, &DSP_POOL_TAG_SRCX, 4);
  EXPECT_STREQ(bytes, "SRCX");
}

TEST(DspHost, InstalledHooksServeEveryBlockAndAnIncompleteTableRestoresTheDefaults) {
  {
    dsp_test::RecordingHost host;
    auto* block = static_cast<unsigned char*>(DspAllocate(64, DSP_POOL_TAG_DSPS, true));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 0);
    EXPECT_EQ(host.LiveBlocks(DSP_POOL_TAG_DSPS), 1);
    DspPrint("%s %d\n", "line", 7);
    ASSERT_EQ(host.Lines().size(), 1u);
    EXPECT_EQ(host.Lines()[0], "line 7\n");
    DspFree(block);
    DspFree(nullptr);
    host.FailAllocation(1);
    EXPECT_EQ(DspNew<CChannelConversion>(DSP_POOL_TAG_DSPS), nullptr);
  }
  const DspHostHooks incomplete{nullptr, nullptr, nullptr};
  const DspHostHooks previous = DspSetHostHooks(&incomplete);
  const DspHostHooks defaults = DspSetHostHooks(&previous);
  EXPECT_NE(defaults.allocate, nullptr);
  EXPECT_NE(defaults.free, nullptr);
  EXPECT_NE(defaults.print, nullptr);
  void* block = DspAllocate(16, DSP_POOL_TAG_SRCX, false);
  EXPECT_NE(block, nullptr);
  DspFree(block);
}

TEST(DspSplitBlock, IsNeverADestinationStageAndInitialisesOnce) {
  dsp_test::RecordingHost host;
  {
    CDspSplitBlock split;
    EXPECT_EQ(split.GetUpStateSize(), 4);
    EXPECT_EQ(split.GetDownStateSize(), 4);
    EXPECT_TRUE(split.Init());
    EXPECT_FALSE(split.Init());
    const float x[4] = {};
    std::int32_t count = 4;
    EXPECT_FALSE(split.Process(0, x, &count));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(host.LiveBlocks(DSP_POOL_TAG_DSPS), 1);
  }
  EXPECT_EQ(host.LiveBlocks(), 0);
}

}  // namespace
