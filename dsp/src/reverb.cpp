#include "dsp/reverb.h"

#include <cmath>
#include <cstring>

namespace {

// Input samples beyond this magnitude are clamped, so a hostile buffer cannot overflow the
// network into infinities that its feedback would keep forever; full scale is 1.0.
constexpr float kInputLimit = 32768.0f;

// One input sample: as read, with non-finite values as 0 and the magnitude bounded. The
// caller's buffers are never scaled or written: the reverb node hands its wet set back to
// the stream, and channels 2 to 7 must come back as they went in.
inline float ReadSample(const float* channel, std::int32_t frame) {
  if (channel == nullptr) return 0.0f;
  const float v = channel[frame];
  if (!std::isfinite(v)) return 0.0f;
  if (v > kInputLimit) return kInputLimit;
  if (v < -kInputLimit) return -kInputLimit;
  return v;
}

// Values stored into the network below this magnitude are stored as 0. A decaying tail
// would otherwise sink into subnormal floats, which never reach zero and slow every
// operation on them; the floor lies some 450 dB below a 16-bit step, so it changes no
// output, and far enough above the subnormal range that the products of stored values
// with the record's weights stay normal too.
constexpr float kStateFloor = 0x1p-100f;

inline float Settled(float v) { return std::fabs(v) < kStateFloor ? 0.0f : v; }

// Saturates s to [-1, 65535/65536) and rounds it to the 16-bit step floor(32768 s + 0.5),
// returned as a multiple of 1/32768.
inline float ToSixteenBitStep(float s) {
  if (s >= 65535.0f / 65536.0f) return 32767.0f / 32768.0f;
  if (!(s >= -65535.0f / 65536.0f)) return s < 0.0f ? -1.0f : 0.0f;  // NaN gives 0
  const double step = std::floor(static_cast<double>(s) * 32768.0 + 0.5);
  return static_cast<float>(step) * (1.0f / 32768.0f);
}

// Cell index of head index h minus a distance in [0, length].
inline std::int32_t Below(std::int32_t h, std::int32_t distance, std::int32_t length) {
  const std::int32_t i = h - distance;
  return i < 0 ? i + length : i;
}

// A FIR on cells q - 2, q - 4, ..., q - 2n of the buffer (q a cell index): one contiguous
// run when it does not cross the buffer start, else with a wrap per tap.
inline float DiffuserSum(const float* buffer, std::int32_t q, std::int32_t length, const float* c, std::int32_t n) {
  float sum = 0.0f;
  if (q - 2 * n >= 0) {
    const float* p = buffer + q;
    for (std::int32_t i = 0; i < n; ++i) sum += c[i] * p[-2 * (i + 1)];
  } else {
    for (std::int32_t i = 0; i < n; ++i) sum += c[i] * buffer[Below(q, 2 * (i + 1), length)];
  }
  return sum;
}

}  // namespace

void CDspReverb::Init() {
  m_Mode = 0;
  m_ChannelValue = 0;
  m_PendingMode = 0;
  m_PendingChannelValue = 0;
  m_BufferLength = ReverbBufferLengthForMode(0);
  m_Probe = nullptr;
  m_BufferStart = m_Buffer;
  m_Head = m_Buffer;
  std::memset(m_Buffer, 0, sizeof(float) * static_cast<std::size_t>(m_BufferLength));
}

void CDspReverb::SetSampleRate(std::int32_t rate, std::int32_t channelValue) {
  m_PendingChannelValue = channelValue;
  m_PendingMode = ReverbModeForRate(rate);
}

bool CDspReverb::IsModeValid() const {
  return ReverbRecordForMode(m_PendingMode) != nullptr && static_cast<std::uint32_t>(m_PendingChannelValue) < 8u;
}

void CDspReverb::Restart(std::int32_t mode) {
  m_Mode = mode;
  m_BufferLength = ReverbBufferLengthForMode(mode);
  m_BufferStart = m_Buffer;
  m_Head = m_Buffer;
  std::memset(m_Buffer, 0, sizeof(float) * static_cast<std::size_t>(m_BufferLength));
}

