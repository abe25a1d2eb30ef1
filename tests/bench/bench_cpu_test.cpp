// The benchmarks' processor description from recorded CPUID answers: which instruction
// sets count (the system must save the registers they use) and the model string.
#include "bench_cpu.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <string>

namespace {

// The answers of one processor, leaf -> EAX EBX ECX EDX (subleaf 0); absent leaves zero.
std::map<std::uint32_t, std::array<std::uint32_t, 4>> g_leaves;

void FakeCpuid(std::uint32_t* out, std::uint32_t leaf, std::uint32_t) {
  const auto it = g_leaves.find(leaf);
  for (int i = 0; i < 4; ++i) out[i] = it == g_leaves.end() ? 0 : it->second[static_cast<size_t>(i)];
}

constexpr std::uint32_t kSse = 1u << 25, kSse2 = 1u << 26;                               // leaf 1 EDX
constexpr std::uint32_t kSse3 = 1u << 0, kSsse3 = 1u << 9, kSse41 = 1u << 19, kSse42 = 1u << 20,
                        kFma = 1u << 12, kOsxsave = 1u << 27, kAvx = 1u << 28;            // leaf 1 ECX
constexpr std::uint32_t kAvx2 = 1u << 5, kAvx512f = 1u << 16, kAvx512dq = 1u << 17, kAvx512bw = 1u << 30,
                        kAvx512vl = 1u << 31;                                             // leaf 7 EBX

void Brand(const char* text) {
  char b[48] = {};
  std::memcpy(b, text, std::strlen(text));
  for (std::uint32_t k = 0; k < 3; ++k) {
    std::array<std::uint32_t, 4> r;
    std::memcpy(r.data(), b + 16 * k, 16);
    g_leaves[0x80000002u + k] = r;
  }
  g_leaves[0x80000000u] = {0x80000008u, 0, 0, 0};
}

TEST(BenchCpu, InstructionSetsCountOnlyWhatTheSystemSaves) {
  const std::uint32_t ecxAll = kSse3 | kSsse3 | kSse41 | kSse42 | kFma | kOsxsave | kAvx;
  const std::uint32_t ebx7All = kAvx2 | kAvx512f | kAvx512dq | kAvx512bw | kAvx512vl;
  struct Case {
    const char* name;
    std::uint32_t maxLeaf, ecx1, ebx7;
    std::uint64_t xcr0;
    const char* expected;
  };
  const Case cases[] = {
      {"every set, all state saved", 7, ecxAll, ebx7All, 0xE7,
       "sse sse2 sse3 ssse3 sse4.1 sse4.2 avx fma avx2 avx512f avx512dq avx512bw avx512vl"},
      {"AVX-512 hardware, ZMM state not saved", 7, ecxAll, ebx7All, 0x07,
       "sse sse2 sse3 ssse3 sse4.1 sse4.2 avx fma avx2"},
      {"AVX hardware, YMM state not saved", 7, ecxAll, ebx7All, 0x03, "sse sse2 sse3 ssse3 sse4.1 sse4.2"},
      {"no XSAVE enabled by the system", 7, ecxAll & ~kOsxsave, ebx7All, 0xE7,
       "sse sse2 sse3 ssse3 sse4.1 sse4.2"},
      {"leaf 7 beyond the highest leaf", 1, ecxAll, ebx7All, 0xE7, "sse sse2 sse3 ssse3 sse4.1 sse4.2 avx fma"},
      {"SSE3 class only", 7, kSse3, 0, 0, "sse sse2 sse3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_leaves.clear();
    g_leaves[0] = {c.maxLeaf, 0, 0, 0};
    g_leaves[1] = {0, 0, c.ecx1, kSse | kSse2};
    g_leaves[7] = {0, c.ebx7, 0, 0};  // the fake answers past the highest leaf too
    const std::string sets = bench::InstructionSets(&FakeCpuid, c.xcr0);
    EXPECT_EQ(sets, c.expected);
  }
}

TEST(BenchCpu, SetNamesMatchWholeWords) {
  const std::string sets = "sse sse2 sse4.1 avx512f";
  EXPECT_TRUE(bench::HasSet(sets, "sse"));
  EXPECT_TRUE(bench::HasSet(sets, "sse4.1"));
  EXPECT_TRUE(bench::HasSet(sets, "avx512f"));
  EXPECT_FALSE(bench::HasSet(sets, "sse4"));
  EXPECT_FALSE(bench::HasSet(sets, "avx"));
  EXPECT_FALSE(bench::HasSet(sets, "avx512"));
}

TEST(BenchCpu, ModelStringTrimmedOrUnknown) {
  g_leaves.clear();
  Brand("   Test Processor 3000 @ 2.0GHz  ");
  EXPECT_EQ(bench::ProcessorModel(&FakeCpuid), "Test Processor 3000 @ 2.0GHz");
  Brand("                                               ");
  EXPECT_EQ(bench::ProcessorModel(&FakeCpuid), "unknown");
  g_leaves.clear();
  g_leaves[0x80000000u] = {0x80000001u, 0, 0, 0};
  EXPECT_EQ(bench::ProcessorModel(&FakeCpuid), "unknown");
}

}  // namespace
