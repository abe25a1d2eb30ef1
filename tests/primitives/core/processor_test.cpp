// Processor probes through a fake CPUID, the floating-point environment, and the
// status table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "core_test_support.h"
#include "sp/sp.h"

namespace {

using sptest::FakeCpuid;

TEST(Probes, FeatureBitsOfLeafOne) {
  FakeCpuid cpu;
  cpu.SetVendor("GenuineIntel", 4);
  cpu.Set(1, 0, 0, (1u << 0) | (1u << 19), (1u << 4) | (1u << 25));
  EXPECT_EQ(spHasTsc(), 1);
  EXPECT_EQ(spHasMmx(), 0);
  EXPECT_EQ(spHasSse(), 1);
  EXPECT_EQ(spHasSse2(), 0);
  EXPECT_EQ(spHasSse3(), 1);
  EXPECT_EQ(spHasSsse3(), 0);
  EXPECT_EQ(spHasSse41(), 1);
  EXPECT_EQ(spHasSse42(), 0);
  EXPECT_EQ(spGetMaxCpuidLeaf(), 4u);
}

TEST(Probes, HyperThreadingNeedsMoreThanOneLogicalProcessor) {
  FakeCpuid cpu;
  cpu.Set(1, 0, 1u << 16, 0, 1u << 28);
  EXPECT_EQ(spHasHyperThreading(), 0);
  cpu.Set(1, 0, 2u << 16, 0, 1u << 28);
  EXPECT_EQ(spHasHyperThreading(), 1);
  cpu.Set(1, 0, 8u << 16, 0, 0);
  EXPECT_EQ(spHasHyperThreading(), 0);
}

TEST(Probes, LongModeAndCoreCountDefaults) {
  FakeCpuid cpu;
  cpu.Set(0x80000000, 0x80000000, 0, 0, 0);
  cpu.Set(0x80000001, 0, 0, 0, 1u << 29);
  EXPECT_EQ(spHas64BitMode(), 0);
  cpu.Set(0x80000000, 0x80000008, 0, 0, 0);
  EXPECT_EQ(spHas64BitMode(), 1);
  cpu.SetVendor("GenuineIntel", 3);
  cpu.Set(4, 7u << 26, 0, 0, 0);
  EXPECT_EQ(spGetCoreCount(), 1u);
  cpu.SetVendor("GenuineIntel", 0x80000004);  // negative as a signed number
  EXPECT_EQ(spGetCoreCount(), 1u);
  cpu.SetVendor("GenuineIntel", 11);
  EXPECT_EQ(spGetCoreCount(), 8u);
}

TEST(Probes, ProcessorInfoFields) {
  FakeCpuid cpu;
  cpu.SetVendor("GenuineIntel", 3);
  const uint32 eax1 = (0x12u << 20) | (0xAu << 16) | (2u << 12) | (0xFu << 8) | (0x6u << 4) | 0x3u;
  cpu.Set(1, eax1, 3u << 16, (1u << 0) | (1u << 9) | (1u << 20), (1u << 23) | (1u << 26) | (1u << 28));
  cpu.Set(2, 0x00AABB01u, 0, 0, 0x11223344u);
  cpu.Set(0x80000000, 0x80000000, 0, 0, 0);
  spProcessorInfo info;
  std::memset(&info, 0xEE, sizeof info);
  EXPECT_EQ(spGetProcessorInfo(&info), 0x00AABB01u);
  EXPECT_EQ(info.family, 0xFu);
  EXPECT_EQ(info.stepping, 3u);
  EXPECT_EQ(info.model, 6u);
  EXPECT_EQ(info.processorType, 2u);
  EXPECT_EQ(info.featureWord, (1u << 23) | (1u << 26) | (1u << 28));
  EXPECT_EQ(info.descriptorWordA, 0x00AABB01u);
  EXPECT_EQ(info.descriptorWordD, 0x11223344u);
  EXPECT_EQ(info.mmx, 1u);
  EXPECT_EQ(info.reserved, 0xEEEEEEEEu);  // not written
  EXPECT_EQ(info.sse, 0u);
  EXPECT_EQ(info.sse2, 1u);
  EXPECT_EQ(info.hyperThreading, 1u);
  EXPECT_EQ(info.sse3, 1u);
  EXPECT_EQ(info.longMode, 0u);
  EXPECT_EQ(info.ssse3, 1u);
  EXPECT_EQ(info.coresPerPackage, 1u);
  EXPECT_EQ(info.sse41, 0u);
  EXPECT_EQ(info.sse42, 1u);
  EXPECT_EQ(info.extendedFamily, 0x12u);
  EXPECT_EQ(info.extendedModel, 0xAu);
}

TEST(Probes, CacheSizeTableLookup) {
  const spCacheTableEntry table[] = {{0x100 | 0x2C, 111}, {0x49, 222}, {0x22, 333}, {0, 0}};
  const spCacheTableEntry empty[] = {{0, 999}};
  FakeCpuid cpu;
  cpu.Set(2, 0x00220001u, 0x49000000u, 0, 0);
  EXPECT_EQ(spGetCacheSize(table), 222u);  // both 0x49 and 0x22 reported: the earlier entry
  EXPECT_EQ(spGetCacheSize(empty), 0xFFFFFFFFu);
  cpu.Set(2, 0x00220002u, 0x49000000u, 0, 0);  // iteration count 2
  EXPECT_EQ(spGetCacheSize(table), 0xFFFFFFFFu);
  cpu.Set(2, 0x80220001u, 0x0000002Cu, 0, 0);  // EAX invalid, descriptor in EBX byte 0
  EXPECT_EQ(spGetCacheSize(table), 111u);
  cpu.Set(2, 0x00000001u, 0, 0x80000049u, 0);  // no descriptors at all
  EXPECT_EQ(spGetCacheSize(table), 0xFFFFFFFFu);
  EXPECT_EQ(spGetCacheSize(nullptr), 0xFFFFFFFFu);
}

TEST(Probes, HardwareReaderIsTheDefault) {
  uint32 regs[4];
  spReadCpuid(regs, 0, 0);
  uint32 hw[4];
  spReadHardwareCpuid(hw, 0, 0);
  EXPECT_EQ(std::memcmp(regs, hw, 16), 0);
  {
    FakeCpuid cpu;
    cpu.SetVendor("FakeVendorXY", 1);
    spReadCpuid(regs, 0, 0);
    EXPECT_EQ(regs[0], 1u);
  }
  spReadCpuid(regs, 0, 0);
  EXPECT_EQ(std::memcmp(regs, hw, 16), 0);
  const uint64 t0 = spReadTimeStampCounter();
  EXPECT_GT(spReadTimeStampCounter(), t0);
}

// ---- floating-point environment

class MxcsrGuard {
 public:
  MxcsrGuard() : saved_(spGetMxcsr()) {}
  ~MxcsrGuard() { spLoadMxcsr(saved_); }

