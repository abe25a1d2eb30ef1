// The 147:160 polyphase resampler.
//
// Up (44100 -> 48000 family): every input sample is filtered through up row p for as
// many outputs as fall inside its input period; the phase advances by 147 of 160 per
// output, and only when it wraps is the sample used up; until then it stays in front of
// the window for the next output.
// Down (48000 -> 44100 family): every input yields one output through down row p, the
// phase advances by 13 of 147, and when it wraps the next input is pushed without an
// output. A wrap on the last sample of a call leaves the skip to the next call.
//
// Each output is the dot product of the phase's row with the newest `taps` samples,
// newest first (row entry 0 weights the newest sample): products rounded to float and
// summed in double, as the one-sample FIR primitive does, but in four partial sums. The
// window lives in SSE registers while a call runs, a new sample shifting in at the front,
// and is kept in the channel's delay line between calls. Calling the primitive once per
// output, on a line it has just written, ran several times slower: its single chain of
// double additions and the reload of the sample just stored bound it.
#include <emmintrin.h>

#include "dsp/dsp_block.h"
#include "dsp/resampler_taps.h"
#include "sp/sp.h"

namespace {

// The newest 4 x G samples, newest first, in G registers.
#define DSP_INLINE inline __attribute__((always_inline))

template <int G>
struct Window {
  __m128 r[G];

  DSP_INLINE void Load(const float* line) {
#pragma GCC unroll 8
    for (int g = 0; g < G; ++g) r[g] = _mm_loadu_ps(line + 4 * g);
  }
  DSP_INLINE void Store(float* line) const {
#pragma GCC unroll 8
    for (int g = 0; g < G; ++g) _mm_storeu_ps(line + 4 * g, r[g]);
  }
  // The window with x in front; the oldest sample drops out.
  DSP_INLINE Window ShiftedIn(float x) const {
    Window w;
#pragma GCC unroll 8
    for (int g = G - 1; g > 0; --g) {
      // (r[g-1][3], r[g][0], r[g][1], r[g][2])
      const __m128 t = _mm_shuffle_ps(r[g - 1], r[g], _MM_SHUFFLE(0, 0, 3, 3));
      w.r[g] = _mm_shuffle_ps(t, r[g], _MM_SHUFFLE(2, 1, 2, 0));
    }
    w.r[0] = _mm_move_ss(_mm_shuffle_ps(r[0], r[0], _MM_SHUFFLE(2, 1, 0, 0)), _mm_set_ss(x));
    return w;
  }
  DSP_INLINE float Dot(const float* row) const {
    __m128d even = _mm_setzero_pd();
    __m128d odd = _mm_setzero_pd();
#pragma GCC unroll 8
    for (int g = 0; g < G; ++g) {
      const __m128 p = _mm_mul_ps(_mm_loadu_ps(row + 4 * g), r[g]);
      even = _mm_add_pd(even, _mm_cvtps_pd(p));
      odd = _mm_add_pd(odd, _mm_cvtps_pd(_mm_movehl_ps(p, p)));
    }
    const __m128d sum = _mm_add_pd(even, odd);
    return static_cast<float>(_mm_cvtsd_f64(_mm_add_sd(sum, _mm_unpackhi_pd(sum, sum))));
  }
};

constexpr int kUpGroups = CPolyphaseResampler::UP_TAPS / 4;
constexpr int kDownGroups = CPolyphaseResampler::DOWN_TAPS / 4;
static_assert(kUpGroups * 4 == CPolyphaseResampler::UP_TAPS && kDownGroups * 4 == CPolyphaseResampler::DOWN_TAPS);

}  // namespace

CPolyphaseResampler::CPolyphaseResampler() : m_nPhase{}, m_DelayLine{} {}

std::int32_t CPolyphaseResampler::GetUpStateSize() {
  uint32 size = 0;
  if (spFirGetStateSize_32f(UP_TAPS, &size) != SP_OK) return 0;
  return static_cast<std::int32_t>(size);
}

std::int32_t CPolyphaseResampler::GetDownStateSize() {
  uint32 size = 0;
  if (spFirGetStateSize_32f(DOWN_TAPS, &size) != SP_OK) return 0;
  return static_cast<std::int32_t>(size);
}

void CPolyphaseResampler::Reset() {
  for (int c = 0; c < CHANNELS; ++c) {
    m_nPhase[c] = 0;
    if (m_bAllocated) {
      if (IsUp())
        spFirInit_32f(&m_pFirState[c], POLYPHASE_UP_TAPS[0], UP_TAPS, nullptr, StateBuffer(c));
      else
        spFirInit_32f(&m_pFirState[c], POLYPHASE_DOWN_TAPS[0], DOWN_TAPS, nullptr, StateBuffer(c));
    }
    spZero_32f(m_DelayLine[c], 2 * DOWN_TAPS);
  }
  CDspBlock::Reset();
}

bool CPolyphaseResampler::Process(std::int32_t channel, const float* pSource, std::int32_t* pCount) {
  if (pCount == nullptr) return false;
  const std::int32_t offered = *pCount;
  *pCount = 0;
  if (!ValidChannel(channel) || !m_bAllocated || pSource == nullptr || offered <= 0) return true;
  *pCount = IsUp() ? ProcessUp(channel, pSource, offered) : ProcessDown(channel, pSource, offered);
  return true;
}

std::int32_t CPolyphaseResampler::ProcessUp(int c, const float* pSource, std::int32_t count) {
  float* buffer = m_pBuffer[c];
  std::int32_t fill = m_nFill[c];
  std::int32_t phase = m_nPhase[c];
  std::int32_t taken = 0;
  Window<kUpGroups> committed;
  committed.Load(m_DelayLine[c]);
  // The window with the current sample in front serves every output of its period; it
  // becomes the committed window once the sample is used up.
  Window<kUpGroups> current = committed.ShiftedIn(pSource[0]);
  while (taken < count && fill < m_nCapacity) {
    buffer[fill++] = current.Dot(POLYPHASE_UP_TAPS[phase]);
    phase += DOWN_PHASES;
    if (phase >= UP_PHASES) {
      phase -= UP_PHASES;
      committed = current;
      if (++taken < count) current = committed.ShiftedIn(pSource[taken]);
    }
  }
  committed.Store(m_DelayLine[c]);
  m_nFill[c] = fill;
  m_nPhase[c] = phase;
  return taken;
}

std::int32_t CPolyphaseResampler::ProcessDown(int c, const float* pSource, std::int32_t count) {
  constexpr std::int32_t kStep = UP_PHASES - DOWN_PHASES;  // 13
  float* buffer = m_pBuffer[c];
  std::int32_t fill = m_nFill[c];
  std::int32_t phase = m_nPhase[c];
  std::int32_t taken = 0;
  Window<kDownGroups> window;
  window.Load(m_DelayLine[c]);
  if (phase >= DOWN_PHASES && fill < m_nCapacity) {
    window = window.ShiftedIn(pSource[taken++]);
    phase -= DOWN_PHASES;
  }
  while (taken < count && fill < m_nCapacity) {
    window = window.ShiftedIn(pSource[taken++]);
    buffer[fill++] = window.Dot(POLYPHASE_DOWN_TAPS[phase]);
    phase += kStep;
    if (phase >= DOWN_PHASES) {
      if (taken == count) break;
      window = window.ShiftedIn(pSource[taken++]);
      phase -= DOWN_PHASES;
    }
  }
  window.Store(m_DelayLine[c]);
  m_nFill[c] = fill;
  m_nPhase[c] = phase;
  return taken;
}
