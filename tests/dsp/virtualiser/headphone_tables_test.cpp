// The committed filter tables of the headphone virtualiser: the file's header and
// checksum, the layout, the identities and asymmetries of the head tables, the given
// sample values, and measured model properties (interaural lag and level difference,
// tail decorrelation and decay).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

#include "dsp/virtualiser/headphone_filters.h"
#include "dsp/virtualiser/headphone_fir.h"

namespace {

constexpr double kFs = 44100.0;
constexpr std::int32_t kNarrow[] = {24, 29, 34, 39};
constexpr std::int32_t kWide[] = {25, 30, 35, 40};
// The generator's documented reverberation time of each room (index = room).
constexpr double kT60[] = {0.0, 0.06, 0.09, 0.14};
// Mirror pairs: (same filter of the mirrored source and ear).
constexpr int kMirror[][2] = {{0, 3}, {1, 2}, {4, 5}, {6, 9}, {7, 8}};

const LpvFilterSource& Source() { return LpvProductFilterSource(); }

std::vector<float> Head(std::int32_t room, std::int32_t code, int filter) {
  LpvFilterTables t;
  EXPECT_EQ(LpvFindFilterTables(Source(), room, code, &t), LpvFilterLookup::Found) << room << " " << code;
  const float* f = t.head + static_cast<std::size_t>(filter) * LPV_HEAD_LENGTH;
  return {f, f + LPV_HEAD_LENGTH};
}

std::vector<double> Tail(std::int32_t room, std::int32_t code, int ear) {
  LpvFilterTables t;
  EXPECT_EQ(LpvFindFilterTables(Source(), room, code, &t), LpvFilterLookup::Found);
  const float* f = t.tail + static_cast<std::size_t>(ear) * t.tailLength;
  return {f, f + t.tailLength};
}

double Energy(const std::vector<float>& f) {
  double e = 0;
  for (float v : f) e += static_cast<double>(v) * v;
  return e;
}

// The lag (samples) of b behind a at the largest magnitude of their cross-correlation.
int Lag(const std::vector<float>& a, const std::vector<float>& b) {
  int best = 0;
  double bestValue = -1;
  for (int lag = -40; lag <= 40; ++lag) {
    double s = 0;
    for (int i = 0; i < LPV_HEAD_LENGTH; ++i) {
      const int j = i + lag;
      if (j >= 0 && j < LPV_HEAD_LENGTH) s += static_cast<double>(a[static_cast<size_t>(i)]) * b[static_cast<size_t>(j)];
    }
    if (std::fabs(s) > bestValue) {
      bestValue = std::fabs(s);
      best = lag;
    }
  }
  return best;
}

// Energy of the filter's response between 4 kHz and 20 kHz, by a direct DFT.
double EnergyAbove4k(const std::vector<float>& f) {
  double e = 0;
  for (double hz = 4000; hz <= 20000; hz += 50) {
    const double w = 2 * std::numbers::pi * hz / kFs;
    double re = 0, im = 0;
    for (int i = 0; i < LPV_HEAD_LENGTH; ++i) {
      re += f[static_cast<size_t>(i)] * std::cos(w * i);
      im -= f[static_cast<size_t>(i)] * std::sin(w * i);
    }
    e += re * re + im * im;
  }
  return e;
}

// Schroeder decay time: T60 from a line fitted to the backward-integrated energy
// between -5 and -25 dB.
double DecayTime(const std::vector<double>& h) {
  std::vector<double> e(h.size());
  double acc = 0;
  for (size_t i = h.size(); i-- > 0;) e[i] = acc += h[i] * h[i];
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  int n = 0;
  for (size_t i = 0; i < h.size(); ++i) {
    const double db = 10 * std::log10(e[i] / e[0]);
    if (db > -5) continue;
    if (db < -25) break;
    const double t = static_cast<double>(i) / kFs;
    sx += t, sy += db, sxx += t * t, sxy += t * db;
    ++n;
  }
  const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
  return -60.0 / slope;
}

double Correlation(const std::vector<double>& a, const std::vector<double>& b) {
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < a.size(); ++i) ab += a[i] * b[i], aa += a[i] * a[i], bb += b[i] * b[i];
  return ab / std::sqrt(aa * bb);
}

}  // namespace

