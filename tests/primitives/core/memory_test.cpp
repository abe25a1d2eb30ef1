// Zero, copy, move, set and fill: argument checks, bit-exact results, guard bytes at
// every misalignment, and the non-temporal paths reached through a fake cache size.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core_test_support.h"
#include "sp/sp.h"

namespace {

using sptest::Bits;
using sptest::FakeCpuid;
using sptest::FromBits;
using sptest::Guarded;

const std::vector<sptest::Build> kBuilds = sptest::SupportedBuilds();
const std::vector<sptest::ProcessorBuild> kProcessorBuilds = sptest::SupportedProcessorBuilds();

// Bit patterns that must survive every data movement unchanged.
const uint32 kSpecialBits[] = {0x7F800001u /* signalling NaN */, 0xFFC00000u, 0x7FC00001u,
                               0x80000000u /* -0 */, 0x00000001u, 0x7F800000u, 0xFF800000u,
                               0x3F800000u, 0xDEADBEEFu};

TEST(MemoryChecks, PointersBeforeCountsAndNothingWritten) {
  for (const auto& b : kBuilds) {
    SCOPED_TRACE(b.name);
    Guarded dst(16, 0), src(16, 0);
    src.Fill(1);
    const std::vector<uint8> before(dst.data(), dst.data() + 16);
    EXPECT_EQ(b.copy(nullptr, dst.f32(), 0), SP_ERROR_NULL);
    EXPECT_EQ(b.copy(src.f32(), nullptr, 4), SP_ERROR_NULL);
    EXPECT_EQ(b.copy(src.f32(), dst.f32(), 0), SP_ERROR_LENGTH);
    EXPECT_EQ(b.copy(src.f32(), dst.f32(), -3), SP_ERROR_LENGTH);
    EXPECT_EQ(b.move(nullptr, dst.f32(), 0), SP_ERROR_NULL);
    EXPECT_EQ(b.move(src.f32(), nullptr, 4), SP_ERROR_NULL);
    EXPECT_EQ(b.move(src.f32(), dst.f32(), 0), SP_ERROR_LENGTH);
    EXPECT_EQ(b.zero(nullptr, 0), SP_ERROR_NULL);
    EXPECT_EQ(b.zero(dst.f32(), 0), SP_ERROR_LENGTH);
    EXPECT_EQ(b.zero(dst.f32(), -1), SP_ERROR_LENGTH);
    EXPECT_EQ(b.set(1.0f, nullptr, 0), SP_ERROR_NULL);
    EXPECT_EQ(b.set(1.0f, dst.f32(), 0), SP_ERROR_LENGTH);
    EXPECT_EQ(b.set32s(-1, nullptr, -1), SP_ERROR_NULL);
    EXPECT_EQ(b.set32s(-1, reinterpret_cast<int32*>(dst.data()), 0), SP_ERROR_LENGTH);
    EXPECT_EQ(std::vector<uint8>(dst.data(), dst.data() + 16), before);
    EXPECT_TRUE(dst.GuardsIntact());
  }
}

TEST(MemoryExact, CopyMoveSetKeepEveryBitPattern) {
  const int n = static_cast<int>(std::size(kSpecialBits));
  for (const auto& b : kBuilds) {
    SCOPED_TRACE(b.name);
    std::vector<float> src(n), dst(n), moved(n + 1);
    for (int i = 0; i < n; ++i) src[i] = FromBits(kSpecialBits[i]);
    ASSERT_EQ(b.copy(src.data(), dst.data(), n), SP_OK);
    for (int i = 0; i < n; ++i) EXPECT_EQ(Bits(dst[i]), kSpecialBits[i]);
    std::memcpy(moved.data(), src.data(), 4 * n);
    ASSERT_EQ(b.move(moved.data(), moved.data() + 1, n), SP_OK);  // shift up by one
    for (int i = 0; i < n; ++i) EXPECT_EQ(Bits(moved[i + 1]), kSpecialBits[i]);
    ASSERT_EQ(b.move(moved.data() + 1, moved.data(), n), SP_OK);  // and back down
    for (int i = 0; i < n; ++i) EXPECT_EQ(Bits(moved[i]), kSpecialBits[i]);
    for (uint32 pattern : kSpecialBits) {
      ASSERT_EQ(b.set(FromBits(pattern), dst.data(), n), SP_OK);
      for (int i = 0; i < n; ++i) EXPECT_EQ(Bits(dst[i]), pattern);
    }
    ASSERT_EQ(b.set32s(-1, reinterpret_cast<int32*>(dst.data()), n), SP_OK);
    for (int i = 0; i < n; ++i) EXPECT_EQ(Bits(dst[i]), 0xFFFFFFFFu);
    // Copy onto itself leaves the data as they are.
    ASSERT_EQ(b.copy(src.data(), src.data(), n), SP_OK);
    for (int i = 0; i < n; ++i) EXPECT_EQ(Bits(src[i]), kSpecialBits[i]);
  }
}

TEST(MemoryExact, SetNegativeZeroAndSevenElements) {
  for (const auto& b : kBuilds) {
    Guarded dst(28, 0);
    ASSERT_EQ(b.set(-0.0f, dst.f32(), 7), SP_OK);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(Bits(dst.f32()[i]), 0x80000000u) << b.name;
    EXPECT_TRUE(dst.GuardsIntact()) << b.name;
  }
}

// Byte sizes to sweep: every size up to 140, then sizes around the loop boundaries.
std::vector<size_t> SweepSizes() {
  std::vector<size_t> sizes;
  for (size_t n = 0; n <= 140; ++n) sizes.push_back(n);
  for (size_t n : {191, 192, 255, 256, 257, 1000, 4095, 4096, 4100}) sizes.push_back(n);
  return sizes;
}

TEST(MemoryGuards, CopyBytesEveryMisalignment) {
  const auto sizes = SweepSizes();
  for (const auto& b : kBuilds) {
    SCOPED_TRACE(b.name);
    for (size_t n : sizes) {
      for (size_t sm = 0; sm < 16; ++sm) {
        for (size_t dm = 0; dm < 16; ++dm) {
          if (n > 300 && (sm % 5 != 0 || dm % 3 != 0)) continue;
          Guarded src(n, sm), dst(n, dm);
          src.Fill(static_cast<uint32>(n * 256 + sm * 16 + dm));
          b.copyBytes(src.data(), dst.data(), static_cast<int64>(n));
          ASSERT_EQ(std::memcmp(src.data(), dst.data(), n), 0) << n << " " << sm << " " << dm;
          ASSERT_TRUE(dst.GuardsIntact()) << n << " " << sm << " " << dm;
        }
      }
    }
  }
}

// Aligned copies choose forward or backward by the page offsets of the two buffers.
TEST(MemoryGuards, AlignedCopyAtEveryPageDistance) {
  constexpr size_t kN = 1000;
  for (const auto& b : kBuilds) {
    for (int64 dist : {-4080, -3952, -3936, -160, -16, 0, 16, 144, 160, 176, 2048}) {
      Guarded buf(4 * 4096, 0);
      buf.Fill(static_cast<uint32>(dist + 5000));
      const int64 srcPage = dist < 0 ? 0 : 2048;  // offset within its page
      const size_t srcOff = static_cast<size_t>(2 * 4096 + srcPage);
      const size_t dstOff = static_cast<size_t>(srcPage - dist);  // in page 0
      std::vector<uint8> want(buf.data(), buf.data() + buf.size());
      std::memcpy(want.data() + dstOff, want.data() + srcOff, kN);
      b.copyBytes(buf.data() + srcOff, buf.data() + dstOff, kN);
      ASSERT_EQ(std::memcmp(buf.data(), want.data(), buf.size()), 0) << b.name << " " << dist;
      ASSERT_TRUE(buf.GuardsIntact());
    }
  }
}

TEST(MemoryGuards, CopyFloatsWordsAndByteTail) {
  for (const auto& b : kBuilds) {
    // One element to a destination 2 bytes past a 4-byte boundary; nine to an aligned one.
    Guarded src(36, 0), d1(4, 2), d9(36, 4);
    src.Fill(7);
    ASSERT_EQ(b.copy(src.f32(), d1.f32(), 1), SP_OK);
    ASSERT_EQ(b.copy(src.f32(), d9.f32(), 9), SP_OK);
    EXPECT_EQ(std::memcmp(src.data(), d1.data(), 4), 0) << b.name;
    EXPECT_EQ(std::memcmp(src.data(), d9.data(), 36), 0) << b.name;
    EXPECT_TRUE(d1.GuardsIntact() && d9.GuardsIntact()) << b.name;
  }
}

TEST(MemoryGuards, ZeroEveryMisalignment) {
  const auto sizes = SweepSizes();
  for (const auto& b : kBuilds) {
    for (size_t n : sizes) {
      for (size_t m = 0; m < 16; ++m) {
        Guarded dst(n, m);
        dst.Fill(static_cast<uint32>(n + m));
        b.zeroBytes(dst.data(), static_cast<int64>(n));
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(dst.data()[i], 0) << b.name << " " << n << " " << m;
        ASSERT_TRUE(dst.GuardsIntact()) << b.name << " " << n << " " << m;
      }
    }
    // spZero_32f on 1, 3, 8 and 9 elements clears exactly those.
    for (int len : {1, 3, 8, 9}) {
      Guarded dst(4 * len, 4);
      dst.Fill(3);
      ASSERT_EQ(b.zero(dst.f32(), len), SP_OK);
      for (int i = 0; i < len; ++i) EXPECT_EQ(Bits(dst.f32()[i]), 0u) << b.name;
      EXPECT_TRUE(dst.GuardsIntact()) << b.name << " " << len;
    }
  }
}

TEST(MemoryGuards, SetEveryMisalignment) {
  for (const auto& b : kBuilds) {
    for (int len = 1; len <= 100; ++len) {
      for (size_t m = 0; m < 16; ++m) {
        Guarded dst(4 * static_cast<size_t>(len), m);
        const uint32 value = 0x01020304u * static_cast<uint32>(len + 1);
        b.setKernel(value, dst.data(), len);
        for (int i = 0; i < len; ++i) {
          uint32 got;
          std::memcpy(&got, dst.data() + 4 * i, 4);
          ASSERT_EQ(got, value) << b.name << " len " << len << " misalign " << m << " item " << i;
        }
        ASSERT_TRUE(dst.GuardsIntact()) << b.name << " " << len << " " << m;
      }
    }
  }
}

// Fill kernels of every item size: each item carries the value's byte pattern.
TEST(MemoryGuards, FillKernelsEveryMisalignment) {
  for (const auto& pb : kProcessorBuilds) {
    const struct {
      size_t item;
      decltype(pb.fill32) fill;
    } kernels[] = {{2, pb.fill16}, {4, pb.fill32}, {8, pb.fill64}, {16, pb.fill128}};
    for (const auto& k : kernels) {
      uint8 item[16];
      for (size_t i = 0; i < 16; ++i) item[i] = static_cast<uint8>(0x11 * (i + 1));
      for (uint32 count = 1; count <= 40; ++count) {
        for (size_t m = 0; m < 16; ++m) {
          Guarded dst(k.item * count, m);
          EXPECT_EQ(k.fill(item, dst.data(), count), dst.data());
          for (uint32 i = 0; i < count; ++i) {
            ASSERT_EQ(std::memcmp(dst.data() + i * k.item, item, k.item), 0)
                << pb.name << " item " << k.item << " count " << count << " misalign " << m;
          }
          ASSERT_TRUE(dst.GuardsIntact()) << pb.name << " " << k.item << " " << count << " " << m;
        }
      }
    }
  }
}

// Reference move: memmove on a copy of the whole buffer.
TEST(MemoryMove, OverlapBothDirectionsEveryMisalignment) {
  constexpr size_t kSpan = 600;
  for (const auto& b : kBuilds) {
    SCOPED_TRACE(b.name);
    for (int len : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 40, 64, 100}) {
      const size_t bytes = 4 * static_cast<size_t>(len);
      for (size_t m = 0; m < 16; ++m) {
        for (int delta = -72; delta <= 72; delta += (len > 20 ? 3 : 1)) {
          Guarded buf(kSpan, m);
          buf.Fill(static_cast<uint32>(len * 1000 + delta + 500 + m));
          std::vector<uint8> want(buf.data(), buf.data() + kSpan);
          const size_t srcOff = 100, dstOff = static_cast<size_t>(100 + delta);
          std::memmove(want.data() + dstOff, want.data() + srcOff, bytes);
          ASSERT_EQ(b.move(reinterpret_cast<float*>(buf.data() + srcOff),
                           reinterpret_cast<float*>(buf.data() + dstOff), len),
                    SP_OK);
          ASSERT_EQ(std::memcmp(buf.data(), want.data(), kSpan), 0) << len << " " << m << " " << delta;
          ASSERT_TRUE(buf.GuardsIntact());
        }
      }
    }
  }
}

