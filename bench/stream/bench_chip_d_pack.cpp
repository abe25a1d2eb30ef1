// The chip class D render engine's packing per millisecond of eight-channel audio at
// 48 kHz (48 frames): channels 0 and 1 of every frame moved in place to the front of the
// transfer buffer, at 16, 24 and 32 bits; beside a plain strided copy of the same
// samples into a second buffer, and a memcpy of the bytes the device gets.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "stream/chip_d_render_stream.h"

namespace {

constexpr ULONG kFrames = 48;  // 1 ms at 48 kHz
constexpr ULONG kChannels = 8;

void Fill(std::vector<UCHAR>& buffer) {
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<UCHAR>(i * 7 + 3);
}

void BM_Pack(benchmark::State& state) {
  const ULONG bytes = static_cast<ULONG>(state.range(0)) / 8;
  const ULONG blockAlign = kChannels * bytes;
  std::vector<UCHAR> buffer(kFrames * blockAlign);
  Fill(buffer);
  for (auto _ : state) {
    benchmark::DoNotOptimize(stream::PackFirstTwoChannels(buffer.data(), kFrames, blockAlign, bytes));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kFrames * 2 * bytes);
}

// The same samples copied frame by frame into another buffer, each frame's pair with a
// copy of fixed size.
template <ULONG Pair>
void StridedCopy(const UCHAR* s, UCHAR* d, ULONG blockAlign) {
  for (ULONG f = 0; f < kFrames; ++f, s += blockAlign, d += Pair) std::memcpy(d, s, Pair);
}

void BM_StridedCopy(benchmark::State& state) {
  const ULONG bytes = static_cast<ULONG>(state.range(0)) / 8;
  const ULONG blockAlign = kChannels * bytes;
  const ULONG pair = 2 * bytes;
  std::vector<UCHAR> source(kFrames * blockAlign), destination(kFrames * pair);
  Fill(source);
  for (auto _ : state) {
    switch (bytes) {
      case 2: StridedCopy<4>(source.data(), destination.data(), blockAlign); break;
      case 3: StridedCopy<6>(source.data(), destination.data(), blockAlign); break;
      default: StridedCopy<8>(source.data(), destination.data(), blockAlign); break;
    }
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kFrames * pair);
}

void BM_MemcpyOutput(benchmark::State& state) {
  const ULONG bytes = static_cast<ULONG>(state.range(0)) / 8;
  const ULONG out = kFrames * 2 * bytes;
  std::vector<UCHAR> source(out), destination(out);
  Fill(source);
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), out);
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * out);
}

BENCHMARK(BM_Pack)->Arg(16)->Arg(24)->Arg(32);
BENCHMARK(BM_StridedCopy)->Arg(16)->Arg(24)->Arg(32);
BENCHMARK(BM_MemcpyOutput)->Arg(16)->Arg(24)->Arg(32);

}  // namespace

BENCHMARK_MAIN();