TEST(LpvHeadphoneTables, TheEmbeddedFileIsSoundAndItsHeaderGivesTheLayout) {
  std::size_t size = 0;
  const unsigned char* bytes = LpvFilterFileBytes(&size);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(size, LPV_FILTER_FILE_HEADER_BYTES + 4 * (LPV_FILTER_DATA_FLOATS + LPV_CTC_DATA_FLOATS));
  LpvFilterSource src;
  LpvFilterFileHeader h;
  ASSERT_EQ(LpvParseFilterFile(bytes, size, &src, &h), LpvFilterFileStatus::Ok);
  EXPECT_EQ(h.version, 1u);
  EXPECT_EQ(h.headTables, 27u);
  EXPECT_EQ(h.headFilters, 10u);
  EXPECT_EQ(h.headLength, 1024u);
  EXPECT_EQ(h.tailTables, 9u);
  EXPECT_EQ(h.crosstalkSets, 5u);
  EXPECT_EQ(h.crosstalkLength, 256u);
  // 27 heads of 10240 floats and nine two-ear tails.
  EXPECT_EQ(h.filterFloats, 27u * 10240 + 2u * (7168 + 3072 + 3072 + 7168 + 5120 + 3072 + 3 * 6144));
  EXPECT_EQ(h.crosstalkFloats, 5u * 512);
  EXPECT_EQ(h.checksum, LpvCrc32(bytes + 64, size - 64));
  EXPECT_EQ(LpvCrc32("123456789", 9), 0xCBF43926u);  // the CRC-32 check value
  EXPECT_EQ(src.filters, Source().filters);
  EXPECT_EQ(src.crosstalk, Source().filters + LPV_FILTER_DATA_FLOATS);
}

// A damaged file is refused and gives the empty source.
TEST(LpvHeadphoneTables, DamagedFilesAreRefused) {
  std::size_t size = 0;
  const unsigned char* bytes = LpvFilterFileBytes(&size);
  const std::vector<unsigned char> good(bytes, bytes + size);
  struct Case {
    const char* name;
    size_t offset;  // byte to change (XOR 0x01), or size to truncate to
    bool truncate;
    LpvFilterFileStatus status;
  };
  const Case cases[] = {
      {"empty", 0, true, LpvFilterFileStatus::TooShort},
      {"header only", 63, true, LpvFilterFileStatus::TooShort},
      {"one float short", size - 4, true, LpvFilterFileStatus::TooShort},
      {"magic", 0, false, LpvFilterFileStatus::BadMagic},
      {"version", 4, false, LpvFilterFileStatus::BadLayout},
      {"head tables", 12, false, LpvFilterFileStatus::BadLayout},
      {"filter floats", 36, false, LpvFilterFileStatus::BadLayout},
      {"crosstalk floats", 40, false, LpvFilterFileStatus::BadLayout},
      {"checksum", 44, false, LpvFilterFileStatus::BadChecksum},
      {"first filter byte", 64, false, LpvFilterFileStatus::BadChecksum},
      {"last crosstalk byte", size - 1, false, LpvFilterFileStatus::BadChecksum},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<unsigned char> f = good;
    if (c.truncate) f.resize(c.offset);
    else f[c.offset] ^= 0x01;
    static const float kStale[1] = {1.0f};
    LpvFilterSource src{kStale, 1, kStale, 1};
    EXPECT_EQ(LpvParseFilterFile(f.data(), f.size(), &src, nullptr), c.status);
    EXPECT_EQ(src.filters, nullptr);
    EXPECT_EQ(src.filterFloats, 0u);
  }
  EXPECT_EQ(LpvParseFilterFile(nullptr, size, nullptr, nullptr), LpvFilterFileStatus::TooShort);
}

