#include "quality_measures.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <random>

#include "dsp/host.h"
#include "dsp/non_interleave_src.h"
#include "dsp/reverb.h"
#include "dsp/virtualiser/headphone_filters.h"
#include "dsp/virtualiser/headphone_fir.h"
#include "sp/iir.h"
#include "sp/sp.h"

namespace quality {

namespace {

constexpr double kPi = std::numbers::pi;

std::vector<float> Tone(int n, double fs, double f, double amplitude) {
  std::vector<float> x(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) x[static_cast<size_t>(i)] = static_cast<float>(amplitude * std::sin(2 * kPi * f * i / fs));
  return x;
}

// The converted signal less Edge samples at each end (the filters' start and end).
std::vector<double> Trimmed(const std::vector<double>& y, size_t edge) {
  if (y.size() <= 2 * edge) return {};
  return std::vector<double>(y.begin() + static_cast<std::ptrdiff_t>(edge), y.end() - static_cast<std::ptrdiff_t>(edge));
}

double Db(double ratio) { return 20 * std::log10(std::max(ratio, 1e-15)); }

// Where a tone at F of the input lands after the output rate folds it (image or alias).
double Folded(double inRate, double outRate, double f) {
  double image = std::abs(inRate - f);
  while (image > outRate / 2) image = std::abs(image - outRate);
  return image;
}

// An aligned float block for the primitives, freed with its owner.
struct Block {
  explicit Block(size_t floats)
      : p(static_cast<float*>(std::aligned_alloc(64, (floats * sizeof(float) + 63) / 64 * 64))) {}
  ~Block() { std::free(p); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  float* p;
};

// Runs the primitives in one build while in scope.
class BuildScope {
 public:
  explicit BuildScope(int index) : saved_(spDispatchIndex) { spDispatchIndex = index; }
  ~BuildScope() { spDispatchIndex = saved_; }
  BuildScope(const BuildScope&) = delete;
  BuildScope& operator=(const BuildScope&) = delete;