TEST(MemoryMove, ByteMovesOfEveryLength) {
  constexpr size_t kSpan = 760;
  for (const auto& pb : kProcessorBuilds) {
    for (size_t n = 0; n <= 300; n += (n < 140 ? 1 : 7)) {
      for (int delta : {-37, -16, -5, -4, -1, 1, 3, 4, 8, 16, 29, 64, 200}) {
        for (size_t m : {0, 1, 4, 7, 12}) {
          Guarded buf(kSpan, m);
          buf.Fill(static_cast<uint32>(n * 77 + delta + 100 + m));
          std::vector<uint8> want(buf.data(), buf.data() + kSpan);
          const size_t srcOff = 240, dstOff = static_cast<size_t>(240 + delta);
          std::memmove(want.data() + dstOff, want.data() + srcOff, n);
          pb.moveBytes(buf.data() + srcOff, buf.data() + dstOff, n);
          ASSERT_EQ(std::memcmp(buf.data(), want.data(), kSpan), 0) << pb.name << " " << n << " " << delta;
          ASSERT_TRUE(buf.GuardsIntact());
        }
      }
    }
  }
}

TEST(MemoryMove, SameAddressChangesNothing) {
  for (const auto& b : kBuilds) {
    float v[4] = {1, 2, 3, 4};
    EXPECT_EQ(b.move(v, v, 4), SP_OK);
    EXPECT_EQ(v[3], 4.0f);
    EXPECT_EQ(v[0], 1.0f);
  }
}

