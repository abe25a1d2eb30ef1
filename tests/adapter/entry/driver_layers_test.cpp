// RegisterDriverLayers: the audio layer's function classes reach the root device object's
// table, and the DSP's blocks come from the tracked non-paged pool once it has run.
#include <gtest/gtest.h>

#include "adapter/usb_audio_device.h"
#include "dsp/host.h"
#include "entry/driver_layers.h"
#include "kernel/pool.h"
#include "support/kernel_fixture.h"
#include "uac/chip_a_function.h"
#include "uac/chip_bc_function.h"
#include "uac/function_classes.h"
#include "uac/uac1_function.h"
#include "uac/uac2_function.h"

namespace {

class DriverLayers : public platform::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    savedHooks_ = DspSetHostHooks(nullptr);
    savedRows_ = adapter::SetFunctionRows(nullptr, 0, &savedRowCount_);
    savedFactory_ = adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, nullptr);
  }
  void TearDown() override {
    DspSetHostHooks(&savedHooks_);
    adapter::SetFunctionRows(savedRows_, savedRowCount_, nullptr);
    adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, savedFactory_);
    KernelTest::TearDown();
  }

  DspHostHooks savedHooks_{};
  const adapter::FunctionRow* savedRows_ = nullptr;
  ULONG savedRowCount_ = 0;
  adapter::FunctionFactory savedFactory_ = nullptr;
};

TEST_F(DriverLayers, InstallTheAudioLayersFunctionClasses) {
  ULONG count = 0;
  EXPECT_EQ(adapter::FunctionTable(&count), nullptr);
  EXPECT_EQ(adapter::ChooseFunction(0x00, nullptr, 0, false, 0), nullptr);

  ASSERT_EQ(entry::RegisterDriverLayers(), STATUS_SUCCESS);
  ULONG expected = 0;
  const adapter::FunctionRow* rows = uac::FunctionClassRows(&expected);
  EXPECT_EQ(adapter::FunctionTable(&count), rows);
  EXPECT_EQ(count, expected);
  EXPECT_EQ(adapter::ChooseFunction(0x00, nullptr, 0, false, 0)->Class, adapter::FunctionClass::Uac1);
  EXPECT_EQ(adapter::ChooseFunction(0x20, nullptr, 0, false, 0)->Class, adapter::FunctionClass::Uac2);
  EXPECT_EQ(adapter::SetFunctionFactory(adapter::FunctionClass::Uac1, nullptr), &uac::CreateUac1Function);
  EXPECT_EQ(adapter::SetFunctionFactory(adapter::FunctionClass::Uac2, nullptr), &uac::CreateUac2Function);
  EXPECT_EQ(adapter::SetFunctionFactory(adapter::FunctionClass::ChipA, nullptr), &uac::CreateChipAFunction);
  EXPECT_EQ(adapter::SetFunctionFactory(adapter::FunctionClass::ChipB, nullptr), &uac::CreateChipBFunction);
  EXPECT_EQ(adapter::SetFunctionFactory(adapter::FunctionClass::ChipC, nullptr), &uac::CreateChipCFunction);
  // The classes not built yet stay without a factory: their devices are refused.
  EXPECT_EQ(adapter::SetFunctionFactory(adapter::FunctionClass::ChipD, nullptr), nullptr);

  ASSERT_EQ(entry::RegisterDriverLayers(), STATUS_SUCCESS);  // again: the same table
  EXPECT_EQ(adapter::FunctionTable(&count), rows);
}

TEST_F(DriverLayers, PointTheDspAtTheNonPagedPool) {
  ASSERT_EQ(entry::RegisterDriverLayers(), STATUS_SUCCESS);
  const platform::pool::Mark mark = platform::pool::CurrentMark();
  void* block = DspAllocate(48, DSP_POOL_TAG_SRCX, true);
  ASSERT_NE(block, nullptr);
  const auto live = platform::pool::LiveBlocksWithTag(DSP_POOL_TAG_SRCX, mark);
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].address, block);
  EXPECT_FALSE(live[0].paged);
  EXPECT_EQ(static_cast<const unsigned char*>(block)[47], 0);
  DspFree(block);
  EXPECT_TRUE(platform::pool::LiveBlocksWithTag(DSP_POOL_TAG_SRCX, mark).empty());

  // A pool failure reaches the DSP as a null block.
  platform::pool::ScopedFaultInjection faults;
  platform::pool::FailNthAllocation(1, DSP_POOL_TAG_DSPS);
  EXPECT_EQ(DspAllocate(16, DSP_POOL_TAG_DSPS, false), nullptr);
}

}  // namespace