// The tables lie in the stated order: the given values sit at offsets counted here from
// the layout, independently of the lookup.
TEST(LpvHeadphoneTables, OrderAndGivenSampleValues) {
  const float* f = Source().filters;
  ASSERT_NE(f, nullptr);
  struct Case {
    std::int32_t room, code;
    size_t head, tail;
  };
  constexpr size_t H = 10240;
  const Case cases[] = {
      {3, 24, 0, 4 * H},
      {3, 39, 3 * H, 4 * H},
      {2, 24, 4 * H + 2 * 7168, 8 * H + 2 * 7168},
      {1, 29, 8 * H + 2 * (7168 + 3072) + H, 12 * H + 2 * (7168 + 3072)},
      {3, 25, 12 * H + 2 * (7168 + 3072 + 3072), 16 * H + 2 * (7168 + 3072 + 3072)},
      {2, 40, 16 * H + 2 * (2 * 7168 + 2 * 3072) + 3 * H, 20 * H + 2 * (2 * 7168 + 2 * 3072)},
      {1, 35, 20 * H + 2 * (2 * 7168 + 2 * 3072 + 5120) + 2 * H, 24 * H + 2 * (2 * 7168 + 2 * 3072 + 5120)},
      {3, 31, 24 * H + 2 * (2 * 7168 + 3 * 3072 + 5120), 25 * H + 2 * (2 * 7168 + 3 * 3072 + 5120)},
      {1, 31, 26 * H + 2 * (2 * 7168 + 3 * 3072 + 5120 + 2 * 6144), 27 * H + 2 * (2 * 7168 + 3 * 3072 + 5120 + 2 * 6144)},
  };
  for (const Case& c : cases) {
    size_t h = 0, t = 0;
    ASSERT_TRUE(LpvFilterOffsets(c.room, c.code, &h, &t));
    EXPECT_EQ(h, c.head) << c.room << " " << c.code;
    EXPECT_EQ(t, c.tail) << c.room << " " << c.code;
  }
  // Room 3, code 24: filter 0 and its mirror 3; filter 1 and its mirror 2.
  for (int k : {0, 3}) {
    const float* h = f + static_cast<size_t>(k) * 1024;
    EXPECT_EQ(h[0], 0.04126f);
    EXPECT_EQ(h[1], 0.002777f);
    EXPECT_EQ(h[2], -0.148865f);
    EXPECT_EQ(h[8], -0.20828f);
  }
  for (int k : {1, 2}) EXPECT_EQ(f[static_cast<size_t>(k) * 1024 + 15], 0.05212f);
  // The given peaks are their filters' largest magnitudes.
  for (auto [k, tap] : {std::pair{0, 8}, std::pair{1, 15}}) {
    const float* h = f + static_cast<size_t>(k) * 1024;
    for (int i = 0; i < 1024; ++i)
      if (i != tap) {
        ASSERT_LT(std::fabs(h[i]), std::fabs(h[tap])) << "filter " << k << " tap " << i;
      }
  }
  const float* tail = f + 4 * H;
  EXPECT_EQ(tail[0], 0.004303f);
  EXPECT_EQ(tail[1], 0.003998f);
  EXPECT_EQ(tail[2], -0.000732f);
}

TEST(LpvHeadphoneTables, NarrowTablesAreSymmetricAndShareTheirSideFilters) {
  for (std::int32_t room = 1; room <= 3; ++room) {
    for (std::int32_t code : kNarrow) {
      SCOPED_TRACE(testing::Message() << "room " << room << " code " << code);
      for (const auto& m : kMirror) EXPECT_EQ(Head(room, code, m[0]), Head(room, code, m[1])) << m[0];
      for (int k = 4; k < 10; ++k) EXPECT_EQ(Head(room, code, k), Head(room, 24, k)) << k;
      if (code != 24) {
        for (int k = 0; k < 4; ++k) EXPECT_NE(Head(room, code, k), Head(room, 24, k)) << k;
      }
    }
  }
}

TEST(LpvHeadphoneTables, WideAndCode31TablesDifferSlightlyBetweenPairsAndEveryFilterBetweenCodes) {
  for (std::int32_t room = 1; room <= 3; ++room) {
    std::vector<std::int32_t> codes(std::begin(kWide), std::end(kWide));
    codes.push_back(31);
    for (std::int32_t code : codes) {
      SCOPED_TRACE(testing::Message() << "room " << room << " code " << code);
      for (const auto& m : kMirror) {
        const auto a = Head(room, code, m[0]), b = Head(room, code, m[1]);
        double d = 0;
        for (size_t i = 0; i < a.size(); ++i) d += (static_cast<double>(a[i]) - b[i]) * (a[i] - b[i]);
        const double rel = std::sqrt(d / Energy(a));
        EXPECT_GT(rel, 1e-3) << m[0];
        EXPECT_LT(rel, 0.35) << m[0];
        EXPECT_LT(std::fabs(10 * std::log10(Energy(a) / Energy(b))), 1.0) << m[0];
      }
      for (std::int32_t other : codes)
        if (other != code) {
          for (int k = 0; k < 10; ++k) EXPECT_NE(Head(room, code, k), Head(room, other, k)) << other << " " << k;
        }
    }
  }
}