 private:
  int saved_;
};

struct BuildInfo {
  const char* name;
  bool runs;
};

std::vector<BuildInfo> Builds() {
  __builtin_cpu_init();
  return {{"generic", true},
          {"sse3", __builtin_cpu_supports("sse3") != 0},
          {"ssse3", __builtin_cpu_supports("ssse3") != 0},
          {"sse41", __builtin_cpu_supports("sse4.1") != 0}};
}

std::vector<float> Random(size_t n, unsigned seed, float amplitude) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-amplitude, amplitude);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

// Complex forward transform of order 10 against a double DFT: relative RMS error, the
// measure and the bound (1.5e-7 (order + 2)) of the FFT's own tests.
double FftError(int build) {
  constexpr int kOrder = 10, kN = 1 << kOrder;
  BuildScope scope(build);
  spComplexFftSpec* record = nullptr;
  if (spFftCreateSpecComplex_32fc(&record, kOrder, SP_FFT_NO_SCALE, 0) != SP_OK) return INFINITY;
  const auto x = Random(2 * kN, 11, 1.0f);
  Block in(2 * kN), out(2 * kN), work(static_cast<size_t>(record->workBytes) / 4 + 16);
  std::copy(x.begin(), x.end(), in.p);
  spFftForwardComplex_32fc(in.p, out.p, record, reinterpret_cast<uint8*>(work.p));
  spFftFreeSpecComplex_32fc(record);
  long double num = 0, den = 0;
  for (int k = 0; k < kN; ++k) {
    std::complex<long double> acc = 0;
    for (int n = 0; n < kN; ++n) {
      const long double a = -2.0L * std::numbers::pi_v<long double> * ((static_cast<long long>(k) * n) % kN) / kN;
      acc += std::complex<long double>(x[2 * n], x[2 * n + 1]) * std::complex<long double>(std::cos(a), std::sin(a));
    }
    const std::complex<long double> got(out.p[2 * k], out.p[2 * k + 1]);
    num += std::norm(got - acc);
    den += std::norm(acc);
  }
  return static_cast<double>(std::sqrt(num / den));
}

// The 101-tap filter over 2048 samples against a double direct form: the largest error
// relative to the filter's gain bound (sum |h| times the largest input), as the FIR
// tests measure it; their bound is 1e-6 (1 + log2(1 + taps)).
double FirError(int build) {
  constexpr int kTaps = 101, kLen = 2048;
  BuildScope scope(build);
  const auto h = Random(kTaps, 21, 0.2f);
  const auto x = Random(kLen, 22, 1.0f);
  uint32 bytes = 0;
  if (spFirGetStateSize_32f(kTaps, &bytes) != SP_OK) return INFINITY;
  std::vector<std::uint8_t> buf(bytes);
  spFirState* state = nullptr;
  if (spFirInit_32f(&state, h.data(), kTaps, nullptr, buf.data()) != SP_OK) return INFINITY;
  std::vector<float> y(kLen);
  spFirFilter_32f(x.data(), y.data(), kLen, state);
  double mag = 0, worst = 0;
  for (float t : h) mag += std::fabs(t);
  for (int n = 0; n < kLen; ++n) {
    double acc = 0;
    for (int k = 0; k < kTaps && k <= n; ++k) acc += static_cast<double>(h[static_cast<size_t>(k)]) * x[static_cast<size_t>(n - k)];
    worst = std::max(worst, std::fabs(y[static_cast<size_t>(n)] - acc) / mag);
  }
  return worst;
}

// An 8th-order Butterworth low-pass at 0.1 of the rate as four biquads, 4096 samples,
// against the same sections in double: the largest error relative to the largest output
// (at least 1), the IIR tests' measure; their bound is 2e-5.
double IirError(int build) {
  constexpr int kSections = 4, kLen = 4096;
  BuildScope scope(build);
  std::vector<float> sec;
  const double w0 = 2 * kPi * 0.1, c = std::cos(w0), s = std::sin(w0);
  for (int k = 0; k < kSections; ++k) {
    const double q = 1.0 / (2.0 * std::cos(kPi * (2 * k + 1) / (4.0 * kSections)));
    const double alpha = s / (2.0 * q), a0 = 1.0 + alpha;
    for (double v : {(1 - c) / 2 / a0, (1 - c) / a0, (1 - c) / 2 / a0, -2 * c / a0, (1 - alpha) / a0})
      sec.push_back(static_cast<float>(v));
  }
  int bytes = 0;
  if (sp::generic::spIirBiquadGetStateSize_32f(kSections, &bytes) != SP_OK) return INFINITY;
  std::vector<std::uint8_t> buf(static_cast<size_t>(bytes));
  spIirState* state = nullptr;
  if (sp::generic::spIirBiquadInit_32f(&state, sec.data(), kSections, nullptr, buf.data()) != SP_OK) return INFINITY;
  const auto x = Random(kLen, 31, 1.0f);
  std::vector<float> y = x;
  spIirFilterInPlace_32f(y.data(), kLen, state);
  std::vector<double> ref(x.begin(), x.end());
  for (int k = 0; k < kSections; ++k) {
    const float* q = sec.data() + 5 * k;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (double& v : ref) {
      const double out = q[0] * v + q[1] * x1 + q[2] * x2 - q[3] * y1 - q[4] * y2;
      x2 = x1, x1 = v, y2 = y1, y1 = out, v = out;
    }
  }
  double err = 0, mag = 1;
  for (int n = 0; n < kLen; ++n) {
    err = std::max(err, std::fabs(y[static_cast<size_t>(n)] - ref[static_cast<size_t>(n)]));
    mag = std::max(mag, std::fabs(ref[static_cast<size_t>(n)]));
  }
  return err / mag;
}

}  // namespace

ToneFit FitTone(const std::vector<double>& y, double fs, double f) {
  const double w = 2 * kPi * f / fs;
  double m[3][3] = {}, r[3] = {};
  for (size_t n = 0; n < y.size(); ++n) {
    const double v[3] = {1.0, std::sin(w * static_cast<double>(n)), std::cos(w * static_cast<double>(n))};
    for (int i = 0; i < 3; ++i) {
      r[i] += v[i] * y[n];
      for (int j = 0; j < 3; ++j) m[i][j] += v[i] * v[j];
    }
  }
  for (int i = 0; i < 3; ++i) {
    for (int k = i + 1; k < 3; ++k) {
      const double q = m[k][i] / m[i][i];
      for (int j = i; j < 3; ++j) m[k][j] -= q * m[i][j];
      r[k] -= q * r[i];
    }
  }
  double c[3];
  for (int i = 2; i >= 0; --i) {
    double s = r[i];
    for (int j = i + 1; j < 3; ++j) s -= m[i][j] * c[j];
    c[i] = s / m[i][i];
  }
  double err = 0;
  std::vector<double> residual(y.size());
  for (size_t n = 0; n < y.size(); ++n) {
    const double t = static_cast<double>(n);
    residual[n] = y[n] - (c[0] + c[1] * std::sin(w * t) + c[2] * std::cos(w * t));
    err += residual[n] * residual[n];
  }
  const double amplitude = std::hypot(c[1], c[2]);
  const double rms = y.empty() ? 0.0 : std::sqrt(err / static_cast<double>(y.size()));
  return {amplitude, Db(rms / (amplitude / std::sqrt(2.0))), std::move(residual)};
}

ResamplerFigures MeasureResampler(const Converter& convert, int inRate, int outRate) {
  constexpr double kAmplitude = 0.5;
  constexpr size_t kEdge = 1000;
  const double fin = inRate, fout = outRate;
  ResamplerFigures r{-300.0, -300.0, 0.0, -300.0};
  // THD+N and images: one second of each tone, as the container's own tests measure them.
  for (double f : {100.0, 1000.0, 5000.0, 10000.0, 12500.0, 15000.0}) {
    const auto y = Trimmed(convert(Tone(inRate, fin, f, kAmplitude)), kEdge);
    if (y.empty()) return {0.0, 0.0, 0.0, 0.0};
    const ToneFit tone = FitTone(y, fout, f);
    r.thdNoiseDb = std::max(r.thdNoiseDb, tone.residualDb);
    const double image = FitTone(tone.residual, fout, Folded(fin, fout, f)).amplitude;
    r.imageDb = std::max(r.imageDb, Db(image / tone.amplitude));
  }
  // Passband: a third of an octave apart from 20 Hz, and 20 kHz itself; 0.25 s each.
  double lo = 1e9, hi = -1e9;
  std::vector<double> freqs;
  for (double f = 20.0; f < 20000.0; f *= std::pow(2.0, 1.0 / 3.0)) freqs.push_back(f);
  freqs.push_back(20000.0);
  for (double f : freqs) {
    const auto y = Trimmed(convert(Tone(inRate / 4, fin, f, kAmplitude)), kEdge);
    if (y.empty()) return {0.0, 0.0, 0.0, 0.0};
    const double g = Db(FitTone(y, fout, f).amplitude / kAmplitude);
    lo = std::min(lo, g), hi = std::max(hi, g);
  }
  r.rippleDb = hi - lo;
  // Stopband, 300 Hz apart. Downsampling: tones between the output's and the input's
  // Nyquist rates, measured where they alias into the output band. Upsampling: tones at
  // the top of the passband (20.5 kHz up), measured at their images past the input's
  // Nyquist rate.
  const bool down = fin > fout;
  const double first = down ? fout / 2 + 500.0 : 20500.0;
  for (double f = first; f < fin / 2 - 50.0; f += 300.0) {
    const auto y = Trimmed(convert(Tone(inRate / 4, fin, f, kAmplitude)), kEdge);
    if (y.empty()) break;
    const double at = down ? fout - f : fin - f;  // the tone's alias, or its image
    r.stopbandDb = std::max(r.stopbandDb, Db(FitTone(y, fout, at).amplitude / kAmplitude));
  }
  return r;
}

Converter OurResampler(int inRate, int outRate) {
  return [inRate, outRate](const std::vector<float>& x) {
    std::vector<double> out;
    CDspNonInterleaveSrc src;
    if (!src.Init()) return out;
    auto format = [](int rate) {
      dsp::WAVEFORMATEXTENSIBLE f{};
      f.Format.wFormatTag = dsp::WAVE_FORMAT_IEEE_FLOAT;
      f.Format.nChannels = 1;
      f.Format.nSamplesPerSec = static_cast<std::uint32_t>(rate);
      f.Format.wBitsPerSample = 32;
      f.Format.nBlockAlign = 4;
      f.Format.nAvgBytesPerSec = static_cast<std::uint32_t>(rate) * 4;
      return f;
    };
    const auto in = format(inRate), outFormat = format(outRate);
    if (!src.SetFormat(&in, &outFormat)) return out;
    std::vector<float> input = x;
    std::vector<float> y(static_cast<size_t>(static_cast<double>(x.size()) * outRate / inRate) + 4096);
    float* inPtr[1] = {input.data()};
    float* outPtr[1] = {y.data()};
    std::uint32_t produced = 0;
    if (ProcessPlanarBlocks(&src, static_cast<std::uint32_t>(input.size()), &produced, &in, &outFormat, inPtr, outPtr,
                            static_cast<std::uint32_t>(y.size() * 4), 0) != dsp::STATUS_SUCCESS)
      return out;
    out.assign(y.begin(), y.begin() + produced);
    return out;
  };
}

double ReverbDecaySeconds(int rate, int* mode) {
  CDspReverb* reverb = DspNew<CDspReverb>(DspPoolTag('D', 'o', 'H', 'P'));
  if (reverb == nullptr) return 0.0;
  reverb->Init();
  reverb->SetSampleRate(rate, 7);
  reverb->ApplyPendingMode();
  if (mode != nullptr) *mode = static_cast<int>(reverb->Mode());
  constexpr int kBlock = 512;
  const int blocks = rate / kBlock;
  std::vector<std::vector<float>> in(8, std::vector<float>(kBlock, 0.0f));
  std::vector<float> l, r;
  float left[kBlock], right[kBlock];
  for (int b = 0; b < blocks; ++b) {
    in[4][0] = b == 0 ? 1.0f : 0.0f;
    const float* ip[8];
    for (int c = 0; c < 8; ++c) ip[c] = in[static_cast<size_t>(c)].data();
    float* op[2] = {left, right};
    reverb->Process(ip, op, kBlock);
    l.insert(l.end(), left, left + kBlock);
    r.insert(r.end(), right, right + kBlock);
  }
  DspDelete(reverb);
  std::vector<double> edc(l.size() + 1, 0.0);
  for (size_t n = l.size(); n-- > 0;)
    edc[n] = edc[n + 1] + static_cast<double>(l[n]) * l[n] + static_cast<double>(r[n]) * r[n];
  if (edc[0] <= 0) return 0.0;
  double sx = 0, sy = 0, sxx = 0, sxy = 0, count = 0;
  for (size_t n = 0; n < l.size(); ++n) {
    const double db = 10 * std::log10(edc[n] / edc[0]);
    if (db > -5 || db < -25) continue;
    const double t = static_cast<double>(n) / rate;
    sx += t, sy += db, sxx += t * t, sxy += t * db, ++count;
  }
  if (count < 2) return 0.0;
  const double slope = (count * sxy - sx * sy) / (count * sxx - sx * sx);
  return -60.0 / slope;
}

double ConvolverRelativeRmsError(int dispatchIndex) {
  constexpr int kN = HEADPHONEFIR_N, kBlocks = 20;
  constexpr std::int32_t kRoom = 3, kCode = 24;
  BuildScope scope(dispatchIndex);  // the record is made for the build that runs it
  const auto data = Random(LPV_FILTER_DATA_FLOATS, 7, 0.25f);
  const LpvFilterSource source{data.data(), data.size(), nullptr, 0};
  LpvFilterTables tables;
  if (LpvFindFilterTables(source, kRoom, kCode, &tables) != LpvFilterLookup::Found) return INFINITY;
  double worst = 0;
  for (int nIn : {2, 8}) {
    auto fir = std::make_unique<CHeadphoneFir>(source);
    fir->SelectFilters(kRoom, kCode);
    if (!fir->IsValid()) return INFINITY;
    const size_t n = static_cast<size_t>(kBlocks) * kN;
    std::vector<std::vector<float>> in;
    for (int c = 0; c < nIn; ++c) in.push_back(Random(n, 100 + static_cast<unsigned>(c + 10 * nIn), 0.5f));
    // The convolver, block by block on copies (the rear fold rewrites its inputs).
    std::vector<std::vector<float>> got(2, std::vector<float>(n, 0.0f));
    std::vector<std::vector<float>> block(static_cast<size_t>(nIn), std::vector<float>(kN));
    std::vector<float*> ip(static_cast<size_t>(nIn));
    for (size_t b = 0; b < static_cast<size_t>(kBlocks); ++b) {
      for (int c = 0; c < nIn; ++c) {
        std::copy_n(in[static_cast<size_t>(c)].begin() + static_cast<std::ptrdiff_t>(b * kN), kN,
                    block[static_cast<size_t>(c)].begin());
        ip[static_cast<size_t>(c)] = block[static_cast<size_t>(c)].data();
      }
      float* op[2] = {got[0].data() + b * kN, got[1].data() + b * kN};
      fir->Process(op, 2, ip.data(), nIn, kN);
    }
    // Direct convolution from the definition: the channel groups (channel 3 in the front
    // pair, the rear pair folded into the sides), each group's head filter per ear, the
    // tails on the groups' sum from tap 1024, times 2, 255 samples late.
    const int groups = nIn == 2 ? 2 : 5;
    std::vector<std::vector<double>> g(static_cast<size_t>(groups), std::vector<double>(n, 0.0));
    std::vector<double> sum(n, 0.0);
    for (size_t i = 0; i < n; ++i) {
      auto ch = [&](int c) { return static_cast<double>(in[static_cast<size_t>(c)][i]); };
      const double c3 = nIn == 2 ? 0.0 : ch(3);
      g[0][i] = ch(0) + c3;
      g[1][i] = ch(1) + c3;
      if (nIn == 8) {
        const double a = 0.871, bb = 0.49, x4 = ch(4), x5 = ch(5);
        g[2][i] = ch(2);
        g[3][i] = a * x4 + ch(6) + bb * x5;
        g[4][i] = bb * x4 + ch(7) + a * x5;
      }
      for (int gi = 0; gi < groups; ++gi) sum[i] += g[static_cast<size_t>(gi)][i];
    }
    for (int e = 0; e < 2; ++e) {
      double num = 0, den = 0;
      const float* tail = tables.tail + static_cast<std::ptrdiff_t>(e) * tables.tailLength;
      for (size_t m = 255; m < n; ++m) {
        const size_t i = m - 255;
        double acc = 0;
        for (int gi = 0; gi < groups; ++gi) {
          const float* h = tables.head + static_cast<std::ptrdiff_t>(2 * gi + e) * LPV_HEAD_LENGTH;
          for (size_t k = 0; k < static_cast<size_t>(LPV_HEAD_LENGTH) && k <= i; ++k)
            acc += h[k] * g[static_cast<size_t>(gi)][i - k];
        }
        for (size_t k = 0; k < static_cast<size_t>(tables.tailLength) && k + 1024 <= i; ++k)
          acc += tail[k] * sum[i - 1024 - k];
        const double ref = 2.0 * acc, d = got[static_cast<size_t>(e)][m] - ref;
        num += d * d, den += ref * ref;
      }
      worst = std::max(worst, den > 0 ? std::sqrt(num / den) : std::sqrt(num));
    }
  }
  return worst;
}

std::vector<BuildError> BuildErrors() {
  std::vector<BuildError> out;
  const auto builds = Builds();
  for (int b = 0; b < static_cast<int>(builds.size()); ++b) {
    if (!builds[static_cast<size_t>(b)].runs) continue;
    const std::string name = builds[static_cast<size_t>(b)].name;
    out.push_back({"fft complex 2^10", name, FftError(b), 1.5e-7 * (10 + 2)});
    out.push_back({"fir 101 taps", name, FirError(b), 1e-6 * (1.0 + std::log2(1.0 + 101))});
    out.push_back({"iir order 8", name, IirError(b), 2e-5});
    out.push_back({"convolver", name, ConvolverRelativeRmsError(b), 1e-5});
  }
  return out;
}

}  // namespace quality