 private:
  uint32 saved_;
};

TEST(Mxcsr, ResetSetAndRounding) {
  MxcsrGuard guard;
  spLoadMxcsr(0x1F80 | 0x6000);
  EXPECT_EQ(spResetMxcsr(), 0x7F80u);
  EXPECT_EQ(spGetMxcsr(), 0x1F80u);
  EXPECT_EQ(spSetMxcsr(0x2000 | 0x0200, 0x6000), 0x1F80u);  // only the masked bits move
  EXPECT_EQ(spGetMxcsr(), 0x3F80u);
  EXPECT_EQ(spSetMxcsrRounding(0x4000), 0x3F80u);
  EXPECT_EQ(spGetMxcsr(), 0x5F80u);
  EXPECT_EQ(spSetMxcsrRounding(0x4000), 0x5F80u);  // already so
  EXPECT_EQ(spGetMxcsr(), 0x5F80u);
  // Rounding really changes: 1 + 2^-24 rounds up toward +infinity.
  volatile float one = 1.0f, tiny = 5.9604645e-08f;
  EXPECT_GT(one + tiny, 1.0f);
  spSetMxcsrRounding(0);
  EXPECT_EQ(one + tiny, 1.0f);
}

// Loading a bit the processor does not implement faults. Which bits exist differs
// between processors (bit 17, the misaligned-exception mask, exists on some only): every
// load keeps to the processor's own mask and loads each bit it does implement.
TEST(Mxcsr, OnlyImplementedBitsAreLoaded) {
  MxcsrGuard guard;
  const uint32 implemented = spMxcsrLoadableBits();
  EXPECT_EQ(implemented & 0xFFBFu, 0xFFBFu);  // every SSE unit has the default bits
  spLoadMxcsr(0xFFFF1F80u);
  EXPECT_EQ(spGetMxcsr(), 0xFFFF1F80u & implemented);
  spResetMxcsr();
  spSetMxcsr(0xFFFFFFFFu, 0xFFFF0000u);
  EXPECT_EQ(spGetMxcsr(), 0x1F80u | (0xFFFF0000u & implemented));
  spSetMxcsrRounding(0xFFFF2000u);  // an argument with stray high bits
  EXPECT_EQ(spGetMxcsr() & ~implemented, 0u);
}

// The mask of other processors, through a fake reader: with and without the
// misaligned-exception mask, without denormals-are-zero, and not reported at all.
TEST(Mxcsr, LoadsAndDenormalsAreZeroFollowTheReportedMask) {
  const uint32 hardware = spMxcsrLoadableBits();
  const struct {
    uint32 reported;
    uint32 loadable;
    int daz;
  } masks[] = {{0x0000FFFFu, 0x0000FFFFu, 1},
               {0x0002FFFFu, 0x0002FFFFu, 1},
               {0x0000FFBFu, 0x0000FFBFu, 0},
               {0x00000000u, 0x0000FFBFu, 0}};
  for (const auto& m : masks) {
    sptest::FakeMxcsrMask fake(m.reported);
    EXPECT_EQ(spReadMxcsrMask(), m.reported);
    EXPECT_EQ(spMxcsrLoadableBits(), m.loadable) << std::hex << m.reported;
    EXPECT_EQ(spHasDenormalsAreZero(), m.daz) << std::hex << m.reported;
    // Loading a bit this processor lacks would fault, whatever the fake says: the loads
    // run for the masks it can hold (all four on a processor with bit 17).
    if ((m.loadable & ~hardware) != 0) continue;
    MxcsrGuard guard;
    spLoadMxcsr(0xFFFFFFC0u);
    EXPECT_EQ(spGetMxcsr(), 0xFFFFFFC0u & m.loadable) << std::hex << m.reported;
    spResetMxcsr();
    spSetMxcsr(0xFFFFFFFFu, 0xFFFF0040u);
    EXPECT_EQ(spGetMxcsr(), 0x1F80u | (0xFFFF0040u & m.loadable)) << std::hex << m.reported;
  }
  EXPECT_EQ(spMxcsrLoadableBits(), hardware);  // the processor's reader is back
}

TEST(Mxcsr, DenormalsAreZeroWhenSupported) {
  MxcsrGuard guard;
  spResetMxcsr();
  spSetMxcsr(0x40, 0x40);
  EXPECT_EQ((spGetMxcsr() & 0x40) != 0, spHasDenormalsAreZero() == 1);
}

class X87Guard {
 public:
  // Flags left by earlier long-double arithmetic must not fault once a test unmasks.
  X87Guard() : saved_(spGetX87ControlWord()) { spClearX87StatusWord(); }
  ~X87Guard() {
    spClearX87StatusWord();
    spLoadX87ControlWord(saved_);
  }

