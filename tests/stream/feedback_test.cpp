// Explicit-feedback arithmetic: the wire formats, the snapping of the 44.1 kHz family, the
// conversion to hertz against an exact rational oracle, the averaging of one URB with its
// doubling rule, the packets that do not count, and the render fill rule at a measured
// rate against the exact frame count it must add up to.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "stream/feedback.h"

namespace {

using namespace stream::feedback;

// A feedback URB of `values`, every packet whole and good unless a test spoils one.
struct Urb {
  Urb(std::vector<ULONG> values, ULONG bytes, ULONG packetsPerSecond, ULONG nominal)
      : buffer(values.size() * bytes), packets(values.size()) {
    for (size_t i = 0; i < values.size(); ++i) {
      for (ULONG b = 0; b < bytes; ++b) buffer[i * bytes + b] = static_cast<UCHAR>(values[i] >> (8 * b));
      packets[i] = {static_cast<ULONG>(i * bytes), bytes, USBD_STATUS_SUCCESS};
    }
    urb = {buffer.data(), packets.data(), static_cast<ULONG>(values.size()), bytes, packetsPerSecond, nominal, 1};
  }
  std::vector<UCHAR> buffer;
  std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets;
  FeedbackUrb urb{};
};

// floor(value x pps / 65536) without any machine-width product.
ULONG ExactHz(ULONG value, ULONG pps) {
  return static_cast<ULONG>((static_cast<unsigned __int128>(value) * pps) / 65536u);
}

TEST(FeedbackFormats, TenFourteenKeepsItsLowTwentyFourBitsShiftedByTwo) {
  EXPECT_EQ(TenFourteenToSixteenSixteen(0x0B0640), 0x2C1900u);
  EXPECT_EQ(TenFourteenToSixteenSixteen(0x0C0000), 0x300000u);  // 48.0 samples per frame
  EXPECT_EQ(TenFourteenToSixteenSixteen(0xFF0B0640), 0x2C1900u);  // a fourth byte is no part of it
}

TEST(FeedbackSnapping, FullSpeedTableAsReceivedAndAsPlayed) {
  struct Row {
    ULONG received, as16, replaced, hz;
  };
  const Row rows[] = {
      {0x0B0640, 0x2C1900, 0x2C199A, 44100},  {0x0AE640, 0x2B9900, 0x2B99A0, 43600},
      {0x0B2640, 0x2C9900, 0x2C99A0, 44600},  {0x160CC0, 0x583300, 0x583338, 88200},
      {0x15ECC0, 0x57B300, 0x57B338, 87700},  {0x162CC0, 0x58B300, 0x58B338, 88700},
      {0x2C1980, 0xB06600, 0xB06668, 176400}, {0x2BF980, 0xAFE600, 0xAFE668, 175900},
      {0x2C3980, 0xB0E600, 0xB0E668, 176900},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.hz);
    EXPECT_EQ(TenFourteenToSixteenSixteen(r.received), r.as16);
    EXPECT_EQ(SnapFullSpeed(r.as16), r.replaced);
    EXPECT_EQ(FeedbackHz(r.replaced, 1000), r.hz);
    // The whole path: one URB of that value alone, at the family rate it belongs to.
    Urb u({r.received}, kFullSpeedPacketBytes, 1000, r.hz);
    EXPECT_EQ(ParseFeedback(u.urb, 0).Rate, static_cast<LONG>(r.hz));
    // Snapping is for the cut values only: the exact value and its neighbours pass as they are.
    EXPECT_EQ(SnapFullSpeed(r.replaced), r.replaced);
    EXPECT_EQ(SnapFullSpeed(r.as16 + 1), r.as16 + 1);
  }
}

TEST(FeedbackSnapping, HighSpeedTableAsReceivedAndAsPlayed) {
  struct Row {
    ULONG received, replaced, hz;
  };
  const Row rows[] = {
      {0x58380, 0x58334, 44100},    {0x57380, 0x57334, 43600},    {0x59380, 0x59334, 44600},
      {0xB0640, 0xB0667, 88200},    {0xAF640, 0xAF667, 87700},    {0xB1640, 0xB1667, 88700},
      {0x160C60, 0x160CCD, 176400}, {0x15FC60, 0x15FCCD, 175900}, {0x161C60, 0x161CCD, 176900},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.hz);
    EXPECT_EQ(SnapHighSpeed(r.received), r.replaced);
    EXPECT_EQ(FeedbackHz(r.replaced, 8000), r.hz);
    Urb u({r.received}, kHighSpeedPacketBytes, 8000, r.hz);
    EXPECT_EQ(ParseFeedback(u.urb, 0).Rate, static_cast<LONG>(r.hz));
    EXPECT_EQ(SnapHighSpeed(r.replaced), r.replaced);
  }
  // The tables belong to their bus: a full-speed cut value is no high-speed one.
  EXPECT_EQ(SnapHighSpeed(0x2C1900), 0x2C1900u);
  EXPECT_EQ(SnapFullSpeed(0x58380), 0x58380u);
}

