// Test support for the core primitives: the builds this processor can run, a fake CPUID,
// and buffers with guard bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "float_bits.h"
#include "sp/core.h"
#include "sp/core_bodies.h"

namespace sptest {

// The bodies of one build.
struct Build {
  std::string name;
  int32 cls;
  decltype(&sp::generic::spZero_32f) zero;
  decltype(&sp::generic::spZeroBytes) zeroBytes;
  decltype(&sp::generic::spMove_32f) move;
  decltype(&sp::generic::spCopy_32f) copy;
  decltype(&sp::generic::spCopyBytes) copyBytes;
  decltype(&sp::generic::spSet_32f) set;
  decltype(&sp::generic::spSet_32s) set32s;
  decltype(&sp::generic::spSetKernel_32s) setKernel;
  decltype(&sp::generic::spMulConst_32f) mulConst;
  decltype(&sp::generic::spDivConstByReciprocal_32f) divConstByReciprocal;
  decltype(&sp::generic::spMulConstInPlace_32f) mulConstInPlace;
  decltype(&sp::generic::spDivConstInPlace_32f) divConstInPlace;
  decltype(&sp::generic::spAddConstInPlace_32f) addConstInPlace;
  decltype(&sp::generic::spAddInPlace_32f) addInPlace;
  decltype(&sp::generic::spInterleave_32f) interleave;
  decltype(&sp::generic::spDeinterleave_32f) deinterleave;
};

#define SPTEST_BUILD(ns, cls)                                                                  \
  ::sptest::Build {                                                                            \
    #ns, cls, &sp::ns::spZero_32f, &sp::ns::spZeroBytes, &sp::ns::spMove_32f, &sp::ns::spCopy_32f, \
        &sp::ns::spCopyBytes, &sp::ns::spSet_32f, &sp::ns::spSet_32s, &sp::ns::spSetKernel_32s,   \
        &sp::ns::spMulConst_32f, &sp::ns::spDivConstByReciprocal_32f,                          \
        &sp::ns::spMulConstInPlace_32f, &sp::ns::spDivConstInPlace_32f,                        \
        &sp::ns::spAddConstInPlace_32f, &sp::ns::spAddInPlace_32f, &sp::ns::spInterleave_32f,  \
        &sp::ns::spDeinterleave_32f                                                            \
  }

// The generic build and every processor build this machine supports.
inline std::vector<Build> SupportedBuilds() {
  std::vector<Build> builds{SPTEST_BUILD(generic, 0)};
  __builtin_cpu_init();
  if (__builtin_cpu_supports("sse3")) builds.push_back(SPTEST_BUILD(sse3, 1));
  if (__builtin_cpu_supports("ssse3")) builds.push_back(SPTEST_BUILD(ssse3, 2));
  if (__builtin_cpu_supports("sse4.1")) builds.push_back(SPTEST_BUILD(sse41, 3));
  return builds;
}

// The processor builds only, with their kernels.
struct ProcessorBuild {
  std::string name;
  decltype(&sp::sse3::spMoveBytes) moveBytes;
  decltype(&sp::sse3::spFillKernel_16s) fill16;
  decltype(&sp::sse3::spFillKernel_32s) fill32;
  decltype(&sp::sse3::spFillKernel_64s) fill64;
  decltype(&sp::sse3::spFillKernel_64sc) fill128;
  decltype(&sp::sse3::spProbeCacheSize) probeCache;
  decltype(&sp::sse3::spInterleaveTwoKernel_32f) interleaveTwo;
  decltype(&sp::sse3::spDeinterleaveTwoKernel_32f) deinterleaveTwo;
};

#define SPTEST_PROCESSOR_BUILD(ns)                                                             \
  ::sptest::ProcessorBuild {                                                                   \
    #ns, &sp::ns::spMoveBytes, &sp::ns::spFillKernel_16s, &sp::ns::spFillKernel_32s,           \
        &sp::ns::spFillKernel_64s, &sp::ns::spFillKernel_64sc, &sp::ns::spProbeCacheSize,      \
        &sp::ns::spInterleaveTwoKernel_32f, &sp::ns::spDeinterleaveTwoKernel_32f               \
  }

inline std::vector<ProcessorBuild> SupportedProcessorBuilds() {
  std::vector<ProcessorBuild> builds;
  __builtin_cpu_init();
  if (__builtin_cpu_supports("sse3")) builds.push_back(SPTEST_PROCESSOR_BUILD(sse3));
  if (__builtin_cpu_supports("ssse3")) builds.push_back(SPTEST_PROCESSOR_BUILD(ssse3));
  if (__builtin_cpu_supports("sse4.1")) builds.push_back(SPTEST_PROCESSOR_BUILD(sse41));
  return builds;
}

// Installs a CPUID reader that answers from a table (unknown leaves read as zeros) for
// the lifetime of the object.
class FakeCpuid {
 public:
  FakeCpuid() : previous_(spSetCpuidReader(&Read)) { active_ = this; }
  ~FakeCpuid() {
    spSetCpuidReader(previous_);
    active_ = nullptr;
  }
  FakeCpuid(const FakeCpuid&) = delete;
  FakeCpuid& operator=(const FakeCpuid&) = delete;