 private:
  uint16 saved_;
};

TEST(X87, ControlFormRoundTripsEveryRoundingAndPrecision) {
  X87Guard guard;
  const spFpControlWord current = spControlX87(0, 0);
  const uint16 word = spGetX87ControlWord();
  EXPECT_EQ(spControlX87(0, 0), current);
  EXPECT_EQ(spGetX87ControlWord(), word);
  const struct {
    uint32 form;
    uint16 bits;
  } rounding[] = {{SP_FP_ROUND_NEAREST, 0x000}, {SP_FP_ROUND_DOWN, 0x400},
                  {SP_FP_ROUND_UP, 0x800}, {SP_FP_ROUND_ZERO, 0xC00}};
  const struct {
    uint32 form;
    uint16 bits;
  } precision[] = {{SP_FP_PRECISION_64, 0x300}, {SP_FP_PRECISION_53, 0x200}, {SP_FP_PRECISION_24, 0x000}};
  for (const auto& r : rounding) {
    for (const auto& p : precision) {
      const uint32 mask = SP_FP_ROUND_MASK | SP_FP_PRECISION_MASK;
      const spFpControlWord merged = spControlX87(r.form | p.form, mask);
      EXPECT_EQ(merged & mask, r.form | p.form);
      const uint16 cw = spGetX87ControlWord();
      EXPECT_EQ(cw & 0xC00, r.bits);
      EXPECT_EQ(cw & 0x300, p.bits);
      EXPECT_EQ(cw & 0x3F, word & 0x3F);  // exception masks kept
      EXPECT_EQ(spControlX87(0, 0), merged);
      EXPECT_EQ(spGetX87ControlWord(), cw);
    }
  }
  // Unmasking and masking one exception.
  spControlX87(0, SP_FP_INEXACT);
  EXPECT_EQ(spGetX87ControlWord() & 0x20, 0);
  spControlX87(SP_FP_INEXACT, SP_FP_INEXACT);
  EXPECT_EQ(spGetX87ControlWord() & 0x20, 0x20);
  EXPECT_EQ(spGetX87ControlWord() & 0xE080, 0);  // bits 7, 13-15 clear (bit 6 reads as 1)
}

TEST(X87, SetAndUpdateControlWord) {
  X87Guard guard;
  const uint16 start = spGetX87ControlWord();
  EXPECT_EQ(spSetX87ControlWord(0x0C00, 0x0C00), start);
  EXPECT_EQ(spGetX87ControlWord(), static_cast<uint16>(start | 0x0C00));
  spUpdateX87ControlWord(0x0400, 0x0C00);
  EXPECT_EQ(spGetX87ControlWord() & 0x0C00, 0x0400);
  spLoadX87ControlWord(0xFFFF0000u | start);
  EXPECT_EQ(spGetX87ControlWord(), start);
}

TEST(X87, ExceptionFlags) {
  X87Guard guard;
  spClearX87StatusWord();
  EXPECT_EQ(spGetX87Exceptions(), 0u);
  asm volatile("fldz\n\tfldz\n\tfdivrp\n\tfstp %%st(0)" ::: "st", "st(1)");  // 0/0, masked
  EXPECT_NE(spGetX87StatusWord() & 1, 0);
  EXPECT_EQ(spGetX87Exceptions() & SP_FP_INVALID, SP_FP_INVALID);
  EXPECT_EQ(spClearX87Exceptions() & SP_FP_INVALID, SP_FP_INVALID);
  EXPECT_EQ(spGetX87Exceptions(), 0u);
}

TEST(FloatClass, NanAndFinite) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(spIsNan_64f(kInf), 0);
  EXPECT_EQ(spIsNan_64f(-kInf), 0);
  EXPECT_EQ(spIsNan_64f(std::nan("")), 1);
  EXPECT_EQ(spIsNan_64f(std::numeric_limits<double>::signaling_NaN()), 1);
  EXPECT_EQ(spIsNan_64f(1.0), 0);
  EXPECT_EQ(spIsFinite_64f(std::numeric_limits<double>::max()), 1);
  EXPECT_EQ(spIsFinite_64f(std::numeric_limits<double>::denorm_min()), 1);
  EXPECT_EQ(spIsFinite_64f(std::nan("")), 0);
  EXPECT_EQ(spIsFinite_64f(-kInf), 0);
}