TEST(FeedbackHz, IsTheExactFloorForEveryValueAndPacketRate) {
  std::mt19937 rng(31);
  std::uniform_int_distribution<ULONG> any;
  for (ULONG pps : {1000u, 2000u, 4000u, 8000u, 65536u}) {
    for (int i = 0; i < 20000; ++i) {
      const ULONG v = any(rng);
      ASSERT_EQ(FeedbackHz(v, pps), ExactHz(v, pps)) << std::hex << v << std::dec << " at " << pps;
    }
    // The extremes, where a 32-bit product of the fraction and the packet rate overflows.
    for (ULONG v : {0u, 0xFFFFu, 0x10000u, 0xFFFFFFFFu, 0x5FFFFFu, 0xBFFFFu})
      EXPECT_EQ(FeedbackHz(v, pps), ExactHz(v, pps)) << std::hex << v;
  }
}

TEST(FeedbackParse, ExampleValues) {
  struct Row {
    const char* what;
    std::vector<ULONG> values;
    ULONG bytes, pps, nominal;
    LONG before, rate;
    ULONG counted;
  };
  const Row rows[] = {
      {"full speed 44.1 kHz cut value: exactly 44,100, not 44,097", std::vector<ULONG>(10, 0x0B0640), 3, 1000,
       44100, 44100, 44100, 10},
      {"high speed 44.1 kHz cut value", std::vector<ULONG>(10, 0x58380), 4, 8000, 44100, 44100, 44100, 10},
      {"zero in every packet: nothing counted, the rate stays", std::vector<ULONG>(10, 0), 3, 1000, 44100, 44123,
       44123, 0},
      {"48 kHz at full speed, exactly 48.0", std::vector<ULONG>(10, 0x0C0000), 3, 1000, 48000, 48000, 48000, 10},
      {"nine at 44,100 and one at 44,600: mean 44,150, doubled to 44,200",
       {0x0B0640, 0x0B0640, 0x0B0640, 0x0B0640, 0x0B2640, 0x0B0640, 0x0B0640, 0x0B0640, 0x0B0640, 0x0B0640}, 3,
       1000, 44100, 44100, 44200, 10},
      {"nine at 44,100 and one at 43,600: doubled below",
       {0x58380, 0x58380, 0x58380, 0x57380, 0x58380, 0x58380, 0x58380, 0x58380, 0x58380, 0x58380}, 4, 8000, 44100,
       44100, 44000, 10},
      {"a deviation other than 500 / n is not doubled",
       {0x0B2640, 0x0B2640, 0x0B0640, 0x0B0640, 0x0B0640, 0x0B0640, 0x0B0640, 0x0B0640, 0x0B0640, 0x0B0640}, 3,
       1000, 44100, 44100, 44200, 10},
      {"values past 1000 Hz off nominal are ignored", {0x0C0000, 0x0D0000, 0x0B0000, 0x0C0000}, 3, 1000, 48000,
       47990, 48000, 2},
      {"five packets: the doubling step is 100 Hz", {0x0B2640, 0x0B0640, 0x0B0640, 0x0B0640, 0x0B0640}, 3, 1000,
       44100, 44100, 44300, 5},
      {"a device 1.6 Hz fast at high speed (0x6000D): floored to 48,001", std::vector<ULONG>(10, 0x6000D), 4, 8000, 48000,
       48000, 48001, 10},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Urb u(r.values, r.bytes, r.pps, r.nominal);
    const FeedbackResult got = ParseFeedback(u.urb, r.before);
    EXPECT_EQ(got.Rate, r.rate);
    EXPECT_EQ(got.Counted, r.counted);
  }
}

// An endpoint polled several times per frame reports each frame's rate in several packets:
// the mean is over every packet, and the doubling step stays 500 / frames.
TEST(FeedbackParse, SeveralPacketsPerFrame) {
  struct Row {
    const char* what;
    ULONG perFrame;
    std::vector<ULONG> frames;  // one value per frame, repeated perFrame times
    LONG rate;
  };
  const ULONG n = 0x58380, up = 0x59380;  // high speed 44,100 and 44,600 Hz
  const Row rows[] = {
      {"eight per frame, one frame of ten at +500: doubled", 8, {n, n, n, up, n, n, n, n, n, n}, 44200},
      {"four per frame, one frame of five at +500: doubled", 4, {n, n, up, n, n}, 44300},
      {"two per frame, two frames of ten at +500: not doubled", 2, {up, n, n, n, n, n, n, n, up, n}, 44200},
      {"0 taken as one per frame", 0, {n, n, n, n, up}, 44300},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const ULONG per = r.perFrame ? r.perFrame : 1;
    std::vector<ULONG> values;
    for (ULONG v : r.frames) values.insert(values.end(), per, v);
    Urb u(values, 4, 8000, 44100);
    u.urb.PacketsPerFrame = r.perFrame;
    const FeedbackResult got = ParseFeedback(u.urb, 44100);
    EXPECT_EQ(got.Rate, r.rate);
    EXPECT_EQ(got.Counted, values.size());
  }
  // A single +500 Hz poll among eight per frame is one eighth of a frame's report, not a
  // whole frame's: its mean is kept as it is.
  std::vector<ULONG> values(80, n);
  values[17] = up;
  Urb u(values, 4, 8000, 44100);
  u.urb.PacketsPerFrame = 8;
  EXPECT_EQ(ParseFeedback(u.urb, 44100).Rate, 44106);
}

