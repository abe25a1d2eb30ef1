// The chip class D effect nodes' costs, side by side in one run, 512 frames a call:
// - the virtualiser node (stereo content in an 8-channel stream, on, room value 0: filter
//   room 3) at 44.1 and 48 kHz, beside the wrapper's Process alone on the same frames;
// - the reverb node on 8 channels at 48 kHz, on, beside CDspReverb::Process alone;
// - both nodes one after the other as the render path runs them, with the CPU time per
//   millisecond of audio as a counter.
// Every iteration first copies the fresh input into the stream buffers, in every variant
// alike.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "dsp/virtualiser/lpv_effect.h"
#include "uac/chip_d_effect_controls.h"

namespace {

constexpr ULONG kFrames = 512;

// The controls with their effect objects, without a device behind the switch.
struct BenchLpv : uac::CChipDLpvEffectControl {
  BenchLpv() : CChipDLpvEffectControl(nullptr, 1) {}
  bool Create() {
    if (!CreateEffects()) return false;
    m_bValue = 1;
    return true;
  }
};
struct BenchReverb : uac::CChipDReverbEffectControl {
  BenchReverb() : CChipDReverbEffectControl(nullptr, 2) {}
  bool Create() {
    m_ppDry = uac::AllocateChipDBufferSet();
    m_ppWet = uac::AllocateChipDBufferSet();
    m_pReverb = static_cast<CDspReverb*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(CDspReverb), uac::kChipDBufferTag));
    if (!m_ppDry || !m_ppWet || !m_pReverb) return false;
    std::memset(static_cast<void*>(m_pReverb), 0, sizeof(CDspReverb));
    new (m_pReverb) CDspReverb();
    m_pReverb->Init();
    m_bValue = 1;
    m_nCurrentEnable = 1;
    return true;
  }
};

WAVEFORMATEXTENSIBLE Pcm8(ULONG rate) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_PCM;
  f.Format.nChannels = 8;
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = 16;
  f.Format.nBlockAlign = 16;
  f.Format.nAvgBytesPerSec = rate * 16;
  return f;
}

// Stream buffers: stereo content (`stereo`) or all eight channels.
struct Stream {
  explicit Stream(bool stereo) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> d(-0.3f, 0.3f);
    for (int c = 0; c < 8; ++c) {
      fresh[c].assign(kFrames, 0.0f);
      if (!stereo || c < 2)
        for (auto& x : fresh[c]) x = d(rng);
      work[c].resize(kFrames);
      ptr[c] = work[c].data();
    }
  }
  void Refill() {
    for (int c = 0; c < 8; ++c) std::memcpy(work[c].data(), fresh[c].data(), sizeof(float) * kFrames);
  }
  std::vector<float> fresh[8], work[8];
  float* ptr[8];
};

void BM_VirtualiserNode(benchmark::State& st) {
  const ULONG rate = static_cast<ULONG>(st.range(0));
  auto* node = new (NonPagedPool, uac::kChipDPoolTag) BenchLpv();
  node->AddRef();
  if (!node->Create()) return st.SkipWithError("virtualiser not built");
  const WAVEFORMATEXTENSIBLE f = Pcm8(rate);
  node->SetFormat(&f);
  if (!node->Virtualiser()->IsProcessing()) return st.SkipWithError("engine not running");
  Stream s(true);
  for (auto _ : st) {
    s.Refill();
    node->Process(&f, s.ptr, kFrames);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * kFrames);
  node->Release();
}
BENCHMARK(BM_VirtualiserNode)->Arg(44100)->Arg(48000)->Unit(benchmark::kMicrosecond);