// ---- non-temporal paths, reached through a fake cache size

TEST(MemoryLarge, ProbeReadsTheDescriptorTable) {
  for (const auto& pb : kProcessorBuilds) {
    {
      FakeCpuid cpu;
      cpu.SetIntelCache({0x22, 0x49, 0x2C}, 4);  // 512 KB and 4 MB: the larger row wins
      EXPECT_EQ(pb.probeCache(false), 4u << 20) << pb.name;
      EXPECT_EQ(pb.probeCache(true), 1u << 20) << pb.name;
    }
    {
      FakeCpuid cpu;
      cpu.SetIntelCache({0x4C});
      EXPECT_EQ(pb.probeCache(false), 12u << 20) << pb.name;
    }
    {
      FakeCpuid cpu;
      cpu.SetIntelCache({0x2C, 0x30});  // no cache row
      EXPECT_EQ(pb.probeCache(false), 0u) << pb.name;
    }
    {
      FakeCpuid cpu;
      cpu.SetIntelCache({0x4D});
      cpu.SetVendor("AuthenticAMD", 4);
      EXPECT_EQ(pb.probeCache(false), 0u) << pb.name;
    }
    {
      FakeCpuid cpu;
      cpu.SetIntelCache({});
      cpu.Set(2, 0x80000001u, 0x00000045u, 0, 0x80000043u);  // EAX, EDX invalid
      EXPECT_EQ(pb.probeCache(false), 2u << 20) << pb.name;
    }
    {
      FakeCpuid cpu;
      cpu.SetIntelCache({});
      cpu.Set(2, 0x00004502u, 0, 0, 0);  // iteration count 2
      EXPECT_EQ(pb.probeCache(false), 0u) << pb.name;
    }
  }
}

