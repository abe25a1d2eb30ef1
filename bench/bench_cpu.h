// The processor a benchmark run measured: its model string and the instruction sets it
// offers, decoded from CPUID (and XCR0 for the register state the system saves), so that
// every report names what each build and peer could use. The decoder takes the CPUID
// reader and XCR0 as arguments, so it can be checked against recorded processors.
#pragma once

#include <cpuid.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace bench {

// Fills Out[0..3] with EAX, EBX, ECX, EDX of CPUID(Leaf, Subleaf).
using CpuidFn = void (*)(std::uint32_t* Out, std::uint32_t Leaf, std::uint32_t Subleaf);

inline void HardwareCpuid(std::uint32_t* Out, std::uint32_t Leaf, std::uint32_t Subleaf) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  __cpuid_count(Leaf, Subleaf, a, b, c, d);
  Out[0] = a, Out[1] = b, Out[2] = c, Out[3] = d;
}

// XCR0 when the system enabled XGETBV (CPUID.1:ECX.OSXSAVE), else 0.
inline std::uint64_t HardwareXcr0() {
  std::uint32_t r[4];
  HardwareCpuid(r, 1, 0);
  if (!(r[2] & (1u << 27))) return 0;
  std::uint32_t lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (std::uint64_t{hi} << 32) | lo;
}

// Space-separated instruction sets, oldest first: "sse sse2 sse3 ssse3 sse4.1 sse4.2 avx
// fma avx2 avx512f avx512dq avx512bw avx512vl". The AVX sets count only when the system
// saves the YMM state, the AVX-512 sets only when it also saves the opmask and ZMM state.
inline std::string InstructionSets(CpuidFn Cpuid, std::uint64_t Xcr0) {
  std::uint32_t r0[4], r1[4] = {}, r7[4] = {};
  Cpuid(r0, 0, 0);
  const std::uint32_t maxLeaf = r0[0];
  if (maxLeaf >= 1) Cpuid(r1, 1, 0);
  if (maxLeaf >= 7) Cpuid(r7, 7, 0);
  const bool ymm = (r1[2] & (1u << 27)) && (Xcr0 & 0x6) == 0x6;
  const bool zmm = ymm && (Xcr0 & 0xE0) == 0xE0;
  struct Flag {
    const char* name;
    const std::uint32_t* reg;
    int bit;
    bool usable;
  };
  const Flag flags[] = {
      {"sse", &r1[3], 25, true},      {"sse2", &r1[3], 26, true},     {"sse3", &r1[2], 0, true},
      {"ssse3", &r1[2], 9, true},     {"sse4.1", &r1[2], 19, true},   {"sse4.2", &r1[2], 20, true},
      {"avx", &r1[2], 28, ymm},       {"fma", &r1[2], 12, ymm},       {"avx2", &r7[1], 5, ymm},
      {"avx512f", &r7[1], 16, zmm},   {"avx512dq", &r7[1], 17, zmm},  {"avx512bw", &r7[1], 30, zmm},
      {"avx512vl", &r7[1], 31, zmm},
  };
  std::string out;
  for (const Flag& f : flags) {
    if (!f.usable || !(*f.reg & (1u << f.bit))) continue;
    if (!out.empty()) out += ' ';
    out += f.name;
  }
  return out;
}

// The brand string of CPUID leaves 0x80000002-4, trimmed; "unknown" when absent.
inline std::string ProcessorModel(CpuidFn Cpuid) {
  std::uint32_t r[4];
  Cpuid(r, 0x80000000u, 0);
  if (r[0] < 0x80000004u) return "unknown";
  char brand[49] = {};
  for (std::uint32_t leaf = 0; leaf < 3; ++leaf) {
    Cpuid(r, 0x80000002u + leaf, 0);
    std::memcpy(brand + 16 * leaf, r, 16);
  }
  std::string s(brand);
  const auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return "unknown";
  s = s.substr(first, s.find_last_not_of(' ') - first + 1);
  return s;
}

// Whether Set (a name as InstructionSets writes it) is in Sets.
inline bool HasSet(const std::string& Sets, const char* Set) {
  const std::string padded = " " + Sets + " ";
  return padded.find(std::string(" ") + Set + " ") != std::string::npos;
}

// This processor's instruction sets, decoded once.
inline const std::string& MachineSets() {
  static const std::string sets = InstructionSets(&HardwareCpuid, HardwareXcr0());
  return sets;
}

}  // namespace bench
