// Interleave and de-interleave: checks in order, the alignment warning, exact data and
// every build against the generic one.
#include <gtest/gtest.h>

#include <vector>

#include "core_test_support.h"
#include "sp/sp.h"

namespace {

using sptest::Bits;
using sptest::Guarded;

const std::vector<sptest::Build> kBuilds = sptest::SupportedBuilds();

TEST(InterleaveChecks, OrderOfChecksAndNothingWritten) {
  for (const auto& b : kBuilds) {
    SCOPED_TRACE(b.name);
    alignas(16) float c0[4] = {1, 2, 3, 4}, c2[4] = {9, 9, 9, 9}, out[12] = {};
    const float* src[3] = {c0, nullptr, c2};
    EXPECT_EQ(b.interleave(nullptr, 0, 0, out), SP_ERROR_NULL);
    EXPECT_EQ(b.interleave(src, 3, 4, nullptr), SP_ERROR_NULL);
    EXPECT_EQ(b.interleave(src, 0, 0, out), SP_ERROR_CHANNEL_COUNT);
    EXPECT_EQ(b.interleave(src, -1, 4, out), SP_ERROR_CHANNEL_COUNT);
    EXPECT_EQ(b.interleave(src, 1, 0, out), SP_ERROR_LENGTH);
    EXPECT_EQ(b.interleave(src, 3, 4, out), SP_ERROR_NULL);  // channel 1
    for (float x : out) EXPECT_EQ(x, 0.0f);

    alignas(16) float d0[4] = {}, d2[4] = {};
    float* dst[3] = {d0, nullptr, d2};
    EXPECT_EQ(b.deinterleave(nullptr, 3, 4, dst), SP_ERROR_NULL);
    EXPECT_EQ(b.deinterleave(out, 0, 0, nullptr), SP_ERROR_NULL);
    EXPECT_EQ(b.deinterleave(out, 0, 0, dst), SP_ERROR_CHANNEL_COUNT);
    EXPECT_EQ(b.deinterleave(out, 2, -5, dst), SP_ERROR_LENGTH);
    EXPECT_EQ(b.deinterleave(c0, 3, 1, dst), SP_ERROR_NULL);
    EXPECT_EQ(d0[0], 0.0f);
  }
}

TEST(InterleaveExact, TwoChannelExampleAndWarning) {
  for (const auto& b : kBuilds) {
    SCOPED_TRACE(b.name);
    alignas(16) float c0[4] = {1, 2, 3}, c1[4] = {4, 5, 6}, out[8] = {};
    const float* src[2] = {c0, c1};
    EXPECT_EQ(b.interleave(src, 2, 3, out), SP_OK);
    EXPECT_EQ(std::vector<float>(out, out + 6), (std::vector<float>{1, 4, 2, 5, 3, 6}));
    alignas(16) float buf[10] = {};
    EXPECT_EQ(b.interleave(src, 2, 3, buf + 1), SP_WARNING_UNALIGNED);
    EXPECT_EQ(std::vector<float>(buf + 1, buf + 7), (std::vector<float>{1, 4, 2, 5, 3, 6}));
    const float* shifted[2] = {c0, c1 + 1};
    EXPECT_EQ(b.interleave(shifted, 2, 2, out), SP_WARNING_UNALIGNED);

    alignas(16) float d0[4] = {}, d1[4] = {};
    float* dst[2] = {d0, d1};
    EXPECT_EQ(b.deinterleave(out, 2, 2, dst), SP_OK);
    EXPECT_EQ(d0[1], 2.0f);
    EXPECT_EQ(d1[1], 6.0f);
    float* dstShifted[2] = {d0, d1 + 1};
    EXPECT_EQ(b.deinterleave(buf + 1, 2, 3, dstShifted), SP_WARNING_UNALIGNED);
    EXPECT_EQ(std::vector<float>(d0, d0 + 3), (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(std::vector<float>(d1 + 1, d1 + 4), (std::vector<float>{4, 5, 6}));
  }
}

TEST(InterleaveExact, OneChannelIsACopyAndOneFrameOfFive) {
  for (const auto& b : kBuilds) {
    alignas(16) float c[5][4] = {{1}, {2}, {3}, {4}, {5}}, out[8] = {};
    const float* src[5] = {c[0], c[1], c[2], c[3], c[4]};
    EXPECT_EQ(b.interleave(src, 5, 1, out), SP_OK);
    EXPECT_EQ(std::vector<float>(out, out + 5), (std::vector<float>{1, 2, 3, 4, 5})) << b.name;
    alignas(16) float one[4] = {7, 8, 9, 10}, copy[4] = {};
    const float* s1[1] = {one};
    float* d1[1] = {copy};
    EXPECT_EQ(b.interleave(s1, 1, 4, copy), SP_OK);
    EXPECT_EQ(copy[3], 10.0f);
    copy[3] = 0;
    EXPECT_EQ(b.deinterleave(one, 1, 4, d1), SP_OK);
    EXPECT_EQ(copy[3], 10.0f);
  }
}

// Every build against a direct index formula, bit for bit, with guards around every
// buffer, for 1..13 channels (groups of four and every remainder), lengths 1..40 and
// element offsets 0..3.
TEST(InterleaveBuilds, MatchTheLayoutWithGuards) {
  for (const auto& b : kBuilds) {
    SCOPED_TRACE(b.name);
    for (int channels = 1; channels <= 13; ++channels) {
      for (int len = 1; len <= 40; ++len) {
        for (size_t mis = 0; mis < 16; mis += 4) {
          const size_t total = static_cast<size_t>(channels) * len;
          std::vector<Guarded> planes;
          for (int c = 0; c < channels; ++c) planes.emplace_back(4 * len, (mis + 4 * c) % 16);
          Guarded inter(4 * total, mis);
          for (int c = 0; c < channels; ++c) planes[c].Fill(static_cast<uint32>(c * 1000 + len));
          std::vector<const float*> src;
          for (auto& p : planes) src.push_back(p.f32());
          const spStatus status = b.interleave(src.data(), channels, len, inter.f32());
          bool anyUnaligned = mis != 0;
          for (auto& p : planes) anyUnaligned |= (reinterpret_cast<std::uintptr_t>(p.data()) & 15) != 0;
          ASSERT_EQ(status, anyUnaligned ? SP_WARNING_UNALIGNED : SP_OK);
          for (int k = 0; k < len; ++k) {
            for (int c = 0; c < channels; ++c) {
              ASSERT_EQ(std::memcmp(inter.data() + 4 * (static_cast<size_t>(k) * channels + c),
                                    planes[c].data() + 4 * k, 4),
                        0);
            }
          }
          ASSERT_TRUE(inter.GuardsIntact());

          std::vector<Guarded> back;
          for (int c = 0; c < channels; ++c) back.emplace_back(4 * len, (mis + 8 * c) % 16);
          std::vector<float*> dst;
          for (auto& p : back) dst.push_back(p.f32());
          ASSERT_GE(b.deinterleave(inter.f32(), channels, len, dst.data()), 0);
          for (int c = 0; c < channels; ++c) {
            ASSERT_EQ(std::memcmp(back[c].data(), planes[c].data(), 4 * len), 0) << channels << " " << len;
            ASSERT_TRUE(back[c].GuardsIntact());
          }
        }
      }
    }
  }
}

TEST(InterleaveExact, SignallingNaNsPassUnchanged) {
  for (const auto& b : kBuilds) {
    alignas(16) float c0[12], c1[12], out[24];
    for (int i = 0; i < 12; ++i) {
      c0[i] = sptest::FromBits(0x7F800001u + i);
      c1[i] = sptest::FromBits(0xFF800001u + i);
    }
    const float* src[2] = {c0, c1};
    ASSERT_EQ(b.interleave(src, 2, 12, out), SP_OK);
    for (int i = 0; i < 12; ++i) {
      EXPECT_EQ(Bits(out[2 * i]), 0x7F800001u + i) << b.name;
      EXPECT_EQ(Bits(out[2 * i + 1]), 0xFF800001u + i) << b.name;
    }
  }
}

}  // namespace