void CDspReverb::ApplyPendingMode() {
  if (IsModeValid()) {
    m_ChannelValue = m_PendingChannelValue;
    Restart(m_PendingMode);
  } else {
    m_PendingMode = m_Mode;
    m_PendingChannelValue = m_ChannelValue;
  }
}

void CDspReverb::Reset() {
  // The pending mode always has a record when it came from SetSampleRate; a stray value
  // keeps the current mode rather than leaving the network without one.
  Restart(ReverbRecordForMode(m_PendingMode) != nullptr ? m_PendingMode : m_Mode);
}

void CDspReverb::Process(const float* const* in, float* const* out, std::int32_t frames) {
  if (m_PendingMode != m_Mode || m_PendingChannelValue != m_ChannelValue) ApplyPendingMode();
  const CDspReverbRecord* record = ReverbRecordForMode(m_Mode);
  if (record == nullptr || in == nullptr || out == nullptr || frames <= 0) return;
  const CDspReverbRecord& r = *record;
  const std::int32_t length = m_BufferLength;
  const CDspReverbLayout lay = ReverbLayoutOf(r, length);
  const std::int32_t taps = r.lineTaps;
  const float* c = r.inputMix;
  const float* g = r.sideGains;
  const float* dm = r.diffuserMix;
  const float b0 = r.biquad[0], b1 = r.biquad[1], b2 = r.biquad[2], f1 = r.biquad[3], f2 = r.biquad[4];
  float* const buf = m_BufferStart;
  std::int32_t h = static_cast<std::int32_t>(m_Head - m_BufferStart);

  for (std::int32_t f = 0; f < frames; ++f) {
    // Line reads: T cells downwards from each line's start, weighted.
    float e[REVERB_LINES];
    for (int k = 0; k < REVERB_LINES; ++k) {
      const std::int32_t base = Below(h, lay.lineStart[k], length);
      float sum = 0.0f;
      for (std::int32_t t = 0; t < taps; ++t) sum += r.lineWeights[k][t] * buf[Below(base, t, length)];
      e[k] = sum;
    }

    // Inputs: the front pair takes the low-frequency channel on both sides.
    float left = 0, right = 0, centre = 0, sideLeft = 0, sideRight = 0, backLeft = 0, backRight = 0;
    if (m_ChannelValue == 5 || m_ChannelValue == 7) {
      const float lfe = ReadSample(in[3], f);
      left = ReadSample(in[0], f) + lfe;
      right = ReadSample(in[1], f) + lfe;
      centre = ReadSample(in[2], f);
      sideLeft = ReadSample(in[4], f);
      sideRight = ReadSample(in[5], f);
      if (m_ChannelValue == 7) {
        backLeft = ReadSample(in[6], f);
        backRight = ReadSample(in[7], f);
      }
    }
    const float x[REVERB_LINES] = {c[0] * right + c[1] * sideRight, c[2] * left + c[3] * sideLeft,
                                   c[4] * backLeft + c[5] * centre, c[6] * backRight + c[7] * centre};

    // Input biquads: four six-cell sections; each keeps x[n-1], x[n-2], y[n-1], y[n-2] in
    // the cells the head moves its writes into.
    float y[REVERB_LINES];
    std::int32_t p = Below(h, lay.biquadStart, length);
    for (int k = 0; k < REVERB_LINES; ++k) {
      buf[p] = Settled(x[k]);
      const float acc = b0 * x[k] + b1 * buf[Below(p, 1, length)] + b2 * buf[Below(p, 2, length)] +
                        f1 * buf[Below(p, 3, length)] + f2 * buf[Below(p, 4, length)] +
                        f1 * buf[Below(p, 5, length)] + f2 * buf[Below(p, 6, length)];
      y[k] = Settled(2.0f * acc);
      buf[Below(p, 2, length)] = y[k];
      buf[Below(p, 4, length)] = 0.0f;
      p = Below(p, 6, length);
    }
    if (m_Probe != nullptr) {
      for (int k = 0; k < REVERB_LINES; ++k) {
        if (m_Probe->lineInputs != nullptr) m_Probe->lineInputs[f * 4 + k] = x[k];
        if (m_Probe->biquadOutputs != nullptr) m_Probe->biquadOutputs[f * 4 + k] = y[k];
      }
    }
    float z[REVERB_LINES];
    for (int k = 0; k < REVERB_LINES; ++k) z[k] = y[k] + e[k];

    // Side signals.
    const float centreS = g[0] * centre;
    const float m0 = g[1] * left + g[2] * e[3];
    const float m1 = g[3] * right + g[4] * e[0];
    const float backLeftS = g[5] * backLeft;
    const float backRightS = g[6] * backRight;
    const float m2 = g[7] * sideLeft + g[8] * e[1];
    const float m3 = g[9] * sideRight + g[10] * e[2];

    // Diffusers: each a FIR on its input delayed by 2, 4, ..., 2N frames.
    const float u[REVERB_DIFFUSERS] = {centreS,
                                       dm[0] * m0 + dm[1] * m1,
                                       dm[2] * m0 + dm[3] * m1,
                                       dm[4] * backLeftS + dm[5] * backRightS,
                                       dm[6] * backLeftS + dm[7] * backRightS,
                                       dm[8] * m2 + dm[9] * m3,
                                       dm[10] * m2 + dm[11] * m3};
    const float* coefficients = r.diffuserCoefficients;
    float w0 = 0.0f, w1 = 0.0f;
    for (int j = 0; j < REVERB_DIFFUSERS; ++j) {
      const std::int32_t q = Below(h, lay.diffuserStart[j], length);
      buf[q] = Settled(u[j]);
      const float qj = DiffuserSum(buf, q, length, coefficients, r.diffuserTaps[j]);
      coefficients += r.diffuserTaps[j];
      w0 += r.diffuserSums[0][j] * qj;
      w1 += r.diffuserSums[1][j] * qj;
    }

    // Output filters: five signals per side, each with its two previous frames in the
    // cells below it; all older values are read before the new ones are written.
    const std::int32_t o = Below(h, lay.outputStart, length);
    const float now[2][5] = {{w0, centreS, m0, backLeftS, m2}, {w1, centreS, m1, backRightS, m3}};
    float sum[2];
    for (int side = 0; side < 2; ++side) {
      const std::int32_t base = Below(o, 10 * side, length);
      float older[10];
      for (int i = 0; i < 10; ++i) older[i] = buf[Below(base, i + 1, length)];
      for (int s = 0; s < 5; ++s) buf[Below(base, 2 * s, length)] = Settled(now[side][s]);
      const float* wgt = r.outputFilters[side];
      float acc = 0.0f;
      for (int s = 0; s < 5; ++s) {
        acc += wgt[3 * s] * now[side][s];
        acc += wgt[3 * s + 1] * older[2 * s];
        acc += wgt[3 * s + 2] * older[2 * s + 1];
      }
      sum[side] = acc;
    }
    const float outLeft = ToSixteenBitStep(sum[0]);
    const float outRight = ToSixteenBitStep(sum[1]);

    // Feedback: row k into the cell that line k reads back d_k + 1 .. d_k + T frames on.
    for (int k = 0; k < REVERB_LINES; ++k) {
      const float* row = r.feedbackRows[k];
      buf[Below(h, lay.feedbackCell[k], length)] = Settled(row[0] * z[0] + row[1] * z[1] + row[2] * z[2] + row[3] * z[3]);
    }

    if (out[0] != nullptr) out[0][f] = outLeft;
    if (out[1] != nullptr) out[1][f] = outRight;
    h = h + 1 == length ? 0 : h + 1;
  }
  m_Head = m_BufferStart + h;
}