// Tail lengths give the partition counts of each (room, code).
TEST(LpvHeadphoneTables, TailPartitionsPerRoomAndCode) {
  struct Case {
    std::int32_t room;
    std::int32_t q[3];  // narrow, wide, code 31
  };
  const Case cases[] = {{3, {14, 14, 12}}, {2, {6, 10, 12}}, {1, {6, 6, 12}}};
  auto fir = std::make_unique<CHeadphoneFir>();
  for (const Case& c : cases) {
    for (int i = 0; i < 4; ++i) {
      fir->SelectFilters(c.room, kNarrow[i]);
      EXPECT_EQ(fir->TailParts(), c.q[0]) << c.room << " " << kNarrow[i];
      fir->SelectFilters(c.room, kWide[i]);
      EXPECT_EQ(fir->TailParts(), c.q[1]) << c.room << " " << kWide[i];
      EXPECT_EQ(fir->HeadParts(), 2);
    }
    fir->SelectFilters(c.room, 31);
    EXPECT_EQ(fir->TailParts(), c.q[2]) << c.room;
  }
}

TEST(LpvHeadphoneTables, CrosstalkSetsAreIdentities) {
  for (std::int32_t deg : {5, 10, 15, 20, 30}) {
    const float *t1 = nullptr, *t2 = nullptr;
    ASSERT_TRUE(LpvFindCrosstalkSet(Source(), deg, &t1, &t2));
    for (int k = 0; k < LPV_CTC_LENGTH; ++k) {
      EXPECT_EQ(t1[k], k == 0 ? 1.0f : 0.0f);
      EXPECT_EQ(t2[k], 0.0f);
    }
  }
}

// The lag of the opposite ear behind the same-side ear grows with the angle; the opposite
// ear is at least 6 dB quieter above 4 kHz.
TEST(LpvHeadphoneTables, FrontPairsShowTheHeadModel) {
  for (std::int32_t room = 1; room <= 3; ++room) {
    for (const auto* set : {kNarrow, kWide}) {
      int previous[2] = {0, 0};
      for (int i = 0; i < 4; ++i) {
        const std::int32_t code = set[i];
        SCOPED_TRACE(testing::Message() << "room " << room << " code " << code);
        const std::pair<int, int> pairs[] = {{0, 1}, {3, 2}};
        for (int p = 0; p < 2; ++p) {
          const auto s = Head(room, code, pairs[p].first), o = Head(room, code, pairs[p].second);
          const int lag = Lag(s, o);
          EXPECT_GT(lag, previous[p]) << pairs[p].first;
          previous[p] = lag;
          EXPECT_GE(10 * std::log10(EnergyAbove4k(s) / EnergyAbove4k(o)), 6.0) << pairs[p].first;
        }
      }
    }
  }
}

TEST(LpvHeadphoneTables, TailsAreDecorrelatedAndDecayAsDocumented) {
  struct Case {
    std::int32_t room, code;
  };
  const Case cases[] = {{3, 24}, {2, 24}, {1, 24}, {3, 25}, {2, 25}, {1, 25}, {3, 31}, {2, 31}, {1, 31}};
  double previous[3] = {0, 0, 0};  // per kind: narrow, wide, 31
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(testing::Message() << "room " << c.room << " code " << c.code);
    const auto l = Tail(c.room, c.code, 0), r = Tail(c.room, c.code, 1);
    EXPECT_LE(std::fabs(Correlation(l, r)), 0.2);
    double mean = 0;
    for (const auto* ear : {&l, &r}) {
      const double t60 = DecayTime(*ear);
      EXPECT_NEAR(t60, kT60[c.room], 0.1 * kT60[c.room]);
      mean += t60 / 2;
    }
    // Listed from room 3 down: each kind's decay shrinks with the room.
    const size_t k = c.code == 31 ? 2 : (c.code == 25 ? 1 : 0);
    if (previous[k] != 0) {
      EXPECT_LT(mean, previous[k]);
    }
    previous[k] = mean;
  }
}