TEST(StatusTable, EveryCodeHasItsName) {
  const struct {
    spStatus value;
    const char* name;
  } codes[] = {{0, "SP_OK"},
               {-6, "SP_ERROR_LENGTH"},
               {-8, "SP_ERROR_NULL"},
               {-9, "SP_ERROR_ALLOCATION"},
               {-10, "SP_ERROR_ZERO_DIVISOR"},
               {-15, "SP_ERROR_TRANSFORM_ORDER"},
               {-16, "SP_ERROR_TRANSFORM_FLAG"},
               {-17, "SP_ERROR_WRONG_RECORD"},
               {-25, "SP_ERROR_FILTER_ORDER"},
               {-26, "SP_ERROR_TAP_COUNT"},
               {-28, "SP_ERROR_RATE_PHASE"},
               {-29, "SP_ERROR_RATE_FACTOR"},
               {-53, "SP_ERROR_CHANNEL_COUNT"},
               {-54, "SP_ERROR_OVERLAP"},
               {2, "SP_WARNING_UNALIGNED"},
               {3, "SP_WARNING_NEGATIVE_ROOT"},
               {6, "SP_WARNING_DIVIDED_BY_ZERO"},
               {7, "SP_WARNING_LOG_OF_ZERO"},
               {8, "SP_WARNING_LOG_OF_NEGATIVE"},
               {19, "SP_WARNING_POWER_DOMAIN"},
               {20, "SP_WARNING_PROCESSOR_PROBE"},
               {21, "SP_WARNING_UNKNOWN_PROCESSOR"}};
  for (const auto& c : codes) {
    ASSERT_NE(spStatusName(c.value), nullptr) << c.value;
    EXPECT_EQ(std::string(spStatusName(c.value)), c.name);
    EXPECT_NE(spStatusMeaning(c.value), nullptr);
  }
  for (spStatus unknown : {1, -1, -7, 22, 100}) EXPECT_EQ(spStatusName(unknown), nullptr) << unknown;
}

}  // namespace
