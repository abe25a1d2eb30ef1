// The headphone convolver's cost per 512-sample block, side by side in one run:
// - CHeadphoneFir::Process with 8 inputs and 14 tail partitions, in the generic FFT
//   build (as the product runs) and in each processor FFT build (index set here only);
// - zita-convolver doing the same work, when installed: partition 512 in a single
//   partition level (so no processing thread is started; everything runs on the calling
//   thread), the ten 1024-tap head filters on the five channel groups, and the two
//   7168-tap tails on the channel sum as a sixth input from offset 1024. The group and
//   sum signals (with the rear fold) are formed inside the timed loop as the convolver
//   forms them;
// - MultiplyAccumulate alone over one 1024-float packed spectrum.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "dsp/virtualiser/headphone_fir.h"
#include "sp/base.h"

#ifdef HAVE_ZITA_CONVOLVER
#include <sched.h>
#include <zita-convolver.h>
#endif

namespace {

constexpr int kBlock = HEADPHONEFIR_N;

std::vector<float> Random(size_t n, unsigned seed, float amplitude = 0.5f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-amplitude, amplitude);
  std::vector<float> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

struct Filters {
  std::vector<float> data = Random(LPV_FILTER_DATA_FLOATS, 1, 0.1f);
  LpvFilterSource source{data.data(), data.size(), nullptr, 0};
};

const Filters& BenchFilters() {
  static const Filters f;
  return f;
}

bool BuildSupported(std::int32_t index) {
  switch (index) {
    case 1: return __builtin_cpu_supports("sse3");
    case 2: return __builtin_cpu_supports("ssse3");
    case 3: return __builtin_cpu_supports("sse4.1");
    default: return true;
  }
}

// range(0): dispatch index (0 generic, 1-3 processor builds).
void BM_HeadphoneFir_Process8_Q14(benchmark::State& st) {
  const auto index = static_cast<std::int32_t>(st.range(0));
  if (!BuildSupported(index)) return st.SkipWithError("processor build not supported here");
  const std::int32_t saved = spDispatchIndex;
  spDispatchIndex = index;  // the record is made for the build that runs it
  auto fir = std::make_unique<CHeadphoneFir>(BenchFilters().source);
  fir->SelectFilters(3, 24);
  if (!fir->IsValid() || fir->TailParts() != 14) {
    spDispatchIndex = saved;
    return st.SkipWithError("convolver not built");
  }
  std::vector<std::vector<float>> in;
  for (int c = 0; c < 8; ++c) in.push_back(Random(kBlock, 10 + c));
  std::vector<float> l(kBlock), r(kBlock);
  std::vector<float*> ip;
  for (auto& c : in) ip.push_back(c.data());
  float* op[2] = {l.data(), r.data()};
  for (auto _ : st) {
    fir->Process(op, 2, ip.data(), 8, kBlock);
    benchmark::DoNotOptimize(l.data());
    benchmark::ClobberMemory();
  }
  spDispatchIndex = saved;
  st.SetItemsProcessed(st.iterations() * kBlock);
}
BENCHMARK(BM_HeadphoneFir_Process8_Q14)->DenseRange(0, 3);

void BM_HeadphoneFir_MultiplyAccumulate(benchmark::State& st) {
  auto f = Random(LPV_FFT_LENGTH, 2), x = Random(LPV_FFT_LENGTH, 3), acc = Random(LPV_FFT_LENGTH, 4);
  for (auto _ : st) {
    CHeadphoneFir::MultiplyAccumulate(f.data(), x.data(), acc.data(), LPV_FFT_LENGTH);
    benchmark::DoNotOptimize(acc.data());
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * LPV_FFT_LENGTH);
}
BENCHMARK(BM_HeadphoneFir_MultiplyAccumulate);

#ifdef HAVE_ZITA_CONVOLVER
// Threads of this process, from /proc (0 when unreadable).
int ProcessThreads() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  int n = 0;
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::sscanf(line, "Threads: %d", &n) == 1) break;
  std::fclose(f);
  return n;
}

void BM_ZitaConvolver_SameWork(benchmark::State& st) {
  LpvFilterTables tables;
  if (LpvFindFilterTables(BenchFilters().source, 3, 24, &tables) != LpvFilterLookup::Found)
    return st.SkipWithError("no filters");
  constexpr std::uint32_t kTailOffset = 1024;
  auto conv = std::make_unique<Convproc>();
  conv->set_options(Convproc::OPT_FFTW_MEASURE);
  // Single level: smallest and largest partition both 512, the period 512.
  if (conv->configure(6, 2, kTailOffset + LPV_MAX_TAIL_LENGTH, kBlock, kBlock, kBlock, 1.0f) != 0)
    return st.SkipWithError("configure");
  std::vector<float> head(tables.head, tables.head + LPV_HEAD_TABLE_FLOATS);
  std::vector<float> tail(tables.tail, tables.tail + 2 * tables.tailLength);
  for (int g = 0; g < 5; ++g)
    for (int e = 0; e < 2; ++e)
      conv->impdata_create(g, e, 1, head.data() + (2 * g + e) * LPV_HEAD_LENGTH, 0, LPV_HEAD_LENGTH);
  for (int e = 0; e < 2; ++e)
    conv->impdata_create(5, e, 1, tail.data() + e * tables.tailLength, kTailOffset, kTailOffset + tables.tailLength);
  const int threadsBefore = ProcessThreads();
  if (conv->start_process(0, SCHED_OTHER) != 0) return st.SkipWithError("start");
  // Processing threads the convolver started (0: all work on the calling thread).
  st.counters["threads_started"] = ProcessThreads() - threadsBefore;
  std::vector<std::vector<float>> in;
  for (int c = 0; c < 8; ++c) in.push_back(Random(kBlock, 10 + c));
  std::vector<float> l(kBlock), r(kBlock);
  for (auto _ : st) {
    float* g[6];
    for (int k = 0; k < 6; ++k) g[k] = conv->inpdata(k);
    for (int i = 0; i < kBlock; ++i) {
      const float x3 = in[3][i], x4 = in[4][i], x5 = in[5][i];
      g[0][i] = in[0][i] + x3;
      g[1][i] = in[1][i] + x3;
      g[2][i] = in[2][i];
      g[3][i] = 0.871f * x4 + in[6][i] + 0.49f * x5;
      g[4][i] = 0.49f * x4 + in[7][i] + 0.871f * x5;
      g[5][i] = g[0][i] + g[1][i] + g[2][i] + g[3][i] + g[4][i];
    }
    conv->process(true);
    std::memcpy(l.data(), conv->outdata(0), sizeof(float) * kBlock);
    std::memcpy(r.data(), conv->outdata(1), sizeof(float) * kBlock);
    benchmark::DoNotOptimize(l.data());
    benchmark::ClobberMemory();
  }
  conv->stop_process();
  conv->cleanup();
  st.SetItemsProcessed(st.iterations() * kBlock);
}
BENCHMARK(BM_ZitaConvolver_SameWork);
#endif

}  // namespace