// Stale data must never count: a packet the device left short or empty, or one that
// failed, is skipped whatever its buffer bytes hold.
TEST(FeedbackParse, OnlyWholeGoodPacketsCount) {
  struct Row {
    const char* what;
    ULONG length;
    USBD_STATUS status;
  };
  const Row rows[] = {
      {"empty packet", 0, USBD_STATUS_SUCCESS},
      {"short packet", 2, USBD_STATUS_SUCCESS},
      {"long packet", 4, USBD_STATUS_SUCCESS},
      {"failed packet", 3, USBD_STATUS_XACT_ERROR},
      {"not accessed", 3, USBD_STATUS_ISO_NOT_ACCESSED_LATE},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    // Every buffer holds 44.6 kHz; only the first packet is spoiled and keeps its bytes.
    Urb u(std::vector<ULONG>(4, 0x0B2640), 3, 1000, 44100);
    u.packets[0].Length = r.length;
    u.packets[0].Status = r.status;
    EXPECT_EQ(ParseFeedback(u.urb, 44100).Counted, 3u);
    for (auto& p : u.packets) p = {p.Offset, r.length, r.status};
    const FeedbackResult none = ParseFeedback(u.urb, 44111);
    EXPECT_EQ(none.Counted, 0u);
    EXPECT_EQ(none.Rate, 44111);
  }
  FeedbackUrb empty{};
  EXPECT_EQ(ParseFeedback(empty, 9).Rate, 9);
}

// Over one second of packets the fill rule hands out exactly `rate` frames, every packet
// within one frame of nominal, whatever the rate within the window, on every packet rate.
TEST(FeedbackFill, OneSecondOfPacketsCarriesExactlyTheRate) {
  std::mt19937 rng(7);
  for (ULONG nominal : {44100u, 48000u, 96000u, 176400u}) {
    for (ULONG pps : {1000u, 2000u, 4000u, 8000u}) {
      std::uniform_int_distribution<LONG> offset(-kAcceptWindowHz, kAcceptWindowHz);
      for (int trial = 0; trial < 8; ++trial) {
        const LONG rate = static_cast<LONG>(nominal) + (trial == 0 ? 0 : offset(rng));
        const ULONG spp = nominal / pps;
        LONG remainder = 0;
        LONGLONG total = 0;
        for (ULONG i = 0; i < pps; ++i) {
          const LONG frames = NextPacketFrames(&remainder, rate, spp, pps);
          ASSERT_GE(frames, static_cast<LONG>(spp) - 1);
          ASSERT_LE(frames, static_cast<LONG>(spp) + 2);
          total += frames;
        }
        // Whatever the nominal division left over plus the offset, to within the carried remainder.
        EXPECT_EQ(total * pps + remainder, static_cast<LONGLONG>(rate) * pps) << nominal << " " << pps << " " << rate;
        EXPECT_LT(std::abs(remainder), static_cast<LONG>(pps));
      }
    }
  }
}

TEST(FeedbackFill, ExamplePacketPatterns) {
  struct Row {
    const char* what;
    LONG rate;
    ULONG spp, pps;
    std::vector<LONG> first;
  };
  const Row rows[] = {
      {"44.1 kHz full speed: nine of 44, one of 45", 44100, 44, 1000, {44, 44, 44, 44, 44, 44, 44, 44, 44, 45}},
      {"measured 44,200: two of 45 in ten", 44200, 44, 1000, {44, 44, 44, 44, 45, 44, 44, 44, 44, 45}},
      {"48 kHz exactly: 48 each", 48000, 48, 1000, {48, 48, 48, 48, 48, 48, 48, 48, 48, 48}},
      {"1000 Hz slow: a frame fewer in every packet", 47000, 48, 1000, {47, 47, 47, 47, 47, 47, 47, 47, 47, 47}},
      {"44.1 kHz high speed: 5 and a 6 when the remainder reaches 8,000", 44100, 5, 8000, {5, 6, 5, 6, 5, 6, 5, 6}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    LONG remainder = 0;
    for (size_t i = 0; i < r.first.size(); ++i) EXPECT_EQ(NextPacketFrames(&remainder, r.rate, r.spp, r.pps), r.first[i]) << i;
  }
  // 1 Hz slow: the remainder runs negative and the short packet waits until it reaches -1000.
  LONG remainder = 0;
  EXPECT_EQ(NextPacketFrames(&remainder, 47999, 48, 1000), 48);
  EXPECT_EQ(remainder, -1);
}

}  // namespace