void BM_VirtualiserWrapperAlone(benchmark::State& st) {
  const ULONG rate = static_cast<ULONG>(st.range(0));
  auto* node = new (NonPagedPool, uac::kChipDPoolTag) BenchLpv();
  node->AddRef();
  if (!node->Create()) return st.SkipWithError("virtualiser not built");
  const WAVEFORMATEXTENSIBLE f = Pcm8(rate);
  node->SetFormat(&f);
  Stream s(true);
  for (auto _ : st) {
    s.Refill();
    node->Virtualiser()->Process(s.ptr, kFrames);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * kFrames);
  node->Release();
}
BENCHMARK(BM_VirtualiserWrapperAlone)->Arg(44100)->Arg(48000)->Unit(benchmark::kMicrosecond);

void BM_ReverbNode(benchmark::State& st) {
  auto* node = new (NonPagedPool, uac::kChipDPoolTag) BenchReverb();
  node->AddRef();
  if (!node->Create()) return st.SkipWithError("reverb not built");
  const WAVEFORMATEXTENSIBLE f = Pcm8(48000);
  node->SetFormat(&f);
  Stream s(false);
  for (auto _ : st) {
    s.Refill();
    node->Process(&f, s.ptr, kFrames);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * kFrames);
  node->Release();
}
BENCHMARK(BM_ReverbNode)->Unit(benchmark::kMicrosecond);

void BM_ReverbAlone(benchmark::State& st) {
  auto* node = new (NonPagedPool, uac::kChipDPoolTag) BenchReverb();
  node->AddRef();
  if (!node->Create()) return st.SkipWithError("reverb not built");
  const WAVEFORMATEXTENSIBLE f = Pcm8(48000);
  node->SetFormat(&f);
  Stream s(false);
  for (auto _ : st) {
    s.Refill();
    node->Reverb()->Process(s.ptr, s.ptr, static_cast<std::int32_t>(kFrames));
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * kFrames);
  node->Release();
}
BENCHMARK(BM_ReverbAlone)->Unit(benchmark::kMicrosecond);

// Both effects on, as the render path runs its effect list on each 512-frame piece.
void BM_BothEffectsPerMs(benchmark::State& st) {
  const ULONG rate = static_cast<ULONG>(st.range(0));
  auto* reverb = new (NonPagedPool, uac::kChipDPoolTag) BenchReverb();
  reverb->AddRef();
  auto* lpv = new (NonPagedPool, uac::kChipDPoolTag) BenchLpv();
  lpv->AddRef();
  if (!reverb->Create() || !lpv->Create()) return st.SkipWithError("effects not built");
  const WAVEFORMATEXTENSIBLE f = Pcm8(rate);
  reverb->SetFormat(&f);
  lpv->SetFormat(&f);
  Stream s(false);
  for (auto _ : st) {
    s.Refill();
    reverb->Process(&f, s.ptr, kFrames);
    lpv->Process(&f, s.ptr, kFrames);
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(st.iterations() * kFrames);
  // Seconds per call over the call's milliseconds of audio, in microseconds per ms.
  st.counters["us_per_ms_audio"] = benchmark::Counter(
      static_cast<double>(st.iterations()) * 1000.0 * kFrames / rate / 1e6,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  reverb->Release();
  lpv->Release();
}
BENCHMARK(BM_BothEffectsPerMs)->Arg(44100)->Arg(48000)->Arg(96000)->Unit(benchmark::kMicrosecond);

// The first call after a format change (the levellers, converters and engine start
// afresh), as a stream's first buffer meets it.
void BM_VirtualiserFirstCall(benchmark::State& st) {
  auto* node = new (NonPagedPool, uac::kChipDPoolTag) BenchLpv();
  node->AddRef();
  if (!node->Create()) return st.SkipWithError("virtualiser not built");
  const WAVEFORMATEXTENSIBLE f = Pcm8(48000);
  Stream s(true);
  for (auto _ : st) {
    st.PauseTiming();
    node->SetFormat(&f);
    s.Refill();
    st.ResumeTiming();
    node->Process(&f, s.ptr, kFrames);
    benchmark::ClobberMemory();
  }
  node->Release();
}
BENCHMARK(BM_VirtualiserFirstCall)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