// The large copy, zero and fill probe the cache once, not on every call, and again
// after another reader is installed; their results stay the same.
TEST(MemoryLarge, CacheIsProbedOncePerReader) {
  constexpr size_t kBytes = 0x100000 + 64;  // past every build's non-temporal threshold
  for (const auto& b : kBuilds) {
    if (b.cls == 0) continue;  // the generic build never probes
    for (uint32 cores : {1u, 4u}) {
      FakeCpuid cpu;
      cpu.SetIntelCache({0x22}, cores);  // 512 KB: every large path streams
      Guarded src(kBytes, 0), dst(kBytes, 0);
      src.Fill(7);
      int firstCallReads = -1;
      for (int call = 0; call < 4; ++call) {
        dst.Fill(1);
        b.copyBytes(src.data(), dst.data(), static_cast<int64>(kBytes));
        ASSERT_EQ(std::memcmp(src.data(), dst.data(), kBytes), 0) << b.name;
        b.zeroBytes(dst.data(), static_cast<int64>(kBytes));
        for (size_t i = 0; i < kBytes; ++i) ASSERT_EQ(dst.data()[i], 0) << b.name;
        const uint32 value = 0x3F800000u;
        b.setKernel(value, dst.data(), static_cast<int>(kBytes / 4));
        for (size_t i = 0; i < kBytes; i += 4) ASSERT_EQ(std::memcmp(dst.data() + i, &value, 4), 0) << b.name;
        ASSERT_TRUE(dst.GuardsIntact()) << b.name;
        if (call == 0) firstCallReads = cpu.Reads();
      }
      // Leaves 0, 2 and 4 once for the first call; nothing after it.
      EXPECT_EQ(firstCallReads, 3) << b.name << " cores " << cores;
      EXPECT_EQ(cpu.Reads(), firstCallReads) << b.name << " cores " << cores;
      {
        FakeCpuid other;  // a new reader: probed again, once
        other.SetIntelCache({0x4C});
        b.copyBytes(src.data(), dst.data(), static_cast<int64>(kBytes));
        b.zeroBytes(dst.data(), static_cast<int64>(kBytes));
        EXPECT_EQ(other.Reads(), 3) << b.name;
      }
    }
  }
}

