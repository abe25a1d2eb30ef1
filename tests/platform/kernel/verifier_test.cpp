#include "kernel/verifier.h"

#include <gtest/gtest.h>

namespace {
using platform::verifier::Check;

TEST(Verifier, CaptureCollectsReportsWithTheCaller) {
  platform::verifier::ScopedCapture capture;
  platform::verifier::Report(Check::UnknownFree, "ExFreePool", "block 0x1234 was never allocated");
  ASSERT_EQ(capture.violations().size(), 1u);
  const auto& v = capture.violations()[0];
  EXPECT_EQ(v.api, "ExFreePool");
  EXPECT_NE(v.caller.find("verifier_test.cpp"), std::string::npos);
  EXPECT_TRUE(capture.Saw(Check::UnknownFree));
  EXPECT_FALSE(capture.Saw(Check::LeakAtTeardown));
}

TEST(Verifier, NestedCapturesRestoreTheOuterHandler) {
  platform::verifier::ScopedCapture outer;
  {
    platform::verifier::ScopedCapture inner;
    platform::verifier::Report(Check::IrqlMisuse, "KeLowerIrql", "inner");
    EXPECT_EQ(inner.violations().size(), 1u);
  }
  platform::verifier::Report(Check::IrqlMisuse, "KeLowerIrql", "outer");
  ASSERT_EQ(outer.violations().size(), 1u);
  EXPECT_EQ(outer.violations()[0].detail, "outer");
}
}  // namespace