  void Set(uint32 leaf, uint32 eax, uint32 ebx, uint32 ecx, uint32 edx, uint32 subleaf = 0) {
    leaves_[{leaf, subleaf}] = {eax, ebx, ecx, edx};
  }
  // Vendor string of leaf 0 and its highest basic leaf.
  void SetVendor(const char vendor[13], uint32 maxLeaf) {
    uint32 w[3];
    std::memcpy(w, vendor, 12);
    Set(0, maxLeaf, w[0], w[2], w[1]);
  }
  // An Intel processor whose leaf 2 reports the given descriptor bytes in EBX (and
  // cores per package through leaf 4).
  void SetIntelCache(std::vector<uint8> descriptors, uint32 cores = 1) {
    SetVendor("GenuineIntel", 4);
    uint32 regs[4] = {1, 0, 0, 0};
    for (size_t i = 0; i < descriptors.size() && i < 15; ++i) {
      const size_t pos = i + 1;  // byte 0 of EAX is the iteration count
      regs[pos / 4] |= static_cast<uint32>(descriptors[i]) << (8 * (pos % 4));
    }
    Set(2, regs[0], regs[1], regs[2], regs[3]);
    Set(4, (cores - 1) << 26, 0, 0, 0);
  }
  int Reads() const { return reads_; }

 private:
  static void Read(uint32* out, uint32 leaf, uint32 subleaf) {
    FakeCpuid* self = active_;
    ++self->reads_;
    auto it = self->leaves_.find({leaf, subleaf});
    if (it == self->leaves_.end()) it = self->leaves_.find({leaf, 0});
    if (it == self->leaves_.end()) {
      out[0] = out[1] = out[2] = out[3] = 0;
      return;
    }
    std::memcpy(out, it->second.data(), 16);
  }

  static inline FakeCpuid* active_ = nullptr;
  spCpuidReader previous_;
  std::map<std::pair<uint32, uint32>, std::vector<uint32>> leaves_;
  int reads_ = 0;
};

// Installs an MXCSR mask reader that answers the given mask, standing for the FXSAVE
// image of another processor, for the lifetime of the object.
class FakeMxcsrMask {
 public:
  explicit FakeMxcsrMask(uint32 mask) : previous_(spSetMxcsrMaskReader(&Read)) { mask_ = mask; }
  ~FakeMxcsrMask() { spSetMxcsrMaskReader(previous_); }
  FakeMxcsrMask(const FakeMxcsrMask&) = delete;
  FakeMxcsrMask& operator=(const FakeMxcsrMask&) = delete;

 private:
  static uint32 Read() { return mask_; }

  static inline uint32 mask_ = 0;
  spMxcsrMaskReader previous_;
};

// A byte range at a chosen offset from a 64-byte boundary, with guard bytes on both sides.
class Guarded {
 public:
  static constexpr size_t kGuard = 64;
  static constexpr uint8 kGuardByte = 0xA5;

  Guarded(size_t bytes, size_t misalign) : bytes_(bytes), storage_(bytes + 2 * kGuard + 128, kGuardByte) {
    const auto base = reinterpret_cast<std::uintptr_t>(storage_.data());
    const size_t toAligned = (64 - (base & 63)) & 63;
    offset_ = toAligned + kGuard + misalign;
  }
  uint8* data() { return storage_.data() + offset_; }
  float* f32() { return reinterpret_cast<float*>(data()); }
  size_t size() const { return bytes_; }
  // True when every byte outside [data, data + size) still holds the guard value.
  bool GuardsIntact() const {
    for (size_t i = 0; i < storage_.size(); ++i) {
      if ((i < offset_ || i >= offset_ + bytes_) && storage_[i] != kGuardByte) return false;
    }
    return true;
  }
  void Fill(uint32 seed) {
    uint32 x = seed * 2654435761u + 1;
    for (size_t i = 0; i < bytes_; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      data()[i] = static_cast<uint8>(x);
    }
  }

 private:
  size_t bytes_;
  std::vector<uint8> storage_;
  size_t offset_ = 0;
};

}  // namespace sptest