struct LargeCase {
  size_t bytes;
  size_t srcMis, dstMis;
};

TEST(MemoryLarge, CopyAcrossTheNonTemporalThresholds) {
  // 512 KB cache: the SSE3 copy streams from 0x80000 bytes, the others from 0x100000.
  const LargeCase cases[] = {{0x80000 - 16, 0, 0}, {0x80000, 0, 0},         {0x80000 + 13, 3, 0},
                             {0xC000D, 0, 5},      {0x100000 + 0x4001D, 7, 9}, {0x100000, 4, 12},
                             {0x100010, 12, 4},    {0x100000 + 100, 8, 0}};
  for (const auto& b : kBuilds) {
    for (const LargeCase& c : cases) {
      FakeCpuid cpu;
      cpu.SetIntelCache({0x22});
      Guarded src(c.bytes, c.srcMis), dst(c.bytes, c.dstMis);
      src.Fill(static_cast<uint32>(c.bytes));
      b.copyBytes(src.data(), dst.data(), static_cast<int64>(c.bytes));
      ASSERT_EQ(std::memcmp(src.data(), dst.data(), c.bytes), 0) << b.name << " " << c.bytes;
      ASSERT_TRUE(dst.GuardsIntact()) << b.name << " " << c.bytes;
    }
  }
}

TEST(MemoryLarge, ZeroAndFillAcrossTheNonTemporalThresholds) {
  for (const auto& b : kBuilds) {
    for (size_t bytes : {size_t{0x80000}, size_t{0x80000 + 4}, size_t{0x80000 + 36}}) {
      for (size_t m : {0, 1, 2, 4, 8, 13}) {
        FakeCpuid cpu;
        cpu.SetIntelCache({0x22});
        Guarded dst(bytes, m);
        dst.Fill(1);
        b.zeroBytes(dst.data(), static_cast<int64>(bytes));
        for (size_t i = 0; i < bytes; ++i) ASSERT_EQ(dst.data()[i], 0) << b.name << " " << bytes << " " << m;
        ASSERT_TRUE(dst.GuardsIntact()) << b.name;
      }
    }
    for (int len : {0x40000, 0x40001, 0x40000 + 7}) {
      for (size_t m : {0, 1, 2, 4, 8}) {
        FakeCpuid cpu;
        cpu.SetIntelCache({0x22});
        Guarded dst(4 * static_cast<size_t>(len), m);
        const uint32 value = 0x80000001u;
        b.setKernel(value, dst.data(), len);
        for (int i = 0; i < len; ++i) {
          ASSERT_EQ(std::memcmp(dst.data() + 4 * static_cast<size_t>(i), &value, 4), 0)
              << b.name << " " << len << " " << m << " " << i;
        }
        ASSERT_TRUE(dst.GuardsIntact()) << b.name;
      }
    }
  }
}

}  // namespace
