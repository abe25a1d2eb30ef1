// Cost of the stream engine's processing hook on what one URB carries per millisecond of
// 48 kHz, 16-bit stereo audio (48 frames, 192 bytes), at DISPATCH_LEVEL as the send and
// capture paths call it: with no processing object (the buffer is left alone), with one
// object on the effect list (PCM to planar float, the object, and back), and against a
// bare copy of the same bytes.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "adapter/dsp_node.h"
#include "adapter/object_model.h"
#include "adapter/stream_engine.h"
#include "kernel/nt.h"
#include "kernel/sched.h"

namespace {

constexpr ULONG kFrames = 48;  // 1 ms at 48 kHz
constexpr ULONG kBytes = kFrames * 4;

class CBenchEngine : public adapter::CStreamEngine {
 public:
  using CStreamEngine::CStreamEngine;
  void SetCurrentFormat(const WAVEFORMATEXTENSIBLE& format) { m_CurrentWaveFormat = format; }
};

// A unity-gain object: touches every sample once, as the lightest real object would.
class CUnityNode : public adapter::IDspNode, public CUnknown {
 public:
  explicit CUnityNode(PUNKNOWN outer) : CUnknown(outer) {}
  DECLARE_STD_UNKNOWN() {
    if (object && IsEqualGUID(iid, adapter::IID_IDspNode)) return adapter::ReturnInterface<IDspNode>(this, object);
    return CUnknown::NonDelegatingQueryInterface(iid, object);
  }
  STDMETHODIMP Reserved1() override { return STATUS_SUCCESS; }
  STDMETHODIMP Reserved2() override { return STATUS_SUCCESS; }
  STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
  STDMETHODIMP ResetState() override { return STATUS_SUCCESS; }
  STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override {
    auto** channels = static_cast<float**>(data);
    for (ULONG c = 0; c < format->Format.nChannels; ++c) {
      for (ULONG i = 0; i < frames; ++i) channels[c][i] *= gain;
    }
    return STATUS_SUCCESS;
  }
  STDMETHODIMP Reset() override { return STATUS_SUCCESS; }
  volatile float gain = 1.0f;
};

WAVEFORMATEXTENSIBLE Cd48() {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = 2;
  f.Format.nSamplesPerSec = 48000;
  f.Format.wBitsPerSample = 16;
  f.Format.nBlockAlign = 4;
  f.Format.nAvgBytesPerSec = 48000 * 4;
  f.Format.cbSize = 22;
  f.Samples.wValidBitsPerSample = 16;
  f.dwChannelMask = KSAUDIO_SPEAKER_STEREO;
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return f;
}

std::vector<UCHAR> Audio() {
  std::vector<UCHAR> buffer(kBytes);
  for (ULONG i = 0; i < kBytes; ++i) buffer[i] = static_cast<UCHAR>(i * 37 + 11);
  return buffer;
}

void RunProcessBuffer(benchmark::State& state, bool withNode) {
  platform::clock::Reset();
  // The loop calls the kernel (the list lock) millions of times without waiting: no hang.
  platform::clock::SetHangLimit(0);
  platform::clock::ScopedPlatformThread thread("bench");
  adapter::IStreamEngine* itf = nullptr;
  adapter::CreateInstance<CBenchEngine>(&itf, nullptr, NonPagedPool, MakePoolTag('B', 'p', 'r', 'c'), 1u);
  auto* engine = static_cast<CBenchEngine*>(itf);
  engine->Init(adapter::STREAM_DIRECTION_RENDER);
  engine->AllocStreamBuffers();
  engine->SetCurrentFormat(Cd48());
  adapter::IDspNode* node = nullptr;
  if (withNode) {
    adapter::CreateInstance<CUnityNode>(&node, nullptr, NonPagedPool, MakePoolTag('B', 'n', 'o', 'd'));
    engine->AddFirstEffectNode(node);
  }
  std::vector<UCHAR> buffer = Audio();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine->ProcessBuffer(buffer.data(), kBytes));
    benchmark::ClobberMemory();
  }
  KeLowerIrql(old);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
  itf->Release();
  if (node) node->Release();
}

void BM_ProcessBuffer_EmptyLists(benchmark::State& state) { RunProcessBuffer(state, false); }
BENCHMARK(BM_ProcessBuffer_EmptyLists);

void BM_ProcessBuffer_OneEffectNode(benchmark::State& state) { RunProcessBuffer(state, true); }
BENCHMARK(BM_ProcessBuffer_OneEffectNode);

// The baseline: the same 192 bytes copied once.
void BM_BareCopy(benchmark::State& state) {
  std::vector<UCHAR> source = Audio();
  std::vector<UCHAR> destination(kBytes);
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), kBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
}
BENCHMARK(BM_BareCopy);

}  // namespace

BENCHMARK_MAIN();
