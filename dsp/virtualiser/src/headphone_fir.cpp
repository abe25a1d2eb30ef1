// The partitioned overlap-save convolver of the headphone virtualiser and its
// crosstalk-cancellation stage.
#include "dsp/virtualiser/headphone_fir.h"

#include <emmintrin.h>

#include <cstring>

#include "dsp/virtualiser/engine_support.h"
#include "sp/entries_fft.h"

namespace {

constexpr std::int32_t N = HEADPHONEFIR_N;
constexpr std::int32_t kFft = LPV_FFT_LENGTH;
constexpr float kOutputGain = 2.0f;
constexpr float kFoldMain = 0.871f;   // channel 4 (5) into itself
constexpr float kFoldCross = 0.49f;   // channel 5 (4) into channel 4 (5)

// The checks of a block's shape, named as the reports name them.
bool CheckNumOutChans(std::int32_t nOutCh) { return nOutCh == 2; }
bool CheckNumInChans(std::int32_t nInCh) { return nInCh == 2 || nInCh == 6 || nInCh == 8; }
bool CheckDataLen(std::int32_t len) { return len == HEADPHONEFIR_N; }

// a += b over n floats (n a multiple of 4).
void AddInPlace(float* a, const float* b, std::int32_t n) {
  for (std::int32_t i = 0; i < n; i += 4)
    _mm_storeu_ps(a + i, _mm_add_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
}

}  // namespace

CHeadphoneFir::CHeadphoneFir(const LpvFilterSource& source)
    : m_pSource(&source), m_nRoom(ROOMSIZE_UNDEFINED), m_nAngle(SPEAKERANGLE_UNDEFINED), m_nHeadParts(-1),
      m_nTailParts(-1), m_nCtcAngle(CTCANGLE_UNDEFINED), m_nCtcLength(1), m_pSpec(nullptr), m_pWork(nullptr),
      m_bWorkReady(false), m_nHeadPos(0), m_nTailPos(0) {
  // The record and its work buffer are made here once, so that no transform of the
  // processing path allocates (or can fail for want of memory).
  spRealFftSpec* spec = nullptr;
  if (spFftCreateSpecReal_32f(&spec, 10, SP_FFT_SCALE_INVERSE, 0) == SP_OK && spec != nullptr) {
    m_pSpec = spec;
    const std::int32_t workBytes = spec->workBytes;
    if (workBytes <= 0) {
      m_bWorkReady = true;
    } else {
      // The transforms align the buffer up to 32 bytes themselves: allow for it.
      m_pWork = static_cast<std::uint8_t*>(
          DspAllocate(static_cast<std::size_t>(workBytes) + 32, DSP_POOL_TAG_LPVP, true));
      m_bWorkReady = m_pWork != nullptr;
    }
  }
  std::memset(m_headSpectra, 0, sizeof(m_headSpectra));
  std::memset(m_tailSpectra, 0, sizeof(m_tailSpectra));
  Reset();
  SelectFilters(1, 29);
  SetCtcAngle(0);
}

CHeadphoneFir::~CHeadphoneFir() {
  if (m_pSpec != nullptr) spFftFreeSpecReal_32f(m_pSpec);
  m_pSpec = nullptr;
  DspFree(m_pWork);
  m_pWork = nullptr;
}

void CHeadphoneFir::Reset() {
  std::memset(m_inputHistory, 0, sizeof(m_inputHistory));
  std::memset(m_frames, 0, sizeof(m_frames));
  std::memset(m_tailRing, 0, sizeof(m_tailRing));
  std::memset(m_acc, 0, sizeof(m_acc));
  m_nHeadPos = 0;
  m_nTailPos = 0;
  std::memset(m_ctcSumHistory, 0, sizeof(m_ctcSumHistory));
  std::memset(m_ctcDiffHistory, 0, sizeof(m_ctcDiffHistory));
}

std::int32_t CHeadphoneFir::SetRoomAndAngle(std::int32_t roomValue, std::int32_t angleCode) {
  std::int32_t room = 2;
  switch (roomValue) {
    case 0: room = 3; break;
    case 1: room = 2; break;
    case 2: room = 1; break;
    default: LPV_ASSERT(0); break;
  }
  std::int32_t code = 24;
  switch (angleCode) {
    case 24: case 25: case 29: case 30: case 31: case 34: case 35: case 39: case 40: code = angleCode; break;
    default: LPV_ASSERT(0); break;
  }
  return SelectFilters(room, code);
}

std::int32_t CHeadphoneFir::SelectFilters(std::int32_t nRoom, std::int32_t nAngle) {
  LPV_ASSERT(nRoom!=ROOMSIZE_UNDEFINED && nAngle!=SPEAKERANGLE_UNDEFINED);
  m_nRoom = nRoom;
  m_nAngle = nAngle;
  m_nHeadParts = -1;
  m_nTailParts = -1;
  LpvFilterTables tables;
  switch (LpvFindFilterTables(*m_pSource, nRoom, nAngle, &tables)) {
    case LpvFilterLookup::Found: break;
    case LpvFilterLookup::UnknownCode:
    case LpvFilterLookup::UnknownRoom: LPV_ASSERT(0); return 1;
    case LpvFilterLookup::NoData: return 1;  // no filters yet: silent
  }
  if (!IsValid()) return 1;
  LoadPartitions(tables.head, LPV_HEAD_FILTERS, LPV_HEAD_LENGTH, tables.tail, 2, tables.tailLength, &m_headSpectra[0][0][0],
                 &m_tailSpectra[0][0][0], &m_nHeadParts, &m_nTailParts, m_pSpec, m_pWork);
  return 1;
}

void CHeadphoneFir::LoadPartitions(const float* head, std::int32_t nhead, std::int32_t headlen, const float* tail,
                                   std::int32_t ntail, std::int32_t tailen, float* headSpectra, float* tailSpectra,
                                   std::int32_t* pHeadParts, std::int32_t* pTailParts, const spRealFftSpec* spec,
                                   std::uint8_t* buffer) {
  bool ok = LPV_ASSERT(nhead==5 || nhead==10);
  ok = LPV_ASSERT(headlen%HEADPHONEFIR_N==0) && ok;
  ok = LPV_ASSERT(ntail==2) && ok;
  ok = LPV_ASSERT(tailen%HEADPHONEFIR_N==0) && ok;
  // The spectra hold at most 2 head and 14 tail partitions per filter.
  ok = ok && headlen > 0 && headlen / N <= kHeadParts && tailen > 0 && tailen / N <= kMaxTailParts;
  ok = ok && head != nullptr && tail != nullptr && headSpectra != nullptr && tailSpectra != nullptr;
  if (!ok) {
    if (pHeadParts != nullptr) *pHeadParts = -1;
    if (pTailParts != nullptr) *pTailParts = -1;
    return;
  }
  const std::int32_t headParts = headlen / N, tailParts = tailen / N;
  bool transformed = true;
  auto load = [&](float* slot, const float* taps) {
    std::memcpy(slot, taps, sizeof(float) * N);
    std::memset(slot + N, 0, sizeof(float) * N);
    transformed = spFftForwardRealInPlace_32f(slot, spec, buffer) == SP_OK && transformed;
  };
  for (std::int32_t k = 0; k < nhead; ++k)
    for (std::int32_t p = 0; p < headParts; ++p)
      load(headSpectra + (static_cast<std::size_t>(k) * kHeadParts + p) * kFft,
           head + static_cast<std::size_t>(k) * headlen + static_cast<std::size_t>(p) * N);
  for (std::int32_t e = 0; e < ntail; ++e)
    for (std::int32_t q = 0; q < tailParts; ++q)
      load(tailSpectra + (static_cast<std::size_t>(e) * kMaxTailParts + q) * kFft,
           tail + static_cast<std::size_t>(e) * tailen + static_cast<std::size_t>(q) * N);
  // Untransformed taps must never be used as spectra.
  if (pHeadParts != nullptr) *pHeadParts = transformed ? headParts : -1;
  if (pTailParts != nullptr) *pTailParts = transformed ? tailParts : -1;
}

void CHeadphoneFir::MultiplyAccumulate(const float* f, const float* x, float* acc, std::int32_t n) {
  // DC and Nyquist are real.
  acc[0] += f[0] * x[0];
  acc[1] += f[1] * x[1];
  const std::int32_t head = n < 8 ? n : 8;
  for (std::int32_t i = 2; i + 1 < head; i += 2) {
    const float xr = x[i], xi = x[i + 1], fr = f[i], fi = f[i + 1];
    acc[i] += xr * fr - xi * fi;
    acc[i + 1] += xr * fi + xi * fr;
  }
  // Four complex values a step, deinterleaved into real and imaginary lanes; the same
  // operations in the same order as above, so both paths round alike.
  for (std::int32_t i = 8; i + 8 <= n; i += 8) {
    const __m128 x0 = _mm_loadu_ps(x + i), x1 = _mm_loadu_ps(x + i + 4);
    const __m128 f0 = _mm_loadu_ps(f + i), f1 = _mm_loadu_ps(f + i + 4);
    const __m128 a0 = _mm_loadu_ps(acc + i), a1 = _mm_loadu_ps(acc + i + 4);
    const __m128 xr = _mm_shuffle_ps(x0, x1, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 xi = _mm_shuffle_ps(x0, x1, _MM_SHUFFLE(3, 1, 3, 1));
    const __m128 fr = _mm_shuffle_ps(f0, f1, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 fi = _mm_shuffle_ps(f0, f1, _MM_SHUFFLE(3, 1, 3, 1));
    const __m128 ar = _mm_shuffle_ps(a0, a1, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 ai = _mm_shuffle_ps(a0, a1, _MM_SHUFFLE(3, 1, 3, 1));
    const __m128 re = _mm_add_ps(ar, _mm_sub_ps(_mm_mul_ps(xr, fr), _mm_mul_ps(xi, fi)));
    const __m128 im = _mm_add_ps(ai, _mm_add_ps(_mm_mul_ps(xr, fi), _mm_mul_ps(xi, fr)));
    _mm_storeu_ps(acc + i, _mm_unpacklo_ps(re, im));
    _mm_storeu_ps(acc + i + 4, _mm_unpackhi_ps(re, im));
  }
}

void CHeadphoneFir::Process(float** out, std::int32_t nOutCh, float** in, std::int32_t nInCh, std::int32_t len) {
  bool ok = LPV_ASSERT(CheckNumOutChans(nOutCh));
  ok = LPV_ASSERT(CheckNumInChans(nInCh)) && ok;
  ok = LPV_ASSERT(CheckDataLen(len)) && ok;
  if (out == nullptr) return;
  ok = ok && in != nullptr && out[0] != nullptr && out[1] != nullptr;
  for (std::int32_t c = 0; ok && c < nInCh; ++c) ok = in[c] != nullptr;
  if (!ok || !IsValid()) {
    // Refused: silence on the (at most two) outputs; nothing is read.
    for (std::int32_t c = 0; c < nOutCh && c < 2; ++c)
      if (out[c] != nullptr && len > 0) std::memset(out[c], 0, sizeof(float) * static_cast<std::size_t>(len));
    return;
  }
  const bool surround = nInCh != 2;
  const std::int32_t groups = surround ? kGroups : 2;
  const std::int32_t h = m_nHeadPos, t = m_nTailPos;

  // 1. The tail's input: the channel-sum frame of two blocks ago (slot h still holds it).
  float* tailIn = m_tailRing[t];
  std::memcpy(tailIn, m_frames[0][h], sizeof(float) * kFft);
  for (std::int32_t g = 1; g < groups; ++g) AddInPlace(tailIn, m_frames[g][h], kFft);

  // 2. The rear fold: channels 6 and 7 into 4 and 5, in the caller's buffers.
  if (nInCh == 8) {
    float* c4 = in[4];
    float* c5 = in[5];
    const float* c6 = in[6];
    const float* c7 = in[7];
    for (std::int32_t i = 0; i < N; ++i) {
      const float x4 = c4[i], x5 = c5[i];
      c4[i] = kFoldMain * x4 + c6[i] + kFoldCross * x5;
      c5[i] = kFoldCross * x4 + c7[i] + kFoldMain * x5;
    }
  }

  // 3. Frames: the previous block, then this one; channel 3 joins groups A and B.
  static constexpr std::int32_t kGroupChannel[kGroups] = {0, 1, 2, 4, 5};
  for (std::int32_t g = 0; g < groups; ++g) {
    const std::int32_t c = kGroupChannel[g];
    float* frame = m_frames[g][h];
    std::memcpy(frame, m_inputHistory[c], sizeof(float) * N);
    std::memcpy(frame + N, in[c], sizeof(float) * N);
    if (surround && g < 2) {
      AddInPlace(frame, m_inputHistory[3], N);
      AddInPlace(frame + N, in[3], N);
    }
  }
  for (std::int32_t g = 0; g < groups; ++g) std::memcpy(m_inputHistory[kGroupChannel[g]], in[kGroupChannel[g]], sizeof(float) * N);
  if (surround) std::memcpy(m_inputHistory[3], in[3], sizeof(float) * N);

  // 4. To spectra. The record and buffer are valid, so the transforms cannot fail.
  for (std::int32_t g = 0; g < groups; ++g) spFftForwardRealInPlace_32f(m_frames[g][h], m_pSpec, m_pWork);

  // 5.-7. Accumulate: head partition p meets the frame of p blocks ago, tail partition q
  // the sum frame of q + 2 blocks ago.
  float* accL = m_acc[0];
  float* accR = m_acc[1];
  std::memset(m_acc, 0, sizeof(m_acc));
  if (m_nHeadParts > 0) {
    for (std::int32_t p = 0; p < m_nHeadParts; ++p) {
      const std::int32_t s = (h + p) % kHeadParts;
      for (std::int32_t g = 0; g < groups; ++g) {
        MultiplyAccumulate(m_headSpectra[2 * g][p], m_frames[g][s], accL, kFft);
        MultiplyAccumulate(m_headSpectra[2 * g + 1][p], m_frames[g][s], accR, kFft);
      }
    }
  }
  if (m_nTailParts > 0) {
    for (std::int32_t q = 0; q < m_nTailParts; ++q) {
      const float* sum = m_tailRing[(t + q) % kMaxTailParts];
      MultiplyAccumulate(m_tailSpectra[0][q], sum, accL, kFft);
      MultiplyAccumulate(m_tailSpectra[1][q], sum, accR, kFft);
    }
  }

  // 8.-9. Back to time; the second half of the circular result is the block's output.
  spFftInverseRealInPlace_32f(accL, m_pSpec, m_pWork);
  spFftInverseRealInPlace_32f(accR, m_pSpec, m_pWork);
  const __m128 gain = _mm_set1_ps(kOutputGain);
  for (std::int32_t i = 0; i < N; i += 4) {
    _mm_storeu_ps(out[0] + i, _mm_mul_ps(_mm_loadu_ps(accL + N + i), gain));
    _mm_storeu_ps(out[1] + i, _mm_mul_ps(_mm_loadu_ps(accR + N + i), gain));
  }

  // 10. Walk the rings downwards, modulo their capacities, so that a selection with other
  // partition counts finds every frame where its age says.
  m_nHeadPos = (h - 1 + kHeadParts) % kHeadParts;
  m_nTailPos = (t - 1 + kMaxTailParts) % kMaxTailParts;

  ApplyCtc(out[0], out[1]);
}

void CHeadphoneFir::ApplyCtc(float* left, float* right) {
  float* S = m_ctcSumHistory;
  float* D = m_ctcDiffHistory;
  const std::int32_t n = m_nCtcLength;
  // Index 0 holds the newest sample.
  for (std::int32_t i = 0; i < N; ++i) {
    S[N - 1 - i] = left[i] + right[i];
    D[N - 1 - i] = left[i] - right[i];
  }
  // A causal FIR over each signal; result j lands in cell n + 511 - j, which no later
  // step reads.
  auto filter = [n](float* x, const float* taps) {
    for (std::int32_t j = 0; j < N; ++j) {
      float acc = 0.0f;
      for (std::int32_t k = 0; k < n; ++k) acc += taps[k] * x[N - 1 - j + k];
      x[n + N - 1 - j] = acc;
    }
  };
  filter(S, m_ctcSumFilter);
  filter(D, m_ctcDiffFilter);
  for (std::int32_t i = 0; i < N; ++i) {
    left[i] = (S[kCtcHistory - 1 - i] + D[kCtcHistory - 1 - i]) * 0.5f;
    right[i] = (S[kCtcHistory - 1 - i] - D[kCtcHistory - 1 - i]) * 0.5f;
  }
  std::memmove(S + N, S, sizeof(float) * LPV_CTC_LENGTH);
  std::memmove(D + N, D, sizeof(float) * LPV_CTC_LENGTH);
}

std::int32_t CHeadphoneFir::SetCtcAngle(std::int32_t nCTCAngle) {
  LPV_ASSERT(nCTCAngle!=CTCANGLE_UNDEFINED);
  if (nCTCAngle == m_nCtcAngle) return 1;
  m_nCtcAngle = nCTCAngle;
  const float* t1 = nullptr;
  const float* t2 = nullptr;
  std::memset(m_ctcSumFilter, 0, sizeof(m_ctcSumFilter));
  std::memset(m_ctcDiffFilter, 0, sizeof(m_ctcDiffFilter));
  if (LpvFindCrosstalkSet(*m_pSource, nCTCAngle, &t1, &t2)) {
    m_nCtcLength = LPV_CTC_LENGTH;
    for (std::int32_t k = 0; k < LPV_CTC_LENGTH; ++k) {
      m_ctcSumFilter[k] = t1[k] + t2[k];
      m_ctcDiffFilter[k] = t1[k] - t2[k];
    }
  } else {
    // Off, or an angle without a set in the source: the one-tap identity.
    m_nCtcLength = 1;
    m_ctcSumFilter[0] = 1.0f;
    m_ctcDiffFilter[0] = 1.0f;
  }
  std::memset(m_ctcSumHistory, 0, sizeof(m_ctcSumHistory));
  std::memset(m_ctcDiffHistory, 0, sizeof(m_ctcDiffHistory));
  return 1;
}
