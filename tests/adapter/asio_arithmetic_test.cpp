// The ASIO side's format classification and buffer arithmetic as plain functions: DSD
// entries that would divide by zero never match, and the buffer figures follow their
// defining formulas (checked here in 64-bit arithmetic over a sweep of rates).
#include <gtest/gtest.h>

#include "adapter/asio_private.h"
#include "portcls/ksmedia.h"

namespace {

using namespace adapter;

WAVEFORMATEXTENSIBLE Entry(ULONG subFormat, WORD channels, WORD bits, WORD valid, ULONG rate) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = channels;
  f.Format.wBitsPerSample = bits;
  f.Format.nSamplesPerSec = rate;
  f.Samples.wValidBitsPerSample = valid;
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  f.SubFormat.Data1 = subFormat;
  return f;
}

TEST(AsioArithmetic, FormatsClassifyByTypeModeAndRate) {
  const ULONG pcm = KSDATAFORMAT_SUBTYPE_PCM.Data1;
  struct Case {
    WAVEFORMATEXTENSIBLE f;
    ULONG type;
    ULONG mode;
    ULONG rate;
    bool matches;
  };
  const Case cases[] = {
      {Entry(pcm, 2, 16, 16, 48000), 16, kAsioModePcm, 48000, true},
      {Entry(pcm, 2, 24, 24, 48000), 17, kAsioModePcm, 44100, false},
      {Entry(pcm, 2, 32, 16, 48000), 24, kAsioModeDsd, 48000, false},
      {Entry(pcm, 2, 32, 24, 48000), 27, kAsioModePcm, 48000, true},
      {Entry(pcm, 2, 32, 32, 48000), 18, kAsioModePcm, 48000, true},
      {Entry(pcm, 2, 8, 8, 48000), 0, kAsioModePcm, 48000, true},
      // DSD: one-bit samples of a channel pair packed into each sample.
      {Entry(kAsioDsdSubFormat, 2, 32, 32, 88200), 0, kAsioModeDsd, 2822400, true},
      {Entry(kAsioDsdSubFormat, 4, 32, 32, 44100), 0, kAsioModeDsd, 2822400, true},
      {Entry(kAsioDsdSubFormat, 2, 16, 16, 176400), 0, kAsioModeDsd, 2822400, true},
      {Entry(kAsioDsdSubFormat, 1, 16, 16, 176400), 0, kAsioModeDsd, 2822400, true},
      {Entry(kAsioDsdSubFormat, 2, 32, 32, 88200), 0, kAsioModePcm, 88200, false},
      // Entries that would divide by zero: mono, no bits.
      {Entry(kAsioDsdSubFormat, 1, 32, 32, 0), 0, kAsioModeDsd, 2822400, false},
      {Entry(kAsioDsdSubFormat, 1, 32, 32, 88200), 0, kAsioModeDsd, 2822400, false},
      {Entry(kAsioDsdSubFormat, 2, 0, 0, 0), 0, kAsioModeDsd, 2822400, false},
      {Entry(kAsioDsdSubFormat, 0, 8, 8, 0), 0, kAsioModeDsd, 0, false},
      {Entry(pcm, 2, 16, 16, 48000), 16, 7, 48000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.f.SubFormat.Data1 << " " << c.f.Format.nChannels << "ch "
                                    << c.f.Format.wBitsPerSample << " bits, rate " << c.rate);
    EXPECT_EQ(AsioSampleTypeOf(c.f), c.type);
    EXPECT_EQ(AsioFormatHasRate(c.f, c.mode, c.rate), c.matches);
  }
}

// Every rate from 1 kHz to 24.576 MHz in odd steps, every index (also beyond the table,
// which reads as its last entry), both modes, against the formulas in 64-bit arithmetic.
TEST(AsioArithmetic, BufferFiguresFollowTheirFormulas) {
  const ULONGLONG ms[] = {2, 4, 6, 8, 10, 20, 30, 40, 50, 50, 50};
  for (ULONG rate = 1000; rate <= 24576000; rate += rate < 400000 ? 997 : 299993) {
    for (ULONG index = 0; index < 11; ++index) {
      ULONG lengths[2], sizes[4];
      const ULONGLONG l = ms[index];
      AsioBufferLength(kAsioModePcm, rate, index, lengths);
      ASSERT_EQ(lengths[0], l * (rate / 1000));
      ASSERT_EQ(lengths[1], 2 * l * (rate / 1000));
      ASSERT_EQ(AsioBufferSize(kAsioModePcm, rate, index, sizes), STATUS_SUCCESS);
      ASSERT_EQ(sizes[2], l * (rate / 1000));
      ASSERT_LE(sizes[0], sizes[2]);
      ASSERT_LE(sizes[2], sizes[1]);

      AsioBufferLength(kAsioModeDsd, rate, index, lengths);
      const NTSTATUS status = AsioBufferSize(kAsioModeDsd, rate, index, sizes);
      if (rate < kAsioDsdMinRate) {
        ASSERT_EQ(lengths[0], l * 2816);
        ASSERT_EQ(status, STATUS_INVALID_PARAMETER);
        continue;
      }
      const bool of44 = rate % 44100 == 0;
      const ULONGLONG k = of44 ? rate / 44100 : rate / 48000, f = of44 ? 44 : 48;
      ASSERT_EQ(lengths[0], l * k * f);
      ASSERT_EQ(lengths[1], 2 * l * k * f);
      if (!of44 && rate % 48000 != 0) {
        ASSERT_EQ(status, STATUS_INVALID_PARAMETER);
        continue;
      }
      ASSERT_EQ(status, STATUS_SUCCESS);
      ASSERT_EQ(sizes[0], 4 * k * f);
      ASSERT_EQ(sizes[1], 50 * k * f);
      ASSERT_EQ(sizes[2], (index == 0 ? 4 : l) * k * f);
      ASSERT_EQ(sizes[3], k);
    }
  }
}

TEST(AsioArithmetic, UnitsPerMillisecondNeverReachZero) {
  struct Case {
    ULONG mode, rate, units;
  };
  const Case cases[] = {{kAsioModePcm, 48000, 48},  {kAsioModePcm, 44100, 44},    {kAsioModePcm, 999, 1},
                        {kAsioModePcm, 0, 1},       {kAsioModeDsd, 2822400, 44}, {kAsioModeDsd, 63999, 1},
                        {kAsioModeDsd, 0, 1},       {kAsioModeDsd, 12288000, 192}};
  for (const Case& c : cases) EXPECT_EQ(AsioUnitsPerMs(c.mode, c.rate), c.units) << c.mode << " " << c.rate;
}

}  // namespace
